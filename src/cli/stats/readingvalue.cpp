#include "readingvalue.h"

#include <array>
#include <charconv>
#include <utility>

namespace tallyo::stats {

namespace {

constexpr std::array<std::pair<std::string_view, double>, 10> kPrefixes{{
    {"p", 1e-12},
    {"n", 1e-9},
    {"u", 1e-6},
    {"\xC2\xB5", 1e-6},
    {"\xCE\xBC", 1e-6},
    {"m", 1e-3},
    {"k", 1e3},
    {"K", 1e3},
    {"M", 1e6},
    {"G", 1e9},
}};

// The base unit a unit without its prefix stands for: "Hz" (any case) or "s".
std::optional<std::string_view> prefixableUnit(std::string_view text)
{
    if (text.size() == 2 && (text[0] == 'H' || text[0] == 'h') && (text[1] == 'z' || text[1] == 'Z'))
        return "Hz";
    if (text == "s")
        return "s";
    return std::nullopt;
}

// "MHz" -> Hz and 1e6; "RPM" -> RPM and 1; "" -> no unit.
std::optional<std::pair<std::string_view, double>> unitOf(std::string_view text)
{
    if (text.empty())
        return std::pair{std::string_view(), 1.0};
    if (text == "RPM" || text == "rpm")
        return std::pair{std::string_view("RPM"), 1.0};
    if (auto base = prefixableUnit(text))
        return std::pair{*base, 1.0};
    for (const auto &[prefix, scale] : kPrefixes) {
        if (text.size() > prefix.size() && text.substr(0, prefix.size()) == prefix) {
            if (auto base = prefixableUnit(text.substr(prefix.size())))
                return std::pair{*base, scale};
        }
    }
    return std::nullopt;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view kBlank = " \t\r\n";
    const auto first = text.find_first_not_of(kBlank);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

std::optional<ReadingValue> parseReading(std::string_view text)
{
    text = trimmed(text);
    if (!text.empty() && text.front() == '\'')
        text = trimmed(text.substr(1));
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // from_chars would also take "inf" and "nan": a reading starts with a digit or a point.
    if (text.empty() || !(isDigit(text.front()) || (text.front() == '.' && text.size() > 1 && isDigit(text[1]))))
        return std::nullopt;
    double number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc())
        return std::nullopt;
    const std::string_view unitText = trimmed(text.substr(size_t(end - text.data())));
    const auto unit = unitOf(unitText);
    if (!unit)
        return std::nullopt;
    ReadingValue reading;
    reading.value = (negative ? -number : number) * unit->second;
    reading.unit = unit->first;
    reading.shownUnit = unitText;
    reading.scale = unit->second;
    return reading;
}

} // namespace tallyo::stats
