#pragma once

// The hidden sibling of DESTINATION in which an atomic install builds the
// new version, and the one-step swap that puts it in place. Its name comes
// from DESTINATION's (".<name>.ostrel-staging"), so what a killed install
// left there (a half-built version, or the previous one not yet removed) is
// found by the next install into the same destination, and removed unless
// an install still holds its lock. Nothing here logs.

#include "posixfs.h"
#include "uniquefd.h"

#include <QByteArray>
#include <QString>

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
    // Removes a leftover staging area that no install holds; false when an
    // install holds it (or it cannot be removed), with its failures.
    bool removeLeftover(QList<RemoveFailure> &failures);

    enum Prepared { Ready, Busy, CannotExchange, Failed };
    // Creates and locks a new staging area, after checking with a probe
    // that the file system can exchange two directories.
    Prepared prepare();
    int fd() const { return staging.get(); }

    // Puts the staging area in DESTINATION's place in one step (exchanging
    // the two, or a plain rename when DESTINATION does not exist) and syncs
    // the directory that holds them. The previous version is then at the
    // staging name.
    bool swap();
    // Removes what is at the staging name; returns what could not be removed.
    QList<RemoveFailure> remove();

private:
    QByteArray parentPath;
    QByteArray name;        // DESTINATION's name in its parent
    QByteArray stagingName;
    UniqueFd parent;
    UniqueFd staging;
};
