// The one window of the program, a view: its controls carry the names users
// and documentation know them by (Option20 is port "1", Command2 is "Data",
// ...), and their signals reach the window's private handlers, which hand the
// work to the parts that do it: the counter link, the option panel, the
// reading display, the interval list and the recorder. The window decides
// what a failure does (one message; only the failing handler stops) and how
// the program ends.
#pragma once

#include "abruptexit.h"
#include "counterlink.h"
#include "endsignals.h"
#include "intervallist.h"
#include "optionpanel.h"
#include "programlife.h"
#include "readingdisplay.h"
#include "recorder.h"
#include "spreadsheet.h"
#include "wallclock.h"
#include "windowgone.h"

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace tallyo {

// The controls of the layout table, by their names.
struct Form1Controls {
    QGroupBox *Frame1, *Frame2, *Frame3, *Frame4, *Frame5, *Frame6;
    QRadioButton *Option1, *Option2, *Option3, *Option4, *Option5, *Option6, *Option7, *Option8, *Option9, *Option10,
        *Option11, *Option12, *Option13, *Option14, *Option15, *Option16, *Option17, *Option18, *Option19, *Option20,
        *Option21, *Option22, *Option23, *Option24, *Option25;
    QPushButton *Command1, *Command2, *Command3, *Command4, *Command5;
    QLabel *Label1, *Label2, *Label4;
    QLineEdit *Text1;
    QComboBox *Combo1;
};

// What the window needs from outside; tests pass their own.
struct Form1Dependencies {
    PortMap portMap; // default: the machine's serial ports
    WallClock *clock = nullptr; // default: the local wall clock
    SpreadsheetFactory spreadsheetFactory; // default: none installed
    RecorderOptions recorder; // limits of the recording's waits on the sheet
    // Shows a failure to the user; default: a modal message box.
    std::function<void(const QString &text)> showMessage;
    // Ends the event loop; default: QCoreApplication::exit(0).
    std::function<void()> quit;
};

class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(Form1Dependencies dependencies = {}, QWidget *parent = nullptr);
    ~Form1() override;

    // Load: the line prepared (the port stays closed), the interval list
    // filled. Once, before the window is first shown.
    void Form_Load();
    // SIGTERM, SIGINT and SIGHUP end the program as the close control does.
    void followEndRequests(EndSignals &requests);
    // When the program must be gone by (asks it to end, if nothing has).
    std::chrono::steady_clock::time_point endDeadline();

    // The parts, for start-up and tests: the controls, the counter link (its
    // reading, its waits) and the recorder (its stop flag, its application).
    const Form1Controls &controls() const { return m_controls; }
    CounterLink &link() { return m_link; }
    Recorder &recorder() { return m_recorder; }

signals:
    // A recording has started writing into a new workbook.
    void recordingStarted();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // Handlers. Each runs through handle(): a failure shows its message and
    // ends only that handler; nothing runs once the program is ending. The
    // option buttons' handlers are the option panel's.
    void Command1_Click(); // CLEAR
    void Command2_Click(); // Data
    void Command3_Click(); // EXIT
    void Command4_Click(); // Data to Excel
    void Command5_Click(); // Stop Record
    void Text1_Change();

    void buildControls();
    void connectHandlers();
    QWidget *control(const char *name) const;
    template <typename Handler> void handle(Handler &&handler);
    void report(int number, const QString &text);
    // The window's close control, a request to end (a signal), or the window
    // destroyed from outside: let the reply on its way land, send nothing,
    // free the port, end the program.
    void endWithoutSending();
    // The display is gone and the process ends under the window (see
    // AbruptExit): the sheets' readings saved, the port and its lock freed.
    void endAbruptly();
    // The busy pointer while a reply is slow or overdue.
    void showBusy(bool slow, bool overdue);

    Form1Dependencies m_deps;
    Form1Controls m_controls{};
    std::unique_ptr<WallClock> m_ownClock;
    ProgramLife m_life;
    CounterLink m_link;
    Recorder m_recorder;
    std::unique_ptr<ReadingDisplay> m_display;
    IntervalList *m_intervals = nullptr;
    WindowGoneWatcher m_windowGone;
    AbruptExit m_abruptExit{[this] { endAbruptly(); }};
    bool m_busyPointer = false;
    bool m_slowReply = false;
    bool m_replyOverdue = false;
};

} // namespace tallyo
