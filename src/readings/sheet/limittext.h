// A time limit as the program's messages state it: "50 ms", "1 second",
// "1.5 seconds", "30 seconds". Plain C++: the Calc module uses it too.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace tallyo {

inline std::string inSeconds(std::chrono::milliseconds limit)
{
    if (limit < std::chrono::seconds(1))
        return std::to_string(limit.count()) + " ms";
    const double seconds = std::chrono::duration<double>(limit).count();
    char text[32];
    std::snprintf(text, sizeof text, limit.count() % 1000 == 0 ? "%.0f" : "%.1f", seconds);
    return std::string(text) + (limit == std::chrono::seconds(1) ? " second" : " seconds");
}

} // namespace tallyo
