// The simulated counter, driven over a real QSerialPort the way the panel drives the line.
#include "countersim.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

using namespace std::chrono_literals;
namespace sim = tallyo::sim;
using sim::CounterSim;
using Reply = CounterSim::Reply;

Q_DECLARE_METATYPE(CounterSim::Reply)

namespace {

constexpr std::chrono::milliseconds kWait = 5s; // only a broken simulator takes this long

// QSerialPort's defaults are the counter's line: 9600 baud, 8N1, no flow control.
std::unique_ptr<QSerialPort> openClient(const CounterSim &counter)
{
    auto port = std::make_unique<QSerialPort>(QString::fromStdString(counter.devicePath()));
    return port->open(QIODevice::ReadWrite) ? std::move(port) : nullptr;
}

bool send(QSerialPort &port, const QByteArray &bytes)
{
    return port.write(bytes) == bytes.size() && port.waitForBytesWritten(int(kWait.count()));
}

// Reads until `done(data)` holds, the port fails, or kWait runs out.
template <typename Done> QByteArray readUntil(QSerialPort &port, Done done)
{
    QByteArray data = port.readAll();
    QElapsedTimer timer;
    timer.start();
    while (!done(data) && timer.elapsed() < kWait.count()) {
        if (port.waitForReadyRead(int(kWait.count() - timer.elapsed())))
            data += port.readAll();
        else if (port.error() != QSerialPort::NoError && port.error() != QSerialPort::TimeoutError)
            break;
    }
    return data;
}

QByteArray readAtLeast(QSerialPort &port, qsizetype n)
{
    return readUntil(port, [n](const QByteArray &data) { return data.size() >= n; });
}

QByteArray readLine(QSerialPort &port)
{
    return readUntil(port, [](const QByteArray &data) { return data.endsWith('\r'); });
}

// A reading split into its parts; `ok` is false when the text is no reading at all.
struct Reading {
    bool ok = false;
    double value = 0;
    QString unit;
    int digits = 0; // significant digits shown
    int decimals = 0; // digits after the point
};

Reading parseReading(const QByteArray &text)
{
    static const QRegularExpression pattern(R"(^ +([1-9]\d*)(?:\.(\d+))?(?: ([A-Za-z]+))?\r$)");
    const auto match = pattern.match(QString::fromLatin1(text));
    if (!match.hasMatch())
        return {};
    const QString whole = match.captured(1), fraction = match.captured(2);
    return {true, (whole + '.' + fraction).toDouble(), match.captured(3), int(whole.size() + fraction.size()),
            int(fraction.size())};
}

} // namespace

class TstCounterSim : public QObject {
    Q_OBJECT

private slots:
    // --- readings, without a line ------------------------------------------------------

    void formatReading()
    {
        const struct {
            int function, gate;
            double value;
            const char *text;
        } cases[] = {
            {sim::FreqA, 2, 10.0000123e6, "   10.0000123 MHz\r"},
            {sim::FreqA, 0, 10.0000123e6, "     10.00001 MHz\r"}, // fewer digits at a short gate
            {sim::FreqC, 1, 2.4500004e9, "    2.4500004 GHz\r"},
            {sim::Period, 0, 20.00049e-3, "      20.00049 ms\r"},
            {sim::Period, 3, 5e-6, "   5.000000000 us\r"},
            {sim::TotalCount, 3, 123456.0, "           123456\r"}, // no resolution to show
            {sim::Ratio, 0, 1000.000123, "         1000.000\r"},
        };
        for (const auto &c : cases)
            QCOMPARE(QByteArray::fromStdString(sim::formatReading(c.function, c.gate, c.value)), QByteArray(c.text));
    }

    // --- the line ------------------------------------------------------------------------

