#include "queuedspreadsheet.h"

#include "columnrange.h"

#include <algorithm>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

namespace tallyo {

namespace {

using Clock = std::chrono::steady_clock;
namespace Error = SpreadsheetErrorNumber;

// The largest sheet either application has, until the backend tells its own.
constexpr long long LargestSheetRow = 1'048'576;
// Rows handed to the application in one round trip, and calls taken off the
// queue at once: both only bound the size of single operations.
constexpr std::size_t MaxRowsPerWrite = 4096;
constexpr std::size_t MaxCallsPerBatch = 8192;

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

SpreadsheetError abandonedError(const std::string &applicationName)
{
    return SpreadsheetError(Error::Abandoned,
                            applicationName + " was given up: nothing more was sent to it.");
}

} // namespace

namespace {

// AutoFit and number-format requests, merged: they change only how the sheet
// looks and give the same result when repeated.
struct Refresh {
    std::vector<ColumnSpan> fits;
    std::optional<std::string> format;
    bool formatAfterFits = true; // the order they were last asked in

    bool empty() const { return fits.empty() && !format; }
    void addFit(ColumnSpan span)
    {
        if (std::find(fits.begin(), fits.end(), span) == fits.end())
            fits.push_back(span);
        formatAfterFits = false;
    }
    void setFormat(std::string code)
    {
        format = std::move(code);
        formatAfterFits = true;
    }
    void merge(const Refresh &later)
    {
        for (const ColumnSpan &span : later.fits)
            addFit(span);
        if (later.format)
            format = later.format;
        if (!later.empty())
            formatAfterFits = later.formatAfterFits;
    }
};

} // namespace

// A call that waits in the queue: a cell, or Visible / Workbooks.Add, which
// carry the refresh asked for before them (it belongs to the workbook they
// leave behind). AutoFit and number format never wait in the queue: a turn
// of a recording costs one queued call.
struct QueuedSpreadsheet::Call {
    enum class Kind { Visible, AddWorkbook, Cell };
    Kind kind;
    long long row = 0; // Cell
    int column = 0;    // Cell
    bool visible = false;
    std::string text;  // Cell: the formula
    std::shared_ptr<const Refresh> refreshFirst; // Visible, AddWorkbook
};

struct QueuedSpreadsheet::Shared {
    explicit Shared(const QueueSettings &settings) : settings(settings) {}

    const QueueSettings settings;
    mutable std::mutex mutex;
    std::condition_variable workerWake;
    std::condition_variable quietWake; // cancels and notifications in flight ending

    // Everything below is guarded by mutex.
    // Every call not carried out yet, oldest first; the worker holds copies
    // of the first `taken` and takes each off once it has had its effect.
    std::deque<Call> queue;
    std::size_t taken = 0;
    std::size_t barriersQueued = 0;     // Visible and Workbooks.Add calls in the queue
    std::uint64_t enqueued = 0;         // calls ever queued ...
    std::uint64_t confirmed = 0;        // ... and ever carried out
    // The refresh asked for since the last Visible or Workbooks.Add was
    // queued; it is owed (again) after the first `pendingAfter` calls.
    Refresh pending;
    std::uint64_t pendingAfter = 0;
    bool workerOwes = false;            // the worker holds a refresh not carried out yet
    Clock::time_point lastCall{};
    bool started = false;
    bool abandoned = false;     // nothing more reaches the application
    bool stopping = false;      // the object is gone: the worker ends when idle
    std::optional<SpreadsheetError> failure;
    std::vector<SheetCell> lost; // after a failure: the cells that will never be written
    std::string applicationName = "The spreadsheet application";
    long long lastRow = LargestSheetRow;

    SheetBackend *backend = nullptr; // for cancel(), while the worker has one
    int cancelsInFlight = 0;
    std::function<void()> notifier;
    std::vector<std::thread::id> notifying;

    // Runs the change notifier with no lock held.
    void notify()
    {
        std::unique_lock lock(mutex);
        if (!notifier)
            return;
        const auto call = notifier;
        notifying.push_back(std::this_thread::get_id());
        lock.unlock();
        call();
        lock.lock();
        notifying.erase(std::find(notifying.begin(), notifying.end(), std::this_thread::get_id()));
        quietWake.notify_all();
    }

