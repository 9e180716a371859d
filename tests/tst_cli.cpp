// `frequency-tallyo read` and `set`: the real program, run with no display,
// against simulated counters on pseudo-terminals.
#include "countersim.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using tallyo::sim::CounterSim;

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// The readings a fresh simulated counter serves, in order, as the program
// gives them: without the spaces in front and the CR at the end.
QStringList servedReadings(int count)
{
    tallyo::sim::ReadingSource source;
    QStringList readings;
    for (int i = 0; i < count; ++i)
        readings << QString::fromStdString(source.next(tallyo::sim::FreqA, 2)).chopped(1).trimmed();
    return readings;
}

QByteArrayList lines(const QByteArray &text)
{
    QByteArrayList result = text.split('\n');
    if (!result.isEmpty() && result.last().isEmpty())
        result.removeLast();
    return result;
}

QByteArray fileText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void readPrintsTheReadingsServed();
    void outputFile();
    void endSignalKeepsEveryReading_data();
    void endSignalKeepsEveryReading();
    void sendsExactlyWhatTheLineAsks_data();
    void sendsExactlyWhatTheLineAsks();
    void silentCounterEndsAfterTheBound();
    void heldPortIsErrorFourteen();
    void readsTheSimulatorsLink();

private:
    // `line`: the arguments separated by spaces; DEV stands for `device` and
    // TMP for the suite's own folder.
    void start(QProcess &process, const std::string &device, const QString &line);
    Run run(const std::string &device, const QString &line);
    // Sends a setting no other run sends ("G3") after the runs before it; once
    // it has arrived, so has everything they sent.
    void sendBarrier(CounterSim &counter);

    QTemporaryDir m_dir;
    QString m_program;
};

void TestCli::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_program = qEnvironmentVariable("TALLYO_BUILD_DIR") + QStringLiteral("/src/frequency-tallyo");
    QVERIFY2(QFileInfo(m_program).isExecutable(), qPrintable(m_program));
}

void TestCli::start(QProcess &process, const std::string &device, const QString &line)
{
    QStringList arguments = line.split(QLatin1Char(' '));
    arguments.replaceInStrings(QStringLiteral("DEV"), QString::fromStdString(device));
    arguments.replaceInStrings(QStringLiteral("TMP"), m_dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // No display at all. Were a GUI application made, the X11 platform asked
    // for here would fail to start without one.
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // No ports.conf of the user's.
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    process.setProcessEnvironment(env);
    process.start(m_program, arguments);
    QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));
}

Run TestCli::run(const std::string &device, const QString &line)
{
    QProcess process;
    start(process, device, line);
    Run result;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

void TestCli::sendBarrier(CounterSim &counter)
{
    QCOMPARE(run(counter.devicePath(), QStringLiteral("set DEV G3")).exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(QByteArray::fromStdString(counter.received()).endsWith("G3\r"), 10000);
}

void TestCli::readPrintsTheReadingsServed()
{
    CounterSim counter;
    // Port 2 through the port map, bound as in the window.
    const Run fifty = run(counter.devicePath(), QStringLiteral("read 2 --port 2=DEV --count 50"));
    QCOMPARE(fifty.exitCode, 0);
    QCOMPARE(fifty.err, QByteArray());
    const QStringList expected = servedReadings(52);
    QCOMPARE(QString::fromLatin1(fifty.out), expected.mid(0, 50).join(QLatin1Char('\n')) + QLatin1Char('\n'));
    // Nothing but the readings asked for: no "R0" at the end.
    QCOMPARE(counter.commands(), std::vector<std::string>(50, "D1"));

    const Run timed = run(counter.devicePath(), QStringLiteral("read DEV --count 2 --timestamps --interval 0.25"));
    QCOMPARE(timed.exitCode, 0);
    const QByteArrayList timedLines = lines(timed.out);
    QCOMPARE(timedLines.size(), 2);
    const QRegularExpression isoTime(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d,(.*)$)"));
    QDateTime times[2];
    for (int i = 0; i < 2; ++i) {
        const QRegularExpressionMatch match = isoTime.match(QString::fromLatin1(timedLines[i]));
        QVERIFY2(match.hasMatch(), timedLines[i].constData());
        QCOMPARE(match.captured(1), expected[50 + i]);
        times[i] = QDateTime::fromString(timedLines[i].left(timedLines[i].indexOf(',')), Qt::ISODateWithMs);
    }
    // Started a quarter of a second apart; each exchange takes about 20 ms.
    QVERIFY2(times[0].msecsTo(times[1]) >= 230, qPrintable(QString::number(times[0].msecsTo(times[1]))));
}

void TestCli::outputFile()
{
    CounterSim counter;
    const QString path = m_dir.filePath(QStringLiteral("readings.csv"));
    const Run fifty = run(counter.devicePath(), QStringLiteral("read DEV --output TMP/readings.csv --count 50"));
    QCOMPARE(fifty.exitCode, 0);
    QCOMPARE(fifty.out, QByteArray());
    QByteArrayList written = lines(fileText(path));
    QCOMPARE(written.size(), 51);
    QCOMPARE(written[0], QByteArray("time,reading"));
    const QStringList expected = servedReadings(50);
    QDateTime previous;
    for (int i = 0; i < 50; ++i) {
        const QByteArray &line = written[i + 1];
        const qsizetype comma = line.indexOf(',');
        const QDateTime time = QDateTime::fromString(QString::fromLatin1(line.left(comma)), Qt::ISODateWithMs);
        QVERIFY2(time.isValid() && (i == 0 || time > previous), line.constData());
        QCOMPARE(QString::fromLatin1(line.mid(comma + 1)), expected[i]);
        previous = time;
    }

    // A second run appends; a reading a spreadsheet would evaluate goes in inert and quoted.
    counter.setCustomReply("=SUM(1,2) + 3 Hz\r");
    QCOMPARE(run(counter.devicePath(), QStringLiteral("read DEV --output TMP/readings.csv")).exitCode, 0);
    written = lines(fileText(path));
    QCOMPARE(written.size(), 52);
    QVERIFY2(written.last().endsWith(",\"'=SUM(1,2) + 3 Hz\""), written.last().constData());

    // A file of someone else's is neither overwritten nor appended to, and nothing is sent.
    const QString foreign = m_dir.filePath(QStringLiteral("foreign.csv"));
    QFile file(foreign);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("a,b\n1,2\n");
    file.close();
    counter.clearReceived();
    const Run refused = run(counter.devicePath(), QStringLiteral("read DEV --output TMP/foreign.csv"));
    QCOMPARE(refused.exitCode, 2);
    QVERIFY2(refused.err.contains("foreign.csv"), refused.err.constData());
    QCOMPARE(fileText(foreign), QByteArray("a,b\n1,2\n"));
    sendBarrier(counter);
    QCOMPARE(counter.received(), std::string("G3\r"));
}

void TestCli::endSignalKeepsEveryReading_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void TestCli::endSignalKeepsEveryReading()
{
    QFETCH(int, signalNumber);
    CounterSim counter;
    const QString path = m_dir.filePath(QStringLiteral("endless-%1.csv").arg(signalNumber));
    QProcess process;
    start(process, counter.devicePath(), QStringLiteral("read DEV --count 0 --output ") + path);
    QTRY_VERIFY_WITH_TIMEOUT(lines(fileText(path)).size() > 10, 20000);
    ::kill(pid_t(process.processId()), signalNumber);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);

    const QByteArray text = fileText(path);
    QVERIFY(text.endsWith('\n'));
    const QByteArrayList written = lines(text);
    QCOMPARE(written.size() - 1, counter.readingsServed());
    const QStringList expected = servedReadings(counter.readingsServed());
    for (int i = 1; i < written.size(); ++i)
        QCOMPARE(QString::fromLatin1(written[i].mid(written[i].indexOf(',') + 1)), expected[i - 1]);
}

void TestCli::sendsExactlyWhatTheLineAsks_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("settings in capitals, in order") << "set --port 1=DEV g2 F4 h1 R1" << 0 << QByteArray("G2\rF4\rH1\rR1\r");
    QTest::newRow("one unknown command refuses all") << "set DEV F0 X9" << 2 << QByteArray();
    QTest::newRow("a function the counter lacks") << "set DEV F8" << 2 << QByteArray();
    QTest::newRow("a reading is not a setting") << "set DEV d1" << 2 << QByteArray();
    QTest::newRow("port number out of range") << "read 7" << 2 << QByteArray();
    QTest::newRow("negative count") << "read DEV --count -1" << 2 << QByteArray();
}

