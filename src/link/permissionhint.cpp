#include "permissionhint.h"

#ifdef Q_OS_UNIX
#include <grp.h>
#include <sys/stat.h>
#endif

namespace tallyo {

QString permissionRemedy(const QString &device)
{
#ifdef Q_OS_UNIX
    struct stat info {};
    if (::stat(device.toLocal8Bit().constData(), &info) != 0)
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
