#pragma once

// The state of the one install a process runs: its two paths and the
// descriptors opened on them once, the pair of directories open at each
// level of the copy, the links waiting to be created, and the report. The
// install steps keep the signatures their log lines carry, so what they share
// beyond their parameters lives here, reached through Install::active().
// Every file-system step works relative to these descriptors and never
// follows a link below SOURCE or DESTINATION. Nothing here logs.

#include "installer.h"
#include "nativepath.h"
#include "posixfs.h"
#include "uniquefd.h"

#include <QHash>

#include <deque>

class Install
{
public:
    // Becomes the active install until destroyed.
    Install(const NativePath &source, const NativePath &destination);
    ~Install();
    Install(const Install &) = delete;
    Install &operator=(const Install &) = delete;

    static Install &active();

    const NativePath source;
    const NativePath destination;
    InstallReport report;

    // Opens SOURCE (a link at SOURCE itself is followed) for the whole
    // install; false, with errno set, when it is no directory or cannot be
    // opened.
    bool openSource();
    // Whether DESTINATION, or the nearest directory on its way that exists,
    // is SOURCE, lies inside it or holds it.
    bool overlapsSource() const;
    // Creates DESTINATION with its parents and opens it for the whole
    // install; false, with errno set, on failure.
    bool openDestination();
    // Locks DESTINATION against other installs until the process ends.
    bool lockDestination() const;
    // Empties DESTINATION; returns what could not be removed.
    QList<RemoveFailure> clearDestination() const;
    // The regular files below SOURCE, links not followed.
    uint countSourceFiles() const;
    // Syncs DESTINATION's file system; false when it failed.
    bool syncDestination() const;

    // A source directory and its copy, both open (or invalid on failure).
    struct Level
    {
        NativePath source;
        NativePath destination;
        QByteArray relative; // below DESTINATION, "" for DESTINATION itself
        UniqueFd sourceFd;
        UniqueFd destinationFd;
        int sourceError = 0;      // errno of opening the source directory
        int destinationError = 0; // errno of creating or opening its copy
    };
    void enterTop();
    // Opens the subdirectory `name` of the current level on both sides,
    // creating it in the destination unless the source one is gone.
    void enterSubdirectory(const QByteArray &name);
    void leaveLevel() { levels.pop_back(); }
    Level &level() { return levels.back(); }

    // Records the link `name` of the current level for createLinks and
    // returns its text for the destination: the target made relative to
    // the link's directory, so a link within the tree stays one wherever the
    // tree is installed.
    QString recordLink(const QByteArray &name, const NativePath &installedAt);
    // Creates the recorded link whose installed path is `path`.
    bool createLink(const QString &path);

private:
    struct PendingLink
    {
        QByteArray directory; // below DESTINATION
        QByteArray name;
        QByteArray text;
    };
    // The directory `relative` below DESTINATION, opened without following
    // links; the last one opened is kept, as links come in path order.
    int linkDirectory(const QByteArray &relative);

    UniqueFd sourceRoot;
    UniqueFd destinationRoot;
    std::deque<Level> levels; // a deque: a level stays put while deeper ones come and go
    QHash<QString, PendingLink> pendingLinks;
    QByteArray openLinkDirectoryPath;
    UniqueFd openLinkDirectory;
};
