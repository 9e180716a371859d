#include "countersim.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace tallyo::sim {

// ----------------------------------------------------------------------------------------
// Readings
// ----------------------------------------------------------------------------------------

namespace {

void checkFunction(int function)
{
    if (function < 0 || function >= kFunctionCount)
        throw std::out_of_range("counter function F" + std::to_string(function));
}

void checkGate(int gate)
{
    if (gate < 0 || gate >= kGateCount)
        throw std::out_of_range("counter gate G" + std::to_string(gate));
}

struct Unit {
    const char *name; // "" for a dimensionless reading
    double scale; // base units per display unit
};

Unit displayUnit(int function, double value)
{
    const double magnitude = std::abs(value);
    switch (function) {
    case FreqA:
    case FreqB:
    case FreqC:
        if (magnitude >= 1e9)
            return {"GHz", 1e9};
        if (magnitude >= 1e6)
            return {"MHz", 1e6};
        if (magnitude >= 1e3)
            return {"kHz", 1e3};
        return {"Hz", 1};
    case Period:
    case TimeInterval:
        if (magnitude >= 1)
            return {"s", 1};
        if (magnitude >= 1e-3)
            return {"ms", 1e-3};
        if (magnitude >= 1e-6)
            return {"us", 1e-6};
        return {"ns", 1e-9};
    case Rpm:
        return {"RPM", 1};
    default: // TotalCount, Ratio
        return {"", 1};
    }
}

// How the counter shows a (non-count) value: its unit and the decimals that leave it
// with the gate's significant digits.
struct Shown {
    Unit unit;
    int decimals;
};

Shown shown(int function, int gate, double value)
{
    const Unit unit = displayUnit(function, value);
    const double scaled = std::abs(value / unit.scale);
    const int integerDigits = scaled < 1 ? 1 : int(std::floor(std::log10(scaled))) + 1;
    return {unit, std::max(0, significantDigits(gate) - integerDigits)};
}

constexpr std::size_t kReadingColumns = 17; // before the CR

} // namespace

double gateSeconds(int gate)
{
    checkGate(gate);
    return std::pow(10.0, gate - 2);
}

int significantDigits(int gate)
{
    checkGate(gate);
    return 7 + gate;
}

double nominalValue(int function)
{
    checkFunction(function);
    static constexpr std::array<double, kFunctionCount> bench{
        10.0000456e6, // F0: a 10 MHz oscillator, slightly off
        145.2500371e6, // F1: a VHF carrier through the prescaler
        2.4500004e9, // F2: a microwave source
        20.00049e-3, // F3: the period of the mains
        0, // F4: counts from zero (see ReadingSource)
        2999.87, // F5: a motor shaft
        1250.000123, // F6: 10 MHz against an 8 kHz reference
        12.3456789e-6, // F7: a delay line
    };
    return bench[std::size_t(function)];
}

std::string formatReading(int function, int gate, double value)
{
    checkFunction(function);
    checkGate(gate);
    std::string text;
    if (function == TotalCount) {
        text = std::to_string(std::llround(value)); // whole events: no resolution to show
    } else {
        const Shown s = shown(function, gate, value);
        char number[64];
        std::snprintf(number, sizeof number, "%.*f", s.decimals, value / s.unit.scale);
        text = number;
        if (*s.unit.name) {
            text += ' ';
            text += s.unit.name;
        }
    }
    if (text.size() < kReadingColumns)
        text.insert(0, kReadingColumns - text.size(), ' ');
    text += '\r';
    return text;
}

ReadingSource::ReadingSource(unsigned seed) : m_state(seed)
{}

