// The window's option buttons from click to byte: port choice, model,
// function, gate time, hold and remote. What each puts on which line, how each
// group shows its selection, and what a failure leaves behind.
#include "layout.h"
#include "rig.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSerialPort>
#include <QTest>

using namespace tallyo;
using namespace tallyo::test;
using namespace std::chrono_literals;

namespace {
constexpr int kTimeout = 10000;
// A command the counter ignores, sent behind everything else to find the end of the line.
const QByteArray kProbe = "Z9\r";

QRadioButton *option(Form1 &form, const QString &name)
{
    return qobject_cast<QRadioButton *>(control(form, name));
}

QString portButton(int port)
{
    return portButtonName(port);
}

// The selected buttons of the group holding `member` (inside = true) or of
// every other group (inside = false), in layout order.
QStringList selected(Form1 &form, const QString &member, bool inside = true)
{
    const QWidget *frame = control(form, member)->parentWidget();
    QStringList names;
    for (const OptionGroup &group : optionGroups())
        for (const OptionMember &member : group.members)
            if (QRadioButton *b = option(form, QLatin1String(member.button));
                (b->parentWidget() == frame) == inside && b->isChecked())
                names << b->objectName();
    return names;
}

QStringList enabledFunctions(Form1 &form)
{
    QStringList names;
    for (QRadioButton *b :
         {form.controls().Option4, form.controls().Option5, form.controls().Option6, form.controls().Option7,
          form.controls().Option8, form.controls().Option17, form.controls().Option18, form.controls().Option19})
        if (b->isEnabled())
            names << b->objectName();
    return names;
}
const QStringList kQf63Functions{"Option4", "Option5", "Option6", "Option7", "Option8"};
const QStringList kQf27Functions{"Option4", "Option5", "Option6", "Option7", "Option17", "Option18", "Option19"};

// What counter `port` received since the last call. A probe goes out behind
// everything else (through the window's port if it is open on that counter,
// else through a port of the test's own) and the line is read up to it.
QByteArray takeLine(Rig &rig, int port)
{
    Form1 &form = rig.form();
    sim::CounterSim &counter = rig.counter(port);
    if (serialControl(form).portOpen() && serialControl(form).commPort() == port) {
        serialControl(form).setOutput(kProbe);
    } else {
        QSerialPort own(rig.devices[port - 1]);
        if (!own.open(QIODevice::ReadWrite))
            return "<cannot probe: " + own.errorString().toUtf8() + ">";
        own.write(kProbe);
        while (own.bytesToWrite() > 0 && own.waitForBytesWritten(kTimeout)) {}
    }
    const std::string probe = kProbe.toStdString();
    const bool arrived = QTest::qWaitFor(
        [&] {
            const std::string line = counter.received();
            return line.size() >= probe.size() && line.compare(line.size() - probe.size(), probe.size(), probe) == 0;
        },
        kTimeout);
    const QByteArray line = QByteArray::fromStdString(counter.received());
    if (!arrived)
        return "<probe lost> " + line;
    counter.clearReceived();
    return line.chopped(probe.size());
}

// The commands counter `port` recorded, joined by '|'.
QByteArray commands(Rig &rig, int port)
{
    QByteArrayList all;
    for (const std::string &command : rig.commands(port))
        all << QByteArray::fromStdString(command);
    return all.join('|');
}
} // namespace

class TestPanel : public QObject {
    Q_OBJECT
private slots:
    void settingGoesOutAfterAReopen_data();
    void settingGoesOutAfterAReopen();
    void toggleSendsNothingAndLeavesThePortAsItWas();
    void modelDecidesWhichFunctionsCanBeChosen();
    void portChoiceReopensOnlyAnOpenPort();
    void portThatCannotBeOpened_data();
    void portThatCannotBeOpened();
    void settingThatCannotBeSentLeavesTheMarks_data();
    void settingThatCannotBeSentLeavesTheMarks();
    void settingsAndReadingsFollowTheChosenCounter();
    void portChoiceInsideAWaitMovesTheWaitingHandler();
    void settingInsideAReplyWaitReachesTheCounter();
    void portChoiceInsideAPauseMovesTheRecording();
    void keysSelectAsAClickDoes();
};

