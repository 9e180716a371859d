// The Data exchange of the Windows program, run under wine by
// bench/bench_windows.cpp against a simulated counter on COM1. Clicks "Data"
// the given number of times (each click reopens the port, as the user's
// does) and prints "name value" lines:
//   windows_data_readings_per_second
//   windows_data_ratio   the same over the line's limit of 60 a second
//                        ("D1" plus a 14-character reply at 960 characters/s)
#include "form1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int readings = argc > 1 ? std::atoi(argv[1]) : 600;
    constexpr double kLineLimitPerSecond = 960.0 / (2 + 14);

    QStringList messages;
    tallyo::Form1Dependencies deps;
    deps.portMap = [](int n) { return QStringLiteral("COM%1").arg(n); };
    deps.showMessage = [&messages](const QString &text) { messages << text; };
    deps.quit = [] {};
    tallyo::Form1 form(std::move(deps));
    form.Form_Load();

    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < readings && messages.isEmpty(); ++i)
        form.controls().Command2->click();
    const double rate = readings / (double(timer.nsecsElapsed()) / 1e9);

    if (!messages.isEmpty()) {
        std::fprintf(stderr, "failures: %s\n", qPrintable(messages.join(QLatin1String("; "))));
        return 1;
    }
    std::printf("windows_data_readings_per_second %.1f\n", rate);
    std::printf("windows_data_ratio %.3f\n", rate / kLineLimitPerSecond);
    std::fflush(stdout);
    return 0;
}
