// The serial communications control: one serial port, driven through the
// properties of a classic comm control (CommPort, Settings, PortOpen, ...).
//
// Every failing property write throws SerialError. A line that hangs up while
// open is closed at once and reported once: lineLost() is emitted and the
// error is kept until someone takes it with takeLoss().
#pragma once

#include "linelog.h"
#include "portmap.h"
#include "serialdevice.h"
#include "serialerror.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>

namespace tallyo {

class MSComm : public QObject {
    Q_OBJECT
public:
    explicit MSComm(PortMap portMap, QObject *parent = nullptr);
    // With a device of the caller's (a test's stand-in, for instance).
    MSComm(PortMap portMap, std::unique_ptr<SerialDevice> device, QObject *parent = nullptr);
    ~MSComm() override;

    // The number the next opening uses; 1 to 6. Written only while closed.
    void setCommPort(int portNumber);
    int commPort() const { return m_commPort; }

    // "baud,parity,data,stop", e.g. "9600,N,8,1"; applied by the next opening.
    void setSettings(const QString &settings);
    QString settings() const { return m_settings; }

    // Writing true opens the port named by CommPort with Settings; writing
    // false sends what is still queued and closes it.
    void setPortOpen(bool open);
    bool portOpen() const;

    void setRThreshold(int count) { m_rThreshold = count; }
    int rThreshold() const { return m_rThreshold; }
    void setSThreshold(int count) { m_sThreshold = count; }
    int sThreshold() const { return m_sThreshold; }
    // DTR and RTS levels while the port is open.
    void setDTREnable(bool on);
    bool dtrEnable() const { return m_dtrEnable; }
    void setRTSEnable(bool on);
    bool rtsEnable() const { return m_rtsEnable; }

    // Writing 0 discards what is not yet sent.
    void setOutBufferCount(int count);
    // Writing 0 discards what was received; reading counts what is waiting.
    void setInBufferCount(int count);
    int inBufferCount() const;
    // Queues the bytes for sending and returns without waiting for them.
    void setOutput(const QByteArray &bytes);
    // Takes every received byte that is waiting.
    QByteArray input();
    // The last byte waiting, without taking it ('\0' if none).
    char lastWaitingByte();

    // Every write and read from now on also goes to `log` (none: no log).
    void setLineLog(std::shared_ptr<LineLog> log) { m_log = std::move(log); }

    // The device the current or next opening reaches ("" if none).
    QString device() const;
    // The port as messages name it: "Port 1 (/dev/ttyUSB0)".
    QString portLabel() const;
    // False once a line refused DTR/RTS as a pseudo-terminal does.
    bool modemLinesSupported() const { return m_modemLines; }

    // Changes whenever the port is opened or closed or its received bytes are
    // discarded: a reply wait that sees it change knows its exchange was
    // disturbed.
    quint64 generation() const { return m_generation; }

    // A hang-up noticed since the last call, if any (reported once).
    std::optional<SerialError> takeLoss();

signals:
    void received(); // new bytes are waiting
    void disturbed(); // generation() changed
    void lineLost(); // the line hung up; the port is closed

private:
    void applyLineSettings();
    void applyModemLines();
    void onLineFailed();
    void bump();
    void requireOpen(const char *what) const;
    // The device's last failure as the user sees it; otherNumber numbers a
    // failure of no known kind.
    SerialError deviceError(const QString &what, int otherNumber = SerialErrorNumber::Open) const;

    PortMap m_portMap;
    std::unique_ptr<SerialDevice> m_device;
    QString m_openedDevice; // what the port map gave at the last opening
    int m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    int m_rThreshold = 0;
    int m_sThreshold = 0;
    bool m_dtrEnable = false;
    bool m_rtsEnable = false;
    bool m_modemLines = true;
    quint64 m_generation = 0;
    std::optional<SerialError> m_loss;
    std::shared_ptr<LineLog> m_log;
};

} // namespace tallyo
