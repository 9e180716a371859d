#include "mscomm.h"

#include <QStringList>

#ifdef Q_OS_UNIX
#include <termios.h>
#endif

namespace tallyo {

namespace {
// How long closing the port may wait for queued bytes to leave.
constexpr int kDrainTimeoutMs = 2000;
} // namespace

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
        s.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("E"))
        s.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("O"))
        s.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("M"))
        s.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("S"))
        s.parity = QSerialPort::SpaceParity;
    else
        throw invalid();
    const int data = parts[2].trimmed().toInt(&ok);
    if (!ok || data < 5 || data > 8)
        throw invalid();
    s.dataBits = QSerialPort::DataBits(data);
    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        s.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        s.stopBits = QSerialPort::TwoStop;
    else
        throw invalid();
    return s;
}

MSComm::MSComm(PortMap portMap, QObject *parent)
    : QObject(parent), m_portMap(std::move(portMap))
{
    connect(&m_port, &QSerialPort::readyRead, this, &MSComm::received);
    connect(&m_port, &QSerialPort::errorOccurred, this, &MSComm::onError);
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
    const QString dev = m_port.isOpen() ? m_port.portName() : device();
    return dev.isEmpty() ? QStringLiteral("Port %1").arg(m_commPort)
                         : QStringLiteral("Port %1 (%2)").arg(m_commPort).arg(dev);
}

void MSComm::setCommPort(int portNumber)
{
    if (portNumber < 1 || portNumber > 255)
        throw SerialError(SerialErrorNumber::InvalidValue,
                          QStringLiteral("Invalid port number %1.").arg(portNumber));
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
    return m_port.isOpen();
}

SerialError MSComm::portError(const QString &what) const
{
    int number = SerialErrorNumber::Open;
    QString reason = m_port.errorString();
    switch (m_port.error()) {
    case QSerialPort::DeviceNotFoundError:
        number = SerialErrorNumber::DeviceNotFound;
        break;
    case QSerialPort::PermissionError:
        number = SerialErrorNumber::Permission;
        reason += QStringLiteral(" (another program may be using the port, or you lack the rights to it)");
        break;
    case QSerialPort::WriteError:
        number = SerialErrorNumber::Write;
        break;
    case QSerialPort::ReadError:
        number = SerialErrorNumber::Read;
        break;
    case QSerialPort::ResourceError:
        number = SerialErrorNumber::LineLost;
        break;
    case QSerialPort::UnsupportedOperationError:
        number = SerialErrorNumber::Unsupported;
        break;
    default:
        break;
    }
    return SerialError(number, QStringLiteral("%1: %2: %3.").arg(portLabel(), what, reason));
}

void MSComm::setPortOpen(bool open)
{
    if (open == portOpen())
        return;
    if (!open) {
        // close() drops what is still queued: let it leave first.
        m_port.flush();
        while (m_port.bytesToWrite() > 0 && m_port.waitForBytesWritten(kDrainTimeoutMs)) {
        }
#ifdef Q_OS_UNIX
        // Closing restores the line settings the device had before, at once:
        // let the UART finish sending first ("R0" on EXIT takes 3 ms).
        ::tcdrain(int(m_port.handle()));
#endif
        m_port.close();
        m_port.clearError();
        bump();
        return;
    }

    const QString dev = device();
    if (dev.isEmpty())
        throw SerialError(SerialErrorNumber::DeviceNotFound,
                          QStringLiteral("Port %1: there is no serial port behind this number on this computer.")
                              .arg(m_commPort));
    m_port.setPortName(dev);
    if (!m_port.open(QIODevice::ReadWrite)) {
        SerialError error = portError(QStringLiteral("cannot open the port"));
        m_port.clearError();
        throw error;
    }
    try {
        applyLineSettings();
        applyModemLines();
    } catch (...) {
        m_port.close();
        m_port.clearError();
        bump();
        throw;
    }
    // A pseudo-terminal keeps bytes across close and reopen: start clean.
    m_port.clear(QSerialPort::Input);
    m_port.readAll();
    bump();
}

void MSComm::applyLineSettings()
{
    const LineSettings s = parseLineSettings(m_settings);
    const bool ok = m_port.setBaudRate(s.baud) && m_port.setParity(s.parity)
        && m_port.setDataBits(s.dataBits) && m_port.setStopBits(s.stopBits)
        && m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!ok) {
        SerialError error = portError(QStringLiteral("cannot apply the line settings \"%1\"").arg(m_settings));
        m_port.clearError();
        throw error;
    }
}

void MSComm::applyModemLines()
{
    if (!portOpen())
        return;
    const bool ok = m_port.setDataTerminalReady(m_dtrEnable) && m_port.setRequestToSend(m_rtsEnable);
    if (ok)
        return;
    if (m_port.error() == QSerialPort::UnsupportedOperationError) {
        // A pseudo-terminal (and some adapters) has no modem lines at all.
        m_modemLines = false;
        m_port.clearError();
        return;
    }
    SerialError error = portError(QStringLiteral("cannot set the DTR/RTS lines"));
    m_port.clearError();
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
    if (m_port.bytesToWrite() > 0)
        m_port.clear(QSerialPort::Output);
}

int MSComm::outBufferCount() const
{
    return portOpen() ? int(m_port.bytesToWrite()) : 0;
}

void MSComm::setInBufferCount(int count)
{
    requireOpen("discarding received bytes");
    if (count != 0)
        throw SerialError(SerialErrorNumber::InvalidValue, QStringLiteral("The receive buffer can only be emptied."));
    m_port.clear(QSerialPort::Input);
    m_port.readAll();
    bump();
}

int MSComm::inBufferCount() const
{
    requireOpen("counting received bytes");
    return int(qMin<qint64>(m_port.bytesAvailable(), 32767));
}

void MSComm::setOutput(const QByteArray &bytes)
{
    requireOpen("sending");
    // Hand the bytes to the driver now, in one write, without waiting for
    // them to leave the wire.
    if (m_port.write(bytes) != bytes.size() || (!m_port.flush() && m_port.error() != QSerialPort::NoError)) {
        SerialError error = portError(QStringLiteral("cannot send"));
        m_port.clearError();
        throw error;
    }
}

QByteArray MSComm::input()
{
    requireOpen("reading");
    return m_port.readAll();
}

char MSComm::lastWaitingByte()
{
    const qint64 waiting = m_port.bytesAvailable();
    if (waiting <= 0)
        return '\0';
    const QByteArray bytes = m_port.peek(waiting);
    return bytes.isEmpty() ? '\0' : bytes.back();
}

void MSComm::onError(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
        return;
    if (!m_port.isOpen())
        return;
    // The device went away. Qt repeats this error for as long as the port
    // stays open, so close it now and report the loss once.
    m_loss = SerialError(SerialErrorNumber::LineLost,
                         QStringLiteral("%1: the line was lost (%2). Check that the counter is connected and "
                                        "switched on, then try again.")
                             .arg(portLabel(), m_port.errorString()));
    m_port.close();
    m_port.clearError();
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
