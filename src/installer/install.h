#pragma once

// The state of the one install a process runs: its two paths and the
// descriptors opened on them once, the copy under way, the links waiting to
// be created, and the report. The
// install steps keep the signatures their log lines carry, so what they share
// beyond their parameters lives here, reached through Install::active().
// Every file-system step works relative to these descriptors and never
// follows a link below SOURCE or DESTINATION. Nothing here logs.

#include "copyengine.h"
#include "installer.h"
#include "nativepath.h"
#include "outputflusher.h"
#include "posixfs.h"
#include "uniquefd.h"

#include <QHash>

#include <memory>
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
    // Syncs DESTINATION's file system; false when it failed.
    bool syncDestination() const;

    // Walks SOURCE, creating the copy of every directory, and starts the
    // copy; returns the number of regular files (see copyengine.h).
    uint startCopy();
    // The copy's directories in walk order; the top is job 0.
    DirectoryJob &job(int index) { return copy->job(index); }
    // The reporter goes into a job and waits until its directories are open.
    void enterJob(int index);
    void leaveJob();
    int currentJob() const { return jobStack.back(); }

    // The outcome of the regular file `entry` of the current job, once it is
    // there. A file that shares its inode with others is installed here, in
    // walk order: a copy for the first name, a hard link for the others.
    bool fileInstalled(int entry);

    // Records the link `entry` (the `ordinal`-th link) of the current job
    // for createLinks, once it has been read, and returns its text for the
    // destination: the source's text byte for byte, except that an absolute
    // target inside SOURCE is made relative to the link's directory, so the
    // installed tree is self-contained.
    QString recordLink(int entry, int ordinal, const NativePath &installedAt);
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
    bool installHardLinked(const DirectoryJob &job, const QByteArray &name);
    // The directory `relative` below DESTINATION, opened without following
    // links; the last one opened is kept, as callers come in path order.
    int directoryBelowDestination(const QByteArray &relative);

    UniqueFd sourceRoot;
    QByteArray realSource; // SOURCE with its links resolved
    UniqueFd destinationRoot;
    bool destinationExisted = false;
    std::unique_ptr<CopyEngine> copy;
    std::vector<int> jobStack;
    QHash<QString, PendingLink> pendingLinks;
    QHash<QPair<quint64, quint64>, Placed> firstCopies; // by device and inode
    QByteArray openBelowDestinationPath;
    UniqueFd openBelowDestination;
};