void TestPanel::settingGoesOutAfterAReopen_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QString>("previous");
    QTest::addColumn<QByteArray>("previousCommand");
    QTest::newRow("A") << "Option4" << QByteArray("F0\r") << "Option7" << QByteArray("F4\r");
    QTest::newRow("B") << "Option17" << QByteArray("F1\r") << "Option4" << QByteArray("F0\r");
    QTest::newRow("C") << "Option5" << QByteArray("F2\r") << "Option19" << QByteArray("F7\r");
    QTest::newRow("period") << "Option6" << QByteArray("F3\r") << "Option4" << QByteArray("F0\r");
    QTest::newRow("total") << "Option7" << QByteArray("F4\r") << "Option8" << QByteArray("F5\r");
    QTest::newRow("RPM") << "Option8" << QByteArray("F5\r") << "Option4" << QByteArray("F0\r");
    QTest::newRow("ratio") << "Option18" << QByteArray("F6\r") << "Option17" << QByteArray("F1\r");
    QTest::newRow("TI") << "Option19" << QByteArray("F7\r") << "Option4" << QByteArray("F0\r");
    QTest::newRow("0.01 s") << "Option11" << QByteArray("G0\r") << "Option13" << QByteArray("G2\r");
    QTest::newRow("0.1 s") << "Option12" << QByteArray("G1\r") << "Option14" << QByteArray("G3\r");
    QTest::newRow("1 s") << "Option13" << QByteArray("G2\r") << "Option11" << QByteArray("G0\r");
    QTest::newRow("10 s") << "Option14" << QByteArray("G3\r") << "Option12" << QByteArray("G1\r");
    QTest::newRow("hold off after toggle") << "Option1" << QByteArray("H0\r") << "Option3" << QByteArray();
    QTest::newRow("hold on after toggle") << "Option2" << QByteArray("H1\r") << "Option3" << QByteArray();
    QTest::newRow("hold on") << "Option2" << QByteArray("H1\r") << "Option1" << QByteArray("H0\r");
    QTest::newRow("remote on") << "Option9" << QByteArray("R1\r") << "Option10" << QByteArray("R0\r");
    QTest::newRow("remote off") << "Option10" << QByteArray("R0\r") << "Option9" << QByteArray("R1\r");
}

void TestPanel::settingGoesOutAfterAReopen()
{
    QFETCH(QString, button);
    QFETCH(QByteArray, command);
    QFETCH(QString, previous);
    QFETCH(QByteArray, previousCommand);
    Rig rig;
    Form1 &form = rig.form();
    // Every other group shows a selection of its own, which no click here may move.
    for (const OptionGroup &group : optionGroups())
        if (QRadioButton *first = option(form, QLatin1String(group.members.front().button));
            first->parentWidget() != option(form, button)->parentWidget())
            first->setChecked(true);
    const QStringList others = selected(form, button, false);

    rig.click(option(form, previous));
    QCOMPARE(takeLine(rig, 1), previousCommand);
    const bool wasOpen = serialControl(form).portOpen();
    const quint64 generation = serialControl(form).generation();
    serialControl(form).setSettings(QStringLiteral("4800,N,8,1"));

    rig.click(option(form, button));
    QCOMPARE(takeLine(rig, 1), command);
    // Closed (if open) and opened afresh at 9600,N,8,1.
    QVERIFY(serialControl(form).portOpen());
    QCOMPARE(serialControl(form).generation(), generation + (wasOpen ? 2 : 1));
    QCOMPARE(serialControl(form).settings(), QStringLiteral("9600,N,8,1"));
    QCOMPARE(selected(form, button), QStringList{button});
    QCOMPARE(selected(form, button, false), others);

    // Back again: the first setting goes out once more.
    rig.click(option(form, previous));
    QCOMPARE(takeLine(rig, 1), previousCommand);
    QCOMPARE(selected(form, button), QStringList{previous});
    QCOMPARE(selected(form, button, false), others);
    QVERIFY(rig.messages.isEmpty());
}

