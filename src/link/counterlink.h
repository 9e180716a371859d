// The conversation with the counter: open the port afresh, send a setting,
// fetch a reading, and pause. Both waits (the reply and the pause) run a
// nested event loop, so every other handler of the window can run to its end
// inside them while the process sleeps.
//
// The link is the one owner of a lost line: it emits lineLost() once per loss
// (from the wait that notices it, or from the event loop when nothing waits),
// and every wait on the stack then ends with the silent LineLost.
#pragma once

#include "mscomm.h"
#include "programlife.h"
#include "wallclock.h"

#include <QByteArray>
#include <QObject>
#include <QString>

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
    void ReopenPort();
    // Writes the two-character command and a carriage return in one write.
    void SendCommand(const QByteArray &command);
    // Empties both buffers, writes "D1" and waits until at least
    // ReadingLength characters are waiting and the reply has ended (its CR
    // or LF arrived, or the line went quiet); returns all of it with the
    // spaces at both ends removed, and keeps it as currentReading(). If
    // another handler disturbs the exchange meanwhile (reopens the port or
    // takes the reply), asks again.
    QString RequestReading();
    // The reading the last RequestReading() took.
    const QString &currentReading() const { return m_currentReading; }
    // Returns when the wall clock's whole-second count has advanced `seconds`
    // times. 0 or less returns at once without processing events.
    void Delay(qint32 seconds);

    // Waits on the stack right now (nested handlers included), and how many
    // of them are pauses.
    int activeWaits() const { return m_activeWaits; }
    int activePauses() const { return m_activePauses; }

signals:
    // The line was lost: the port is closed. Emitted once per loss.
    void lineLost(int number, const QString &text);

private:
    enum class ReplyWait { Complete, Disturbed };
    ReplyWait waitForReply(quint64 generation);
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
};

// Removes space characters (and nothing else) from both ends.
QString trimSpaces(const QString &text);

} // namespace tallyo
