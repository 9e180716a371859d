// The Windows build's command line and installer under wine, run in a wine
// console as a user runs them in a console window, against a simulated
// counter on COM1: what reaches the line, the console and the files, the
// exit statuses, Ctrl+C, and the MSI installed, run and removed.
#include "countersim.h"
#include "wineprefix.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace std::chrono_literals;
using tallyo::sim::CounterSim;

namespace {

constexpr int kProgramTimeoutMs = 120'000; // wine starting a program on a loaded machine
constexpr auto kLineTimeout = 30s;
constexpr char kReply[] = "   12345.6789 Hz\r";
constexpr char kReading[] = "12345.6789 Hz";
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

struct Run {
    int exitCode = -1;
    QString console;
};

QByteArray fileText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What the installer puts on the prefix's C: drive, wherever it is: the
// program's folder, the shortcut.
QStringList filesOfOurs(const QString &driveC)
{
    QStringList found;
    QDirIterator it(driveC, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName().contains(QLatin1String("Frequency Tallyo"), Qt::CaseInsensitive))
            found << path;
    }
    return found;
}

} // namespace

class TestWindowsConsole : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void readAndSetFromAConsole();
    void ctrlCEndsAnEndlessReadWithEveryReadingWritten();
    void installerInstallsWhatRunsAndRemovesIt();
    void cleanupTestCase();

private:
    Run run(const QString &exe, const QStringList &arguments);

    CounterSim m_counter;
    tallyo::wine::WinePrefix m_wine;
    QTemporaryDir m_dir;
    QString m_program;
};

void TestWindowsConsole::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_program = tallyo::wine::windowsPackage() + QStringLiteral("/frequency-tallyo.exe");
    QVERIFY2(QFileInfo::exists(m_program), qPrintable(m_program));
    const QString error = m_wine.prepare(1, QString::fromStdString(m_counter.devicePath()));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    m_counter.setCustomReply(kReply);
}

Run TestWindowsConsole::run(const QString &exe, const QStringList &arguments)
{
    QProcess process;
    m_wine.setUpInConsole(process, exe, arguments);
    process.start();
    Run result;
    if (!process.waitForFinished(kProgramTimeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.console = tallyo::wine::consoleText(process.readAll());
    return result;
}

void TestWindowsConsole::readAndSetFromAConsole()
{
    // Readings on standard output, in the console.
    m_counter.clearReceived();
    Run result = run(m_program,
                     {QStringLiteral("read"), QStringLiteral("COM1"), QStringLiteral("--count"), QStringLiteral("3")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.console.count(QLatin1String(kReading)), 3);
    QCOMPARE(m_counter.received(), std::string("D1D1D1"));

    // Twenty into a file: UTF-8 with its byte-order mark, a header, one
    // reading a line; nothing in the console.
    const QString path = m_dir.filePath(QStringLiteral("f.csv"));
    m_counter.clearReceived();
    result = run(m_program,
                 {QStringLiteral("read"), QStringLiteral("COM1"), QStringLiteral("--count"), QStringLiteral("20"),
                  QStringLiteral("--output"), tallyo::wine::windowsPath(path)});
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(!result.console.contains(QLatin1String(kReading)), qPrintable(result.console));
    QCOMPARE(m_counter.commands(), std::vector<std::string>(20, "D1"));
    const QByteArray text = fileText(path);
    QVERIFY2(text.startsWith(QByteArray(kByteOrderMark) + "time,reading,sheet_time\n"),
             text.left(40).toHex().constData());
    const QByteArrayList lines = text.trimmed().split('\n');
    QCOMPARE(lines.size(), 21);
    for (const QByteArray &line : lines.mid(1))
        QCOMPARE(line.split(',').value(1), QByteArray(kReading));

    // Settings go out in capitals, in order.
    m_counter.clearReceived();
    result =
        run(m_program, {QStringLiteral("set"), QStringLiteral("COM1"), QStringLiteral("g2"), QStringLiteral("f0")});
    QCOMPARE(result.exitCode, 0);
    QVERIFY(m_counter.waitForReceivedBytes(6, kLineTimeout));
    QCOMPARE(m_counter.received(), std::string("G2\rF0\r"));

    // Failures reach the console from standard error, with their status:
    // the line (a port with nothing behind it), the usage.
    result = run(m_program, {QStringLiteral("read"), QStringLiteral("COM9")});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.console.contains(QLatin1String("Error ")) && result.console.contains(QLatin1String("COM9")),
             qPrintable(result.console));
    result = run(m_program, {QStringLiteral("set"), QStringLiteral("COM1"), QStringLiteral("X9")});
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.console.contains(QLatin1String("Usage: "))
                 && result.console.contains(QLatin1String("set [options] [PORT] COMMAND")),
             qPrintable(result.console));
}

void TestWindowsConsole::ctrlCEndsAnEndlessReadWithEveryReadingWritten()
{
    const QString path = m_dir.filePath(QStringLiteral("endless.csv"));
    const int servedBefore = m_counter.readingsServed();
    QProcess process;
    m_wine.setUpInConsole(process, m_program,
                          {QStringLiteral("read"), QStringLiteral("COM1"), QStringLiteral("--count"),
                           QStringLiteral("0"), QStringLiteral("--output"), tallyo::wine::windowsPath(path)});
    process.start();
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(fileText(path).count('\n') > 10, kProgramTimeoutMs);
    process.write("\x03");
    QVERIFY(process.waitForFinished(kProgramTimeoutMs));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);

    const QByteArray text = fileText(path);
    QVERIFY(text.endsWith('\n'));
    const QByteArrayList lines = text.trimmed().split('\n');
    QCOMPARE(lines.size() - 1, m_counter.readingsServed() - servedBefore);
    for (const QByteArray &line : lines.mid(1))
        QCOMPARE(line.split(',').value(1), QByteArray(kReading));
}

