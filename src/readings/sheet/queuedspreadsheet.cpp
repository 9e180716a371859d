// How the caller and the worker share one queue
// ---------------------------------------------
// The caller appends calls to `queue` and returns; it holds the mutex only
// for bookkeeping, never while the application works. The worker owns the
// backend and loops:
//   1. Under the mutex it picks the next thing to do: an owed refresh (below)
//      when it is due or a Visible / Workbooks.Add is next; else the call at
//      the front of the queue, or a run of cells down one column (one write).
//      The first `sending` calls of the queue are now in the application's
//      hands.
//   2. Without the mutex, it makes that one backend call.
//   3. Under the mutex it takes off the queue what the call carried out (a
//      failed write: the leading cells it reports done) and notifies.
// So the queue is at every moment the exact account of what is not known to
// be in the sheet, and its first `sending` calls are those in flight.
//
// AutoFit and the number format never wait in the queue: asking for one
// marks the last queued call (`refreshAfter`), or, when nothing is queued,
// makes the refresh owed at once. A marked call leaving the queue makes it
// owed. The refresh carries out the last fit and format asked for.
//
// The first failure ends the sending: the worker leaves and the queue stays
// as it is. abandon() sets the failure and cancels the backend's call; that
// call's cells stay in flight unless it still answers, with what it wrote.
// The worker also leaves when the object is let go of while idle; it is
// joined through sheetworkers.h.
#include "queuedspreadsheet.h"

#include "columnrange.h"
#include "sheetworkers.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>

namespace tallyo {

namespace {

using Clock = std::chrono::steady_clock;
namespace Error = SpreadsheetErrorNumber;

// Rows handed to the application in one write, at most.
constexpr std::size_t MaxRowsPerWrite = 4096;

// The exception in flight, as a SpreadsheetError the user can be shown.
SpreadsheetError asSpreadsheetError(const std::string &applicationName)
{
    try {
        throw;
    } catch (const SpreadsheetError &e) {
        return e;
    } catch (const std::exception &e) {
        return SpreadsheetError(Error::CallFailed, applicationName + " failed: " + e.what());
    } catch (...) {
        return SpreadsheetError(Error::CallFailed, applicationName + " failed for an unknown reason.");
    }
}

} // namespace

struct QueuedSpreadsheet::Call {
    enum class Kind {
        Visible,
        AddWorkbook,
        Cell
    };
    Kind kind;
    SheetCell cell; // Cell
    bool visible = false; // Visible
    bool refreshAfter = false; // a fit or format was asked for after this call
};

struct QueuedSpreadsheet::Shared {
    explicit Shared(const QueueSettings &settings) : settings(settings) {}

    const QueueSettings settings;
    mutable std::mutex mutex;
    std::condition_variable workerWake;
    std::condition_variable cancelEnded;

    // Everything below is guarded by mutex.
    std::deque<Call> queue; // not carried out yet, oldest first
    std::size_t sending = 0; // the first calls of queue, in the application's hands
    bool refreshOwed = false;
    bool refreshing = false;
    std::optional<ColumnSpan> fit; // the last asked for
    std::optional<std::string> format; // the last asked for
    Clock::time_point lastCall{};
    bool started = false;
    bool abandoned = false;
    bool stopping = false; // let go of while idle: the worker ends
    std::optional<SpreadsheetError> failure;
    std::uint64_t callsAnswered = 0;
    std::string applicationName = "The spreadsheet application";
    long long lastRow = SheetLastRow;

    SheetBackend *backend = nullptr; // for cancel(), while the worker has one
    int cancelsInFlight = 0;

    ChangeNotifier notify; // called with the mutex let go of

    // (lock held) The backend call under way ended: its first `done` calls
    // had their effect. A call cut off by abandon() leaves the rest in flight.
    void answered(std::size_t done, const std::optional<SpreadsheetError> &error)
    {
        ++callsAnswered;
        for (std::size_t i = 0; i < done; ++i) {
            refreshOwed = refreshOwed || queue.front().refreshAfter;
            queue.pop_front();
        }
        // Given up: what the call did not confirm may still land. Failed: the
        // cells the application may have written as it went away.
        if (error && abandoned)
            sending -= done;
        else
            sending = error ? std::min(error->cellsMaybe, sending - done) : 0;
        if (error && !failure)
            failure = error;
    }
};

// The worker's side: starts the application, then carries out the queue.
class QueuedSpreadsheet::Worker {
public:
    explicit Worker(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)), s(*m_shared) {}