void TestPanel::toggleSendsNothingAndLeavesThePortAsItWas()
{
    Rig rig;
    Form1 &form = rig.form();
    for (bool open : {false, true}) {
        if (open)
            rig.click(form.controls().Option2);
        QCOMPARE(takeLine(rig, 1), QByteArray(open ? "H1\r" : ""));
        const quint64 generation = serialControl(form).generation();
        rig.click(form.controls().Option3);
        QCOMPARE(serialControl(form).portOpen(), open);
        QCOMPARE(serialControl(form).generation(), generation);
        QCOMPARE(selected(form, QStringLiteral("Option3")), QStringList{"Option3"});
        QCOMPARE(takeLine(rig, 1), QByteArray());
    }
    QVERIFY(rig.messages.isEmpty());
}

void TestPanel::modelDecidesWhichFunctionsCanBeChosen()
{
    Rig rig(2);
    Form1 &form = rig.form();
    // Port closed: the model opens it on the number chosen, and sends nothing.
    rig.clickPort(2);
    quint64 generation = serialControl(form).generation();
    rig.click(form.controls().Option15);
    QVERIFY(serialControl(form).portOpen());
    QCOMPARE(serialControl(form).device(), rig.devices[1]);
    QCOMPARE(serialControl(form).generation(), generation + 1);
    QCOMPARE(selected(form, QStringLiteral("Option15")), QStringList{"Option15"});
    QCOMPARE(enabledFunctions(form), kQf63Functions);
    QCOMPARE(takeLine(rig, 2), QByteArray());

    // Port open: closed and opened again, still nothing on the line.
    generation = serialControl(form).generation();
    rig.click(form.controls().Option16);
    QVERIFY(serialControl(form).portOpen());
    QCOMPARE(serialControl(form).generation(), generation + 2);
    QCOMPARE(selected(form, QStringLiteral("Option15")), QStringList{"Option16"});
    QCOMPARE(enabledFunctions(form), kQf27Functions);
    QCOMPARE(takeLine(rig, 2), QByteArray());

    // A selected function the new model lacks stays selected, disabled, and
    // the counter is told nothing.
    rig.click(form.controls().Option18);
    QCOMPARE(takeLine(rig, 2), QByteArray("F6\r"));
    rig.click(form.controls().Option15);
    QCOMPARE(enabledFunctions(form), kQf63Functions);
    QCOMPARE(selected(form, QStringLiteral("Option4")), QStringList{"Option18"});
    rig.click(form.controls().Option8);
    rig.click(form.controls().Option16);
    QCOMPARE(enabledFunctions(form), kQf27Functions);
    QCOMPARE(selected(form, QStringLiteral("Option4")), QStringList{"Option8"});
    rig.click(form.controls().Option8); // disabled: no click
    QCOMPARE(takeLine(rig, 2), QByteArray("F5\r"));
    QCOMPARE(takeLine(rig, 1), QByteArray());
    QVERIFY(rig.messages.isEmpty());
}

