// The conversation with the counter: open the port afresh, send a setting,
// fetch a reading, and pause. Both waits (the reply and the pause) run a
// nested event loop, so every other handler of the window can run to its end
// inside them while the process sleeps.
//
// The link is the one owner of a lost line: it emits lineLost() once per loss
// (from the wait that notices it, or from the event loop when nothing waits),
// and every wait on the stack then ends with the silent LineLost.
//
// One exchange at a time: every operation that takes the line (opening,
// choosing a port, sending, asking for a reading, the ending) first lets a
// reply on its way land and hands it to the request that waits for it
// (settleExchange()), so no reading the counter gave is thrown away.
//
// The link is the only code that drives the serial control (MSComm1): the
// window and the command line use its operations.
#pragma once

#include "mscomm.h"
#include "programlife.h"
#include "wallclock.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace tallyo {

// Thrown out of every wait when the line was lost under it. The loss has
// been reported through CounterLink::lineLost() already.
struct LineLost {};

// How a reading is asked for.
struct ReadingRequest {
    // Holds once whoever asked no longer wants the reading ("Stop Record").
    // The request then ends when its reply lands within replyBound(), or at
    // once past it (a silent counter: no reading was served, so none is
    // lost), and never sends "D1" again. Call wakeWaits() after it changes.
    std::function<bool()> stopAsked;
    // A reply past replyBound() of which nothing has arrived is asked for
    // again ("D1"), at growing intervals up to the bound at the longest gate
    // time, so that a counter switched off or unplugged is read again by
    // itself once it is back. A reply that has begun to arrive is waited for.
    bool askAgainWhenSilent = false;
};

class CounterLink : public QObject {
    Q_OBJECT
public:
    // Over a serial control of its own, on the ports of `portMap`.
    CounterLink(PortMap portMap, WallClock &clock, ProgramLife &life, QObject *parent = nullptr);
    // Over the caller's serial control (the command line's, until it uses
    // the operations below).
    CounterLink(MSComm &comm, WallClock &clock, ProgramLife &life, QObject *parent = nullptr);
    ~CounterLink() override;

    // The line as the program starts it: DTR raised and RTS low whenever the
    // port is open; the port stays closed and nothing is sent.
    void prepareLine();
    // Every write and read from now on also goes to `log` (none: no log).
    void setLineLog(std::shared_ptr<LineLog> log);
    bool portOpen() const;

    // Closes the port if open, then opens it with "9600,N,8,1" on CommPort.
    // Throws ProgramEnding once the program was asked to end.
    void ReopenPort();
    // Writes the two-character command and a carriage return in one write.
    void SendCommand(const QByteArray &command);
    // Takes effect at once: an open port is closed, renumbered and opened
    // again with the settings it had (the same number included); a closed
    // port is only renumbered, and the next opening uses the new number.
    void choosePort(int portNumber);
    // The ending of EXIT: the reply on its way may land until the end budget
    // says; then an open port gets "R0" and is closed (what is queued leaves
    // first, within the drain limit). A failure throws SerialError, with the
    // port closed.
    void switchRemoteOffAndClose();
    // The ending of the close control or a signal: the reply on its way may
    // land as for EXIT; then the port is closed, nothing sent, and a failure
    // of the closing is not reported (the program is going).
    void closeForEnd();
    // Closes the port without waiting for anything: the process is ending
    // under the program (no event loop runs any more).
    void closeAtOnce();
    // The port the next opening uses, and how messages name it.
    int portNumber() const;
    QString portLabel() const;
    // Empties both buffers, writes "D1" and waits until at least
    // ReadingLength characters are waiting and the reply has ended (its CR
    // or LF arrived, or the line went quiet); returns all of it with the
    // spaces at both ends removed, and keeps it as currentReading(). If
    // another handler takes the line meanwhile, the reply it let land is this
    // request's reading; if it could not wait for it, asks again. Sends
    // nothing once the program was asked to end (throws ProgramEnding).
    QString RequestReading();
    // The same, as `how` says; nothing when its stopAsked ended it first.
    std::optional<QString> RequestReading(const ReadingRequest &how);
    // Every reply wait looks again at its request's stopAsked.
    void wakeWaits() { emit waitsWoken(); }
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
    // A reading request has waited past replyBound() without its reply: the
    // counter is silent (true, once); every such request has ended or has
    // its reading (false).
    void replyOverdue(bool overdue);
    // See wakeWaits().
    void waitsWoken();

private:
    CounterLink(std::unique_ptr<MSComm> own, MSComm *comm, WallClock &clock, ProgramLife &life, QObject *parent);

    // The one exchange on the line: a "D1" sent and its reply not yet taken.
    struct Exchange {
        quint64 generation; // the port's, once "D1" was written
        TimePoint sentAt;
        std::optional<QString> handedOver; // the reply another handler let land
    };
    enum class ReplyWait {
        Complete,
        HandedOver,
        Disturbed,
        TimedOut
    };
    // Waits until the reply of `exchange` is complete, was handed over, the
    // line was disturbed under it, or `until` has come. The request's own
    // wait (`request`) also ends on the program ending or a lost line.
    // `until` is asked anew on every turn of the wait.
    ReplyWait waitForReply(Exchange &exchange, const std::function<TimePoint()> &until, bool request);
    // The exchange is over: the line is free, the busy sign goes.
    void endExchange(Exchange &exchange);
    // Throws ProgramEnding when the program is ending, or LineLost when the
    // line was lost since the wait began (losses counted then: `lossesBefore`).
    void throwIfStopped(quint64 lossesBefore);
    // Emits lineLost() for a loss the serial control still holds.
    void reportLoss();

    // The tests' view of the serial control (tests/support).
    friend struct SerialControlOf;

    std::unique_ptr<MSComm> m_ownComm;
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
    // Requests on the stack whose reply is overdue.
    int m_overdue = 0;
};

// Removes space characters (and nothing else) from both ends.
QString trimSpaces(const QString &text);

} // namespace tallyo
