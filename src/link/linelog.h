// What went over the serial line, for a person checking a cable, a baud rate
// or what the counter answers: every write and every read, one line each,
// with a millisecond time stamp and the port number, e.g.
//   14:03:07.412 port 1 opened /dev/ttyUSB0 at 9600,N,8,1
//   14:03:07.413 port 1 <- "D1"
//   14:03:07.431 port 1 -> "   1.0000000 MHz\r"
// Off unless the user asks for it (--log).
#pragma once

#include <QByteArray>
#include <QCommandLineOption>
#include <QString>
#include <functional>

namespace tallyo {

class LineLog {
public:
    using Sink = std::function<void(const QString &line)>;
    // Lines go to standard error.
    LineLog();
    explicit LineLog(Sink sink);

    // `device` as the user should see it, e.g. "/dev/serial/by-id/usb-x (/dev/ttyUSB0)".
    void opened(int port, const QString &device, const QString &settings);
    void closed(int port);
    void sent(int port, const QByteArray &bytes);
    void received(int port, const QByteArray &bytes);
    // Received bytes thrown away unread (the buffer emptied before a request).
    void dropped(int port, const QByteArray &bytes);

    // The bytes in double quotes, control and non-ASCII bytes escaped
    // ("\r", "\n", "\x00"), quote and backslash too.
    static QString quoted(const QByteArray &bytes);

private:
    void write(int port, const QString &what);
    Sink m_sink;
};

// --log, as every command line of the program takes it.
QCommandLineOption lineLogOption();

} // namespace tallyo
