// Starting the window: the style and fonts it was drawn for, and main()'s run
// of it from Load to the end of the event loop.
#pragma once

#include "form1.h"
#include "linelog.h"

#include <memory>

namespace tallyo {

// Style and fonts the window's fixed geometry was drawn for.
void applyAppearance();

// main()'s run of the window, once the application object exists: the line
// log the user asked for (or none), SIGTERM/SIGINT/SIGHUP followed as the
// close control, Load, shown, the event loop; then the spreadsheets' workers
// end within the end budget, before the application object does. Returns the
// exit code.
int runWindow(Form1Dependencies dependencies, std::shared_ptr<LineLog> lineLog);

} // namespace tallyo
