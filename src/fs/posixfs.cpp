#include "posixfs.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

UniqueFd openDirectory(const QByteArray &path)
{
    return UniqueFd(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

UniqueFd openSubdirectory(int directoryFd, const char *name)
{
    return UniqueFd(::openat(directoryFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

UniqueFd makeSubdirectory(int directoryFd, const char *name)
{
    if (::mkdirat(directoryFd, name, 0777) != 0 && errno != EEXIST)
        return UniqueFd();
    return openSubdirectory(directoryFd, name);
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

bool listDirectory(int directoryFd, QList<DirectoryEntry> &entries)
{
    // The stream gets its own descriptor: closedir() closes it.
    const int streamFd = ::fcntl(directoryFd, F_DUPFD_CLOEXEC, 0);
    DIR *stream = streamFd < 0 ? nullptr : ::fdopendir(streamFd);
    if (!stream) {
        const int error = errno;
        if (streamFd >= 0)
            ::close(streamFd);
        errno = error;
        return false;
    }
    ::rewinddir(stream); // the duplicate shares the original's position
    errno = 0;
    while (const dirent *entry = ::readdir(stream)) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        entries.append({QByteArray(name), entry->d_type});
    }
    const int error = errno;
    ::closedir(stream);
    errno = error;
    return error == 0;
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

namespace {

bool isDirectory(const QByteArray &path)
{
    struct stat status;
    return ::stat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

bool makePath(const QByteArray &path)
{
    if (::mkdir(path.constData(), 0777) == 0)
        return true;
    if (errno == EEXIST)
        return isDirectory(path);
    if (errno != ENOENT)
        return false;
    const qsizetype slash = path.lastIndexOf('/');
    if (slash <= 0 || !makePath(path.left(slash)))
        return false;
    return ::mkdir(path.constData(), 0777) == 0 || (errno == EEXIST && isDirectory(path));
}

void removeDirectoryContents(int directoryFd)
{
    QList<DirectoryEntry> entries;
    listDirectory(directoryFd, entries);
    for (const DirectoryEntry &entry : entries) {
        const char *name = entry.name.constData();
        if (entryType(directoryFd, entry) == DT_DIR) {
            // O_NOFOLLOW: should the entry have become a link meanwhile, it
            // is not entered.
            const UniqueFd subdirectory = openSubdirectory(directoryFd, name);
            if (subdirectory.isValid())
                removeDirectoryContents(subdirectory.get());
            ::unlinkat(directoryFd, name, AT_REMOVEDIR);
        } else {
            ::unlinkat(directoryFd, name, 0);
        }
    }
}

bool syncFileSystem(int fd)
{
    return ::syncfs(fd) == 0;
}

namespace {

// `path` with every symbolic link in it resolved. Components that do not
// exist yet are appended, unchanged, to their nearest existing parent.
QByteArray resolvedPath(const QByteArray &path)
{
    QByteArray existing = path;
    QByteArray missing;
    for (;;) {
        if (char *real = ::realpath(existing.constData(), nullptr)) {
            QByteArray resolved(real);
            std::free(real);
            if (missing.isEmpty())
                return resolved;
            return resolved.endsWith('/') ? resolved + missing : resolved + '/' + missing;
        }
        const qsizetype slash = existing.lastIndexOf('/');
        if (slash < 0)
            return path;
        const QByteArray name = existing.mid(slash + 1);
        missing = missing.isEmpty() ? name : name + '/' + missing;
        existing = slash == 0 ? QByteArray("/") : existing.left(slash);
    }
}

bool isSameOrInside(const QByteArray &path, const QByteArray &directory)
{
    return path == directory || path.startsWith(directory.endsWith('/') ? directory : directory + '/');
}

} // namespace

bool pathsOverlap(const QByteArray &source, const QByteArray &destination)
{
    const QByteArray realSource = resolvedPath(source);
    const QByteArray realDestination = resolvedPath(destination);
    return isSameOrInside(realDestination, realSource) || isSameOrInside(realSource, realDestination);
}
