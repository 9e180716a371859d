// The spreadsheet backends this program knows, by name. Each is a module
// beside the executable (sheetbackend.h); the build says which ones a
// platform tries, and in which order (TALLYO_SHEET_BACKENDS in CMake).
//
// Adding a backend: write its module (one .cpp exporting the two entry
// points of sheetbackend.h), add a row here, and name it in CMake.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tallyo {

struct SheetModule {
    std::string_view name; // "calc": what the build and the options name it by
    std::string_view baseName; // "tallyo-calc": libtallyo-calc.so, tallyo-calc.dll
    std::string_view applicationName; // "LibreOffice Calc": for messages
    std::string_view installHint; // what the user installs to have it
};

inline constexpr SheetModule SheetModules[] = {
    {"calc", "tallyo-calc", "LibreOffice Calc",
     "Install LibreOffice Calc (the package libreoffice-calc) to record readings into a workbook."},
    {"excel", "tallyo-excel", "Microsoft Excel", "Install Microsoft Excel to record readings into a workbook."},
};

// The row of that name; null when there is none.
const SheetModule *findSheetModule(std::string_view name);
// The module's file name on this platform: libtallyo-calc.so, tallyo-excel.dll.
std::string sheetModuleFileName(const SheetModule &module);
// The names this build tries, in order.
std::vector<std::string> platformSheetModules();

} // namespace tallyo
