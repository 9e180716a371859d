// A reading as a number: "10.0000453 MHz" is 10000045.3 in hertz. Only
// `stats` reads numbers out of readings; everything else keeps their text.
#pragma once

#include <optional>
#include <string_view>

namespace tallyo::stats {

struct ReadingValue {
    double value = 0; // in the base unit: 10000045.3 for "10.0000453 MHz"
    std::string_view unit; // the base unit: "Hz", "s", "RPM", or "" for ratio and count
    std::string_view shownUnit; // as written, with its prefix ("MHz"): a part of the text given
    double scale = 1; // of that prefix: 1e6 for "MHz"
};

// A number (sign, decimals and exponent optional) and an optional unit after
// it: hertz or seconds with an SI prefix (p n u µ m k M G), RPM, or none.
// Spaces around it and a leading apostrophe (the mark that keeps a
// spreadsheet from evaluating a field) are passed over. Nothing for
// anything else.
std::optional<ReadingValue> parseReading(std::string_view text);

// The text without the spaces, tabs and line ends around it.
std::string_view trimmed(std::string_view text);

} // namespace tallyo::stats
