// Failures of the serial line, as the user is told about them.
#pragma once

#include <QString>
#include <stdexcept>

namespace tallyo {

// A failure as the user is told about it: "Error N: text", or the text alone
// for a failure without a number. The window's message box and the command
// line's standard error say it alike.
inline QString errorMessage(int number, const QString &text)
{
    return number ? QStringLiteral("Error %1: %2").arg(number).arg(text) : text;
}

struct SerialError : std::runtime_error {
    SerialError(int number, const QString &text) : std::runtime_error(text.toStdString()), number(number), text(text) {}
    int number;
    QString text;
    QString message() const { return errorMessage(number, text); }
};

// Error numbers shown with the message. They follow QSerialPort's error codes
// where one exists, so a support call can match them to the Qt documentation.
namespace SerialErrorNumber {
inline constexpr int DeviceNotFound = 1;
inline constexpr int Permission = 2;
inline constexpr int Open = 3;
inline constexpr int Write = 7;
inline constexpr int Read = 8;
inline constexpr int LineLost = 9; // the device went away (hang-up, unplugged adapter)
inline constexpr int Unsupported = 10;
inline constexpr int NoReply = 12; // the counter did not answer in time (the command line only)
inline constexpr int NotOpen = 13;
inline constexpr int HeldByAnotherProgram = 14; // another program has the port open or locked
inline constexpr int InvalidValue = 380; // a value the control does not take (port number, buffer count)
inline constexpr int InvalidSettings = 381; // a settings text that is not "baud,parity,data,stop"
} // namespace SerialErrorNumber

} // namespace tallyo
