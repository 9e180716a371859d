// Whether the program is still running, and the way out of every wait.
#pragma once

#include <QObject>
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
        : QObject(parent), m_quit(std::move(quit)) {}

    bool ending() const { return m_ending; }

    // The whole time the program may take to end once asked to (EXIT, the
    // close control, a signal): every wait on the way out (the reply in
    // flight, the spreadsheet) shares this one budget.
    static constexpr std::chrono::milliseconds kEndBudget{1000};
    // When the program must be gone by: set when ending was first asked for
    // (askedToEnd() or end()); time_point::max() until then.
    std::chrono::steady_clock::time_point deadline() const { return m_deadline; }
    // Every wait on the way out ends by then: the rest of the budget is for
    // the last steps (saving what the sheet did not take, freeing the port).
    static constexpr std::chrono::milliseconds kLastSteps{200};
    std::chrono::steady_clock::time_point waitsEndBy() const
    {
        return endAsked() ? m_deadline - kLastSteps : m_deadline;
    }
    // The exit status when the display was lost under the program (Qt's own).
    static constexpr int kDisplayLostExitCode = 1;
    // Whether ending was asked for: from then on no handler starts and
    // nothing new is asked of the counter.
    bool endAsked() const { return m_deadline != std::chrono::steady_clock::time_point::max(); }
    // Starts the clock of the end budget (the click or the signal), if not
    // started yet. Waits go on until end().
    void askedToEnd()
    {
        if (m_deadline == std::chrono::steady_clock::time_point::max())
            m_deadline = std::chrono::steady_clock::now() + kEndBudget;
    }

    // Ends the program: every wait returns at once and no handler runs again.
    void end()
    {
        if (m_ending)
            return;
        askedToEnd();
        m_ending = true;
        emit endingStarted();
        if (m_quit)
            m_quit();
    }

signals:
    void endingStarted();

private:
    std::function<void()> m_quit;
    bool m_ending = false;
    std::chrono::steady_clock::time_point m_deadline = std::chrono::steady_clock::time_point::max();
};

} // namespace tallyo
