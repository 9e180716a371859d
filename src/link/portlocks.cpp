#include "portlocks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#if __has_include(<sys/sysmacros.h>)
#include <sys/sysmacros.h>
#endif
#include <unistd.h>

namespace tallyo {

namespace {

// The kernel keeps the first 15 characters of a program's name.
constexpr qsizetype kKernelNameLength = 15;

struct LockFileContent {
    qint64 pid = 0; // 0: no process named
    QString program; // the name a Qt lock file keeps beside its PID
    QString host; // the machine a Qt lock file was written on
};

// UUCP lock files hold the PID as ten ASCII characters and a newline
// (minicom, lockdev), or as a 4-byte binary integer (old Kermit); Qt's hold
// "PID\nprogram\nhost\n".
LockFileContent readLockFile(const QString &path)
{
    LockFileContent content;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return content;
    const QByteArray bytes = file.read(4096);
    const QList<QByteArray> lines = bytes.split('\n');
    bool isNumber = false;
    const qint64 pid = lines.value(0).trimmed().toLongLong(&isNumber);
    if (isNumber) {
        content.pid = pid > 0 ? pid : 0;
        content.program = QString::fromLocal8Bit(lines.value(1).trimmed());
        content.host = QString::fromLocal8Bit(lines.value(2).trimmed());
    } else if (bytes.size() == 4) {
        qint32 binary = 0;
        std::memcpy(&binary, bytes.constData(), sizeof binary);
        content.pid = binary > 0 ? binary : 0;
    }
    return content;
}

// Whether the process a lock file names still runs. A file that also names
// its program (as Qt's do) belongs to an ended process when that PID now
// runs another program: the number was given out again.
bool processRuns(qint64 pid, const QString &program)
{
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
    const QString running = programName(pid);
    const QString named = QFileInfo(program).fileName();
    if (running.isEmpty() || named.isEmpty())
        return true;
    return running == named || (running.size() == kKernelNameLength && named.startsWith(running));
}

QMutex g_openHereMutex;
QSet<QString> g_openHere;

bool isOpenHere(const QString &device)
{
    const QMutexLocker lock(&g_openHereMutex);
    return g_openHere.contains(device);
}

QString userName(uid_t uid)
{
    const struct passwd *user = ::getpwuid(uid);
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(uid);
}

QString described(qint64 pid)
{
    const QString name = programName(pid);
    return name.isEmpty() ? QStringLiteral("process %1").arg(pid)
                          : QStringLiteral("%1 (process %2)").arg(name).arg(pid);
}

} // namespace

QString lockFileName(const QString &path)
{
    QString name = path.startsWith(QLatin1String("/dev/")) ? path.mid(5) : path;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

QStringList lockDirectories()
{
    QStringList directories;
    for (const QString &candidate : {QStringLiteral("/var/lock"), QStringLiteral("/run/lock")}) {
        const QString real = QFileInfo(candidate).canonicalFilePath();
        if (!real.isEmpty() && !directories.contains(real))
            directories << real;
    }
    return directories;
}

void noteOpenHere(const QString &device, bool open)
{
    const QMutexLocker lock(&g_openHereMutex);
    if (open)
        g_openHere.insert(device);
    else
        g_openHere.remove(device);
}

LockFileVerdict checkLockFiles(const QString &device, const QStringList &directories)
{
    // The device's own name first: the one every tool uses. The name of the
    // path as given is what a program that does not resolve links (this one
    // before, any Qt program) takes.
    QStringList names{lockFileName(deviceBehind(device))};
    if (!names.contains(lockFileName(device)))
        names << lockFileName(device);
    const QString thisHost = QSysInfo::machineHostName();
    for (const QString &directory : directories) {
        for (const QString &name : names) {
            const QString path = directory + QLatin1Char('/') + name;
            struct stat info {};
            if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
                continue;
            const LockFileContent content = readLockFile(path);
            LockFileVerdict verdict;
            verdict.file = path;
            verdict.pid = content.pid;
            // A file naming no process, or one of another machine (a shared
            // lock folder), is not ours to judge.
            if (content.pid == 0 || (!content.host.isEmpty() && content.host != thisHost)
                || (processRuns(content.pid, content.program)
                    && !(content.pid == ::getpid() && !isOpenHere(deviceBehind(device))))) {
                verdict.kind = LockFileVerdict::Kind::Held;
                verdict.program = content.pid ? programName(content.pid) : QString();
                if (verdict.program.isEmpty())
                    verdict.program = content.program;
                return verdict;
            }
            if (::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT)
                continue;
            verdict.kind = LockFileVerdict::Kind::Stale;
            verdict.program = QFileInfo(content.program).fileName();
            verdict.fileOwner = userName(info.st_uid);
            return verdict;
        }
    }
    return {};
}

QString programName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    const QString name = QString::fromLocal8Bit(comm.readAll().trimmed());
    // The kernel keeps 15 characters of a name ("frequency-tally"): the
    // command line the process was started with has it whole.
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (name.size() == kKernelNameLength && commandLine.open(QIODevice::ReadOnly)) {
        const QString called = QFileInfo(QString::fromLocal8Bit(commandLine.readAll().split('\0').value(0))).fileName();
        if (called.startsWith(name))
            return called;
    }
    return name;
}

bool isPseudoTerminal(const QString &device)
{
    struct stat target {};
    if (::stat(QFile::encodeName(device).constData(), &target) != 0 || !S_ISCHR(target.st_mode))
        return false;
    // Unix98 pseudo-terminal slaves: majors 136 to 143.
    return major(target.st_rdev) >= 136 && major(target.st_rdev) <= 143;
}

QString holderOf(const QString &device, bool lockHoldersOnly)
{
    struct stat target {};
    if (::stat(QFile::encodeName(device).constData(), &target) != 0)
        return {};

    // The flock() lock: /proc/locks names its holder to everyone, as
    // "1: FLOCK  ADVISORY  WRITE 1234 00:05:123 0 EOF".
    const QByteArray inode = QString::asprintf("%02x:%02x:%lu", major(target.st_dev), minor(target.st_dev),
                                               static_cast<unsigned long>(target.st_ino))
                                 .toLatin1();
    QFile locks(QStringLiteral("/proc/locks"));
    if (locks.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = locks.readAll().split('\n');
        for (const QByteArray &line : lines) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() >= 6 && fields[1] == "FLOCK" && fields[5] == inode)
                return described(fields[4].toLongLong());
        }
    }

    // An open that excludes others: whichever other process has it open (as
    // far as this user may look into processes).
    if (lockHoldersOnly || !S_ISCHR(target.st_mode))
        return {};
    const qint64 self = ::getpid();
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &process : processes) {
        bool isNumber = false;
        const qint64 pid = process.toLongLong(&isNumber);
        if (!isNumber || pid == self)
            continue;
        const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
        const QStringList entries = QDir(fds).entryList(QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : entries) {
            struct stat open {};
            if (::stat(QFile::encodeName(fds + QLatin1Char('/') + fd).constData(), &open) == 0 && S_ISCHR(open.st_mode)
                && open.st_rdev == target.st_rdev)
                return described(pid);
        }
    }
    return {};
}

} // namespace tallyo
