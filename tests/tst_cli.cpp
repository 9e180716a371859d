// `frequency-tallyo read` and `set`: the real program, run with no display,
// against simulated counters on pseudo-terminals.
#include "countersim.h"
#include "readingtext.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
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
QStringList servedReadings(int count, unsigned seed = 1)
{
    tallyo::sim::ReadingSource source(seed);
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
    void lostLineIsAGap();
    void giveUpEndsTheWait();
    void startsStayOnTheGrid();
    void fullDiskEndsWithStatusThree();
    void partialLastLineIsCutAway();
    void namePatternStartsNewFiles();
    void closedPipeEndsCleanly();
    void hostileRepliesStayOnOneLine_data();
    void hostileRepliesStayOnOneLine();
    void spreadsheetRuleCoversTheInjectionList();
    void exclusiveMarkWithoutHolder();

private:
    // `line`: the arguments separated by spaces; DEV stands for `device` and
    // TMP for the suite's own folder.
    void start(QProcess &process, const std::string &device, const QString &line);
    Run run(const std::string &device, const QString &line);
    // A counter behind TMP/`name`, a link that stays while counters come and
    // go, as a USB adapter's /dev/serial/by-id name does.
    std::unique_ptr<CounterSim> plugIn(const QString &name, unsigned seed = 1);
    // `line` run by bash with the program as $0 and `device` as $1.
    Run runShell(const std::string &device, const QString &line);
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

// What a started process ended with (exit code -1: it did not end normally).
Run finished(QProcess &process)
{
    Run result;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

Run TestCli::run(const std::string &device, const QString &line)
{
    QProcess process;
    start(process, device, line);
    return finished(process);
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
    // Started a quarter of a second apart. Each is stamped when its reply
    // lands, which a busy machine can delay by tens of ms; readings taken
    // with the interval ignored would be one exchange (about 20 ms) apart.
    QVERIFY2(times[0].msecsTo(times[1]) > 125, qPrintable(QString::number(times[0].msecsTo(times[1]))));
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
    QCOMPARE(written[0], QByteArray("time,reading,sheet_time"));
    const QStringList expected = servedReadings(50);
    QDateTime previous;
    for (int i = 0; i < 50; ++i) {
        const QByteArray &line = written[i + 1];
        const QStringList fields = QString::fromLatin1(line).split(QLatin1Char(','));
        QCOMPARE(fields.size(), 3);
        const QDateTime time = QDateTime::fromString(fields[0], Qt::ISODateWithMs);
        QVERIFY2(time.isValid() && (i == 0 || time > previous), line.constData());
        QCOMPARE(fields[1], expected[i]);
        // The same time as spreadsheets read one: local, without its offset.
        QCOMPARE(fields[2], fields[0].left(23));
        previous = time;
    }

    // A second run appends; a reading a spreadsheet would evaluate goes in inert and quoted.
    counter.setCustomReply("=SUM(1,2) + 3 Hz\r");
    QCOMPARE(run(counter.devicePath(), QStringLiteral("read DEV --output TMP/readings.csv")).exitCode, 0);
    written = lines(fileText(path));
    QCOMPARE(written.size(), 52);
    QVERIFY2(written.last().contains(",\"'=SUM(1,2) + 3 Hz\","), written.last().constData());

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
        QCOMPARE(QString::fromLatin1(written[i].split(',').value(1)), expected[i - 1]);
}

void TestCli::sendsExactlyWhatTheLineAsks_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("settings in capitals, in order")
        << "set --port 1=DEV g2 F4 h1 R1" << 0 << QByteArray("G2\rF4\rH1\rR1\r");
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
        QVERIFY2(
            result.err.contains("frequency-tallyo " + line.section(QLatin1Char(' '), 0, 0).toLatin1() + " [options]"),
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

std::unique_ptr<CounterSim> TestCli::plugIn(const QString &name, unsigned seed)
{
    CounterSim::Options options;
    options.seed = seed;
    auto counter = std::make_unique<CounterSim>(options);
    const QString link = m_dir.filePath(name);
    QFile::remove(link);
    if (!QFile::link(QString::fromStdString(counter->devicePath()), link))
        return nullptr;
    return counter;
}

Run TestCli::runShell(const std::string &device, const QString &line)
{
    QProcess process;
    process.start(QStringLiteral("bash"), {QStringLiteral("-c"), line, m_program, QString::fromStdString(device)});
    return finished(process);
}

// The counter unplugged in the middle of its nth exchange: its reply is lost
// with the line, and its link goes as an adapter's by-id name does (the
// pseudo-terminal's number may soon serve another program).
void unplugAt(CounterSim &counter, int nth, const QString &link)
{
    counter.setCommandObserver([&counter, nth, link](const std::string &command) {
        if (command == "D1" && counter.readingsServed() == nth) {
            QFile::remove(link);
            counter.hangUp();
        }
    });
}

void TestCli::lostLineIsAGap()
{
    constexpr int kUnplugAt = 20;
    std::unique_ptr<CounterSim> first = plugIn(QStringLiteral("adapter"));
    QVERIFY(first);
    unplugAt(*first, kUnplugAt, m_dir.filePath(QStringLiteral("adapter")));
    const QString path = m_dir.filePath(QStringLiteral("gap.csv"));
    QProcess process;
    start(process, {}, QStringLiteral("read TMP/adapter --count 0 --interval 0.05 --output ") + path);
    // The gap is told and marked once the line is lost; then the counter comes back.
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains("the line was lost"), 20000);
    QVERIFY(fileText(path).contains(",,"));
    std::unique_ptr<CounterSim> second = plugIn(QStringLiteral("adapter"), 2);
    QVERIFY(second);
    QTRY_VERIFY_WITH_TIMEOUT(second->readingsServed() >= 10, 20000);
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    err += process.readAllStandardError();
    QVERIFY2(err.contains("readings again after"), err.constData());

    // Every reading the counters gave, once, in order, around one gap row.
    const QByteArrayList written = lines(fileText(path));
    QStringList expected = servedReadings(kUnplugAt - 1);
    expected << QString() << servedReadings(second->readingsServed(), 2);
    QCOMPARE(written.size() - 1, expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(QString::fromLatin1(written[i + 1].split(',').value(1)), expected[i]);
}

void TestCli::giveUpEndsTheWait()
{
    // An endless run waits as long as --give-up says, then fails.
    std::unique_ptr<CounterSim> counter = plugIn(QStringLiteral("brief"));
    QVERIFY(counter);
    unplugAt(*counter, 5, m_dir.filePath(QStringLiteral("brief")));
    QElapsedTimer timer;
    timer.start();
    const Run gaveUp = run({}, QStringLiteral("read TMP/brief --count 0 --give-up 2"));
    QCOMPARE(gaveUp.exitCode, 1);
    QVERIFY2(timer.elapsed() >= 2000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY2(gaveUp.err.contains("gave up after") && gaveUp.err.contains("Error 1: "), gaveUp.err.constData());
    QCOMPARE(lines(gaveUp.out).size(), 4);

    // A run of a given count fails at once, as a script expects.
    counter = plugIn(QStringLiteral("brief"));
    unplugAt(*counter, 5, m_dir.filePath(QStringLiteral("brief")));
    const Run failed = run({}, QStringLiteral("read TMP/brief --count 100"));
    QCOMPARE(failed.exitCode, 1);
    QVERIFY2(failed.err.contains("Error 9: ") && !failed.err.contains("Trying"), failed.err.constData());
    QCOMPARE(lines(failed.out).size(), 4);
}

void TestCli::startsStayOnTheGrid()
{
    CounterSim counter;
    constexpr int kReadings = 40;
    constexpr qint64 kIntervalMs = 200;
    QCOMPARE(run(counter.devicePath(), QStringLiteral("read DEV --count 40 --interval 0.2")).exitCode, 0);
    std::vector<CounterSim::Clock::time_point> starts;
    const auto bytes = counter.receivedBytes();
    for (size_t i = 1; i < bytes.size(); ++i)
        if (bytes[i - 1].byte == 'D' && bytes[i].byte == '1')
            starts.push_back(bytes[i].arrival);
    QCOMPARE(int(starts.size()), kReadings);
    // Each start nearest to its own slot of the first one's grid, one slot
    // after another. Counted from each previous start instead, the starts
    // drift a few milliseconds a reading, and within 40 readings one lands
    // half an interval off its slot, or on the slot after the next.
    qint64 previousSlot = -1;
    for (const auto &at : starts) {
        const qint64 ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - starts.front()).count();
        const qint64 slot = (ms + kIntervalMs / 2) / kIntervalMs;
        QVERIFY2(std::abs(ms - slot * kIntervalMs) < kIntervalMs / 2, qPrintable(QStringLiteral("%1 ms").arg(ms)));
        QCOMPARE(slot, previousSlot + 1);
        previousSlot = slot;
    }
}

void TestCli::fullDiskEndsWithStatusThree()
{
    // Standard output on a full disk: the reason, and the reading kept.
    CounterSim counter;
    const Run stdoutFull = runShell(counter.devicePath(), QStringLiteral("\"$0\" read \"$1\" > /dev/full"));
    QCOMPARE(stdoutFull.exitCode, 3);
    QVERIFY2(stdoutFull.err.contains("standard output: No space left on device"), stdoutFull.err.constData());
    QVERIFY(stdoutFull.err.contains(servedReadings(1).first().toLatin1() + '\n'));

    // A file on a disk that fills up during the run.
    const QString disk = m_dir.filePath(QStringLiteral("disk"));
    QVERIFY(QDir().mkpath(disk));
    if (::mount("tmpfs", QFile::encodeName(disk).constData(), "tmpfs", 0, "size=64k") != 0)
        QSKIP("mounting a small tmpfs needs root");
    const auto unmount = qScopeGuard([&] { ::umount(QFile::encodeName(disk).constData()); });
    QFile filler(disk + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    filler.write(QByteArray(60 * 1024, 'x')); // a page or so left for the readings
    filler.close();
    CounterSim second;
    const Run full = run(second.devicePath(), QStringLiteral("read DEV --count 0 --output TMP/disk/readings.csv"));
    QCOMPARE(full.exitCode, 3);
    QVERIFY2(full.err.contains("readings.csv: No space left on device"), full.err.constData());
    const QByteArray text = fileText(disk + QStringLiteral("/readings.csv"));
    QVERIFY(text.endsWith('\n'));
    const QByteArrayList written = lines(text);
    const QStringList expected = servedReadings(int(written.size()));
    for (int i = 1; i < written.size(); ++i)
        QCOMPARE(QString::fromLatin1(written[i].split(',').value(1)), expected[i - 1]);
    // The reading that did not fit is on standard error.
    QVERIFY2(full.err.contains(',' + expected.last().toLatin1() + ','), full.err.constData());
}

void TestCli::partialLastLineIsCutAway()
{
    CounterSim counter;
    const QString path = m_dir.filePath(QStringLiteral("crashed.csv"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("time,reading,sheet_time\n2026-12-07T20:01:36.125+00:00,1.0000001,2026-12-07T20:01:36.125\n"
               "2026-12-07T20:01:37.125+00:00,1.0000002");
    file.close();
    const Run appended = run(counter.devicePath(), QStringLiteral("read DEV --output ") + path);
    QCOMPARE(appended.exitCode, 0);
    QVERIFY2(appended.err.contains("partial line") && appended.err.contains("1.0000002"), appended.err.constData());
    const QByteArrayList written = lines(fileText(path));
    QCOMPARE(written.size(), 3);
    QVERIFY(written[1].contains(",1.0000001,"));
    QCOMPARE(QString::fromLatin1(written[2].split(',').value(1)), servedReadings(1).first());
}

void TestCli::namePatternStartsNewFiles()
{
    // A new file each second, in UTC: every reading once, across the files, in order.
    CounterSim counter;
    QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("turns"))));
    QCOMPARE(run(counter.devicePath(),
                 QStringLiteral("read DEV --count 12 --interval 0.25 --utc --output "
                                "TMP/turns/at-%H%M%S.csv"))
                 .exitCode,
             0);
    const QStringList files = QDir(m_dir.filePath(QStringLiteral("turns"))).entryList(QDir::Files, QDir::Name);
    QVERIFY2(files.size() >= 3, qPrintable(files.join(QLatin1Char(' '))));
    QStringList readings;
    for (const QString &name : files) {
        const QByteArrayList written = lines(fileText(m_dir.filePath(QStringLiteral("turns/") + name)));
        QCOMPARE(written.value(0), QByteArray("time,reading,sheet_time"));
        for (const QByteArray &line : written.mid(1)) {
            const QList<QByteArray> fields = line.split(',');
            // Named after the reading's own UTC time.
            QVERIFY2(fields[0].endsWith('Z') && name.mid(3, 6).toLatin1() == fields[2].mid(11, 8).replace(":", ""),
                     line.constData());
            readings << QString::fromLatin1(fields[1]);
        }
    }
    QCOMPARE(readings, servedReadings(12));
}

void TestCli::closedPipeEndsCleanly()
{
    CounterSim counter;
    const Run head =
        runShell(counter.devicePath(), QStringLiteral("\"$0\" read \"$1\" --count 0 | head -3; exit ${PIPESTATUS[0]}"));
    QCOMPARE(head.exitCode, 0);
    QCOMPARE(lines(head.out).size(), 3);
    QCOMPARE(head.err, QByteArray());
    // The port, its lock and its exclusive mark were released: the next run works.
    const Run next = run(counter.devicePath(), QStringLiteral("read DEV"));
    QCOMPARE(next.exitCode, 0);
    QCOMPARE(lines(next.out).size(), 1);
}

void TestCli::hostileRepliesStayOnOneLine_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("shown"); // plain standard output
    QTest::addColumn<QByteArray>("field"); // the CSV field, in the file and with --timestamps
    QTest::newRow("line feed") << QByteArray("1.000\n0000 MHz\r") << QByteArray("1.000\\n0000 MHz")
                               << QByteArray("1.000\\n0000 MHz");
    QTest::newRow("comma") << QByteArray("1,000.0000 MHz\r") << QByteArray("1,000.0000 MHz")
                           << QByteArray("\"1,000.0000 MHz\"");
    QTest::newRow("NUL and tab") << QByteArray("1.0\0\t00000 MHz\r", 15) << QByteArray("1.0\\0\\t00000 MHz")
                                 << QByteArray("1.0\\0\\t00000 MHz");
    QTest::newRow("Latin-1") << QByteArray("10.0000000 \xB5s\r") << QByteArray("10.0000000 \xC2\xB5s")
                             << QByteArray("10.0000000 \xC2\xB5s");
}

void TestCli::hostileRepliesStayOnOneLine()
{
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, shown);
    QFETCH(QByteArray, field);
    CounterSim counter;
    counter.setCustomReply(reply.toStdString());
    QCOMPARE(run(counter.devicePath(), QStringLiteral("read DEV")).out, shown + '\n');
    const QByteArray timed = run(counter.devicePath(), QStringLiteral("read DEV --timestamps")).out;
    QCOMPARE(lines(timed).size(), 1);
    QCOMPARE(timed.mid(timed.indexOf(',') + 1), field + '\n');
    const QString path = m_dir.filePath(
        QStringLiteral("hostile-%1.csv")
            .arg(QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'))));
    QCOMPARE(run(counter.devicePath(), QStringLiteral("read DEV --output ") + path).exitCode, 0);
    const QByteArrayList written = lines(fileText(path));
    QCOMPARE(written.size(), 2);
    QVERIFY2(written[1].contains(',' + field + ','), written[1].constData());
}

void TestCli::spreadsheetRuleCoversTheInjectionList()
{
    using tallyo::reading::csvField;
    QCOMPARE(csvField("\t=1+1"), std::string("'\t=1+1"));
    QCOMPARE(csvField("\r=1+1"), std::string("\"'\r=1+1\""));
    QCOMPARE(csvField("@SUM(A1)"), std::string("'@SUM(A1)"));
    QCOMPARE(csvField("-1.5 mV"), std::string("'-1.5 mV"));
    QCOMPARE(csvField("-1.5"), std::string("-1.5"));
    QCOMPARE(csvField("+1.2345E+06\r"), std::string("+1.2345E+06"));
}

void TestCli::exclusiveMarkWithoutHolder()
{
    // A pseudo-terminal left marked exclusive: its far side (here this test)
    // has it open, but holds no lock, and is not named as the holder.
    CounterSim counter;
    const int fd = ::open(counter.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    QCOMPARE(::ioctl(fd, TIOCEXCL), 0);
    const Run refused = run(counter.devicePath(), QStringLiteral("read DEV"));
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.err.contains("Error 14: ") && refused.err.contains("marked for one program alone")
                 && !refused.err.contains("process"),
             refused.err.constData());
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
