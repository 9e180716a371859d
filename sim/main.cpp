// counter-sim: simulated frequency counters on pseudo-terminals, for running the panel,
// or poking at the line with a serial terminal, with no counter attached.
//
//   counter-sim [--count N] [--no-pace]
//
// Prints each counter's device ("counter 1: /dev/pts/5"), then every command a counter
// receives ("port 1 <- "G2\r""), until SIGINT, SIGTERM or SIGHUP.
#include "countersim.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <pthread.h>

namespace {

constexpr int kMaxCounters = 64;

void usage(std::FILE* to)
{
    std::fprintf(to,
                 "usage: counter-sim [--count N] [--no-pace]\n"
                 "  --count N   simulate N counters, each on its own pty (1..%d, default 1)\n"
                 "  --no-pace   move bytes at pty speed instead of 9600 baud\n",
                 kMaxCounters);
}

// A command the way C would write it: "G2\r".
std::string quoted(const std::string& bytes)
{
    std::string out = "\"";
    for (const unsigned char c : bytes) {
        switch (c) {
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                out += char(c);
            }
        }
    }
    return out + '"';
}

bool parseCount(const std::string& text, int& count)
{
    try {
        std::size_t end = 0;
        const int value = std::stoi(text, &end);
        if (end != text.size() || value < 1 || value > kMaxCounters)
            return false;
        count = value;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    using tallyo::sim::CounterSim;

    int count = 1;
    CounterSim::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--count" && i + 1 < argc) {
            if (!parseCount(argv[++i], count)) {
                std::fprintf(stderr, "counter-sim: --count wants a number from 1 to %d\n", kMaxCounters);
                return 2;
            }
        } else if (arg == "--no-pace") {
            options.pace = false;
        } else if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "counter-sim: unknown argument '%s'\n", arg.c_str());
            usage(stderr);
            return 2;
        }
    }

    // Blocked before any counter thread starts, so that every thread inherits the mask and
    // the signals reach only the sigwait() below: the counters then shut down through
    // their destructors, and a client still attached sees its line hang up.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::mutex outputMutex;  // declared first: it must outlive the counters that print through it
    std::vector<std::unique_ptr<CounterSim>> counters;
    try {
        for (int n = 0; n < count; ++n)
            counters.push_back(std::make_unique<CounterSim>(options));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "counter-sim: cannot open a pseudo-terminal: %s\n", e.what());
        return 1;
    }

    // Paths first: nobody can send a command before knowing where to.
    for (std::size_t n = 0; n < counters.size(); ++n)
        std::printf("counter %zu: %s\n", n + 1, counters[n]->devicePath().c_str());
    std::fflush(stdout);
    for (std::size_t n = 0; n < counters.size(); ++n) {
        counters[n]->setCommandObserver([port = n + 1, &outputMutex](const std::string& command) {
            std::lock_guard lock(outputMutex);
            std::printf("port %zu <- %s\n", port, quoted(command).c_str());
            std::fflush(stdout);
        });
    }

    int signal = 0;
    sigwait(&stopSignals, &signal);
    return 0;
}
