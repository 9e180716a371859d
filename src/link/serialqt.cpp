// The serial device on QSerialPort (every platform but Windows).
#include "serialdevice.h"

#include <QDeadlineTimer>
#include <QSerialPort>
#include <QThread>

#ifdef Q_OS_UNIX
#include "portlocks.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace tallyo {

namespace {

class QtSerialDevice final : public SerialDevice {
public:
    QtSerialDevice()
    {
        connect(&m_port, &QSerialPort::readyRead, this, &SerialDevice::received);
        connect(&m_port, &QSerialPort::errorOccurred, this, &QtSerialDevice::onError);
    }

    bool open(const QString &device) override
    {
#ifdef Q_OS_UNIX
        // Everything is judged on the device the path leads to, so a link
        // (/dev/serial/by-id/...) honours the locks of the device's own name.
        const QString real = deviceBehind(device);
        // A look through a descriptor of our own, kept until the port is
        // open: closing it then is never the device's last close (which
        // would drop DTR).
        const int probe = ::open(QFile::encodeName(real).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0)
            return failOpen(errno, real);
        const struct Closer {
            int fd;
            ~Closer() { ::close(fd); }
        } closeProbe{probe};
#ifdef TIOCGEXCL
        // The kernel lets root past another program's exclusive open: ask.
        int exclusive = 0;
        if (::ioctl(probe, TIOCGEXCL, &exclusive) == 0 && exclusive)
            return failExclusive(real);
#endif
        if (!checkLockFile(device))
            return false;
        m_port.setPortName(real);
#else
        m_port.setPortName(device);
#endif
        if (!m_port.open(QIODevice::ReadWrite)) {
            const bool refused = m_port.error() == QSerialPort::PermissionError;
            takePortError();
            // Refused although the rights are there: another program has it
            // (its lock file, or its exclusive open).
            if (refused && mayOpen(device)) {
#ifdef Q_OS_UNIX
                return fail(Failure::Held, holderSentence(real, Hold::Open));
#else
                return fail(Failure::Held, QString());
#endif
            }
            return refused ? fail(Failure::Denied, failureDetail()) : false;
        }
#ifdef Q_OS_UNIX
        // The advisory lock other serial tools take (and honour): never open
        // a port under a program that holds it, and keep it while open.
        if (::flock(int(m_port.handle()), LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            m_port.close();
            m_port.clearError();
            if (error == EWOULDBLOCK)
                return fail(Failure::Held, holderSentence(real, Hold::Flock));
            return fail(Failure::Other, QString::fromLocal8Bit(std::strerror(error)));
        }
        m_openHere = real;
        noteOpenHere(real, true);
#endif
        return true;
    }

    void close() override
    {
        if (!m_port.isOpen())
            return;
        // close() drops what is still queued: let it leave first.
        const QDeadlineTimer limit(kDrainLimit);
        m_port.flush();
        while (m_port.bytesToWrite() > 0 && m_port.waitForBytesWritten(int(limit.remainingTime()))) {}
#ifdef Q_OS_UNIX
        // Closing restores the line settings the device had before, at once:
        // let the UART finish sending first ("R0" on EXIT takes 3 ms).
        const int fd = int(m_port.handle());
        int queued = 0;
        while (::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 && !limit.hasExpired())
            QThread::msleep(1);
        if (queued == 0)
            ::tcdrain(fd); // the last bytes in the UART itself
        else
            ::tcflush(fd, TCOFLUSH); // left over: dropped, or closing would wait for it (up to 30 s)
        clearExclusive(fd);
        noteOpenHere(m_openHere, false);
#endif
        m_port.close();
        m_port.clearError();
    }

    bool isOpen() const override
    {
        return m_port.isOpen();
    }

    bool applySettings(const LineSettings &s) override
    {
        static constexpr QSerialPort::Parity parities[] = {QSerialPort::NoParity, QSerialPort::EvenParity,
                                                           QSerialPort::OddParity, QSerialPort::MarkParity,
                                                           QSerialPort::SpaceParity};
        static constexpr QSerialPort::StopBits stops[] = {QSerialPort::OneStop, QSerialPort::OneAndHalfStop,
                                                          QSerialPort::TwoStop};
        const bool ok = m_port.setBaudRate(s.baud) && m_port.setParity(parities[int(s.parity)])
            && m_port.setDataBits(QSerialPort::DataBits(s.dataBits)) && m_port.setStopBits(stops[int(s.stopBits)])
            && m_port.setFlowControl(QSerialPort::NoFlowControl);
        return ok || takePortError();
    }

    bool setModemLines(bool dtr, bool rts) override
    {
        const bool ok = m_port.setDataTerminalReady(dtr) && m_port.setRequestToSend(rts);
        return ok || takePortError();
    }

    bool write(const QByteArray &bytes) override
    {
        // Hand the bytes to the driver now, in one write.
        if (m_port.write(bytes) == bytes.size() && (m_port.flush() || m_port.error() == QSerialPort::NoError))
            return true;
        return takePortError();
    }

    qint64 unsentCount() const override
    {
        return m_port.bytesToWrite();
    }

    void discardUnsent() override
    {
        // clear(Output) flushes the driver's queue too: only when our own
        // buffer still holds something.
        if (m_port.bytesToWrite() > 0)
            m_port.clear(QSerialPort::Output);
    }

    qint64 waitingCount() const override
    {
        return m_port.bytesAvailable();
    }
    QByteArray takeAll() override
    {
        return m_port.readAll();
    }

    char lastWaitingByte() const override
    {
        const qint64 waiting = m_port.bytesAvailable();
        if (waiting <= 0)
            return '\0';
        const QByteArray bytes = const_cast<QSerialPort &>(m_port).peek(waiting);
        return bytes.isEmpty() ? '\0' : bytes.back();
    }

    void discardReceived() override
    {
        m_port.clear(QSerialPort::Input);
        m_port.readAll();
    }

private:
#ifdef Q_OS_UNIX
    // The serial port marks the device exclusive while open; the mark goes
    // before the descriptor does, on every way the port is closed.
    static void clearExclusive(int fd)
    {
#ifdef TIOCNXCL
        if (fd >= 0)
            ::ioctl(fd, TIOCNXCL);
#else
        Q_UNUSED(fd);
#endif
    }

    bool failOpen(int error, const QString &device)
    {
        const QString reason = QString::fromLocal8Bit(std::strerror(error));
        switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return fail(Failure::NoDevice, reason);
        case EACCES:
        case EPERM:
            return fail(Failure::Denied, reason);
        case EBUSY:
            return failExclusive(device);
        default:
            return fail(Failure::Other, reason);
        }
    }

