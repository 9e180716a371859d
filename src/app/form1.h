// The one window of the program. Its controls carry the names users and
// documentation know them by (Option20 is port "1", Command2 is "Data", ...),
// and each event has one handler named after its control and event.
#pragma once

#include "counterlink.h"
#include "mscomm.h"
#include "programlife.h"
#include "spreadsheet.h"
#include "wallclock.h"

#include <QByteArray>
#include <QHash>
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

    // Controls
    QGroupBox *Frame1, *Frame2, *Frame3, *Frame4, *Frame5, *Frame6;
    QRadioButton *Option1, *Option2, *Option3, *Option4, *Option5, *Option6, *Option7, *Option8, *Option9,
        *Option10, *Option11, *Option12, *Option13, *Option14, *Option15, *Option16, *Option17, *Option18,
        *Option19, *Option20, *Option21, *Option22, *Option23, *Option24, *Option25;
    QPushButton *Command1, *Command2, *Command3, *Command4, *Command5;
    QLabel *Label1, *Label2, *Label4;
    QLineEdit *Text1;
    QComboBox *Combo1;
    MSComm MSComm1;

    // State of the window
    QString currentReading;
    bool stopRecord = false;
    std::unique_ptr<SpreadsheetApp> excelApp;

    // Operations on the counter link
    void ReopenPort();
    void SendCommand(const QByteArray &command);
    void RequestReading();
    void Delay(qint32 seconds);

    // Handlers. Each runs through handle(): a failure shows its message and
    // ends only that handler; nothing runs once the program is ending.
    void Form_Load();
    void Command1_Click();   // CLEAR
    void Command2_Click();   // Data
    void Command3_Click();   // EXIT
    void Command4_Click();   // Data to Excel
    void Command5_Click();   // Stop Record
    void Text1_Change();
    // Port buttons "1" to "6"
    void Option20_Click();
    void Option21_Click();
    void Option22_Click();
    void Option23_Click();
    void Option24_Click();
    void Option25_Click();
    // Model
    void Option15_Click();
    void Option16_Click();
    // Function
    void Option4_Click();
    void Option5_Click();
    void Option6_Click();
    void Option7_Click();
    void Option8_Click();
    void Option17_Click();
    void Option18_Click();
    void Option19_Click();
    // Hold, remote, gate time
    void Option1_Click();
    void Option2_Click();
    void Option9_Click();
    void Option10_Click();
    void Option11_Click();
    void Option12_Click();
    void Option13_Click();
    void Option14_Click();

    // The control of the layout table with that name.
    QWidget *control(const QString &name) const { return m_controls.value(name); }
    // The selected position of the interval list; -1 once text was typed.
    int intervalPosition() const;
    ProgramLife &life() { return m_life; }
    CounterLink &link() { return m_link; }

signals:
    // A recording has started writing into a new workbook / has ended.
    void recordingStarted();
    void recordingEnded();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void connectHandlers();
    template <typename Handler> void handle(Handler &&handler);
    void report(int number, const QString &text);
    void onLineLost();
    // Handler bodies shared by a group of buttons.
    void selectPort(int portNumber);
    void chooseModel(QRadioButton *model);
    void sendSetting(const QByteArray &command, QRadioButton *chosen, std::initializer_list<QRadioButton *> group);
    void restoreSelection(std::initializer_list<QRadioButton *> group);
    std::unique_ptr<SpreadsheetApp> startSpreadsheet();
    void record();

    Form1Dependencies m_deps;
    std::unique_ptr<WallClock> m_ownClock;
    ProgramLife m_life;
    CounterLink m_link;
    QHash<QString, QWidget *> m_controls;
    bool m_intervalTyped = false;
    // The button of a group that was selected before the click being handled.
    QRadioButton *m_selectedBeforeClick = nullptr;
};

// Style and fonts the window's fixed geometry was drawn for.
void applyAppearance();

} // namespace tallyo
