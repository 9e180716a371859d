#include "portmap.h"

#include <QElapsedTimer>
#ifndef Q_OS_WIN
#include <QSerialPortInfo>
#endif
#include <algorithm>
#include <memory>

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
} // namespace

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

PortMap systemPortMap()
{
#ifdef Q_OS_WIN
    return [](int n) { return QStringLiteral("COM%1").arg(n); };
#else
    return listedPortMap(listedSerialDevices, std::chrono::seconds(2));
#endif
}

PortMap listedPortMap(std::function<QStringList()> list, std::chrono::milliseconds maxAge)
{
    struct Kept {
        QStringList devices;
        QElapsedTimer age;
    };
    auto kept = std::make_shared<Kept>();
    return [list = std::move(list), maxAge, kept](int n) {
        const bool stale = !kept->age.isValid() || std::chrono::milliseconds(kept->age.elapsed()) >= maxAge;
        if (stale || n > kept->devices.size()) {
            kept->devices = list();
            kept->age.start();
        }
        return n >= 1 && n <= kept->devices.size() ? kept->devices.at(n - 1) : QString();
    };
}

PortMap fixedPortMap(const QStringList &devices)
{
    return [devices](int n) {
        return n >= 1 && n <= devices.size() ? devices.at(n - 1) : QString();
    };
}

} // namespace tallyo
