// The counter link from button to byte: what goes on the line, how replies
// become readings, the waits and what may run inside them, EXIT, and every
// failure of the line.
#include "commands.h"
#include "modemshim.h"
#include "portlocks.h"
#include "rig.h"

#include <QAbstractEventDispatcher>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <array>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace tallyo;
using namespace tallyo::test;
using Reply = sim::CounterSim::Reply;
using namespace std::chrono_literals;

namespace {
constexpr int kTimeout = 10000;
} // namespace

class TestLink : public QObject {
    Q_OBJECT
private slots:
    void startUpPreparesTheLineAndOpensNothing();
    void settingGoesOutAsThreeBytes();
    void listedPortsAreKeptForAMoment();
    void readingRequestIsD1AloneOnAFreshBuffer();
    void replyOfFourteenCompletesAndThirteenDoesNot();
    void readingsKeepEverythingButOuterSpaces_data();
    void readingsKeepEverythingButOuterSpaces();
    void openingRaisesDtrAndLowersRts();
    void delayCountsWholeSecondsOfTheWallClock();
    void delayOfZeroOrLessReturnsWithoutProcessingEvents();
    void clicksRunInsideEachWait();
    void secondDataInsideTheReplyWaitLeavesNoWaitHanging();
    void slowReplyShowsTheBusyPointer();
    void exitSendsRemoteOffBeforeClosing();
    void exitEndsTheProgramFromInsideAWait();
    void askedToEndEndsAtTheDeadlineAtTheLatest();
    void closingTheWindowSendsNothing();
    void failuresShowAMessageAndTheWindowLivesOn();
    void portsOtherProgramsHoldAreNeverOpened();
    void lineLogShowsEachExchange();
    void hangUpDuringAWaitIsReportedOnce();
};

void TestLink::startUpPreparesTheLineAndOpensNothing()
{
    Rig rig;
    Form1 &form = rig.form();
    QCOMPARE(serialControl(form).rThreshold(), 1);
    QCOMPARE(serialControl(form).sThreshold(), 0);
    QVERIFY(serialControl(form).dtrEnable());
    QVERIFY(!serialControl(form).rtsEnable());
    QVERIFY(!serialControl(form).portOpen());
    QCOMPARE(serialControl(form).commPort(), 1);
    QVERIFY(form.link().currentReading().isEmpty());
    QVERIFY(!form.recorder().stopRecord());
    QVERIFY(!form.recorder().excelApp());
    QCOMPARE(form.controls().Combo1->currentText(), QStringLiteral("1 Minute"));
    QCoreApplication::processEvents();
    QVERIFY(rig.counter(1).received().empty());
}

void TestLink::settingGoesOutAsThreeBytes()
{
    Rig rig;
    Form1 &form = rig.form();
    form.link().ReopenPort();
    form.link().SendCommand(cmd::Gate1s);
    QVERIFY(rig.counter(1).waitForReceivedBytes(3, 5s));
    QCOMPARE(rig.counter(1).received(), std::string("G2\r"));
    QCOMPARE(serialControl(form).settings(), QStringLiteral("9600,N,8,1"));
    QVERIFY(serialControl(form).portOpen());
}

