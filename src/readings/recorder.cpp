#include "recorder.h"

#include "intervals.h"
#include "limittext.h"
#include "unwrittenfile.h"

#include <QEventLoop>
#include <QScopeGuard>
#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace tallyo {

namespace {
std::string readings(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " reading" : " readings");
}
} // namespace

Recorder::Recorder(CounterLink &link, SpreadsheetFactory factory, std::function<int()> intervalPosition,
                   ProgramLife &life, RecorderOptions options, QObject *parent)
    : QObject(parent),
      m_link(link),
      m_factory(std::move(factory)),
      m_intervalPosition(std::move(intervalPosition)),
      m_life(life),
      m_options(std::move(options))
{
    m_sheetSignal->recorder = this;
}

Recorder::~Recorder()
{
    {
        std::lock_guard lock(m_sheetSignal->mutex);
        m_sheetSignal->recorder = nullptr;
    }
    // Applications still in use are given up, never waited for.
    if (m_excelApp)
        m_excelApp->setChangeNotifier({});
}

void Recorder::stop()
{
    m_stopRecord = true;
    ++m_stops;
    m_link.wakeWaits();
}

void Recorder::saveBeforeExit()
{
    m_life.askedToEnd();
    for (SpreadsheetApp *app : std::vector(m_recordingInto))
        finishForExit(*app);
    m_recordingInto.clear();
}

void Recorder::record()
{
    m_stopRecord = false;
    m_link.ReopenPort();
    const std::shared_ptr<SpreadsheetApp> app = startSpreadsheet();
    // The newest recording's application; one that runs on under a nested
    // recording keeps its own.
    m_excelApp = app;
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
    app->setChangeNotifier([signal = m_sheetSignal] {
        std::lock_guard lock(signal->mutex);
        if (signal->recorder)
            QMetaObject::invokeMethod(signal->recorder, &Recorder::sheetChanged, Qt::QueuedConnection);
        signal->changed.notify_all();
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
    m_recordingInto.push_back(&app);
    const auto done = qScopeGuard([&] { std::erase(m_recordingInto, &app); });
    const quint64 stopsBefore = m_stops;
    const auto stopped = [&] { return m_stops != stopsBefore; };
    // A silent counter is asked again until it answers or the user stops.
    const ReadingRequest request{stopped, true};
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
            if (!m_link.portOpen())
                throw ExchangeAbandoned{};
            const std::optional<QString> reading = m_link.RequestReading(request);
            if (!reading)
                break; // stopped while the counter was silent
            app.setCellFormula(row, 1, reading->toStdString());
            app.autoFitColumns("A:AY");
            app.setSelectionNumberFormat("0");
            const int position = m_intervalPosition();
            if (intervalHasPause(position))
                m_link.Delay(kReadingIntervals[size_t(position)].seconds);
            if (stopped())
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

Recorder::Settled Recorder::waitUntilSettled(SpreadsheetApp &app, std::chrono::milliseconds stallLimit)
{
    QEventLoop loop;
    QTimer stall;
    stall.setSingleShot(true);
    stall.setTimerType(Qt::PreciseTimer);
    bool stalled = false;
    connect(&stall, &QTimer::timeout, &loop, [&] {
        stalled = true;
        loop.quit();
    });
    connect(this, &Recorder::sheetChanged, &loop, &QEventLoop::quit);
    connect(&m_life, &ProgramLife::endingStarted, &loop, &QEventLoop::quit);
    std::uint64_t answered = app.callsAnswered();
    stall.start(stallLimit);
    for (;;) {
        if (app.failure())
            return Settled::Failed;
        if (app.settled())
            return Settled::Yes;
        if (const std::uint64_t now = app.callsAnswered(); now != answered) { // progress
            answered = now;
            stalled = false;
            stall.start(stallLimit);
        }
        if (stalled)
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
        settled = waitUntilSettled(app, m_options.stallLimit);
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
                                           "The spreadsheet application stopped taking readings: it took none for "
                                               + inSeconds(m_options.stallLimit) + "."));
    }
}

void Recorder::failWithUnwritten(SpreadsheetApp &app, const SpreadsheetError &error)
{
    throw SpreadsheetError(error.number,
                           std::string(error.what()) + " The recording has ended. " + saveUnwritten(app.unwritten()));
}

void Recorder::finishForExit(SpreadsheetApp &app)
{
    // The event loop is ending and runs no more: wait on the application's
    // own signal, within the end budget (what is left of it is for saving
    // the file and ending).
    m_life.askedToEnd();
    const auto deadline = m_life.waitsEndBy();
    {
        std::unique_lock lock(m_sheetSignal->mutex);
        m_sheetSignal->changed.wait_until(lock, deadline, [&] { return app.settled() || app.failure(); });
    }
    app.abandon();
    const std::vector<SheetCell> cells = app.unwritten();
    // The window is gone: say it where a user starting the program from a
    // terminal, or its log, sees it.
    if (!cells.empty())
        std::fprintf(stderr, "frequency-tallyo: %s\n", saveUnwritten(cells).c_str());
}

std::string Recorder::saveUnwritten(const std::vector<SheetCell> &cells)
{
    if (cells.empty())
        return "Every reading taken is in the sheet.";
    const auto maybe =
        std::size_t(std::count_if(cells.begin(), cells.end(), [](const SheetCell &cell) { return cell.inFlight; }));
    const std::size_t missed = cells.size() - maybe;
    const char *were = maybe == 1 ? " was" : " were";
    const QString folder = m_options.unwrittenFolder.isEmpty() ? unwrittenReadingsFolder() : m_options.unwrittenFolder;
    const SavedReadings saved = saveUnwrittenReadings(cells, folder, QDateTime::currentDateTime());
    const std::string path = saved.path.toStdString();
    std::string text;
    if (maybe == 0) {
        text = readings(missed) + " that did not reach the sheet";
        if (saved.path.isEmpty())
            return text + " could not be saved (" + saved.error.toStdString() + ").";
        return text + (missed == 1 ? " is saved, with its row number, in " : " are saved, with their row numbers, in ")
            + path + ".";
    }
    if (missed == 0)
        text = readings(maybe) + were + " being written when it stopped answering and may be in the sheet.";
    else
        text = readings(missed) + " did not reach the sheet; " + std::to_string(maybe) + " more" + were
            + " being written when it stopped answering and may be there too.";
    if (saved.path.isEmpty())
        return text + " They could not be saved (" + saved.error.toStdString() + ").";
    return text + (cells.size() == 1 ? " It is" : " They are") + " saved, with "
        + (cells.size() == 1 ? "its row number" : "their row numbers") + ", in " + path + "; \"maybe-in-sheet\" marks "
        + (maybe == 1 ? "the one that may be there." : "those that may be there.");
}

} // namespace tallyo