    // (lock held) Lets a notification under way on another thread end (it is
    // short), so that the notifier it runs may be let go of.
    void waitForOtherNotifications(std::unique_lock<std::mutex> &lock)
    {
        quietWake.wait(lock, [&] {
            return std::all_of(notifying.begin(), notifying.end(),
                               [](std::thread::id id) { return id == std::this_thread::get_id(); });
        });
    }

    // (lock held) The cells in the queue, skipping the first `skip` of them.
    std::vector<SheetCell> queuedCells(std::size_t skip) const
    {
        std::vector<SheetCell> cells;
        for (const Call &call : queue) {
            if (call.kind != Call::Kind::Cell)
                continue;
            if (skip > 0)
                --skip;
            else
                cells.push_back({call.row, call.column, call.text});
        }
        return cells;
    }

    // (lock held) Sending ends for good: `error` becomes the failure unless
    // one is set, and what is queued becomes lost, except the first
    // `cellsLanded` cells, which are in the sheet.
    void fail(const SpreadsheetError &error, std::size_t cellsLanded)
    {
        if (failure) { // abandoned while the call was under way: its cells were counted lost
            lost.erase(lost.begin(), lost.begin() + std::ptrdiff_t(std::min(cellsLanded, lost.size())));
            return;
        }
        failure = error;
        lost = queuedCells(cellsLanded);
        queue.clear();
        taken = 0;
        barriersQueued = 0;
        pending = {};
        workerOwes = false;
        workerWake.notify_all();
    }

    // Asks the backend, if any, to give up its call; no lock held on entry.
    void cancelBackend()
    {
        std::unique_lock lock(mutex);
        SheetBackend *current = backend;
        if (!current)
            return;
        ++cancelsInFlight;
        lock.unlock();
        current->cancel(); // returns at once
        lock.lock();
        --cancelsInFlight;
        quietWake.notify_all();
    }
};

// The worker's side: starts the application, carries out queued calls,
// merges cell writes and defers the refresh calls (AutoFit, number format).
class QueuedSpreadsheet::Worker {
public:
    Worker(std::shared_ptr<Shared> shared, std::vector<BackendFactory> candidates)
        : m_shared(std::move(shared)), m_candidates(std::move(candidates))
    {
    }

    void run()
    {
        std::unique_ptr<SheetBackend> backend = start();
        if (backend) {
            m_backend = backend.get();
            loop();
        }
        letGo(std::move(backend));
    }

private:
    // Thrown inside the worker once nothing more may reach the application.
    struct Stop {};

    struct CellRun {
        long long firstRow = 0;
        int column = 0;
        std::vector<std::string> texts;
    };

    std::unique_ptr<SheetBackend> start()
    {
        std::optional<SpreadsheetError> notInstalled;
        for (std::size_t i = 0; i < m_candidates.size(); ++i) {
            std::unique_ptr<SheetBackend> backend;
            try {
                backend = m_candidates[i]();
                if (!backend)
                    throw SpreadsheetError(Error::NotInstalled, "No spreadsheet application is available.");
                {
                    std::lock_guard lock(m_shared->mutex);
                    if (m_shared->abandoned)
                        throw Stop{};
                    m_shared->backend = backend.get();
                    m_shared->applicationName = backend->applicationName();
                }
                backend->start();
                {
                    std::lock_guard lock(m_shared->mutex);
                    if (m_shared->abandoned)
                        throw Stop{};
                    m_shared->started = true;
                    m_shared->lastRow = backend->lastRow();
                    m_shared->workerWake.notify_all();
                }
                m_shared->notify();
                return backend;
            } catch (const Stop &) {
                letGo(std::move(backend));
                return nullptr;
            } catch (...) {
                const SpreadsheetError error = asSpreadsheetError(backend ? backend->applicationName()
                                                                          : std::string("The spreadsheet application"));
                letGo(std::move(backend));
                if (error.number == Error::NotInstalled && i + 1 < m_candidates.size()) {
                    if (!notInstalled)
                        notInstalled = error;
                    continue;
                }
                {
                    std::lock_guard lock(m_shared->mutex);
                    m_shared->fail(error.number == Error::NotInstalled && notInstalled ? *notInstalled : error, 0);
                }
                m_shared->notify();
                return nullptr;
            }
        }
        {
            std::lock_guard lock(m_shared->mutex);
            m_shared->fail(SpreadsheetError(Error::NotInstalled, "No spreadsheet application is known to this program."), 0);
        }
        m_shared->notify();
        return nullptr;
    }

