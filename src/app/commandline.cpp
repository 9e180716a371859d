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

CommandLine finish(QString output, int exitCode)
{
    CommandLine line;
    line.action = CommandLine::Action::Finish;
    line.output = std::move(output);
    line.exitCode = exitCode;
    return line;
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
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Control panel for a bench frequency counter on an RS-232 line.\n\n"
                       "Without a window:\n"
                       "  frequency-tallyo read [PORT] [--count N] [--interval SECONDS] [--timestamps] "
                       "[--output FILE] [--log]\n"
                       "  frequency-tallyo set [PORT] COMMAND...\n"
                       "(frequency-tallyo read --help, frequency-tallyo set --help for more)"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
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
    parser.addOption(listPorts);
    parser.addOption(port);
    for (const auto &[name, hasValue] : kQtOwnOptions) {
        QCommandLineOption qtOption(QString::fromLatin1(name));
        if (hasValue)
            qtOption.setValueName(QStringLiteral("value"));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }

    auto usageError = [&](const QString &what) {
        return finish(QStringLiteral("%1: %2\n\n%3").arg(QCoreApplication::applicationName(), what, parser.helpText()),
                      kUsageExitCode);
    };
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all")))
        return finish(parser.helpText(), 0);
    if (parser.isSet(version))
        return finish(QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                   QCoreApplication::applicationVersion()), 0);
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument \"%1\".").arg(parser.positionalArguments().first()));

    CommandLine line;
    QString problem;
    const std::optional<PortBindings> bindings = parsePortBindings(parser.values(port), &problem);
    if (!bindings)
        return usageError(problem);
    line.ports = *bindings;
    if (parser.isSet(listPorts))
        line.action = CommandLine::Action::ListPorts;
    return line;
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

std::optional<int> prepareStart(int argc, char *argv[], PortMap &portMap)
{
    QCoreApplication::setApplicationName(QStringLiteral("frequency-tallyo"));
    CommandLine line;
    {
        // The usage names the program as it was called; no window is needed for it.
        QCoreApplication parsing(argc, argv);
        line = parseCommandLine(QCoreApplication::arguments());
    }
    if (line.action == CommandLine::Action::Finish) {
        std::fputs(line.output.toLocal8Bit().constData(), line.exitCode == 0 ? stdout : stderr);
        return line.exitCode;
    }

    QStringList problems;
    const PortBindings bindings = mergedBindings(readPortBindingsFile(portBindingsFilePath(), &problems), line.ports);
    for (const QString &problem : problems)
        std::fprintf(stderr, "%s\n", problem.toLocal8Bit().constData());
    portMap = systemPortMap(bindings);

    if (line.action == CommandLine::Action::ListPorts) {
        const QStringList lines = describePorts(portMap, bindings, stableDeviceNames());
        for (const QString &text : lines)
            std::printf("%s\n", text.toLocal8Bit().constData());
        return 0;
    }
    return std::nullopt;
}

} // namespace tallyo
