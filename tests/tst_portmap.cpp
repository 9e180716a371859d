// Which device each port number reaches: the command line, the user's port
// map file, the machine's listing, and what --list-ports and a refused open
// tell the user.
#include "commandline.h"
#include "permissionhint.h"
#include "portmap.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

using namespace tallyo;
using Action = CommandLine::Action;

namespace {
CommandLine parse(const QString &arguments)
{
    return parseCommandLine(QStringList{QStringLiteral("frequency-tallyo")}
                            + arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts));
}

std::map<int, QString> devicesOf(const PortBindings &bindings)
{
    std::map<int, QString> devices;
    for (const auto &[n, binding] : bindings)
        devices[n] = binding.device;
    return devices;
}

bool touch(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}
} // namespace

class TestPortMap : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void optionsTheProgramRunsWith();
    void badCommandLinesExitWithUsage_data();
    void badCommandLinesExitWithUsage();
    void commandLineWinsOverTheFile();
    void numbersKeepTheirDeviceWhileItIsListed();
    void listingNamesDevicesStableNamesAndBindings();
    void permissionRemedyNamesTheDevicesGroup();
};

void TestPortMap::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("frequency-tallyo"));
    QCoreApplication::setApplicationVersion(QStringLiteral("3.2.1"));
}

void TestPortMap::optionsTheProgramRunsWith()
{
    const CommandLine bound = parse(QStringLiteral("--port 1=/dev/rfcomm0 --port=3=ttyUSB0 -platform offscreen"));
    QCOMPARE(int(bound.action), int(Action::OpenWindow));
    QCOMPARE(devicesOf(bound.ports),
             (std::map<int, QString>{{1, QStringLiteral("/dev/rfcomm0")}, {3, QStringLiteral("/dev/ttyUSB0")}}));

    QCOMPARE(int(parse(QStringLiteral("--list-ports --port 2=/dev/pts/4")).action), int(Action::ListPorts));
    QVERIFY(!bound.logLine);
    QVERIFY(parse(QStringLiteral("--log")).logLine);

    const CommandLine help = parse(QStringLiteral("--help"));
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.output.contains(QStringLiteral("--port <N=DEVICE>")));
    QVERIFY(help.output.contains(QStringLiteral("--log")));
    QVERIFY(!help.output.contains(QStringLiteral("platform")));
    QCOMPARE(parse(QStringLiteral("--version")).output, QStringLiteral("frequency-tallyo 3.2.1\n"));
}

void TestPortMap::badCommandLinesExitWithUsage_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("named");
    QTest::newRow("number too high") << "--port 7=/dev/ttyS0"
                                     << "7=/dev/ttyS0";
    QTest::newRow("number zero") << "--port 0=/dev/ttyS0"
                                 << "must be 1 to 6";
    QTest::newRow("no equals sign") << "--port /dev/ttyUSB0"
                                    << "expected N=DEVICE";
    QTest::newRow("no device") << "--port 2="
                               << "no device";
    QTest::newRow("no value") << "--port"
                              << "--port";
    QTest::newRow("bound twice") << "--port 1=/dev/a --port 1=/dev/b"
                                 << "bound twice";
    QTest::newRow("unknown option") << "--list-port"
                                    << "list-port";
    QTest::newRow("stray argument") << "/dev/ttyUSB0"
                                    << "unexpected argument";
}

void TestPortMap::badCommandLinesExitWithUsage()
{
    QFETCH(QString, arguments);
    QFETCH(QString, named);
    const CommandLine line = parse(arguments);
    QCOMPARE(int(line.action), int(Action::Finish));
    QCOMPARE(line.exitCode, 2);
    QVERIFY2(line.output.contains(named), qPrintable(line.output));
    QVERIFY(line.output.contains(QStringLiteral("Usage:")));
}

void TestPortMap::commandLineWinsOverTheFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ports.conf"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("# the bench counter\n"
               "1=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n"
               "\n"
               "2 = rfcomm0\n"
               "7=/dev/ttyS3\n"
               "4=\n"
               "/dev/ttyUSB0\n"
               "1=/dev/ttyS0\n");
    file.close();

    // Every line left out is named by its number, each in a message of its own.
    QStringList problems;
    const PortBindings fromFile = readPortBindingsFile(path, &problems);
    QCOMPARE(problems.size(), 4);
    QVERIFY2(problems[0].startsWith(path + QStringLiteral(":5: \"7\"")), qPrintable(problems[0]));
    QVERIFY2(problems[1].startsWith(path + QStringLiteral(":6: port 4")), qPrintable(problems[1]));
    QVERIFY2(problems[2].startsWith(path + QStringLiteral(":7: \"/dev/ttyUSB0\" is not N=DEVICE")),
             qPrintable(problems[2]));
    QVERIFY2(problems[3].startsWith(path + QStringLiteral(":8: port 1 is bound already, on line 2")),
             qPrintable(problems[3]));
    QCOMPARE(fromFile.at(2).origin, path);

    const PortBindings merged = mergedBindings(fromFile, parse(QStringLiteral("--port 2=/dev/pts/9")).ports);
    QCOMPARE(
        devicesOf(merged),
        (std::map<int, QString>{{1, QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0")},
                                {2, QStringLiteral("/dev/pts/9")}}));

    problems.clear();
    QVERIFY(readPortBindingsFile(dir.filePath(QStringLiteral("absent.conf")), &problems).empty());
    QVERIFY(problems.isEmpty());
}

