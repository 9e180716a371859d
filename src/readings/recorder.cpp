#include "recorder.h"

#include "intervals.h"

#include <QEventLoop>
#include <QScopeGuard>
#include <QThread>
#include <exception>

namespace tallyo {

Recorder::Recorder(CounterLink &link, SpreadsheetFactory factory, std::function<int()> intervalPosition,
                   bool &stopRecord, ProgramLife &life, QObject *parent)
    : QObject(parent),
      m_link(link),
      m_factory(std::move(factory)),
      m_intervalPosition(std::move(intervalPosition)),
      m_stopRecord(stopRecord),
      m_life(life)
{
}

void Recorder::record()
{
    m_stopRecord = false;
    m_link.ReopenPort();
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
    emit started();
    takeReadings();
}

// Starting the application takes a second or two: do it on a worker thread
// while the window keeps handling events.
std::unique_ptr<SpreadsheetApp> Recorder::startSpreadsheet()
{
    if (!m_factory)
        throw SpreadsheetError(SpreadsheetErrorNumber::NotInstalled,
                               "No spreadsheet application is available to record into.");
    std::unique_ptr<SpreadsheetApp> app;
    std::exception_ptr failure;
    QEventLoop loop;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        try {
            app = m_factory();
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

void Recorder::takeReadings()
{
    const auto ended = qScopeGuard([this] { emit this->ended(); });
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
            const QString reading = m_link.RequestReading();
            excelApp->setCellFormula(int(row), 1, reading.toStdString());
            excelApp->autoFitColumns("A:AY");
            excelApp->setSelectionNumberFormat("0");
            const int position = m_intervalPosition();
            if (intervalHasPause(position))
                m_link.Delay(kReadingIntervals[size_t(position)].seconds);
            if (m_stopRecord)
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
