// A recording at the "Fastest" interval into a real LibreOffice Calc (headless,
// an office of its own), from a simulated counter that answers at once at
// 9600 baud with 14 characters. Prints "name value" lines:
//   record_<rows>_readings_per_second  readings per second over the whole recording
//   record_<rows>_fastest_ratio        that over the line's limit (60/s: 2 + 14 characters at 960/s)
//   record_<rows>_rows_in_sheet        rows found in the sheet afterwards (must equal <rows>)
//   record_frozen_office_ratio         the same ratio for a 60 s recording during which the office
//                                      is stopped (SIGSTOP) for 20 s: the freeze should cost the line nothing
//   record_frozen_office_readings      readings taken in that recording
//   record_frozen_office_rows_in_sheet rows found in its sheet afterwards (must equal the readings)
//   record_interleaved_lost            readings the counter served but no row holds, over a 60 s
//                                      recording with a setting clicked every second (goal 0)
//   record_interleaved_ratio           that recording's ratio to the line's limit
//   pause_cpu_percent                  this process's CPU share during a 10 s pause of a recording
// Usage: bench-record [rows ...]   (default: 2000 20000)
#include "calc_testoffice.h"
#include "countersim.h"
#include "benchsupport.h"
#include "form1.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>

using tallyo::bench::cpuSeconds;
using tallyo::bench::kLineLimitPerSecond;

int main(int argc, char *argv[])
{
    tallyo::bench::useOffscreenPlatformUnlessSet();
    QApplication app(argc, argv);
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {2000, 20000};

    const QString unavailable = tallyo::test::calcUnavailableReason();
    if (!unavailable.isEmpty()) {
        std::fprintf(stderr, "LibreOffice Calc is not available: %s\n", qPrintable(unavailable));
        return 2;
    }
    tallyo::test::CalcTestOffice office;
    tallyo::sim::CounterSim counter;
    tallyo::bench::answerWithFourteenCharacters(counter);
    QStringList messages;
    tallyo::Form1Dependencies deps = tallyo::bench::windowOn(counter, messages);
    deps.spreadsheetFactory = office.factory();
    tallyo::Form1 form(std::move(deps));
    form.Form_Load();

    // Rows in the workbook the recording just made.
    auto rowsInNewWorkbook = [&](const std::vector<std::string> &before) {
        const std::vector<std::string> after = office.inspector().documentTitles();
        const std::string workbook = tallyo::test::newWorkbook(before, after);
        try {
            return office.inspector().lastUsedRow(workbook, 1);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "cannot count the rows of \"%s\" (%zu workbooks before, %zu after): %s\n",
                         workbook.c_str(), before.size(), after.size(), e.what());
            return -1;
        }
    };
    auto workbooksNow = [&] {
        return office.officeProcessId() ? office.inspector().documentTitles() : std::vector<std::string>{};
    };

    // One Fastest recording, stopped by the counter's own count of requests:
    // the request that makes `rows` is the last turn. Returns the readings
    // taken and the seconds they took.
    auto record = [&](int rows, const std::function<void()> &onStart) {
        form.controls().Combo1->setCurrentIndex(0);
        QElapsedTimer timer;
        int firstServed = 0;
        std::atomic<int> requests{-1}; // counted from the recording's start
        const auto started = QObject::connect(&form, &tallyo::Form1::recordingStarted, &form, [&] {
            timer.start();
            firstServed = counter.readingsServed();
            requests = 0;
            if (onStart)
                onStart();
        });
        counter.setCommandObserver([&](const std::string &command) {
            if (command == "D1" && requests >= 0 && ++requests == rows)
                QMetaObject::invokeMethod(
                    &form, [&] { form.controls().Command5->click(); }, Qt::QueuedConnection);
        });
        form.controls().Command4->click(); // returns when the recording has ended, sheet finished
        counter.setCommandObserver(nullptr);
        QObject::disconnect(started);
        return std::pair{counter.readingsServed() - firstServed, double(timer.nsecsElapsed()) / 1e9};
    };

    for (int rows : sizes) {
        const std::vector<std::string> before = workbooksNow();
        const auto [taken, seconds] = record(rows, {});
        const double rate = taken / seconds;
        std::printf("record_%d_readings_per_second %.1f\n", rows, rate);
        std::printf("record_%d_fastest_ratio %.3f\n", rows, rate / kLineLimitPerSecond);
        std::printf("record_%d_rows_in_sheet %d\n", rows, rowsInNewWorkbook(before));
        std::fflush(stdout);
    }

    {
        // 60 s at the line's pace; the office stops answering from 20 s to 40 s.
        const pid_t officePid = pid_t(office.officeProcessId());
        const std::vector<std::string> before = workbooksNow();
        const int rows = int(60 * kLineLimitPerSecond);
        const auto [taken, seconds] = record(rows, [&] {
            QTimer::singleShot(20'000, [&] { ::kill(officePid, SIGSTOP); });
            QTimer::singleShot(40'000, [&] { ::kill(officePid, SIGCONT); });
        });
        ::kill(officePid, SIGCONT);
        std::printf("record_frozen_office_ratio %.3f\n", taken / seconds / kLineLimitPerSecond);
        std::printf("record_frozen_office_readings %d\n", taken);
        std::printf("record_frozen_office_rows_in_sheet %d\n", rowsInNewWorkbook(before));
        std::fflush(stdout);
    }

    {
        // 60 s at the line's pace; hold is switched off and on in turn every
        // second, each click landing while a reading is on its way.
        const std::vector<std::string> before = workbooksNow();
        const int rows = int(60 * kLineLimitPerSecond);
        QTimer clicker;
        int clicks = 0;
        QObject::connect(&clicker, &QTimer::timeout,
                         [&] { (clicks++ % 2 ? form.controls().Option1 : form.controls().Option2)->click(); });
        const auto [taken, seconds] = record(rows, [&] { clicker.start(1000); });
        clicker.stop();
        std::printf("record_interleaved_lost %d\n", taken - rowsInNewWorkbook(before));
        std::printf("record_interleaved_ratio %.3f\n", taken / seconds / kLineLimitPerSecond);
        std::fflush(stdout);
    }

    // CPU during a 10 s pause: measured from the first reading to the second.
    form.controls().Combo1->setCurrentIndex(3);
    double cpuAtPause = 0;
    QElapsedTimer pause;
    double cpuPercent = -1;
    int servedAtStart = -1;
    QTimer watcher;
    QObject::connect(&form, &tallyo::Form1::recordingStarted, &form, [&] { servedAtStart = counter.readingsServed(); });
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (servedAtStart < 0)
            return;
        const int served = counter.readingsServed() - servedAtStart;
        if (served == 1 && !pause.isValid()) {
            pause.start();
            cpuAtPause = cpuSeconds();
            form.controls().Command5->click(); // the pause still runs to its end
        }
    });
    watcher.start(100);
    form.controls().Command4->click();
    if (pause.isValid())
        cpuPercent = 100.0 * (cpuSeconds() - cpuAtPause) / (double(pause.nsecsElapsed()) / 1e9);
    std::printf("pause_cpu_percent %.2f\n", cpuPercent);

    if (!messages.isEmpty()) {
        std::fprintf(stderr, "failures: %s\n", qPrintable(messages.join(QLatin1String("; "))));
        return 1;
    }
    return 0;
}