// splitmix64: tiny, and unlike the standard distributions gives the same numbers with
// every standard library, so readings in tests stay the same everywhere.
std::uint64_t ReadingSource::nextRandom()
{
    std::uint64_t z = (m_state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::string ReadingSource::next(int function, int gate)
{
    checkFunction(function);
    checkGate(gate);
    const int counts = int(nextRandom() % 7) - 3; // -3..+3 in the last digit
    if (function == TotalCount) {
        // At least 7 more events per reading, so the total always grows.
        m_totalCount += std::llround(1000 * gateSeconds(gate)) + counts;
        return formatReading(function, gate, double(m_totalCount));
    }
    const double value = nominalValue(function);
    const Shown s = shown(function, gate, value);
    const double lastDigit = s.unit.scale * std::pow(10.0, -s.decimals);
    return formatReading(function, gate, value + counts * lastDigit);
}

// ----------------------------------------------------------------------------------------
// The simulated counter
// ----------------------------------------------------------------------------------------

namespace {

[[noreturn]] void throwErrno(const char *what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

bool isSettingCommand(const std::string &chars)
{
    return chars.size() == 2 && chars[0] >= 'A' && chars[0] <= 'Z' && chars[1] >= '0' && chars[1] <= '9';
}

using namespace std::string_literals;
const std::string kGarbage = "\x15\x00\x1b[?\xff\x07##\x0a\x7f!\xfe\x04*\x0d"s;
constexpr std::size_t kShortReply = 13;
constexpr std::size_t kLongReply = 34;

// The record is for tests; a demo that runs for days must not grow it without end.
constexpr std::size_t kMaxRecordedBytes = 256 * 1024;
constexpr std::size_t kMaxRecordedCommands = 64 * 1024;

template <typename T> void record(std::vector<T> &log, T item, std::size_t limit)
{
    if (log.size() >= limit)
        log.erase(log.begin(), log.begin() + std::ptrdiff_t(limit / 2));
    log.push_back(std::move(item));
}

} // namespace

struct CounterSim::Impl {
    explicit Impl(Options options);
    ~Impl();

    void run();
    std::optional<Clock::time_point> nextDeadline() const;
    void readDevice(Clock::time_point now);
    void writeDevice(const std::string &bytes);
    void closeDevice();
    void wake();
    // The following run with `mutex` held.
    void take(const RxByte &rx, std::vector<std::string> &completed);
    void apply(const std::string &command);
    void answerReading(Clock::time_point requestArrival);
    std::string replyText();
    std::string takeReading();

    const bool pace;
    std::string devicePath;
    Fd master;
    Fd slaveHold;
    Fd wakeRead;
    Fd wakeWrite;

    mutable std::mutex mutex;
    mutable std::condition_variable changed; // new bytes or commands; hang-up done
    std::vector<RxByte> received;
    std::vector<std::string> commands;
    std::string partial; // the last (up to) two bytes that may start a command
    int function = FreqA;
    int gate = 2;
    bool hold = false;
    bool remote = false;
    int served = 0;
    Reply reply = Reply::Normal;
    std::chrono::microseconds latency;
    std::string customReply;
    ReadingSource readings;
    std::string lastReading;
    int lastReadingFunction = -1;
    int lastReadingGate = -1;
    bool stopRequested = false;
    bool hangUpRequested = false;
    bool hungUp = false;

    std::mutex observerMutex; // held during a call, so that replacing the observer waits for it
    std::function<void(const std::string &)> observer;

    // Only the simulator's thread touches these.
    struct TxByte {
        Clock::time_point due;
        unsigned char byte;
    };
    std::deque<RxByte> inbound; // read from the pty, not yet arrived on the simulated line
    std::deque<TxByte> outbound; // scheduled, not yet written to the pty
    Clock::time_point rxLineFree; // when the simulated line can carry the next byte in
    Clock::time_point txLineFree; // ... and out
    bool deviceReadable = true;

    std::thread thread; // last: starts only once everything above exists
};

CounterSim::Impl::Impl(Options options) : pace(options.pace), latency(options.replyLatency), readings(options.seed)
{
    master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master)
        throwErrno("posix_openpt");
    if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0)
        throwErrno("grantpt/unlockpt");
    char name[128];
    if (::ptsname_r(master.get(), name, sizeof name) != 0)
        throwErrno("ptsname_r");
    devicePath = name;

    // A fresh pty is cooked: it would echo what the client sends back to it and turn CR
    // into LF. QSerialPort makes it raw on open() but restores the previous settings on
    // close(), so the settings made here are what every later open starts from. Holding
    // this descriptor keeps them, and keeps the master from seeing a hang-up whenever the
    // client closes its port.
    slaveHold.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slaveHold)
        throwErrno("open pty slave");
    termios tio{};
    if (::tcgetattr(slaveHold.get(), &tio) != 0)
        throwErrno("tcgetattr");
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B9600);
    if (::tcsetattr(slaveHold.get(), TCSANOW, &tio) != 0)
        throwErrno("tcsetattr");

    if (::fcntl(master.get(), F_SETFL, ::fcntl(master.get(), F_GETFL) | O_NONBLOCK) != 0)
        throwErrno("fcntl");
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        throwErrno("pipe2");
    wakeRead.reset(pipeFds[0]);
    wakeWrite.reset(pipeFds[1]);

    thread = std::thread([this] { run(); });
}

CounterSim::Impl::~Impl()
{
    {
        std::lock_guard lock(mutex);
        stopRequested = true;
    }
    wake();
    thread.join();
}

void CounterSim::Impl::wake()
{
    const char token = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const auto ignored = ::write(wakeWrite.get(), &token, 1);
}

