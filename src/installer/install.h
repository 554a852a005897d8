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
#include "outputflusher.h"
#include "posixfs.h"
#include "uniquefd.h"

#include <QHash>

#include <deque>
#include <vector>

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
    OutputFlusher output;

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

    // Installs the regular file `name` of the current level: a copy, or,
    // when it shares its inode with a file installed before, a second name
    // for that copy.
    bool installFile(const QByteArray &name);

    // Records the link `name` of the current level for createLinks and
    // returns its text for the destination: the source's text byte for
    // byte, except that an absolute target inside SOURCE is made relative
    // to the link's directory, so the installed tree is self-contained.
    QString recordLink(const QByteArray &name, const NativePath &installedAt);
    // Creates the recorded link whose installed path is `path`, with the
    // source link's times.
    bool createLink(const QString &path);

    // Gives every directory its source directory's permission bits and
    // times, deepest first, once everything inside is in place (so a
    // read-only directory could still be filled). DESTINATION keeps its own
    // mode if it existed before. Returns the directories where that failed.
    QList<NativePath> finishDirectories();

private:
    struct Placed // a name below DESTINATION
    {
        QByteArray directory;
        QByteArray name;
    };
    struct PendingLink
    {
        Placed place;
        QByteArray text;
        timespec times[2];
    };
    struct DirectoryAttributes
    {
        NativePath path;
        QByteArray relative;
        bool setMode;
        mode_t mode;
        timespec times[2];
    };
    void recordDirectory(const Level &level, bool setMode);
    // The directory `relative` below DESTINATION, opened without following
    // links; the last one opened is kept, as callers come in path order.
    int directoryBelowDestination(const QByteArray &relative);

    UniqueFd sourceRoot;
    QByteArray realSource; // SOURCE with its links resolved
    UniqueFd destinationRoot;
    bool destinationExisted = false;
    std::deque<Level> levels; // a deque: a level stays put while deeper ones come and go
    QHash<QString, PendingLink> pendingLinks;
    QHash<QPair<quint64, quint64>, Placed> firstCopies; // by device and inode
    std::vector<DirectoryAttributes> directories;       // in the order they were entered
    QByteArray openBelowDestinationPath;
    UniqueFd openBelowDestination;
};
