// Frequency Tallyo: the control panel for a bench frequency counter on a
// serial line.
#include "clirun.h"
#include "commandline.h"
#include "form1.h"
#include "sheetworkers.h"
#include "spreadsheetloader.h"

#include <QApplication>
#include <algorithm>
#include <chrono>

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationVersion(QStringLiteral(TALLYO_VERSION));
    // `read` and `set` run without a window: no GUI application is ever made.
    if (tallyo::cli::wantsCommand(argc, argv))
        return tallyo::cli::runCommand(argc, argv);
    tallyo::PortMap portMap;
    std::shared_ptr<tallyo::LineLog> lineLog;
    if (const std::optional<int> exitCode = tallyo::prepareStart(argc, argv, portMap, &lineLog))
        return *exitCode;

    QApplication app(argc, argv);
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.frequencytallyo.FrequencyTallyo"));
    tallyo::applyAppearance();

    tallyo::Form1Dependencies deps;
    deps.portMap = std::move(portMap);
    deps.spreadsheetFactory = tallyo::makeSpreadsheetFactory();
    int exitCode = 0;
    std::chrono::steady_clock::time_point deadline;
    {
        tallyo::Form1 window(std::move(deps));
        window.MSComm1().setLineLog(std::move(lineLog));
        // SIGTERM, SIGINT and SIGHUP end the program as the close control
        // does: the reading on its way lands, the port and its locks are freed.
        tallyo::EndSignals endSignals;
        window.followEndRequests(endSignals);
        window.Form_Load();
        window.show();
        exitCode = app.exec();
        deadline = window.endDeadline();
    }
    // The window has let go of every spreadsheet: their workers end before
    // the application object does.
    tallyo::endSheetWorkers(std::min(deadline, std::chrono::steady_clock::now() + tallyo::ProgramLife::kEndBudget),
                            exitCode);
    return exitCode;
}
