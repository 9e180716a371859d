#include "queuedspreadsheet.h"

#include "columnrange.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace tallyo {

namespace {

using Clock = std::chrono::steady_clock;

// Rows handed to the application in one round trip, and calls taken off the
// queue at once: both only bound the size of single operations.
constexpr std::size_t MaxRowsPerWrite = 4096;
constexpr std::size_t MaxCallsPerBatch = 8192;
// How long the destructor waits for a call the application is busy with.
constexpr std::chrono::seconds ExitWait{2};

std::string inSeconds(std::chrono::milliseconds duration)
{
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(duration).count();
    if (duration.count() % 1000 == 0)
        return std::to_string(whole) + (whole == 1 ? " second" : " seconds");
    return std::to_string(duration.count()) + " ms";
}

// The exception in flight, as the SpreadsheetError the caller is shown.
std::exception_ptr asSpreadsheetError(const std::string &applicationName)
{
    try {
        throw;
    } catch (const SpreadsheetError &) {
        return std::current_exception();
    } catch (const std::exception &e) {
        return std::make_exception_ptr(SpreadsheetError(
            SpreadsheetErrorNumber::CallFailed, applicationName + " failed: " + e.what()));
    } catch (...) {
        return std::make_exception_ptr(SpreadsheetError(
            SpreadsheetErrorNumber::CallFailed, applicationName + " failed for an unknown reason."));
    }
}

} // namespace

struct QueuedSpreadsheet::Call {
    enum class Kind { Visible, AddWorkbook, Cell, AutoFit, NumberFormat };
    Kind kind;
    int row = 0;         // Cell: row. AutoFit: first column.
    int column = 0;      // Cell: column. AutoFit: last column.
    bool visible = false;
    std::string text;    // Cell: the formula. NumberFormat: the format code.
};

struct QueuedSpreadsheet::Shared {
    explicit Shared(const QueueSettings &settings) : settings(settings) {}

    const QueueSettings settings;
    std::mutex mutex;
    std::condition_variable workerWake;
    std::condition_variable callerWake;

    // Everything below is guarded by mutex.
    std::deque<Call> queue;
    bool inHand = false;        // the worker is carrying out calls it took off the queue
    bool refreshOwed = false;   // an AutoFit or number format still waits for its turn
    bool flushRequested = false;
    bool inCall = false;        // the worker waits on the application ...
    Clock::time_point callStarted; // ... since then
    int callersWaiting = 0;
    bool stopping = false;
    bool created = false;
    bool workerDone = false;
    std::exception_ptr failure;   // for the caller, once
    std::exception_ptr deadError; // the application stopped answering: every call throws it
    // Set once before the constructor returns.
    std::string applicationName = "The spreadsheet application";
    int lastRow = 0;

    void throwIfFailed()
    {
        if (deadError)
            std::rethrow_exception(deadError);
        if (failure)
            std::rethrow_exception(std::exchange(failure, nullptr));
    }

    // Waits (lock held) until done() holds, throwing a failure of the worker
    // when there is one, and ApplicationGone when one call of the worker takes
    // longer than the stall timeout.
    template <class Done>
    void waitForWorker(std::unique_lock<std::mutex> &lock, Done done)
    {
        for (;;) {
            throwIfFailed();
            if (done())
                return;
            const auto deadline = callStarted + settings.stallTimeout;
            if (!inCall || Clock::now() < deadline) {
                ++callersWaiting;
                if (inCall)
                    callerWake.wait_until(lock, deadline);
                else
                    callerWake.wait(lock); // woken when a call starts
                --callersWaiting;
                continue;
            }
            deadError = std::make_exception_ptr(SpreadsheetError(
                SpreadsheetErrorNumber::ApplicationGone,
                applicationName + " stopped responding: it has not answered for "
                    + inSeconds(settings.stallTimeout) + "."));
            stopping = true;
            queue.clear();
            workerWake.notify_all();
        }
    }
};

// The worker's side: carries out queued calls, merging cell writes and
// deferring the refresh calls (AutoFit, number format).
class QueuedSpreadsheet::Worker {
public:
    Worker(Shared &shared, SheetBackend &backend)
        : m_shared(shared), m_backend(backend), m_name(backend.applicationName())
    {
    }