    void run(const std::vector<BackendFactory> &candidates)
    {
        std::unique_ptr<SheetBackend> backend = start(candidates);
        m_backend = backend.get();
        for (std::unique_lock lock(s.mutex); m_backend && !s.failure;) {
            const bool barrierNext = !s.queue.empty() && s.queue.front().kind != Call::Kind::Cell;
            const auto due = refreshDue();
            if (s.refreshOwed && (barrierNext || s.stopping || Clock::now() >= due)) {
                refresh(lock);
            } else if (!s.queue.empty()) {
                send(lock);
            } else {
                if (s.refreshOwed)
                    s.workerWake.wait_until(lock, due);
                else if (s.stopping)
                    break;
                else
                    s.workerWake.wait(lock);
                continue;
            }
            lock.unlock(); // the change made, told with no lock held
            s.notify();
            lock.lock();
        }
        letGo(std::move(backend));
    }

private:
    // Destroys the backend here, on its own thread, once no cancel() is under way.
    void letGo(std::unique_ptr<SheetBackend> backend)
    {
        {
            std::unique_lock lock(s.mutex);
            s.backend = nullptr;
            s.cancelEnded.wait(lock, [&] { return s.cancelsInFlight == 0; });
        }
        backend.reset();
    }

    // The first candidate that is made and starts; null after a failure.
    std::unique_ptr<SheetBackend> start(const std::vector<BackendFactory> &candidates)
    {
        std::optional<SpreadsheetError> failure;
        for (const BackendFactory &candidate : candidates) {
            std::unique_ptr<SheetBackend> backend;
            try {
                backend = candidate();
                if (!backend)
                    throw SpreadsheetError(Error::NotInstalled, "No spreadsheet application is available.");
                const bool goOn = publish([&] {
                    s.backend = backend.get();
                    s.applicationName = backend->applicationName();
                });
                if (goOn)
                    backend->start();
                publish([&] {
                    s.started = true;
                    s.lastRow = backend->lastRow();
                });
                return backend; // given up meanwhile: failure() says so
            } catch (...) {
                const SpreadsheetError error =
                    asSpreadsheetError(backend ? backend->applicationName() : s.applicationName);
                letGo(std::move(backend));
                // One that is not installed lets the next try; the first such error tells it when none can.
                if (!failure || error.number != Error::NotInstalled)
                    failure = error;
                if (error.number != Error::NotInstalled)
                    break;
            }
        }
        publish([&] {
            if (!s.failure)
                s.failure = failure.value_or(
                    SpreadsheetError(Error::NotInstalled, "No spreadsheet application is known to this program."));
        });
        return nullptr;
    }

    // Changes the shared state unless the application was given up, and notifies.
    template <class Change> bool publish(Change change)
    {
        {
            std::lock_guard lock(s.mutex);
            if (s.abandoned)
                return false;
            change();
        }
        s.notify();
        return true;
    }

    // When the owed refresh may run: its interval after the last one, or as
    // soon as the calls have paused; never sooner than its cost allows.
    Clock::time_point refreshDue() const
    {
        if (!m_lastRefreshEnd)
            return Clock::time_point::min(); // the first runs at once
        const auto costly = *m_lastRefreshEnd
            + std::min<Clock::duration>(m_lastRefreshCost * s.settings.refreshCostFactor,
                                        s.settings.longestRefreshHold);
        const auto regular = std::max(*m_lastRefreshEnd + s.settings.refreshInterval, costly);
        const auto quiet = std::max(s.lastCall + s.settings.quietRefresh, costly);
        return std::min(regular, quiet);
    }