void CounterSim::Impl::closeDevice()
{
    // The master first: that hangs the line up for the client and removes the device node.
    master.reset();
    slaveHold.reset();
    inbound.clear();
    outbound.clear();
    hungUp = true;
    changed.notify_all();
}

std::optional<CounterSim::Clock::time_point> CounterSim::Impl::nextDeadline() const
{
    std::optional<Clock::time_point> deadline;
    if (!inbound.empty())
        deadline = inbound.front().arrival;
    if (!outbound.empty() && (!deadline || outbound.front().due < *deadline))
        deadline = outbound.front().due;
    return deadline;
}

// The thread sleeps in ppoll() until the client writes, a paced byte falls due, or a
// member function wakes it; it never polls on a timer of its own.
void CounterSim::Impl::run()
{
    std::vector<std::string> completed;
    std::string due;
    for (;;) {
        std::array<pollfd, 2> fds{{{wakeRead.get(), POLLIN, 0}, {master.get(), POLLIN, 0}}};
        const nfds_t watched = master && deviceReadable ? 2 : 1;
        timespec timeout{};
        const timespec *timeoutPtr = nullptr;
        if (const auto deadline = nextDeadline()) {
            const auto wait = std::chrono::ceil<std::chrono::nanoseconds>(
                std::max(Clock::duration::zero(), *deadline - Clock::now()));
            timeout.tv_sec = time_t(wait.count() / 1'000'000'000);
            timeout.tv_nsec = long(wait.count() % 1'000'000'000);
            timeoutPtr = &timeout;
        }
        if (::ppoll(fds.data(), watched, timeoutPtr, nullptr) < 0 && errno != EINTR) {
            // Cannot wait any more (out of memory): give the device up rather than spin.
            std::lock_guard lock(mutex);
            closeDevice();
            return;
        }
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wakeRead.get(), drain, sizeof drain) > 0) {}
        }
        {
            std::lock_guard lock(mutex);
            if (stopRequested)
                return;
            if (hangUpRequested && !hungUp)
                closeDevice();
        }
        if (watched == 2 && master && fds[1].revents != 0)
            readDevice(Clock::now());

        const auto now = Clock::now();
        {
            std::lock_guard lock(mutex);
            const bool arrived = !inbound.empty() && inbound.front().arrival <= now;
            while (!inbound.empty() && inbound.front().arrival <= now) {
                take(inbound.front(), completed);
                inbound.pop_front();
            }
            if (arrived)
                changed.notify_all();
        }
        while (!outbound.empty() && outbound.front().due <= now) {
            due += char(outbound.front().byte);
            outbound.pop_front();
        }
        if (!due.empty()) {
            writeDevice(due);
            due.clear();
        }
        if (!completed.empty()) {
            std::lock_guard lock(observerMutex);
            if (observer)
                for (const auto &command : completed)
                    observer(command);
            completed.clear();
        }
    }
}

