#include "commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <variant>

namespace tallyo {

namespace {

// Options QGuiApplication and QApplication take from the command line
// themselves, and whether each has a value.
constexpr std::pair<const char *, bool> kQtOwnOptions[] = {
    {"platform", true}, {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
    {"qwindowgeometry", true}, {"qwindowicon", true}, {"qwindowtitle", true}, {"session", true},
    {"display", true}, {"geometry", true}, {"style", true}, {"stylesheet", true},
    {"reverse", false}, {"widgetcount", false}, {"nograb", false}, {"dograb", false},
};

void addQtOwnOptions(QCommandLineParser &parser)
{
    for (const auto &[name, hasValue] : kQtOwnOptions) {
        QCommandLineOption qtOption(QString::fromLatin1(name));
        if (hasValue)
            qtOption.setValueName(QStringLiteral("value"));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }
}

CommandLine finish(QString output, int exitCode)
{
    CommandLine line;
    line.action = CommandLine::Action::Finish;
    line.output = std::move(output);
    line.exitCode = exitCode;
    return line;
}

// The program as it was called ("./frequency-tallyo"), for the usage.
QString g_calledAs;

// The parser's help, naming the program as it was called. The command line
// is read before the process has its one application object (a window's, or
// none for --help), and without one the parser does not know that name.
QString helpOf(const QCommandLineParser &parser)
{
    QString text = parser.helpText();
    if (!g_calledAs.isEmpty())
        text.replace(QLatin1String("<executable_name>"), g_calledAs);
    return text;
}

CommandLine usageError(const QCommandLineParser &parser, const QString &what)
{
    return finish(QStringLiteral("%1: %2\n\n%3").arg(QCoreApplication::applicationName(), what, helpOf(parser)),
                  kUsageExitCode);
}

// What every command line of ours has: --help, --version and Qt's own
// options, and the answers to them, to a line the parser refuses and to
// stray arguments.
struct CommonOptions {
    QCommandLineParser parser;
    QCommandLineOption help = parser.addHelpOption();
    QCommandLineOption version = parser.addVersionOption();

    explicit CommonOptions(const QString &description)
    {
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.setApplicationDescription(description);
        addQtOwnOptions(parser);
    }

    // Parses `arguments`; the answer when the line ends here.
    std::optional<CommandLine> parse(const QStringList &arguments)
    {
        g_calledAs = arguments.value(0);
        if (!parser.parse(arguments))
            return usageError(parser, parser.errorText());
        if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all")))
            return finish(helpOf(parser), 0);
        if (parser.isSet(version))
            return finish(QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                       QCoreApplication::applicationVersion()), 0);
        if (!parser.positionalArguments().isEmpty())
            return usageError(parser,
                              QStringLiteral("unexpected argument \"%1\".").arg(parser.positionalArguments().first()));
        return std::nullopt;
    }
};

// The command line `parse` makes of main()'s arguments, under the name
// `program`. No application object is made for it: the process makes its
// one (the window's) afterwards, and --help needs no display.
CommandLine parseArguments(int argc, char *argv[], const char *program,
                           CommandLine (*parse)(const QStringList &arguments))
{
    QCoreApplication::setApplicationName(QString::fromLatin1(program));
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return parse(arguments);
}

// Prints a finished command line's text; its exit code.
int printFinished(const CommandLine &line)
{
    std::fputs(line.output.toLocal8Bit().constData(), line.exitCode == 0 ? stdout : stderr);
    return line.exitCode;
}

// --log: the same for the program and the demo.
QCommandLineOption logOption()
{
    return QCommandLineOption(
        QStringLiteral("log"),
        QStringLiteral("Print every write to the serial line (port 1 <- \"D1\") and every read from it "
                       "(port 1 -> \"...\") on standard error, each with a millisecond time stamp."));
}

// "N=DEVICE" -> a binding, or the sentence that says what is wrong with it.
std::variant<std::pair<int, QString>, QString> parseBinding(const QString &text)
{
    const qsizetype equals = text.indexOf(QLatin1Char('='));
    if (equals < 0)
        return QStringLiteral("--port %1: expected N=DEVICE, for example --port 1=/dev/ttyUSB0.").arg(text);
    bool isNumber = false;
    const int n = text.left(equals).trimmed().toInt(&isNumber);
    const QString device = text.mid(equals + 1).trimmed();
    if (!isNumber || n < kFirstPortNumber || n > kLastPortNumber)
        return QStringLiteral("--port %1: the port number must be %2 to %3.")
            .arg(text).arg(kFirstPortNumber).arg(kLastPortNumber);
    if (device.isEmpty())
        return QStringLiteral("--port %1: no device after \"=\".").arg(text);
    return std::pair{n, normalizedDevice(device)};
}

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommonOptions common(
        QStringLiteral("Control panel for a bench frequency counter on an RS-232 line.\n\n"
                       "Without a window:\n"
                       "  frequency-tallyo read [PORT] [--count N] [--interval SECONDS] [--timestamps] "
                       "[--output FILE] [--log]\n"
                       "  frequency-tallyo set [PORT] COMMAND...\n"
                       "  frequency-tallyo stats FILE... [--tau SECONDS] [--plot OUT.png|OUT.svg] [--json]\n"
                       "(frequency-tallyo read --help, set --help and stats --help for more)"));
    QCommandLineParser &parser = common.parser;
    const QCommandLineOption listPorts(
        QStringLiteral("list-ports"),
        QStringLiteral("Print the device each port number %1 to %2 reaches now, then exit.")
            .arg(kFirstPortNumber).arg(kLastPortNumber));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("Port number N (%1 to %2) reaches DEVICE, e.g. 1=/dev/serial/by-id/usb-..., "
                       "2=/dev/rfcomm0. Repeatable; wins over %3.")
            .arg(kFirstPortNumber).arg(kLastPortNumber).arg(QStringLiteral("~/.config/frequency-tallyo/ports.conf")),
        QStringLiteral("N=DEVICE"));
    const QCommandLineOption log = logOption();
    parser.addOption(listPorts);
    parser.addOption(port);
    parser.addOption(log);
    if (std::optional<CommandLine> answered = common.parse(arguments))
        return *answered;