    // (lock held) Carries out the front call, or a run of cells from the front.
    void send(std::unique_lock<std::mutex> &lock)
    {
        const Call first = s.queue.front();
        std::vector<std::string> texts;
        for (const Call &call : s.queue) {
            if (call.kind != Call::Kind::Cell || first.kind != Call::Kind::Cell || texts.size() >= m_writeSize
                || call.cell.column != first.cell.column
                || call.cell.row != first.cell.row + static_cast<long long>(texts.size()))
                break;
            texts.push_back(call.cell.text);
        }
        const std::size_t count = first.kind == Call::Kind::Cell ? texts.size() : 1;
        s.sending = count;
        lock.unlock();

        std::size_t done = count;
        std::optional<SpreadsheetError> error;
        const auto began = Clock::now();
        try {
            if (first.kind == Call::Kind::Cell)
                m_backend->setCellFormulas(first.cell.row, first.cell.column, texts);
            else if (first.kind == Call::Kind::Visible)
                m_backend->setVisible(first.visible);
            else
                m_backend->addWorkbook();
        } catch (...) {
            error = asSpreadsheetError(m_backend->applicationName());
            done = first.kind == Call::Kind::Cell ? std::min(error->cellsDone, count) : 0;
        }
        if (first.kind == Call::Kind::Cell && !error) { // the next write: about writeTarget at this pace
            const double took = std::chrono::duration<double>(Clock::now() - began).count();
            const double fit = std::chrono::duration<double>(s.settings.writeTarget).count() * double(count);
            m_writeSize = took * double(MaxRowsPerWrite) <= fit ? MaxRowsPerWrite
                                                                : std::max<std::size_t>(1, std::size_t(fit / took));
        }
        lock.lock();
        s.answered(done, error);
    }

    // (lock held) The last fit, then the last format asked for.
    void refresh(std::unique_lock<std::mutex> &lock)
    {
        s.refreshOwed = false;
        s.refreshing = true;
        const auto fit = s.fit;
        const auto format = s.format;
        lock.unlock();

        std::optional<SpreadsheetError> error;
        const auto began = Clock::now();
        try {
            if (fit)
                m_backend->autoFitColumns(fit->first, fit->last);
            if (format)
                m_backend->setSelectionNumberFormat(*format);
        } catch (...) {
            error = asSpreadsheetError(m_backend->applicationName());
        }
        m_lastRefreshEnd = Clock::now();
        m_lastRefreshCost = *m_lastRefreshEnd - began;
        lock.lock();
        s.refreshing = false;
        s.answered(0, error);
    }

    std::shared_ptr<Shared> m_shared;
    Shared &s;
    SheetBackend *m_backend = nullptr;
    std::size_t m_writeSize = MaxRowsPerWrite;
    std::optional<Clock::time_point> m_lastRefreshEnd;
    Clock::duration m_lastRefreshCost{};
};

QueuedSpreadsheet::QueuedSpreadsheet(std::vector<BackendFactory> candidates, QueueSettings settings)
    : m_shared(std::make_shared<Shared>(settings))
{
    // The worker holds the shared state: it may outlive this object while
    // the application answers the call it was given up in.
    startSheetWorker([shared = m_shared, candidates = std::move(candidates)] { Worker(shared).run(candidates); });
}

QueuedSpreadsheet::QueuedSpreadsheet(BackendFactory createBackend, QueueSettings settings)
    : QueuedSpreadsheet(std::vector<BackendFactory>{std::move(createBackend)}, settings)
{}

QueuedSpreadsheet::~QueuedSpreadsheet()
{
    m_shared->notify.set(nullptr);
    bool busy = false;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->stopping = true;
        busy = !m_shared->failure
            && (!m_shared->started || !m_shared->queue.empty() || m_shared->refreshOwed || m_shared->refreshing);
        m_shared->workerWake.notify_all();
    }
    if (busy)
        abandon();
}

template <class Change> void QueuedSpreadsheet::change(Change change)
{
    {
        std::lock_guard lock(m_shared->mutex);
        if (!change(*m_shared))
            return;
        m_shared->lastCall = Clock::now();
        m_shared->workerWake.notify_one();
    }
    m_shared->notify();
}

