#pragma once

#include <QByteArray>
#include <QList>

#include <unistd.h>

// Directory operations on file names as bytes, relative to open directory
// descriptors, so that no name is ever re-encoded and no symbolic link is
// followed by accident. Failures are reported by the return value only.

// Owns a file descriptor and closes it when destroyed.
class UniqueFd
{
public:
    explicit UniqueFd(int fd = -1) : fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd; }
    bool isValid() const { return fd >= 0; }
    int release()
    {
        const int released = fd;
        fd = -1;
        return released;
    }
    void reset(int replacement = -1)
    {
        if (fd >= 0)
            ::close(fd);
        fd = replacement;
    }

private:
    int fd;
};

struct DirectoryEntry
{
    QByteArray name;
    unsigned char type; // DT_* as the listing gave it; DT_UNKNOWN where the file system does not say
};

// Opens the directory at `path` for reading (a link at `path` itself is
// followed). Invalid, with errno set, on failure.
UniqueFd openDirectory(const QByteArray &path);

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

// Writes all cached data of the file system holding `path` to disk.
bool syncFileSystem(const QByteArray &path);
