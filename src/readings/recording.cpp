// "Data to Excel" and "Stop Record": record readings into a new workbook of a
// spreadsheet application, one per row down column A, until stopped.
#include "form1.h"

#include "intervals.h"

#include <QEventLoop>
#include <QScopeGuard>
#include <QThread>
#include <exception>

namespace tallyo {

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
            excelApp->finish();
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
    std::unique_ptr<SpreadsheetApp> app;
    std::exception_ptr failure;
    QEventLoop loop;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        try {
            app = m_deps.spreadsheetFactory();
        } catch (...) {
            failure = std::current_exception();
        }
    }));
    connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    connect(&m_life, &ProgramLife::endingStarted, &loop, &QEventLoop::quit);
    worker->start();
    while (!worker->isFinished() && !m_life.ending())
        loop.exec();
    worker->wait();   // the factory has its own deadline
    if (m_life.ending())
        throw ProgramEnding{};
    if (failure)
        std::rethrow_exception(failure);
    if (!app)
        throw SpreadsheetError(SpreadsheetErrorNumber::StartFailed, "The spreadsheet application did not start.");
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
                excelApp->finish();
                throw SpreadsheetError(SpreadsheetErrorNumber::CallFailed,
                                       "The worksheet is full: its last row, " + std::to_string(row - 1)
                                           + ", holds the last reading. The recording has stopped.");
            }
            RequestReading();
            excelApp->setCellFormula(int(row), 1, currentReading.toStdString());
            excelApp->autoFitColumns("A:AY");
            excelApp->setSelectionNumberFormat("0");
            const int position = intervalPosition();
            if (intervalHasPause(position))
                Delay(kReadingIntervals[size_t(position)].seconds);
            if (stopRecord)
                break;
        }
    } catch (const SpreadsheetError &) {
        throw;   // the application failed: nothing more can reach its sheet
    } catch (...) {
        // Ended by the counter's line or by the program ending: every reading
        // handed over so far must still reach the sheet.
        try {
            excelApp->finish();
        } catch (const SpreadsheetError &) {
            // The first failure is the one the user needs to hear about.
        }
        throw;
    }
    excelApp->finish();
}

} // namespace tallyo
