#include "calcoffice.h"

#include "calcoptions.h"
#include "limittext.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cppuhelper/bootstrap.hxx>
#include <rtl/bootstrap.hxx>

#include <com/sun/star/bridge/BridgeFactory.hpp>
#include <com/sun/star/connection/Connector.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/lang/XComponent.hpp>

extern char **environ;

namespace tallyo::calc {

// A started soffice, reaped when asked whether it has ended (no thread
// waits for it: it may well outlive this program). The office runs in a
// process group of its own, led by pid.
struct ChildState {
    pid_t pid = -1;
    std::mutex mutex;
    bool ended = false;
    int status = 0;

    bool hasEnded()
    {
        std::lock_guard lock(mutex);
        if (!ended) {
            int waitStatus = 0;
            const pid_t waited = ::waitpid(pid, &waitStatus, WNOHANG);
            if (waited == pid) {
                ended = true;
                status = waitStatus;
            } else if (waited < 0 && errno == ECHILD) {
                ended = true; // reaped by someone else: how it ended is not known
            }
        }
        return ended;
    }
};

namespace {

using Clock = std::chrono::steady_clock;
namespace Error = SpreadsheetErrorNumber;

#ifndef TALLYO_LO_PROGRAM_DIR
#define TALLYO_LO_PROGRAM_DIR "/usr/lib/libreoffice/program"
#endif
// The installation this module was built against: its UNO runtime serves
// our side of the link, whichever office we start.
constexpr char RuntimeProgramDirectory[] = TALLYO_LO_PROGRAM_DIR;
constexpr char DefaultPipeName[] = "tallyo_calc";
constexpr auto ConnectRetry = std::chrono::milliseconds(50);

// How long an office already running on the profile gets to take over from an
// soffice that ended at once, before soffice is started again; and how many
// starts in all.
std::chrono::milliseconds handOverWait(std::chrono::milliseconds startTimeout)
{
    return std::min<std::chrono::milliseconds>(std::chrono::seconds(10), startTimeout / 3);
}
constexpr int OfficeStarts = 3;

bool isFile(const std::string &path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// Our side of the link: one UNO runtime for the whole process, never torn
// down (threads of abandoned links may still use it).
Reference<css::uno::XComponentContext> localContext()
{
    static std::mutex mutex;
    static Reference<css::uno::XComponentContext> *context = nullptr;
    std::lock_guard lock(mutex);
    if (!context) {
        const std::string rc = std::string(RuntimeProgramDirectory) + "/fundamentalrc";
        if (!isFile(rc)) {
            throw SpreadsheetError(Error::NotInstalled, "LibreOffice Calc is not installed: " + rc + " is missing.");
        }
        try {
            rtl::Bootstrap::set("URE_BOOTSTRAP", toUno("vnd.sun.star.pathname:" + rc));
            context = new Reference<css::uno::XComponentContext>(cppu::defaultBootstrap_InitialComponentContext());
        } catch (const css::uno::Exception &e) {
            throw SpreadsheetError(Error::NotInstalled,
                                   "LibreOffice is not installed completely: " + fromUno(e.Message));
        }
    }
    return *context;
}

// The link writes to a pipe the office may close at any moment (the user
// quits it): that must end the link, not the program, whatever the program
// does with SIGPIPE. While this lives, SIGPIPE is blocked on the calling
// thread and on the threads it starts (the link's reader and writer inherit
// the block for good); one raised meanwhile is taken off before unblocking.
class SigpipeBlocked {
public:
    SigpipeBlocked()
    {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &m_previous);
    }
    ~SigpipeBlocked()
    {
        if (sigismember(&m_previous, SIGPIPE))
            return; // blocked before us: not ours to undo
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE)) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec now{0, 0};
            sigtimedwait(&pipe, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    SigpipeBlocked(const SigpipeBlocked &) = delete;
    SigpipeBlocked &operator=(const SigpipeBlocked &) = delete;

private:
    sigset_t m_previous;
};

std::shared_ptr<ChildState> startOffice(const std::string &programDirectory, const std::string &accept, bool headless,
                                        const std::string &profileUrl)
{
    const std::string executable = programDirectory + "/soffice";
    std::vector<std::string> arguments = {executable, "--accept=" + accept, "--norestore",
                                          "--nologo", "--nodefault",        "--nolockcheck"};
    if (headless)
        arguments.push_back("--headless");
    if (!profileUrl.empty())
        arguments.push_back("-env:UserInstallation=" + profileUrl);
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    // A session of its own: the office outlives us, and a Ctrl+C meant for
    // us does not reach it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGPIPE); // whatever this program does with it
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, executable.c_str(), &files, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        throw SpreadsheetError(Error::StartFailed,
                               "LibreOffice could not be started (" + executable + "): " + std::strerror(error) + ".");
    }