    void lineIsRawBothWays()
    {
        CounterSim counter;
        {
            auto client = openClient(counter);
            QVERIFY(client);
            QVERIFY(send(*client, "G2\r"));
            QVERIFY(counter.waitForReceivedBytes(3, kWait));
            QCOMPARE(counter.received(), std::string("G2\r")); // 0x0D, not 0x0A
            QVERIFY(send(*client, "D1"));
            const QByteArray reply = readLine(*client);
            QVERIFY2(parseReading(reply).ok, reply.constData()); // nothing echoed ahead of it
        }
        // QSerialPort restores on close() what it found on open(): each open starts from
        // what the simulator set, which has to be raw.
        const int fd = ::open(counter.devicePath().c_str(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        termios tio{};
        QCOMPARE(::tcgetattr(fd, &tio), 0);
        ::close(fd);
        QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
        QCOMPARE(tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON), tcflag_t(0));
        QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
    }

    void commandsAreRecordedAsTheyCame()
    {
        CounterSim counter;
        std::mutex seenMutex;
        std::vector<std::string> seen;
        counter.setCommandObserver([&](const std::string &command) {
            std::lock_guard lock(seenMutex);
            seen.push_back(command);
        });
        auto client = openClient(counter);
        QVERIFY(client);

        // Junk in between, a D1 split across two writes, a command the counter lacks (F9).
        const QByteArray first = "F3\rG1\rxyzQ\rH1\rd1D", second = "1R1\rF9\r\r";
        QVERIFY(send(*client, first));
        QVERIFY(counter.waitForReceivedBytes(std::size_t(first.size()), kWait));
        QVERIFY(send(*client, second));
        const std::vector<std::string> expected{"F3\r", "G1\r", "H1\r", "D1", "R1\r", "F9\r"};
        QVERIFY(counter.waitForReceivedBytes(std::size_t(first.size() + second.size()), kWait));
        QCOMPARE(counter.commands(), expected);
        QCOMPARE(counter.received(), (first + second).toStdString());
        QTRY_VERIFY([&] {
            std::lock_guard lock(seenMutex);
            return seen == expected;
        }());
        QCOMPARE(counter.function(), int(sim::Period));
        QCOMPARE(counter.gate(), 1);
        QVERIFY(counter.hold() && counter.remote());
        QCOMPARE(counter.readingsServed(), 1);

        counter.clearReceived(); // the record goes, the state stays
        QVERIFY(counter.received().empty() && counter.commands().empty());
        QCOMPARE(counter.function(), int(sim::Period));
    }

    void readingsFollowTheSettings_data()
    {
        QTest::addColumn<bool>("pace");
        QTest::newRow("paced") << true;
        QTest::newRow("unpaced") << false;
    }

    void readingsFollowTheSettings()
    {
        QFETCH(bool, pace);
        CounterSim counter({.pace = pace});
        auto client = openClient(counter);
        QVERIFY(client);
        const auto reading = [&](const QByteArray &request) {
            send(*client, request);
            return readLine(*client);
        };
        const auto shows = [&](const QByteArray &request, const QString &unit, int digits) {
            const Reading r = parseReading(reading(request));
            return r.ok && r.unit == unit && r.digits == digits;
        };
        QVERIFY(shows("D1", "MHz", 9)); // power-up: F0, G2
        QVERIFY(shows("F3\rG0\rD1", "ms", 7));
        QVERIFY(shows("G3\rD1", "ms", 10));
        const Reading count = parseReading(reading("F4\rD1"));
        QVERIFY(count.ok && count.unit.isEmpty() && count.decimals == 0);

        // Hold repeats the reading until a setting changes or hold goes off.
        const QByteArray held = reading("F7\rH1\rD1");
        QVERIFY(held.endsWith(" us\r"));
        QCOMPARE(reading("D1"), held);
        const QByteArray heldRpm = reading("F5\rD1");
        QVERIFY(heldRpm.endsWith(" RPM\r"));
        QCOMPARE(reading("D1"), heldRpm);
        bool changed = false;
        for (int i = 0; i < 8 && !changed; ++i)
            changed = reading(i == 0 ? "H0\rD1" : "D1") != heldRpm;
        QVERIFY(changed);
    }

    void linePacesBothWays()
    {
        CounterSim counter;
        auto client = openClient(counter);
        QVERIFY(client);

        // One write of three bytes still arrives one character time apart.
        QVERIFY(send(*client, "G2\r"));
        QVERIFY(counter.waitForReceivedBytes(3, kWait));
        const auto rx = counter.receivedBytes();
        QVERIFY(rx[1].arrival - rx[0].arrival >= CounterSim::kCharTime);
        QVERIFY(rx[2].arrival - rx[1].arrival >= CounterSim::kCharTime);

        // "D1" in, 16 characters out: 18 character times at the least.
        counter.setCustomReply("   1234.5678 Hz\r");
        QElapsedTimer timer;
        timer.start();
        QVERIFY(send(*client, "D1"));
        QCOMPARE(readAtLeast(*client, 16), QByteArray("   1234.5678 Hz\r"));
        QVERIFY2(timer.nsecsElapsed() >= 18'000'000, QByteArray::number(timer.nsecsElapsed()));

        // A D1 that arrives while a reply is going out gets its reply after it: 2 + 16 + 16
        // character times, where overlapping replies would take 4 + 16.
        timer.restart();
        QVERIFY(send(*client, "D1D1"));
        QCOMPARE(readAtLeast(*client, 32), QByteArray("   1234.5678 Hz\r   1234.5678 Hz\r"));
        QVERIFY2(timer.nsecsElapsed() >= 35'000'000, QByteArray::number(timer.nsecsElapsed()));
    }

    void replyModes_data()
    {
        QTest::addColumn<Reply>("mode");
        QTest::addColumn<QByteArray>("custom");
        QTest::newRow("normal") << Reply::Normal << QByteArray();
        QTest::newRow("custom") << Reply::Normal << QByteArray("  1234.567 Hz  \r");
        QTest::newRow("silent") << Reply::Silent << QByteArray();
        QTest::newRow("silent beats custom") << Reply::Silent << QByteArray("x\r");
        QTest::newRow("short") << Reply::Short << QByteArray();
        QTest::newRow("long") << Reply::Long << QByteArray();
        QTest::newRow("garbage") << Reply::Garbage << QByteArray();
    }

    // Each mode answers one D1; a second D1 with a marker reply shows where it ended, so
    // even silence shows without waiting for a timeout.
    void replyModes()
    {
        QFETCH(Reply, mode);
        QFETCH(QByteArray, custom);
        CounterSim counter;
        auto client = openClient(counter);
        QVERIFY(client);
        counter.setReply(mode);
        counter.setCustomReply(custom.toStdString());
        QVERIFY(send(*client, "D1"));
        QVERIFY(counter.waitForCommands(1, kWait)); // its reply is settled from here on
        counter.setReply(Reply::Normal);
        counter.setCustomReply("<end>");
        QVERIFY(send(*client, "D1"));
        QByteArray reply = readUntil(*client, [](const QByteArray &d) { return d.endsWith("<end>"); });
        QVERIFY2(reply.endsWith("<end>"), reply.toHex(' ').constData());
        reply.chop(5);

        const bool isReading = parseReading(reply).ok;
        switch (mode) {
        case Reply::Normal:
            QVERIFY2(custom.isEmpty() ? isReading && reply.size() >= 14 : reply == custom, reply.constData());
            break;
        case Reply::Silent:
            QCOMPARE(reply, QByteArray());
            break;
        case Reply::Short: // a reading cut off: "   10.0000456"
            QVERIFY2(reply.size() == 13 && parseReading(reply + '\r').ok, reply.constData());
            break;
        case Reply::Long:
            QVERIFY2(reply.size() > 30 && isReading, reply.constData());
            break;
        case Reply::Garbage:
            QVERIFY(reply.size() >= 14);
            QVERIFY(std::none_of(reply.begin(), reply.end(), [](char c) { return c >= '0' && c <= '9'; }));
            QVERIFY(std::any_of(reply.begin(), reply.end(), [](char c) { return uchar(c) < 0x20 && c != '\r'; }));
            break;
        }
        QCOMPARE(counter.readingsServed(), mode == Reply::Silent ? 1 : 2);
    }

    void latencyDelaysTheReply()
    {
        CounterSim counter({.replyLatency = 150ms});
        auto client = openClient(counter);
        QVERIFY(client);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(send(*client, "D1"));
        QVERIFY(!readAtLeast(*client, 1).isEmpty());
        QVERIFY2(timer.elapsed() >= 150, QByteArray::number(timer.elapsed()));
    }

    // --- the device coming and going -------------------------------------------------------

    void clientCanCloseAndReopen()
    {
        CounterSim counter;
        const QByteArray first = [&] {
            auto client = openClient(counter);
            return client && send(*client, "G3\rD1") ? readLine(*client) : QByteArray();
        }();
        QVERIFY(parseReading(first).ok);

        auto again = openClient(counter);
        QVERIFY2(again, "the device must outlive the client's close()");
        QVERIFY(send(*again, "D1"));
        QCOMPARE(parseReading(readLine(*again)).digits, 10); // G3 from before still holds
        QCOMPARE(counter.commands(), (std::vector<std::string>{"G3\r", "D1", "D1"}));
    }

    void hangUpReachesTheClient_data()
    {
        QTest::addColumn<bool>("fromObserver");
        QTest::newRow("from the test") << false;
        QTest::newRow("from the observer") << true;
    }

    void hangUpReachesTheClient()
    {
        QFETCH(bool, fromObserver);
        CounterSim counter;
        const QString path = QString::fromStdString(counter.devicePath());
        if (fromObserver) {
            counter.setCommandObserver([&counter](const std::string &command) {
                if (command == "R0\r")
                    counter.hangUp();
            });
        }
        auto client = openClient(counter);
        QVERIFY(client);
        counter.setCustomReply(std::string(200, 'x')); // still going out at the hang-up
        QVERIFY(send(*client, "D1"));
        QVERIFY(!readAtLeast(*client, 1).isEmpty());
        if (fromObserver)
            QVERIFY(send(*client, "R0\r"));
        else
            counter.hangUp();

        QTRY_VERIFY_WITH_TIMEOUT(client->error() == QSerialPort::ReadError
                                     || client->error() == QSerialPort::ResourceError,
                                 int(kWait.count()));
        client->close();
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(path), int(kWait.count()));
        QVERIFY(!openClient(counter));
        counter.hangUp(); // again: nothing left to do, and it must not block
    }
};

QTEST_GUILESS_MAIN(TstCounterSim)
#include "tst_countersim.moc"
