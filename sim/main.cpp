// counter-sim: simulated frequency counters on pseudo-terminals, for running the panel,
// or poking at the line with a serial terminal, with no counter attached.
//
//   counter-sim [--count N] [--no-pace] [--link PATH]
//
// Prints each counter's device ("counter 1: /dev/pts/5"), then every command a counter
// receives ("port 1 <- "G2\r""), until SIGINT, SIGTERM or SIGHUP. With --link, counter 1
// is also reached at PATH (and counter n at PATH-n), a name that stays the same from run
// to run: `frequency-tallyo read PATH` takes readings from it.
#include "countersim.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxCounters = 64;

void usage(std::FILE *to)
{
    std::fprintf(to,
                 "usage: counter-sim [--count N] [--no-pace] [--link PATH]\n"
                 "  --count N    simulate N counters, each on its own pty (1..%d, default 1)\n"
                 "  --no-pace    move bytes at pty speed instead of 9600 baud\n"
                 "  --link PATH  make PATH lead to counter 1 (PATH-2 to counter 2, ...), for\n"
                 "               example for `frequency-tallyo read PATH`; removed at the end\n",
                 kMaxCounters);
}

// A command the way C would write it: "G2\r".
std::string quoted(const std::string &bytes)
{
    std::string out = "\"";
    for (const unsigned char c : bytes) {
        switch (c) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
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

bool parseCount(const std::string &text, int &count)
{
    try {
        std::size_t end = 0;
        const int value = std::stoi(text, &end);
        if (end != text.size() || value < 1 || value > kMaxCounters)
            return false;
        count = value;
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

// Where counter n (from 1) is also reached with --link PATH.
std::string linkPath(const std::string &path, std::size_t n)
{
    return n == 1 ? path : path + "-" + std::to_string(n);
}

// Makes `link` lead to `target`. Only a symbolic link is ever replaced (one
// left behind by an earlier run that was killed); any other file is refused.
bool makeLink(const std::string &target, const std::string &link)
{
    struct stat info {};
    if (::lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            std::fprintf(stderr, "counter-sim: %s exists and is not a symbolic link; choose another --link\n",
                         link.c_str());
            return false;
        }
        ::unlink(link.c_str());
    }
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "counter-sim: cannot make %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    using tallyo::sim::CounterSim;

    int count = 1;
    std::string link;
    CounterSim::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--count" && i + 1 < argc) {
            if (!parseCount(argv[++i], count)) {
                std::fprintf(stderr, "counter-sim: --count wants a number from 1 to %d\n", kMaxCounters);
                return 2;
            }
        } else if (arg == "--link" && i + 1 < argc) {
            link = argv[++i];
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

    std::mutex outputMutex; // declared first: it must outlive the counters that print through it
    std::vector<std::unique_ptr<CounterSim>> counters;
    try {
        for (int n = 0; n < count; ++n)
            counters.push_back(std::make_unique<CounterSim>(options));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "counter-sim: cannot open a pseudo-terminal: %s\n", e.what());
        return 1;
    }

    std::vector<std::string> links;
    if (!link.empty()) {
        for (std::size_t n = 0; n < counters.size(); ++n) {
            const std::string path = linkPath(link, n + 1);
            if (!makeLink(counters[n]->devicePath(), path)) {
                for (const auto &made : links)
                    ::unlink(made.c_str());
                return 1;
            }
            links.push_back(path);
        }
    }

    // Paths first: nobody can send a command before knowing where to.
    for (std::size_t n = 0; n < counters.size(); ++n)
        std::printf("counter %zu: %s%s%s\n", n + 1, counters[n]->devicePath().c_str(), links.empty() ? "" : ", also ",
                    links.empty() ? "" : links[n].c_str());
    std::fflush(stdout);
    for (std::size_t n = 0; n < counters.size(); ++n) {
        counters[n]->setCommandObserver([port = n + 1, &outputMutex](const std::string &command) {
            std::lock_guard lock(outputMutex);
            std::printf("port %zu <- %s\n", port, quoted(command).c_str());
            std::fflush(stdout);
        });
    }

    int signal = 0;
    sigwait(&stopSignals, &signal);
    for (const auto &made : links)
        ::unlink(made.c_str());
    return 0;
}
