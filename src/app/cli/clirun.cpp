#include "clirun.h"

#include "clioutput.h"
#include "commandline.h"
#include "commands.h"
#include "counterlink.h"
#include "endsignals.h"
#include "mscomm.h"
#include "programlife.h"
#include "serialerror.h"
#include "wallclock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <optional>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#endif

namespace tallyo::cli {

namespace {

using Clock = std::chrono::steady_clock;

// The failure as the window words it.
QString errorText(int number, const QString &text)
{
    return number ? QStringLiteral("Error %1: %2").arg(number).arg(text) : text;
}

// Bytes as C would write them, for the line log: "D1", "   10.0000456 MHz\r".
// "<-" goes to the counter, "->" comes from it, as counter-sim prints them.
QString quoted(const QByteArray &bytes)
{
    QString out = QStringLiteral("\"");
    for (const char c : bytes) {
        switch (c) {
        case '\r': out += QStringLiteral("\\r"); break;
        case '\n': out += QStringLiteral("\\n"); break;
        case '"': out += QStringLiteral("\\\""); break;
        case '\\': out += QStringLiteral("\\\\"); break;
        default:
            if (uchar(c) < 0x20 || uchar(c) >= 0x7f)
                out += QStringLiteral("\\x%1").arg(uchar(c), 2, 16, QLatin1Char('0'));
            else
                out += QLatin1Char(c);
        }
    }
    return out + QLatin1Char('"');
}

// The serial control set up as the window's start-up does.
void prepare(MSComm &comm, const PortArgument &port)
{
    comm.setCommPort(port.number);
    comm.setDTREnable(true);
    comm.setRTSEnable(false);
}

QString portLabel(const MSComm &comm)
{
    return QStringLiteral("Port %1 (%2)").arg(comm.commPort()).arg(comm.device());
}

int runSet(const SetRequest &request, PortMap portMap)
{
    MSComm comm(std::move(portMap));
    WallClock clock;
    ProgramLife life({});
    CounterLink link(comm, clock, life);
    try {
        prepare(comm, request.port);
        link.ReopenPort();
        for (const QByteArray &command : request.commands) {
            if (request.log)
                tell(nullptr, QStringLiteral("%1 <- %2").arg(portLabel(comm), quoted(command + cmd::Terminator)));
            link.SendCommand(command);
        }
        comm.setPortOpen(false); // sends what is queued, then closes
    } catch (const SerialError &e) {
        tell(nullptr, errorText(e.number, e.text));
        return kLineFailed;
    }
    return kDone;
}

int runRead(const ReadRequest &request, PortMap portMap)
{
    std::optional<ReadingOutput> output;
    if (request.output.isEmpty())
        output.emplace(request.timestamps);
    else
        output.emplace(request.output);
    if (!output->problem().isEmpty()) {
        tell(nullptr, output->problem());
        return kUsage;
    }

    ProgressLine progress;
    MSComm comm(std::move(portMap));
    WallClock clock;
    ProgramLife life({});
    CounterLink link(comm, clock, life);
    EndSignals endSignals;

    // A request to end lets the reading in flight land, within the program's
    // end budget; then the run ends with what it took.
    bool stopAsked = false;
    QTimer endBudget;
    endBudget.setSingleShot(true);
    endBudget.setTimerType(Qt::PreciseTimer);
    QObject::connect(&endBudget, &QTimer::timeout, &life, [&] { life.end(); });
    QObject::connect(&endSignals, &EndSignals::endRequested, &life, [&](int) {
        if (stopAsked)
            return;
        stopAsked = true;
        life.askedToEnd();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(life.deadline() - Clock::now());
        endBudget.start(std::max<qint64>(0, left.count()));
    });

    // A counter that does not answer ends the run.
    bool silent = false;
    QTimer replyLimit;
    replyLimit.setSingleShot(true);
    replyLimit.setTimerType(Qt::PreciseTimer);
    replyLimit.setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(kReplyLimit));
    QObject::connect(&replyLimit, &QTimer::timeout, &life, [&] {
        silent = true;
        life.end();
    });

    bool lost = false;
    QObject::connect(&link, &CounterLink::lineLost, &life, [&](int number, const QString &text) {
        lost = true;
        tell(&progress, errorText(number, text));
    });

