// How close `frequency-tallyo read --count 600 --interval 0` comes to the
// line's limit, the program run as a user runs it. Prints "name value" lines:
//   cli_readings_per_second  readings/s from the first "D1" on the line to the program's end
//   cli_read_ratio           the same over the line's limit of 60/s (2 + 14 characters at 960/s)
//   cli_interval_drift_ms    with --interval 0.1, how far the 300th "D1" came after 299 intervals
//                            from the first (the schedule is a grid: goal under 5 ms)
//
//   bench-cli PROGRAM [READINGS]
#include "benchsupport.h"
#include "countersim.h"

#include <QCoreApplication>
#include <QProcess>
#include <chrono>
#include <cstdio>
#include <vector>

using tallyo::bench::kLineLimitPerSecond;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench-cli PROGRAM [READINGS]\n");
        return 2;
    }
    const int readings = argc > 2 ? std::atoi(argv[2]) : 600;

    tallyo::sim::CounterSim counter;
    tallyo::bench::answerWithFourteenCharacters(counter);
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QString::fromLocal8Bit(argv[1]),
                  {QStringLiteral("read"), QString::fromStdString(counter.devicePath()), QStringLiteral("--count"),
                   QString::number(readings), QStringLiteral("--interval"), QStringLiteral("0")});
    if (!process.waitForFinished(120000) || process.exitCode() != 0) {
        std::fprintf(stderr, "the program failed: %s\n", qPrintable(process.errorString()));
        return 1;
    }
    const auto ended = std::chrono::steady_clock::now();
    const auto bytes = counter.receivedBytes();
    const qsizetype lines = process.readAllStandardOutput().count('\n');
    if (bytes.empty() || counter.readingsServed() != readings || lines != readings) {
        std::fprintf(stderr, "expected %d readings, the counter served %d and the program printed %lld\n", readings,
                     counter.readingsServed(), static_cast<long long>(lines));
        return 1;
    }
    const double seconds = std::chrono::duration<double>(ended - bytes.front().arrival).count();
    const double rate = readings / seconds;
    std::printf("cli_readings_per_second %.1f\n", rate);
    std::printf("cli_read_ratio %.3f\n", rate / kLineLimitPerSecond);

    // The schedule: 300 readings a tenth of a second apart.
    constexpr int kScheduled = 300;
    tallyo::sim::CounterSim scheduled;
    QProcess timed;
    timed.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    timed.start(QString::fromLocal8Bit(argv[1]),
                {QStringLiteral("read"), QString::fromStdString(scheduled.devicePath()), QStringLiteral("--count"),
                 QString::number(kScheduled), QStringLiteral("--interval"), QStringLiteral("0.1")});
    if (!timed.waitForFinished(120000) || timed.exitCode() != 0) {
        std::fprintf(stderr, "the program failed: %s\n", qPrintable(timed.errorString()));
        return 1;
    }
    std::vector<tallyo::sim::CounterSim::Clock::time_point> starts;
    const auto received = scheduled.receivedBytes();
    for (size_t i = 1; i < received.size(); ++i)
        if (received[i - 1].byte == 'D' && received[i].byte == '1')
            starts.push_back(received[i].arrival);
    if (starts.size() != kScheduled) {
        std::fprintf(stderr, "expected %d readings, the counter was asked for %zu\n", kScheduled, starts.size());
        return 1;
    }
    const double drift =
        std::chrono::duration<double, std::milli>(starts.back() - starts.front()).count() - (kScheduled - 1) * 100.0;
    std::printf("cli_interval_drift_ms %.1f\n", drift);
    return 0;
}
