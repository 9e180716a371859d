#include "linesession.h"

#include "commands.h"

namespace tallyo {

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds since(Clock::time_point then)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - then);
}
} // namespace

QString LineSession::errorText(int number, const QString &text)
{
    return number ? QStringLiteral("Error %1: %2").arg(number).arg(text) : text;
}

LineSession::LineSession(PortMap portMap, int portNumber, std::shared_ptr<LineLog> log) : m_comm(std::move(portMap))
{
    m_comm.setLineLog(std::move(log));
    m_comm.setCommPort(portNumber);

    m_endBudget.setSingleShot(true);
    m_endBudget.setTimerType(Qt::PreciseTimer);
    connect(&m_endBudget, &QTimer::timeout, &m_life, [this] { m_life.end(); });
    connect(&m_endSignals, &EndSignals::endRequested, this, [this] { endRequested(); });

    // A counter that stays silent: the exchange is given up by closing the
    // port under it, which the reply wait takes as an abandoned exchange.
    m_replyLimit.setSingleShot(true);
    m_replyLimit.setTimerType(Qt::PreciseTimer);
    connect(&m_replyLimit, &QTimer::timeout, this, [this] {
        m_silent = true;
        close();
    });
    connect(&m_link, &CounterLink::lineLost, this,
            [this](int number, const QString &text) { m_gapReason = errorText(number, text); });
}

LineSession::~LineSession()
{
    close();
}

void LineSession::open()
{
    m_comm.setDTREnable(true);
    m_comm.setRTSEnable(false);
    m_link.ReopenPort();
}

void LineSession::send(const QList<QByteArray> &commands)
{
    for (const QByteArray &command : commands)
        m_link.SendCommand(command);
}

void LineSession::close()
{
    try {
        m_comm.setPortOpen(false);
    } catch (const SerialError &) {
        // Closing sends nothing that was asked for: nothing to report.
    }
}

void LineSession::endRequested()
{
    if (m_life.endAsked())
        return;
    m_life.askedToEnd();
    m_endBudget.start(
        std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(m_life.deadline() - Clock::now())));
}

QString LineSession::silentText(const Schedule &schedule) const
{
    return errorText(SerialErrorNumber::NoReply,
                     QStringLiteral("Port %1 (%2): the counter sent no reading within %3 seconds of \"D1\". "
                                    "Check that it is switched on, connected to this port and set to 9600 baud.")
                         .arg(m_comm.commPort())
                         .arg(m_comm.device())
                         .arg(double(schedule.replyLimit.count()) / 1000.0));
}

std::optional<QString> LineSession::takeReading(const Schedule &schedule)
{
    m_silent = false;
    m_replyLimit.start(schedule.replyLimit);
    try {
        QString reading = m_link.RequestReading();
        m_replyLimit.stop();
        return reading;
    } catch (const LineLost &) {
        // m_gapReason has the link's words for it.
    } catch (const ExchangeAbandoned &) {
        if (m_silent)
            m_gapReason = silentText(schedule);
    }
    m_replyLimit.stop();
    close();
    return std::nullopt;
}

bool LineSession::waitOutGap(const Schedule &schedule, const Events &events)
{
    if (schedule.giveUp && schedule.giveUp->count() == 0) {
        m_error = m_gapReason;
        m_gaveUp = true;
        return false;
    }
    // A gap lasts until a reading lands again: a counter that stays silent
    // on a port that reopens at once is still a gap.
    if (!m_gapBegan) {
        m_gapBegan = Clock::now();
        if (events.gapStarted)
            events.gapStarted(QDateTime::currentDateTime(), m_gapReason);
    }
    for (;;) {
        const milliseconds waited = since(*m_gapBegan);
        if (schedule.giveUp && waited >= *schedule.giveUp) {
            m_error = QStringLiteral("gave up after %1 s without readings: %2")
                          .arg(double(waited.count()) / 1000.0, 0, 'f', 1)
                          .arg(m_gapReason);
            m_gaveUp = true;
            return false;
        }
        try {
            if (!m_comm.portOpen())
                m_link.ReopenPort();
            return true;
        } catch (const SerialError &e) {
            m_gapReason = errorText(e.number, e.text);
        } catch (const LineLost &) {}
        if (events.waiting)
            events.waiting(waited);
        Clock::time_point next = Clock::now() + kRetryEvery;
        if (schedule.giveUp)
            next = std::min(next, *m_gapBegan + *schedule.giveUp);
        try {
            if (!m_link.pauseUntil(next))
                return false;
        } catch (const LineLost &) {}
    }
}

LineSession::Outcome LineSession::read(const Schedule &schedule, const Events &events)
{
    m_gaveUp = false;
    m_gapBegan.reset();
    m_error.clear();
    qint64 taken = 0;
    const Clock::time_point start = Clock::now();
    qint64 slot = 0;
    const auto stopped = [this] { return m_gaveUp ? Outcome::LineFailed : Outcome::Stopped; };
    try {
        while (schedule.count == 0 || taken < schedule.count) {
            if (m_life.endAsked())
                return Outcome::Stopped;
            if (schedule.interval.count() > 0) {
                bool lost = false;
                try {
                    if (!m_link.pauseUntil(start + slot * schedule.interval))
                        return Outcome::Stopped;
                } catch (const LineLost &) {
                    lost = true;
                }
                if (lost && !waitOutGap(schedule, events))
                    return stopped();
            }
            if (!m_comm.portOpen()) {
                // Lost in the pause or in the gap's last moment: wait it out.
                if (!waitOutGap(schedule, events))
                    return stopped();
            } else if (const std::optional<QString> reading = takeReading(schedule)) {
                if (m_gapBegan) {
                    if (events.gapEnded)
                        events.gapEnded(since(*m_gapBegan));
                    m_gapBegan.reset();
                }
                if (!events.reading(QDateTime::currentDateTime(), *reading))
                    return Outcome::OutputFailed;
                ++taken;
            } else if (!waitOutGap(schedule, events)) {
                return stopped();
            }
            if (schedule.interval.count() > 0) {
                // The next slot not yet begun: a late reading never shifts the rest.
                const qint64 behind = (Clock::now() - start) / schedule.interval;
                slot = std::max(slot + 1, behind + 1);
            }
        }
    } catch (const ProgramEnding &) {
        // The reading in flight did not land within the end budget.
        return Outcome::Stopped;
    }
    return Outcome::Done;
}

} // namespace tallyo