    // Destroys the backend here, on its own thread, once no cancel() is under way.
    void letGo(std::unique_ptr<SheetBackend> backend)
    {
        {
            std::unique_lock lock(m_shared->mutex);
            m_shared->backend = nullptr;
            m_shared->quietWake.wait(lock, [&] { return m_shared->cancelsInFlight == 0; });
        }
        m_backend = nullptr;
        backend.reset();
    }

    void loop()
    {
        std::vector<Call> batch;
        for (;;) {
            {
                std::unique_lock lock(m_shared->mutex);
                for (;;) {
                    if (m_shared->failure)
                        return;
                    if (m_shared->queue.size() > m_shared->taken)
                        break;
                    if (!refreshOwed(lock)) {
                        if (m_shared->stopping)
                            return;
                        m_shared->workerWake.wait(lock);
                        continue;
                    }
                    const auto due = refreshDue(m_shared->lastCall);
                    if (Clock::now() >= due || m_shared->stopping)
                        break;
                    m_shared->workerWake.wait_until(lock, due);
                }
                const std::size_t count = std::min(m_shared->queue.size() - m_shared->taken, MaxCallsPerBatch);
                const auto from = m_shared->queue.begin() + std::ptrdiff_t(m_shared->taken);
                batch.assign(from, from + std::ptrdiff_t(count));
                m_shared->taken += count;
            }
            try {
                carryOut(batch);
                bool owed = false;
                Clock::time_point due;
                bool stopping = false;
                {
                    std::unique_lock lock(m_shared->mutex);
                    owed = refreshOwed(lock);
                    due = refreshDue(m_shared->lastCall);
                    stopping = m_shared->stopping;
                }
                if (owed && (Clock::now() >= due || stopping))
                    refresh(true);
            } catch (const Stop &) {
                return;
            } catch (...) {
                const SpreadsheetError error = asSpreadsheetError(m_backend->applicationName());
                {
                    std::lock_guard lock(m_shared->mutex);
                    m_shared->fail(error, error.cellsDone);
                }
                m_shared->notify();
                return;
            }
            batch.clear();
        }
    }

    // (lock held) A refresh waits: the worker's own, or one asked for since
    // the last Visible or Workbooks.Add, once those are carried out.
    bool refreshOwed(const std::unique_lock<std::mutex> &) const
    {
        return !m_owed.empty() || (!m_shared->pending.empty() && m_shared->barriersQueued == 0);
    }

    // When the owed refresh may run: its interval after the last one, or as
    // soon as the calls have paused; never sooner than its cost allows.
    Clock::time_point refreshDue(Clock::time_point lastCall) const
    {
        if (!m_lastRefreshEnd)
            return Clock::time_point::min(); // the first runs at once
        const auto &settings = m_shared->settings;
        const auto costly = *m_lastRefreshEnd + m_lastRefreshCost * settings.refreshCostFactor;
        const auto regular = std::max(*m_lastRefreshEnd + settings.refreshInterval, costly);
        const auto quiet = std::max(lastCall + settings.quietRefresh, costly);
        return std::min(regular, quiet);
    }

