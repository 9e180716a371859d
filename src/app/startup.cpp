#include "startup.h"

#include "endsignals.h"
#include "sheetworkers.h"

#include <QApplication>
#include <QFont>
#include <QStyleFactory>

namespace tallyo {

void applyAppearance()
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    // Arial's metrics (Liberation Sans) at 8 pt fit every caption of the fixed layout.
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("Helvetica")});
    font.setPointSize(8);
    QApplication::setFont(font);
}

int runWindow(Form1Dependencies dependencies, std::shared_ptr<LineLog> lineLog)
{
    int exitCode = 0;
    std::chrono::steady_clock::time_point endBy;
    {
        Form1 window(std::move(dependencies));
        window.link().setLineLog(std::move(lineLog));
        EndSignals endSignals;
        window.followEndRequests(endSignals);
        window.Form_Load();
        window.show();
        exitCode = QCoreApplication::exec();
        endBy = window.endDeadline();
    }
    endSheetWorkers(endBy, exitCode);
    return exitCode;
}

} // namespace tallyo
