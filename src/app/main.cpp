// Frequency Tallyo: the control panel for a bench frequency counter on a
// serial line.
#include "clirun.h"
#include "commandline.h"
#include "startup.h"
#include "spreadsheetloader.h"

#include <QApplication>

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
    return tallyo::runWindow(std::move(deps), std::move(lineLog));
}