    auto state = std::make_shared<ChildState>();
    state->pid = pid;
    return state;
}

} // namespace

rtl::OUString toUno(const std::string &utf8)
{
    return rtl::OStringToOUString(rtl::OString(utf8.data(), static_cast<sal_Int32>(utf8.size())),
                                  RTL_TEXTENCODING_UTF8);
}

std::string fromUno(const rtl::OUString &text)
{
    const rtl::OString utf8 = rtl::OUStringToOString(text, RTL_TEXTENCODING_UTF8);
    return std::string(utf8.getStr(), static_cast<std::size_t>(utf8.getLength()));
}

// ---------------------------------------------------------------- Watchdog

Watchdog::Watchdog(std::function<void()> onExpiry) : m_onExpiry(std::move(onExpiry)), m_thread([this] { run(); })
{}

Watchdog::~Watchdog()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void Watchdog::arm(std::chrono::milliseconds timeout)
{
    std::lock_guard lock(m_mutex);
    m_deadline = Clock::now() + timeout;
    // A watchdog sleeping towards an earlier time wakes then and finds this
    // deadline: no thread switch for the common case of equal timeouts.
    if (*m_deadline < m_wakeAt)
        m_wake.notify_one();
}

void Watchdog::disarm()
{
    std::lock_guard lock(m_mutex);
    m_deadline.reset();
}

void Watchdog::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_quit) {
        if (!m_deadline) {
            m_wakeAt = Clock::time_point::max();
            m_wake.wait(lock);
            continue;
        }
        if (Clock::now() < *m_deadline) {
            m_wakeAt = *m_deadline;
            m_wake.wait_until(lock, m_wakeAt);
            continue;
        }
        m_deadline.reset();
        lock.unlock();
        m_onExpiry();
        lock.lock();
    }
}

// ---------------------------------------------------------------- WatchedDocument

void WatchedDocument::watch(const Reference<css::frame::XModel> &model)
{
    release();
    rtl::Reference<DisposedFlag> closed = new DisposedFlag;
    Reference<css::lang::XComponent>(model, css::uno::UNO_QUERY_THROW)
        ->addEventListener(Reference<css::lang::XEventListener>(closed.get()));
    m_model = model;
    m_closed = closed;
}

void WatchedDocument::forget()
{
    m_model.clear();
    m_closed.clear();
}

void WatchedDocument::release()
{
    if (m_model.is() && !closeNoticed()) {
        try {
            Reference<css::lang::XComponent>(m_model, css::uno::UNO_QUERY_THROW)
                ->removeEventListener(Reference<css::lang::XEventListener>(m_closed.get()));
        } catch (const css::uno::Exception &) {
            // gone already: nothing to stop
        }
    }
    forget();
}

bool WatchedDocument::stillOpen() const
{
    if (!m_model.is() || closeNoticed())
        return false;
    try {
        m_model->getURL(); // throws DisposedException once the document is closed
        return m_model->getCurrentController().is();
    } catch (const css::uno::Exception &) {
        return false;
    }
}

// ---------------------------------------------------------------- OfficeLink

namespace {

// Never destroyed: threads of abandoned calls may still reach them at exit.
std::mutex &linksMutex = *new std::mutex;
auto &links = *new std::map<std::string, std::weak_ptr<OfficeLink>>;
// Offices this process started that hold no workbook yet, by pipe.
auto &emptyOffices = *new std::map<std::string, pid_t>;

} // namespace

OfficeLink::~OfficeLink()
{
    cut();
}

