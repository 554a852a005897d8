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
// left alone. Nothing here logs.

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
    // if missing); false on failure.
    bool openParent();
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

private:
    QByteArray marker(const struct stat &workDirectory) const;
    bool isOwnWorkDirectory(const QByteArray &entry, int fd) const;
    QList<RemoveFailure> removeWorkDirectory(const QByteArray &entry, int fd) const;

    QByteArray parentPath;
    QByteArray name;       // DESTINATION's name in its parent
    QByteArray workPrefix; // of the work directories' names
    QByteArray workName;   // this install's, once prepared
    struct stat parentStat = {};
    UniqueFd parent;
    UniqueFd work;
    UniqueFd staging;
};
