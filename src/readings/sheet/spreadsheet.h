// SpreadsheetApp is the recording's queued, never-blocking face of one
// spreadsheet application; a module implements the same six calls as the
// blocking SheetBackend (sheetbackend.h), which QueuedSpreadsheet drives on a
// worker thread of its own.
//
// One object stands for one running application instance (the window's
// `excelApp`). Its members mirror the automation calls a recording makes:
//   create "Excel.application"            -> SpreadsheetFactory
//   Visible = True                        -> setVisible(true)
//   Workbooks.Add                         -> addWorkbook()
//   cells(row, col).Formula = text        -> setCellFormula(row, col, text)
//   Columns("A:AY").EntireColumn.AutoFit  -> autoFitColumns("A:AY")
//   Selection.NumberFormat = "0"          -> setSelectionNumberFormat("0")
// Every call addresses whatever sheet is active, and whatever is selected, in
// that application at the moment the call takes effect.
//
// This header is deliberately free of Qt, UNO and COM types: backends are
// modules loaded at run time and the program starts without any of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tallyo {

// A failure of the spreadsheet application or of the automation link to it.
// `number` and what() are what the user is shown.
struct SpreadsheetError : std::runtime_error {
    SpreadsheetError(int number, const std::string &text, std::size_t cellsDone = 0, std::size_t cellsMaybe = 0)
        : std::runtime_error(text), number(number), cellsDone(cellsDone), cellsMaybe(cellsMaybe)
    {}
    int number;
    // A write of several cells that failed part-way: how many of its leading
    // cells are in the sheet. 0 for every other call.
    std::size_t cellsDone;
    // How many cells after those the failing call may still have written:
    // the application went away while it was answering it.
    std::size_t cellsMaybe;
};

// Error numbers used by the backends (shown to the user with the text).
namespace SpreadsheetErrorNumber {
inline constexpr int NotInstalled = 429; // the application cannot be created
inline constexpr int StartFailed = 430; // it was found but did not start in time
inline constexpr int DocumentGone = 1004; // the workbook/sheet was closed by the user
inline constexpr int ApplicationGone = 462; // the application quit or crashed
inline constexpr int CallFailed = 440; // any other refused call
inline constexpr int Abandoned = 18; // given up by us: nothing more is sent
} // namespace SpreadsheetErrorNumber

// The last row of a worksheet, in Calc and in Excel alike.
inline constexpr long long SheetLastRow = 1'048'576;

// One cell handed to the application: 1-based row and column, UTF-8 text.
struct SheetCell {
    long long row = 0;
    int column = 0;
    std::string text;
    // Handed to the application in a call that never answered (it was given
    // up): the cell may be in the sheet.
    bool inFlight = false;
    bool operator==(const SheetCell &) const = default;
};

class SpreadsheetApp {
public:
    // Never blocks. An application still busy with calls is abandoned (as by
    // abandon()): nothing more is sent to it.
    virtual ~SpreadsheetApp() = default;

    // The six calls. They are queued and carried out in order; none blocks the
    // caller, whatever the application does (the queue has no cap: it grows
    // with the rows, which the sheet bounds). None throws for the state of
    // the application: its failures come through failure(). A cell outside
    // the sheet, or a column range that is not one, throws CallFailed at once.
    // row and column are 1-based; text is UTF-8.
    virtual void setVisible(bool visible) = 0;
    virtual void addWorkbook() = 0;
    virtual void setCellFormula(long long row, int column, const std::string &text) = 0;
    virtual void autoFitColumns(const std::string &columnRange) = 0;
    virtual void setSelectionNumberFormat(const std::string &formatCode) = 0;
    // The last row a worksheet of this application has (SheetLastRow for Calc and Excel).
    virtual long long lastRow() const = 0;

    // State, safe to read from any thread:
    // The application is up (starting it succeeded).
    virtual bool started() const = 0;
    // Every call made so far has had its effect in the sheet (false after a failure).
    virtual bool settled() const = 0;
    // How many calls the application has answered so far (a write of cells,
    // a fit, a format, ...): a waiting caller's measure of its progress.
    virtual std::uint64_t callsAnswered() const = 0;
    // Set once, when the application has failed for good, or by abandon().
    virtual std::optional<SpreadsheetError> failure() const = 0;
    // The cells handed over that are not known to be in the sheet, in the
    // order they were handed over. After a failure none of them is sent any
    // more; those marked inFlight were in a call cut off by abandon() and may
    // have landed (a call that still answers takes off what it wrote).
    virtual std::vector<SheetCell> unwritten() const = 0;
    // Called, from any thread and with no lock held, after every change of the
    // state above. Keep it short (post an event). Once this returns, the
    // previous notifier is not running on another thread and is not called
    // again; none is called once this object is destroyed.
    virtual void setChangeNotifier(std::function<void()> notify) = 0;

    // Returns at once: nothing more reaches the application, and a call it
    // hangs in is cut off; the cells of that call stay in unwritten(), marked
    // inFlight. failure() becomes Abandoned unless it was set.
    virtual void abandon() = 0;
};

// Returns at once: the application starts on the object's own worker thread
// (started() or failure() tell the outcome).
using SpreadsheetFactory = std::function<std::unique_ptr<SpreadsheetApp>()>;

} // namespace tallyo