    void run()
    {
        std::vector<Call> batch;
        for (;;) {
            bool flush = false;
            {
                std::unique_lock lock(m_shared.mutex);
                m_shared.inHand = false;
                m_shared.refreshOwed = refreshOwed();
                m_shared.callerWake.notify_all();
                for (;;) {
                    if (m_shared.stopping)
                        return;
                    if (!m_shared.queue.empty())
                        break;
                    if (!refreshOwed()) {
                        m_shared.workerWake.wait(lock);
                        continue;
                    }
                    if (m_shared.flushRequested || Clock::now() >= m_refreshDue)
                        break;
                    m_shared.workerWake.wait_until(lock, m_refreshDue);
                }
                const auto count = std::min(m_shared.queue.size(), MaxCallsPerBatch);
                std::move(m_shared.queue.begin(), m_shared.queue.begin() + count, std::back_inserter(batch));
                m_shared.queue.erase(m_shared.queue.begin(), m_shared.queue.begin() + count);
                m_shared.inHand = true;
                flush = m_shared.flushRequested;
                if (count > 0 && m_shared.callersWaiting > 0)
                    m_shared.callerWake.notify_all(); // room in the queue
            }
            try {
                carryOut(batch);
                if (refreshOwed() && (flush || Clock::now() >= m_refreshDue))
                    refresh();
            } catch (const Stopping &) {
                return;
            } catch (...) {
                const auto error = asSpreadsheetError(m_name);
                m_fits.clear();
                m_format.reset();
                std::lock_guard lock(m_shared.mutex);
                if (!m_shared.failure)
                    m_shared.failure = error;
                m_shared.queue.clear();
            }
            batch.clear();
        }
    }

private:
    struct CellRun {
        int firstRow = 0;
        int column = 0;
        std::vector<std::string> texts;
    };

    bool refreshOwed() const { return !m_fits.empty() || m_format.has_value(); }

    void carryOut(std::vector<Call> &batch)
    {
        CellRun run;
        for (Call &call : batch) {
            switch (call.kind) {
            case Call::Kind::Cell:
                if (!run.texts.empty() && call.column == run.column
                    && call.row == run.firstRow + static_cast<int>(run.texts.size())
                    && run.texts.size() < MaxRowsPerWrite) {
                    run.texts.push_back(std::move(call.text));
                } else {
                    write(run);
                    run.firstRow = call.row;
                    run.column = call.column;
                    run.texts.push_back(std::move(call.text));
                }
                break;
            case Call::Kind::AutoFit:
                if (std::find(m_fits.begin(), m_fits.end(), ColumnSpan{call.row, call.column}) == m_fits.end())
                    m_fits.push_back({call.row, call.column});
                m_formatAfterFits = false;
                break;
            case Call::Kind::NumberFormat:
                m_format = std::move(call.text);
                m_formatAfterFits = true;
                break;
            case Call::Kind::Visible:
            case Call::Kind::AddWorkbook:
                // What was asked of the current workbook happens before these.
                write(run);
                if (refreshOwed())
                    refresh();
                if (call.kind == Call::Kind::Visible)
                    invoke([&] { m_backend.setVisible(call.visible); });
                else
                    invoke([&] { m_backend.addWorkbook(); });
                break;
            }
        }
        write(run);
    }

    void write(CellRun &run)
    {
        if (run.texts.empty())
            return;
        invoke([&] { m_backend.setCellFormulas(run.firstRow, run.column, run.texts); });
        run.texts.clear();
    }

    // Carries out the owed AutoFit and number format in the order they were
    // last asked for, and sets when the next may run.
    void refresh()
    {
        const auto started = Clock::now();
        auto fit = [&] {
            for (const ColumnSpan &span : m_fits)
                invoke([&] { m_backend.autoFitColumns(span.first, span.last); });
            m_fits.clear();
        };
        auto format = [&] {
            if (m_format)
                invoke([&] { m_backend.setSelectionNumberFormat(*m_format); });
            m_format.reset();
        };
        if (m_formatAfterFits) {
            fit();
            format();
        } else {
            format();
            fit();
        }
        const auto finished = Clock::now();
        const auto settings = m_shared.settings;
        m_refreshDue = finished
            + std::max<Clock::duration>(settings.refreshInterval, (finished - started) * settings.refreshCostFactor);
    }

    // Thrown into the worker's loop once the object is being destroyed:
    // nothing more reaches the application.
    struct Stopping {};

    template <class F>
    void invoke(F &&call)
    {
        {
            std::lock_guard lock(m_shared.mutex);
            if (m_shared.stopping)
                throw Stopping{};
            m_shared.inCall = true;
            m_shared.callStarted = Clock::now();
            if (m_shared.callersWaiting > 0)
                m_shared.callerWake.notify_all(); // their deadline starts now
        }
        struct Done {
            Shared &shared;
            ~Done()
            {
                std::lock_guard lock(shared.mutex);
                shared.inCall = false;
            }
        } done{m_shared};
        call();
    }

    Shared &m_shared;
    SheetBackend &m_backend;
    const std::string m_name;
    std::vector<ColumnSpan> m_fits;
    std::optional<std::string> m_format;
    bool m_formatAfterFits = true;
    Clock::time_point m_refreshDue{}; // the first refresh runs at once
};

