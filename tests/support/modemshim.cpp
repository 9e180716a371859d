#include "modemshim.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <dlfcn.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
std::atomic<bool> g_enabled{false};
std::atomic<bool> g_drainHangs{false};
std::mutex g_mutex;
std::map<std::string, int> g_bits;

std::string pathOf(int fd)
{
    char link[64];
    char target[256];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, size_t(n)) : std::string();
}
} // namespace

namespace modemshim {
void enable(bool on)
{
    g_enabled = on;
}
void drainHangs(bool on)
{
    g_drainHangs = on;
}
void reset()
{
    std::lock_guard lock(g_mutex);
    g_bits.clear();
}
int bits(const std::string &device)
{
    std::lock_guard lock(g_mutex);
    const auto it = g_bits.find(device);
    return it == g_bits.end() ? -1 : it->second;
}
} // namespace modemshim

// Interposes on libc's ioctl() for the executable (linked with exported symbols).
extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    using Real = int (*)(int, unsigned long, ...);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
    if (g_drainHangs && request == TIOCOUTQ && pathOf(fd).rfind("/dev/pts/", 0) == 0) {
        *static_cast<int *>(arg) = 3;
        return 0;
    }
    const bool modemRequest = request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET || request == TIOCMGET;
    if (g_enabled && modemRequest) {
        const std::string device = pathOf(fd);
        if (device.rfind("/dev/pts/", 0) == 0) {
            std::lock_guard lock(g_mutex);
            // A real UART raises both lines when it is opened.
            int &bits = g_bits.try_emplace(device, TIOCM_DTR | TIOCM_RTS).first->second;
            const int value = *static_cast<int *>(arg);
            switch (request) {
            case TIOCMGET:
                *static_cast<int *>(arg) = bits;
                return 0;
            case TIOCMBIS:
                bits |= value;
                break;
            case TIOCMBIC:
                bits &= ~value;
                break;
            case TIOCMSET:
                bits = value;
                break;
            }
            return 0;
        }
    }
    return real(fd, request, arg);
}

extern "C" int tcdrain(int fd)
{
    using Real = int (*)(int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcdrain"));
    if (g_drainHangs && pathOf(fd).rfind("/dev/pts/", 0) == 0)
        ::sleep(10);
    return real(fd);
}
