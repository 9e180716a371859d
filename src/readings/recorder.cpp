#include "recorder.h"

#include "intervals.h"
#include "unwrittenfile.h"

#include <QEventLoop>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>
#include <cstdio>

namespace tallyo {

namespace {

std::string inSeconds(std::chrono::milliseconds limit)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit).count();
    return seconds >= 1 ? std::to_string(seconds) + (seconds == 1 ? " second" : " seconds")
                        : std::to_string(limit.count()) + " ms";
}
} // namespace

Recorder::Recorder(CounterLink &link, SpreadsheetFactory factory, std::function<int()> intervalPosition,
                   bool &stopRecord, ProgramLife &life, RecorderOptions options, QObject *parent)
    : QObject(parent),
      m_link(link),
      m_factory(std::move(factory)),
      m_intervalPosition(std::move(intervalPosition)),
      m_stopRecord(stopRecord),
      m_life(life),
      m_options(std::move(options))
{
}

Recorder::~Recorder()
{
    // Applications still in use are given up, never waited for.
    if (excelApp)
        excelApp->setChangeNotifier({});
}

void Recorder::record()
{
    m_stopRecord = false;
    m_link.ReopenPort();
    const std::shared_ptr<SpreadsheetApp> app = startSpreadsheet();
    // The newest recording's application; one that runs on under a nested
    // recording keeps its own.
    excelApp = app;
    app->setVisible(true);
    app->addWorkbook();
    emit started();
    const auto ended = qScopeGuard([this] { emit this->ended(); });
    takeReadings(*app);
}

std::shared_ptr<SpreadsheetApp> Recorder::startSpreadsheet()
{
    if (!m_factory)
        throw SpreadsheetError(SpreadsheetErrorNumber::NotInstalled,
                               "No spreadsheet application is available to record into.");
    std::shared_ptr<SpreadsheetApp> app = m_factory();
    QPointer<Recorder> self(this);
    app->setChangeNotifier([self, signal = m_sheetSignal] {
        {
            std::lock_guard lock(signal->mutex);
        }
        signal->changed.notify_all();
        if (self)
            QMetaObject::invokeMethod(self.data(), &Recorder::sheetChanged, Qt::QueuedConnection);
    });
    // The application starts on its own thread (with its own deadline); the
    // window goes on meanwhile.
    QEventLoop loop;
    connect(this, &Recorder::sheetChanged, &loop, &QEventLoop::quit);
    connect(&m_life, &ProgramLife::endingStarted, &loop, &QEventLoop::quit);
    while (!app->started() && !app->failure() && !m_life.ending())
        loop.exec();
    if (m_life.ending()) {
        app->abandon();
        throw ProgramEnding{};
    }
    if (auto failure = app->failure())
        throw *failure;
    return app;
}

void Recorder::takeReadings(SpreadsheetApp &app)
{
    OnTheStack running(m_running);
    try {
        // Wider than the sheet is tall, so it cannot overflow before the sheet ends.
        long long row = 0;
        for (;;) {
            ++row;
            if (auto failure = app.failure())
                failWithUnwritten(app, *failure);
            if (row > app.lastRow()) {
                finish(app);
                throw SpreadsheetError(SpreadsheetErrorNumber::CallFailed,
                                       "The worksheet is full: its last row, " + std::to_string(row - 1)
                                           + ", holds the last reading. The recording has ended.");
            }
            // Another handler closed the port under the recording (and said why).
            if (!m_link.comm().portOpen())
                throw ExchangeAbandoned{};
            const QString reading = m_link.RequestReading();
            app.setCellFormula(row, 1, reading.toStdString());
            app.autoFitColumns("A:AY");
            app.setSelectionNumberFormat("0");
            const int position = m_intervalPosition();
            if (intervalHasPause(position))
                m_link.Delay(kReadingIntervals[size_t(position)].seconds);
            if (m_stopRecord)
                break;
        }
    } catch (const ProgramEnding &) {
        finishForExit(app);
        throw;
    } catch (const SpreadsheetError &) {
        throw;
    } catch (...) {
        // Ended by the counter's line, which has been reported: what was
        // handed over still goes to the sheet.
        finish(app);
        throw;
    }
    finish(app);
}