void TestLink::listedPortsAreKeptForAMoment()
{
    QStringList machine{QStringLiteral("/dev/ttyS0")};
    int listings = 0;
    auto list = [&] {
        ++listings;
        return machine;
    };
    {
        // Opening the port afresh for every click must not list the machine's
        // ports every time.
        PortMap map = listedPortMap(list, std::chrono::hours(1));
        QCOMPARE(map(1), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(map(1), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(listings, 1);
        // A number beyond the kept list looks again: an adapter just plugged in.
        machine << QStringLiteral("/dev/ttyUSB0");
        QCOMPARE(map(2), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(listings, 2);
        QCOMPARE(map(3), QString());
        QCOMPARE(map(0), QString());
    }
    {
        // Past its age the list is taken anew: an adapter unplugged.
        PortMap map = listedPortMap(list, std::chrono::milliseconds(0));
        machine.removeFirst();
        QCOMPARE(map(1), QStringLiteral("/dev/ttyUSB0"));
        machine.clear();
        QCOMPARE(map(1), QString());
    }
}

void TestLink::readingRequestIsD1AloneOnAFreshBuffer()
{
    Rig rig;
    Form1 &form = rig.form();
    // A long reply is taken whole, up to its CR: none of it may open the next
    // reading.
    rig.counter(1).setCustomReply("   1.0000000 MHz and then a long tail of text\r");
    rig.click(form.controls().Command2);
    QCOMPARE(form.link().currentReading(), QStringLiteral("1.0000000 MHz and then a long tail of text\r"));
    QVERIFY(rig.counter(1).waitForReceivedBytes(2, 5s));
    QCOMPARE(rig.counter(1).received(), std::string("D1"));

    rig.counter(1).setCustomReply("   2.0000000 MHz\r");
    rig.click(form.controls().Command2);
    QCOMPARE(form.link().currentReading(), QStringLiteral("2.0000000 MHz\r"));
    QCOMPARE(rig.counter(1).commands(), (std::vector<std::string>{"D1", "D1"}));
    QVERIFY(rig.messages.isEmpty());
}

void TestLink::replyOfFourteenCompletesAndThirteenDoesNot()
{
    Rig rig;
    Form1 &form = rig.form();
    rig.counter(1).setCustomReply("  12345.678 Hz"); // exactly 14, no CR: ends when the line goes quiet
    rig.click(form.controls().Command2);
    QCOMPARE(form.controls().Text1->text(), QStringLiteral("12345.678 Hz"));

    rig.counter(1).setReply(Reply::Short); // 13 characters, never more
    bool checked = false;
    whileWaiting([&] {
        QTRY_COMPARE_WITH_TIMEOUT(serialControl(form).inBufferCount(), 13, kTimeout);
        // The wait looks at the 13 characters once this returns; a wrong
        // completion would end the click before the next turn runs.
        whileWaiting([&] {
            QCOMPARE(form.link().activeWaits(), 1);
            QCOMPARE(form.controls().Text1->text(), QStringLiteral("12345.678 Hz"));
            checked = true;
            rig.click(form.controls().Command3); // the way out: EXIT
        });
    });
    rig.click(form.controls().Command2);
    QVERIFY(checked);
    QCOMPARE(form.controls().Text1->text(), QStringLiteral("12345.678 Hz"));
    QCOMPARE(rig.quits, 1);
}

void TestLink::readingsKeepEverythingButOuterSpaces_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("reading");
    QTest::newRow("leading spaces") << "     10.0000123 MHz"
                                    << "10.0000123 MHz";
    QTest::newRow("trailing CR stays") << "   10.0000123 MHz\r"
                                       << "10.0000123 MHz\r";
    QTest::newRow("spaces before CR stay") << "  1234.567 Hz   \r"
                                           << "1234.567 Hz   \r";
    QTest::newRow("trailing spaces") << "  1234.5678 Hz    "
                                     << "1234.5678 Hz";
    QTest::newRow("tab and LF stay") << "\t 1234.5678 Hz\r\n"
                                     << "\t 1234.5678 Hz\r\n";
    QTest::newRow("inner spaces stay") << "1 2 3 4 5 6 7 8 9"
                                       << "1 2 3 4 5 6 7 8 9";
}

void TestLink::readingsKeepEverythingButOuterSpaces()
{
    QFETCH(QString, reply);
    QFETCH(QString, reading);
    // Unpaced, the whole reply lands in one piece, so the reading is all of it.
    sim::CounterSim::Options unpaced;
    unpaced.pace = false;
    Rig rig(1, unpaced);
    Form1 &form = rig.form();
    rig.counter(1).setCustomReply(reply.toStdString());
    rig.click(form.controls().Command2);
    QCOMPARE(form.link().currentReading(), reading);
    QCOMPARE(form.controls().Text1->text(), reading);
}

void TestLink::openingRaisesDtrAndLowersRts()
{
    modemshim::reset();
    modemshim::enable(true);
    Rig rig;
    Form1 &form = rig.form();
    form.link().ReopenPort();
    const int bits = modemshim::bits(rig.devices[0].toStdString());
    modemshim::enable(false);
    QVERIFY(bits != -1);
    QVERIFY(bits & TIOCM_DTR);
    QVERIFY(!(bits & TIOCM_RTS));
    QVERIFY(serialControl(form).modemLinesSupported());

    // Without the stand-in a pty has no modem lines, which is not a failure.
    form.link().ReopenPort();
    QVERIFY(serialControl(form).portOpen());
    QVERIFY(!serialControl(form).modemLinesSupported());
    QVERIFY(rig.messages.isEmpty());
}

void TestLink::delayCountsWholeSecondsOfTheWallClock()
{
    Rig rig;
    Form1 &form = rig.form();
    // The clock starts half-way into a second: 2 s of pause end at the second
    // boundary after next, 1.5 s later.
    const qint64 start = rig.clock.nowMs();
    {
        ClockDriver driver(rig.clock, 100);
        form.link().Delay(2);
    }
    QCOMPARE(rig.clock.nowMs() - start, 1500);

    // Setting the clock back lengthens the pause by the same amount.
    const qint64 start2 = rig.clock.nowMs();
    {
        ClockDriver driver(rig.clock, 100);
        driver.onTick = [&](int tick) {
            if (tick == 3)
                rig.clock.set(rig.clock.nowMs() - 10'000);
        };
        form.link().Delay(1);
    }
    QCOMPARE(rig.clock.nowMs() - start2, 1000); // ends at the same wall-clock second
}

void TestLink::delayOfZeroOrLessReturnsWithoutProcessingEvents()
{
    Rig rig;
    Form1 &form = rig.form();
    for (int seconds : {0, -1, -2147483647 - 1}) {
        bool ran = false;
        QTimer::singleShot(0, [&] { ran = true; });
        form.link().Delay(seconds);
        QVERIFY(!ran);
        QTRY_VERIFY(ran);
    }
}

void TestLink::clicksRunInsideEachWait()
{
    Rig rig;
    Form1 &form = rig.form();
    form.controls().Text1->setText(QStringLiteral("old reading"));

    // "CLEAR" inside the reply wait empties the box at once; the reading
    // then replaces the empty text.
    rig.counter(1).setReplyLatency(150ms);
    bool clearedInside = false;
    whileWaiting([&] {
        rig.click(form.controls().Command1);
        clearedInside = form.controls().Text1->text().isEmpty();
    });
    rig.click(form.controls().Command2);
    QVERIFY(clearedInside);
    QVERIFY(form.controls().Text1->text().endsWith(QLatin1Char('\r')));

    // "Data" inside a pause runs to its end there; the pause then goes on.
    rig.counter(1).setReplyLatency(0us);
    form.controls().Text1->clear();
    rig.counter(1).clearReceived();
    bool readInside = false;
    {
        ClockDriver driver(rig.clock, 100);
        driver.onTick = [&](int tick) {
            if (tick == 1) {
                rig.click(form.controls().Command2);
                readInside = !form.controls().Text1->text().isEmpty();
            }
        };
        form.link().Delay(2);
    }
    QVERIFY(readInside);
    QCOMPARE(rig.counter(1).commands(), std::vector<std::string>{"D1"});
    QVERIFY(rig.messages.isEmpty());
}

void TestLink::secondDataInsideTheReplyWaitLeavesNoWaitHanging()
{
    Rig rig;
    Form1 &form = rig.form();
    rig.counter(1).setReplyLatency(100ms);
    int innerDone = 0;
    whileWaiting([&] {
        rig.click(form.controls().Command2);
        ++innerDone;
    });
    rig.click(form.controls().Command2); // returns only once the outer "Data" finished too
    QCOMPARE(innerDone, 1);
    QVERIFY(form.controls().Text1->text().endsWith(QLatin1Char('\r')));
    // The outer exchange was disturbed and asked again.
    QVERIFY(rig.counter(1).commands().size() >= 2);
    for (const std::string &command : rig.counter(1).commands())
        QCOMPARE(command, std::string("D1"));
    QCOMPARE(form.link().activeWaits(), 0);
    QVERIFY(rig.messages.isEmpty());
}

void TestLink::slowReplyShowsTheBusyPointer()
{
    Rig rig;
    Form1 &form = rig.form();
    auto busy = [] {
        return QGuiApplication::overrideCursor() && QGuiApplication::overrideCursor()->shape() == Qt::BusyCursor;
    };
    // Exchanges at the line's pace never show it.
    bool everShown = false;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { everShown |= QGuiApplication::overrideCursor() != nullptr; });
    sampler.start(0);
    for (int i = 0; i < 20; ++i)
        rig.click(form.controls().Command2);
    sampler.stop();
    QVERIFY(!everShown);

    // A reply a second late: shown once the wait has lasted kSlowReply (not
    // before), gone the moment the reply lands.
    rig.counter(1).setReplyLatency(1000ms);
    QElapsedTimer waited;
    qint64 shownAfter = -1;
    whileWaiting([&] {
        QTRY_VERIFY_WITH_TIMEOUT(busy(), kTimeout);
        shownAfter = waited.elapsed();
    });
    waited.start();
    rig.click(form.controls().Command2);
    QVERIFY2(shownAfter >= CounterLink::kSlowReply.count(), qPrintable(QString::number(shownAfter)));
    QVERIFY(!QGuiApplication::overrideCursor());

    // A silent counter: gone once EXIT's wait for the reply is over.
    rig.counter(1).setReply(Reply::Silent);
    whileWaiting([&] {
        QTRY_VERIFY_WITH_TIMEOUT(busy(), kTimeout);
        rig.click(form.controls().Command3);
    });
    rig.click(form.controls().Command2);
    QCOMPARE(rig.quits, 1);
    QVERIFY(!QGuiApplication::overrideCursor());
}

void TestLink::exitSendsRemoteOffBeforeClosing()
{
    {
        Rig rig;
        Form1 &form = rig.form();
        form.link().ReopenPort();
        rig.click(form.controls().Command3);
        QVERIFY(rig.counter(1).waitForReceivedBytes(3, 5s));
        QCOMPARE(rig.counter(1).received(), std::string("R0\r"));
        QVERIFY(!serialControl(form).portOpen());
        QCOMPARE(rig.quits, 1);
        QVERIFY(!form.isVisible());
    }
    {
        // Port never opened: nothing goes out.
        Rig rig;
        Form1 &form = rig.form();
        rig.click(form.controls().Command3);
        QCOMPARE(rig.quits, 1);
        QVERIFY(!serialControl(form).portOpen());
        serialControl(form).setPortOpen(true); // a probe of our own, to be sure the line is idle
        serialControl(form).setOutput("X9\r");
        QVERIFY(rig.counter(1).waitForReceivedBytes(3, 5s));
        QCOMPARE(rig.counter(1).received(), std::string("X9\r"));
    }
    {
        // A line whose output never drains: the port closes all the same,
        // within the end budget (and what a busy machine adds).
        Rig rig;
        Form1 &form = rig.form();
        form.link().ReopenPort();
        modemshim::drainHangs(true);
        QElapsedTimer took;
        took.start();
        rig.click(form.controls().Command3);
        const qint64 ms = took.elapsed();
        modemshim::drainHangs(false);
        QVERIFY2(ms < (ProgramLife::kEndBudget + kLoadedMachineMargin).count(), qPrintable(QString::number(ms)));
        QCOMPARE(rig.quits, 1);
        QVERIFY(!serialControl(form).portOpen());
    }
}

void TestLink::exitEndsTheProgramFromInsideAWait()
{
    // Inside a reply wait that will never complete.
    Rig rig;
    Form1 &form = rig.form();
    rig.counter(1).setReply(Reply::Silent);
    form.controls().Text1->setText(QStringLiteral("before"));
    whileWaiting([&] { rig.click(form.controls().Command3); });
    rig.click(form.controls().Command2);
    QCOMPARE(rig.quits, 1);
    QCOMPARE(form.controls().Text1->text(), QStringLiteral("before")); // "Data" never resumed
    QVERIFY(rig.counter(1).waitForReceivedBytes(5, 5s));
    QCOMPARE(rig.counter(1).received(), std::string("D1R0\r"));

    // No handler runs any more.
    rig.click(form.controls().Command2);
    rig.click(form.controls().Option13);
    QCoreApplication::processEvents();
    QCOMPARE(rig.counter(1).received(), std::string("D1R0\r"));
    QCOMPARE(form.link().activeWaits(), 0);

    // Inside a pause.
    Rig rig2;
    Form1 &form2 = rig2.form();
    ClockDriver driver(rig2.clock, 100);
    bool resumed = false;
    driver.onTick = [&](int tick) {
        if (tick == 2)
            rig2.click(form2.controls().Command3);
    };
    QTimer::singleShot(0, [&] {
        form2.link().ReopenPort();
        try {
            form2.link().Delay(60);
            resumed = true;
        } catch (const ProgramEnding &) {}
    });
    QTRY_COMPARE(rig2.quits, 1);
    QVERIFY(!resumed);
    QVERIFY(driver.ticks < 100);
}

void TestLink::askedToEndEndsAtTheDeadlineAtTheLatest()
{
    // Asked to end, and nothing on the way out ends it: the budget does.
    int quits = 0;
    ProgramLife life([&] { ++quits; });
    life.askedToEnd();
    QVERIFY(!life.ending());
    QTRY_VERIFY_WITH_TIMEOUT(life.ending(), int((ProgramLife::kEndBudget + kLoadedMachineMargin).count()));
    QVERIFY(std::chrono::steady_clock::now() >= life.deadline());
    QCOMPARE(quits, 1);
}

void TestLink::closingTheWindowSendsNothing()
{
    Rig rig;
    Form1 &form = rig.form();
    form.link().ReopenPort();
    form.close();
    QCOMPARE(rig.quits, 1);
    QVERIFY(!serialControl(form).portOpen());
    // The device is free again: another program can open it.
    QSerialPort other(rig.devices[0]);
    QVERIFY(other.open(QIODevice::ReadWrite));
    QCOMPARE(rig.counter(1).received(), std::string());

    // The window destroyed from outside (an X11 DestroyNotify) ends the
    // program the same way; another window's end does not.
    Rig outside;
    Form1 &form2 = outside.form();
    form2.link().ReopenPort();
    auto destroyed = [](quintptr window) {
        std::array<quint32, 8> event{}; // an xcb event is 32 bytes
        event[0] = 17; // DestroyNotify
        event[2] = quint32(window); // the window destroyed
        qintptr result = 0;
        QAbstractEventDispatcher::instance()->filterNativeEvent("xcb_generic_event_t", event.data(), &result);
    };
    destroyed(form2.winId() + 1);
    QCoreApplication::processEvents();
    QCOMPARE(outside.quits, 0);
    destroyed(form2.winId());
    QTRY_COMPARE(outside.quits, 1);
    QVERIFY(!serialControl(form2).portOpen());
    QCOMPARE(outside.counter(1).received(), std::string());
}

void TestLink::failuresShowAMessageAndTheWindowLivesOn()
{
    Rig rig;
    rig.devices[0].clear(); // nothing behind port 1
    Form1 &form = rig.form();
    rig.click(form.controls().Command2);
    QCOMPARE(rig.messages.size(), 1);
    QVERIFY2(rig.messages[0].startsWith(QStringLiteral("Error 1: Port 1")), qPrintable(rig.messages[0]));
    // What to do about it: see the map, bind a device.
    QVERIFY2(rig.messages[0].contains(QStringLiteral("--list-ports"))
                 && rig.messages[0].contains(QStringLiteral("--port 1=DEVICE")),
             qPrintable(rig.messages[0]));
    QVERIFY(!serialControl(form).portOpen());
    QCOMPARE(rig.quits, 0);

    // A device another program holds.
    Rig held;
    QSerialPort other(held.devices[0]);
    QVERIFY(other.open(QIODevice::ReadWrite));
    Form1 &form2 = held.form();
    held.click(form2.controls().Command2);
    QCOMPARE(held.messages.size(), 1);
    QVERIFY2(held.messages[0].startsWith(QStringLiteral("Error 14: Port 1 (")), qPrintable(held.messages[0]));
    QVERIFY2(held.messages[0].contains(QStringLiteral("another program is using the port")),
             qPrintable(held.messages[0]));
    QVERIFY(!serialControl(form2).portOpen());
    QVERIFY(form2.controls().Text1->text().isEmpty());

    // Once the other program lets go, the same click works.
    other.close();
    held.click(form2.controls().Command2);
    QCOMPARE(held.messages.size(), 1);
    QVERIFY(!form2.controls().Text1->text().isEmpty());

    // While this program has the port open, it holds the advisory lock that
    // serial tools take and honour ...
    const int locker = ::open(qPrintable(held.devices[0]), O_RDWR | O_NOCTTY);
    QVERIFY(locker >= 0);
    QCOMPARE(::flock(locker, LOCK_EX | LOCK_NB), -1);
    // ... and it never reads under a program holding that lock.
    serialControl(form2).setPortOpen(false);
    QCOMPARE(::flock(locker, LOCK_EX | LOCK_NB), 0);
    form2.controls().Text1->clear();
    held.click(form2.controls().Command2);
    QCOMPARE(held.messages.size(), 2);
    QVERIFY2(held.messages[1].startsWith(QStringLiteral("Error 14: Port 1 (")), qPrintable(held.messages[1]));
    QVERIFY2(held.messages[1].contains(QStringLiteral("tst_link (process %1) holds its lock").arg(::getpid())),
             qPrintable(held.messages[1]));
    QVERIFY(form2.controls().Text1->text().isEmpty());
    ::close(locker);
    held.click(form2.controls().Command2);
    QCOMPARE(held.messages.size(), 2);
    QVERIFY(!form2.controls().Text1->text().isEmpty());
}

void TestLink::portsOtherProgramsHoldAreNeverOpened()
{
    sim::CounterSim counter;
    const QString device = QString::fromStdString(counter.devicePath());
    // Bound through a link, as a /dev/serial/by-id/ name is.
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("usb-counter-if00-port0"));
    QVERIFY(QFile::link(device, link));
    MSComm comm(fixedPortMap({link}));
    auto openingFails = [&]() -> SerialError {
        try {
            comm.setPortOpen(true);
        } catch (const SerialError &error) {
            return error;
        }
        comm.setPortOpen(false);
        return SerialError(0, QStringLiteral("opened"));
    };

    // A lock file in the form minicom writes, named after the device.
    const QString lockFile = lockDirectories().value(0) + QLatin1Char('/') + lockFileName(device);
    const struct Remover {
        QString path;
        ~Remover() { QFile::remove(path); }
    } removeLockFile{lockFile};
    auto writeLockFile = [&](qint64 pid) {
        QFile file(lockFile);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(QString::asprintf("%10lld\n", pid).toLatin1()) == 11;
    };
    QProcess holder;
    holder.start(QStringLiteral("sleep"), {QStringLiteral("600")});
    QVERIFY(holder.waitForStarted());
    const qint64 pid = holder.processId();
    QVERIFY(writeLockFile(pid));
    const SerialError held = openingFails();
    QCOMPARE(held.number, 14);
    QVERIFY2(held.text.contains(QStringLiteral(": sleep (process %1) holds its lock file %2;").arg(pid).arg(lockFile)),
             qPrintable(held.text));

    // A file that names another program than the one now running under its
    // PID was left by an ended process whose number was given out again.
    {
        QFile file(lockFile);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray::number(pid) + "\nminicom\n");
    }
    QCOMPARE(openingFails().text, QStringLiteral("opened"));

    // This process's own number in a file for a port it does not have open:
    // left by an earlier run that had the same number (a container hands the
    // numbers out again after a crash).
    QVERIFY(writeLockFile(QCoreApplication::applicationPid()));
    QCOMPARE(openingFails().text, QStringLiteral("opened"));

    // Once that process has ended, its file no longer blocks the port.
    QVERIFY(writeLockFile(pid));
    holder.kill();
    QVERIFY(holder.waitForFinished());
    QCOMPARE(openingFails().text, QStringLiteral("opened"));

    // An exclusive open keeps the port closed, also to root (whom the
    // kernel would let past it).
    const int exclusive = ::open(qPrintable(device), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(exclusive >= 0);
    QCOMPARE(::ioctl(exclusive, TIOCEXCL), 0);
    const SerialError alone = openingFails();
    ::ioctl(exclusive, TIOCNXCL);
    ::close(exclusive);
    QCOMPARE(alone.number, 14);
    QVERIFY2(alone.text.contains(QStringLiteral("marked for one program alone, and no program is known to hold it")),
             qPrintable(alone.text));

    // An ended process's file that this user may not remove (another user's,
    // in the sticky lock folder) is named, with the command that removes it.
    const struct passwd *nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !nobody)
        QSKIP("needs root, to leave a lock file that the user nobody may not remove");
    QVERIFY(writeLockFile(pid));
    QVERIFY(QFile::setPermissions(
        dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther));
    QVERIFY(QFile::setPermissions(device,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::WriteGroup
                                      | QFile::ReadOther | QFile::WriteOther));
    QCOMPARE(::seteuid(nobody->pw_uid), 0);
    const SerialError stale = openingFails();
    QCOMPARE(::seteuid(0), 0);
    QVERIFY2(stale.number == 14, qPrintable(stale.text));
    QVERIFY2(stale.text.contains(QStringLiteral("its lock file %1 was left by process %2, which has ended, and only "
                                                "root may remove it: sudo rm %1, then try again.")
                                     .arg(lockFile)
                                     .arg(pid)),
             qPrintable(stale.text));
}

