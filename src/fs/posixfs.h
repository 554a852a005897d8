#pragma once

// Directory operations on file names as bytes, relative to open directory
// descriptors, so that no name is ever re-encoded and no symbolic link is
// followed by accident. This layer never logs: failures are returned as
// values (a Result, or a UniqueFd that holds none and knows why), never left
// in errno for the caller to read later.

#include "result.h"
#include "uniquefd.h"

#include <QByteArray>
#include <QList>

#include <functional>

#include <sys/types.h>
#include <time.h>

struct DirectoryEntry
{
    QByteArray name;
    unsigned char type; // DT_* as the listing gave it; DT_UNKNOWN where the file system does not say
};

// Opens the directory at `path` for reading (a link at `path` itself is
// followed). Invalid, with its error() set, on failure.
UniqueFd openDirectory(const QByteArray &path);

// Opens the subdirectory `name` of the open directory; never follows a link
// (ELOOP or ENOTDIR if the entry is one). Invalid, with its error() set, on failure.
UniqueFd openSubdirectory(int directoryFd, const char *name);

// The directory `relative` (components separated by "/"; "" for `root`
// itself) below the open directory `root`, opened without following a link
// at any step. Invalid, with its error() set, on failure.
UniqueFd openDirectoryBelow(int root, const QByteArray &relative);

// Creates the subdirectory `name`, private to the process's user (0700,
// whatever the umask) until the caller gives it its real mode, and opens it
// as openSubdirectory does. A directory of that name that is there already
// is used if it is the user's own, and keeps of the others' permission bits
// only those that `sharedWith` has too (so that nobody can read or add
// there what neither mode allows; 0: private like a new one); one of
// another user's is refused (EEXIST), as is another file system's mount
// point (EXDEV). Invalid, with its error() set, on failure.
UniqueFd makeSubdirectory(int directoryFd, const char *name, mode_t sharedWith = 0);

// Whether the subdirectory `name` of the open directory is another mount's
// root (a mount point).
bool isMountPoint(int directoryFd, const char *name);

// Creates the symbolic link `name` holding `text` in the open directory.
Result createSymlinkAt(int directoryFd, const char *name, const QByteArray &text);

// A hidden name of this process's own for an entry on its way into place:
// ".ostrel-partial-<pid>-<n>", counted, so that a name taken is someone
// else's.
struct TemporaryName
{
    TemporaryName();
    char text[64];
};

// Makes an entry with `make`, which creates the entry it is given (failing
// with EEXIST if that name is taken), under a temporary name, then renames
// it over `name`, whatever that is but a directory: one step for a reader.
// Nothing is left behind on failure.
Result replaceEntry(int directoryFd, const char *name, const std::function<Result(const char *)> &make);

// The text of the symbolic link `name`; empty, with errno set, when it cannot
// be read.
QByteArray readLinkAt(int directoryFd, const char *name);

// Sets the permission bits (mode & 0777) of the open file, unless
// `setMode` is false, and its access and modification times.
Result setModeAndTimes(int fd, bool setMode, mode_t mode, const struct timespec times[2]);

// Sets the access and modification times of the link `name` itself.
Result setLinkTimes(int directoryFd, const char *name, const struct timespec times[2]);

// Every entry of the open directory, "." and ".." left out, in the order the
// file system gives; fails when it cannot be read.
Result listDirectory(int directoryFd, QList<DirectoryEntry> &entries);

// The DT_* type of an entry, links not followed; DT_UNKNOWN if it is gone.
unsigned char entryType(int directoryFd, const DirectoryEntry &entry);

// The process's umask, read once without changing it (umask() can only read
// it by setting it, which would race with threads creating files).
mode_t processUmask();

// The process's effective user id, read once: it is compared with the owner
// of every file an update keeps, and the program never changes it.
uid_t effectiveUser();

// mkdir -p: creates `path` and its missing parents (mode 0777 less the
// umask). Succeeds when `path` is a directory afterwards.
Result makePath(const QByteArray &path);

// An entry that could not be removed: its path below the directory being
// emptied, and why.
struct RemoveFailure
{
    QByteArray path;
    int error;
};

// Removes everything inside the open directory, depth first, in memory that
// grows with the number of entries, not with their depth. Links are
// removed as links, never followed; a mount point is left alone, with all it
// holds. What cannot be removed stays and is returned: each entry whose own
// removal failed, not the directories that stay only because of it.
QList<RemoveFailure> removeDirectoryContents(int directoryFd);
// Removes the entry `name` of the open directory as removeDirectoryContents
// removes each entry (failures' paths begin with `name`); gone already is no
// failure.
QList<RemoveFailure> removeEntry(int directoryFd, const QByteArray &name);

// Takes the exclusive advisory lock on the open file, without waiting;
// fails with EWOULDBLOCK when another process holds it. The kernel drops it when the process ends.
Result tryLock(int fd);

// Writes all cached data of the file system holding the open file to disk.
Result syncFileSystem(int fd);

// True when the open directory `inner` is the open directory `outer` or lies
// somewhere below it, by device and inode number: walking up from `inner`
// through "..", across mount points, to the root. Bind mounts and links
// cannot hide one directory from the other.
bool isSameOrBelow(int inner, int outer);

// The nearest existing directory on the way to `path` (`path` itself when it
// is one), opened as openDirectory does.
UniqueFd openNearestDirectory(const QByteArray &path);
