// Finds the spreadsheet application of this platform at run time.
//
// The program itself never links a spreadsheet application: the backend is a
// module beside the executable (libtallyo-calc.so for LibreOffice Calc on
// Linux, tallyo-excel.dll for Microsoft Excel on Windows), loaded the first
// time a recording asks for the application. Where the module or the
// application is missing, calling the factory throws SpreadsheetError
// (NotInstalled) with a message for the user, and the program carries on.
#pragma once

#include "queuedspreadsheet.h"
#include "sheetbackend.h"
#include "spreadsheet.h"

#include <string>

namespace tallyo {

struct SpreadsheetLoaderOptions {
    // Where the module is. Empty: beside the running program, else in
    // ../lib/frequency-tallyo from its real directory (an installed program).
    std::string moduleDirectory;
    SheetBackendOptions backend;
    QueueSettings queue;
};

// The module's file name on this platform.
std::string spreadsheetModuleFileName();

// A factory whose applications return from every call at once (see
// QueuedSpreadsheet). The factory may be copied and called from any thread,
// one call at a time per application it returns.
SpreadsheetFactory makeSpreadsheetFactory(SpreadsheetLoaderOptions options = {});

// The address of an exported symbol of the platform's module, loading the
// module if needed; throws SpreadsheetError (NotInstalled) as the factory does.
// Tests reach their extra entry points through it.
void *resolveSpreadsheetModuleSymbol(const std::string &moduleDirectory, const char *symbol);

} // namespace tallyo
