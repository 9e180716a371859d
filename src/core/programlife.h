// Whether the program is still running, and the way out of every wait.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>

namespace tallyo {

// Thrown out of a wait when the program is ending: the waiting handler stops
// where it is and does nothing more.
struct ProgramEnding {};

// Thrown out of a reply wait whose exchange another handler ended for good
// (the port was closed under it and not reopened). That handler has already
// told the user what went wrong.
struct ExchangeAbandoned {};

// Counts itself in `count` for as long as it lives: how many waits (or
// recordings) are on the stack right now, nested ones included.
class OnTheStack {
public:
    explicit OnTheStack(int &count) : m_count(count) { ++m_count; }
    ~OnTheStack() { --m_count; }
    OnTheStack(const OnTheStack &) = delete;
    OnTheStack &operator=(const OnTheStack &) = delete;

private:
    int &m_count;
};

class ProgramLife : public QObject {
    Q_OBJECT
public:
    // quit: what ends the process's event loop (QCoreApplication::exit in the
    // program; a recorder in tests).
    explicit ProgramLife(std::function<void()> quit, QObject *parent = nullptr)
        : QObject(parent), m_quit(std::move(quit))
    {
        m_endTimer.setSingleShot(true);
        m_endTimer.setTimerType(Qt::PreciseTimer);
        connect(&m_endTimer, &QTimer::timeout, this, &ProgramLife::end);
    }

    bool ending() const { return m_ending; }

    // The whole time the program may take to end once asked to (EXIT, the
    // close control, a signal). Every step on the way out shares it, in this
    // order:
    //   the reply in flight lands            until replyLandsBy()
    //   "R0" leaves and the port closes      closing waits kPortDrainLimit at most
    //   the spreadsheets take what is left   until waitsEndBy()
    //   what they did not take is saved, the port and its locks are freed
    // and at deadline() the program ends, whatever is still waiting.
    static constexpr std::chrono::milliseconds kEndBudget{1000};
    // What the budget keeps after the reply in flight: "R0", closing the
    // port, the spreadsheets' last rows.
    static constexpr std::chrono::milliseconds kAfterReply{250};
    // The longest closing a port waits for the bytes still queued to leave
    // (a line whose output never drains is closed all the same): both serial
    // back ends stop waiting then. A setting or "R0" (3 bytes) takes 3 ms at
    // 9600 baud; what a line has not sent by then (a stuck adapter, output
    // held by flow control) it never will.
    static constexpr std::chrono::milliseconds kPortDrainLimit{100};
    // What the budget keeps after every wait: saving what the spreadsheets did
    // not take, freeing the port.
    static constexpr std::chrono::milliseconds kLastSteps{200};
    static_assert(kAfterReply + kLastSteps < kEndBudget && kPortDrainLimit < kEndBudget);

    // When the program must be gone by: set when ending was first asked for
    // (askedToEnd() or end()); time_point::max() until then.
    std::chrono::steady_clock::time_point deadline() const { return m_deadline; }
    // The reply on its way may land until then.
    std::chrono::steady_clock::time_point replyLandsBy() const { return endsBy(kAfterReply); }
    // Every wait on the way out ends by then.
    std::chrono::steady_clock::time_point waitsEndBy() const { return endsBy(kLastSteps); }
    // The exit status when the display was lost under the program (Qt's own).
    static constexpr int kDisplayLostExitCode = 1;
    // Whether ending was asked for: from then on no handler starts and
    // nothing new is asked of the counter.
    bool endAsked() const { return m_deadline != std::chrono::steady_clock::time_point::max(); }
    // Starts the clock of the end budget (the click or the signal), if not
    // started yet. Waits go on until end(), which comes at the deadline at
    // the latest.
    void askedToEnd()
    {
        if (endAsked())
            return;
        m_deadline = std::chrono::steady_clock::now() + kEndBudget;
        m_endTimer.start(kEndBudget);
        emit endAskedFor();
    }

    // Ends the program: every wait returns at once and no handler runs again.
    void end()
    {
        if (m_ending)
            return;
        askedToEnd();
        m_ending = true;
        m_endTimer.stop();
        emit endingStarted();
        if (m_quit)
            m_quit();
    }

signals:
    // Ending was asked for (askedToEnd(), or end() without it first).
    void endAskedFor();
    void endingStarted();

private:
    // The deadline less `kept`; time_point::max() until ending was asked for.
    std::chrono::steady_clock::time_point endsBy(std::chrono::milliseconds kept) const
    {
        return endAsked() ? m_deadline - kept : m_deadline;
    }

    std::function<void()> m_quit;
    bool m_ending = false;
    std::chrono::steady_clock::time_point m_deadline = std::chrono::steady_clock::time_point::max();
    QTimer m_endTimer;
};

} // namespace tallyo
