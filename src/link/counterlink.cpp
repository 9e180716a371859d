#include "counterlink.h"

#include "commands.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>

namespace tallyo {

namespace {
using namespace std::chrono_literals;

// A reply without a line end is over once nothing more has arrived for this
// long. Longer than a USB adapter's latency timer (16 ms), so a reply that
// reaches us in two packets is still taken whole.
constexpr std::chrono::milliseconds kReplyEndGap{50};

// How long the counter measures at each gate time, "G0" to "G3".
constexpr std::chrono::milliseconds kGateTimes[] = {10ms, 100ms, 1000ms, 10'000ms};
// Before this run has sent a gate time: the counter's own at power-up (1 s).
constexpr int kPowerUpGate = 2;
// On top of the gate time: the reply's characters (a 40-character reply takes
// 42 ms at 9600 baud), a USB adapter's latency (16 ms) and the counter's
// turn-around, with room to spare.
constexpr std::chrono::milliseconds kReplyMargin{250};
// The longest a reply takes at any gate time: a silent counter is asked again
// at least this often.
constexpr std::chrono::milliseconds kLongestBound = kGateTimes[std::size(kGateTimes) - 1] + kReplyMargin;

qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}
} // namespace

QString trimSpaces(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

CounterLink::CounterLink(PortMap portMap, WallClock &clock, ProgramLife &life, QObject *parent)
    : CounterLink(std::make_unique<MSComm>(std::move(portMap)), nullptr, clock, life, parent)
{}

CounterLink::CounterLink(MSComm &comm, WallClock &clock, ProgramLife &life, QObject *parent)
    : CounterLink(nullptr, &comm, clock, life, parent)
{}

CounterLink::CounterLink(std::unique_ptr<MSComm> own, MSComm *comm, WallClock &clock, ProgramLife &life,
                         QObject *parent)
    : QObject(parent), m_ownComm(std::move(own)), m_comm(comm ? *comm : *m_ownComm), m_clock(clock), m_life(life)
{
    m_slowReply.setSingleShot(true);
    connect(&m_slowReply, &QTimer::timeout, this, [this] {
        if (m_inFlight && !m_slowShown) {
            m_slowShown = true;
            emit slowReply(true);
        }
    });
    connect(&m_comm, &MSComm::lineLost, this, [this] {
        ++m_losses;
        // Reported by the wait that notices it; when nothing waits, by the
        // event loop, outside the serial port's own signal.
        QMetaObject::invokeMethod(this, &CounterLink::reportLoss, Qt::QueuedConnection);
    });
}

void CounterLink::reportLoss()
{
    if (m_life.ending())
        return;
    if (auto loss = m_comm.takeLoss())
        emit lineLost(loss->number, loss->text);
}

void CounterLink::throwIfStopped(quint64 lossesBefore)
{
    if (m_life.ending())
        throw ProgramEnding{};
    if (m_losses != lossesBefore) {
        reportLoss();
        throw LineLost{};
    }
}

CounterLink::~CounterLink() = default;

void CounterLink::prepareLine()
{
    m_comm.setRThreshold(1);
    m_comm.setSThreshold(0);
    m_comm.setDTREnable(true);
    m_comm.setRTSEnable(false);
}

void CounterLink::setLineLog(std::shared_ptr<LineLog> log)
{
    m_comm.setLineLog(std::move(log));
}

bool CounterLink::portOpen() const
{
    return m_comm.portOpen();
}

void CounterLink::choosePort(int portNumber)
{
    settleExchange();
    if (m_comm.portOpen()) {
        m_comm.setPortOpen(false);
        m_comm.setCommPort(portNumber);
        m_comm.setPortOpen(true);
    } else {
        m_comm.setCommPort(portNumber);
    }
}

void CounterLink::switchRemoteOffAndClose()
{
    // The reading on its way lands first (its request takes it when the
    // stack unwinds); nothing new is asked for from here on.
    settleExchange(m_life.replyLandsBy());
    if (!m_comm.portOpen())
        return;
    const auto closed = qScopeGuard([this] {
        if (m_comm.portOpen()) {
            try {
                m_comm.setPortOpen(false);
            } catch (const SerialError &) {
                // The failure of "R0" is the one the user hears about.
            }
        }
    });
    SendCommand(cmd::RemoteOff);
    m_comm.setPortOpen(false); // sends what is queued, then closes
}

void CounterLink::closeForEnd()
{
    settleExchange(m_life.replyLandsBy());
    if (m_life.ending())
        return;
    try {
        m_comm.setPortOpen(false);
    } catch (const SerialError &) {
        // The program is going: nothing is left to tell about the port.
    }
}

void CounterLink::closeAtOnce()
{
    try {
        m_comm.setPortOpen(false);
    } catch (const SerialError &) {
        // The process is going: nothing is left to tell about the port.
    }
}

int CounterLink::portNumber() const
{
    return m_comm.commPort();
}

QString CounterLink::portLabel() const
{
    return m_comm.portLabel();
}

void CounterLink::ReopenPort()
{
    settleExchange();
    if (m_life.endAsked())
        throw ProgramEnding{};
    if (m_comm.portOpen())
        m_comm.setPortOpen(false);
    if (!m_comm.portOpen()) {
        m_comm.setSettings(QString::fromLatin1(cmd::LineSettings));
        m_comm.setPortOpen(true);
    }
}

void CounterLink::SendCommand(const QByteArray &command)
{
    settleExchange();
    m_comm.setOutput(command + cmd::Terminator);
    if (command.size() == 2 && command[0] == 'G' && command[1] >= '0' && command[1] < '0' + int(std::size(kGateTimes)))
        m_gate = command[1] - '0';
}

std::chrono::milliseconds CounterLink::replyBound() const
{
    return kGateTimes[m_gate < 0 ? kPowerUpGate : m_gate] + kReplyMargin;
}

QString CounterLink::RequestReading()
{
    return *RequestReading(ReadingRequest{});
}

std::optional<QString> CounterLink::RequestReading(const ReadingRequest &how)
{
    settleExchange();
    const auto stopped = [&] { return how.stopAsked && how.stopAsked(); };
    bool overdue = false;
    const auto answered = qScopeGuard([&] {
        if (overdue && --m_overdue == 0)
            emit replyOverdue(false);
    });
    // A silent counter is asked again after this, twice as long each time.
    std::chrono::milliseconds askAgainAfter = replyBound();
    for (bool again = false;; again = true) {
        // Nothing new goes out once the program was asked to end; nothing
        // is asked again once whoever asked has stopped.
        if (m_life.endAsked())
            throw ProgramEnding{};
        if (again && stopped())
            return std::nullopt;
        m_comm.setOutBufferCount(0);
        m_comm.setInBufferCount(0);
        m_comm.setOutput(cmd::Reading);
        Exchange exchange{m_comm.generation(), std::chrono::steady_clock::now(), {}};
        m_inFlight = &exchange;
        m_slowReply.start(kSlowReply);
        const auto over = qScopeGuard([&] { endExchange(exchange); });
        const TimePoint bound = exchange.sentAt + replyBound();
        const auto until = [&] {
            // Up to the bound until it has passed, or the caller stops; then
            // the next asking again, while nothing of the reply has come.
            TimePoint when = !overdue || stopped() ? bound : TimePoint::max();
            if (how.askAgainWhenSilent && m_comm.inBufferCount() == 0)
                when = std::min(when, exchange.sentAt + askAgainAfter);
            return when;
        };
        bool askAgain = false;
        while (!askAgain) {
            switch (waitForReply(exchange, until, true)) {
            case ReplyWait::HandedOver:
                return *exchange.handedOver;
            case ReplyWait::Complete:
                m_currentReading = trimSpaces(QString::fromLatin1(m_comm.input()));
                return m_currentReading;
            case ReplyWait::Disturbed:
                // Another handler took the line before the reply came.
                if (!m_comm.portOpen())
                    throw ExchangeAbandoned{};
                askAgain = true;
                break;
            case ReplyWait::TimedOut: {
                const TimePoint now = std::chrono::steady_clock::now();
                if (now >= bound && !overdue) {
                    overdue = true;
                    if (m_overdue++ == 0)
                        emit replyOverdue(true);
                }
                if (now >= bound && stopped())
                    return std::nullopt;
                if (how.askAgainWhenSilent && now >= exchange.sentAt + askAgainAfter && m_comm.inBufferCount() == 0) {
                    askAgainAfter = std::min(askAgainAfter * 2, kLongestBound);
                    askAgain = true;
                }
                break;
            }
            }
        }
    }
}

void CounterLink::settleExchange(TimePoint notAfter)
{
    if (!m_inFlight)
        return;
    Exchange &exchange = *m_inFlight;
    const TimePoint until = std::min(exchange.sentAt + replyBound(), notAfter);
    if (waitForReply(
            exchange, [until] { return until; }, false)
        == ReplyWait::Complete) {
        exchange.handedOver = trimSpaces(QString::fromLatin1(m_comm.input()));
        m_currentReading = *exchange.handedOver;
    }
    endExchange(exchange);
    emit exchangeSettled();
}

void CounterLink::endExchange(Exchange &exchange)
{
    if (m_inFlight != &exchange)
        return;
    m_inFlight = nullptr;
    m_slowReply.stop();
    if (m_slowShown) {
        m_slowShown = false;
        emit slowReply(false);
    }
}

CounterLink::ReplyWait CounterLink::waitForReply(Exchange &exchange, const std::function<TimePoint()> &untilNow,
                                                 bool request)
{
    OnTheStack counting(m_activeWaits);
    const quint64 losses = m_losses;
    // Let pending events run once even if the reply is already complete.
    if (request)
        QCoreApplication::processEvents();
    bool lineWentQuiet = false;
    // One loop and its timers for the whole wait: a reply wakes it once a
    // character, and a timer set or killed each time costs a trip through the
    // system on some platforms.
    QEventLoop loop;
    QObject::connect(&m_comm, &MSComm::received, &loop, &QEventLoop::quit);
    QObject::connect(&m_comm, &MSComm::disturbed, &loop, &QEventLoop::quit);
    QObject::connect(&m_comm, &MSComm::lineLost, &loop, &QEventLoop::quit);
    QObject::connect(this, &CounterLink::exchangeSettled, &loop, &QEventLoop::quit);
    QObject::connect(this, &CounterLink::waitsWoken, &loop, &QEventLoop::quit);
    QObject::connect(&m_life, &ProgramLife::endingStarted, &loop, &QEventLoop::quit);
    // Neither timer needs the millisecond, and coarse ones are cheap to set (a
    // precise timer is a multimedia timer on Windows, about a millisecond to
    // set up under wine). A limit that fires early finds its time not yet
    // reached and is set again; a few percent late, or a quiet gap a few
    // percent short, changes nothing a user sees.
    QTimer quiet;
    quiet.setSingleShot(true);
    quiet.setTimerType(Qt::CoarseTimer);
    QObject::connect(&quiet, &QTimer::timeout, &loop, [&] {
        lineWentQuiet = true;
        loop.quit();
    });
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::CoarseTimer);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    TimePoint limitSetFor = TimePoint::max();
    for (;;) {
        // A reading handed over is taken first, even when the program ends.
        if (exchange.handedOver)
            return ReplyWait::HandedOver;
        if (request)
            throwIfStopped(losses);
        else if (m_life.ending())
            return ReplyWait::Disturbed;
        if (m_inFlight != &exchange || m_comm.generation() != exchange.generation || !m_comm.portOpen())
            return ReplyWait::Disturbed;
        const bool longEnough = m_comm.inBufferCount() >= cmd::ReadingLength;
        if (longEnough) {
            // Take the reply whole: at its line end, or once the line has gone
            // quiet. A tail left behind would open the next reading instead.
            const char last = m_comm.lastWaitingByte();
            if (last == '\r' || last == '\n' || lineWentQuiet)
                return ReplyWait::Complete;
        }
        const TimePoint now = std::chrono::steady_clock::now();
        const TimePoint until = untilNow();
        if (now >= until)
            return ReplyWait::TimedOut;

        // Quiet means nothing more since the last wake.
        if (longEnough)
            quiet.start(kReplyEndGap);
        if (until == TimePoint::max()) {
            limit.stop();
        } else if (until != limitSetFor || !limit.isActive()) {
            limit.start(std::chrono::ceil<std::chrono::milliseconds>(until - now));
        }
        limitSetFor = until;
        if (request && m_life.ending())
            throw ProgramEnding{};
        loop.exec();
    }
}

void CounterLink::Delay(qint32 seconds)
{
    if (seconds <= 0)
        return;
    OnTheStack counting(m_activeWaits);
    OnTheStack pausing(m_activePauses);
    const quint64 losses = m_losses;
    const qint64 deadline = floorDiv(m_clock.nowMs(), 1000) + seconds;
    for (;;) {
        const qint64 now = m_clock.nowMs();
        if (floorDiv(now, 1000) >= deadline)
            return;
        throwIfStopped(losses);

        // Sleep until the clock's next whole second, or until something
        // (a test clock, the program ending, a lost line) wakes us earlier.
        QEventLoop loop;
        QTimer tick;
        tick.setSingleShot(true);
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&m_clock, &WallClock::changed, &loop, &QEventLoop::quit);
        QObject::connect(&m_comm, &MSComm::lineLost, &loop, &QEventLoop::quit);
        QObject::connect(&m_life, &ProgramLife::endingStarted, &loop, &QEventLoop::quit);
        tick.start(int(1000 - (now - floorDiv(now, 1000) * 1000)));
        loop.exec();
        throwIfStopped(losses);
    }
}

bool CounterLink::pauseUntil(TimePoint until)
{
    OnTheStack counting(m_activeWaits);
    OnTheStack pausing(m_activePauses);
    const quint64 losses = m_losses;
    for (;;) {
        if (m_life.endAsked())
            return false;
        throwIfStopped(losses);
        const TimePoint now = std::chrono::steady_clock::now();
        if (now >= until)
            return true;
        QEventLoop loop;
        QTimer tick;
        tick.setSingleShot(true);
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&m_comm, &MSComm::lineLost, &loop, &QEventLoop::quit);
        QObject::connect(&m_life, &ProgramLife::endAskedFor, &loop, &QEventLoop::quit);
        QObject::connect(&m_life, &ProgramLife::endingStarted, &loop, &QEventLoop::quit);
        tick.start(std::chrono::ceil<std::chrono::milliseconds>(until - now));
        loop.exec();
    }
}

} // namespace tallyo
