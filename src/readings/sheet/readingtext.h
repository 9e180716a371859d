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
// would evaluate it: a leading "=", "@", tab or carriage return, or a sign
// that does not begin a plain number ("+1+2", "-10.5 mV"; "-1.5" is a number
// and stays as it is). A counter never sends such a reading; a garbled or
// hostile line might.
inline bool wouldBeEvaluated(std::string_view text)
{
    const char first = text.empty() ? '\0' : text.front();
    return first == '=' || first == '@' || first == '\t' || first == '\r'
        || ((first == '+' || first == '-') && !isSignedNumber(text));
}

// The reply's bytes as UTF-8 text: bytes that already are valid UTF-8 stay as
// they are; otherwise every byte is taken as Latin-1 (a counter's "µ" is
// 0xB5) and converted.
inline std::string asUtf8(std::string_view bytes)
{
    auto continuation = [&](std::size_t at) {
        return at < bytes.size() && (static_cast<unsigned char>(bytes[at]) & 0xC0) == 0x80;
    };
    bool valid = true;
    for (std::size_t i = 0; i < bytes.size() && valid;) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        std::size_t more = c < 0x80  ? 0
            : c >= 0xC2 && c <= 0xDF ? 1
            : c >= 0xE0 && c <= 0xEF ? 2
            : c >= 0xF0 && c <= 0xF4 ? 3
                                     : 4;
        if (more == 4) {
            valid = false;
            break;
        }
        for (std::size_t k = 1; k <= more; ++k)
            valid = valid && continuation(i + k);
        i += more + 1;
    }
    if (valid)
        return std::string(bytes);
    std::string text;
    for (char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c < 0x80) {
            text += byte;
        } else {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

// The text on one line: control characters shown as escapes ("\r", "\n",
// "\0", "\t", "\x1B" for the rest below 32, and DEL).
inline std::string escapedControls(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line;
    for (char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        if (c >= 0x20 && c != 0x7F) {
            line += byte;
            continue;
        }
        switch (c) {
        case '\r':
            line += "\\r";
            break;
        case '\n':
            line += "\\n";
            break;
        case '\t':
            line += "\\t";
            break;
        case 0:
            line += "\\0";
            break;
        default:
            line += "\\x";
            line += kHex[c >> 4];
            line += kHex[c & 0xF];
        }
    }
    return line;
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
