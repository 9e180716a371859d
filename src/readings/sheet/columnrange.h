// Column letters as the automation calls write them ("A:AY", "C", "b:d").
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tallyo {

// The widest sheet either application offers: columns A..XFD.
inline constexpr int MaxSheetColumn = 16384;

struct ColumnSpan {
    int first = 0; // 1-based
    int last = 0; // 1-based, >= first
    bool operator==(const ColumnSpan &) const = default;
};

// "AY" -> 51. Empty, non-letters or beyond XFD -> nothing.
inline std::optional<int> columnNumber(std::string_view letters)
{
    if (letters.empty() || letters.size() > 3)
        return std::nullopt;
    int number = 0;
    for (char c : letters) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c < 'A' || c > 'Z')
            return std::nullopt;
        number = number * 26 + (c - 'A' + 1);
    }
    if (number > MaxSheetColumn)
        return std::nullopt;
    return number;
}

// "A:AY" -> {1, 51}; "C" -> {3, 3}; "AY:A" -> {1, 51} (as Excel reads it).
inline std::optional<ColumnSpan> parseColumnRange(std::string_view range)
{
    const auto colon = range.find(':');
    const auto from = columnNumber(range.substr(0, colon));
    const auto to = colon == std::string_view::npos ? from : columnNumber(range.substr(colon + 1));
    if (!from || !to)
        return std::nullopt;
    return *from <= *to ? ColumnSpan{*from, *to} : ColumnSpan{*to, *from};
}

// 51 -> "AY".
inline std::string columnLetters(int column)
{
    std::string letters;
    for (; column > 0; column = (column - 1) / 26)
        letters.insert(letters.begin(), static_cast<char>('A' + (column - 1) % 26));
    return letters;
}

} // namespace tallyo