    CommandLine line;
    QString problem;
    const std::optional<PortBindings> bindings = parsePortBindings(parser.values(port), &problem);
    if (!bindings)
        return usageError(parser, problem);
    line.ports = *bindings;
    if (parser.isSet(listPorts))
        line.action = CommandLine::Action::ListPorts;
    line.logLine = parser.isSet(log);
    return line;
}

CommandLine parseDemoCommandLine(const QStringList &arguments)
{
    CommonOptions common(
        QStringLiteral("The frequency counter control panel with a simulated counter on each port number."));
    const QCommandLineOption log = logOption();
    common.parser.addOption(log);
    if (std::optional<CommandLine> answered = common.parse(arguments))
        return *answered;
    CommandLine line;
    line.logLine = common.parser.isSet(log);
    return line;
}

std::optional<int> prepareDemoStart(int argc, char *argv[], std::shared_ptr<LineLog> *lineLog)
{
    const CommandLine line = parseArguments(argc, argv, "frequency-tallyo-demo", parseDemoCommandLine);
    if (line.action == CommandLine::Action::Finish)
        return printFinished(line);
    if (lineLog)
        *lineLog = line.logLine ? std::make_shared<LineLog>() : nullptr;
    return std::nullopt;
}

std::optional<PortBindings> parsePortBindings(const QStringList &values, QString *problem)
{
    PortBindings ports;
    for (const QString &text : values) {
        const auto parsed = parseBinding(text);
        if (const auto *why = std::get_if<QString>(&parsed)) {
            *problem = *why;
            return std::nullopt;
        }
        const auto &[n, device] = std::get<std::pair<int, QString>>(parsed);
        if (ports.count(n)) {
            *problem = QStringLiteral("--port %1: port %2 is bound twice.").arg(text).arg(n);
            return std::nullopt;
        }
        ports[n] = PortBinding{device, QStringLiteral("--port")};
    }
    return ports;
}

PortBindings mergedBindings(PortBindings fromFile, const PortBindings &fromCommandLine)
{
    for (const auto &[n, binding] : fromCommandLine)
        fromFile[n] = binding;
    return fromFile;
}

std::optional<int> prepareStart(int argc, char *argv[], PortMap &portMap, std::shared_ptr<LineLog> *lineLog)
{
    const CommandLine line = parseArguments(argc, argv, "frequency-tallyo", parseCommandLine);
    if (line.action == CommandLine::Action::Finish)
        return printFinished(line);

    QStringList problems;
    const PortBindings bindings = mergedBindings(readPortBindingsFile(portBindingsFilePath(), &problems), line.ports);
    for (const QString &problem : problems)
        std::fprintf(stderr, "%s\n", problem.toLocal8Bit().constData());
    portMap = systemPortMap(bindings);
    if (lineLog)
        *lineLog = line.logLine ? std::make_shared<LineLog>() : nullptr;

    if (line.action == CommandLine::Action::ListPorts) {
        const QStringList lines = describePorts(portMap, bindings, stableDeviceNames());
        for (const QString &text : lines)
            std::printf("%s\n", text.toLocal8Bit().constData());
        return 0;
    }
    return std::nullopt;
}

} // namespace tallyo
