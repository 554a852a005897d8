#include "posixfs.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

#include <vector>

namespace {

// The mount an entry of the open directory is on ("" for the directory
// itself); 0 when it cannot be told.
quint64 mountId(int directoryFd, const char *name)
{
    struct statx status;
    const int flags = AT_SYMLINK_NOFOLLOW | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
    if (::statx(directoryFd, name, flags, STATX_MNT_ID, &status) != 0 || !(status.stx_mask & STATX_MNT_ID))
        return 0;
    return status.stx_mnt_id;
}

} // namespace

bool isMountPoint(int directoryFd, const char *name)
{
    const quint64 inside = mountId(directoryFd, name);
    return inside != 0 && inside != mountId(directoryFd, "");
}

UniqueFd openDirectory(const QByteArray &path)
{
    return UniqueFd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

UniqueFd openSubdirectory(int directoryFd, const char *name)
{
    return UniqueFd(::openat(directoryFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

UniqueFd openDirectoryBelow(int root, const QByteArray &relative)
{
    UniqueFd directory(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (const QByteArray &component : relative.split('/')) {
        if (!directory.isValid() || component.isEmpty())
            break;
        directory = openSubdirectory(directory.get(), component.constData());
    }
    return directory;
}

UniqueFd makeSubdirectory(int directoryFd, const char *name, mode_t sharedWith)
{
    // Private while it fills: nobody else may read what lands in it before
    // it has its real mode, nor add anything to it.
    const bool made = ::mkdirat(directoryFd, name, 0700) == 0;
    if (!made) {
        if (errno != EEXIST)
            return UniqueFd::failure(errno);
        if (isMountPoint(directoryFd, name))
            return UniqueFd::failure(EXDEV);
    }
    UniqueFd directory = openSubdirectory(directoryFd, name);
    if (!directory.isValid() || (made && (processUmask() & 0700) == 0))
        return directory;
    // One that was there is used only if it is the user's own, and shared
    // no further than both modes allow; a umask that takes the owner's own
    // bits would leave a new one unwritable.
    struct stat status;
    if (!made && (::fstat(directory.get(), &status) != 0 || status.st_uid != effectiveUser()))
        return UniqueFd::failure(EEXIST);
    const mode_t mode = made ? 0700 : (0700 | (status.st_mode & sharedWith & 0077));
    if ((made || (status.st_mode & 07777) != mode) && ::fchmod(directory.get(), mode) != 0)
        return UniqueFd::failure(errno);
    return directory;
}

Result createSymlinkAt(int directoryFd, const char *name, const QByteArray &text)
{
    return Result::check(::symlinkat(text.constData(), directoryFd, name) == 0);
}

TemporaryName::TemporaryName()
{
    static std::atomic<unsigned> sequence{0};
    std::snprintf(text, sizeof text, ".ostrel-partial-%d-%u", int(::getpid()), sequence++);
}

Result replaceEntry(int directoryFd, const char *name, const std::function<Result(const char *)> &make)
{
    // A taken name is someone else's: try the next few.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const TemporaryName temporary;
        if (const Result made = make(temporary.text); !made.ok()) {
            if (made.error() == EEXIST)
                continue;
            return made;
        }
        if (::renameat(directoryFd, temporary.text, directoryFd, name) == 0)
            return Result::success();
        const Result failed = Result::fromErrno();
        ::unlinkat(directoryFd, temporary.text, 0);
        return failed;
    }
    return Result::failure(EEXIST);
}

QByteArray readLinkAt(int directoryFd, const char *name)
{
    char buffer[PATH_MAX + 1];
    const ssize_t length = ::readlinkat(directoryFd, name, buffer, sizeof buffer);
    if (length > PATH_MAX) {
        errno = ENAMETOOLONG;
        return QByteArray();
    }
    return length <= 0 ? QByteArray() : QByteArray(buffer, length);
}

Result setModeAndTimes(int fd, bool setMode, mode_t mode, const struct timespec times[2])
{
    return Result::check((!setMode || ::fchmod(fd, mode & 0777) == 0) && ::futimens(fd, times) == 0);
}

Result setLinkTimes(int directoryFd, const char *name, const struct timespec times[2])
{
    return Result::check(::utimensat(directoryFd, name, times, AT_SYMLINK_NOFOLLOW) == 0);
}

Result listDirectory(int directoryFd, QList<DirectoryEntry> &entries)
{
    // The stream gets its own descriptor: closedir() closes it.
    const int streamFd = ::fcntl(directoryFd, F_DUPFD_CLOEXEC, 0);
    DIR *stream = streamFd < 0 ? nullptr : ::fdopendir(streamFd);
    if (!stream) {
        const Result failed = Result::fromErrno();
        if (streamFd >= 0)
            ::close(streamFd);
        return failed;
    }
    ::rewinddir(stream); // the duplicate shares the original's position
    errno = 0;
    while (const dirent *entry = ::readdir(stream)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        entries.append({QByteArray(name), entry->d_type});
    }
    const Result listed = errno == 0 ? Result::success() : Result::fromErrno();
    ::closedir(stream);
    return listed;
}

unsigned char entryType(int directoryFd, const DirectoryEntry &entry)
{
    if (entry.type != DT_UNKNOWN)
        return entry.type;
    struct stat status;
    if (::fstatat(directoryFd, entry.name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return DT_UNKNOWN;
    return IFTODT(status.st_mode);
}

uid_t effectiveUser()
{
    static const uid_t user = ::geteuid();
    return user;
}

mode_t processUmask()
{
    static const mode_t mask = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        if (status.open(QIODevice::ReadOnly))
            for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
                if (line.startsWith("Umask:"))
                    return mode_t(line.mid(6).trimmed().toUInt(nullptr, 8));
        return mode_t(0777); // unknown: callers then set every mode themselves
    }();
    return mask;
}

namespace {

bool isDirectory(const QByteArray &path)
{
    struct stat status;
    return ::stat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

Result makePath(const QByteArray &path)
{
    if (::mkdir(path.constData(), 0777) == 0)
        return Result::success();
    if (errno == EEXIST)
        return isDirectory(path) ? Result::success() : Result::failure(ENOTDIR);
    if (errno != ENOENT)
        return Result::fromErrno();
    const qsizetype slash = path.lastIndexOf('/');
    if (slash <= 0)
        return Result::failure(ENOENT);
    const Result parents = makePath(path.left(slash));
    if (!parents.ok())
        return parents;
    if (::mkdir(path.constData(), 0777) == 0)
        return Result::success();
    if (errno != EEXIST)
        return Result::fromErrno();
    return isDirectory(path) ? Result::success() : Result::failure(ENOTDIR);
}

namespace {

// The names from the directory being emptied down to the one being worked
// on: a failure's path is made from them only when there is a failure, so
// memory does not grow with the square of the depth.
using Trail = std::vector<const QByteArray *>;

QByteArray pathOf(const Trail &trail)
{
    QByteArray path;
    for (const QByteArray *name : trail)
        path += (path.isEmpty() ? "" : "/") + *name;
    return path;
}

bool removeContents(int directoryFd, Trail &trail, QList<RemoveFailure> &failures);

// Removes the entry `name` and, for a directory, all it holds; true when it
// is gone.
bool removeOne(int directoryFd, const DirectoryEntry &entry, Trail &trail, QList<RemoveFailure> &failures)
{
    const char *name = entry.name.constData();
    trail.push_back(&entry.name);
    auto fail = [&](int error) {
        failures.append({pathOf(trail), error});
        trail.pop_back();
        return false;
    };
    if (entryType(directoryFd, entry) == DT_DIR) {
        if (isMountPoint(directoryFd, name))
            return fail(EXDEV);
        const UniqueFd subdirectory = openSubdirectory(directoryFd, name);
        // Turned into a link or a file since the listing: removed as one below.
        const bool replaced = subdirectory.error() == ELOOP || subdirectory.error() == ENOTDIR;
        if (!replaced) {
            const bool emptied = subdirectory.isValid() && removeContents(subdirectory.get(), trail, failures);
            if (::unlinkat(directoryFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) {
                trail.pop_back();
                return true;
            }
            // A directory that still holds what could not be removed stays
            // because of that alone: only what failed on its own is told.
            if (!subdirectory.isValid() || emptied)
                return fail(errno);
            trail.pop_back();
            return false;
        }
    }
    if (::unlinkat(directoryFd, name, 0) == 0 || errno == ENOENT) {
        trail.pop_back();
        return true;
    }
    return fail(errno);
}

bool removeContents(int directoryFd, Trail &trail, QList<RemoveFailure> &failures)
{
    QList<DirectoryEntry> entries;
    const Result listed = listDirectory(directoryFd, entries);
    if (!listed.ok()) {
        const QByteArray path = pathOf(trail);
        failures.append({path.isEmpty() ? QByteArray(".") : path, listed.error()});
        return false;
    }
    bool all = true;
    for (const DirectoryEntry &entry : entries)
        all = removeOne(directoryFd, entry, trail, failures) && all;
    return all;
}

} // namespace

QList<RemoveFailure> removeDirectoryContents(int directoryFd)
{
    QList<RemoveFailure> failures;
    Trail trail;
    removeContents(directoryFd, trail, failures);
    return failures;
}

QList<RemoveFailure> removeEntry(int directoryFd, const QByteArray &name)
{
    QList<RemoveFailure> failures;
    Trail trail;
    removeOne(directoryFd, {name, DT_UNKNOWN}, trail, failures);
    return failures;
}

Result tryLock(int fd)
{
    return Result::check(::flock(fd, LOCK_EX | LOCK_NB) == 0);
}

Result syncFileSystem(int fd)
{
    return Result::check(::syncfs(fd) == 0);
}

bool isSameOrBelow(int inner, int outer)
{
    struct stat target, here;
    if (::fstat(outer, &target) != 0 || ::fstat(inner, &here) != 0)
        return false;
    UniqueFd current(::fcntl(inner, F_DUPFD_CLOEXEC, 0));
    while (current.isValid()) {
        if (here.st_dev == target.st_dev && here.st_ino == target.st_ino)
            return true;
        UniqueFd parent(::openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat above;
        if (!parent.isValid() || ::fstat(parent.get(), &above) != 0)
            return false;
        if (above.st_dev == here.st_dev && above.st_ino == here.st_ino)
            return false; // the root, which is its own parent
        here = above;
        current = std::move(parent);
    }
    return false;
}

UniqueFd openNearestDirectory(const QByteArray &path)
{
    QByteArray existing = path;
    for (;;) {
        UniqueFd directory = openDirectory(existing);
        if (directory.error() != ENOENT)
            return directory;
        const qsizetype slash = existing.lastIndexOf('/');
        if (slash < 0)
            return directory;
        existing = slash == 0 ? QByteArray("/") : existing.left(slash);
    }
}
