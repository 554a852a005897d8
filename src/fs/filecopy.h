#pragma once

// Regular files copied whole or not at all: written without a name and
// linked in only once complete, so a partial file never appears under its
// final name, even if the process is killed, and an existing entry is never
// replaced, unless the caller asks for that: then the complete copy takes
// the place of the old entry in one step, so a reader sees the old file or
// the new one, never a part. (In a directory that nobody sees before the
// copy is over, files may be written in place, which is cheaper.) Data is not synced here; the
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
// Unnamed: written without a name, then linked in; fails if `name` is taken.
// Replacing: the same, but renamed over whatever `name` is (not a directory),
// through a temporary name that a kill may leave behind (".ostrel-partial-*").
// InPlace: written under `name`, which must be free.
enum class Placement { Unnamed, Replacing, InPlace };
Result copyRegularFile(int in, const struct stat &source, int destinationFd, const char *name,
                     Placement placement = Placement::Unnamed);

// Whether `existing` (a status taken without following links) is a copy of
// the file whose status is `source` that an update may keep as it is: a
// regular file with `links` links (1, or 2 when the caller knows the other
// name to be the installer's own), owned by the process's effective user,
// with the source's size, modification time to the nanosecond and the
// permission bits a copy gets. This is rsync's quick check, made strict:
// nobody else can have made or can change such a file, nor reach it under
// another name.
bool isUnchangedCopy(const struct stat &existing, const struct stat &source, nlink_t links);

// Whether opening the regular file whose status is `status` for reading
// would certainly succeed, judged without opening it: the process owns it
// and the owner may read it (an access control list never narrows the
// owner's own entry), or the process may read any file (CAP_DAC_OVERRIDE or
// CAP_DAC_READ_SEARCH). When false, only opening it tells.
bool isReadableWithoutOpening(const struct stat &status);

// Gives the file `from` of one open directory a second name, `to`, in
// another (a hard link); with Placement::Replacing, in place of what `to` is.
Result linkFile(int fromDirectoryFd, const char *from, int toDirectoryFd, const char *to,
                Placement placement = Placement::Unnamed);

// Gives the open file `fd` the name `name` as well (a hard link), in place
// of what `name` is when `placement` is Replacing.
Result linkOpenFile(int fd, int directoryFd, const char *name, Placement placement = Placement::Unnamed);
