// The program's window in a process of its own, for the test that takes its
// display away: it records, at the fastest interval, from the counter on the
// device given first into a sheet whose first write never answers (a frozen
// office), and saves what the sheet did not take into the folder given
// second; given up, the write ends as the office's call does when cancelled.
// Prints "window <id>" once its window is shown.
#include "startup.h"
#include "sheet_fakebackend.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <thread>

using namespace tallyo;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DEVICE FOLDER\n", argv[0]);
        return 2;
    }
    applyAppearance();
    auto journal = std::make_shared<test::FakeSheetJournal>();
    journal->setHook([journal = journal.get()](const test::FakeSheetCall &call) {
        if (call.kind != test::FakeSheetCall::Kind::Cells)
            return;
        while (!journal->cancelled())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        throw SpreadsheetError(SpreadsheetErrorNumber::Abandoned, "The test sheet was given up.");
    });
    Form1Dependencies deps;
    deps.portMap = fixedPortMap({QString::fromLocal8Bit(argv[1])});
    deps.spreadsheetFactory = test::queuedFake(journal);
    deps.recorder.unwrittenFolder = QString::fromLocal8Bit(argv[2]);
    QTimer::singleShot(0, [] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *form = qobject_cast<Form1 *>(widget)) {
                std::printf("window %llu\n", static_cast<unsigned long long>(form->winId()));
                std::fflush(stdout);
                form->controls().Combo1->setCurrentIndex(0);
                form->controls().Command4->click();
            }
        }
    });
    return runWindow(std::move(deps), nullptr);
}
