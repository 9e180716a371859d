// Which device a port number (1 to 6) reaches.
#pragma once

#include <QCommandLineOption>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <map>
#include <optional>

namespace tallyo {

// Returns the device for a port number, or an empty string when nothing is
// behind that number. Injected, so tests and the demo can wire numbers to
// simulated counters.
using PortMap = std::function<QString(int portNumber)>;

// A device the user tied to a port number, and where they did it ("--port",
// or the settings file's path), so a listing can say why.
struct PortBinding {
    QString device;
    QString origin;
};
using PortBindings = std::map<int, PortBinding>;

// The lowest and highest number a user may bind (the window's port buttons).
inline constexpr int kFirstPortNumber = 1;
inline constexpr int kLastPortNumber = 6;

// Bound numbers reach their device whether or not it exists yet (opening a
// missing one fails with its path). Every other number follows the machine:
// on Windows port n is COMn; elsewhere the serial ports the machine lists
// (UARTs, USB and ACM adapters, sorted by device name), less those a binding
// names, take the unbound numbers in order. Within one run a number that has
// reached a listed device keeps it while the device is listed: an adapter
// plugged in later takes a free number and never moves the others.
PortMap systemPortMap(PortBindings bindings = {});

// The devices the machine lists, in the order systemPortMap() numbers them.
QStringList listedSerialDevices();

// A fixed map, port n -> devices[n-1].
PortMap fixedPortMap(const QStringList &devices);

// systemPortMap()'s rule over the devices `list` gives. Listing the
// machine's ports takes milliseconds, and every click that talks to the
// counter opens the port afresh, so the list is kept for `maxAge`; a number
// with no device asks again at once (an adapter plugged in a moment ago).
PortMap listedPortMap(std::function<QStringList()> list, std::chrono::milliseconds maxAge, PortBindings bindings = {});

// The device a path leads to through any links ("/dev/serial/by-id/usb-x"
// -> "/dev/ttyUSB0"); the path itself where it leads nowhere (yet).
QString deviceBehind(const QString &path);

// "ttyUSB0" -> "/dev/ttyUSB0" (as the serial port itself reads a bare name);
// paths and Windows names stay as they are.
QString normalizedDevice(const QString &device);

// The port map the user keeps: "N=DEVICE" lines (blank lines, "#" and ";"
// comments and a "[General]" heading aside). Every other line that is not a
// port number 1 to 6 with a device, or binds a number bound above it, is left
// out with a sentence of its own in `problems` naming the file and line. A
// missing file binds nothing.
PortBindings readPortBindingsFile(const QString &path, QStringList *problems);

// ~/.config/frequency-tallyo/ports.conf (following XDG_CONFIG_HOME).
QString portBindingsFilePath();

// --port N=DEVICE, as the window and the command line both take it.
QCommandLineOption portBindingOption();

// The values of --port ("N=DEVICE", each number once) as bindings; nothing,
// and the sentence that says what is wrong, for a bad one.
std::optional<PortBindings> parsePortBindings(const QStringList &values, QString *problem);

// The file's bindings with the command line's on top.
PortBindings mergedBindings(PortBindings fromFile, const PortBindings &fromCommandLine);

// The map a run of the program uses, for the window and the command line
// alike: the user's ports.conf with the command line's bindings on top, over
// the machine's serial ports. What is wrong in the file goes to `problems`;
// `bindings` (where given) gets the merged bindings.
PortMap userPortMap(const PortBindings &fromCommandLine, QStringList *problems, PortBindings *bindings = nullptr);

// The stable names udev gives serial adapters (/dev/serial/by-id/...), keyed
// by the device each one leads to.
std::map<QString, QString> stableDeviceNames(const QString &directory = QStringLiteral("/dev/serial/by-id"));

// One line per port number 1 to 6: the device it reaches now, a stable name
// where one exists, and the binding behind it, e.g.
//   "1: /dev/ttyUSB0 (/dev/serial/by-id/usb-FTDI_FT232R-if00-port0)"
//   "2: /dev/rfcomm0, bound in /home/ann/.config/frequency-tallyo/ports.conf, missing now"
QStringList describePorts(const PortMap &map, const PortBindings &bindings,
                          const std::map<QString, QString> &stableNames);

} // namespace tallyo