void TestWindowsConsole::installerInstallsWhatRunsAndRemovesIt()
{
    const QDir build(tallyo::wine::windowsBuild());
    const QStringList msis = build.entryList({QStringLiteral("frequency-tallyo-windows-*.msi")});
    QCOMPARE(msis.size(), 1);
    const QString msi = tallyo::wine::windowsPath(build.filePath(msis.first()));
    // Left by a run that did not get to its end.
    if (!filesOfOurs(m_wine.driveC()).isEmpty())
        m_wine.runProgram(QStringLiteral("msiexec"), {QStringLiteral("/x"), msi, QStringLiteral("/qn")});

    QString error = m_wine.runProgram(QStringLiteral("msiexec"), {QStringLiteral("/i"), msi, QStringLiteral("/qn")});
    QVERIFY2(error.isEmpty(), qPrintable(error));
    const QString installed = m_wine.driveC() + QStringLiteral("/Program Files/Frequency Tallyo");
    for (const char *file : {"frequency-tallyo.exe", "tallyo-excel.dll", "Qt6Widgets.dll", "platforms/qwindows.dll",
                             "libwinpthread-1.dll", "licenses/GPL-3.0.txt", "licenses/LGPL-3.0.txt"})
        QVERIFY2(QFileInfo::exists(installed + QLatin1Char('/') + QLatin1String(file)), file);
    QVERIFY2(filesOfOurs(m_wine.driveC()).filter(QStringLiteral("Frequency Tallyo.lnk")).size() == 1,
             qPrintable(filesOfOurs(m_wine.driveC()).join(QLatin1Char('\n'))));

    // The installed program answers.
    m_counter.clearReceived();
    const Run result =
        run(installed + QStringLiteral("/frequency-tallyo.exe"), {QStringLiteral("read"), QStringLiteral("COM1")});
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.console.contains(QLatin1String(kReading)), qPrintable(result.console));
    QCOMPARE(m_counter.received(), std::string("D1"));

    error = m_wine.runProgram(QStringLiteral("msiexec"), {QStringLiteral("/x"), msi, QStringLiteral("/qn")});
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(filesOfOurs(m_wine.driveC()), QStringList());
    // Nor a registry entry (the uninstaller's, the shortcut's): wine writes
    // the machine's registry out when its session ends.
    m_wine.stop();
    QVERIFY(!fileText(m_wine.driveC() + QStringLiteral("/../system.reg")).contains("Frequency Tallyo"));
}

void TestWindowsConsole::cleanupTestCase()
{
    m_wine.stop();
}

QTEST_GUILESS_MAIN(TestWindowsConsole)
#include "tst_windows_console.moc"
