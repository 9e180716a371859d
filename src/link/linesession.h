// The counter without a window: one port opened as the window opens it,
// settings sent, or readings taken on a schedule for as long as asked, and
// the ending a terminal or a service manager asks for (SIGINT, SIGTERM,
// SIGHUP) served within the program's end budget.
//
// The schedule is a grid on the monotonic clock: reading k starts at
// start + k x interval, never later because earlier readings were slow; a
// reading that cannot start on its slot (the exchange before it took longer
// than the interval, or the line was down) waits for the next free slot, so
// readings are skipped, never bunched.
//
// A lost line (an unplugged adapter, a hang-up, the device gone) or a counter
// silent for longer than its longest reply is a gap, not the end: the same
// device is reopened about once a second, through the same port map and
// locks, until it opens or the gap has lasted the give-up time.
#pragma once

#include "counterlink.h"
#include "endsignals.h"
#include "linelog.h"
#include "mscomm.h"
#include "programlife.h"
#include "wallclock.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace tallyo {

class LineSession : public QObject {
    Q_OBJECT
public:
    // How long a reading may take before the counter counts as silent: its
    // longest gate time (10 s) and a margin. The window waits as long as the
    // user likes; without a window nobody is there to click EXIT.
    static constexpr std::chrono::seconds kReplyLimit{12};
    // How often a lost line is tried again.
    static constexpr std::chrono::seconds kRetryEvery{1};

    LineSession(PortMap portMap, int portNumber, std::shared_ptr<LineLog> log = nullptr);
    ~LineSession() override;

    // Opens the port as the window does: DTR raised, RTS low, "9600,N,8,1".
    // Throws SerialError.
    void open();
    // Sends each setting in order. Throws SerialError.
    void send(const QList<QByteArray> &commands);
    // Sends what is still queued and closes the port; never throws.
    void close();

    struct Schedule {
        qint64 count = 1; // 0: until asked to end
        std::chrono::milliseconds interval{0}; // from one slot to the next; 0: back to back
        // How long a gap may last before the run gives up; none: never.
        std::optional<std::chrono::milliseconds> giveUp;
        std::chrono::milliseconds replyLimit = kReplyLimit;
    };
    struct Events {
        // A reading and the time it landed; false ends the run (OutputFailed).
        std::function<bool(const QDateTime &at, const QString &reading)> reading;
        // A gap began at `at`, for the reason `why` ("Error 9: ...").
        std::function<void(const QDateTime &at, const QString &why)> gapStarted;
        // A reading landed again, `length` after the gap began.
        std::function<void(std::chrono::milliseconds length)> gapEnded;
        // About once a second while the line is down.
        std::function<void(std::chrono::milliseconds waited)> waiting;
    };
    enum class Outcome {
        Done, // every reading asked for was taken
        Stopped, // asked to end (a signal); every reading taken was handed on
        LineFailed, // the line stayed down for the give-up time; error() says why
        OutputFailed, // Events::reading said so
    };
    // Takes the readings (the port must be open). Throws SerialError for a
    // failure that is no gap (a refused setting of the line, for instance).
    Outcome read(const Schedule &schedule, const Events &events);
    // Why the run failed: "Error 9: Port 1 (...): the line was lost. ...".
    QString error() const { return m_error; }

    // The failure as the window words it: "Error N: text".
    static QString errorText(int number, const QString &text);

private:
    // A signal asked the run to end: the reading in flight may still land,
    // within the program's end budget.
    void endRequested();
    // One reading; nothing when the line was lost under it, or the counter
    // stayed silent (m_gapReason says which).
    std::optional<QString> takeReading(const Schedule &schedule);
    // Waits the gap out; false when the run is to end (given up, or asked to).
    bool waitOutGap(const Schedule &schedule, const Events &events);
    QString silentText(const Schedule &schedule) const;

    MSComm m_comm;
    WallClock m_clock;
    ProgramLife m_life{{}};
    CounterLink m_link{m_comm, m_clock, m_life};
    EndSignals m_endSignals;
    QTimer m_endBudget;
    QTimer m_replyLimit;
    bool m_silent = false;
    QString m_gapReason;
    QString m_error;
    bool m_gaveUp = false;
    std::optional<std::chrono::steady_clock::time_point> m_gapBegan;
};

} // namespace tallyo
