// A window wired to simulated counters on real pseudo-terminals, with a clock
// the test sets, captured messages and a recorded quit: the real code from
// button to byte, with nothing of the machine's own serial ports involved.
#pragma once

#include "countersim.h"
#include "form1.h"
#include "wallclock.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace tallyo::test {

// What a machine busy with other work (a build, other test suites: CI) may
// add to a duration the program bounds itself. A bound a test checks is the
// program's own plus this; anything finer is checked as an order of events.
inline constexpr std::chrono::milliseconds kLoadedMachineMargin{1000};

class TestClock : public WallClock {
    Q_OBJECT
public:
    // Starts half-way into a second, so whole-second rounding shows.
    explicit TestClock(qint64 startMs = 1'000'000'500) : m_ms(startMs) {}
    qint64 nowMs() const override { return m_ms; }
    void set(qint64 ms)
    {
        m_ms = ms;
        emit changed();
    }
    void advance(qint64 ms) { set(m_ms + ms); }

private:
    qint64 m_ms;
};

// One spreadsheet call that reached the sheet.
struct SheetCall {
    int app; // which application (1 = first created)
    std::string call; // "visible", "add", "formula", "autofit", "format"
    long long row = 0;
    int column = 0;
    std::string text = {};
};

// A stand-in spreadsheet application that records every call, for tests of
// the recording's logic; the real applications are tested on their own.
class FakeSheets {
public:
    FakeSheets();
    ~FakeSheets();
    SpreadsheetFactory factory();
    std::vector<SheetCall> calls;
    int created = 0;
    long long lastRow = SheetLastRow;
    // The application cannot be created / never comes up.
    bool failCreate = false;
    bool neverStarts = false;
    // The workbook is closed when the n-th formula of an application arrives
    // (1-based; 0: never): that cell and every later one stay unwritten.
    int failFormulaAt = 0;
    // While busy, the applications take nothing: calls wait, in order.
    void setBusy(bool busy);
    bool busy() const { return m_busy; }
    // Formulas written, in order, as (app, row, text).
    std::vector<SheetCall> formulas() const;
    // Cells handed over that are not in a sheet, of every application.
    size_t unwrittenCount() const;
    // Applications given up by the recording.
    int abandoned = 0;

private:
    class App;
    friend class App;
    std::vector<App *> m_apps;
    bool m_busy = false;
};

class Rig {
public:
    // counters: how many simulated counters, on port numbers 1..counters.
    explicit Rig(int counters = 1, sim::CounterSim::Options options = {});
    ~Rig();

    sim::CounterSim &counter(int port) { return *m_counters.at(size_t(port - 1)); }
    // Devices behind port numbers 1..6 (empty: nothing); change before form().
    QStringList devices;
    TestClock clock;
    FakeSheets sheets;
    // The spreadsheet the window records into; empty: the stand-in `sheets`.
    SpreadsheetFactory spreadsheetFactory;
    // The recording's limits; readings that miss the sheet are saved in a
    // folder of the rig's own.
    RecorderOptions recorder;
    // The rows saved there, file after file, in order.
    struct SavedRow {
        long long row = 0;
        std::string reading; // the field as a spreadsheet reads it
        bool maybeInSheet = false;
    };
    std::vector<SavedRow> savedRows() const { return savedRowsIn(m_savedFolder.path()); }
    // The files' text, one after the other.
    QByteArray savedText() const { return savedTextIn(m_savedFolder.path()); }
    // The same, of the files in another folder.
    static std::vector<SavedRow> savedRowsIn(const QString &folder);
    static QByteArray savedTextIn(const QString &folder);
    QStringList messages;
    int quits = 0;

    // The window, created, loaded and shown on first use.
    Form1 &form();
    bool hasForm() const { return bool(m_form); }
    // Clicks a control the way a user does (a real mouse click).
    void click(QWidget *control);
    void clickPort(int portNumber);
    // Every command each counter received so far, e.g. {"G2\r", "D1"}.
    std::vector<std::string> commands(int port) const { return m_counters.at(size_t(port - 1))->commands(); }

private:
    QTemporaryDir m_savedFolder;
    std::vector<std::unique_ptr<sim::CounterSim>> m_counters;
    std::unique_ptr<Form1> m_form;
};

// Advances the test clock by `stepMs` on every turn of the event loop until
// destroyed, so pauses run to their end without the test sleeping. onTick runs
// first on each turn (with the turn's number, from 1).
class ClockDriver : public QObject {
    Q_OBJECT
public:
    ClockDriver(TestClock &clock, qint64 stepMs);
    int ticks = 0;
    std::function<void(int tick)> onTick;
    // When set, the clock moves only on turns where this holds.
    std::function<bool()> advanceWhen;

private:
    TestClock &m_clock;
    qint64 m_step;
    QTimer *m_timer;
};

// The object name of the button that chooses port `portNumber`.
QString portButtonName(int portNumber);

// The window's serial control, which its link drives: for looking at the
// line's state, and for probes of a test's own on the line.
MSComm &serialControl(Form1 &form);
// The control of the layout table with that name.
QWidget *control(const Form1 &form, const QString &name);
// The selected position of the interval list; -1 once text was typed.
int intervalPosition(const Form1 &form);

// Runs `action` once the current handler is inside a wait (or as soon as the
// event loop next turns).
void whileWaiting(std::function<void()> action);

} // namespace tallyo::test
