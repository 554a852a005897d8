#pragma once

// Copies the regular file `name` of the open directory `sourceFd` to the same
// name in the open directory `destinationFd`: its bytes and its permission
// bits (mode & 0777; set-id and sticky bits are not carried over).
//
// The copy is written without a name and linked in only once complete, so a
// partial file never appears under the final name, even if the process is
// killed. An existing entry under the name is never replaced. Data is not
// synced here; the caller syncs the file system once at the end.
//
// Returns false on any failure, leaving nothing behind.
bool copyRegularFile(int sourceFd, const char *name, int destinationFd);
