// The spreadsheet application that a recording drives by automation.
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

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace tallyo {

// A failure of the spreadsheet application or of the automation link to it.
// `number` and `text` are what the user is shown.
struct SpreadsheetError : std::runtime_error {
    SpreadsheetError(int number, const std::string &text)
        : std::runtime_error(text), number(number) {}
    int number;
};

// Error numbers used by the backends (shown to the user with the text).
namespace SpreadsheetErrorNumber {
inline constexpr int NotInstalled = 429;     // the application cannot be created
inline constexpr int StartFailed = 430;      // it was found but did not start in time
inline constexpr int DocumentGone = 1004;    // the workbook/sheet was closed by the user
inline constexpr int ApplicationGone = 462;  // the application quit or crashed
inline constexpr int CallFailed = 440;       // any other refused call
}

class SpreadsheetApp {
public:
    virtual ~SpreadsheetApp() = default;

    virtual void setVisible(bool visible) = 0;
    virtual void addWorkbook() = 0;
    // row and column are 1-based; text is UTF-8 and is stored unchanged.
    virtual void setCellFormula(int row, int column, const std::string &text) = 0;
    virtual void autoFitColumns(const std::string &columnRange) = 0;
    virtual void setSelectionNumberFormat(const std::string &formatCode) = 0;

    // The last row a worksheet of this application has (1,048,576 for Calc and Excel).
    virtual int lastRow() const = 0;

    // A backend may carry calls out after they return (so that the next counter
    // exchange need not wait for the application). A failure of such a call is
    // thrown from a later call, or from finish(). finish() returns once every
    // call made so far has had its effect in the sheet.
    virtual void finish() = 0;
};

// Creates (starts) a new application instance. Throws SpreadsheetError.
using SpreadsheetFactory = std::function<std::unique_ptr<SpreadsheetApp>()>;

} // namespace tallyo
