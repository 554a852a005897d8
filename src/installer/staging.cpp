#include "staging.h"

#include "fdwrite.h"

#include <QCryptographicHash>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

const int hexDigits = 16; // of a work directory's own part of its name
const char markerName[] = "owner";
const char newVersionName[] = "new";
const char probeName[] = "probe";
const char keptVersionName[] = "version";

QByteArray randomHex()
{
    unsigned char bytes[hexDigits / 2];
    if (::getrandom(bytes, sizeof bytes, 0) != sizeof bytes) { // never short for so few bytes; but if so, still unique enough here
        const quint64 fallback = quint64(::getpid()) << 32 ^ quint64(::time(nullptr));
        std::memcpy(bytes, &fallback, sizeof bytes);
    }
    return QByteArray(reinterpret_cast<const char *>(bytes), sizeof bytes).toHex();
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

Staging::Staging(const QByteArray &destination)
{
    const qsizetype slash = destination.lastIndexOf('/');
    parentPath = slash <= 0 ? QByteArray("/") : destination.left(slash);
    name = destination.mid(slash + 1);
    // Every name a directory can have must leave room for the rest (255
    // bytes in all): a long one is cut, and a hash tells it from others
    // that begin alike.
    const QByteArray shown = name.size() + 1 + 8 + hexDigits <= 255
            ? name
            : name.left(200) + '~' + QCryptographicHash::hash(name, QCryptographicHash::Sha256).toHex().left(16);
    workPrefix = '.' + shown + ".ostrel-";
    keptEntry = workPrefix + "previous";
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
        // Moving a directory to another one rewrites its "..".
        if (::faccessat(holder.get(), name.constData(), W_OK, AT_EACCESS) != 0)
            return QStringLiteral("it cannot be written");
    }
    if (::faccessat(holder.get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        return QStringLiteral("its parent directory cannot be written");
    return QString();
}

bool Staging::openParent(bool create)
{
    if (create && !makePath(parentPath).ok())
        return false;
    parent = openDirectory(parentPath);
    return parent.isValid() && ::fstat(parent.get(), &parentStat) == 0;
}

QByteArray Staging::marker(const struct stat &workDirectory) const
{
    char text[160];
    std::snprintf(text, sizeof text, "ostrel-installer work directory\ndestination %llx %llx ",
                  static_cast<unsigned long long>(parentStat.st_dev), static_cast<unsigned long long>(parentStat.st_ino));
    char self[80];
    std::snprintf(self, sizeof self, "\ndirectory %llx %llx\n", static_cast<unsigned long long>(workDirectory.st_dev),
                  static_cast<unsigned long long>(workDirectory.st_ino));
    return text + name.toHex() + self;
}

bool Staging::isOwnWorkDirectory(const QByteArray &entry, int fd) const
{
    const QByteArray own = entry.mid(workPrefix.size());
    return entry.startsWith(workPrefix) && own.size() == hexDigits && QByteArray::fromHex(own).toHex() == own
           && hasOwnMarker(fd);
}

bool Staging::hasOwnMarker(int fd) const
{
    struct stat directory, file;
    if (::fstat(fd, &directory) != 0 || directory.st_uid != ::geteuid() || (directory.st_mode & 07777) != 0700)
        return false;
    const UniqueFd marked(::openat(fd, markerName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!marked.isValid() || ::fstat(marked.get(), &file) != 0 || !S_ISREG(file.st_mode) || file.st_uid != ::geteuid()
        || file.st_nlink != 1 || (file.st_mode & 07777) != 0600 || file.st_size > 1024)
        return false;
    char text[1025];
    const ssize_t length = ::pread(marked.get(), text, sizeof text, 0);
    return length > 0 && QByteArray(text, length) == marker(directory);
}

bool Staging::isNamed(const QByteArray &entry, int fd) const
{
    struct stat opened, named;
    return ::fstat(fd, &opened) == 0 && ::fstatat(parent.get(), entry.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
           && sameFile(opened, named);
}

QList<RemoveFailure> Staging::removeLeftovers(QList<QByteArray> &foreign)
{
    QList<RemoveFailure> failures;
    QList<DirectoryEntry> entries;
    const Result listed = listDirectory(parent.get(), entries);
    if (!listed.ok())
        return {{".", listed.error()}};
    for (const DirectoryEntry &entry : entries) {
        if (!entry.name.startsWith(workPrefix) || entry.name.size() != workPrefix.size() + hexDigits || entry.name == workName)
            continue;
        const UniqueFd fd = openSubdirectory(parent.get(), entry.name.constData());
        if (fd.error() == ENOENT)
            continue; // gone meanwhile
        if (!fd.isValid() || !isOwnWorkDirectory(entry.name, fd.get()))
            foreign.append(entry.name);
        else if (tryLock(fd.get()).ok()) // otherwise an install is using it
            failures += removeWorkDirectory(entry.name, fd.get());
    }
    return failures;
}

QList<RemoveFailure> Staging::removeWorkDirectory(const QByteArray &entry, int fd) const
{
    QList<RemoveFailure> failures;
    for (const char *inside : {newVersionName, probeName, keptVersionName})
        failures += removeEntry(fd, inside);
    for (RemoveFailure &failure : failures)
        failure.path = entry + '/' + failure.path;
    // The marker goes last: what is left of a work directory stays
    // recognisable for as long as anything is in it.
    if (!failures.isEmpty())
        return failures;
    if (::unlinkat(fd, markerName, 0) != 0 && errno != ENOENT)
        return {{entry + '/' + markerName, errno}};
    // Only while the name is still ours: in a parent others may write, it
    // may have been given to something else meanwhile.
    if (isNamed(entry, fd) && ::unlinkat(parent.get(), entry.constData(), AT_REMOVEDIR) != 0)
        failures.append({entry, errno});
    return failures;
}

Staging::Prepared Staging::prepare()
{
    for (int attempt = 0; attempt < 10 && workName.isEmpty(); ++attempt) {
        const QByteArray candidate = workPrefix + randomHex();
        if (::mkdirat(parent.get(), candidate.constData(), 0700) == 0)
            workName = candidate;
        else if (errno != EEXIST)
            return Failed;
    }
    if (workName.isEmpty())
        return Failed;
    work = openSubdirectory(parent.get(), workName.constData());
    struct stat status;
    if (!work.isValid() || !tryLock(work.get()).ok() || ::fchmod(work.get(), 0700) != 0 || ::fstat(work.get(), &status) != 0)
        return Failed;
    const QByteArray text = marker(status);
    UniqueFd marked(::openat(work.get(), markerName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    // On disk before anything else is: a work directory that outlives a
    // crash must still be known as the installer's own.
    if (!marked.isValid() || ::fchmod(marked.get(), 0600) != 0 || !writeAll(marked.get(), text) || ::fsync(marked.get()) != 0)
        return Failed;
    staging = makeSubdirectory(work.get(), newVersionName);
    if (!staging.isValid())
        return Failed;
    // Some file systems (NFS, some FUSE and overlay ones) cannot exchange
    // two names: find out now, with an empty probe, not at the end.
    if (::mkdirat(work.get(), probeName, 0700) != 0)
        return Failed;
    const bool exchanged = ::renameat2(work.get(), newVersionName, work.get(), probeName, RENAME_EXCHANGE) == 0;
    const bool back = exchanged && ::renameat2(work.get(), newVersionName, work.get(), probeName, RENAME_EXCHANGE) == 0;
    ::unlinkat(work.get(), probeName, AT_REMOVEDIR);
    if (!exchanged)
        return CannotExchange;
    return back ? Ready : Failed;
}

bool Staging::swap()
{
    const bool swapped =
            ::renameat2(work.get(), newVersionName, parent.get(), name.constData(), RENAME_EXCHANGE) == 0
            || (errno == ENOENT
                && ::renameat2(work.get(), newVersionName, parent.get(), name.constData(), RENAME_NOREPLACE) == 0);
    return swapped && ::fsync(parent.get()) == 0;
}

QList<RemoveFailure> Staging::remove()
{
    if (!work.isValid())
        return {};
    const QList<RemoveFailure> failures = removeWorkDirectory(workName, work.get());
    if (failures.isEmpty())
        work.reset();
    return failures;
}

Staging::KeptState Staging::findKept()
{
    keptVersion.reset();
    keptContainer.reset();
    if (!parent.isValid())
        return NothingKept;
    UniqueFd container = openSubdirectory(parent.get(), keptEntry.constData());
    if (container.error() == ENOENT)
        return NothingKept;
    if (!container.isValid() || !hasOwnMarker(container.get()))
        return NotOwn;
    // Nobody else can write in it; empty after a rollback into a missing
    // DESTINATION.
    UniqueFd version = openSubdirectory(container.get(), keptVersionName);
    if (version.error() == ENOENT)
        return NothingKept;
    if (!version.isValid())
        return NotOwn;
    keptContainer = std::move(container);
    keptVersion = std::move(version);
    return Kept;
}

Staging::Keeping Staging::keepPrevious()
{
    if (::renameat(work.get(), newVersionName, work.get(), keptVersionName) != 0)
        return KeepingFailed;
    // A few tries: in a parent others may write, the name can come and go
    // between two steps.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::renameat2(parent.get(), workName.constData(), parent.get(), keptEntry.constData(), RENAME_NOREPLACE) == 0) {
            keptContainer = std::move(work);
            workName.clear();
            return KeptFirst;
        }
        if (errno != EEXIST)
            return KeepingFailed;
        UniqueFd before = openSubdirectory(parent.get(), keptEntry.constData());
        if (before.error() == ENOENT)
            continue;
        if (!before.isValid() || !hasOwnMarker(before.get()))
            return KeepingRefused;
        if (::renameat2(parent.get(), workName.constData(), parent.get(), keptEntry.constData(), RENAME_EXCHANGE) != 0)
            return KeepingFailed;
        keptContainer = std::move(work);
        // What was kept before now has the work directory's name, for
        // remove(); unless something else took its place in the meantime,
        // which is left alone.
        if (isNamed(workName, before.get()))
            work = std::move(before);
        else
            workName.clear();
        return KeptReplacing;
    }
    errno = EEXIST;
    return KeepingFailed;
}

Staging::Exchange Staging::exchangeWithKept()
{
    if (::renameat2(keptContainer.get(), keptVersionName, parent.get(), name.constData(), RENAME_EXCHANGE) == 0)
        return Exchanged;
    if (errno == ENOENT
        && ::renameat2(keptContainer.get(), keptVersionName, parent.get(), name.constData(), RENAME_NOREPLACE) == 0)
        return MovedIntoPlace;
    return ExchangeFailed;
}

bool Staging::syncBeside() const
{
    return ::fsync(parent.get()) == 0 && (!keptContainer.isValid() || ::fsync(keptContainer.get()) == 0);
}