void TestPortMap::numbersKeepTheirDeviceWhileItIsListed()
{
    QStringList machine{QStringLiteral("/dev/ttyUSB1")};
    PortMap map = listedPortMap([&] { return machine; }, std::chrono::milliseconds(0));
    QCOMPARE(map(1), QStringLiteral("/dev/ttyUSB1"));
    // An adapter plugged in later sorts first, yet takes the free number.
    machine.prepend(QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(map(1), QStringLiteral("/dev/ttyUSB1"));
    QCOMPARE(map(2), QStringLiteral("/dev/ttyUSB0"));
    // Unplugged: its number is free, and nothing moves into it but a newcomer.
    machine.removeLast();
    QCOMPARE(map(1), QString());
    QCOMPARE(map(2), QStringLiteral("/dev/ttyUSB0"));
    machine << QStringLiteral("/dev/ttyACM0");
    QCOMPARE(map(1), QStringLiteral("/dev/ttyACM0"));
    QCOMPARE(map(2), QStringLiteral("/dev/ttyUSB0"));
}

void TestPortMap::listingNamesDevicesStableNamesAndBindings()
{
    // Unbound numbers take the listed devices in order, less any a binding
    // reaches through a link, so no two numbers reach one adapter.
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("by-id")));
    const QString usb0 = dir.filePath(QStringLiteral("ttyUSB0")), usb1 = dir.filePath(QStringLiteral("ttyUSB1"));
    const QString usb2 = dir.filePath(QStringLiteral("ttyUSB2"));
    const QString stable0 = dir.filePath(QStringLiteral("by-id/usb-FTDI_A50285BI-if00-port0"));
    const QString stable1 = dir.filePath(QStringLiteral("by-id/usb-Prolific_PL2303-if00-port0"));
    QVERIFY(touch(usb0) && touch(usb1) && QFile::link(usb0, stable0) && QFile::link(usb1, stable1));
    const auto names = stableDeviceNames(dir.filePath(QStringLiteral("by-id")));
    QCOMPARE(names.size(), size_t(2));

    const QString missing = dir.filePath(QStringLiteral("rfcomm0"));
    const PortBindings bindings{{1, {missing, QStringLiteral("/home/ann/.config/frequency-tallyo/ports.conf")}},
                                {3, {stable1, QStringLiteral("--port")}}};
    const PortMap map = listedPortMap([&] { return QStringList{usb0, usb1, usb2}; }, std::chrono::hours(1), bindings);
    QCOMPARE(
        describePorts(map, bindings, names),
        (QStringList{
            QStringLiteral("1: %1, bound in /home/ann/.config/frequency-tallyo/ports.conf, missing now").arg(missing),
            QStringLiteral("2: %1 (%2)").arg(usb0, stable0),
            QStringLiteral("3: %1 (now %2), bound by --port").arg(stable1, usb1),
            QStringLiteral("4: %1").arg(usb2),
            QStringLiteral("5: no device"),
            QStringLiteral("6: no device"),
        }));
}

void TestPortMap::permissionRemedyNamesTheDevicesGroup()
{
    const struct group *dialout = ::getgrnam("dialout");
    if (!dialout || ::geteuid() != 0)
        QSKIP("needs the group dialout, and root to give a file to it and to act as another user");
    QTemporaryDir dir;
    QVERIFY(QFile::setPermissions(dir.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                      | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
    const QString device = dir.filePath(QStringLiteral("ttyUSB0"));
    QVERIFY(touch(device));
    QCOMPARE(::chown(QFile::encodeName(device).constData(), 0, dialout->gr_gid), 0);
    QVERIFY(QFile::setPermissions(device, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::WriteGroup));
    // Whoever may open it needs no remedy: something else refused them.
    QCOMPARE(permissionRemedy(device), QString());

    const struct passwd *nobody = ::getpwnam("nobody");
    QVERIFY(nobody);
    auto remedyForNobody = [&] {
        const bool switched = ::seteuid(nobody->pw_uid) == 0;
        const QString text = permissionRemedy(device);
        return switched && ::seteuid(0) == 0 ? text : QStringLiteral("(could not act as nobody)");
    };
    const QString remedy = remedyForNobody();
    QVERIFY(QFile::setPermissions(device, QFile::ReadOwner | QFile::WriteOwner));
    const QString ownerOnly = remedyForNobody();
    QVERIFY2(
        remedy.contains(QStringLiteral("group dialout: sudo usermod -aG dialout $USER, then log out and in again")),
        qPrintable(remedy));
    QVERIFY(remedy.contains(device));
    // A device its group may not use: joining the group would not help.
    QVERIFY2(ownerOnly.contains(QStringLiteral("administrator")), qPrintable(ownerOnly));
}

QTEST_GUILESS_MAIN(TestPortMap)
#include "tst_portmap.moc"
