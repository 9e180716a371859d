// The conversation with the counter: open the port afresh, send a setting,
// fetch a reading, and pause. Both waits (the reply and the pause) run a
// nested event loop, so every other handler of the window can run to its end
// inside them while the process sleeps.
//
// The link is the one owner of a lost line: it emits lineLost() once per loss
// (from the wait that notices it, or from the event loop when nothing waits),
// and every wait on the stack then ends with the silent LineLost.
//
// One exchange at a time: a handler that takes the line while a reading
// request waits for its reply first lets that reply land and hands it to the
// request (settleExchange()), so no reading the counter gave is thrown away.
#pragma once

#include "mscomm.h"
#include "programlife.h"
#include "wallclock.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <optional>

namespace tallyo {

// Thrown out of every wait when the line was lost under it. The loss has
// been reported through CounterLink::lineLost() already.
struct LineLost {};

class CounterLink : public QObject {
    Q_OBJECT
public:
    CounterLink(MSComm &comm, WallClock &clock, ProgramLife &life, QObject *parent = nullptr);

    MSComm &comm() { return m_comm; }

    // Closes the port if open, then opens it with "9600,N,8,1" on CommPort.
    // A reply on its way is let land first (settleExchange()). Throws
    // ProgramEnding once the program was asked to end.
    void ReopenPort();
    // Writes the two-character command and a carriage return in one write.
    void SendCommand(const QByteArray &command);
    // Empties both buffers, writes "D1" and waits until at least
    // ReadingLength characters are waiting and the reply has ended (its CR
    // or LF arrived, or the line went quiet); returns all of it with the
    // spaces at both ends removed, and keeps it as currentReading(). If
    // another handler takes the line meanwhile, the reply it let land is this
    // request's reading; if it could not wait for it, asks again. Sends
    // nothing once the program was asked to end (throws ProgramEnding).
    QString RequestReading();
    // The reading the last RequestReading() took.
    const QString &currentReading() const { return m_currentReading; }
    // Returns when the wall clock's whole-second count has advanced `seconds`
    // times. 0 or less returns at once without processing events.
    void Delay(qint32 seconds);

    using TimePoint = std::chrono::steady_clock::time_point;
    // Returns when the monotonic clock reaches `until` (true), or as soon as
    // the program is asked to end (false). Throws LineLost when the line is
    // lost meanwhile: a schedule that pauses between readings hears of it at
    // once, not at its next reading.
    bool pauseUntil(TimePoint until);
    // Before a handler takes the line: if a reading request waits for its
    // reply, waits in the event loop until the reply is in and hands it to
    // that request, or gives it up once the request has waited replyBound()
    // or `notAfter` has come, whichever is first (the request then asks
    // again). Returns at once when no reply is on its way.
    void settleExchange(TimePoint notAfter = TimePoint::max());
    // The longest a reply takes at the gate time last sent ("G0" to "G3";
    // the counter's power-up 1 s before any), with a margin.
    std::chrono::milliseconds replyBound() const;
    // A reply wait longer than this shows that the program is waiting.
    static constexpr std::chrono::milliseconds kSlowReply{300};

    // Waits on the stack right now (nested handlers included), and how many
    // of them are pauses.
    int activeWaits() const { return m_activeWaits; }
    int activePauses() const { return m_activePauses; }

signals:
    // The line was lost: the port is closed. Emitted once per loss.
    void lineLost(int number, const QString &text);
    // The reply on its way has taken longer than kSlowReply (true), and that
    // wait has ended: the reply landed, or the exchange was given up (false).
    void slowReply(bool waiting);
    // An exchange was settled: its request has its reading or must ask again.
    void exchangeSettled();

private:
    // The one exchange on the line: a "D1" sent and its reply not yet taken.
    struct Exchange {
        quint64 generation;      // the port's, once "D1" was written
        TimePoint sentAt;
        std::optional<QString> handedOver;   // the reply another handler let land
    };
    enum class ReplyWait { Complete, HandedOver, Disturbed, TimedOut };
    // Waits until the reply of `exchange` is complete, was handed over, the
    // line was disturbed under it, or `until` has come. The request's own
    // wait (`request`) also ends on the program ending or a lost line.
    ReplyWait waitForReply(Exchange &exchange, TimePoint until, bool request);
    // The exchange is over: the line is free, the busy sign goes.
    void endExchange(Exchange &exchange);
    // Throws ProgramEnding when the program is ending, or LineLost when the
    // line was lost since the wait began (losses counted then: `lossesBefore`).
    void throwIfStopped(quint64 lossesBefore);
    // Emits lineLost() for a loss the serial control still holds.
    void reportLoss();

    MSComm &m_comm;
    WallClock &m_clock;
    ProgramLife &m_life;
    int m_activeWaits = 0;
    int m_activePauses = 0;
    quint64 m_losses = 0;
    QString m_currentReading;
    Exchange *m_inFlight = nullptr;
    // The digit of the last "G" command sent; -1 before any.
    int m_gate = -1;
    QTimer m_slowReply;
    bool m_slowShown = false;
};

// Removes space characters (and nothing else) from both ends.
QString trimSpaces(const QString &text);

} // namespace tallyo
