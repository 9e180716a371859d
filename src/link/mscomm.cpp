#include "mscomm.h"

#include "permissionhint.h"

#include <QStringList>

namespace tallyo {

LineSettings parseLineSettings(const QString &settings)
{
    const QStringList parts = settings.split(QLatin1Char(','));
    auto invalid = [&] {
        return SerialError(SerialErrorNumber::InvalidSettings,
                           QStringLiteral("Invalid line settings \"%1\": expected baud,parity,data bits,stop bits "
                                          "such as \"9600,N,8,1\".")
                               .arg(settings));
    };
    if (parts.size() != 4)
        throw invalid();
    bool ok = false;
    LineSettings s{};
    s.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || s.baud <= 0)
        throw invalid();
    const QString parity = parts[1].trimmed().toUpper();
    if (parity == QLatin1String("N"))
        s.parity = LineSettings::Parity::None;
    else if (parity == QLatin1String("E"))
        s.parity = LineSettings::Parity::Even;
    else if (parity == QLatin1String("O"))
        s.parity = LineSettings::Parity::Odd;
    else if (parity == QLatin1String("M"))
        s.parity = LineSettings::Parity::Mark;
    else if (parity == QLatin1String("S"))
        s.parity = LineSettings::Parity::Space;
    else
        throw invalid();
    s.dataBits = parts[2].trimmed().toInt(&ok);
    if (!ok || s.dataBits < 5 || s.dataBits > 8)
        throw invalid();
    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        s.stopBits = LineSettings::StopBits::One;
    else if (stop == QLatin1String("1.5"))
        s.stopBits = LineSettings::StopBits::OneAndHalf;
    else if (stop == QLatin1String("2"))
        s.stopBits = LineSettings::StopBits::Two;
    else
        throw invalid();
    return s;
}

MSComm::MSComm(PortMap portMap, QObject *parent) : MSComm(std::move(portMap), makeSerialDevice(), parent)
{}

MSComm::MSComm(PortMap portMap, std::unique_ptr<SerialDevice> device, QObject *parent)
    : QObject(parent), m_portMap(std::move(portMap)), m_device(std::move(device))
{
    connect(m_device.get(), &SerialDevice::received, this, &MSComm::received);
    connect(m_device.get(), &SerialDevice::lineFailed, this, &MSComm::onLineFailed);
}

MSComm::~MSComm()
{
    try {
        setPortOpen(false);
    } catch (...) {
        // Nothing to tell anyone any more: the window is going away.
    }
}

QString MSComm::device() const
{
    return m_portMap ? m_portMap(m_commPort) : QString();
}

QString MSComm::portLabel() const
{
    const QString dev = m_device->isOpen() ? m_openedDevice : device();
    return dev.isEmpty() ? QStringLiteral("Port %1").arg(m_commPort)
                         : QStringLiteral("Port %1 (%2)").arg(m_commPort).arg(dev);
}

void MSComm::setCommPort(int portNumber)
{
    if (portNumber < 1 || portNumber > 255)
        throw SerialError(SerialErrorNumber::InvalidValue, QStringLiteral("Invalid port number %1.").arg(portNumber));
    if (portOpen())
        throw SerialError(SerialErrorNumber::Open,
                          QStringLiteral("%1 is open: close it before choosing another port.").arg(portLabel()));
    m_commPort = portNumber;
}

void MSComm::setSettings(const QString &settings)
{
    parseLineSettings(settings); // reject bad text now, not at the next opening
    m_settings = settings;
    if (portOpen())
        applyLineSettings();
}

bool MSComm::portOpen() const
{
    return m_device->isOpen();
}

// What to do about a port number that reaches no device.
static QString whereDevicesAre(int portNumber)
{
#ifdef Q_OS_WIN
    return QStringLiteral("The Device Manager lists your adapter under \"Ports (COM & LPT)\" with its COM "
                          "number: pick that port number, or give the adapter COM%1 there.")
        .arg(portNumber);
#else
    return QStringLiteral("Check that the adapter is plugged in. frequency-tallyo --list-ports shows the device "
                          "each port number reaches; --port %1=DEVICE binds one to this number "
                          "(man frequency-tallyo).")
        .arg(portNumber);
#endif
}

// One wording per kind of failure on every platform; the system's own words
// only where they are all there is.
SerialError MSComm::deviceError(const QString &what, int otherNumber) const
{
    int number = otherNumber;
    QString reason;
    switch (m_device->failure()) {
    case SerialDevice::Failure::NoDevice:
        number = SerialErrorNumber::DeviceNotFound;
        reason = QStringLiteral("there is no such device. ") + whereDevicesAre(m_commPort);
        break;
    case SerialDevice::Failure::Held: {
        number = SerialErrorNumber::HeldByAnotherProgram;
        const QString holder = m_device->failureDetail();
        reason = QStringLiteral("another program is using the port%1; close it there, then try again")
                     .arg(holder.isEmpty() ? QString() : QStringLiteral(": ") + holder);
        break;
    }
    case SerialDevice::Failure::StaleLock:
        number = SerialErrorNumber::HeldByAnotherProgram;
        reason = m_device->failureDetail() + QStringLiteral(", then try again");
        break;
    case SerialDevice::Failure::Denied:
        number = SerialErrorNumber::Permission;
        reason = QStringLiteral("permission denied");
        break;
    case SerialDevice::Failure::Unsupported:
        number = SerialErrorNumber::Unsupported;
        reason = QStringLiteral("the device does not support this");
        break;
    case SerialDevice::Failure::Lost:
        number = SerialErrorNumber::LineLost;
        reason = QStringLiteral("the line was lost");
        break;
    case SerialDevice::Failure::None:
    case SerialDevice::Failure::Other:
        reason = m_device->failureDetail();
        if (reason.isEmpty())
            reason = QStringLiteral("the system refused");
        break;
    }
    QString text = QStringLiteral("%1: %2: %3").arg(portLabel(), what, reason);
    if (!text.endsWith(QLatin1Char('.')))
        text += QLatin1Char('.');
    if (number == SerialErrorNumber::Permission) {
        if (const QString remedy = permissionRemedy(m_device->isOpen() ? m_openedDevice : device()); !remedy.isEmpty())
            text += QLatin1Char(' ') + remedy;
    }
    return SerialError(number, text);
}

