#include "portmap.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#ifndef Q_OS_WIN
#include <QSerialPortInfo>
#endif
#include <QStandardPaths>
#include <algorithm>
#include <memory>
#include <set>
#include <variant>

namespace tallyo {

namespace {
// Orders by the name's stem, then by its trailing number, so that ttyUSB2
// comes before ttyUSB10.
bool deviceNameLess(const QString &a, const QString &b)
{
    auto split = [](const QString &name) {
        qsizetype stemEnd = name.size();
        while (stemEnd > 0 && name.at(stemEnd - 1).isDigit())
            --stemEnd;
        return std::pair{name.left(stemEnd), name.mid(stemEnd).toLongLong()};
    };
    return split(a) < split(b);
}

// Listed devices and the numbers they hold for this run.
struct Assignment {
    std::function<QStringList()> list;
    std::chrono::milliseconds maxAge;
    PortBindings bindings;
    QElapsedTimer age;
    std::map<int, QString> held;

    void relist()
    {
        const QStringList listed = list();
        age.start();
        std::erase_if(held, [&](const auto &entry) { return !listed.contains(entry.second); });
        std::set<QString> taken;
        for (const auto &[number, binding] : bindings)
            taken.insert(deviceBehind(binding.device));
        for (const auto &[number, device] : held)
            taken.insert(deviceBehind(device));
        int next = 1;
        for (const QString &device : listed) {
            if (!taken.insert(deviceBehind(device)).second)
                continue;
            while (bindings.count(next) || held.count(next))
                ++next;
            held[next] = device;
        }
    }

    QString device(int n)
    {
        if (auto bound = bindings.find(n); bound != bindings.end())
            return bound->second.device;
        const bool stale = !age.isValid() || std::chrono::milliseconds(age.elapsed()) >= maxAge;
        if (stale || !held.count(n))
            relist();
        auto it = held.find(n);
        return it == held.end() ? QString() : it->second;
    }
};
// "N=DEVICE" -> a binding, or the sentence that says what is wrong with it.
std::variant<std::pair<int, QString>, QString> parseBinding(const QString &text)
{
    const qsizetype equals = text.indexOf(QLatin1Char('='));
    if (equals < 0)
        return QStringLiteral("--port %1: expected N=DEVICE, for example --port 1=/dev/ttyUSB0.").arg(text);
    bool isNumber = false;
    const int n = text.left(equals).trimmed().toInt(&isNumber);
    const QString device = text.mid(equals + 1).trimmed();
    if (!isNumber || n < kFirstPortNumber || n > kLastPortNumber)
        return QStringLiteral("--port %1: the port number must be %2 to %3.")
            .arg(text)
            .arg(kFirstPortNumber)
            .arg(kLastPortNumber);
    if (device.isEmpty())
        return QStringLiteral("--port %1: no device after \"=\".").arg(text);
    return std::pair{n, normalizedDevice(device)};
}
} // namespace

QString deviceBehind(const QString &path)
{
    const QString real = QFileInfo(path).canonicalFilePath();
    return real.isEmpty() ? path : real;
}

QStringList listedSerialDevices()
{
    QStringList devices;
#ifndef Q_OS_WIN
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        devices << info.systemLocation();
#endif
    std::sort(devices.begin(), devices.end(), deviceNameLess);
    return devices;
}

PortMap systemPortMap(PortBindings bindings)
{
#ifdef Q_OS_WIN
    return [bindings = std::move(bindings)](int n) {
        auto bound = bindings.find(n);
        return bound != bindings.end() ? bound->second.device : QStringLiteral("COM%1").arg(n);
    };
#else
    return listedPortMap(listedSerialDevices, std::chrono::seconds(2), std::move(bindings));
#endif
}

PortMap listedPortMap(std::function<QStringList()> list, std::chrono::milliseconds maxAge, PortBindings bindings)
{
    auto assignment = std::make_shared<Assignment>();
    assignment->list = std::move(list);
    assignment->maxAge = maxAge;
    assignment->bindings = std::move(bindings);
    return [assignment](int n) { return assignment->device(n); };
}

PortMap fixedPortMap(const QStringList &devices)
{
    return [devices](int n) { return n >= 1 && n <= devices.size() ? devices.at(n - 1) : QString(); };
}

QString normalizedDevice(const QString &device)
{
#ifdef Q_OS_WIN
    return device;
#else
    return device.contains(QLatin1Char('/')) || device.isEmpty() ? device : QStringLiteral("/dev/") + device;
#endif
}

PortBindings readPortBindingsFile(const QString &path, QStringList *problems)
{
    PortBindings bindings;
    if (!QFileInfo::exists(path))
        return bindings;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        problems->append(
            QStringLiteral("%1: cannot be read (%2); no port is bound by it.").arg(path, file.errorString()));
        return bindings;
    }
    // Read line by line, so that every line left out is named, even one an
    // INI reader would pass over in silence (no "=" in it).
    std::map<int, int> boundOnLine;
    int lineNumber = 0;
    while (!file.atEnd()) {
        ++lineNumber;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        auto leftOut = [&](const QString &why) {
            problems->append(QStringLiteral("%1:%2: %3; left out.").arg(path).arg(lineNumber).arg(why));
        };
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';'))
            || line == QLatin1String("[General]"))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0) {
            leftOut(QStringLiteral("\"%1\" is not N=DEVICE").arg(line));
            continue;
        }
        const QString key = line.left(equals).trimmed();
        QString device = line.mid(equals + 1).trimmed();
        if (device.size() >= 2 && device.startsWith(QLatin1Char('"')) && device.endsWith(QLatin1Char('"')))
            device = device.mid(1, device.size() - 2);
        bool isNumber = false;
        const int n = key.toInt(&isNumber);
        if (!isNumber || n < kFirstPortNumber || n > kLastPortNumber)
            leftOut(QStringLiteral("\"%1\" is not a port number %2 to %3")
                        .arg(key)
                        .arg(kFirstPortNumber)
                        .arg(kLastPortNumber));
        else if (device.isEmpty())
            leftOut(QStringLiteral("port %1 names no device").arg(n));
        else if (auto earlier = boundOnLine.find(n); earlier != boundOnLine.end())
            leftOut(QStringLiteral("port %1 is bound already, on line %2").arg(n).arg(earlier->second));
        else {
            bindings[n] = PortBinding{normalizedDevice(device), path};
            boundOnLine[n] = lineNumber;
        }
    }
    return bindings;
}