Recorder::Settled Recorder::waitUntilSettled(SpreadsheetApp &app, std::chrono::milliseconds limit)
{
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    bool timedOut = false;
    connect(&deadline, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    connect(this, &Recorder::sheetChanged, &loop, &QEventLoop::quit);
    connect(&m_life, &ProgramLife::endingStarted, &loop, &QEventLoop::quit);
    deadline.start(limit);
    for (;;) {
        if (app.failure())
            return Settled::Failed;
        if (app.settled())
            return Settled::Yes;
        if (timedOut)
            return Settled::TimedOut;
        if (m_life.ending())
            throw ProgramEnding{};
        loop.exec();
    }
}

void Recorder::finish(SpreadsheetApp &app)
{
    Settled settled = Settled::Yes;
    try {
        settled = waitUntilSettled(app, m_options.settleLimit);
    } catch (const ProgramEnding &) {
        finishForExit(app);
        throw;
    }
    if (settled == Settled::Failed)
        failWithUnwritten(app, *app.failure());
    if (settled == Settled::TimedOut) {
        app.abandon();
        failWithUnwritten(app,
                          SpreadsheetError(SpreadsheetErrorNumber::CallFailed,
                                           "The spreadsheet application did not take the last readings within "
                                               + inSeconds(m_options.settleLimit) + "."));
    }
}

void Recorder::failWithUnwritten(SpreadsheetApp &app, const SpreadsheetError &error)
{
    const std::vector<SheetCell> cells = app.unwritten();
    std::string text = error.what();
    text += " The recording has ended.";
    if (cells.empty()) {
        text += " Every reading taken is in the sheet.";
    } else {
        QString problem;
        const QString path = saveUnwritten(cells, &problem);
        const std::string count = std::to_string(cells.size()) + (cells.size() == 1 ? " reading" : " readings");
        const std::string verb = cells.size() == 1 ? " is" : " are";
        if (!path.isEmpty())
            text += " " + count + " that did not reach the sheet" + verb + " saved, with " + (cells.size() == 1 ? "its row number" : "their row numbers") + ", in "
                + path.toStdString() + ".";
        else
            text += " " + count + " that did not reach the sheet could not be saved (" + problem.toStdString()
                + ").";
    }
    throw SpreadsheetError(error.number, text);
}

void Recorder::finishForExit(SpreadsheetApp &app)
{
    // The event loop is ending and runs no more: wait on the application's
    // own signal, briefly.
    const auto deadline = std::min(std::chrono::steady_clock::now() + m_options.exitSettleLimit, m_life.waitsEndBy());
    {
        std::unique_lock lock(m_sheetSignal->mutex);
        m_sheetSignal->changed.wait_until(lock, deadline, [&] { return app.settled() || app.failure(); });
    }
    app.abandon();
    const std::vector<SheetCell> cells = app.unwritten();
    if (cells.empty())
        return;
    QString problem;
    const QString path = saveUnwritten(cells, &problem);
    // The window is gone: say it where a user starting the program from a
    // terminal, or its log, sees it.
    if (!path.isEmpty())
        std::fprintf(stderr, "frequency-tallyo: %zu readings that did not reach the sheet are saved in %s\n",
                     cells.size(), qPrintable(path));
    else
        std::fprintf(stderr, "frequency-tallyo: %zu readings that did not reach the sheet could not be saved (%s)\n",
                     cells.size(), qPrintable(problem));
}

QString Recorder::saveUnwritten(const std::vector<SheetCell> &cells, QString *error)
{
    const QString folder = m_options.unwrittenFolder.isEmpty() ? unwrittenReadingsFolder() : m_options.unwrittenFolder;
    const SavedReadings saved = saveUnwrittenReadings(cells, folder, QDateTime::currentDateTime());
    if (error)
        *error = saved.error;
    return saved.path;
}

} // namespace tallyo