void MSComm::setPortOpen(bool open)
{
    if (open == portOpen())
        return;
    if (!open) {
        m_device->close();
        m_device->clearFailure();
        if (m_log)
            m_log->closed(m_commPort);
        bump();
        return;
    }

    const QString dev = device();
    if (dev.isEmpty())
        throw SerialError(SerialErrorNumber::DeviceNotFound,
                          QStringLiteral("Port %1: there is no serial port behind this number on this computer. %2")
                              .arg(m_commPort)
                              .arg(whereDevicesAre(m_commPort)));
    m_openedDevice = dev;
    if (!m_device->open(dev)) {
        SerialError error = deviceError(QStringLiteral("cannot open the port"));
        m_device->clearFailure();
        throw error;
    }
    try {
        applyLineSettings();
        applyModemLines();
    } catch (...) {
        m_device->close();
        m_device->clearFailure();
        bump();
        throw;
    }
    // A pseudo-terminal keeps bytes across close and reopen: start clean.
    m_device->discardReceived();
    if (m_log) {
        // A link (/dev/serial/by-id/...) with the device it reached.
        const QString behind = deviceBehind(dev);
        m_log->opened(m_commPort, behind == dev ? dev : QStringLiteral("%1 (%2)").arg(dev, behind), m_settings);
    }
    bump();
}

void MSComm::applyLineSettings()
{
    if (!m_device->applySettings(parseLineSettings(m_settings))) {
        SerialError error = deviceError(QStringLiteral("cannot apply the line settings \"%1\"").arg(m_settings));
        m_device->clearFailure();
        throw error;
    }
}

void MSComm::applyModemLines()
{
    if (!portOpen())
        return;
    if (m_device->setModemLines(m_dtrEnable, m_rtsEnable))
        return;
    if (m_device->failure() == SerialDevice::Failure::Unsupported) {
        // A pseudo-terminal (and some adapters) has no modem lines at all.
        m_modemLines = false;
        m_device->clearFailure();
        return;
    }
    SerialError error = deviceError(QStringLiteral("cannot set the DTR/RTS lines"));
    m_device->clearFailure();
    throw error;
}

void MSComm::setDTREnable(bool on)
{
    m_dtrEnable = on;
    applyModemLines();
}

void MSComm::setRTSEnable(bool on)
{
    m_rtsEnable = on;
    applyModemLines();
}

void MSComm::requireOpen(const char *what) const
{
    if (!portOpen())
        throw SerialError(SerialErrorNumber::NotOpen,
                          QStringLiteral("%1 is not open (%2).").arg(portLabel(), QLatin1String(what)));
}

void MSComm::setOutBufferCount(int count)
{
    requireOpen("discarding unsent bytes");
    if (count != 0)
        throw SerialError(SerialErrorNumber::InvalidValue, QStringLiteral("The send buffer can only be emptied."));
    // Only what still waits in our own buffer is discarded. Bytes already
    // handed to the driver (a setting clicked a moment ago) are on their way:
    // flushing the driver's queue as well would lose them.
    m_device->discardUnsent();
}

void MSComm::setInBufferCount(int count)
{
    requireOpen("discarding received bytes");
    if (count != 0)
        throw SerialError(SerialErrorNumber::InvalidValue, QStringLiteral("The receive buffer can only be emptied."));
    if (m_log) {
        if (const QByteArray unread = m_device->takeAll(); !unread.isEmpty())
            m_log->dropped(m_commPort, unread);
    }
    m_device->discardReceived();
    bump();
}

int MSComm::inBufferCount() const
{
    requireOpen("counting received bytes");
    return int(qMin<qint64>(m_device->waitingCount(), 32767));
}

void MSComm::setOutput(const QByteArray &bytes)
{
    requireOpen("sending");
    if (!m_device->write(bytes)) {
        SerialError error = deviceError(QStringLiteral("cannot send"), SerialErrorNumber::Write);
        m_device->clearFailure();
        throw error;
    }
    if (m_log)
        m_log->sent(m_commPort, bytes);
}

QByteArray MSComm::input()
{
    requireOpen("reading");
    QByteArray bytes = m_device->takeAll();
    if (m_log && !bytes.isEmpty())
        m_log->received(m_commPort, bytes);
    return bytes;
}

char MSComm::lastWaitingByte()
{
    return m_device->lastWaitingByte();
}

void MSComm::onLineFailed()
{
    // The device has closed itself; the system's words for a hang-up ("I/O
    // error", or a stale text from an earlier call) would only confuse.
    m_loss = SerialError(SerialErrorNumber::LineLost,
                         QStringLiteral("%1 (%2): the line was lost. Check that the counter is connected and "
                                        "switched on, then try again.")
                             .arg(QStringLiteral("Port %1").arg(m_commPort), m_openedDevice));
    m_device->close();
    m_device->clearFailure();
    if (m_log)
        m_log->closed(m_commPort);
    bump();
    emit lineLost();
}

std::optional<SerialError> MSComm::takeLoss()
{
    std::optional<SerialError> loss;
    loss.swap(m_loss);
    return loss;
}

void MSComm::bump()
{
    ++m_generation;
    emit disturbed();
}

} // namespace tallyo
