// How close the reading exchange comes to the line's limit, and what a pause
// costs in CPU. Prints "name value" lines:
//   data_ratio        readings/s of repeated "Data" clicks (each reopens the port)
//                     over the line's limit of 60/s (2 + 14 characters at 960/s)
//   exchange_ratio    the same for the exchange alone on an open port
//   wait_cpu_percent  this process's CPU share during a 10 s pause
#include "countersim.h"
#include "benchsupport.h"
#include "form1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <cstdio>

using tallyo::bench::cpuSeconds;
using tallyo::bench::kLineLimitPerSecond;

int main(int argc, char *argv[])
{
    tallyo::bench::useOffscreenPlatformUnlessSet();
    QApplication app(argc, argv);
    const int readings = argc > 1 ? std::atoi(argv[1]) : 600;

    tallyo::sim::CounterSim counter;
    tallyo::bench::answerWithFourteenCharacters(counter);
    QStringList messages;
    tallyo::Form1 form(tallyo::bench::windowOn(counter, messages));
    form.Form_Load();

    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < readings; ++i)
        form.controls().Command2->click();
    const double dataRate = readings / (double(timer.nsecsElapsed()) / 1e9);

    form.link().ReopenPort();
    timer.restart();
    for (int i = 0; i < readings; ++i)
        form.link().RequestReading();
    const double exchangeRate = readings / (double(timer.nsecsElapsed()) / 1e9);

    const double cpuBefore = cpuSeconds();
    timer.restart();
    form.link().Delay(10);
    const double waitCpu = 100.0 * (cpuSeconds() - cpuBefore) / (double(timer.nsecsElapsed()) / 1e9);

    std::printf("data_readings_per_second %.1f\n", dataRate);
    std::printf("data_ratio %.3f\n", dataRate / kLineLimitPerSecond);
    std::printf("exchange_readings_per_second %.1f\n", exchangeRate);
    std::printf("exchange_ratio %.3f\n", exchangeRate / kLineLimitPerSecond);
    std::printf("wait_cpu_percent %.2f\n", waitCpu);
    if (!messages.isEmpty()) {
        std::fprintf(stderr, "failures: %s\n", qPrintable(messages.join(QLatin1String("; "))));
        return 1;
    }
    return 0;
}
