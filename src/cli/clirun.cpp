#include "clirun.h"

#include "clioutput.h"
#include "linesession.h"
#include "statscommand.h"

#include <QCoreApplication>
#include <chrono>
#include <csignal>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#endif

namespace tallyo::cli {

namespace {

using std::chrono::milliseconds;

QString seconds(milliseconds length)
{
    return QStringLiteral("%1 s").arg(double(length.count()) / 1000.0, 0, 'f', 1);
}

int runSet(const SetRequest &request, PortMap portMap)
{
    LineSession session(std::move(portMap), request.port.number, request.log ? std::make_shared<LineLog>() : nullptr);
    try {
        session.open();
        session.send(request.commands);
    } catch (const SerialError &e) {
        tell(nullptr, LineSession::errorText(e.number, e.text));
        return kLineFailed;
    } catch (const ProgramEnding &) {
        return kDone;
    }
    session.close(); // sends what is queued, then closes
    return kDone;
}

int runRead(const ReadRequest &request, PortMap portMap)
{
    ProgressLine progress;
    ReadingOutput output({request.timestamps, request.utc, request.output},
                         [&](const QString &text) { tell(&progress, text); });
    if (!output.problem().isEmpty()) {
        tell(nullptr, output.problem());
        return kUsage;
    }
    std::shared_ptr<LineLog> log;
    if (request.log) {
        // The line's traffic on standard error, below the progress line.
        log = std::make_shared<LineLog>([&](const QString &line) {
            progress.clear();
            std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
            std::fflush(stderr);
        });
    }
    LineSession session(std::move(portMap), request.port.number, std::move(log));
    try {
        session.open();
    } catch (const SerialError &e) {
        tell(nullptr, LineSession::errorText(e.number, e.text));
        output.removeIfUnused();
        return kLineFailed;
    } catch (const ProgramEnding &) {
        output.removeIfUnused();
        return kDone;
    }

    qint64 taken = 0;
    bool outputFailed = false;
    // The user's readings are never dropped: a line the output refused goes
    // to standard error.
    auto failed = [&] {
        if (output.readerGone() || outputFailed)
            return false;
        tell(&progress,
             output.problem()
                 + QStringLiteral(" The line follows on standard error; no more readings "
                                  "are taken."));
        std::fputs(output.lastLine().constData(), stderr);
        std::fflush(stderr);
        outputFailed = true;
        return false;
    };
    LineSession::Events events;
    events.reading = [&](const QDateTime &at, const QString &reading) {
        if (request.output.isEmpty())
            progress.clearForOutput();
        if (!output.write(at, reading))
            return failed();
        progress.update(++taken);
        return true;
    };
    events.gapStarted = [&](const QDateTime &at, const QString &why) {
        tell(&progress,
             QStringLiteral("%1: %2 Trying the port again about once a second%3.")
                 .arg(isoTimestamp(request.utc ? at.toUTC() : at), why,
                      request.giveUp ? QStringLiteral(" for %1").arg(seconds(*request.giveUp)) : QString()));
        if (!output.writeGap(at))
            failed();
    };
    events.gapEnded = [&](milliseconds length) {
        tell(&progress,
             QStringLiteral("%1: readings again after %2 without them.")
                 .arg(isoTimestamp(request.utc ? QDateTime::currentDateTimeUtc() : QDateTime::currentDateTime()),
                      seconds(length)));
    };
    events.waiting = [&](milliseconds down) { progress.waiting(taken, down); };

    LineSession::Schedule schedule;
    schedule.count = request.count;
    schedule.interval = request.interval;
    schedule.giveUp = request.giveUp;
    int status = kDone;
    try {
        switch (session.read(schedule, events)) {
        case LineSession::Outcome::Done:
        case LineSession::Outcome::Stopped:
            break;
        case LineSession::Outcome::LineFailed:
            tell(&progress, session.error());
            status = kLineFailed;
            break;
        case LineSession::Outcome::OutputFailed:
            break;
        }
    } catch (const SerialError &e) {
        tell(&progress, LineSession::errorText(e.number, e.text));
        status = kLineFailed;
    }
    if (outputFailed)
        status = kOutputFailed;
    if (taken > 0)
        progress.finish(taken);
    else
        progress.clear();
    session.close();
    output.removeIfUnused();
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
    if (stats::wantsStats(argc, argv))
        return true;
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
#ifdef SIGPIPE
    // A reader that goes away (`read | head -3`) is an ordinary end: the
    // failed write says so, and the port and its locks are released.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (stats::wantsStats(argc, argv))
        return stats::runStats(argc, argv); // with an application object of its own
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
        portMap = userPortMap(request.ports, &problems);
        for (const QString &problem : problems)
            tell(nullptr, problem);
    }
    return request.kind == Request::Kind::Read ? runRead(request.read, std::move(portMap))
                                               : runSet(request.set, std::move(portMap));
}

} // namespace tallyo::cli
