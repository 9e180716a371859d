// A SheetBackend that only keeps a journal of what it was asked, for tests of
// the call queue and of anything built on it. A test can hold calls (a gate:
// the application is busy or frozen), fail one (hook), and see on which
// thread each call ran.
#pragma once

#include "queuedspreadsheet.h"
#include "sheetbackend.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tallyo::test {

struct FakeSheetCall {
    enum class Kind {
        Start,
        Visible,
        AddWorkbook,
        Cells,
        AutoFit,
        NumberFormat
    };
    Kind kind;
    long long first = 0; // Cells: first row. AutoFit: first column. Visible: 0/1.
    int second = 0; // Cells: column. AutoFit: last column.
    std::vector<std::string> texts; // Cells: the texts. NumberFormat: the code.
    std::thread::id thread;
};

class FakeSheetJournal {
public:
    // Runs on the backend's thread before each call is recorded; may throw
    // (the call fails; for Cells, a SpreadsheetError's cellsDone leading
    // texts are recorded as written) or wait.
    void setHook(std::function<void(const FakeSheetCall &)> hook);
    // While closed, every call waits at the gate (until cancel()).
    void closeGate();
    void openGate();
    // A call at the gate then ignores cancel(): it waits for the gate and
    // takes effect, as an application that never lets go of a call.
    void answerAfterCancel() { m_answerAfterCancel = true; }

    std::vector<FakeSheetCall> calls() const;
    // Every cell written, in the order written, as "row,column=text".
    std::vector<std::string> writes() const;
    int count(FakeSheetCall::Kind kind) const;
    std::thread::id createdOn() const;
    bool destroyed() const;
    bool cancelled() const;
    // Calls waiting at the closed gate.
    int waitingAtGate() const;

    // Used by FakeSheetBackend.
    void record(FakeSheetCall call);
    void noteCreated();
    void noteDestroyed();
    void cancel();

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_gateWake;
    bool m_gateOpen = true;
    bool m_cancelled = false;
    std::atomic<bool> m_answerAfterCancel{false};
    int m_waiting = 0;
    std::function<void(const FakeSheetCall &)> m_hook;
    std::vector<FakeSheetCall> m_calls;
    std::thread::id m_createdOn;
    bool m_destroyed = false;
};

class FakeSheetBackend final : public SheetBackend {
public:
    static constexpr long long LastRow = SheetLastRow;

    explicit FakeSheetBackend(std::shared_ptr<FakeSheetJournal> journal);
    ~FakeSheetBackend() override;

    std::string applicationName() const override { return "The test sheet"; }
    long long lastRow() const override { return LastRow; }
    void start() override;
    void setVisible(bool visible) override;
    void addWorkbook() override;
    void setCellFormulas(long long firstRow, int column, const std::vector<std::string> &texts) override;
    void autoFitColumns(int firstColumn, int lastColumn) override;
    void setSelectionNumberFormat(const std::string &formatCode) override;
    void cancel() override;

private:
    std::shared_ptr<FakeSheetJournal> m_journal;
};

// The recording's real queue and worker thread, over a FakeSheetBackend.
SpreadsheetFactory queuedFake(const std::shared_ptr<FakeSheetJournal> &journal, QueueSettings settings = {});

// "row,column=text" for each of texts, written from firstRow down one column.
std::vector<std::string> cellWrites(long long firstRow, int column, const std::vector<std::string> &texts);

} // namespace tallyo::test
