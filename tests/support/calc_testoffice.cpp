#include "calc_testoffice.h"

#include "sheetmodules.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tallyo::test {

namespace {

using Clock = std::chrono::steady_clock;

bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    // "pid (name) S ...": a zombie has ended, whoever reaps it
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) == "Z";
}

// Waits for a process that need not be our child to end.
bool waitForEnd(qint64 pid, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
#ifdef SYS_pidfd_open
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (fd >= 0) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd ready{fd, POLLIN, 0};
            const int n = ::poll(&ready, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
            if (n != 0 || left.count() <= 0) {
                ::close(fd);
                return n > 0 || processGone(pid);
            }
        }
    }
#endif
    while (!processGone(pid)) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void *moduleSymbol(const char *name)
{
    return resolveSheetModuleSymbol(calcModuleDirectory().toStdString(), "calc", name);
}

} // namespace

QString calcModuleDirectory()
{
    const QByteArray build = qgetenv("TALLYO_BUILD_DIR");
    if (!build.isEmpty())
        return QDir(QString::fromLocal8Bit(build)).absoluteFilePath(QStringLiteral("tests/calc-module"));
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("calc-module"));
}

bool calcRequired()
{
#ifdef TALLYO_REQUIRE_CALC
    return true;
#else
    return false;
#endif
}

QString calcUnavailableReason()
{
    const QString module = QDir(calcModuleDirectory())
                               .absoluteFilePath(QString::fromStdString(sheetModuleFileName(*findSheetModule("calc"))));
    if (!QFileInfo::exists(module))
        return module + QStringLiteral(" was not built (LibreOffice SDK missing?)");
    if (!QFileInfo::exists(QStringLiteral("/usr/lib/libreoffice/program/soffice")))
        return QStringLiteral("LibreOffice is not installed");
    try {
        moduleSymbol(CalcProbeCreateSymbol);
    } catch (const SpreadsheetError &e) {
        return QString::fromStdString(e.what());
    }
    return {};
}

CalcTestOffice::CalcTestOffice()
{
    static std::atomic<int> serial{0};
    m_pipe = "tallyo_test_" + std::to_string(::getpid()) + "_" + std::to_string(++serial);
}

CalcTestOffice::~CalcTestOffice()
{
    stop();
}

CalcOptions CalcTestOffice::calcOptions() const
{
    CalcOptions options;
    // With a display (the test runs under Xvfb) the office shows its windows,
    // as it does for a user.
    options.headless = qEnvironmentVariableIsEmpty("DISPLAY");
    options.profileUrl = QUrl::fromLocalFile(m_folder.filePath(QStringLiteral("profile"))).toString().toStdString();
    options.pipeName = m_pipe;
    return options;
}

SheetBackendOptions CalcTestOffice::backendOptions() const
{
    SheetBackendOptions options;
    calcOptions().applyTo(options);
    return options;
}

SpreadsheetLoaderOptions CalcTestOffice::loaderOptions(QueueSettings queue) const
{
    SpreadsheetLoaderOptions options;
    options.moduleDirectory = calcModuleDirectory().toStdString();
    options.backends = {"calc"};
    options.backend = backendOptions();
    options.queue = queue;
    return options;
}

SpreadsheetFactory CalcTestOffice::factory(QueueSettings queue) const
{
    return makeSpreadsheetFactory(loaderOptions(queue));
}

std::unique_ptr<SheetBackend> CalcTestOffice::directBackend() const
{
    const auto create = reinterpret_cast<SheetBackendCreateFunction>(moduleSymbol(SheetBackendCreateSymbol));
    std::unique_ptr<SheetBackend> backend(create(backendOptions()));
    backend->start();
    return backend;
}

CalcProbe &CalcTestOffice::inspector()
{
    if (!m_inspector)
        m_inspector = newInspector();
    return *m_inspector;
}

std::unique_ptr<CalcProbe> CalcTestOffice::newInspector() const
{
    const auto create = reinterpret_cast<CalcProbeCreateFunction>(moduleSymbol(CalcProbeCreateSymbol));
    return std::unique_ptr<CalcProbe>(create(backendOptions()));
}

std::vector<qint64> CalcTestOffice::processIds() const
{
    // Every process started on our profile names its folder on its command line.
    const QByteArray folder = QFile::encodeName(m_folder.path());
    std::vector<qint64> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid || pid == ::getpid())
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(folder) && !processGone(pid))
            pids.push_back(pid);
    }
    return pids;
}

qint64 CalcTestOffice::officeProcessId() const
{
    for (qint64 pid : processIds()) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().split('\0').value(0).endsWith("soffice.bin"))
            return pid;
    }
    return 0;
}

void CalcTestOffice::stop()
{
    m_inspector.reset();
    for (const int signal : {SIGTERM, SIGKILL}) {
        const auto pids = processIds();
        if (pids.empty())
            return;
        for (qint64 pid : pids) {
            ::kill(static_cast<pid_t>(pid), signal);
            ::kill(static_cast<pid_t>(pid), SIGCONT); // one a test stopped
        }
        for (qint64 pid : pids)
            waitForEnd(pid, std::chrono::seconds(10));
    }
}

std::string newWorkbook(const std::vector<std::string> &before, const std::vector<std::string> &after)
{
    std::vector<std::string> added;
    for (const std::string &title : after) {
        if (std::find(before.begin(), before.end(), title) == before.end())
            added.push_back(title);
    }
    return added.size() == 1 ? added.front() : std::string();
}

std::string withoutLineEnd(const std::string &text)
{
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n'))
        --end;
    return text.substr(0, end);
}

} // namespace tallyo::test
