#pragma once

// Regular files copied whole or not at all: written without a name and
// linked in only once complete, so a partial file never appears under its
// final name, even if the process is killed, and an existing entry is never
// replaced. (In a directory that nobody sees before the copy is over, files
// may be written in place, which is cheaper.) Data is not synced here; the
// caller syncs the file system once at the end. Every function fails with
// the cause as a value (see result.h), leaving nothing behind.

#include "result.h"
#include "uniquefd.h"

#include <sys/stat.h>

// Opens the entry `name` of the open directory for copying, with its status;
// invalid unless it is a regular file (a link is not followed; EINVAL for
// anything else).
UniqueFd openRegularFile(int directoryFd, const char *name, struct stat &status);

// Copies the open file `in`, whose status is `source`, to `name` in the open
// directory `destinationFd`: its bytes up to its end (holes kept as holes),
// its permission bits (mode & 0777: set-id and sticky bits are not carried
// over), its access and modification times.
enum class Placement { Unnamed, InPlace };
Result copyRegularFile(int in, const struct stat &source, int destinationFd, const char *name,
                     Placement placement = Placement::Unnamed);

// Gives the file `from` of one open directory a second name, `to`, in
// another (a hard link).
Result linkFile(int fromDirectoryFd, const char *from, int toDirectoryFd, const char *to);
