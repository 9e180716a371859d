// The Windows build, as shipped in the zip, under wine on a virtual display:
// COM1 reaches a simulated counter on a pty, and the window is driven with
// the mouse and keyboard as a user drives it. What it shows is read back the
// way a user would take it away: selected and copied to the clipboard.
#include "countersim.h"
#include "layout.h"
#include "programlife.h"
#include "rig.h"
#include "wineprefix.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QPoint>
#include <QProcess>
#include <QtTest>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;
using tallyo::ProgramLife;
using tallyo::sim::CounterSim;
using tallyo::test::kLoadedMachineMargin;

namespace {

constexpr int kWindowTimeoutMs = 120'000; // wine starting the program on a loaded machine
constexpr auto kLineTimeout = 30s;

QString xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    process.waitForFinished(30'000);
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

} // namespace

class TestWindows : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void dataShowsTheCountersReading();
    void oneSecondGateSendsG2();
    void fastestRecordingWritesEveryReadingOnce();
    void exitSendsRemoteOffAndEnds();
    void vanishedExcelLeavesAFileWithByteOrderMark();
    void exitEndsInTimeWhenOutputNeverDrains();
    void cleanupTestCase();

private:
    void startWindow();
    void endProgram();
    QStringList windowsCaptioned() const;
    QPoint centreOf(const char *control) const;
    void click(const char *control);
    void chooseFastest();
    void control(const QByteArray &text) const;
    QStringList rowsWritten() const;

    CounterSim m_counter;
    tallyo::wine::WinePrefix m_wine;
    QProcess m_program;
    QString m_window;
    QPoint m_clientOrigin;
    QString m_standInLog;
};

void TestWindows::initTestCase()
{
    const QString package = tallyo::wine::windowsPackage();
    QVERIFY2(QFileInfo::exists(package + QStringLiteral("/frequency-tallyo.exe")), qPrintable(package));
    QString error = m_wine.prepare(1, QString::fromStdString(m_counter.devicePath()));
    QVERIFY2(error.isEmpty(), qPrintable(error));

#ifdef TALLYO_EXCEL_STANDIN
    // The stand-in Excel answers "Excel.Application" and logs every call.
    const QString standIn = QStringLiteral(TALLYO_EXCEL_STANDIN);
    m_standInLog = QDir(QDir::tempPath()).filePath(QStringLiteral("tallyo-standin-%1.log").arg(getpid()));
    QFile::remove(m_standInLog);
    // A control file of our own, which does not exist: it behaves throughout.
    error = m_wine.runProgram(standIn,
                              {QStringLiteral("/regserver"), QStringLiteral("/log"),
                               tallyo::wine::windowsPath(m_standInLog), QStringLiteral("/control"),
                               tallyo::wine::windowsPath(m_standInLog + QStringLiteral(".control"))});
    QVERIFY2(error.isEmpty(), qPrintable(error));
    // COM activation wants a wine session that did not make the registration.
    m_wine.stop();
#endif

    startWindow();
}

// A test that failed half-way leaves its program running: the next starts
// its own.
void TestWindows::endProgram()
{
    if (m_program.state() == QProcess::NotRunning)
        return;
    m_program.kill();
    m_program.waitForFinished(kWindowTimeoutMs);
    QVERIFY(QTest::qWaitFor([&] { return windowsCaptioned().isEmpty(); }, kWindowTimeoutMs));
}