    // The device is marked for one program alone. A pseudo-terminal's own
    // program has it open without holding it: there only a lock names a
    // holder; with none known, the mark was left by a program that ended.
    bool failExclusive(const QString &device)
    {
        const QString holder = holderOf(device, isPseudoTerminal(device));
        if (!holder.isEmpty())
            return fail(Failure::Held, holder + QStringLiteral(" has it open for itself alone"));
        return fail(Failure::Held,
                    QStringLiteral("the device is marked for one program alone, and no program is known to hold "
                                   "it (one that ended without clearing the mark leaves it so: unplug the adapter "
                                   "and plug it in again, or for a pseudo-terminal restart the program that made "
                                   "it)"));
    }

    enum class Hold {
        Flock,
        Open
    };

    // "minicom (process 1234) holds its lock", or what holds it where the
    // holder cannot be found.
    static QString holderSentence(const QString &device, Hold hold)
    {
        const QString holder = holderOf(device);
        switch (hold) {
        case Hold::Flock:
            return holder.isEmpty() ? QStringLiteral("its lock is taken") : holder + QStringLiteral(" holds its lock");
        case Hold::Open:
            break;
        }
        return holder.isEmpty() ? QString() : holder + QStringLiteral(" has it open");
    }

    // A lock file of a live program keeps the port closed; one an ended
    // program left is removed, or named where this user may not remove it.
    bool checkLockFile(const QString &device)
    {
        const LockFileVerdict lock = checkLockFiles(device);
        switch (lock.kind) {
        case LockFileVerdict::Kind::Free:
            return true;
        case LockFileVerdict::Kind::Held: {
            QString holder = lock.pid ? QStringLiteral("process %1").arg(lock.pid) : QStringLiteral("a program");
            if (lock.pid && !lock.program.isEmpty())
                holder = QStringLiteral("%1 (process %2)").arg(lock.program).arg(lock.pid);
            return fail(Failure::Held, QStringLiteral("%1 holds its lock file %2").arg(holder, lock.file));
        }
        case LockFileVerdict::Kind::Stale:
            return fail(
                Failure::StaleLock,
                QStringLiteral("its lock file %1 was left by %2, which has ended, and only %3 may "
                               "remove it: sudo rm %1")
                    .arg(lock.file)
                    .arg(lock.program.isEmpty() ? QStringLiteral("process %1").arg(lock.pid)
                                                : QStringLiteral("%1 (process %2)").arg(lock.program).arg(lock.pid))
                    .arg(lock.fileOwner == QLatin1String("root") ? lock.fileOwner
                                                                 : lock.fileOwner + QStringLiteral(" or root")));
        }
        return true;
    }
#endif

    bool takePortError()
    {
        Failure failure = Failure::Other;
        switch (m_port.error()) {
        case QSerialPort::DeviceNotFoundError:
            failure = Failure::NoDevice;
            break;
        case QSerialPort::PermissionError:
            failure = Failure::Denied;
            break;
        case QSerialPort::UnsupportedOperationError:
            failure = Failure::Unsupported;
            break;
        case QSerialPort::ReadError:
        case QSerialPort::ResourceError:
            failure = Failure::Lost;
            break;
        default:
            break;
        }
        const QString detail = m_port.errorString();
        m_port.clearError();
        return fail(failure, detail);
    }

    void onError(QSerialPort::SerialPortError error)
    {
        if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
            return;
        if (!m_port.isOpen())
            return;
            // The device went away. Qt repeats this error for as long as the port
            // stays open, so close it now; the owner reports it.
#ifdef Q_OS_UNIX
        clearExclusive(int(m_port.handle()));
        noteOpenHere(m_openHere, false);
#endif
        m_port.close();
        m_port.clearError();
        fail(Failure::Lost, QString());
        emit lineFailed();
    }

    static bool mayOpen(const QString &device)
    {
#ifdef Q_OS_UNIX
        return ::faccessat(AT_FDCWD, device.toLocal8Bit().constData(), R_OK | W_OK, AT_EACCESS) == 0;
#else
        Q_UNUSED(device);
        return true;
#endif
    }

    QSerialPort m_port;
    QString m_openHere; // the device behind the open port, for the process's own lock files
};

} // namespace

std::unique_ptr<SerialDevice> makeSerialDevice()
{
    return std::make_unique<QtSerialDevice>();
}

} // namespace tallyo