    void carryOut(std::vector<Call> &batch)
    {
        CellRun run;
        std::size_t confirmed = 0; // calls of the batch taken off the queue
        auto confirmUpTo = [&](std::size_t end) {
            std::size_t cells = 0;
            std::size_t barriers = 0;
            for (std::size_t i = confirmed; i < end; ++i)
                (batch[i].kind == Call::Kind::Cell ? cells : barriers) += 1;
            confirm(end - confirmed, cells, barriers);
            confirmed = end;
        };
        for (std::size_t i = 0; i < batch.size(); ++i) {
            Call &call = batch[i];
            if (call.kind == Call::Kind::Cell) {
                if (!run.texts.empty() && call.column == run.column
                    && call.row == run.firstRow + static_cast<long long>(run.texts.size())
                    && run.texts.size() < MaxRowsPerWrite) {
                    run.texts.push_back(std::move(call.text));
                } else {
                    if (write(run))
                        confirmUpTo(i);
                    run.firstRow = call.row;
                    run.column = call.column;
                    run.texts.push_back(std::move(call.text));
                }
                continue;
            }
            // What was asked of the current workbook happens before these.
            if (write(run))
                confirmUpTo(i);
            if (call.refreshFirst)
                m_owed.merge(*call.refreshFirst);
            if (!m_owed.empty())
                refresh(false);
            if (call.kind == Call::Kind::Visible)
                invoke([&] { m_backend->setVisible(call.visible); });
            else
                invoke([&] { m_backend->addWorkbook(); });
            confirmUpTo(i + 1);
        }
        write(run);
        confirmUpTo(batch.size());
    }

    // Writes the run, if it holds cells, and empties it; true if it did.
    bool write(CellRun &run)
    {
        if (run.texts.empty())
            return false;
        invoke([&] { m_backend->setCellFormulas(run.firstRow, run.column, run.texts); });
        run.texts.clear();
        return true;
    }

    // Takes the first `count` calls off the queue: they have had their effect
    // (or, for a refresh call, it is owed and tracked here).
    void confirm(std::size_t count, std::size_t cells, std::size_t barriers)
    {
        if (count == 0)
            return;
        {
            std::lock_guard lock(m_shared->mutex);
            if (m_shared->failure) {
                // Abandoned meanwhile: the cells of these calls reached the sheet after all.
                m_shared->fail(*m_shared->failure, cells);
                throw Stop{};
            }
            m_shared->queue.erase(m_shared->queue.begin(), m_shared->queue.begin() + std::ptrdiff_t(count));
            m_shared->taken -= count;
            m_shared->barriersQueued -= barriers;
            m_shared->confirmed += count;
        }
        m_shared->notify();
    }

    // Carries out the owed AutoFit and number format in the order they were
    // last asked for; with takePending, also those asked for since the last
    // Visible or Workbooks.Add once that is carried out. A request that came
    // after cells not yet written stays owed, to run again after them.
    void refresh(bool takePending)
    {
        {
            std::lock_guard lock(m_shared->mutex);
            if (takePending && m_shared->barriersQueued == 0 && !m_shared->pending.empty()) {
                m_owed.merge(m_shared->pending);
                if (m_shared->confirmed >= m_shared->pendingAfter)
                    m_shared->pending = {};
            }
            m_shared->workerOwes = !m_owed.empty();
        }
        const auto started = Clock::now();
        auto fit = [&] {
            for (const ColumnSpan &span : m_owed.fits)
                invoke([&] { m_backend->autoFitColumns(span.first, span.last); });
        };
        auto format = [&] {
            if (m_owed.format)
                invoke([&] { m_backend->setSelectionNumberFormat(*m_owed.format); });
        };
        if (m_owed.formatAfterFits) {
            fit();
            format();
        } else {
            format();
            fit();
        }
        m_owed = {};
        m_lastRefreshEnd = Clock::now();
        m_lastRefreshCost = *m_lastRefreshEnd - started;
        {
            std::lock_guard lock(m_shared->mutex);
            if (m_shared->failure)
                throw Stop{};
            m_shared->workerOwes = false;
        }
        m_shared->notify();
    }

    template <class F>
    void invoke(F &&call)
    {
        {
            std::lock_guard lock(m_shared->mutex);
            if (m_shared->abandoned)
                throw Stop{};
        }
        call();
    }

