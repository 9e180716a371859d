#include "form1.h"

#include "layout.h"
#include "sheetworkers.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

namespace tallyo {

namespace {

QRect pixelRect(const ControlRecord &r)
{
    return QRect(twipsToPixels(r.left), twipsToPixels(r.top), twipsToPixels(r.width), twipsToPixels(r.height));
}

// An option button takes a click anywhere in its rectangle, as the classic
// control does, not only on its mark and caption: "Ratio" and "TI" sit in
// rectangles twice as wide as their captions.
class OptionButton : public QRadioButton {
public:
    using QRadioButton::QRadioButton;

protected:
    bool hitButton(const QPoint &pos) const override { return rect().contains(pos); }

    // Every option button is a Tab stop of its own, selected or not. Qt makes
    // an exclusive group one Tab stop: once any of its buttons has had the
    // focus, the others leave the Tab order (arrow keys only). The window's
    // Tab order lists each button, with the Hold buttons between other
    // controls, so a button that gets the focus puts its frame's buttons back.
    void focusInEvent(QFocusEvent *event) override
    {
        QRadioButton::focusInEvent(event);
        for (QObject *sibling : parentWidget()->children()) {
            if (auto *button = qobject_cast<QRadioButton *>(sibling))
                button->setFocusPolicy(Qt::FocusPolicy(button->focusPolicy() | Qt::TabFocus));
        }
    }
};
} // namespace

Form1::Form1(Form1Dependencies dependencies, QWidget *parent)
    : QWidget(parent),
      m_deps(std::move(dependencies)),
      m_ownClock(m_deps.clock ? nullptr : std::make_unique<WallClock>()),
      m_life(m_deps.quit ? m_deps.quit : [] { QCoreApplication::exit(0); }),
      m_link(m_deps.portMap ? m_deps.portMap : systemPortMap(), m_deps.clock ? *m_deps.clock : *m_ownClock, m_life),
      m_recorder(
          m_link, m_deps.spreadsheetFactory, [this] { return m_intervals->position(); }, m_life, m_deps.recorder),
      m_windowGone([this] { return quintptr(internalWinId()); },
                   // Not from inside the native event's delivery: the end may
                   // wait in the event loop for the reply on its way.
                   [this] { QMetaObject::invokeMethod(this, &Form1::endWithoutSending, Qt::QueuedConnection); })
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(kWindowCaption));
    buildControls();
    connectHandlers();
    resize(twipsToPixels(kClientWidthTwips), twipsToPixels(kClientHeightTwips));
    // The link reports a lost line once; the window shows it.
    connect(&m_link, &CounterLink::lineLost, this, &Form1::report);
    // A reply that keeps the user waiting shows the busy pointer (the window
    // stays usable); a reply at the line's pace never does. A silent counter
    // is named in the display box, with what to check, until it answers.
    connect(&m_link, &CounterLink::slowReply, this, [this](bool slow) { showBusy(slow, m_replyOverdue); });
    connect(&m_link, &CounterLink::replyOverdue, this, [this](bool overdue) {
        showBusy(m_slowReply, overdue);
        if (overdue)
            m_display->showNoReply(m_link.portNumber(), m_link.portLabel());
        else
            m_display->endNoReply();
    });
    connect(&m_recorder, &Recorder::started, this, &Form1::recordingStarted);
    // Its application's module is loaded and running now.
    connect(&m_recorder, &Recorder::started, this, &AbruptExit::runBeforeLaterLoads);
    QCoreApplication::instance()->installNativeEventFilter(&m_windowGone);
}

Form1::~Form1()
{
    if (m_busyPointer)
        QApplication::restoreOverrideCursor();
}

void Form1::showBusy(bool slow, bool overdue)
{
    m_slowReply = slow;
    m_replyOverdue = overdue;
    const bool busy = slow || overdue;
    if (busy == m_busyPointer)
        return;
    m_busyPointer = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QApplication::restoreOverrideCursor();
}

