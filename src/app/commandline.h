// The program's command line: --help, --version, --list-ports and
// --port N=DEVICE, and the port map they and the user's settings file make.
#pragma once

#include "portmap.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace tallyo {

// Exit code of a command line the program does not understand.
inline constexpr int kUsageExitCode = 2;

struct CommandLine {
    enum class Action { OpenWindow, ListPorts, Finish };
    Action action = Action::OpenWindow;
    // --port bindings, which win over the settings file's.
    PortBindings ports;
    // Finish: the text to print (help, version, or an error followed by the
    // usage) and the exit code; 0 prints on standard output, others on
    // standard error.
    QString output;
    int exitCode = 0;
};

// `arguments` as main() gets them, the program's name first. Qt's own
// options (-platform, -style, ...) pass through for QApplication to take.
CommandLine parseCommandLine(const QStringList &arguments);

// The values of --port ("N=DEVICE", each number once) as bindings; nothing,
// and the sentence that says what is wrong, for a bad one.
std::optional<PortBindings> parsePortBindings(const QStringList &values, QString *problem);

// The file's bindings with the command line's on top.
PortBindings mergedBindings(PortBindings fromFile, const PortBindings &fromCommandLine);

// Everything the program does before its window: reads the command line and
// the user's port map, and answers --help, --version and --list-ports.
// Returns the exit code when the program ends here; otherwise `portMap` is
// the map the window is to use.
std::optional<int> prepareStart(int argc, char *argv[], PortMap &portMap);

} // namespace tallyo
