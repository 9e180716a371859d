// Finds the spreadsheet application at run time.
//
// The program itself never links a spreadsheet application: each backend is a
// module beside the executable (sheetmodules.h), loaded the first time a
// recording asks for an application. Where no module or application can be
// had, the application's failure() is NotInstalled with a message for the
// user, and the program carries on.
#pragma once

#include "queuedspreadsheet.h"
#include "sheetbackend.h"
#include "spreadsheet.h"

#include <string>
#include <vector>

namespace tallyo {

struct SpreadsheetLoaderOptions {
    // Where the modules are. Empty: the directory of the running program.
    std::string moduleDirectory;
    // The backends to try, in order, by name. Empty: this platform's.
    std::vector<std::string> backends;
    SheetBackendOptions backend;
    QueueSettings queue;
};

// A factory of applications that return from every call at once (see
// QueuedSpreadsheet). It may be copied and called from any thread.
SpreadsheetFactory makeSpreadsheetFactory(SpreadsheetLoaderOptions options = {});

// The address of an exported symbol of the named backend's module, loading the
// module if needed; throws SpreadsheetError (NotInstalled) when it cannot.
// Tests reach their extra entry points through it.
void *resolveSheetModuleSymbol(const std::string &moduleDirectory, const std::string &backend, const char *symbol);

} // namespace tallyo