void Form1::buildControls()
{
    for (const ControlRecord &r : controlTable()) {
        QWidget *parent = *r.container ? control(r.container) : this;
        QWidget *w = nullptr;
        switch (r.kind) {
        case ControlKind::Frame: {
            auto *frame = new QGroupBox(r.caption, parent);
            frame->setFocusPolicy(Qt::NoFocus);
            // The caption sits on the frame's top line, as on a classic dialog
            // frame, so the buttons' fixed positions fall inside the box.
            frame->setStyleSheet(
                QStringLiteral("QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
                               "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
                               " left: 6px; top: 0px; padding: 0px 2px; }"
                               // A 13 px mark, as on a classic dialog: the port buttons are
                               // 13 px high, and "1" to "4" fit beside it in their 25 px.
                               "QRadioButton::indicator { width: 13px; height: 13px; }"));
            w = frame;
            break;
        }
        case ControlKind::Option:
            w = new OptionButton(r.caption, parent);
            break;
        case ControlKind::Command: {
            auto *button = new QPushButton(r.caption, parent);
            button->setAutoDefault(false);
            button->setDefault(false);
            w = button;
            break;
        }
        case ControlKind::Label: {
            auto *label = new QLabel(r.caption, parent);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            w = label;
            break;
        }
        case ControlKind::TextBox: {
            auto *box = new QLineEdit(r.caption, parent);
            QFont font;
            font.setFamilies({QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans")});
            font.setPointSize(18);
            font.setWeight(QFont::Normal);
            box->setFont(font);
            QPalette palette = box->palette();
            palette.setColor(QPalette::Base, QColor(0, 0, 128));
            palette.setColor(QPalette::Text, Qt::white);
            box->setPalette(palette);
            w = box;
            break;
        }
        case ControlKind::ComboBox: {
            auto *combo = new QComboBox(parent);
            combo->setEditable(true);
            combo->setInsertPolicy(QComboBox::NoInsert);
            combo->setCompleter(nullptr);
            combo->setEditText(r.caption);
            w = combo;
            break;
        }
        }
        w->setObjectName(QString::fromLatin1(r.name));
        w->setGeometry(pixelRect(r));
        if (!r.toolTip.isEmpty())
            w->setToolTip(r.toolTip);
        if (!r.accessibleName.isEmpty())
            w->setAccessibleName(r.accessibleName);
        if (!r.accessibleDescription.isEmpty())
            w->setAccessibleDescription(r.accessibleDescription);
    }

    auto option = [this](const char *name) { return static_cast<QRadioButton *>(control(name)); };
    auto frame = [this](const char *name) { return static_cast<QGroupBox *>(control(name)); };
    auto command = [this](const char *name) { return static_cast<QPushButton *>(control(name)); };
    auto label = [this](const char *name) { return static_cast<QLabel *>(control(name)); };
    Form1Controls &c = m_controls;
    c.Frame1 = frame("Frame1"), c.Frame2 = frame("Frame2"), c.Frame3 = frame("Frame3");
    c.Frame4 = frame("Frame4"), c.Frame5 = frame("Frame5"), c.Frame6 = frame("Frame6");
    c.Option1 = option("Option1"), c.Option2 = option("Option2"), c.Option3 = option("Option3");
    c.Option4 = option("Option4"), c.Option5 = option("Option5"), c.Option6 = option("Option6");
    c.Option7 = option("Option7"), c.Option8 = option("Option8"), c.Option9 = option("Option9");
    c.Option10 = option("Option10"), c.Option11 = option("Option11"), c.Option12 = option("Option12");
    c.Option13 = option("Option13"), c.Option14 = option("Option14"), c.Option15 = option("Option15");
    c.Option16 = option("Option16"), c.Option17 = option("Option17"), c.Option18 = option("Option18");
    c.Option19 = option("Option19"), c.Option20 = option("Option20"), c.Option21 = option("Option21");
    c.Option22 = option("Option22"), c.Option23 = option("Option23"), c.Option24 = option("Option24");
    c.Option25 = option("Option25");
    c.Command1 = command("Command1"), c.Command2 = command("Command2"), c.Command3 = command("Command3");
    c.Command4 = command("Command4"), c.Command5 = command("Command5");
    c.Label1 = label("Label1"), c.Label2 = label("Label2"), c.Label4 = label("Label4");
    c.Text1 = static_cast<QLineEdit *>(control("Text1"));
    c.Combo1 = static_cast<QComboBox *>(control("Combo1"));
    // The interval list's caption is the label above it: a screen reader
    // relates the two (the label has no mnemonic, so focus is unchanged).
    c.Label1->setBuddy(c.Combo1);

    const auto &order = focusOrder();
    for (size_t i = 0; i + 1 < order.size(); ++i)
        QWidget::setTabOrder(control(order[i]), control(order[i + 1]));
    c.Option1->setFocus();
}

QWidget *Form1::control(const char *name) const
{
    return findChild<QWidget *>(QLatin1String(name));
}

void Form1::connectHandlers()
{
    auto onClick = [this](QAbstractButton *button, void (Form1::*handler)()) {
        connect(button, &QAbstractButton::clicked, this,
                [this, handler] { handle([this, handler] { (this->*handler)(); }); });
    };
    const Form1Controls &c = m_controls;
    onClick(c.Command1, &Form1::Command1_Click);
    onClick(c.Command2, &Form1::Command2_Click);
    onClick(c.Command3, &Form1::Command3_Click);
    onClick(c.Command4, &Form1::Command4_Click);
    onClick(c.Command5, &Form1::Command5_Click);
    new OptionPanel(
        optionGroups(), [this](const char *name) { return static_cast<QRadioButton *>(control(name)); }, m_link,
        [this](const std::function<void()> &work) { handle(work); }, this);
    m_display = std::make_unique<ReadingDisplay>(c.Text1);
    connect(c.Text1, &QLineEdit::textChanged, this, [this] { handle([this] { Text1_Change(); }); });
    m_intervals = new IntervalList(c.Combo1, this);
}

template <typename Handler> void Form1::handle(Handler &&handler)
{
    // Once the program was asked to end, no handler starts.
    if (m_life.endAsked())
        return;
    try {
        handler();
    } catch (const ProgramEnding &) {
        // The program is ending: stop here, do nothing more.
    } catch (const ExchangeAbandoned &) {
        // Another handler closed the port under this one and said why.
    } catch (const LineLost &) {
        // The link has reported the loss.
    } catch (const SerialError &e) {
        report(e.number, e.text);
    } catch (const SpreadsheetError &e) {
        report(e.number, QString::fromStdString(e.what()));
    } catch (const std::exception &e) {
        report(0, QString::fromLocal8Bit(e.what()));
    }
}

void Form1::report(int number, const QString &text)
{
    if (m_life.ending())
        return;
    QString message = errorMessage(number, text);
    // A failure that closed the port under a recording ends that recording.
    if (m_recorder.running() > 0 && !m_link.portOpen())
        message += QStringLiteral(" The recording has ended.");
    if (m_deps.showMessage)
        m_deps.showMessage(message);
    else
        QMessageBox::critical(this, QString::fromLatin1(kWindowCaption), message);
}

void Form1::Form_Load()
{
    handle([this] {
        m_link.prepareLine();
        m_intervals->fill();
    });
}

void Form1::Command1_Click()
{
    m_display->clear();
}

void Form1::Command2_Click()
{
    m_link.ReopenPort();
    m_link.RequestReading();
    m_display->show(m_link.currentReading());
}

void Form1::Command4_Click()
{
    m_recorder.record();
}

void Form1::Command5_Click()
{
    m_recorder.stop();
}

void Form1::Text1_Change()
{
    m_display->followChange();
}

void Form1::Command3_Click()
{
    // Nothing new is asked for from here on.
    m_life.askedToEnd();
    try {
        m_link.switchRemoteOffAndClose();
    } catch (const SerialError &e) {
        // The user asked to leave: say what failed, then leave all the same.
        report(e.number, e.text);
    }
    m_life.end();
    close();
}

std::chrono::steady_clock::time_point Form1::endDeadline()
{
    m_life.askedToEnd();
    return m_life.deadline();
}

void Form1::followEndRequests(EndSignals &requests)
{
    connect(&requests, &EndSignals::endRequested, this, [this] { close(); });
}

void Form1::closeEvent(QCloseEvent *event)
{
    endWithoutSending();
    event->accept();
}

void Form1::endWithoutSending()
{
    if (m_life.ending())
        return;
    m_life.askedToEnd();
    m_link.closeForEnd();
    m_life.end();
}

void Form1::endAbruptly()
{
    m_life.askedToEnd();
    m_recorder.saveBeforeExit();
    m_link.closeAtOnce();
    // A worker still held in a call by the end of the budget is not waited for.
    endSheetWorkers(m_life.deadline(), ProgramLife::kDisplayLostExitCode);
}

} // namespace tallyo
