// The command line of the two commands that run without a window:
//
//   frequency-tallyo read [PORT] [--count N] [--interval SECONDS] [--give-up SECONDS] [--timestamps] [--utc]
//                         [--output FILE] [--log]
//   frequency-tallyo set  [PORT] COMMAND...
#pragma once

#include "portmap.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

namespace tallyo::cli {

// Exit statuses of both commands.
inline constexpr int kDone = 0; // done, or stopped by SIGINT, SIGTERM or SIGHUP
inline constexpr int kLineFailed = 1; // the port or the line failed; the message says which
inline constexpr int kUsage = 2; // the command line (or the file it names) cannot be used
inline constexpr int kOutputFailed = 3; // the readings could not be written; the message says why

// The longest pause --interval takes.
inline constexpr int kMaxIntervalSeconds = 86400;

// Which port: a number 1 to 6 through the port map, or a device named directly.
struct PortArgument {
    int number = 1;
    QString device; // non-empty: this device, whatever the map says
};

struct ReadRequest {
    PortArgument port;
    qint64 count = 1; // 0: until interrupted
    std::chrono::milliseconds interval{0}; // from the start of one reading to the next
    // How long the line may stay lost before the run ends with status 1;
    // none: never. Default: never for count 0, at once for a finite count.
    std::optional<std::chrono::milliseconds> giveUp;
    bool timestamps = false;
    bool utc = false; // UTC times instead of local ones
    QString output; // a CSV file (a name pattern) instead of standard output
    bool log = false;
};

struct SetRequest {
    PortArgument port;
    QList<QByteArray> commands; // in capitals, in the order given
    bool log = false;
};

struct Request {
    enum class Kind {
        Read,
        Set,
        Finish
    };
    Kind kind = Kind::Finish;
    ReadRequest read;
    SetRequest set;
    PortBindings ports; // --port N=DEVICE
    // Finish: what to print (on standard output for status 0, else on
    // standard error) and the exit status.
    QString output;
    int exitCode = kDone;
};

// Whether the arguments (the program's name first) name one of the commands.
bool isCommand(const QStringList &arguments);

// Reads the arguments of `frequency-tallyo read|set ...`.
Request parseCommand(const QStringList &arguments);

// A setting the counter takes ("f0", "G3", "h1", "r0"), in capitals; nothing
// for anything else.
std::optional<QByteArray> settingCommand(const QString &text);

} // namespace tallyo::cli
