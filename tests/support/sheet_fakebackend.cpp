#include "sheet_fakebackend.h"

namespace tallyo::test {

SpreadsheetFactory queuedFake(const std::shared_ptr<FakeSheetJournal> &journal, QueueSettings settings)
{
    return [journal, settings]() -> std::unique_ptr<SpreadsheetApp> {
        return std::make_unique<QueuedSpreadsheet>([journal] { return std::make_unique<FakeSheetBackend>(journal); },
                                                   settings);
    };
}

std::vector<std::string> cellWrites(long long firstRow, int column, const std::vector<std::string> &texts)
{
    std::vector<std::string> writes;
    for (std::size_t i = 0; i < texts.size(); ++i)
        writes.push_back(std::to_string(firstRow + static_cast<long long>(i)) + "," + std::to_string(column) + "="
                         + texts[i]);
    return writes;
}

void FakeSheetJournal::setHook(std::function<void(const FakeSheetCall &)> hook)
{
    std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
}

void FakeSheetJournal::closeGate()
{
    std::lock_guard lock(m_mutex);
    m_gateOpen = false;
}

void FakeSheetJournal::openGate()
{
    {
        std::lock_guard lock(m_mutex);
        m_gateOpen = true;
    }
    m_gateWake.notify_all();
}

void FakeSheetJournal::cancel()
{
    {
        std::lock_guard lock(m_mutex);
        m_cancelled = true;
    }
    m_gateWake.notify_all();
}

std::vector<FakeSheetCall> FakeSheetJournal::calls() const
{
    std::lock_guard lock(m_mutex);
    return m_calls;
}

std::vector<std::string> FakeSheetJournal::writes() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> writes;
    for (const FakeSheetCall &call : m_calls) {
        if (call.kind == FakeSheetCall::Kind::Cells) {
            const auto some = cellWrites(call.first, call.second, call.texts);
            writes.insert(writes.end(), some.begin(), some.end());
        }
    }
    return writes;
}

int FakeSheetJournal::count(FakeSheetCall::Kind kind) const
{
    std::lock_guard lock(m_mutex);
    int n = 0;
    for (const FakeSheetCall &call : m_calls)
        n += call.kind == kind;
    return n;
}

std::thread::id FakeSheetJournal::createdOn() const
{
    std::lock_guard lock(m_mutex);
    return m_createdOn;
}

int FakeSheetJournal::waitingAtGate() const
{
    std::lock_guard lock(m_mutex);
    return m_waiting;
}

bool FakeSheetJournal::destroyed() const
{
    std::lock_guard lock(m_mutex);
    return m_destroyed;
}

bool FakeSheetJournal::cancelled() const
{
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

void FakeSheetJournal::record(FakeSheetCall call)
{
    const auto abandoned = [] {
        return SpreadsheetError(SpreadsheetErrorNumber::Abandoned, "The test sheet was given up.");
    };
    call.thread = std::this_thread::get_id();
    std::function<void(const FakeSheetCall &)> hook;
    {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        const bool deaf = m_answerAfterCancel;
        m_gateWake.wait(lock, [&] { return m_gateOpen || (m_cancelled && !deaf); });
        --m_waiting;
        if (m_cancelled && !deaf)
            throw abandoned();
        hook = m_hook;
    }
    try {
        if (hook)
            hook(call);
    } catch (const SpreadsheetError &e) {
        if (call.kind == FakeSheetCall::Kind::Cells && e.cellsDone > 0) {
            call.texts.resize(std::min(e.cellsDone, call.texts.size()));
            std::lock_guard lock(m_mutex);
            m_calls.push_back(std::move(call));
        }
        throw;
    }
    std::lock_guard lock(m_mutex);
    m_calls.push_back(std::move(call));
}

void FakeSheetJournal::noteCreated()
{
    std::lock_guard lock(m_mutex);
    m_createdOn = std::this_thread::get_id();
}

void FakeSheetJournal::noteDestroyed()
{
    std::lock_guard lock(m_mutex);
    m_destroyed = true;
}

FakeSheetBackend::FakeSheetBackend(std::shared_ptr<FakeSheetJournal> journal) : m_journal(std::move(journal))
{
    m_journal->noteCreated();
}

FakeSheetBackend::~FakeSheetBackend()
{
    m_journal->noteDestroyed();
}

void FakeSheetBackend::start()
{
    m_journal->record({FakeSheetCall::Kind::Start, 0, 0, {}, {}});
}

void FakeSheetBackend::setVisible(bool visible)
{
    m_journal->record({FakeSheetCall::Kind::Visible, visible ? 1 : 0, 0, {}, {}});
}

void FakeSheetBackend::addWorkbook()
{
    m_journal->record({FakeSheetCall::Kind::AddWorkbook, 0, 0, {}, {}});
}

void FakeSheetBackend::setCellFormulas(long long firstRow, int column, const std::vector<std::string> &texts)
{
    m_journal->record({FakeSheetCall::Kind::Cells, firstRow, column, texts, {}});
}

void FakeSheetBackend::autoFitColumns(int firstColumn, int lastColumn)
{
    m_journal->record({FakeSheetCall::Kind::AutoFit, firstColumn, lastColumn, {}, {}});
}

void FakeSheetBackend::setSelectionNumberFormat(const std::string &formatCode)
{
    m_journal->record({FakeSheetCall::Kind::NumberFormat, 0, 0, {formatCode}, {}});
}

void FakeSheetBackend::cancel()
{
    m_journal->cancel();
}

} // namespace tallyo::test