void QueuedSpreadsheet::runWorker(std::shared_ptr<Shared> shared, BackendFactory createBackend)
{
    std::unique_ptr<SheetBackend> backend;
    try {
        backend = createBackend();
        if (!backend)
            throw SpreadsheetError(SpreadsheetErrorNumber::NotInstalled, "No spreadsheet application is available.");
        std::lock_guard lock(shared->mutex);
        shared->applicationName = backend->applicationName();
        shared->lastRow = backend->lastRow();
        shared->created = true;
        shared->callerWake.notify_all();
    } catch (...) {
        const auto error = asSpreadsheetError(shared->applicationName);
        backend.reset();
        std::lock_guard lock(shared->mutex);
        shared->failure = error;
        shared->created = true;
        shared->workerDone = true;
        shared->callerWake.notify_all();
        return;
    }

    Worker(*shared, *backend).run();
    backend.reset(); // on this thread, where it was created

    std::lock_guard lock(shared->mutex);
    shared->workerDone = true;
    shared->callerWake.notify_all();
}

QueuedSpreadsheet::QueuedSpreadsheet(BackendFactory createBackend, QueueSettings settings)
    : m_shared(std::make_shared<Shared>(settings))
{
    m_worker = std::thread(&QueuedSpreadsheet::runWorker, m_shared, std::move(createBackend));
    std::unique_lock lock(m_shared->mutex);
    if (!m_shared->callerWake.wait_for(lock, settings.createTimeout, [this] { return m_shared->created; })) {
        m_shared->stopping = true;
        lock.unlock();
        m_worker.detach();
        throw SpreadsheetError(SpreadsheetErrorNumber::StartFailed,
                               "The spreadsheet application did not start within "
                                   + inSeconds(settings.createTimeout) + ".");
    }
    if (m_shared->failure) {
        const auto failure = m_shared->failure;
        lock.unlock();
        m_worker.join();
        std::rethrow_exception(failure);
    }
}

QueuedSpreadsheet::~QueuedSpreadsheet()
{
    bool workerDone = false;
    {
        std::unique_lock lock(m_shared->mutex);
        m_shared->stopping = true;
        m_shared->queue.clear();
        m_shared->workerWake.notify_all();
        if (!m_shared->deadError)
            m_shared->callerWake.wait_for(lock, ExitWait, [this] { return m_shared->workerDone; });
        workerDone = m_shared->workerDone;
    }
    // A worker stuck in the application finishes on its own; it holds the
    // shared state and its backend.
    if (workerDone)
        m_worker.join();
    else
        m_worker.detach();
}

void QueuedSpreadsheet::enqueue(Call call)
{
    std::unique_lock lock(m_shared->mutex);
    m_shared->waitForWorker(lock, [this] { return m_shared->queue.size() < m_shared->settings.maxPendingCalls; });
    m_shared->queue.push_back(std::move(call));
    lock.unlock();
    m_shared->workerWake.notify_one();
}

void QueuedSpreadsheet::setVisible(bool visible)
{
    enqueue({Call::Kind::Visible, 0, 0, visible, {}});
}

void QueuedSpreadsheet::addWorkbook()
{
    enqueue({Call::Kind::AddWorkbook, 0, 0, false, {}});
}

void QueuedSpreadsheet::setCellFormula(int row, int column, const std::string &text)
{
    if (row < 1 || row > m_shared->lastRow || column < 1 || column > MaxSheetColumn) {
        throw SpreadsheetError(SpreadsheetErrorNumber::CallFailed,
                               "Cell (row " + std::to_string(row) + ", column " + std::to_string(column)
                                   + ") lies outside the worksheet, which has rows 1 to "
                                   + std::to_string(m_shared->lastRow) + " and columns 1 to "
                                   + std::to_string(MaxSheetColumn) + ".");
    }
    enqueue({Call::Kind::Cell, row, column, false, text});
}

void QueuedSpreadsheet::autoFitColumns(const std::string &columnRange)
{
    const auto span = parseColumnRange(columnRange);
    if (!span)
        throw SpreadsheetError(SpreadsheetErrorNumber::CallFailed,
                               "\"" + columnRange + "\" is not a range of columns such as \"A:AY\".");
    enqueue({Call::Kind::AutoFit, span->first, span->last, false, {}});
}

void QueuedSpreadsheet::setSelectionNumberFormat(const std::string &formatCode)
{
    enqueue({Call::Kind::NumberFormat, 0, 0, false, formatCode});
}

int QueuedSpreadsheet::lastRow() const
{
    return m_shared->lastRow;
}

void QueuedSpreadsheet::finish()
{
    std::unique_lock lock(m_shared->mutex);
    m_shared->flushRequested = true;
    m_shared->workerWake.notify_one();
    try {
        m_shared->waitForWorker(lock, [this] {
            return m_shared->queue.empty() && !m_shared->inHand && !m_shared->refreshOwed;
        });
    } catch (...) {
        m_shared->flushRequested = false;
        throw;
    }
    m_shared->flushRequested = false;
}

} // namespace tallyo
