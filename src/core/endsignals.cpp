#include "endsignals.h"

#include <QMetaObject>
#include <atomic>
#include <csignal>
#include <stdexcept>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tallyo {

namespace {
std::atomic<EndSignals *> g_watcher{nullptr};
} // namespace

#ifdef Q_OS_WIN

struct EndSignals::Private {};

namespace {
BOOL WINAPI onConsoleEvent(DWORD event)
{
    EndSignals *watcher = g_watcher.load();
    if (!watcher)
        return FALSE;
    const int number = event == CTRL_C_EVENT ? SIGINT : event == CTRL_BREAK_EVENT ? SIGBREAK : SIGTERM;
    QMetaObject::invokeMethod(
        watcher, [watcher, number] { emit watcher->endRequested(number); }, Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(2000); // the system ends the process when this returns: give the event loop its second
    return TRUE;
}
} // namespace

EndSignals::EndSignals(QObject *parent) : QObject(parent), d(std::make_unique<Private>())
{
    EndSignals *none = nullptr;
    if (!g_watcher.compare_exchange_strong(none, this))
        throw std::logic_error("only one EndSignals at a time");
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

EndSignals::~EndSignals()
{
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    g_watcher.store(nullptr);
}

#else

namespace {
constexpr int kWatched[] = {SIGTERM, SIGINT, SIGHUP};
int g_pipe[2] = {-1, -1};
// Signals received: a second one of a kind ends the process.
std::atomic<unsigned> g_pending{0};

void onSignal(int number)
{
    const unsigned bit = 1u << number;
    if (g_pending.fetch_or(bit) & bit) {
        // Asked again while the first request is being served: the system's way.
        std::signal(number, SIG_DFL);
        ::raise(number);
        return;
    }
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}
} // namespace

struct EndSignals::Private {
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction previous[std::size(kWatched)] = {};
};

EndSignals::EndSignals(QObject *parent) : QObject(parent), d(std::make_unique<Private>())
{
    EndSignals *none = nullptr;
    if (!g_watcher.compare_exchange_strong(none, this))
        throw std::logic_error("only one EndSignals at a time");
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_watcher.store(nullptr);
        throw std::runtime_error("cannot watch for signals: no pipe");
    }
    g_pending = 0;
    d->notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    connect(d->notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(g_pipe[0], &byte, 1) == 1)
            emit endRequested(byte);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kWatched); ++i)
        ::sigaction(kWatched[i], &action, &d->previous[i]);
}

EndSignals::~EndSignals()
{
    for (std::size_t i = 0; i < std::size(kWatched); ++i)
        ::sigaction(kWatched[i], &d->previous[i], nullptr);
    d->notifier.reset();
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
    g_watcher.store(nullptr);
}

#endif

} // namespace tallyo
