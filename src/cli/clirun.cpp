#include "clirun.h"

#include "clioutput.h"
#include "commands.h"
#include "counterlink.h"
#include "endsignals.h"
#include "linelog.h"
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
    if (request.log)
        comm.setLineLog(std::make_shared<LineLog>());
    try {
        prepare(comm, request.port);
        link.ReopenPort();
        for (const QByteArray &command : request.commands)
            link.SendCommand(command);
        comm.setPortOpen(false); // sends what is queued, then closes
    } catch (const SerialError &e) {
        tell(nullptr, errorText(e.number, e.text));
        return kLineFailed;
    }
    return kDone;
}

// One `read`: the port kept open from the first reading to the last, and the
// three ways it ends early (a signal, a lost line, a silent counter).
class ReadRun {
public:
    ReadRun(const ReadRequest &request, PortMap portMap, ReadingOutput &output);
    // Takes the readings; the exit status.
    int run();

private:
    bool goingOn() const { return !m_stopAsked && !m_lost; }
    // A signal asked the run to end: the reading in flight may still land,
    // within the program's end budget.
    void endRequested();
    // Sleeps until `until`, or until the run is asked to end or loses its line.
    void pauseUntil(Clock::time_point until);
    // One exchange, its reading written; false when it could not be written.
    bool takeReading();

    const ReadRequest &m_request;
    ReadingOutput &m_output;
    ProgressLine m_progress;
    MSComm m_comm;
    WallClock m_clock;
    ProgramLife m_life{{}};
    CounterLink m_link{m_comm, m_clock, m_life};
    EndSignals m_endSignals;
    QTimer m_endBudget;
    QTimer m_replyLimit;
    bool m_stopAsked = false;
    bool m_silent = false;
    bool m_lost = false;
    qint64 m_taken = 0;
};

ReadRun::ReadRun(const ReadRequest &request, PortMap portMap, ReadingOutput &output)
    : m_request(request), m_output(output), m_comm(std::move(portMap))
{
    if (request.log) {
        // The line's traffic on standard error, below the progress line.
        m_comm.setLineLog(std::make_shared<LineLog>([this](const QString &line) {
            m_progress.clear();
            std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
            std::fflush(stderr);
        }));
    }
    m_endBudget.setSingleShot(true);
    m_endBudget.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_endBudget, &QTimer::timeout, &m_life, [this] { m_life.end(); });
    QObject::connect(&m_endSignals, &EndSignals::endRequested, &m_life, [this] { endRequested(); });

    m_replyLimit.setSingleShot(true);
    m_replyLimit.setTimerType(Qt::PreciseTimer);
    m_replyLimit.setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(kReplyLimit));
    QObject::connect(&m_replyLimit, &QTimer::timeout, &m_life, [this] {
        m_silent = true;
        m_life.end();
    });

    QObject::connect(&m_link, &CounterLink::lineLost, &m_life, [this](int number, const QString &text) {
        m_lost = true;
        tell(&m_progress, errorText(number, text));
    });
}

void ReadRun::endRequested()
{
    if (m_stopAsked)
        return;
    m_stopAsked = true;
    m_life.askedToEnd();
    m_endBudget.start(std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                 m_life.deadline() - Clock::now())));
}

void ReadRun::pauseUntil(Clock::time_point until)
{
    while (goingOn() && Clock::now() < until) {
        QEventLoop loop;
        QTimer tick;
        tick.setSingleShot(true);
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&m_endSignals, &EndSignals::endRequested, &loop, &QEventLoop::quit);
        QObject::connect(&m_link, &CounterLink::lineLost, &loop, &QEventLoop::quit);
        tick.start(std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()));
        loop.exec();
    }
}

bool ReadRun::takeReading()
{
    m_replyLimit.start();
    const QString reading = m_link.RequestReading();
    m_replyLimit.stop();
    const QDateTime at = QDateTime::currentDateTime();
    if (m_request.output.isEmpty())
        m_progress.clearForOutput();
    if (!m_output.write(at, reading)) {
        QString problem = m_output.problem();
        if (!m_request.output.isEmpty()) {
            // The reading is the user's: it goes where it still can.
            problem += QStringLiteral(" The last reading follows on standard output.");
            ReadingOutput(true).write(at, reading);
        }
        tell(&m_progress, problem);
        return false;
    }
    ++m_taken;
    m_progress.update(m_taken);
    return true;
}

int ReadRun::run()
{
    int status = kDone;
    try {
        prepare(m_comm, m_request.port);
        m_link.ReopenPort();
        Clock::time_point nextStart = Clock::now();
        while ((m_request.count == 0 || m_taken < m_request.count) && goingOn()) {
            if (m_taken > 0) {
                pauseUntil(nextStart);
                if (!goingOn())
                    break;
            }
            nextStart = Clock::now() + m_request.interval;
            if (!takeReading()) {
                status = kLineFailed;
                break;
            }
        }
    } catch (const ProgramEnding &) {
        // The reading in flight did not land within the end budget, or the
        // counter stayed silent.
        if (m_silent) {
            tell(&m_progress, errorText(SerialErrorNumber::NoReply,
                                        QStringLiteral("%1: the counter sent no reading within %2 seconds of \"D1\". "
                                                       "Check that it is switched on, connected to this port and set "
                                                       "to 9600 baud, then try again.")
                                            .arg(portLabel(m_comm))
                                            .arg(kReplyLimit.count())));
            status = kLineFailed;
        }
    } catch (const LineLost &) {
        // Told through lineLost().
    } catch (const SerialError &e) {
        tell(&m_progress, errorText(e.number, e.text));
        status = kLineFailed;
    }
    if (m_lost)
        status = kLineFailed;
    if (m_taken > 0)
        m_progress.finish(m_taken);
    else
        m_progress.clear();
    try {
        m_comm.setPortOpen(false);
    } catch (const SerialError &) {
        // Closing sends nothing that was asked for: nothing to report.
    }
    return status;
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
    const int status = ReadRun(request, std::move(portMap), *output).run();
    output->removeIfUnused();
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
        portMap = userPortMap(request.ports, &problems);
        for (const QString &problem : problems)
            tell(nullptr, problem);
    }
    return request.kind == Request::Kind::Read ? runRead(request.read, std::move(portMap))
                                               : runSet(request.set, std::move(portMap));
}

} // namespace tallyo::cli
