// A second user of a running LibreOffice, for tests: looks at the workbooks a
// recording made, and acts on them the way a person at the office would.
//
// Exported as tallyo_calc_probe_create only by the tests' build of the Calc
// module (target tallyo-calc-test: the same sources plus this probe), never
// by the shipped libtallyo-calc.so. It attaches to the office accepting on
// the pipe of the options and never starts one. Workbooks are named by their
// window title ("Untitled 1"); sheets, rows and columns count from 1. Every
// call throws SpreadsheetError on failure.
//
// Plain C++ only: no Qt or UNO types.
#pragma once

#include "sheetbackend.h"

#include <string>
#include <vector>

namespace tallyo {

class CalcProbe {
public:
    enum class CellKind {
        Empty,
        Value,
        Text,
        Formula
    };
    struct Cell {
        std::string formula;
        CellKind kind = CellKind::Empty;
        bool operator==(const Cell &) const = default;
    };
    struct FormattedRange {
        std::string range; // "B2:C5"
        std::string formatCode; // "0"
        bool operator==(const FormattedRange &) const = default;
    };

    virtual ~CalcProbe() = default;

    // Every spreadsheet document open in the office.
    virtual std::vector<std::string> documentTitles() = 0;

    virtual std::vector<Cell> column(const std::string &document, int sheet, int column, int firstRow, int lastRow) = 0;
    // The number of the last row holding anything (0: none).
    virtual int lastUsedRow(const std::string &document, int sheet) = 0;
    // Widths in 1/100 mm.
    virtual std::vector<int> columnWidths(const std::string &document, int sheet, int firstColumn, int lastColumn) = 0;
    // The cell ranges whose number format is not the standard one.
    virtual std::vector<FormattedRange> formattedRanges(const std::string &document, int sheet) = 0;

    virtual int sheetCount(const std::string &document) = 0;
    virtual int activeSheet(const std::string &document) = 0;
    virtual void appendSheet(const std::string &document, const std::string &name) = 0;
    virtual void activateSheet(const std::string &document, int sheet) = 0;
    // The selection of the workbook's window ("B2:C5", ranges joined by ',').
    virtual std::string selection(const std::string &document) = 0;
    virtual void select(const std::string &document, const std::string &range) = 0;
    virtual bool windowVisible(const std::string &document) = 0;

    // Closes the workbook, discarding its changes, as a user choosing "Don't Save".
    virtual void closeDocument(const std::string &document) = 0;
};

inline constexpr char CalcProbeCreateSymbol[] = "tallyo_calc_probe_create";
using CalcProbeCreateFunction = CalcProbe *(*)(const SheetBackendOptions &);

} // namespace tallyo
