// The conversation with the counter: open the port afresh, send a setting,
// fetch a reading, and pause. Both waits (the reply and the pause) run a
// nested event loop, so every other handler of the window can run to its end
// inside them while the process sleeps.
#pragma once

#include "mscomm.h"
#include "programlife.h"
#include "wallclock.h"

#include <QByteArray>
#include <QString>

namespace tallyo {

class CounterLink {
public:
    CounterLink(MSComm &comm, WallClock &clock, ProgramLife &life)
        : m_comm(comm), m_clock(clock), m_life(life) {}

    // Closes the port if open, then opens it with "9600,N,8,1" on CommPort.
    void ReopenPort();
    // Writes the two-character command and a carriage return in one write.
    void SendCommand(const QByteArray &command);
    // Empties both buffers, writes "D1" and waits until at least
    // ReadingLength characters are waiting and the reply has ended (its CR
    // or LF arrived, or the line went quiet); returns all of it with the
    // spaces at both ends removed. If another handler disturbs the exchange
    // meanwhile (reopens the port or takes the reply), asks again.
    QString RequestReading();
    // Returns when the wall clock's whole-second count has advanced `seconds`
    // times. 0 or less returns at once without processing events.
    void Delay(qint32 seconds);

    // Waits on the stack right now (nested handlers included), and how many
    // of them are pauses.
    int activeWaits() const { return m_activeWaits; }
    int activePauses() const { return m_activePauses; }

    // Throws ProgramEnding when the program is ending, or the line's loss.
    void throwIfStopped();

private:
    enum class ReplyWait { Complete, Disturbed };
    ReplyWait waitForReply(quint64 generation);

    MSComm &m_comm;
    WallClock &m_clock;
    ProgramLife &m_life;
    int m_activeWaits = 0;
    int m_activePauses = 0;
};

// Removes space characters (and nothing else) from both ends.
QString trimSpaces(const QString &text);

} // namespace tallyo