void TestCli::sendsExactlyWhatTheLineAsks()
{
    QFETCH(QString, line);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, sent);
    CounterSim counter;
    const Run result = run(counter.devicePath(), line);
    QCOMPARE(result.exitCode, exitCode);
    if (exitCode == 2)
        QVERIFY2(result.err.contains("Usage: frequency-tallyo " + line.section(QLatin1Char(' '), 0, 0).toLatin1()),
                 result.err.constData());
    sendBarrier(counter);
    QCOMPARE(QByteArray::fromStdString(counter.received()), sent + "G3\r");
}

void TestCli::silentCounterEndsAfterTheBound()
{
    CounterSim counter;
    counter.setReply(CounterSim::Reply::Silent);
    QElapsedTimer timer;
    timer.start();
    const Run silent = run(counter.devicePath(), QStringLiteral("read DEV"));
    QCOMPARE(silent.exitCode, 1);
    // The longest gate time (10 s) and a margin.
    QVERIFY2(timer.elapsed() >= 12000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY2(silent.err.contains("Error 12: ") && silent.err.contains("no reading"), silent.err.constData());
    QCOMPARE(silent.out, QByteArray());
}

void TestCli::heldPortIsErrorFourteen()
{
    CounterSim counter;
    const int held = ::open(counter.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(held >= 0);
    QCOMPARE(::flock(held, LOCK_EX | LOCK_NB), 0);
    const Run refused = run(counter.devicePath(), QStringLiteral("read DEV"));
    ::close(held);
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.err.contains("Error 14: ") && refused.err.contains("another program"), refused.err.constData());
    QCOMPARE(refused.out, QByteArray());
}

void TestCli::readsTheSimulatorsLink()
{
    const QString link = m_dir.filePath(QStringLiteral("counter"));
    QProcess simulator;
    simulator.start(qEnvironmentVariable("TALLYO_BUILD_DIR") + QStringLiteral("/sim/counter-sim"),
                    {QStringLiteral("--link"), link});
    QVERIFY(simulator.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(simulator.canReadLine(), 10000);
    QVERIFY(simulator.readLine().endsWith(", also " + link.toLocal8Bit() + '\n'));

    const Run taken = run(std::string(), QStringLiteral("read TMP/counter --count 3"));
    QCOMPARE(taken.exitCode, 0);
    QCOMPARE(QString::fromLatin1(taken.out), servedReadings(3).join(QLatin1Char('\n')) + QLatin1Char('\n'));
    simulator.terminate();
    QVERIFY(simulator.waitForFinished(10000));
    QVERIFY(!QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
