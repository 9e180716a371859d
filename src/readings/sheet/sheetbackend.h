// What a spreadsheet module (libtallyo-calc.so, tallyo-excel.dll) provides.
//
// A module exports a C entry point that creates a SheetBackend: one running
// application instance driven by automation, with calls that block until the
// application has carried them out. The program never talks to a SheetBackend
// directly; QueuedSpreadsheet owns it on a worker thread of its own, so every
// call on one backend comes from that one thread (COM needs this, UNO is
// content with it).
//
// Module and program are built together from this header; the exported ABI
// number keeps a module from another build out.
//
// Plain C++ only: no Qt, UNO or COM types.
#pragma once

#include "spreadsheet.h"

#include <chrono>
#include <string>
#include <vector>

namespace tallyo {

// How a module starts and reaches its application. The defaults are what the
// program uses; the other settings exist for tests and for unusual installs.
struct SheetBackendOptions {
    // Start the application without any window (LibreOffice only).
    bool headless = false;
    // LibreOffice: a private user profile as a file:// URL, which gives a new
    // office process of its own. Empty: the user's own profile, so the
    // workbook opens in the office the user already runs (or starts it).
    std::string profileUrl;
    // LibreOffice: the named pipe the office accepts automation on. Empty: a
    // fixed per-user name, so later recordings reuse the running office.
    std::string pipeName;
    // LibreOffice: the folder holding soffice. Empty: the Debian location.
    std::string officeProgramDirectory;
    // Starting the application and connecting to it must finish in this time.
    std::chrono::milliseconds startTimeout{60'000};
    // An application that takes longer than this to answer one call is taken
    // to be gone (LibreOffice: the link is cut, so no call waits any longer).
    std::chrono::milliseconds callTimeout{30'000};
};

class SheetBackend {
public:
    virtual ~SheetBackend() = default;

    // "LibreOffice Calc", "Microsoft Excel": used in messages.
    virtual std::string applicationName() const = 0;
    virtual int lastRow() const = 0;

    virtual void setVisible(bool visible) = 0;
    virtual void addWorkbook() = 0;
    // Sets the formulas of texts.size() consecutive cells of one column of the
    // active sheet, from (firstRow, column) downwards. Rows and columns 1-based.
    virtual void setCellFormulas(int firstRow, int column, const std::vector<std::string> &texts) = 0;
    // Optimal width for the columns firstColumn..lastColumn (1-based) of the
    // active sheet, and of every other sheet that received cells since the
    // previous call (the user switched sheets in between; the earlier sheet
    // was active when its cells were written and is owed the same fit).
    virtual void autoFitColumns(int firstColumn, int lastColumn) = 0;
    virtual void setSelectionNumberFormat(const std::string &formatCode) = 0;
};

// Exported by every module, with C linkage:
//   int tallyo_sheet_module_abi();                                   -> SheetModuleAbi
//   tallyo::SheetBackend *tallyo_sheet_backend_create(const tallyo::SheetBackendOptions &);
// The create function starts (or attaches to) the application and throws
// SpreadsheetError when it cannot. The caller owns the returned object and
// must call it, and delete it, on the thread that created it.
inline constexpr int SheetModuleAbi = 1;
inline constexpr char SheetModuleAbiSymbol[] = "tallyo_sheet_module_abi";
inline constexpr char SheetBackendCreateSymbol[] = "tallyo_sheet_backend_create";
using SheetModuleAbiFunction = int (*)();
using SheetBackendCreateFunction = SheetBackend *(*)(const SheetBackendOptions &);

} // namespace tallyo
