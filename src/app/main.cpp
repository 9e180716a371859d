// Frequency Tallyo: the control panel for a bench frequency counter on a
// serial line.
#include "clirun.h"
#include "commandline.h"
#include "form1.h"
#include "spreadsheetloader.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationVersion(QStringLiteral(TALLYO_VERSION));
    // `read` and `set` run without a window: no GUI application is ever made.
    if (tallyo::cli::wantsCommand(argc, argv))
        return tallyo::cli::runCommand(argc, argv);
    tallyo::PortMap portMap;
    if (const std::optional<int> exitCode = tallyo::prepareStart(argc, argv, portMap))
        return *exitCode;

    QApplication app(argc, argv);
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.frequencytallyo.FrequencyTallyo"));
    tallyo::applyAppearance();

    tallyo::Form1Dependencies deps;
    deps.portMap = std::move(portMap);
    deps.spreadsheetFactory = tallyo::makeSpreadsheetFactory();
    tallyo::Form1 window(std::move(deps));
    // SIGTERM, SIGINT and SIGHUP end the program as the close control does:
    // the reading on its way lands, the port and its locks are freed.
    tallyo::EndSignals endSignals;
    window.followEndRequests(endSignals);
    window.Form_Load();
    window.show();
    return app.exec();
}
