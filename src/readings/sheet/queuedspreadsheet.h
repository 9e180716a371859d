// QueuedSpreadsheet is the SpreadsheetApp (spreadsheet.h) the recording uses:
// its calls return at once and are carried out, in order, by one worker
// thread that owns a blocking SheetBackend (sheetbackend.h).
//
// - Cell writes keep their order and are never lost or repeated; consecutive
//   rows of one column go to the application in one round trip. A busy or
//   frozen application only delays them: they wait, however many.
// - AutoFit and the selection's number format change only how the sheet looks
//   and give the same result when repeated: the worker carries out the last
//   ones asked for (the fit, then the format) at most a few times a second,
//   always after the cells written before them and before a Visible or
//   Workbooks.Add that follows, and soon after the calls stop coming.
//   settled() holds only once they are in place.
// - The first failure of the application ends the sending for good: it is
//   kept in failure(), and every cell not known to be in the sheet stays in
//   unwritten().
// - The backend is created, started, used and destroyed on the worker thread,
//   which touches no Qt object. Workers end on their own once their
//   application is let go of; joinSheetWorkers() (sheetworkers.h) waits for that.
#pragma once

#include "sheetbackend.h"
#include "spreadsheet.h"

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace tallyo {

struct QueueSettings {
    // AutoFit and the selection format take effect at most this often ...
    std::chrono::milliseconds refreshInterval{250};
    // ... and after one that took t, not again before refreshCostFactor * t,
    // a hold of at most longestRefreshHold (a call the application was
    // frozen in is no measure of what the next one costs);
    int refreshCostFactor = 4;
    std::chrono::milliseconds longestRefreshHold{1000};
    // ... but as soon as no call has come for this long.
    std::chrono::milliseconds quietRefresh{50};
    // A write holds as many cells as the application took in about this long
    // at its last pace, so a slow application answers (shows progress) often.
    std::chrono::milliseconds writeTarget{1000};
};

class QueuedSpreadsheet final : public SpreadsheetApp {
public:
    // Makes a backend (without starting it); runs on the worker thread and may throw SpreadsheetError.
    using BackendFactory = std::function<std::unique_ptr<SheetBackend>()>;

    // Returns at once. The worker tries the candidates in order: the first
    // that is made and starts is the application; one that throws
    // NotInstalled lets the next try (the first such error is the failure
    // when none starts).
    explicit QueuedSpreadsheet(std::vector<BackendFactory> candidates, QueueSettings settings = {});
    explicit QueuedSpreadsheet(BackendFactory createBackend, QueueSettings settings = {});
    ~QueuedSpreadsheet() override;

    QueuedSpreadsheet(const QueuedSpreadsheet &) = delete;
    QueuedSpreadsheet &operator=(const QueuedSpreadsheet &) = delete;

    void setVisible(bool visible) override;
    void addWorkbook() override;
    void setCellFormula(long long row, int column, const std::string &text) override;
    void autoFitColumns(const std::string &columnRange) override;
    void setSelectionNumberFormat(const std::string &formatCode) override;
    long long lastRow() const override;

    bool started() const override;
    bool settled() const override;
    std::uint64_t callsAnswered() const override;
    std::optional<SpreadsheetError> failure() const override;
    std::vector<SheetCell> unwritten() const override;
    void setChangeNotifier(std::function<void()> notify) override;
    void abandon() override;

private:
    struct Call;
    struct Shared;
    class Worker;

    // Makes a change the worker is to see (false: none) and notifies.
    template <class Change> void change(Change change);
    void enqueue(Call call);
    template <class Set> void askRefresh(Set set);

    std::shared_ptr<Shared> m_shared;
};

} // namespace tallyo
