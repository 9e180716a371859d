// One serial device as the serial control drives it: open, line settings,
// modem lines, writes that are queued, and received bytes that wait until
// taken. QSerialPort serves where Qt Serial Port is built (Linux); Windows
// gets a Win32 device of its own (serialwin.cpp).
//
// A failing call returns false and leaves its cause in failure(). A line that
// fails while open (hang-up, unplugged adapter) emits lineFailed() once; the
// owner closes the device.
#pragma once

#include "programlife.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <chrono>
#include <memory>

namespace tallyo {

// How long closing a port may wait for queued bytes to leave the wire, on
// every platform (the figure is the end budget's: see ProgramLife).
inline constexpr std::chrono::milliseconds kDrainLimit = ProgramLife::kPortDrainLimit;

struct LineSettings {
    enum class Parity {
        None,
        Even,
        Odd,
        Mark,
        Space
    };
    enum class StopBits {
        One,
        OneAndHalf,
        Two
    };
    qint32 baud;
    Parity parity;
    int dataBits; // 5 to 8
    StopBits stopBits;
};

// Parses "9600,N,8,1"; throws SerialError on anything else.
LineSettings parseLineSettings(const QString &settings);

class SerialDevice : public QObject {
    Q_OBJECT
public:
    enum class Failure {
        None,
        NoDevice, // nothing by that name
        Held, // another program holds it
        StaleLock, // an ended program's lock file this user may not remove
        Denied, // no rights to it
        Unsupported, // the device cannot do this (a pty has no modem lines)
        Lost, // the line went away
        Other,
    };

    using QObject::QObject;

    // Opens the named device for reading and writing.
    virtual bool open(const QString &device) = 0;
    // Lets queued bytes leave the wire (within a bounded time), then closes.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    virtual bool applySettings(const LineSettings &settings) = 0;
    // No flow control; DTR and RTS at the given levels.
    virtual bool setModemLines(bool dtr, bool rts) = 0;

    // Queues the bytes in one write and returns without waiting for them.
    virtual bool write(const QByteArray &bytes) = 0;
    // Bytes handed to write() that have not reached the driver yet.
    virtual qint64 unsentCount() const = 0;
    // Drops what has not reached the driver yet; what has is on its way.
    virtual void discardUnsent() = 0;

    // Received bytes waiting to be taken.
    virtual qint64 waitingCount() const = 0;
    virtual QByteArray takeAll() = 0;
    // The last waiting byte ('\0' if none), left waiting.
    virtual char lastWaitingByte() const = 0;
    // Drops every received byte, the driver's included.
    virtual void discardReceived() = 0;

    Failure failure() const { return m_failure; }
    // The system's own words for the last failure ("" if none).
    QString failureDetail() const { return m_detail; }
    void clearFailure() { fail(Failure::None, QString()); }

signals:
    void received(); // new bytes are waiting
    void lineFailed(); // the line went away while open

protected:
    bool fail(Failure failure, const QString &detail)
    {
        m_failure = failure;
        m_detail = detail;
        return false;
    }

private:
    Failure m_failure = Failure::None;
    QString m_detail;
};

// The serial device of this platform.
std::unique_ptr<SerialDevice> makeSerialDevice();

} // namespace tallyo
