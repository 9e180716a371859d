// The counter's command set. Every command is a capital letter and a digit,
// sent as plain text. Settings end with a carriage return; the reading
// request "D1" has no terminator and is answered with the reading.
#pragma once

#include <QByteArray>

namespace tallyo::cmd {

inline constexpr char Terminator = '\r';

// Measurement function
inline const QByteArray FrequencyA = "F0";
inline const QByteArray FrequencyB = "F1";
inline const QByteArray FrequencyC = "F2";
inline const QByteArray Period = "F3";
inline const QByteArray TotalCount = "F4";
inline const QByteArray Rpm = "F5";
inline const QByteArray Ratio = "F6";
inline const QByteArray TimeInterval = "F7";
// Gate time
inline const QByteArray Gate10ms = "G0";
inline const QByteArray Gate100ms = "G1";
inline const QByteArray Gate1s = "G2";
inline const QByteArray Gate10s = "G3";
// Hold
inline const QByteArray HoldOff = "H0";
inline const QByteArray HoldOn = "H1";
// Remote
inline const QByteArray RemoteOn = "R1";
inline const QByteArray RemoteOff = "R0";
// One reading, answered with at least ReadingLength characters.
inline const QByteArray Reading = "D1";

inline constexpr int ReadingLength = 14;
inline constexpr char LineSettings[] = "9600,N,8,1";

} // namespace tallyo::cmd