bool OfficeLink::up() const
{
    std::lock_guard lock(m_mutex);
    return m_desktop.is() && !(m_down.is() && m_down->isSet());
}

Reference<css::frame::XDesktop2> OfficeLink::desktop() const
{
    std::lock_guard lock(m_mutex);
    return m_desktop;
}

std::shared_ptr<OfficeLink> OfficeLink::shared(const std::string &pipe)
{
    std::lock_guard lock(linksMutex);
    const auto it = links.find(pipe);
    if (it == links.end())
        return nullptr;
    auto link = it->second.lock();
    return link && link->up() ? link : nullptr;
}

std::shared_ptr<OfficeLink> OfficeLink::share(const std::string &pipe, std::shared_ptr<OfficeLink> link)
{
    std::lock_guard lock(linksMutex);
    auto &entry = links[pipe];
    if (auto other = entry.lock(); other && other->up())
        return other; // another thread got there first; ours goes unused
    entry = link;
    return link;
}

bool OfficeLink::open(const std::string &pipe)
{
    const SigpipeBlocked sigpipeBlocked;
    const Reference<css::uno::XComponentContext> local = localContext();
    Reference<css::connection::XConnection> connection;
    try {
        connection = css::connection::Connector::create(local)->connect(toUno("pipe,name=" + pipe));
    } catch (const css::connection::NoConnectException &) {
        return false;
    }
    Reference<css::bridge::XBridge> bridge =
        css::bridge::BridgeFactory::create(local)->createBridge(rtl::OUString(), "urp", connection, nullptr);
    rtl::Reference<DisposedFlag> down = new DisposedFlag;
    Reference<css::lang::XComponent>(bridge, css::uno::UNO_QUERY_THROW)
        ->addEventListener(Reference<css::lang::XEventListener>(down.get()));
    {
        std::lock_guard lock(m_mutex);
        m_bridge = bridge;
        m_down = down;
    }
    try {
        Reference<css::uno::XComponentContext> remote(bridge->getInstance("StarOffice.ComponentContext"),
                                                      css::uno::UNO_QUERY_THROW);
        Reference<css::frame::XDesktop2> desktop = css::frame::Desktop::create(remote);
        std::lock_guard lock(m_mutex);
        if (!m_bridge.is())
            return false; // cut meanwhile
        m_remote = std::move(remote);
        m_desktop = std::move(desktop);
        return true;
    } catch (const css::uno::RuntimeException &) {
        // The office is between opening its pipe and serving it (or the
        // caller's deadline cut the link: the caller knows).
        cut();
        return false;
    }
}

void OfficeLink::cut()
{
    Reference<css::bridge::XBridge> bridge;
    Reference<css::uno::XComponentContext> remote;
    Reference<css::frame::XDesktop2> desktop;
    {
        std::lock_guard lock(m_mutex);
        bridge = std::move(m_bridge);
        remote = std::move(m_remote);
        desktop = std::move(m_desktop);
        m_bridge.clear();
        m_remote.clear();
        m_desktop.clear();
    }
    remote.clear();
    desktop.clear();
    if (!bridge.is())
        return;
    try {
        // Ends a call waiting on the office with DisposedException; the
        // office drops what it held for us and keeps every document.
        Reference<css::lang::XComponent>(bridge, css::uno::UNO_QUERY_THROW)->dispose();
    } catch (const css::uno::Exception &) {
        // cut already
    }
}

// ---------------------------------------------------------------- CalcOffice

CalcOffice::CalcOffice(const SheetBackendOptions &options)
    : m_headless(CalcOptions::from(options).headless),
      m_profileUrl(CalcOptions::from(options).profileUrl),
      m_pipe(CalcOptions::from(options).pipeName.empty() ? DefaultPipeName : CalcOptions::from(options).pipeName),
      m_programDirectory(CalcOptions::from(options).officeProgramDirectory.empty()
                             ? RuntimeProgramDirectory
                             : CalcOptions::from(options).officeProgramDirectory),
      m_startTimeout(options.startTimeout),
      m_startDeadline([this] {
          m_startTimedOut = true;
          if (const auto current = link())
              current->cut();
      })
{}

