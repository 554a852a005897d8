#pragma once

// A lock that keeps two installs out of one destination at a time. It is a
// file in a directory that only the installing user can write (root:
// /run/ostrel-installer; others: $XDG_RUNTIME_DIR/ostrel-installer, else
// /tmp/ostrel-installer-<uid>), named after a directory's device and inode,
// and a hash of a name in it when it is about that name, and held with
// flock(2). An install takes one for DESTINATION's name in its parent and
// one for DESTINATION itself. So nobody who could not install into
// DESTINATION can take them (a lock on DESTINATION itself could be taken
// by anyone able to read it), and nothing is left inside or beside
// DESTINATION: the file holds the holder's process id, and is removed,
// still locked, when the install ends. The kernel drops the lock of a
// killed install.
// Nothing here logs.

#include "uniquefd.h"

#include <QByteArray>

#include <sys/stat.h>
#include <sys/types.h>

class DestinationLock
{
public:
    DestinationLock() = default;
    ~DestinationLock();
    DestinationLock(const DestinationLock &) = delete;
    DestinationLock &operator=(const DestinationLock &) = delete;

    enum State { Held, Busy, Unavailable };
    // Takes the lock for the directory whose status is `directory`, or
    // with a non-empty `name`, for that name in it. Busy: another install
    // holds it (holder() tells which, when it can). Unavailable: no private
    // lock directory could be had (error() says why).
    State acquire(const struct stat &directory, const QByteArray &name = QByteArray());
    // The process id the holder wrote, after Busy; 0 when unknown.
    pid_t holder() const { return busyHolder; }
    // Why the lock was Unavailable (an errno).
    int error() const { return unavailableBecause; }

private:
    State unavailable(int error)
    {
        unavailableBecause = error;
        return Unavailable;
    }

    UniqueFd lockDirectory;
    UniqueFd lockFile;
    QByteArray fileName;
    pid_t busyHolder = 0;
    int unavailableBecause = 0;
};
