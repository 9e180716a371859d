// `frequency-tallyo read` and `frequency-tallyo set`: the counter from a
// terminal or a script, with no window and no display. They use the window's
// link (the same port map, locks, exchanges and error texts) in a
// QCoreApplication, so no GUI platform is ever loaded.
#pragma once

#include "cliline.h"

#include <QStringList>

namespace tallyo::cli {

// Whether main() should hand the process to runCommand(): the first argument
// is "read", "set" or "stats".
bool wantsCommand(int argc, char *argv[]);

// Makes the process's one QCoreApplication, runs the command and returns the
// exit status (kDone, kLineFailed or kUsage).
int runCommand(int argc, char *argv[]);

} // namespace tallyo::cli
