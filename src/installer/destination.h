#pragma once

// DESTINATION as one install uses it: made and opened once, locked against
// other installs (see destinationlock.h), emptied (unless only what changed
// is to be written), given its directories' modes and times once the copy
// is in, synced; for an atomic install, the work directory the new version
// is built in and the swap (see staging.h).
// Every step works relative to the descriptors opened here and never
// follows a link below DESTINATION. Nothing here logs.

#include "copyengine.h"
#include "destinationlock.h"
#include "filecopy.h"
#include "nativepath.h"
#include "posixfs.h"
#include "staging.h"
#include "uniquefd.h"

#include <QList>

class Destination
{
public:
    // `path`: absolute and clean. An atomic install builds the new version
    // beside it and swaps it in at the end. A changed-only install keeps the
    // files of the version there that are unchanged (see copyengine.h,
    // PreviousVersion): it updates DESTINATION in place, or, atomic, links
    // them into the new version.
    Destination(const NativePath &path, bool atomic, bool changedOnly);

    const NativePath &path() const { return destination; }

    // Whether DESTINATION, or the nearest directory on its way that exists,
    // is the open source directory, lies inside it or holds it.
    bool overlaps(int sourceRoot) const;
    // Why an atomic install into DESTINATION cannot be done, or an empty
    // text; nothing is touched.
    QString whyNotAtomic() const { return staging.whyNotPossible(); }

    enum Prepared { Ready, Unavailable, Busy, Overlap, CannotExchange };
    // What preparing found beside the outcome, for the log.
    struct Preparation
    {
        pid_t lockHolder = 0; // Busy: the install that holds the lock, when known
        int lockError = 0;    // no private lock could be had (errno): DESTINATION itself was locked
        QList<RemoveFailure> leftovers; // what killed installs left and could not be removed
        QList<QByteArray> foreign;      // names beside DESTINATION like an install's, but not one's own: left alone
    };
    // Creates DESTINATION (or, for an atomic install, its work directory)
    // with its parents, opens it for the whole install and locks it until
    // the process ends; checks the overlap with `sourceRoot` again on what
    // it opened; removes what killed atomic installs left beside it.
    // Unavailable: nothing to copy into (every file will fail).
    Prepared prepare(int sourceRoot, Preparation &found);

    // Where the copy goes: DESTINATION, or the staging area; -1 when
    // preparing failed.
    int root() const { return copyRoot.get(); }
    // How files are created (see filecopy.h): nobody sees the staging area
    // before the swap, so files may be written there under their names; an
    // update in place replaces what is there.
    Placement placement() const;
    // What the copy may keep of the version it replaces.
    PreviousVersion previousVersion() const;

    // Empties DESTINATION; returns what could not be removed. An atomic or
    // changed-only install has nothing to empty.
    QList<RemoveFailure> clear() const;
    // Gives every directory of the copy its source directory's permission
    // bits and times, deepest first, once everything inside is in place:
    // until then each is private to the installing user (so nobody else
    // reads or adds anything meanwhile, and a read-only directory can still
    // be filled). DESTINATION keeps its own mode if it existed before.
    // Returns the directories where that failed.
    QList<NativePath> finishDirectories(CopyEngine &copy) const;
    // Syncs DESTINATION's file system; false when it failed.
    bool sync() const;
    // For a rollback instead of prepare(), once siblings() has opened the
    // directory that holds DESTINATION: takes the locks an install would;
    // Ready, Busy, or Unavailable when no lock at all could be had.
    Prepared prepareRollback(Preparation &found);
    // The hidden siblings: the staging area and the kept version.
    Staging &siblings() { return staging; }
    // An atomic install's end: puts the staging area in DESTINATION's place
    // in one step; false when that failed and DESTINATION is unchanged.
    bool swapIntoPlace() { return staging.swap(); }
    // Removes the work directory: the abandoned new version, or after the
    // swap the previous one. Returns what could not be removed.
    QList<RemoveFailure> removeStaging() { return staging.remove(); }

    // A path below DESTINATION's parent, for a line about it.
    NativePath beside(const QByteArray &path) const;
    // The copy of a source directory.
    NativePath copyOf(const DirectoryJob &directory) const;

private:
    bool takeNameLock(Preparation &found);
    static bool take(DestinationLock &lock, const struct stat &identity, const QByteArray &name, Preparation &found);
    Prepared lockDirectory(const UniqueFd &existing, Preparation &found);
    void finishDirectory(CopyEngine &copy, int index, int fd, QList<NativePath> &failed) const;

    const NativePath destination;
    const bool atomic;
    const bool changedOnly;
    bool existed = false;
    mode_t existingMode = 0; // when it existed
    Staging staging;
    DestinationLock nameLock, directoryLock;
    UniqueFd lockedInPlace; // when no private lock could be had
    UniqueFd copyRoot;
    UniqueFd current; // a changed-only atomic install's: DESTINATION as it was
    int keptRoot = -1; // a changed-only install's: the kept version, when there is one (the staging area's)
};
