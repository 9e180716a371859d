// A simulated bench frequency counter on a pseudo-terminal.
//
// The program talks to the counter over an RS-232 line at 9600 baud, 8N1. The simulator
// opens a pty, hands out the slave path as the "serial port" and plays the counter on the
// master side: it answers "D1" with a reading, takes the two-character setting commands
// (F0..F7, G0..G3, H0/H1, R0/R1, each followed by CR) and records every byte it is sent.
//
// ptys run at memory speed, so the simulator paces both directions itself: every byte takes
// one character time (10 bits at 9600 baud) to "arrive", and replies go out one character
// per character time, so a client sees the waits a real line imposes.
//
// Qt-free on purpose: it runs in a test's own process on a background thread, and behind
// the small counter-sim program.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tallyo::sim {

// Functions and gate times as the counter numbers them on the wire (F0..F7, G0..G3).
enum Function : int {
    FreqA,
    FreqB,
    FreqC,
    Period,
    TotalCount,
    Rpm,
    Ratio,
    TimeInterval
};
inline constexpr int kFunctionCount = 8;
inline constexpr int kGateCount = 4;

// G0..G3: 0.01 s, 0.1 s, 1 s, 10 s.
double gateSeconds(int gate);

// Digits the counter resolves with a gate time: 7 for G0 up to 10 for G3.
int significantDigits(int gate);

// The steady signal the simulated bench feeds each function, in that function's base
// unit: Hz, seconds (period, time interval), events, RPM, or a plain ratio.
double nominalValue(int function);

// A reading as the counter prints it: the value to the gate's resolution with the
// function's unit (frequencies in Hz/kHz/MHz/GHz, times in ns/us/ms/s, "RPM", none for a
// total count or a ratio), right-aligned in 17 columns, then CR. Every reading of the
// bench signals is 18 characters, e.g.
//     formatReading(FreqA, 2, 10.0000123e6) == "   10.0000123 MHz\r"
// Throws std::out_of_range for a function or gate the counter does not have.
std::string formatReading(int function, int gate, double value);

// Successive readings of the bench signals, each a few counts of its last digit off the
// nominal value (no bench value is near enough a decade for that to change its resolution
// or unit); the total count grows by about one gate time of a 1 kHz signal per
// reading. The same seed gives the same sequence.
class ReadingSource {
public:
    explicit ReadingSource(unsigned seed = 1);
    std::string next(int function, int gate);

private:
    std::uint64_t nextRandom();

    std::uint64_t m_state;
    long long m_totalCount = 0;
};

// One simulated counter on its own pty, served by its own thread. All members are
// thread-safe. Until hangUp() or destruction the device stays usable whether or not a
// client has it open: the simulator keeps its own descriptor of the slave, so a client's
// close() neither hangs the line up nor leaves the slave in cooked mode.
class CounterSim {
public:
    using Clock = std::chrono::steady_clock;

    // One character on the line: 10 bits (start, 8 data, stop) at 9600 baud.
    static constexpr std::chrono::nanoseconds kCharTime{1'041'667};

    struct Options {
        bool pace = true; // false: bytes move at pty speed
        std::chrono::microseconds replyLatency{0}; // measuring time before a reply starts
        unsigned seed = 1; // the readings' jitter
    };

    enum class Reply {
        Normal, // a reading (or the custom reply, when one is set)
        Silent, // no answer at all
        Short, // the first 13 characters of a reading, no CR
        Long, // a reading padded with leading spaces to 34 characters, CR included
        Garbage, // 16 bytes of line noise: control characters, NUL, 0xFF, no digits, CR last
    };

    struct RxByte {
        unsigned char byte;
        Clock::time_point arrival; // when its stop bit would have arrived on a real line
    };

    // Opens the pty and starts serving it. Throws std::system_error when no pty is to be had.
    CounterSim();
    explicit CounterSim(Options options);
    // Stops the thread and closes the device: a client that still has it open sees a hang-up.
    ~CounterSim();
    CounterSim(const CounterSim &) = delete;
    CounterSim &operator=(const CounterSim &) = delete;

    // The slave side, e.g. "/dev/pts/7": what a client opens as its serial port.
    const std::string &devicePath() const;

    // --- What the client sent -------------------------------------------------------------
    // Bytes appear here once they have arrived (paced), byte-exact: no echo, no CR mapping.
    // A long run keeps only the latest: at least 128 Ki bytes and 32 Ki commands.
    std::string received() const;
    std::vector<RxByte> receivedBytes() const;
    // Every complete command as it appeared on the wire, in order: "G2\r", "D1", ... Any
    // capital letter and digit followed by CR counts, even one the counter ignores ("F9\r");
    // other bytes stay in received() only.
    std::vector<std::string> commands() const;
    // Forgets what was recorded. The counter's own state, including a command it has
    // half-received, is unaffected.
    void clearReceived();
    // Wait until at least n commands / bytes are recorded (since the last clearReceived()).
    bool waitForCommands(std::size_t n, std::chrono::milliseconds timeout) const;
    bool waitForReceivedBytes(std::size_t n, std::chrono::milliseconds timeout) const;
    // Called on the simulator's thread for every complete command, after it took effect.
    // It may call any member except setCommandObserver(); hangUp() from it takes effect
    // right after it returns.
    void setCommandObserver(std::function<void(const std::string &command)> observer);

    // --- The counter's state (power-up: F0, G2, hold off, remote off) ---------------------
    int function() const;
    int gate() const;
    // While hold is on, a D1 repeats the last reading as long as function and gate are
    // unchanged since it was taken.
    bool hold() const;
    bool remote() const;
    // D1s answered (a Silent counter answers none), counted as each D1 arrives.
    int readingsServed() const;

    // --- Behaviour, changeable at any time; applies to D1s that arrive afterwards ---------
    void setReply(Reply reply);
    // Applies with or without pacing.
    void setReplyLatency(std::chrono::microseconds latency);
    // Exact bytes to send instead of a reading in Normal mode; an empty string goes back
    // to readings. The other modes are unaffected.
    void setCustomReply(std::string bytes);
    // The device goes away as an unplugged adapter would: replies still going out are
    // dropped and both ends are closed, so the client's reads fail and the device path
    // disappears. Returns once that has happened (except when called from the observer).
    void hangUp();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace tallyo::sim
