// Which device a port number (1 to 6) reaches.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>

namespace tallyo {

// Returns the device for a port number, or an empty string when nothing is
// behind that number. Injected, so tests and the demo can wire numbers to
// simulated counters.
using PortMap = std::function<QString(int portNumber)>;

// Windows: port n is COMn. Elsewhere: port n is the n-th serial port the
// machine lists (UARTs, USB and ACM adapters), sorted by device name.
PortMap systemPortMap();

// The devices the machine lists, in the order systemPortMap() numbers them.
QStringList listedSerialDevices();

// A fixed map, port n -> devices[n-1].
PortMap fixedPortMap(const QStringList &devices);

// Port n -> the n-th device `list` gives. Listing the machine's ports takes
// milliseconds, and every click that talks to the counter opens the port
// afresh, so the list is kept for `maxAge`; a number beyond the kept list
// asks again at once (an adapter plugged in a moment ago).
PortMap listedPortMap(std::function<QStringList()> list, std::chrono::milliseconds maxAge);

} // namespace tallyo
