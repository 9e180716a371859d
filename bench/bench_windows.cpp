// The Windows program's Data exchange under wine, against the paced
// simulated counter on COM1, and the size of the zip users download. Prints
// "name value" lines:
//   windows_data_readings_per_second, windows_data_ratio (over the line's 60/s)
//   windows_zip_kib
// Needs a display (scripts/bench.sh runs it under xvfb-run) and the Windows
// build of scripts/build-windows.sh in the build folder's windows/.
#include "benchsupport.h"
#include "countersim.h"
#include "wineprefix.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <cstdio>

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
    QProcess bench;
    wine.setUp(bench, tallyo::wine::windowsBuild() + QStringLiteral("/with-bench/bench-windows-data.exe"),
               {readings});
    bench.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    bench.start();
    if (!bench.waitForFinished(-1) || bench.exitCode() != 0) {
        std::fprintf(stderr, "bench-windows-data failed\n");
        return 1;
    }
    std::fputs(bench.readAllStandardOutput().constData(), stdout);

    const QDir build(tallyo::wine::windowsBuild());
    for (const QFileInfo &zip : build.entryInfoList({QStringLiteral("frequency-tallyo-windows-*.zip")}))
        std::printf("windows_zip_kib %lld\n", zip.size() / 1024);
    return 0;
}
