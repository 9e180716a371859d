#include "cliline.h"

#include "clioutput.h"
#include "commands.h"
#include "helptext.h"
#include "linelog.h"
#include "linesession.h"

#include <QCommandLineParser>
#include <cmath>

namespace tallyo::cli {

namespace {

const QString kExitStatuses = QStringLiteral(
    "Exit status:\n"
    "  0  done; also a read stopped by SIGINT (Ctrl+C), SIGTERM or SIGHUP, with every reading taken written\n"
    "  1  the port or the line failed, or the counter did not answer, for longer than --give-up allows\n"
    "     (the message on standard error says which)\n"
    "  2  the command line was not understood, or names an output file that cannot be used; nothing was sent\n"
    "  3  the readings could not be written (a full disk, a removed file); the message says why, and the\n"
    "     line that could not be written follows on standard error\n");

const QString kPortHelp =
    QStringLiteral("PORT is a port number 1 to 6 (default 1), reached as in the window: through --port N=DEVICE,\n"
                   "~/.config/frequency-tallyo/ports.conf, or the serial ports the machine lists; or a device path\n"
                   "such as /dev/ttyUSB0 or /dev/serial/by-id/usb-...");

const QString kReadDescription =
    QStringLiteral(
        "Takes readings from the counter (\"D1\") and prints one a line, as the counter sent it\n"
        "without its line end. Sends nothing else: the counter's settings and remote mode stay as they are.\n"
        "On a terminal, standard error shows the progress.\n\n"
        "A lost line (an unplugged adapter, the device gone), or a counter that sends no reading within %1\n"
        "seconds (the longest gate time and a margin), is a gap: it is told on standard error and marked in the\n"
        "file by a row with the time and an empty reading, and the port is opened again about once a second\n"
        "until it answers; --give-up ends the wait.\n\n")
        .arg(LineSession::kReplyLimit.count())
    + kPortHelp;

const QString kSetDescription =
    QStringLiteral(
        "Sends each COMMAND to the counter, in order, as two characters and a carriage return:\n"
        "  F0-F7  function: F0 frequency from A, F1 from B, F2 from C, F3 period, F4 total count,\n"
        "         F5 RPM, F6 ratio, F7 time interval\n"
        "  G0-G3  gate time: 0.01, 0.1, 1, 10 seconds\n"
        "  H0/H1  hold off/on\n"
        "  R0/R1  remote off/on\n"
        "Commands may be given in small letters. One unknown command refuses the whole line: nothing is sent.\n\n")
    + kPortHelp;

Request finish(QString output, int exitCode)
{
    Request request;
    request.kind = Request::Kind::Finish;
    request.output = std::move(output);
    request.exitCode = exitCode;
    return request;
}

// "3" -> port 3; a path or device name -> that device; anything else is wrong.
std::optional<PortArgument> portArgument(const QString &text)
{
    bool isNumber = false;
    const int n = text.toInt(&isNumber);
    if (isNumber)
        return n >= kFirstPortNumber && n <= kLastPortNumber ? std::optional(PortArgument{n, {}}) : std::nullopt;
    if (text.isEmpty() || text.startsWith(QLatin1Char('-')))
        return std::nullopt;
    return PortArgument{kFirstPortNumber, normalizedDevice(text)};
}

} // namespace

bool isCommand(const QStringList &arguments)
{
    return arguments.size() > 1 && (arguments[1] == QLatin1String("read") || arguments[1] == QLatin1String("set"));
}

std::optional<QByteArray> settingCommand(const QString &text)
{
    static const QByteArray kSettings[] = {
        cmd::FrequencyA, cmd::FrequencyB,   cmd::FrequencyC, cmd::Period,    cmd::TotalCount, cmd::Rpm,
        cmd::Ratio,      cmd::TimeInterval, cmd::Gate10ms,   cmd::Gate100ms, cmd::Gate1s,     cmd::Gate10s,
        cmd::HoldOff,    cmd::HoldOn,       cmd::RemoteOff,  cmd::RemoteOn,
    };
    const QByteArray upper = text.toUpper().toLatin1();
    for (const QByteArray &command : kSettings)
        if (upper == command)
            return command;
    return std::nullopt;
}

Request parseCommand(const QStringList &arguments)
{
    const bool reading = arguments.value(1) == QLatin1String("read");
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(reading ? kReadDescription : kSetDescription);
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption port = portBindingOption();
    const QCommandLineOption log = lineLogOption();
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("Take N readings (default 1); 0 takes readings until interrupted."),
                                   QStringLiteral("N"));
    const QCommandLineOption interval(
        QStringLiteral("interval"),
        QStringLiteral("Start the readings SECONDS apart (default 0: as fast as the line allows; fractions such "
                       "as 0.5 allowed; at most %1).")
            .arg(kMaxIntervalSeconds),
        QStringLiteral("SECONDS"));
    const QCommandLineOption giveUp(
        QStringLiteral("give-up"),
        QStringLiteral("End with status 1 once the line has been lost for SECONDS (default: never with "
                       "--count 0, at once otherwise)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption timestamps(
        QStringLiteral("timestamps"),
        QStringLiteral("Put the time first: ISO 8601 local time with milliseconds and UTC offset, a comma, the "
                       "reading quoted as in a file (valid CSV)."));
    const QCommandLineOption utc(QStringLiteral("utc"),
                                 QStringLiteral("Times in UTC (2026-12-07T20:01:37.125Z) instead of local time."));
    const QCommandLineOption output(
        QStringLiteral("output"),
        QStringLiteral("Write CSV to FILE instead (header time,reading,sheet_time; one whole line per reading, "
                       "written at once). An existing FILE is appended to if it has that header and refused "
                       "otherwise. %Y %m %d %H %M %S in FILE start a new file when the name changes "
                       "(bench-%Y-%m-%d.csv: one a day)."),
        QStringLiteral("FILE"));
    if (reading)
        parser.addOptions({count, interval, giveUp, timestamps, utc, output});
    parser.addOptions({log, port});
    parser.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("Port number 1 to 6, or a device."),
                                 QStringLiteral("[PORT]"));
    if (!reading)
        parser.addPositionalArgument(QStringLiteral("COMMAND"), QStringLiteral("A setting, such as G2."),
                                     QStringLiteral("COMMAND..."));
    const QString help = helpText(parser, arguments.value(0), arguments.value(1), kExitStatuses);
    auto usage = [&](const QString &what) {
        return finish(QStringLiteral("frequency-tallyo %1: %2\n\n%3").arg(arguments.value(1), what, help), kUsage);
    };