void CalcOffice::connect(Start start)
{
    const auto deadline = Clock::now() + m_startTimeout;
    const auto timedOut = [&] {
        return SpreadsheetError(Error::StartFailed,
                                "LibreOffice did not start within " + inSeconds(m_startTimeout) + ".");
    };
    if (m_cancelled)
        abandoned();
    if (auto existing = OfficeLink::shared(m_pipe)) {
        setLink(std::move(existing));
        std::lock_guard lock(m_linkMutex);
        m_linkShared = true;
        return;
    }
    struct Armed {
        explicit Armed(CalcOffice &office) : office(office) { office.m_startDeadline.arm(office.m_startTimeout); }
        ~Armed() { office.m_startDeadline.disarm(); }
        CalcOffice &office;
    } armed(*this);
    try {
        if (!tryOpen(m_pipe)) {
            if (m_cancelled)
                abandoned();
            if (m_startTimedOut)
                throw timedOut();
            if (start == Start::Never)
                throw SpreadsheetError(Error::ApplicationGone,
                                       "No LibreOffice accepts automation on the pipe " + m_pipe + ".");
            if (!isFile(m_programDirectory + "/soffice"))
                throw SpreadsheetError(Error::NotInstalled,
                                       "LibreOffice Calc is not installed: " + m_programDirectory
                                           + "/soffice is missing.");
            if (!isFile(m_programDirectory + "/libsclo.so"))
                throw SpreadsheetError(
                    Error::NotInstalled,
                    "LibreOffice is installed without Calc, its spreadsheet (package libreoffice-calc).");
            const auto launch = [&] {
                auto child = startOffice(m_programDirectory, "pipe,name=" + m_pipe + ";urp;", m_headless, m_profileUrl);
                {
                    std::lock_guard lock(m_linkMutex);
                    m_launched = child;
                }
                {
                    std::lock_guard lock(linksMutex);
                    emptyOffices[m_pipe] = child->pid;
                }
                if (m_cancelled) // cancel() came while it was being launched
                    endLaunchedOfficeIfEmpty();
                return child;
            };
            auto child = launch();
            int starts = 1;
            auto endedAt = Clock::time_point::max(); // seen ended, at
            while (!tryOpen(m_pipe)) {
                if (m_cancelled)
                    abandoned();
                // An soffice that ends at once with 0 has handed its arguments
                // to the office already running on the profile: wait for that.
                // One that finds no display ends with 0 as well, now and then
                // on a busy machine, even twice in a row: with no office taking
                // over after a while, it is started again.
                if (child->hasEnded()) {
                    const int status = child->status;
                    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                        throw SpreadsheetError(Error::StartFailed,
                                               "LibreOffice could not be started: soffice ended at once ("
                                                   + (WIFEXITED(status)
                                                          ? "exit status " + std::to_string(WEXITSTATUS(status))
                                                          : "signal " + std::to_string(WTERMSIG(status)))
                                                   + ").");
                    }
                    const auto now = Clock::now();
                    endedAt = std::min(endedAt, now);
                    if (starts < OfficeStarts && now - endedAt >= handOverWait(m_startTimeout)) {
                        ++starts;
                        endedAt = Clock::time_point::max();
                        child = launch();
                        continue;
                    }
                }
                if (Clock::now() + ConnectRetry > deadline || m_startTimedOut) {
                    if (starts > 1 && child->hasEnded())
                        throw SpreadsheetError(Error::StartFailed,
                                               "LibreOffice could not be started: soffice ended at once, "
                                                   + std::to_string(starts)
                                                   + " times, and no running office took over. Start LibreOffice "
                                                     "Calc by hand to see why, then try again.");
                    throw timedOut();
                }
                std::this_thread::sleep_for(ConnectRetry);
            }
        }
        if (m_cancelled)
            abandoned();
        auto shared = OfficeLink::share(m_pipe, link());
        setLink(std::move(shared));
        std::lock_guard lock(m_linkMutex);
        m_linkShared = true;
    } catch (const SpreadsheetError &) {
        setLink(nullptr);
        throw;
    } catch (const css::uno::Exception &e) {
        setLink(nullptr);
        if (m_cancelled)
            abandoned();
        if (m_startTimedOut)
            throw timedOut();
        throw SpreadsheetError(Error::StartFailed, "LibreOffice could not be reached: " + fromUno(e.Message));
    }
}

