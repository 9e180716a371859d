// "Data to Excel" and "Stop Record": record readings into a new workbook of a
// spreadsheet application, one per row down column A, until stopped.
#include "form1.h"

#include "intervals.h"

#include <QEventLoop>
#include <QScopeGuard>
#include <exception>

namespace tallyo {

namespace {

// [sheet layer: stop-gap until the recording is redone on the queued
// interface] Waits in the event loop until `done` holds, woken by every
// change of the application's state; throws ProgramEnding when the program ends.
template <class Done>
void waitForSheet(SpreadsheetApp &app, ProgramLife &life, Done done)
{
    QEventLoop loop;
    app.setChangeNotifier([&loop] { QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection); });
    QObject::connect(&life, &ProgramLife::endingStarted, &loop, &QEventLoop::quit);
    while (!done() && !life.ending())
        loop.exec();
    app.setChangeNotifier({});
    if (life.ending())
        throw ProgramEnding{};
}

// Every call made so far has had its effect; throws the application's failure.
void finish(SpreadsheetApp &app, ProgramLife &life)
{
    waitForSheet(app, life, [&] { return app.settled() || app.failure().has_value(); });
    if (const auto failure = app.failure())
        throw *failure;
}

} // namespace

void Form1::Command5_Click()
{
    stopRecord = true;
}

void Form1::Command4_Click()
{
    stopRecord = false;
    ReopenPort();
    std::unique_ptr<SpreadsheetApp> app = startSpreadsheet();
    if (excelApp) {
        // A recording nested in another hands over its application: what the
        // other one has written so far must reach its sheet first.
        try {
            finish(*excelApp, m_life);
        } catch (const SpreadsheetError &) {
            // That workbook is gone (the user closed it): nothing more can
            // reach it, and the new recording goes on regardless.
        }
    }
    excelApp = std::move(app);
    excelApp->setVisible(true);
    excelApp->addWorkbook();
    emit recordingStarted();
    record();
}

// Starting the application takes a second or two: do it on a worker thread
// while the window keeps handling events.
std::unique_ptr<SpreadsheetApp> Form1::startSpreadsheet()
{
    if (!m_deps.spreadsheetFactory)
        throw SpreadsheetError(SpreadsheetErrorNumber::NotInstalled,
                               "No spreadsheet application is available to record into.");
    std::unique_ptr<SpreadsheetApp> app = m_deps.spreadsheetFactory(); // returns at once
    if (!app)
        throw SpreadsheetError(SpreadsheetErrorNumber::StartFailed, "The spreadsheet application did not start.");
    waitForSheet(*app, m_life, [&] { return app->started() || app->failure().has_value(); });
    if (const auto failure = app->failure())
        throw *failure;
    return app;
}

void Form1::record()
{
    const auto ended = qScopeGuard([this] { emit recordingEnded(); });
    // Wider than the sheet is tall, so it cannot overflow before the sheet ends.
    qint64 row = 0;
    try {
        for (;;) {
            ++row;
            if (row > excelApp->lastRow()) {
                finish(*excelApp, m_life);
                throw SpreadsheetError(SpreadsheetErrorNumber::CallFailed,
                                       "The worksheet is full: its last row, " + std::to_string(row - 1)
                                           + ", holds the last reading. The recording has stopped.");
            }
            RequestReading();
            excelApp->setCellFormula(row, 1, currentReading.toStdString());
            excelApp->autoFitColumns("A:AY");
            excelApp->setSelectionNumberFormat("0");
            const int position = intervalPosition();
            if (intervalHasPause(position))
                Delay(kReadingIntervals[size_t(position)].seconds);
            if (const auto failure = excelApp->failure())
                throw *failure;
            if (stopRecord)
                break;
        }
    } catch (const SpreadsheetError &) {
        throw;   // the application failed: nothing more can reach its sheet
    } catch (...) {
        // Ended by the counter's line or by the program ending: every reading
        // handed over so far must still reach the sheet.
        try {
            finish(*excelApp, m_life);
        } catch (const SpreadsheetError &) {
            // The first failure is the one the user needs to hear about.
        }
        throw;
    }
    finish(*excelApp, m_life);
}

} // namespace tallyo