void TestPanel::portChoiceReopensOnlyAnOpenPort()
{
    Rig rig(2);
    Form1 &form = rig.form();
    // Closed: only the number changes, whether or not anything is behind it.
    const quint64 generation = serialControl(form).generation();
    for (int port : {3, 6, 1, 5, 4, 2}) {
        rig.clickPort(port);
        QCOMPARE(serialControl(form).commPort(), port);
        QVERIFY(!serialControl(form).portOpen());
        QCOMPARE(serialControl(form).generation(), generation);
        QCOMPARE(selected(form, portButton(1)), QStringList{portButton(port)});
    }
    QCOMPARE(takeLine(rig, 1), QByteArray());
    QCOMPARE(takeLine(rig, 2), QByteArray());
    rig.click(form.controls().Option10);
    QCOMPARE(takeLine(rig, 2), QByteArray("R0\r"));

    // Open: closed and opened again on the number, also the same one, with
    // the settings the port has; the choice writes none and sends nothing.
    serialControl(form).setSettings(QStringLiteral("4800,N,8,1"));
    for (int port : {2, 1, 1}) {
        const quint64 before = serialControl(form).generation();
        rig.clickPort(port);
        QVERIFY(serialControl(form).portOpen());
        QCOMPARE(serialControl(form).device(), rig.devices[port - 1]);
        QCOMPARE(serialControl(form).generation(), before + 2);
        QCOMPARE(serialControl(form).settings(), QStringLiteral("4800,N,8,1"));
        QCOMPARE(selected(form, portButton(1)), QStringList{portButton(port)});
        QCOMPARE(selected(form, portButton(1), false), QStringList{"Option10"});
    }
    QCOMPARE(takeLine(rig, 1), QByteArray());
    QCOMPARE(takeLine(rig, 2), QByteArray());
    QVERIFY(rig.messages.isEmpty());
}

void TestPanel::portThatCannotBeOpened_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("held");
    QTest::addColumn<QString>("message");
    QTest::newRow("nothing behind the number") << 3 << false << "Error 1: Port 3";
    QTest::newRow("another program holds it") << 2 << true << "Error 14: Port 2 (";
}

void TestPanel::portThatCannotBeOpened()
{
    QFETCH(int, port);
    QFETCH(bool, held);
    QFETCH(QString, message);
    Rig rig(2);
    Form1 &form = rig.form();
    rig.click(form.controls().Option13);
    QCOMPARE(takeLine(rig, 1), QByteArray("G2\r"));
    QSerialPort other(rig.devices[1]);
    if (held)
        QVERIFY(other.open(QIODevice::ReadWrite));

    rig.clickPort(port);
    QCOMPARE(rig.messages.size(), 1);
    QVERIFY2(rig.messages[0].startsWith(message), qPrintable(rig.messages[0]));
    QVERIFY(!serialControl(form).portOpen());
    QCOMPARE(serialControl(form).commPort(), port);
    QCOMPARE(selected(form, portButton(1)), QStringList{portButton(port)});
    QCOMPARE(rig.quits, 0);
    QVERIFY(form.isVisible());
    other.close();

    // The window lives on: back on port 1 the next setting goes out.
    rig.clickPort(1);
    rig.click(form.controls().Option14);
    QCOMPARE(takeLine(rig, 1), QByteArray("G3\r"));
    QCOMPARE(takeLine(rig, 2), QByteArray());
    QCOMPARE(rig.messages.size(), 1);
}

void TestPanel::settingThatCannotBeSentLeavesTheMarks_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<bool>("held"); // else: nothing behind the number
    QTest::newRow("function, none before") << ""
                                           << "Option6" << QByteArray("F3\r") << true;
    QTest::newRow("function") << "Option5"
                              << "Option6" << QByteArray("F3\r") << false;
    QTest::newRow("gate") << "Option12"
                          << "Option14" << QByteArray("G3\r") << true;
    QTest::newRow("hold, toggle before") << "Option3"
                                         << "Option2" << QByteArray("H1\r") << false;
    QTest::newRow("hold") << "Option2"
                          << "Option1" << QByteArray("H0\r") << true;
    QTest::newRow("remote") << "Option9"
                            << "Option10" << QByteArray("R0\r") << false;
    QTest::newRow("model, none before") << ""
                                        << "Option16" << QByteArray() << false;
    QTest::newRow("model") << "Option16"
                           << "Option15" << QByteArray() << true;
}

