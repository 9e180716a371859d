// The reading-interval list of the recording controls: what each entry is
// called and how long a recording pauses after each reading.
#pragma once

#include <array>

namespace tallyo {

struct ReadingInterval {
    const char *label;
    int seconds;
};

inline constexpr std::array<ReadingInterval, 7> kReadingIntervals = {{
    {"Fastest (~44rdgs/s)", 0},
    {"2 Seconds", 2},
    {"5 Seconds", 5},
    {"10 Seconds", 10},
    {"20 Seconds", 20},
    {"30 Seconds", 30},
    {"1 Minute", 60},
}};

// The pause for a selected position of the list; -1 (typed text) or any
// other position outside the list means no pause at all.
constexpr bool intervalHasPause(int position)
{
    return position >= 0 && position < int(kReadingIntervals.size());
}

} // namespace tallyo