// The main window and any message box: they have the same caption.
QStringList TestWindows::windowsCaptioned() const
{
    return xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                    QStringLiteral("^%1$").arg(QLatin1String(tallyo::kWindowCaption))})
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestWindows::startWindow()
{
    endProgram();
    if (QTest::currentTestFailed())
        return;
    m_wine.setUp(m_program, tallyo::wine::windowsPackage() + QStringLiteral("/frequency-tallyo.exe"));
    m_program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_program.start();
    QVERIFY(m_program.waitForStarted());

    QVERIFY(QTest::qWaitFor(
        [&] {
            const QStringList windows = windowsCaptioned();
            m_window = windows.value(0);
            return !windows.isEmpty();
        },
        kWindowTimeoutMs));
    const QString &window = m_window;

    // The X window may include a frame wine draws itself: borders alike on
    // three sides, the caption on top.
    QMap<QString, int> geometry;
    for (const QString &line :
         xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window}).split(QLatin1Char('\n'))) {
        geometry[line.section(QLatin1Char('='), 0, 0)] = line.section(QLatin1Char('='), 1).toInt();
    }
    const int border = (geometry[QStringLiteral("WIDTH")] - tallyo::twipsToPixels(tallyo::kClientWidthTwips)) / 2;
    const int caption = geometry[QStringLiteral("HEIGHT")] - tallyo::twipsToPixels(tallyo::kClientHeightTwips) - border;
    QVERIFY2(border >= 0 && caption >= 0, "the window is smaller than its client area");
    m_clientOrigin = QPoint(geometry[QStringLiteral("X")] + border, geometry[QStringLiteral("Y")] + caption);
}

QPoint TestWindows::centreOf(const char *control) const
{
    QPoint offset;
    const auto &table = tallyo::controlTable();
    auto find = [&](const QString &name) {
        return std::find_if(table.begin(), table.end(), [&](const auto &r) { return name == QLatin1String(r.name); });
    };
    const auto record = find(QLatin1String(control));
    Q_ASSERT(record != table.end());
    if (*record->container) {
        const auto frame = find(QLatin1String(record->container));
        offset = QPoint(frame->left, frame->top);
    }
    const QPoint twips = offset + QPoint(record->left + record->width / 2, record->top + record->height / 2);
    return m_clientOrigin + QPoint(tallyo::twipsToPixels(twips.x()), tallyo::twipsToPixels(twips.y()));
}

void TestWindows::click(const char *control)
{
    const QPoint at = centreOf(control);
    xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(at.x()), QString::number(at.y()),
             QStringLiteral("click"), QStringLiteral("1")});
}

void TestWindows::dataShowsTheCountersReading()
{
    m_counter.setCustomReply("   12345.6789 Hz\r");
    m_counter.clearReceived();
    click("Command2");
    QVERIFY(m_counter.waitForReceivedBytes(2, kLineTimeout));

    // Select the display's text and copy it, as a user would.
    QClipboard *clipboard = QGuiApplication::clipboard();
    QString copied;
    QVERIFY(QTest::qWaitFor(
        [&] {
            click("Text1");
            xdotool({QStringLiteral("key"), QStringLiteral("ctrl+a"), QStringLiteral("ctrl+c")});
            copied = clipboard->text();
            return copied.startsWith(QLatin1Char('1'));
        },
        kWindowTimeoutMs));
    // The clipboard may carry the reply's closing CR as a line end of its own.
    while (copied.endsWith(QLatin1Char('\r')) || copied.endsWith(QLatin1Char('\n')))
        copied.chop(1);
    QCOMPARE(copied, QStringLiteral("12345.6789 Hz"));
    QCOMPARE(m_counter.received(), std::string("D1"));
}

void TestWindows::oneSecondGateSendsG2()
{
    m_counter.clearReceived();
    click("Option13");
    QVERIFY(m_counter.waitForReceivedBytes(3, kLineTimeout));
    QCOMPARE(m_counter.received(), std::string("G2\r"));
}