void TestPanel::settingThatCannotBeSentLeavesTheMarks()
{
    QFETCH(QString, before);
    QFETCH(QString, button);
    QFETCH(QByteArray, command);
    QFETCH(bool, held);
    Rig rig;
    Form1 &form = rig.form();
    if (!before.isEmpty())
        rig.click(option(form, before));
    takeLine(rig, 1);
    const QStringList marks = selected(form, button);
    const QStringList enabled = enabledFunctions(form);

    serialControl(form).setPortOpen(false);
    QSerialPort other(rig.devices[0]);
    if (held)
        QVERIFY(other.open(QIODevice::ReadWrite));
    else
        rig.clickPort(2); // nothing behind it
    const QStringList others = selected(form, button, false);
    rig.click(option(form, button));
    QCOMPARE(rig.messages.size(), 1);
    const QString message = held ? QStringLiteral("Error 14: Port 1 (") : QStringLiteral("Error 1: Port 2");
    QVERIFY2(rig.messages[0].startsWith(message), qPrintable(rig.messages[0]));
    QVERIFY(!serialControl(form).portOpen());
    QCOMPARE(selected(form, button), marks);
    QCOMPARE(selected(form, button, false), others);
    QCOMPARE(enabledFunctions(form), enabled);
    QCOMPARE(rig.quits, 0);

    // Once the port can be had, the same click goes through.
    other.close();
    if (!held)
        rig.clickPort(1);
    QCOMPARE(takeLine(rig, 1), QByteArray());
    rig.click(option(form, button));
    QCOMPARE(selected(form, button), QStringList{button});
    QCOMPARE(takeLine(rig, 1), command);
    QCOMPARE(rig.messages.size(), 1);
}

void TestPanel::settingsAndReadingsFollowTheChosenCounter()
{
    Rig rig(2);
    Form1 &form = rig.form();
    rig.counter(1).setCustomReply("   1.1111111 MHz\r");
    rig.counter(2).setCustomReply("   2.2222222 MHz\r");
    rig.click(form.controls().Option12);
    rig.click(form.controls().Option5);
    rig.click(form.controls().Command2);
    QCOMPARE(form.controls().Text1->text(), QStringLiteral("1.1111111 MHz\r"));
    QCOMPARE(takeLine(rig, 1), QByteArray("G1\rF2\rD1"));

    rig.clickPort(2);
    rig.click(form.controls().Option14);
    rig.click(form.controls().Option7);
    rig.click(form.controls().Command2);
    QCOMPARE(form.controls().Text1->text(), QStringLiteral("2.2222222 MHz\r"));
    QCOMPARE(takeLine(rig, 2), QByteArray("G3\rF4\rD1"));
    QCOMPARE(takeLine(rig, 1), QByteArray());
    QCOMPARE(rig.counter(1).gate(), 1);
    QCOMPARE(rig.counter(2).gate(), 3);

    // And back, without restarting.
    rig.clickPort(1);
    rig.click(form.controls().Option2);
    QCOMPARE(takeLine(rig, 1), QByteArray("H1\r"));
    QCOMPARE(takeLine(rig, 2), QByteArray());
    QVERIFY(rig.counter(1).hold());
    QVERIFY(!rig.counter(2).hold());
    QVERIFY(rig.messages.isEmpty());
}

