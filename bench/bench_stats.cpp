// `frequency-tallyo stats` on a night's log as a user runs it: a file of
// `read --output` with 1,000,000 readings (and one of 100,000, to show the
// memory grows with the readings kept, not with the file). Prints "name value":
//   stats_million_lines_ms               wall time of the program, start to end (goal under 2,000)
//   stats_million_lines_cpu_ms           its user and system time (what a busy machine stretches the first by)
//   stats_million_lines_peak_rss_mb      the program's peak resident memory
//   stats_hundred_thousand_lines_peak_rss_mb
//
//   bench-stats PROGRAM
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <random>
#include <sys/resource.h>

namespace {

// A log a second apart from 2026-12-07T20:00:00Z, 10 MHz with white noise,
// one gap row in the middle.
bool writeLog(const QString &path, int readings)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0, 2e-7);
    QByteArray text = "time,reading\n";
    char line[96];
    const long long start = 1796673600; // 2026-12-07T20:00:00Z
    for (int i = 0; i < readings; ++i) {
        const long long t = start + i;
        const int day = 7 + int((t - 1796601600) / 86400);
        const int second = int((t - 1796601600) % 86400);
        const int length = i == readings / 2
            ? std::snprintf(line, sizeof line, "2026-12-%02dT%02d:%02d:%02d.000Z,\n", day, second / 3600,
                            second / 60 % 60, second % 60)
            : std::snprintf(line, sizeof line, "2026-12-%02dT%02d:%02d:%02d.000Z,%.7f MHz\n", day, second / 3600,
                            second / 60 % 60, second % 60, 10.0 + noise(random));
        text.append(line, length);
        if (text.size() > (1 << 20)) {
            file.write(text);
            text.clear();
        }
    }
    return file.write(text) == text.size();
}

rusage childrenUsage()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage;
}

double peakChildrenMegabytes()
{
    return double(childrenUsage().ru_maxrss) / 1024.0;
}

double cpuMilliseconds(const rusage &usage)
{
    auto ms = [](const timeval &t) { return double(t.tv_sec) * 1000.0 + double(t.tv_usec) / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Runs `stats FILE`; the milliseconds it took, or -1.
qint64 runStats(const QString &program, const QString &path)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, {QStringLiteral("stats"), path});
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "stats failed: %s\n", process.readAllStandardError().constData());
        return -1;
    }
    return timer.elapsed();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench-stats PROGRAM\n");
        return 2;
    }
    const QString program = QString::fromLocal8Bit(argv[1]);
    QTemporaryDir dir;
    const QString small = dir.filePath(QStringLiteral("small.csv"));
    const QString large = dir.filePath(QStringLiteral("large.csv"));
    if (!writeLog(small, 100000) || !writeLog(large, 1000000)) {
        std::fprintf(stderr, "cannot write the logs in %s\n", qPrintable(dir.path()));
        return 1;
    }
    if (runStats(program, small) < 0)
        return 1;
    const double smallMegabytes = peakChildrenMegabytes();
    const double cpuBefore = cpuMilliseconds(childrenUsage());
    const qint64 ms = runStats(program, large);
    if (ms < 0)
        return 1;
    std::printf("stats_million_lines_ms %lld\n", static_cast<long long>(ms));
    std::printf("stats_million_lines_cpu_ms %.0f\n", cpuMilliseconds(childrenUsage()) - cpuBefore);
    std::printf("stats_million_lines_peak_rss_mb %.1f\n", peakChildrenMegabytes());
    std::printf("stats_hundred_thousand_lines_peak_rss_mb %.1f\n", smallMegabytes);
    return 0;
}
