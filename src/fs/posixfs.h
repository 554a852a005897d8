#pragma once

// Directory operations on file names as bytes, relative to open directory
// descriptors, so that no name is ever re-encoded and no symbolic link is
// followed by accident. This layer never logs: failures are reported by the
// return value (and errno) only.

#include "uniquefd.h"

#include <QByteArray>
#include <QList>

struct DirectoryEntry
{
    QByteArray name;
    unsigned char type; // DT_* as the listing gave it; DT_UNKNOWN where the file system does not say
};

// Opens the directory at `path` for reading (a link at `path` itself is
// followed). Invalid, with errno set, on failure.
UniqueFd openDirectory(const QByteArray &path);

// Opens the subdirectory `name` of the open directory; never follows a link
// (ELOOP or ENOTDIR if the entry is one). Invalid, with errno set, on failure.
UniqueFd openSubdirectory(int directoryFd, const char *name);

// Creates the subdirectory `name` (mode 0777 less the umask) unless a
// directory of that name is there already, and opens it as openSubdirectory
// does. Invalid, with errno set, on failure.
UniqueFd makeSubdirectory(int directoryFd, const char *name);

// The text of the symbolic link `name`; empty, with errno set, when it cannot
// be read.
QByteArray readLinkAt(int directoryFd, const char *name);

// Every entry of the open directory, "." and ".." left out, in the order the
// file system gives. False, with errno set, when it cannot be read.
bool listDirectory(int directoryFd, QList<DirectoryEntry> &entries);

// The DT_* type of an entry, links not followed; DT_UNKNOWN if it is gone.
unsigned char entryType(int directoryFd, const DirectoryEntry &entry);

// mkdir -p: creates `path` and its missing parents (mode 0777 less the
// umask). True when `path` is a directory afterwards.
bool makePath(const QByteArray &path);

// Removes everything inside the open directory, depth first. Links are
// removed as links, never followed. What cannot be removed stays.
void removeDirectoryContents(int directoryFd);

// Writes all cached data of the file system holding the open file to disk.
bool syncFileSystem(int fd);

// True when installing `destination` from `source` (absolute paths) would
// clear or copy into the source itself: after resolving symbolic links, one
// is the other or lies inside it. Components that do not exist yet count as
// they are written.
bool pathsOverlap(const QByteArray &source, const QByteArray &destination);