QString portBindingsFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/frequency-tallyo/ports.conf");
}

std::map<QString, QString> stableDeviceNames(const QString &directory)
{
    std::map<QString, QString> names;
    const QFileInfoList links = QDir(directory).entryInfoList(QDir::System | QDir::Files, QDir::Name);
    for (const QFileInfo &link : links) {
        const QString target = link.canonicalFilePath();
        if (!target.isEmpty())
            names.emplace(target, link.absoluteFilePath());
    }
    return names;
}

QStringList describePorts(const PortMap &map, const PortBindings &bindings,
                          const std::map<QString, QString> &stableNames)
{
    QStringList lines;
    for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
        const QString device = map(n);
        QString line = QStringLiteral("%1: %2").arg(n).arg(device.isEmpty() ? QStringLiteral("no device") : device);
        const QString target = deviceBehind(device);
        if (auto stable = stableNames.find(target); stable != stableNames.end() && stable->second != device)
            line += QStringLiteral(" (%1)").arg(stable->second);
        else if (target != device)
            line += QStringLiteral(" (now %1)").arg(target);
        if (auto bound = bindings.find(n); bound != bindings.end()) {
            line += bound->second.origin.startsWith(QLatin1Char('-'))
                ? QStringLiteral(", bound by %1").arg(bound->second.origin)
                : QStringLiteral(", bound in %1").arg(bound->second.origin);
#ifndef Q_OS_WIN
            if (!QFileInfo::exists(device))
                line += QStringLiteral(", missing now");
#endif
        }
        lines << line;
    }
    return lines;
}

QCommandLineOption portBindingOption()
{
    return QCommandLineOption(
        QStringLiteral("port"),
        QStringLiteral("Port number N (%1 to %2) reaches DEVICE, e.g. 1=/dev/serial/by-id/usb-..., "
                       "2=/dev/rfcomm0. Repeatable; wins over %3.")
            .arg(kFirstPortNumber)
            .arg(kLastPortNumber)
            .arg(QStringLiteral("~/.config/frequency-tallyo/ports.conf")),
        QStringLiteral("N=DEVICE"));
}

std::optional<PortBindings> parsePortBindings(const QStringList &values, QString *problem)
{
    PortBindings ports;
    for (const QString &text : values) {
        const auto parsed = parseBinding(text);
        if (const auto *why = std::get_if<QString>(&parsed)) {
            *problem = *why;
            return std::nullopt;
        }
        const auto &[n, device] = std::get<std::pair<int, QString>>(parsed);
        if (ports.count(n)) {
            *problem = QStringLiteral("--port %1: port %2 is bound twice.").arg(text).arg(n);
            return std::nullopt;
        }
        ports[n] = PortBinding{device, QStringLiteral("--port")};
    }
    return ports;
}

PortBindings mergedBindings(PortBindings fromFile, const PortBindings &fromCommandLine)
{
    for (const auto &[n, binding] : fromCommandLine)
        fromFile[n] = binding;
    return fromFile;
}

PortMap userPortMap(const PortBindings &fromCommandLine, QStringList *problems, PortBindings *bindings)
{
    PortBindings merged = mergedBindings(readPortBindingsFile(portBindingsFilePath(), problems), fromCommandLine);
    PortMap map = systemPortMap(merged);
    if (bindings)
        *bindings = std::move(merged);
    return map;
}

} // namespace tallyo
