// The spreadsheet application as the recording sees it: calls return at once
// and are carried out, in order, by one worker thread that owns the backend.
//
// - Cell writes keep their order and are never lost or repeated; consecutive
//   rows of one column go to the application in one round trip.
// - AutoFit and the selection's number format change only how the sheet looks
//   and give the same result when repeated, so the worker carries them out at
//   most a few times a second (and less often when they grow expensive, as
//   Calc's AutoFit does with every row), always after the cells written before
//   them, and once more when finish() is called or a new workbook is added.
// - A failure on the worker is thrown from the next call, or from finish(),
//   once. Calls queued after the failing one are dropped, and so is the call
//   that throws it; calls made after that are carried out again.
// - No caller waits without a deadline: if the application spends longer than
//   the stall timeout on one call, the caller gets SpreadsheetError
//   (ApplicationGone) and the object is dead from then on.
// - The backend is created, used and destroyed on the worker thread, so the
//   object itself may be created on one thread and used from another (one
//   thread at a time).
#pragma once

#include "sheetbackend.h"
#include "spreadsheet.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

namespace tallyo {

struct QueueSettings {
    // Calls waiting for the worker. A caller finding the queue full waits for room.
    std::size_t maxPendingCalls = 4096;
    // AutoFit and the selection format take effect at most this often ...
    std::chrono::milliseconds refreshInterval{250};
    // ... and after one that took t, not again before refreshCostFactor * t.
    int refreshCostFactor = 4;
    // A caller waiting on the worker gives up when one call has taken this long.
    std::chrono::milliseconds stallTimeout{45'000};
    // Creating the backend (starting the application) may take this long.
    std::chrono::milliseconds createTimeout{90'000};
};

class QueuedSpreadsheet final : public SpreadsheetApp {
public:
    using BackendFactory = std::function<std::unique_ptr<SheetBackend>()>;

    // Creates the backend on the worker thread and waits for it. Throws
    // SpreadsheetError when that fails or takes longer than createTimeout.
    explicit QueuedSpreadsheet(BackendFactory createBackend, QueueSettings settings = {});
    // Drops the calls not carried out yet; nothing is written after this.
    // Waits at most a moment for a call the application is still busy with.
    ~QueuedSpreadsheet() override;

    QueuedSpreadsheet(const QueuedSpreadsheet &) = delete;
    QueuedSpreadsheet &operator=(const QueuedSpreadsheet &) = delete;

    void setVisible(bool visible) override;
    void addWorkbook() override;
    // Throws SpreadsheetError (CallFailed) at once for a cell outside the sheet.
    void setCellFormula(int row, int column, const std::string &text) override;
    // Throws SpreadsheetError (CallFailed) at once for a range that is not columns.
    void autoFitColumns(const std::string &columnRange) override;
    void setSelectionNumberFormat(const std::string &formatCode) override;
    int lastRow() const override;
    void finish() override;

private:
    struct Call;
    struct Shared;
    class Worker;

    void enqueue(Call call);
    static void runWorker(std::shared_ptr<Shared> shared, BackendFactory createBackend);

    std::shared_ptr<Shared> m_shared;
    std::thread m_worker;
};

} // namespace tallyo
