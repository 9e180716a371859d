// The program's command line: --help, --version, --list-ports,
// --port N=DEVICE and --log, and the port map they and the user's settings
// file make; the demo's: --help, --version and --log.
#pragma once

#include "linelog.h"
#include "portmap.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

namespace tallyo {

// Exit code of a command line the program does not understand.
inline constexpr int kUsageExitCode = 2;

struct CommandLine {
    enum class Action {
        OpenWindow,
        ListPorts,
        Finish
    };
    Action action = Action::OpenWindow;
    // --port bindings, which win over the settings file's.
    PortBindings ports;
    // --log: every write to and read from the line on standard error.
    bool logLine = false;
    // Finish: the text to print (help, version, or an error followed by the
    // usage) and the exit code; 0 prints on standard output, others on
    // standard error.
    QString output;
    int exitCode = 0;
};

// `arguments` as main() gets them, the program's name first. Qt's own
// options (-platform, -style, ...) pass through for QApplication to take.
CommandLine parseCommandLine(const QStringList &arguments);

// Everything the program does before its window: reads the command line and
// the user's port map, and answers --help, --version and --list-ports.
// Returns the exit code when the program ends here; otherwise `portMap` is
// the map the window is to use, and `lineLog` (where given) the log of the
// line the user asked for with --log, or null.
std::optional<int> prepareStart(int argc, char *argv[], PortMap &portMap, std::shared_ptr<LineLog> *lineLog = nullptr);

// The demo's command line: --help, --version, --log and Qt's own options;
// anything else is refused with the usage.
CommandLine parseDemoCommandLine(const QStringList &arguments);

// The demo before its window: answers --help and --version and refuses what
// it does not know, all without a display. Returns the exit code when the
// demo ends here; otherwise `lineLog` (where given) is the log of the line
// the user asked for with --log, or null.
std::optional<int> prepareDemoStart(int argc, char *argv[], std::shared_ptr<LineLog> *lineLog = nullptr);

} // namespace tallyo
