#include "commandline.h"

#include "helptext.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

namespace tallyo {

namespace {

// Options QGuiApplication and QApplication take from the command line
// themselves, and whether each has a value.
constexpr std::pair<const char *, bool> kQtOwnOptions[] = {
    {"platform", true},        {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
    {"qwindowgeometry", true}, {"qwindowicon", true},        {"qwindowtitle", true},  {"session", true},
    {"display", true},         {"geometry", true},           {"style", true},         {"stylesheet", true},
    {"reverse", false},        {"widgetcount", false},       {"nograb", false},       {"dograb", false},
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
    return cli::helpText(parser, g_calledAs.isEmpty() ? QCoreApplication::applicationName() : g_calledAs);
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
                                                        QCoreApplication::applicationVersion()),
                          0);
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

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommonOptions common(
        QStringLiteral("Control panel for a bench frequency counter on an RS-232 line.\n\n"
                       "Without a window:\n"
                       "  frequency-tallyo read [PORT] [--count N] [--interval SECONDS] [--give-up SECONDS]\n"
                       "                        [--timestamps] [--utc] [--output FILE] [--log]\n"
                       "  frequency-tallyo set [PORT] COMMAND...\n"
                       "  frequency-tallyo stats FILE... [--tau SECONDS] [--plot OUT.png|OUT.svg] [--json]\n"
                       "(frequency-tallyo read --help, set --help and stats --help for more)"));
    QCommandLineParser &parser = common.parser;
    const QCommandLineOption listPorts(
        QStringLiteral("list-ports"),
        QStringLiteral("Print the device each port number %1 to %2 reaches now, then exit.")
            .arg(kFirstPortNumber)
            .arg(kLastPortNumber));
    const QCommandLineOption port = portBindingOption();
    const QCommandLineOption log = lineLogOption();
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
    const QCommandLineOption log = lineLogOption();
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

std::optional<int> prepareStart(int argc, char *argv[], PortMap &portMap, std::shared_ptr<LineLog> *lineLog)
{
    const CommandLine line = parseArguments(argc, argv, "frequency-tallyo", parseCommandLine);
    if (line.action == CommandLine::Action::Finish)
        return printFinished(line);

    QStringList problems;
    PortBindings bindings;
    portMap = userPortMap(line.ports, &problems, &bindings);
    for (const QString &problem : problems)
        std::fprintf(stderr, "%s\n", problem.toLocal8Bit().constData());
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