void TestPanel::portChoiceInsideAWaitMovesTheWaitingHandler()
{
    Rig rig(2);
    Form1 &form = rig.form();
    rig.counter(1).setCustomReply("   1.1111111 MHz\r");
    rig.counter(2).setCustomReply("   2.2222222 MHz\r");

    // "Data" waiting on a slow counter 1: choosing port 2 moves the exchange there.
    // Later than the bound on a reply: the choice does not wait for it.
    rig.counter(1).setReplyLatency(2500ms);
    bool chosen = false;
    whileWaiting([&] {
        QTRY_COMPARE_WITH_TIMEOUT(rig.counter(1).received(), std::string("D1"), kTimeout);
        rig.clickPort(2);
        chosen = true;
    });
    rig.click(form.controls().Command2);
    QVERIFY(chosen);
    QCOMPARE(form.controls().Text1->text(), QStringLiteral("2.2222222 MHz\r"));
    QCOMPARE(commands(rig, 1), QByteArray("D1"));
    QCOMPARE(commands(rig, 2), QByteArray("D1"));
    QCOMPARE(form.link().activeWaits(), 0);
    QVERIFY(rig.messages.isEmpty());

    // A number that cannot be opened ends the waiting handler with the one
    // message of the port choice.
    rig.counter(2).setReplyLatency(2500ms);
    rig.counter(2).clearReceived();
    whileWaiting([&] {
        QTRY_COMPARE_WITH_TIMEOUT(rig.counter(2).received(), std::string("D1"), kTimeout);
        rig.clickPort(4);
    });
    rig.click(form.controls().Command2);
    QCOMPARE(rig.messages.size(), 1);
    QVERIFY2(rig.messages[0].startsWith(QStringLiteral("Error 1: Port 4")), qPrintable(rig.messages[0]));
    QVERIFY(!serialControl(form).portOpen());
    QCOMPARE(form.link().activeWaits(), 0);
    QCOMPARE(form.controls().Text1->text(), QStringLiteral("2.2222222 MHz\r"));
}

void TestPanel::settingInsideAReplyWaitReachesTheCounter()
{
    Rig rig;
    Form1 &form = rig.form();
    rig.counter(1).setCustomReply("   1.0000000 MHz\r");
    // A reply within the bound lands first and is the reading; the setting
    // follows it, and nothing is asked again.
    rig.counter(1).setReplyLatency(300ms);
    whileWaiting([&] { rig.click(form.controls().Option14); });
    rig.click(form.controls().Command2);
    QCOMPARE(form.controls().Text1->text(), QStringLiteral("1.0000000 MHz\r"));
    QCOMPARE(takeLine(rig, 1), QByteArray("D1G3\r"));

    // At a 0.01 s gate a reply 1.5 s late is past the bound (260 ms): the
    // setting goes out once the bound has passed, before the reply, and the
    // reading is asked again.
    rig.click(form.controls().Option11);
    const auto bound = form.link().replyBound();
    constexpr auto lateReply = 1500ms;
    rig.counter(1).setReplyLatency(lateReply);
    QCOMPARE(takeLine(rig, 1), QByteArray("G0\r"));
    whileWaiting([&] { rig.click(form.controls().Option12); });
    rig.click(form.controls().Command2);
    QTRY_COMPARE(rig.counter(1).received(), std::string("D1G1\rD1"));
    const auto bytes = rig.counter(1).receivedBytes();
    const auto settingAfter =
        std::chrono::duration_cast<std::chrono::milliseconds>(bytes[2].arrival - bytes[1].arrival);
    QVERIFY2(settingAfter >= bound / 2 && settingAfter < lateReply, qPrintable(QString::number(settingAfter.count())));
    QVERIFY(rig.messages.isEmpty());
}

void TestPanel::portChoiceInsideAPauseMovesTheRecording()
{
    Rig rig(2);
    Form1 &form = rig.form();
    rig.counter(1).setCustomReply("   1.1111111 MHz\r");
    rig.counter(2).setCustomReply("   2.2222222 MHz\r");
    form.controls().Combo1->setCurrentIndex(1); // 2 seconds between readings
    bool switched = false;
    ClockDriver driver(rig.clock, 100);
    driver.onTick = [&](int) {
        const size_t rows = rig.sheets.formulas().size();
        if (rows == 1 && !switched) { // inside the pause after the first reading
            switched = true;
            rig.clickPort(2);
            rig.click(form.controls().Option14);
            // A real pause lasts seconds: long enough for the setting to leave.
            QTRY_COMPARE_WITH_TIMEOUT(rig.counter(2).received(), std::string("G3\r"), kTimeout);
        } else if (rows == 2 && !form.recorder().stopRecord()) {
            rig.click(form.controls().Command5);
        }
    };
    rig.click(form.controls().Command4);
    const auto rows = rig.sheets.formulas();
    QCOMPARE(rows.size(), size_t(2));
    QCOMPARE(QByteArray::fromStdString(rows[0].text), QByteArray("1.1111111 MHz\r"));
    QCOMPARE(QByteArray::fromStdString(rows[1].text), QByteArray("2.2222222 MHz\r"));
    QCOMPARE(commands(rig, 1), QByteArray("D1"));
    QCOMPARE(commands(rig, 2), QByteArray("G3\r|D1"));
    QVERIFY(rig.messages.isEmpty());
}

