#pragma once

// The state of the one install a process runs: its two paths and the
// descriptors opened on them once, the copy under way, the links waiting to
// be created, and the report. The
// install steps keep the signatures their log lines carry, so what they share
// beyond their parameters lives here, reached through Install::active().
// Every file-system step works relative to these descriptors and never
// follows a link below SOURCE or DESTINATION. Nothing here logs.

#include "copyengine.h"
#include "destinationlock.h"
#include "installer.h"
#include "nativepath.h"
#include "outputflusher.h"
#include "posixfs.h"
#include "staging.h"
#include "uniquefd.h"

#include <QHash>

#include <memory>
#include <vector>

class Install
{
public:
    // Becomes the active install until destroyed. An atomic install builds
    // the new version beside DESTINATION and swaps it in at the end.
    // `output` writes its batched lines and messages (the process's).
    Install(const NativePath &source, const NativePath &destination, bool atomic, OutputFlusher &output);
    ~Install();
    Install(const Install &) = delete;
    Install &operator=(const Install &) = delete;

    static Install &active();

    const NativePath source;
    const NativePath destination;
    const bool atomic;
    InstallReport report;
    OutputFlusher &output;

    // Opens SOURCE (a link at SOURCE itself is followed) for the whole
    // install; fails when it is no directory (ENOTDIR) or cannot be opened.
    Result openSource();
    // Whether DESTINATION, or the nearest directory on its way that exists,
    // is SOURCE, lies inside it or holds it.
    bool overlapsSource() const;
    // Why an atomic install into DESTINATION cannot be done, or an empty
    // text; nothing is touched.
    QString whyNotAtomic() const { return staging.whyNotPossible(); }

    enum Prepared { Ready, Unavailable, Busy, Overlap, CannotExchange };
    // What preparing the destination found beside the outcome, for the log.
    struct Preparation
    {
        pid_t lockHolder = 0; // Busy: the install that holds the lock, when known
        int lockError = 0;    // no private lock could be had (errno): DESTINATION itself was locked
        QList<RemoveFailure> leftovers; // what killed installs left and could not be removed
        QList<QByteArray> foreign;      // names beside DESTINATION like an install's, but not one's own: left alone
    };
    // Creates DESTINATION (or, for an atomic install, its work directory)
    // with its parents, opens it for the whole install and locks it
    // against other installs until the process ends (see
    // destinationlock.h); checks the overlap again on what it opened;
    // removes what killed atomic installs left beside DESTINATION.
    // Unavailable: nothing to copy into (every file will fail).
    Prepared prepareDestination(Preparation &found);
    // Empties DESTINATION; returns what could not be removed. An atomic
    // install has nothing to empty.
    QList<RemoveFailure> clearDestination() const;
    // What a failure below DESTINATION's parent was about.
    NativePath besideDestination(const QByteArray &path) const;

    // An atomic install's end: puts the staging area in DESTINATION's place
    // in one step; false when that failed and DESTINATION is unchanged.
    bool swapIntoPlace() { return staging.swap(); }
    // Removes the work directory: the abandoned new version, or after the
    // swap the previous one. Returns what could not be removed.
    QList<RemoveFailure> removeStaging() { return staging.remove(); }
    // Syncs DESTINATION's file system; false when it failed.
    bool syncDestination() const;

    // Walks SOURCE, creating the copy of every directory, and starts the
    // copy; returns the number of regular files (see copyengine.h).
    uint startCopy();
    // The copy threads asked for, and those that could be started.
    int copyThreadsWanted() const { return copy->threadsWanted(); }
    int copyThreadsStarted() const { return copy->threadsStarted(); }
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
    QString recordLink(int entry, int ordinal, const QString &installedAt);
    // Creates the recorded link whose installed path is `path`, with the
    // source link's times.
    bool createLink(const QString &path);

    // Gives every directory its source directory's permission bits and
    // times, deepest first, once everything inside is in place: until then
    // each is private to the installing user (so nobody else reads or adds
    // anything meanwhile, and a read-only directory can still be filled).
    // DESTINATION keeps its own mode if it existed before. Returns the
    // directories where that failed.
    QList<NativePath> finishDirectories();

private:
    struct Placed // a name below DESTINATION
    {
        int job; // the directory's
        QByteArray name;
    };
    struct PendingLink
    {
        Placed place;
        QByteArray text;
        timespec times[2];
    };
    bool installHardLinked(int job, const QByteArray &name);
    // Whether the open `directory` is SOURCE, lies inside it or holds it.
    bool overlapsSource(int directory) const;
    void finishDirectory(int index, int fd, QList<NativePath> &failed);
    NativePath destinationOf(const DirectoryJob &directory) const;
    // Nobody sees the staging area before the swap: files may be written
    // there under their names.
    Placement placement() const { return atomic ? Placement::InPlace : Placement::Unnamed; }
    // The copy of the job's directory, opened below DESTINATION without
    // following links; the last one opened is kept, as callers come in
    // walk order.
    int directoryBelowDestination(int job);

    UniqueFd sourceRoot;
    QByteArray realSource; // SOURCE with its links resolved
    UniqueFd destinationRoot; // where the copy goes: DESTINATION, or the staging area
    bool destinationExisted = false;
    mode_t destinationMode = 0; // when it existed
    Staging staging;
    DestinationLock nameLock, directoryLock;
    UniqueFd lockedInPlace; // when no private lock could be had
    std::unique_ptr<CopyEngine> copy;
    std::vector<int> jobStack;
    QHash<QString, PendingLink> pendingLinks;
    QHash<QPair<quint64, quint64>, Placed> firstCopies; // by device and inode
    int openBelowDestinationJob = -1;
    UniqueFd openBelowDestination;
};
