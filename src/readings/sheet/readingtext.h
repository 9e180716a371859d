// How a reading from the counter is put where a spreadsheet will see it: in a
// cell, or in a CSV file a user opens. Plain C++, so the Excel module (built
// on its own with MinGW-w64) uses the same rules as the program.
#pragma once

#include <string>
#include <string_view>

namespace tallyo::reading {

// The reading without the line end the counter closes it with.
inline std::string_view withoutLineEnd(std::string_view text)
{
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

// A signed decimal number as a counter sends one ("+1.2345E+06", "-3"),
// perhaps followed by its line end.
inline bool isSignedNumber(std::string_view text)
{
    if (text.empty() || (text.front() != '+' && text.front() != '-'))
        return false;
    std::size_t i = 1;
    std::size_t digits = 0;
    auto isDigit = [&] { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
    for (; isDigit(); ++i)
        ++digits;
    if (i < text.size() && text[i] == '.')
        for (++i; isDigit(); ++i)
            ++digits;
    if (digits == 0)
        return false;
    if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
        std::size_t exponent = 0;
        if (++i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        for (; isDigit(); ++i)
            ++exponent;
        if (exponent == 0)
            return false;
    }
    return text.find_first_not_of(" \r\n", i) == std::string_view::npos;
}

// Whether a spreadsheet that opens this text (Excel, or Calc reading a CSV)
// would evaluate it: a leading "=" or "@", or a sign that does not begin a
// plain number ("+1+2", "-10.5 mV"). A counter never sends such a reading; a
// garbled or hostile line might.
inline bool wouldBeEvaluated(std::string_view text)
{
    const char first = text.empty() ? '\0' : text.front();
    return first == '=' || first == '@' || ((first == '+' || first == '-') && !isSignedNumber(text));
}

// One CSV field (RFC 4180) holding the reading as a spreadsheet should show
// it: without its line end, a text it would evaluate behind the apostrophe
// spreadsheet users know ("'=1+1"), quoted where it holds a comma, a quote or
// a line break.
inline std::string csvField(std::string_view text)
{
    text = withoutLineEnd(text);
    std::string field = wouldBeEvaluated(text) ? "'" : "";
    field += text;
    if (field.find_first_of(",\"\r\n") == std::string::npos)
        return field;
    std::string quoted = "\"";
    for (char c : field) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

} // namespace tallyo::reading
