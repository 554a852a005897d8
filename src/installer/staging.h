#pragma once

// The hidden siblings of DESTINATION that installs make for themselves, and
// the one-step swap of an atomic install. Each atomic install makes a work
// directory ".<name>.ostrel-<16 hex digits>" beside DESTINATION (a name too
// long for that is cut to 200 bytes and followed by a hash of the whole),
// private to the installing user (0700), and locked by that install until
// it ends. It holds:
//   owner  a marker naming DESTINATION (its parent's device and inode, its
//          name) and the work directory itself (device and inode);
//   new    the new version, built there and exchanged with DESTINATION in
//          one step, after which it holds the previous version;
//   probe  briefly, the empty directory that shows that the file system
//          can exchange two directories.
// A directory with such a name is the installer's own only if all of that
// holds, which nobody but the installing user can bring about: then, once
// no install holds it, it is what a killed install left, and the next
// install into DESTINATION removes it. Anything else with such a name is
// left alone.
//
// An install that keeps the previous version keeps its work directory
// after the swap, renamed ".<name>.ostrel-previous" and holding, instead of
// `new`, the previous version in
//   version
// (the one kept before is removed). The marker, which names no entry, keeps
// it recognisable as the installer's own under its new name, and only then
// is it used: a rollback exchanges `version` with DESTINATION. Both steps
// are single renames, so a kill leaves DESTINATION and the kept version
// whole. Nothing here logs.

#include "posixfs.h"
#include "uniquefd.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <sys/stat.h>

class Staging
{
public:
    // For DESTINATION, an absolute, clean path.
    explicit Staging(const QByteArray &destination);

    // Why the swap cannot be done, or an empty text, found without touching
    // anything: DESTINATION is a symbolic link, no directory, or a mount
    // point, or the directory that holds it cannot be written.
    QString whyNotPossible() const;

    // Opens the directory that holds DESTINATION (created with its parents
    // if missing, unless only an existing one will do); false on failure.
    bool openParent(bool create = true);
    int parentFd() const { return parent.get(); }
    const struct stat &parentStatus() const { return parentStat; }
    const QByteArray &destinationName() const { return name; }

    // Removes the work directories that killed installs into DESTINATION
    // left; returns what could not be removed (paths below the parent), and
    // in `foreign` the names that look like work directories but are not
    // the installer's own, left alone.
    QList<RemoveFailure> removeLeftovers(QList<QByteArray> &foreign);

    enum Prepared { Ready, CannotExchange, Failed };
    // Creates and locks a new work directory, and checks with a probe that
    // the file system can exchange two directories.
    Prepared prepare();
    // The directory the new version is built in.
    int fd() const { return staging.get(); }

    // Puts the new version in DESTINATION's place in one step (exchanging
    // the two, or a plain rename when DESTINATION does not exist) and syncs
    // the directory that holds them. The previous version is then in the
    // work directory.
    bool swap();
    // Removes the work directory: the abandoned new version, or after the
    // swap the previous one. Returns what could not be removed (paths below
    // the parent).
    QList<RemoveFailure> remove();

    // The kept version's name beside DESTINATION, and this install's work
    // directory's (after keepPrevious(), the name of the version kept
    // before).
    const QByteArray &keptName() const { return keptEntry; }
    const QByteArray &workDirectoryName() const { return workName; }
    enum KeptState { NothingKept, Kept, NotOwn };
    // Looks for the kept version (none when the parent could not be
    // opened): NotOwn when something else has its name (left alone). Kept: keptVersionFd() is
    // the kept version.
    KeptState findKept();
    int keptVersionFd() const { return keptVersion.get(); }

    enum Keeping { KeptFirst, KeptReplacing, KeepingRefused, KeepingFailed };
    // After swap(): keeps the previous version under keptName() in one
    // step, replacing the version kept before (which remove() then
    // removes) and syncs the parent. KeepingRefused: something not the
    // installer's own has that name; KeepingFailed: a rename failed. Either
    // way the previous version stays in the work directory, for remove().
    Keeping keepPrevious();

    enum Exchange { Exchanged, MovedIntoPlace, ExchangeFailed };
    // After findKept() found it: exchanges the kept version with DESTINATION
    // in one step (a plain rename when DESTINATION is missing, which then
    // leaves nothing kept) and syncs both directories. ExchangeFailed: errno
    // says why, nothing changed.
    Exchange exchangeWithKept();
    // Syncs the directory that holds DESTINATION, and the kept version's
    // work directory once found: after keeping or rolling back, the renames
    // are on disk. False when that failed.
    bool syncBeside() const;

private:
    QByteArray marker(const struct stat &workDirectory) const;
    bool isOwnWorkDirectory(const QByteArray &entry, int fd) const;
    bool hasOwnMarker(int fd) const;
    // Whether `entry` of the parent is still the open directory `fd`: in a
    // parent others may write, a name may be given to something else at
    // any moment.
    bool isNamed(const QByteArray &entry, int fd) const;
    QList<RemoveFailure> removeWorkDirectory(const QByteArray &entry, int fd) const;

    QByteArray parentPath;
    QByteArray name;       // DESTINATION's name in its parent
    QByteArray workPrefix; // of the work directories' names
    QByteArray workName;   // this install's, once prepared; after keeping, the one kept before
    QByteArray keptEntry;
    struct stat parentStat = {};
    UniqueFd parent;
    UniqueFd work;
    UniqueFd staging;
    UniqueFd keptContainer; // the kept version's work directory, once found
    UniqueFd keptVersion;
};
