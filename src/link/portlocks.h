// The marks other programs leave on a serial device they use, read before
// this program opens it: UUCP lock files ("LCK..ttyUSB0" in /var/lock, the
// files minicom, Qt and lockdev write), and who holds the device open or
// locked. A device is always judged by what its path leads to, so a link
// such as /dev/serial/by-id/... honours the same marks as /dev/ttyUSB0.
#pragma once

#include "portmap.h"

#include <QString>
#include <QStringList>

namespace tallyo {

// The lock file names serial tools use for a device, in a lock directory:
// the path below /dev with '/' as '_' ("LCK..ttyUSB0", "LCK..pts_3"), and
// for a path outside /dev the whole path so ("LCK.._tmp_ttyV0").
QString lockFileName(const QString &path);

// The folders lock files live in here (/var/lock and /run/lock, once each).
QStringList lockDirectories();

struct LockFileVerdict {
    enum class Kind {
        Free, // no lock file of a live process (stale ones removed)
        Held, // a live process's lock file (or one that names none)
        Stale, // an ended process's lock file that this user may not remove
    };
    Kind kind = Kind::Free;
    QString file; // the lock file
    qint64 pid = 0; // the process it names (0: none readable)
    QString program; // that process's name, where it can be learnt (Held), or
        // the name the file gives (Stale)
    QString fileOwner; // the user the file belongs to (Stale)
};

// Reads the lock files for `device` (a path as the user gave it) and for
// the device it leads to, in `directories`. A lock file of a process that has
// ended is removed where this user may; the first one that still blocks the
// port decides.
LockFileVerdict checkLockFiles(const QString &device, const QStringList &directories = lockDirectories());

// The devices (as deviceBehind() names them) this process has open now. A
// lock file that names this process for a device it does not have open was
// left by an earlier run under the same number (a container or a fresh
// process namespace hands out the same numbers again): it is stale.
void noteOpenHere(const QString &device, bool open);

// "minicom (process 1234)", "process 1234", or "" when no process on this
// machine has `device` open or holds its flock() lock, as far as this user
// may see. `lockHoldersOnly`: the flock() lock's holder alone, not a process
// that merely has the device open.
QString holderOf(const QString &device, bool lockHoldersOnly = false);

// Whether `device` is the far end of a pseudo-terminal, which the program on
// its near end keeps open without holding it for itself.
bool isPseudoTerminal(const QString &device);

// A process's own name ("minicom"), or "" where it cannot be learnt.
QString programName(qint64 pid);

} // namespace tallyo