CalcOffice::~CalcOffice()
{
    if (m_cutter.joinable())
        m_cutter.join();
    setLink(nullptr); // the last user of a link cuts it
    if (const auto launched = launchedOffice())
        launched->hasEnded(); // reaps it, if it has ended
}

void CalcOffice::cancel()
{
    m_cancelled = true;
    endLaunchedOfficeIfEmpty();
    // Our share of the link goes: the last share cuts it, which ends a call
    // waiting on the office. A link others in this process still use stays:
    // their calls are not ours to end. One still being opened is ours alone.
    std::shared_ptr<OfficeLink> ours;
    bool opening = false;
    {
        std::lock_guard lock(m_linkMutex);
        ours = std::exchange(m_link, nullptr);
        opening = !m_linkShared;
        m_linkShared = false;
    }
    // Cutting waits for the link's threads: not on the caller's. The thread
    // touches only the link it holds, and is joined before this object goes.
    if (ours && !m_cutter.joinable())
        m_cutter = std::thread([ours = std::move(ours), opening]() mutable {
            if (opening)
                ours->cut();
            ours.reset();
        });
}

void CalcOffice::noteWorkbookOpened()
{
    std::lock_guard lock(linksMutex);
    emptyOffices.erase(m_pipe);
}

std::shared_ptr<ChildState> CalcOffice::launchedOffice() const
{
    std::lock_guard lock(m_linkMutex);
    return m_launched;
}

void CalcOffice::endLaunchedOfficeIfEmpty()
{
    const std::shared_ptr<ChildState> launched = launchedOffice();
    if (!launched || launched->hasEnded())
        return;
    std::lock_guard lock(linksMutex);
    const auto it = emptyOffices.find(m_pipe);
    if (it == emptyOffices.end() || it->second != launched->pid)
        return;
    emptyOffices.erase(it);
    ::kill(-launched->pid, SIGKILL); // soffice and the office it runs: their own process group
}

std::shared_ptr<OfficeLink> CalcOffice::link() const
{
    std::lock_guard lock(m_linkMutex);
    return m_link;
}

void CalcOffice::setLink(std::shared_ptr<OfficeLink> link)
{
    std::shared_ptr<OfficeLink> previous;
    {
        std::lock_guard lock(m_linkMutex);
        previous = std::exchange(m_link, std::move(link));
        m_linkShared = false;
    }
    // previous, if it was the last reference, is cut here: outside the lock
}

bool CalcOffice::tryOpen(const std::string &pipe)
{
    auto link = std::make_shared<OfficeLink>();
    setLink(link); // reachable by cancel() and the start deadline while it opens
    if (m_cancelled || m_startTimedOut) {
        setLink(nullptr);
        return false;
    }
    if (link->open(pipe))
        return true;
    setLink(nullptr);
    return false;
}

void CalcOffice::abandoned() const
{
    throw SpreadsheetError(Error::Abandoned, "LibreOffice Calc was given up: nothing more was sent to it.");
}

void CalcOffice::officeGone()
{
    if (m_dropReferences)
        m_dropReferences();
    throw SpreadsheetError(Error::ApplicationGone, "LibreOffice was closed, or stopped working, during the recording.");
}

void CalcOffice::fail(const char *step, const rtl::OUString &message, const WatchedDocument *document)
{
    if (m_cancelled)
        abandoned();
    if (document && document->closeNoticed())
        throw SpreadsheetError(Error::DocumentGone, "The workbook was closed during the recording.");
    bool officeAnswers = linkUp();
    if (officeAnswers) {
        try {
            present(desktop()->getComponents());
        } catch (const css::uno::Exception &) {
            officeAnswers = false;
        }
    }
    if (!officeAnswers)
        officeGone();
    if (document && !document->stillOpen())
        throw SpreadsheetError(Error::DocumentGone, "The workbook was closed during the recording.");
    throw SpreadsheetError(Error::CallFailed,
                           "LibreOffice Calc could not " + std::string(step) + ": " + fromUno(message));
}

} // namespace tallyo::calc
