#include "staging.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Staging::Staging(const QByteArray &destination)
{
    const qsizetype slash = destination.lastIndexOf('/');
    parentPath = slash <= 0 ? QByteArray("/") : destination.left(slash);
    name = destination.mid(slash + 1);
    stagingName = '.' + name + ".ostrel-staging";
}

QString Staging::whyNotPossible() const
{
    if (name.isEmpty())
        return QStringLiteral("it is the root directory");
    const UniqueFd holder = openNearestDirectory(parentPath);
    if (!holder.isValid())
        return QStringLiteral("its parent directory cannot be opened");
    struct stat status;
    if (openDirectory(parentPath).isValid() && ::fstatat(holder.get(), name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(status.st_mode))
            return QStringLiteral("it is a symbolic link");
        if (!S_ISDIR(status.st_mode))
            return QStringLiteral("it is not a directory");
        if (isMountPoint(holder.get(), name.constData()))
            return QStringLiteral("it is a mount point");
    }
    if (::faccessat(holder.get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        return QStringLiteral("its parent directory cannot be written");
    return QString();
}

bool Staging::openParent()
{
    if (!makePath(parentPath))
        return false;
    parent = openDirectory(parentPath);
    return parent.isValid();
}

bool Staging::removeLeftover(QList<RemoveFailure> &failures)
{
    struct stat status;
    if (::fstatat(parent.get(), stagingName.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(status.st_mode))
        return ::unlinkat(parent.get(), stagingName.constData(), 0) == 0;
    const UniqueFd leftover = openSubdirectory(parent.get(), stagingName.constData());
    if (!leftover.isValid() || !tryLock(leftover.get()))
        return false;
    failures = removeDirectoryContents(leftover.get());
    return failures.isEmpty() && ::unlinkat(parent.get(), stagingName.constData(), AT_REMOVEDIR) == 0;
}

Staging::Prepared Staging::prepare()
{
    if (::mkdirat(parent.get(), stagingName.constData(), 0700) != 0)
        return errno == EEXIST ? Busy : Failed;
    staging = openSubdirectory(parent.get(), stagingName.constData());
    if (!staging.isValid() || !tryLock(staging.get()))
        return Failed;
    // Some file systems (NFS, some FUSE and overlay ones) cannot exchange
    // two names: find out now, with an empty probe, not at the end.
    char probe[64];
    std::snprintf(probe, sizeof probe, ".ostrel-probe-%d", int(::getpid()));
    if (::mkdirat(parent.get(), probe, 0700) != 0)
        return Failed;
    const bool exchanged = ::renameat2(parent.get(), stagingName.constData(), parent.get(), probe, RENAME_EXCHANGE) == 0;
    const bool back = exchanged && ::renameat2(parent.get(), stagingName.constData(), parent.get(), probe, RENAME_EXCHANGE) == 0;
    ::unlinkat(parent.get(), probe, AT_REMOVEDIR);
    if (!exchanged)
        return CannotExchange;
    return back ? Ready : Failed;
}

bool Staging::swap()
{
    const bool swapped =
            ::renameat2(parent.get(), stagingName.constData(), parent.get(), name.constData(), RENAME_EXCHANGE) == 0
            || (errno == ENOENT
                && ::renameat2(parent.get(), stagingName.constData(), parent.get(), name.constData(), RENAME_NOREPLACE) == 0);
    return swapped && ::fsync(parent.get()) == 0;
}

QList<RemoveFailure> Staging::remove()
{
    QList<RemoveFailure> failures;
    const UniqueFd previous = openSubdirectory(parent.get(), stagingName.constData());
    if (!previous.isValid())
        return errno == ENOENT ? failures : QList<RemoveFailure>{{stagingName, errno}};
    failures = removeDirectoryContents(previous.get());
    for (RemoveFailure &failure : failures)
        failure.path = stagingName + '/' + failure.path;
    if (failures.isEmpty() && ::unlinkat(parent.get(), stagingName.constData(), AT_REMOVEDIR) != 0)
        failures.append({stagingName, errno});
    return failures;
}
