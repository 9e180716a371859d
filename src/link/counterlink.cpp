#include "counterlink.h"

#include "commands.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace tallyo {

namespace {

// A reply without a line end is over once nothing more has arrived for this
// long. Longer than a USB adapter's latency timer (16 ms), so a reply that
// reaches us in two packets is still taken whole.
constexpr std::chrono::milliseconds kReplyEndGap{50};

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

CounterLink::CounterLink(MSComm &comm, WallClock &clock, ProgramLife &life, QObject *parent)
    : QObject(parent), m_comm(comm), m_clock(clock), m_life(life)
{
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

void CounterLink::ReopenPort()
{
    if (m_comm.portOpen())
        m_comm.setPortOpen(false);
    if (!m_comm.portOpen()) {
        m_comm.setSettings(QString::fromLatin1(cmd::LineSettings));
        m_comm.setPortOpen(true);
    }
}

void CounterLink::SendCommand(const QByteArray &command)
{
    m_comm.setOutput(command + cmd::Terminator);
}

QString CounterLink::RequestReading()
{
    for (;;) {
        m_comm.setOutBufferCount(0);
        m_comm.setInBufferCount(0);
        m_comm.setOutput(cmd::Reading);
        if (waitForReply(m_comm.generation()) == ReplyWait::Complete) {
            m_currentReading = trimSpaces(QString::fromLatin1(m_comm.input()));
            return m_currentReading;
        }
        // Another handler reopened the port or took the reply meanwhile.
        if (!m_comm.portOpen())
            throw ExchangeAbandoned{};
    }
}

CounterLink::ReplyWait CounterLink::waitForReply(quint64 generation)
{
    OnTheStack counting(m_activeWaits);
    const quint64 losses = m_losses;
    // Let pending events run once even if the reply is already complete.
    QCoreApplication::processEvents();
    bool lineWentQuiet = false;
    for (;;) {
        throwIfStopped(losses);
        if (m_comm.generation() != generation)
            return ReplyWait::Disturbed;
        const bool longEnough = m_comm.inBufferCount() >= cmd::ReadingLength;
        if (longEnough) {
            // Take the reply whole: at its line end, or once the line has gone
            // quiet. A tail left behind would open the next reading instead.
            const char last = m_comm.lastWaitingByte();
            if (last == '\r' || last == '\n' || lineWentQuiet)
                return ReplyWait::Complete;
        }

        QEventLoop loop;
        QObject::connect(&m_comm, &MSComm::received, &loop, &QEventLoop::quit);
        QObject::connect(&m_comm, &MSComm::disturbed, &loop, &QEventLoop::quit);
        QObject::connect(&m_comm, &MSComm::lineLost, &loop, &QEventLoop::quit);
        QObject::connect(&m_life, &ProgramLife::endingStarted, &loop, &QEventLoop::quit);
        QTimer quiet;
        if (longEnough) {
            quiet.setSingleShot(true);
            quiet.setTimerType(Qt::PreciseTimer);
            QObject::connect(&quiet, &QTimer::timeout, &loop, [&] {
                lineWentQuiet = true;
                loop.quit();
            });
            quiet.start(kReplyEndGap);
        }
        if (m_life.ending())
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

} // namespace tallyo
