#include "permissionhint.h"

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tallyo {

QString permissionRemedy(const QString &device)
{
#ifdef Q_OS_UNIX
    const QByteArray path = device.toLocal8Bit();
    struct stat info {};
    // Missing, or the rights are there and something else refused the open
    // (another program holding the port): no remedy to name.
    if (::stat(path.constData(), &info) != 0 || ::faccessat(AT_FDCWD, path.constData(), R_OK | W_OK, AT_EACCESS) == 0)
        return {};
    const struct group *owners = ::getgrgid(info.st_gid);
    const bool groupMayUse = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!owners || info.st_gid == 0 || !groupMayUse)
        return QStringLiteral("Only its owner may open %1: ask the machine's administrator for access to it.")
            .arg(device);
    const QString group = QString::fromLocal8Bit(owners->gr_name);
    return QStringLiteral("To be allowed to open %1, join its group %2: sudo usermod -aG %2 $USER, "
                          "then log out and in again.")
        .arg(device, group);
#else
    Q_UNUSED(device);
    return {};
#endif
}

} // namespace tallyo