void TestLink::lineLogShowsEachExchange()
{
    QStringList lines;
    Rig rig;
    Form1 &form = rig.form();
    serialControl(form).setLineLog(std::make_shared<LineLog>([&](const QString &line) { lines << line; }));
    rig.counter(1).setCustomReply("   1.0000000 MHz\r");
    rig.click(form.controls().Command2);
    serialControl(form).setPortOpen(false);

    const QRegularExpression stamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d port 1 "));
    QStringList said;
    for (const QString &line : std::as_const(lines)) {
        QVERIFY2(stamp.match(line).hasMatch(), qPrintable(line));
        said << line.mid(20);
    }
    QCOMPARE(said,
             (QStringList{QStringLiteral("opened %1 at 9600,N,8,1").arg(rig.devices[0]), QStringLiteral("<- \"D1\""),
                          QStringLiteral("-> \"   1.0000000 MHz\\r\""), QStringLiteral("closed")}));
    // Whatever the line carries stays one readable line.
    QCOMPARE(LineLog::quoted(QByteArray("a\"\\\0\xff\n", 6)), QStringLiteral("\"a\\\"\\\\\\x00\\xff\\n\""));
}

void TestLink::hangUpDuringAWaitIsReportedOnce()
{
    Rig rig;
    Form1 &form = rig.form();
    rig.counter(1).setReply(Reply::Silent);
    whileWaiting([&] {
        QTRY_VERIFY(rig.counter(1).waitForReceivedBytes(2, 0ms));
        rig.counter(1).hangUp();
    });
    rig.click(form.controls().Command2);
    QCOMPARE(rig.messages.size(), 1);
    // A second report or a flood of line errors would be delivered here.
    QCoreApplication::processEvents();
    QCOMPARE(rig.messages.size(), 1);
    // It names the port and its device, and says what happened in our words
    // only: a hang-up leaves stale system texts behind ("Inappropriate ioctl").
    QCOMPARE(rig.messages[0].section(QLatin1Char('.'), 0, 0),
             QStringLiteral("Error 9: Port 1 (%1): the line was lost").arg(rig.devices[0]));
    QVERIFY(!serialControl(form).portOpen());
    QCOMPARE(form.link().activeWaits(), 0);

    // A line lost while nothing waits is reported at once, also once.
    Rig idle;
    Form1 &form2 = idle.form();
    form2.link().ReopenPort();
    idle.counter(1).hangUp();
    QTRY_COMPARE(idle.messages.size(), 1);
    QVERIFY(!serialControl(form2).portOpen());
    QCoreApplication::processEvents();
    QCOMPARE(idle.messages.size(), 1);
}

QTEST_MAIN(TestLink)
#include "tst_link.moc"