    std::shared_ptr<Shared> m_shared;
    std::vector<BackendFactory> m_candidates;
    SheetBackend *m_backend = nullptr;
    Refresh m_owed; // taken on, not carried out yet
    std::optional<Clock::time_point> m_lastRefreshEnd;
    Clock::duration m_lastRefreshCost{};
};

QueuedSpreadsheet::QueuedSpreadsheet(std::vector<BackendFactory> candidates, QueueSettings settings)
    : m_shared(std::make_shared<Shared>(settings))
{
    // The worker holds the shared state and outlives this object when the
    // application keeps it busy.
    std::thread([shared = m_shared, candidates = std::move(candidates)]() mutable {
        Worker(std::move(shared), std::move(candidates)).run();
    }).detach();
}

QueuedSpreadsheet::QueuedSpreadsheet(BackendFactory createBackend, QueueSettings settings)
    : QueuedSpreadsheet(std::vector<BackendFactory>{std::move(createBackend)}, settings)
{
}

QueuedSpreadsheet::~QueuedSpreadsheet()
{
    bool busy = false;
    {
        std::unique_lock lock(m_shared->mutex);
        m_shared->notifier = nullptr;
        m_shared->waitForOtherNotifications(lock);
        m_shared->stopping = true;
        busy = !m_shared->failure
            && (!m_shared->started || !m_shared->queue.empty() || !m_shared->pending.empty() || m_shared->workerOwes);
        m_shared->workerWake.notify_all();
    }
    if (busy)
        abandon();
}

void QueuedSpreadsheet::enqueue(Call call)
{
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->failure) {
            // Nothing more is sent; a cell handed over is kept with the others.
            if (call.kind != Call::Kind::Cell)
                return;
            m_shared->lost.push_back({call.row, call.column, std::move(call.text)});
        } else {
            if (call.kind != Call::Kind::Cell) {
                if (!m_shared->pending.empty())
                    call.refreshFirst = std::make_shared<const Refresh>(std::exchange(m_shared->pending, {}));
                ++m_shared->barriersQueued;
            }
            m_shared->queue.push_back(std::move(call));
            ++m_shared->enqueued;
            m_shared->lastCall = Clock::now();
            m_shared->workerWake.notify_one();
        }
    }
    m_shared->notify();
}

template <class Ask>
void QueuedSpreadsheet::askRefresh(Ask ask)
{
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->failure)
            return;
        ask(m_shared->pending);
        m_shared->pendingAfter = m_shared->enqueued;
        m_shared->lastCall = Clock::now();
        m_shared->workerWake.notify_one();
    }
    m_shared->notify();
}

void QueuedSpreadsheet::setVisible(bool visible)
{
    enqueue({Call::Kind::Visible, 0, 0, visible, {}, {}});
}

void QueuedSpreadsheet::addWorkbook()
{
    enqueue({Call::Kind::AddWorkbook, 0, 0, false, {}, {}});
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
    enqueue({Call::Kind::Cell, row, column, false, text, {}});
}

void QueuedSpreadsheet::autoFitColumns(const std::string &columnRange)
{
    const auto span = parseColumnRange(columnRange);
    if (!span)
        throw SpreadsheetError(Error::CallFailed,
                               "\"" + columnRange + "\" is not a range of columns such as \"A:AY\".");
    askRefresh([&](Refresh &refresh) { refresh.addFit(*span); });
}

void QueuedSpreadsheet::setSelectionNumberFormat(const std::string &formatCode)
{
    askRefresh([&](Refresh &refresh) { refresh.setFormat(formatCode); });
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
    return m_shared->started && !m_shared->failure && m_shared->queue.empty() && m_shared->pending.empty()
        && !m_shared->workerOwes;
}

std::optional<SpreadsheetError> QueuedSpreadsheet::failure() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->failure;
}

std::vector<SheetCell> QueuedSpreadsheet::unwritten() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->failure ? m_shared->lost : m_shared->queuedCells(0);
}

void QueuedSpreadsheet::setChangeNotifier(std::function<void()> notify)
{
    std::unique_lock lock(m_shared->mutex);
    m_shared->notifier = std::move(notify);
    m_shared->waitForOtherNotifications(lock);
}

void QueuedSpreadsheet::abandon()
{
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->abandoned)
            return;
        m_shared->abandoned = true;
        m_shared->fail(abandonedError(m_shared->applicationName), 0);
    }
    m_shared->cancelBackend();
    m_shared->notify();
}

} // namespace tallyo