    // Sleeps until `until`, or until the run is asked to end or loses its line.
    auto pauseUntil = [&](Clock::time_point until) {
        while (!stopAsked && !lost && Clock::now() < until) {
            QEventLoop loop;
            QTimer tick;
            tick.setSingleShot(true);
            tick.setTimerType(Qt::PreciseTimer);
            QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
            QObject::connect(&endSignals, &EndSignals::endRequested, &loop, &QEventLoop::quit);
            QObject::connect(&link, &CounterLink::lineLost, &loop, &QEventLoop::quit);
            tick.start(std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()));
            loop.exec();
        }
    };

    qint64 taken = 0;
    int status = kDone;
    try {
        prepare(comm, request.port);
        // The port stays open from the first reading to the last.
        link.ReopenPort();
        Clock::time_point nextStart = Clock::now();
        while ((request.count == 0 || taken < request.count) && !stopAsked && !lost) {
            if (taken > 0) {
                pauseUntil(nextStart);
                if (stopAsked || lost)
                    break;
            }
            nextStart = Clock::now() + request.interval;
            if (request.log)
                tell(&progress, QStringLiteral("%1 <- %2").arg(portLabel(comm), quoted(cmd::Reading)));
            replyLimit.start();
            const QString reading = link.RequestReading();
            replyLimit.stop();
            const QDateTime at = QDateTime::currentDateTime();
            if (request.log)
                tell(&progress, QStringLiteral("%1 -> %2").arg(portLabel(comm), quoted(reading.toLatin1())));
            if (request.output.isEmpty())
                progress.clearForOutput();
            if (!output->write(at, reading)) {
                QString problem = output->problem();
                if (!request.output.isEmpty()) {
                    // The reading is the user's: it goes where it still can.
                    problem += QStringLiteral(" The last reading follows on standard output.");
                    ReadingOutput(true).write(at, reading);
                }
                tell(&progress, problem);
                status = kLineFailed;
                break;
            }
            ++taken;
            progress.update(taken);
        }
    } catch (const ProgramEnding &) {
        // Asked to end and the reading in flight did not land in time, or the
        // counter stayed silent.
        if (silent) {
            tell(&progress, errorText(SerialErrorNumber::NoReply,
                                      QStringLiteral("%1: the counter sent no reading within %2 seconds of \"D1\". "
                                                     "Check that it is switched on, connected to this port and set "
                                                     "to 9600 baud, then try again.")
                                          .arg(portLabel(comm))
                                          .arg(kReplyLimit.count())));
            status = kLineFailed;
        }
    } catch (const LineLost &) {
        // Told through lineLost().
    } catch (const SerialError &e) {
        tell(&progress, errorText(e.number, e.text));
        status = kLineFailed;
    }
    if (lost)
        status = kLineFailed;
    if (taken > 0)
        progress.finish(taken);
    else
        progress.clear();
    output->removeIfUnused();
    try {
        comm.setPortOpen(false);
    } catch (const SerialError &) {
        // Closing sends nothing that was asked for: nothing to report.
    }
    return status;
}

#ifdef Q_OS_WIN
// The program is built as a windowed one: its text goes to the console it was
// started from, unless it was redirected.
void useParentConsole()
{
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (_get_osfhandle(_fileno(stdout)) < 0)
        std::freopen("CONOUT$", "w", stdout);
    if (_get_osfhandle(_fileno(stderr)) < 0)
        std::freopen("CONOUT$", "w", stderr);
}
#endif

} // namespace

bool wantsCommand(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc && i < 2; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return isCommand(arguments);
}

int runCommand(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    useParentConsole();
#endif
    QCoreApplication::setApplicationName(QStringLiteral("frequency-tallyo"));
    QCoreApplication app(argc, argv);
    const Request request = parseCommand(QCoreApplication::arguments());
    if (request.kind == Request::Kind::Finish) {
        std::fputs(request.output.toLocal8Bit().constData(), request.exitCode == kDone ? stdout : stderr);
        return request.exitCode;
    }

    const PortArgument &port = request.kind == Request::Kind::Read ? request.read.port : request.set.port;
    PortMap portMap;
    if (!port.device.isEmpty()) {
        portMap = [device = port.device](int) { return device; };
    } else {
        QStringList problems;
        portMap = systemPortMap(mergedBindings(readPortBindingsFile(portBindingsFilePath(), &problems), request.ports));
        for (const QString &problem : problems)
            tell(nullptr, problem);
    }
    return request.kind == Request::Kind::Read ? runRead(request.read, std::move(portMap))
                                               : runSet(request.set, std::move(portMap));
}

} // namespace tallyo::cli
