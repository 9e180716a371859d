// SheetBackend is the blocking, one-thread form of SpreadsheetApp's six calls
// (spreadsheet.h) that a spreadsheet module implements; the program reaches it
// only through QueuedSpreadsheet, which owns one on a worker thread.
//
// A module (libtallyo-calc.so, tallyo-excel.dll, ...) exports a C entry point
// that creates a SheetBackend: one application instance driven by
// automation. Every call on one backend comes from the one thread that
// created it (COM needs this, UNO is content with it), except cancel().
//
// Module and program are built together from this header; the exported ABI
// number keeps a module from another build out.
//
// Plain C++ only: no Qt, UNO or COM types.
#pragma once

#include "spreadsheet.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace tallyo {

// How a module starts and reaches its application.
struct SheetBackendOptions {
    // Starting the application and connecting to it must finish in this time.
    std::chrono::milliseconds startTimeout{60'000};
    // The module's own settings by name, as text (Calc's: calcoptions.h). A
    // module ignores names it does not know. Empty: what a user gets.
    std::map<std::string, std::string> settings;
};

class SheetBackend {
public:
    // Lets go of the application and its workbook, leaving both open. Unless
    // cancelled, it may make a last call to the application.
    virtual ~SheetBackend() = default;

    // "LibreOffice Calc", "Microsoft Excel": used in messages.
    virtual std::string applicationName() const = 0;
    virtual long long lastRow() const = 0;

    // Starts the application, or attaches to one that runs: blocks until it
    // answers. Called once, before the calls below. Throws NotInstalled,
    // StartFailed (not up within startTimeout) or Abandoned (cancel()).
    virtual void start() = 0;

    // The calls block until the application has carried them out, however
    // long it is busy: a busy or frozen application only delays them. They
    // throw SpreadsheetError when the application refuses or is gone, and
    // Abandoned once cancel() was called.
    virtual void setVisible(bool visible) = 0;
    virtual void addWorkbook() = 0;
    // Sets the formulas of texts.size() consecutive cells of one column of the
    // active sheet, from (firstRow, column) downwards; rows and columns
    // 1-based. A failure part-way tells in cellsDone how many leading cells
    // are in the sheet, so that none is written twice or counted lost.
    virtual void setCellFormulas(long long firstRow, int column, const std::vector<std::string> &texts) = 0;
    // Optimal width for the columns firstColumn..lastColumn (1-based) of the
    // active sheet, and of every other sheet that received cells since the
    // previous call (the user switched sheets in between; the earlier sheet
    // was active when its cells were written and is owed the same fit).
    virtual void autoFitColumns(int firstColumn, int lastColumn) = 0;
    virtual void setSelectionNumberFormat(const std::string &formatCode) = 0;

    // From any thread; returns at once. The call in progress (start() too)
    // and every later call throw SpreadsheetError (Abandoned) as soon as the
    // module can end them; nothing more is sent to the application. An
    // application the module launched itself that holds nothing yet is ended.
    virtual void cancel() = 0;
};

// Exported by every module, with C linkage:
//   int tallyo_sheet_module_abi();                                   -> SheetModuleAbi
//   tallyo::SheetBackend *tallyo_sheet_backend_create(const tallyo::SheetBackendOptions &);
// The create function only makes the object (no call to the application, so
// it returns at once); start() starts the application. The caller owns the
// returned object and calls it, and deletes it, on the thread that created it.
inline constexpr int SheetModuleAbi = 2;
inline constexpr char SheetModuleAbiSymbol[] = "tallyo_sheet_module_abi";
inline constexpr char SheetBackendCreateSymbol[] = "tallyo_sheet_backend_create";
using SheetModuleAbiFunction = int (*)();
using SheetBackendCreateFunction = SheetBackend *(*)(const SheetBackendOptions &);

} // namespace tallyo