void QueuedSpreadsheet::enqueue(Call call)
{
    change([&](Shared &s) {
        // After a failure nothing more is sent; a cell handed over is kept with the others.
        if (s.failure && call.kind != Call::Kind::Cell)
            return false;
        s.queue.push_back(std::move(call));
        return true;
    });
}

void QueuedSpreadsheet::setVisible(bool visible)
{
    enqueue({Call::Kind::Visible, {}, visible});
}

void QueuedSpreadsheet::addWorkbook()
{
    enqueue({Call::Kind::AddWorkbook, {}});
}

void QueuedSpreadsheet::setCellFormula(long long row, int column, const std::string &text)
{
    const long long last = lastRow();
    if (row < 1 || row > last || column < 1 || column > MaxSheetColumn) {
        throw SpreadsheetError(Error::CallFailed,
                               "Cell (row " + std::to_string(row) + ", column " + std::to_string(column)
                                   + ") lies outside the worksheet, which has rows 1 to " + std::to_string(last)
                                   + " and columns 1 to " + std::to_string(MaxSheetColumn) + ".");
    }
    enqueue({Call::Kind::Cell, {row, column, text}});
}

void QueuedSpreadsheet::autoFitColumns(const std::string &columnRange)
{
    const auto span = parseColumnRange(columnRange);
    if (!span)
        throw SpreadsheetError(Error::CallFailed,
                               "\"" + columnRange + "\" is not a range of columns such as \"A:AY\".");
    askRefresh([&](Shared &s) { s.fit = span; });
}

void QueuedSpreadsheet::setSelectionNumberFormat(const std::string &formatCode)
{
    askRefresh([&](Shared &s) { s.format = formatCode; });
}

template <class Set> void QueuedSpreadsheet::askRefresh(Set set)
{
    change([&](Shared &s) {
        if (s.failure)
            return false;
        set(s);
        // The mark is read when the call leaves the queue: one in flight counts too.
        (s.queue.empty() ? s.refreshOwed : s.queue.back().refreshAfter) = true;
        return true;
    });
}

long long QueuedSpreadsheet::lastRow() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->lastRow;
}

bool QueuedSpreadsheet::started() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->started;
}

bool QueuedSpreadsheet::settled() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->started && !m_shared->failure && m_shared->queue.empty() && !m_shared->refreshOwed
        && !m_shared->refreshing;
}

std::uint64_t QueuedSpreadsheet::callsAnswered() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->callsAnswered;
}

std::optional<SpreadsheetError> QueuedSpreadsheet::failure() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->failure;
}

std::vector<SheetCell> QueuedSpreadsheet::unwritten() const
{
    std::lock_guard lock(m_shared->mutex);
    std::vector<SheetCell> cells;
    for (std::size_t i = 0; i < m_shared->queue.size(); ++i) {
        const Call &call = m_shared->queue[i];
        if (call.kind != Call::Kind::Cell)
            continue;
        cells.push_back(call.cell);
        // In flight only once given up or failed: until then the call may still answer.
        cells.back().inFlight = (m_shared->abandoned || m_shared->failure) && i < m_shared->sending;
    }
    return cells;
}

void QueuedSpreadsheet::setChangeNotifier(std::function<void()> notify)
{
    m_shared->notify.set(std::move(notify));
}

void QueuedSpreadsheet::abandon()
{
    SheetBackend *backend = nullptr;
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->abandoned)
            return;
        m_shared->abandoned = true;
        if (!m_shared->failure)
            m_shared->failure = SpreadsheetError(
                Error::Abandoned, m_shared->applicationName + " was given up: nothing more was sent to it.");
        m_shared->workerWake.notify_all();
        backend = m_shared->backend;
        if (backend)
            ++m_shared->cancelsInFlight;
    }
    if (backend) {
        backend->cancel(); // returns at once
        std::lock_guard lock(m_shared->mutex);
        --m_shared->cancelsInFlight;
        m_shared->cancelEnded.notify_all();
    }
    m_shared->notify();
}

} // namespace tallyo