void CounterSim::Impl::readDevice(Clock::time_point now)
{
    unsigned char buffer[512];
    for (;;) {
        const ssize_t n = ::read(master.get(), buffer, sizeof buffer);
        if (n > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                // A burst the client wrote at once comes in one character time apart.
                Clock::time_point arrival = now;
                if (pace) {
                    arrival = std::max(now, rxLineFree) + kCharTime;
                    rxLineFree = arrival;
                }
                inbound.push_back({buffer[i], arrival});
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        // End of file or EIO: no slave is open any more. That cannot happen while we hold
        // the slave, but if it does, stop watching rather than wake up for it forever.
        deviceReadable = false;
        return;
    }
}

void CounterSim::Impl::writeDevice(const std::string &bytes)
{
    if (!master)
        return;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master.get(), bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += std::size_t(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return; // EAGAIN: the client has let its input fill up; a real line would not wait either
    }
}

void CounterSim::Impl::take(const RxByte &rx, std::vector<std::string> &completed)
{
    record(received, rx, kMaxRecordedBytes);
    if (rx.byte == '\r') {
        if (isSettingCommand(partial)) {
            const std::string command = partial + '\r';
            apply(command);
            record(commands, command, kMaxRecordedCommands);
            completed.push_back(command);
        }
        partial.clear();
        return;
    }
    partial += char(rx.byte);
    if (partial.size() > 2)
        partial.erase(0, partial.size() - 2);
    if (partial == "D1") {
        partial.clear();
        record(commands, std::string("D1"), kMaxRecordedCommands);
        completed.push_back("D1");
        answerReading(rx.arrival);
    }
}

void CounterSim::Impl::apply(const std::string &command)
{
    const int digit = command[1] - '0';
    switch (command[0]) {
    case 'F':
        if (digit < kFunctionCount)
            function = digit;
        break;
    case 'G':
        if (digit < kGateCount)
            gate = digit;
        break;
    case 'H':
        if (digit <= 1)
            hold = digit == 1;
        break;
    case 'R':
        if (digit <= 1)
            remote = digit == 1;
        break;
    default:
        break; // the counter ignores commands it does not know
    }
}

void CounterSim::Impl::answerReading(Clock::time_point requestArrival)
{
    if (reply == Reply::Silent)
        return;
    const std::string text = replyText();
    ++served;
    // Full duplex: the reply waits only for the counter's latency and for earlier replies.
    auto at = std::max(requestArrival + latency, txLineFree);
    for (const char c : text) {
        if (pace)
            at += kCharTime; // written when its stop bit would be through
        outbound.push_back({at, static_cast<unsigned char>(c)});
    }
    txLineFree = at;
}

std::string CounterSim::Impl::replyText()
{
    switch (reply) {
    case Reply::Normal:
        return customReply.empty() ? takeReading() : customReply;
    case Reply::Short:
        return takeReading().substr(0, kShortReply);
    case Reply::Long: {
        std::string text = takeReading();
        if (text.size() < kLongReply)
            text.insert(0, kLongReply - text.size(), ' ');
        return text;
    }
    case Reply::Garbage:
        return kGarbage;
    case Reply::Silent:
        break;
    }
    return {};
}

std::string CounterSim::Impl::takeReading()
{
    if (hold && function == lastReadingFunction && gate == lastReadingGate)
        return lastReading;
    lastReading = readings.next(function, gate);
    lastReadingFunction = function;
    lastReadingGate = gate;
    return lastReading;
}

// ----------------------------------------------------------------------------------------

CounterSim::CounterSim() : CounterSim(Options{})
{}

CounterSim::CounterSim(Options options) : d(std::make_unique<Impl>(options))
{}

CounterSim::~CounterSim() = default;

const std::string &CounterSim::devicePath() const
{
    return d->devicePath;
}

std::string CounterSim::received() const
{
    std::lock_guard lock(d->mutex);
    std::string bytes;
    bytes.reserve(d->received.size());
    for (const auto &rx : d->received)
        bytes += char(rx.byte);
    return bytes;
}

std::vector<CounterSim::RxByte> CounterSim::receivedBytes() const
{
    std::lock_guard lock(d->mutex);
    return d->received;
}

std::vector<std::string> CounterSim::commands() const
{
    std::lock_guard lock(d->mutex);
    return d->commands;
}

void CounterSim::clearReceived()
{
    std::lock_guard lock(d->mutex);
    d->received.clear();
    d->commands.clear();
}

bool CounterSim::waitForCommands(std::size_t n, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(d->mutex);
    return d->changed.wait_for(lock, timeout, [&] { return d->commands.size() >= n; });
}

bool CounterSim::waitForReceivedBytes(std::size_t n, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(d->mutex);
    return d->changed.wait_for(lock, timeout, [&] { return d->received.size() >= n; });
}

void CounterSim::setCommandObserver(std::function<void(const std::string &)> observer)
{
    std::lock_guard lock(d->observerMutex);
    d->observer = std::move(observer);
}

int CounterSim::function() const
{
    std::lock_guard lock(d->mutex);
    return d->function;
}

int CounterSim::gate() const
{
    std::lock_guard lock(d->mutex);
    return d->gate;
}

bool CounterSim::hold() const
{
    std::lock_guard lock(d->mutex);
    return d->hold;
}

bool CounterSim::remote() const
{
    std::lock_guard lock(d->mutex);
    return d->remote;
}

int CounterSim::readingsServed() const
{
    std::lock_guard lock(d->mutex);
    return d->served;
}

void CounterSim::setReply(Reply reply)
{
    std::lock_guard lock(d->mutex);
    d->reply = reply;
}

void CounterSim::setReplyLatency(std::chrono::microseconds latency)
{
    std::lock_guard lock(d->mutex);
    d->latency = latency;
}

void CounterSim::setCustomReply(std::string bytes)
{
    std::lock_guard lock(d->mutex);
    d->customReply = std::move(bytes);
}

void CounterSim::hangUp()
{
    std::unique_lock lock(d->mutex);
    if (d->hungUp)
        return;
    d->hangUpRequested = true;
    d->wake();
    if (std::this_thread::get_id() == d->thread.get_id())
        return; // from the observer: the loop closes the device as soon as it returns
    d->changed.wait(lock, [&] { return d->hungUp; });
}

} // namespace tallyo::sim
