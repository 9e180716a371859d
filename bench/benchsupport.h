// What the benchmarks share: the line's limit and this process's CPU time.
#pragma once

#include "countersim.h"
#include "form1.h"

#include <QByteArray>
#include <QStringList>
#include <QtGlobal>
#include <sys/resource.h>

namespace tallyo::bench {

// Readings per second the line allows: "D1" plus a 14-character reply, at
// 9600 baud with 10 bits a character (960 characters a second).
inline constexpr double kLineLimitPerSecond = 960.0 / (2 + 14);

// User and system CPU seconds of this process, all threads.
inline double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Qt's widgets need a platform; benchmarks run without a display.
inline void useOffscreenPlatformUnlessSet()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// A counter that answers at once with 14 characters, paced at 9600 baud.
inline void answerWithFourteenCharacters(sim::CounterSim &counter)
{
    counter.setCustomReply("  1.000000 Hz\r");
}

// A window on that counter (every port number reaches it) that collects
// failure messages instead of showing them.
inline Form1Dependencies windowOn(const sim::CounterSim &counter, QStringList &messages)
{
    const QString device = QString::fromStdString(counter.devicePath());
    Form1Dependencies deps;
    deps.portMap = [device](int) { return device; };
    deps.showMessage = [&messages](const QString &text) { messages << text; };
    deps.quit = [] {};
    return deps;
}

} // namespace tallyo::bench