    QStringList rest = arguments;
    rest.removeAt(1);
    if (!parser.parse(rest))
        return usage(parser.errorText());
    if (parser.isSet(helpOption))
        return finish(help, kDone);

    QString problem;
    const std::optional<PortBindings> ports = parsePortBindings(parser.values(port), &problem);
    if (!ports)
        return usage(problem);
    Request request;
    request.ports = *ports;
    QStringList positional = parser.positionalArguments();

    // PORT is optional and comes first; in `set` a setting is never taken for one.
    PortArgument portChoice;
    if (!positional.isEmpty() && (reading || !settingCommand(positional.first()))) {
        const std::optional<PortArgument> chosen = portArgument(positional.first());
        if (!chosen)
            return usage(QStringLiteral("\"%1\" is neither a port number %2 to %3 nor a device.")
                             .arg(positional.first())
                             .arg(kFirstPortNumber)
                             .arg(kLastPortNumber));
        portChoice = *chosen;
        positional.removeFirst();
    }

    if (reading) {
        if (!positional.isEmpty())
            return usage(QStringLiteral("unexpected argument \"%1\".").arg(positional.first()));
        request.kind = Request::Kind::Read;
        ReadRequest &read = request.read;
        read.port = portChoice;
        read.log = parser.isSet(log);
        read.timestamps = parser.isSet(timestamps);
        read.utc = parser.isSet(utc);
        read.output = parser.value(output);
        if (parser.isSet(output) && read.output.isEmpty())
            return usage(QStringLiteral("--output needs a file name."));
        if (!read.output.isEmpty() && expandedName(read.output, QDateTime::currentDateTime()).isEmpty())
            return usage(QStringLiteral("--output %1: a % the name pattern does not know (%Y %m %d %H %M %S "
                                        "%% are).")
                             .arg(read.output));
        if (parser.isSet(count)) {
            bool ok = false;
            read.count = parser.value(count).toLongLong(&ok);
            if (!ok || read.count < 0)
                return usage(
                    QStringLiteral("--count %1: expected a whole number, 0 or more.").arg(parser.value(count)));
        }
        if (parser.isSet(interval)) {
            bool ok = false;
            const double seconds = parser.value(interval).toDouble(&ok);
            if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > kMaxIntervalSeconds)
                return usage(QStringLiteral("--interval %1: expected seconds from 0 to %2, such as 0.5.")
                                 .arg(parser.value(interval))
                                 .arg(kMaxIntervalSeconds));
            read.interval = std::chrono::milliseconds(std::llround(seconds * 1000));
        }
        if (read.count != 0)
            read.giveUp = std::chrono::milliseconds(0);
        if (parser.isSet(giveUp)) {
            bool ok = false;
            const double seconds = parser.value(giveUp).toDouble(&ok);
            if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > kMaxIntervalSeconds * 365.0)
                return usage(QStringLiteral("--give-up %1: expected seconds, 0 or more.").arg(parser.value(giveUp)));
            read.giveUp = std::chrono::milliseconds(std::llround(seconds * 1000));
        }
        return request;
    }

    request.kind = Request::Kind::Set;
    request.set.port = portChoice;
    request.set.log = parser.isSet(log);
    if (positional.isEmpty())
        return usage(QStringLiteral("no COMMAND to send."));
    for (const QString &text : positional) {
        const std::optional<QByteArray> command = settingCommand(text);
        if (!command)
            return usage(QStringLiteral("\"%1\" is not a command the counter takes; nothing was sent.").arg(text));
        request.set.commands << *command;
    }
    return request;
}

} // namespace tallyo::cli