// The cells the stand-in was given, in the order it was given them, as
// "row<TAB>text" (the text as logged): one cell at a time, or a run of rows
// of column A in one call.
QStringList TestWindows::rowsWritten() const
{
    QFile log(m_standInLog);
    if (!log.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression cell(QStringLiteral("^put Cells\\((\\d+),1\\)\\.Formula = \"(.*)\"$"));
    static const QRegularExpression run(QStringLiteral("^put Range\\(\"A(\\d+):A\\d+\"\\)\\.Formula = \\{(.*)\\}$"));
    static const QRegularExpression text(QStringLiteral("\"((?:[^\"\\\\]|\\\\.)*)\"[;}]"));
    QStringList rows;
    for (const QString &line : QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'))) {
        if (const auto match = cell.match(line.trimmed()); match.hasMatch()) {
            rows << match.captured(1) + QLatin1Char('\t') + match.captured(2);
        } else if (const auto batch = run.match(line.trimmed()); batch.hasMatch()) {
            int row = batch.captured(1).toInt();
            for (const auto &element : text.globalMatch(batch.captured(2) + QLatin1Char('}')))
                rows << QString::number(row++) + QLatin1Char('\t') + element.captured(1);
        }
    }
    return rows;
}

// "Fastest" is the list's first entry, six above the "1 Minute" of the start.
void TestWindows::chooseFastest()
{
    click("Combo1");
    xdotool({QStringLiteral("key"), QStringLiteral("Up"), QStringLiteral("Up"), QStringLiteral("Up"),
             QStringLiteral("Up"), QStringLiteral("Up"), QStringLiteral("Up")});
}

// What the stand-in Excel is to do (its control file).
void TestWindows::control(const QByteArray &text) const
{
    QFile file(m_standInLog + QStringLiteral(".control"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

void TestWindows::fastestRecordingWritesEveryReadingOnce()
{
    if (m_standInLog.isEmpty())
        QSKIP("no stand-in Excel (tests/excel needs g++-mingw-w64-x86-64-win32)");
    const int servedBefore = m_counter.readingsServed();
    chooseFastest();
    click("Command4");
    QVERIFY(QTest::qWaitFor([&] { return rowsWritten().size() >= 30; }, kWindowTimeoutMs));
    click("Command5");

    // Every reading the counter served once the recording began is a row,
    // once, in order; the stop ends the readings.
    QStringList rows;
    QVERIFY(QTest::qWaitFor(
        [&] {
            rows = rowsWritten();
            return rows.size() == m_counter.readingsServed() - servedBefore;
        },
        kWindowTimeoutMs));
    QStringList expected;
    for (int row = 1; row <= rows.size(); ++row)
        expected << QStringLiteral("%1\t12345.6789 Hz\\r").arg(row);
    QCOMPARE(rows, expected);
}

void TestWindows::exitSendsRemoteOffAndEnds()
{
    if (!m_standInLog.isEmpty()) {
        // A recording whose Excel hangs in a cell write: EXIT still ends the
        // program (a thread of ours stays inside that call).
        control("hang-after-cells 5\n");
        click("Command4");
        QVERIFY(QTest::qWaitFor(
            [&] {
                QFile log(m_standInLog);
                return log.open(QIODevice::ReadOnly) && log.readAll().contains("\nhang");
            },
            kWindowTimeoutMs));
    }
    m_counter.clearReceived();
    click("Command3");
    QVERIFY(m_program.waitForFinished(kWindowTimeoutMs));
    QCOMPARE(m_program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_program.exitCode(), 0);
    // Closing waited for the bytes: they are on the line, nothing after them
    // (the recording's reading requests come before them).
    QVERIFY(m_counter.waitForReceivedBytes(3, kLineTimeout));
    std::string received = m_counter.received();
    QVERIFY2(received.size() >= 3 && received.compare(received.size() - 3, 3, "R0\r") == 0, received.c_str());
    received.resize(received.size() - 3);
    for (size_t i = 0; i < received.size(); i += 2)
        QCOMPARE(received.substr(i, 2), std::string("D1"));
}

void TestWindows::vanishedExcelLeavesAFileWithByteOrderMark()
{
    if (m_standInLog.isEmpty())
        QSKIP("no stand-in Excel (tests/excel needs g++-mingw-w64-x86-64-win32)");
    const QDir documents(m_wine.documents());
    const QStringList unwritten{QStringLiteral("frequency-tallyo-unwritten-*.csv")};
    for (const QString &old : documents.entryList(unwritten))
        QFile::remove(documents.filePath(old));
    control("exit-after-cells 10\n");
    startWindow();
    if (QTest::currentTestFailed())
        return;
    chooseFastest();
    click("Command4");
    // Excel quits in the middle of a cell write: what it had not taken is
    // saved to a file in the user's documents, before the message says so.
    QStringList files;
    QVERIFY(QTest::qWaitFor([&] { return !(files = documents.entryList(unwritten)).isEmpty(); }, kWindowTimeoutMs));
    QFile file(documents.filePath(files.first()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY2(text.startsWith("\xEF\xBB\xBFrow,reading,note\n"), text.left(40).toHex().constData());
    // Read back: the rows after those the sheet took, in order, each with
    // the reading as the counter sent it; the write Excel died in may be in
    // the sheet and says so.
    const QStringList lines = QString::fromUtf8(text.mid(3)).trimmed().split(QLatin1Char('\n')).mid(1);
    QVERIFY(!lines.isEmpty());
    QVERIFY2(lines.first().endsWith(QLatin1String(",maybe-in-sheet")), qPrintable(lines.first()));
    const int first = lines.first().section(QLatin1Char(','), 0, 0).toInt();
    QVERIFY2(first > 10, qPrintable(lines.first()));
    bool inFlight = true;
    for (int i = 0; i < lines.size(); ++i) {
        const QStringList fields = lines[i].split(QLatin1Char(','));
        QCOMPARE(fields.size(), 3);
        QCOMPARE(fields[0].toInt(), first + i);
        QCOMPARE(fields[1], QStringLiteral("12345.6789 Hz"));
        inFlight = inFlight && !fields[2].isEmpty();
        QCOMPARE(fields[2], inFlight ? QStringLiteral("maybe-in-sheet") : QString());
    }
    QFile::remove(file.fileName());

    // The message comes after the file: once it shows, it takes the key (it
    // has the main window's caption), and once closed, EXIT ends the program.
    QString box;
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (const QString &window : windowsCaptioned()) {
                if (window != m_window)
                    box = window;
            }
            return !box.isEmpty();
        },
        kWindowTimeoutMs));
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (!windowsCaptioned().contains(box))
                return true;
            xdotool({QStringLiteral("windowfocus"), box});
            xdotool({QStringLiteral("key"), QStringLiteral("Return")});
            return QTest::qWaitFor([&] { return !windowsCaptioned().contains(box); }, 5'000);
        },
        kWindowTimeoutMs));
    click("Command3");
    QVERIFY(m_program.waitForFinished(kWindowTimeoutMs));
    QCOMPARE(m_program.exitCode(), 0);
}

void TestWindows::exitEndsInTimeWhenOutputNeverDrains()
{
    startWindow();
    if (QTest::currentTestFailed())
        return;
    m_counter.clearReceived();
    click("Command2");
    QVERIFY(m_counter.waitForReceivedBytes(2, kLineTimeout));
    // The line stops taking bytes (as a stuck adapter, or a modem holding
    // the line with flow control): "R0" never leaves.
    const int line = ::open(m_counter.devicePath().c_str(), O_RDWR | O_NOCTTY);
    QVERIFY(line >= 0);
    QVERIFY(::tcflow(line, TCOOFF) == 0);
    QElapsedTimer took;
    took.start();
    click("Command3");
    const bool ended = m_program.waitForFinished(kWindowTimeoutMs);
    const qint64 ms = took.elapsed();
    // The line really was stuck: "R0" had not left when the program ended.
    const std::string received = m_counter.received();
    ::tcflow(line, TCOON);
    ::close(line);
    QVERIFY(ended);
    QCOMPARE(m_program.exitCode(), 0);
    QCOMPARE(received, std::string("D1"));
    // The program's end budget, and the margin a loaded machine adds (wine
    // taking the process down among it).
    QVERIFY2(ms < (ProgramLife::kEndBudget + kLoadedMachineMargin).count(), qPrintable(QString::number(ms)));
}

void TestWindows::cleanupTestCase()
{
    if (!m_standInLog.isEmpty())
        QFile::remove(m_standInLog);
    if (m_program.state() != QProcess::NotRunning) {
        m_program.kill();
        m_program.waitForFinished();
    }
    m_wine.stop();
}

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"
