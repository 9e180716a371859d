// The one window of the program. Its controls carry the names users and
// documentation know them by (Option20 is port "1", Command2 is "Data", ...).
// The window holds the controls and wires them to the parts that do the
// work: the counter link, the option panel, the reading display, the
// interval list and the recorder. It also decides what a failure does (one
// message; only the failing handler stops) and how the program ends.
#pragma once

#include "abruptexit.h"
#include "counterlink.h"
#include "endsignals.h"
#include "intervallist.h"
#include "mscomm.h"
#include "optionpanel.h"
#include "programlife.h"
#include "readingdisplay.h"
#include "recorder.h"
#include "spreadsheet.h"
#include "wallclock.h"
#include "windowgone.h"

#include <QByteArray>
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

// What the window needs from outside; tests pass their own.
struct Form1Dependencies {
    PortMap portMap;                          // default: the machine's serial ports
    WallClock *clock = nullptr;               // default: the local wall clock
    SpreadsheetFactory spreadsheetFactory;    // default: none installed
    RecorderOptions recorder;                 // limits of the recording's waits on the sheet
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

    // Controls, made from the layout table. Each is also found by its name
    // with control().
    QGroupBox *Frame1, *Frame2, *Frame3, *Frame4, *Frame5, *Frame6;
    QRadioButton *Option1, *Option2, *Option3, *Option4, *Option5, *Option6, *Option7, *Option8, *Option9,
        *Option10, *Option11, *Option12, *Option13, *Option14, *Option15, *Option16, *Option17, *Option18,
        *Option19, *Option20, *Option21, *Option22, *Option23, *Option24, *Option25;
    QPushButton *Command1, *Command2, *Command3, *Command4, *Command5;
    QLabel *Label1, *Label2, *Label4;
    QLineEdit *Text1;
    QComboBox *Combo1;

    // The serial control (the window's, which the link drives), the last
    // reading taken (kept by the link), the recording's stop flag and the
    // application of the latest recording (kept by the recorder).
    MSComm &MSComm1() { return m_comm; }
    const MSComm &MSComm1() const { return m_comm; }
    const QString &currentReading() const { return m_link.currentReading(); }
    bool stopRecord() const { return m_recorder.stopRecord(); }
    std::shared_ptr<SpreadsheetApp> excelApp() const { return m_recorder.excelApp(); }

    // Operations on the counter link
    void ReopenPort() { m_link.ReopenPort(); }
    void SendCommand(const QByteArray &command) { m_link.SendCommand(command); }
    void RequestReading() { m_link.RequestReading(); }

    // Handlers. Each runs through handle(): a failure shows its message and
    // ends only that handler; nothing runs once the program is ending. The
    // option buttons' handlers are the option panel's.
    void Form_Load();
    void Command1_Click();   // CLEAR
    void Command2_Click();   // Data
    void Command3_Click();   // EXIT
    void Command4_Click();   // Data to Excel
    void Command5_Click();   // Stop Record
    void Text1_Change();

    // The control of the layout table with that name.
    QWidget *control(const QString &name) const { return findChild<QWidget *>(name); }
    // The selected position of the interval list; -1 once text was typed.
    int intervalPosition() const { return m_intervals->position(); }
    // When the program must be gone by, once it was asked to end.
    std::chrono::steady_clock::time_point endDeadline() const { return m_life.deadline(); }
    // SIGTERM, SIGINT and SIGHUP end the program as the close control does.
    void followEndRequests(EndSignals &requests);
    CounterLink &link() { return m_link; }

signals:
    // A recording has started writing into a new workbook.
    void recordingStarted();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void connectHandlers();
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
    MSComm m_comm;
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

// Style and fonts the window's fixed geometry was drawn for.
void applyAppearance();

// main()'s run of the window, once the application object exists: the line
// log the user asked for (or none), SIGTERM/SIGINT/SIGHUP followed as the
// close control, Load, shown, the event loop; then the spreadsheets' workers
// end within the end budget, before the application object does. Returns the
// exit code.
int runWindow(Form1Dependencies dependencies, std::shared_ptr<LineLog> lineLog);

} // namespace tallyo