void TestPanel::keysSelectAsAClickDoes()
{
    Rig rig(2);
    Form1 &form = rig.form();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));
    auto press = [](QWidget *focus, Qt::Key key) {
        focus->setFocus();
        QTest::keyClick(QApplication::focusWidget(), key);
    };
    // Off a button that is not selected, an arrow may only move the focus;
    // if it selected anything, that must have gone out.
    press(form.controls().Option11, Qt::Key_Down);
    QCOMPARE(takeLine(rig, 1), QByteArray(form.controls().Option12->isChecked() ? "G1\r" : ""));

    const struct {
        QRadioButton *focus;
        Qt::Key key;
        QRadioButton *selected;
        const char *command;
    } steps[] = {
        {form.controls().Option11, Qt::Key_Space, form.controls().Option11, "G0\r"},
        {form.controls().Option11, Qt::Key_Down, form.controls().Option12, "G1\r"},
        {form.controls().Option12, Qt::Key_Right, form.controls().Option14, "G3\r"},
        {form.controls().Option14, Qt::Key_Up, form.controls().Option13, "G2\r"},
        {form.controls().Option3, Qt::Key_Space, form.controls().Option3, ""},
        {form.controls().Option3, Qt::Key_Up, form.controls().Option2, "H1\r"},
        {form.controls().Option4, Qt::Key_Space, form.controls().Option4, "F0\r"},
        {form.controls().Option4, Qt::Key_Right, form.controls().Option17, "F1\r"},
    };
    for (const auto &step : steps) {
        press(step.focus, step.key);
        QCOMPARE(QApplication::focusWidget(), step.selected);
        QCOMPARE(selected(form, step.selected->objectName()), QStringList{step.selected->objectName()});
        QCOMPARE(takeLine(rig, 1), QByteArray(step.command));
    }
    QCOMPARE(selected(form, portButton(1), false), (QStringList{"Option17", "Option2", "Option13"}));

    // Port and model by key; a function the model lacks cannot be reached.
    press(form.controls().Option20, Qt::Key_Space);
    press(form.controls().Option20, Qt::Key_Right);
    QCOMPARE(serialControl(form).commPort(), 2);
    QCOMPARE(serialControl(form).device(), rig.devices[1]);
    QCOMPARE(selected(form, portButton(1)), QStringList{portButton(2)});
    press(form.controls().Option16, Qt::Key_Space);
    press(form.controls().Option16, Qt::Key_Left);
    QCOMPARE(selected(form, QStringLiteral("Option15")), QStringList{"Option15"});
    QCOMPARE(enabledFunctions(form), kQf63Functions);
    press(form.controls().Option4, Qt::Key_Space);
    press(form.controls().Option4, Qt::Key_Right);
    QCOMPARE(selected(form, QStringLiteral("Option4")), QStringList{"Option4"});
    QCOMPARE(takeLine(rig, 2), QByteArray("F0\r"));
    QCOMPARE(takeLine(rig, 1), QByteArray());
    QVERIFY(rig.messages.isEmpty());
}

QTEST_MAIN(TestPanel)
#include "tst_panel.moc"
