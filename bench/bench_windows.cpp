// The Windows program's Data exchange under wine, against the paced
// simulated counter on COM1, beside the same exchange from a plain Win32
// program (win32-exchange.exe: no Qt, none of our code), and the size of
// what users download. Five runs of each; prints "name value" lines:
//   windows_data_ratio, _spread        the program's clicks on Data, over the
//                                      line's 60 readings a second: median of
//                                      five runs, and largest less smallest
//   win32_exchange_ratio_reopen, _spread   the plain program, opening the port
//                                      for every exchange as a click does
//   win32_exchange_ratio_keep, _spread     the plain program, the port kept open
//   load_average                       the machine's, over the last minute
//                                      before the runs: the figures follow it
//   windows_zip_kib, windows_msi_kib
// Needs a display (scripts/bench.sh runs it under xvfb-run) and the Windows
// build of scripts/build-windows.sh in the build folder's windows/.
#include "benchsupport.h"
#include "countersim.h"
#include "wineprefix.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

constexpr int kRuns = 5;

// The "name value" a Windows program printed for `name`.
std::optional<double> runUnderWine(const tallyo::wine::WinePrefix &wine, const QString &exe,
                                   const QStringList &arguments, const QByteArray &name)
{
    QProcess process;
    wine.setUp(process, exe, arguments);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        return std::nullopt;
    for (const QByteArray &line : process.readAllStandardOutput().split('\n')) {
        if (line.startsWith(name + ' '))
            return line.mid(name.size() + 1).trimmed().toDouble();
    }
    return std::nullopt;
}

// Five runs: prints the median and the spread; false if one failed.
bool fiveRuns(const tallyo::wine::WinePrefix &wine, const QString &exe, const QStringList &arguments,
              const QByteArray &name)
{
    std::vector<double> ratios;
    for (int i = 0; i < kRuns; ++i) {
        const std::optional<double> ratio = runUnderWine(wine, exe, arguments, name);
        if (!ratio) {
            std::fprintf(stderr, "%s failed\n", qPrintable(exe));
            return false;
        }
        ratios.push_back(*ratio);
        std::fprintf(stderr, "%s run %d: %.3f\n", name.constData(), i + 1, *ratio);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("%s %.3f\n%s_spread %.3f\n", name.constData(), ratios[kRuns / 2], name.constData(),
                ratios.back() - ratios.front());
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString readings = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("600");

    tallyo::sim::CounterSim counter;
    tallyo::bench::answerWithFourteenCharacters(counter);
    tallyo::wine::WinePrefix wine;
    if (const QString error = wine.prepare(1, QString::fromStdString(counter.devicePath())); !error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    QFile loadAverage(QStringLiteral("/proc/loadavg"));
    if (loadAverage.open(QIODevice::ReadOnly))
        std::printf("load_average %s\n", loadAverage.readAll().split(' ').first().constData());

    const QDir build(tallyo::wine::windowsBuild());
    const QString plain = QStringLiteral(TALLYO_WIN32_EXCHANGE);
    if (!fiveRuns(wine, build.filePath(QStringLiteral("with-bench/bench-windows-data.exe")), {readings},
                  "windows_data_ratio")
        || !fiveRuns(wine, plain, {QStringLiteral("COM1"), readings, QStringLiteral("reopen")},
                     "win32_exchange_ratio_reopen")
        || !fiveRuns(wine, plain, {QStringLiteral("COM1"), readings, QStringLiteral("keep")},
                     "win32_exchange_ratio_keep"))
        return 1;

    for (const auto &[pattern, name] : {std::pair{"frequency-tallyo-windows-*.zip", "windows_zip_kib"},
                                        std::pair{"frequency-tallyo-windows-*.msi", "windows_msi_kib"}}) {
        for (const QFileInfo &file : build.entryInfoList({QLatin1String(pattern)}))
            std::printf("%s %lld\n", name, file.size() / 1024);
    }
    return 0;
}
