#pragma once

// The copy of SOURCE into DESTINATION as one walk and parallel workers.
// The walk lists and sorts every source directory, creates its copy, and
// queues it as a job, so the number of files is known before the first one
// is reported. Workers take queued directories whole, in walk order, at most
// a fixed number of directories ahead of the reporter; a worker with no
// whole directory left to take helps with one being copied that has enough
// entries left, taking its entries one at a time (so one large directory,
// or a few large files, keep every core busy). The reporter (the install
// procedure, on the thread that owns the engine) takes the results in walk
// order, so everything observable comes in the same order as from a copy
// made one file after the other. With one job (OSTREL_JOBS=1) there are no
// workers: the reporter copies each directory itself when it reaches it. An
// update may keep what is unchanged of the version it replaces (see
// PreviousVersion). Nothing here logs.
//
// Threads: the walk and the cursor are the reporter's, called from the
// thread that made the engine, in this order: walk(); then enter() and
// leave() around each job in walk order (job 0 first, then each child where
// its directory entry comes), and inside a job fileCopied() and link() for
// the entries whose results it reads. A job's walk-time fields are fixed
// before it is queued. The thread that claims a job opens its directories
// and publishes them (`opened`); then any copying thread claims entries
// through the atomic `nextEntry`, and writes that entry's result (and link)
// alone, then publishes it with the entry's `done` flag, which the reporter
// reads. leave() waits until every entry is done before it frees the job's
// entries and closes its directories, since the reporter does not wait for
// every entry (not for subdirectories or FIFOs). The hard-link context
// (hardlinks.h) is shared by the copying threads under its own mutex.

#include "filecopy.h"
#include "hardlinks.h"
#include "posixfs.h"
#include "result.h"
#include "uniquefd.h"

#include <QList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/stat.h>

// One source directory and its copy. A job knows its name and its parent,
// not its paths, so that memory grows with the number of directories, not
// with the square of their depth: paths are made from the chain of parents
// only when one is needed.
class DirectoryJob
{
public:
    // Set by the walk, fixed once the job is queued (children: once the
    // walk is over).
    const DirectoryJob *parent = nullptr; // nullptr for the top
    QByteArray ownName;                   // its name in the parent; "" for the top
    int listError = 0;         // errno when the source could not be listed
    bool isDestination = false; // the source directory is the destination (through a mount): not copied
    int createError = 0;       // errno when its copy could not be created
    bool hasStatus = false;    // whether `status` of the source directory is known
    struct stat status = {};
    std::vector<int> children; // jobs of the subdirectory entries, in entry order

    // Below SOURCE and DESTINATION, "" for the top.
    QByteArray relativePath() const;

    int entryCount() const { return count; }
    QByteArray name(int entry) const;
    unsigned char type(int entry) const { return types[size_t(entry)]; } // DT_*, DT_UNKNOWN if unreadable

    // Set by the thread that claimed the job. Valid once the engine has
    // waited for them.
    int sourceError = 0; // errno of reopening the source directory
    // Whether the regular file `entry` was copied, or why not.
    Result result(int entry) const { return errors[size_t(entry)] == 0 ? Result::success() : Result::failure(errors[size_t(entry)]); }
    struct Link
    {
        QByteArray text; // empty when it could not be read
        timespec times[2];
    };
    // The link that is the `ordinal`-th link among the entries.
    const Link &link(int ordinal) const { return links[size_t(ordinal)]; }

private:
    friend class CopyEngine;
    int count = 0;                     // entries, fixed by the walk
    QByteArray names;                  // each name followed by a NUL, in entry order
    std::vector<quint32> nameOffsets;
    std::vector<unsigned char> types;
    std::vector<int> linkEntries;      // the entries that are links, in order
    std::vector<int> errors;           // of the regular files, 0 once copied
    std::vector<Link> links;
    std::unique_ptr<std::atomic<bool>[]> done; // per entry: its result is there
    // Its directories: kept open from the walk, while there are not too
    // many, otherwise opened again by the thread that claims the job; open
    // until the reporter leaves the job.
    UniqueFd source;
    UniqueFd destination;
    UniqueFd previousBeside;  // (PreviousVersion::Beside only; invalid: there is none)
    UniqueFd keptVersionDir;  // the kept version's directory at this path (invalid: there is none)
    bool keptOpen = false;    // whether the walk kept them
    bool claimed = false;     // under the engine's mutex
    std::atomic<bool> opened{false};
    std::atomic<int> nextEntry{0};   // the next entry a copying thread takes
    std::atomic<int> entriesDone{0};
    std::atomic<bool> outOfMemory{false}; // what is left of it fails
};

// What an update keeps of the version it replaces: the files that
// isUnchangedCopy() (filecopy.h) finds unchanged at the same path.
struct PreviousVersion
{
    enum Where {
        None,          // every file is copied
        InDestination, // DESTINATION holds it and is updated in place: the
                       // walk removes what the package does not hold (or
                       // holds as another kind of entry), and unchanged
                       // files are left as they are; files need
                       // Placement::Replacing
        Beside,        // in the open directory `root`: unchanged files are
                       // linked from there into the copy
    };
    Where where = None;
    int root = -1; // Beside
    // The version kept beside DESTINATION, or -1: a file of the previous
    // version may have a second link, when it is the kept version's file at
    // the same path. Neither is ever modified in place, so sharing the file
    // changes neither.
    int keptVersion = -1;
};

class CopyEngine
{
public:
    // `placement`: how files are created (see filecopy.h). Starts up to
    // `workers` copy threads; as many as can be had, if fewer.
    CopyEngine(int sourceRoot, int destinationRoot, int workers, Placement placement,
               PreviousVersion previous = PreviousVersion());
    ~CopyEngine();
    CopyEngine(const CopyEngine &) = delete;
    CopyEngine &operator=(const CopyEngine &) = delete;

    // The number of copy threads: OSTREL_JOBS when set, else the core count.
    static int defaultJobs();
    // How many copy threads were asked for and how many could be started.
    int threadsWanted() const { return wantedWorkers; }
    int threadsStarted() const { return int(workers.size()); }

    // Walks SOURCE, creating the copy of every directory, and returns the
    // number of regular files. Workers start as directories are queued.
    // Job 0 is the top.
    uint walk();
    // What an update in place could not remove (paths below DESTINATION);
    // complete once walk() has returned.
    const QList<RemoveFailure> &removeFailures() const { return strays; }
    // How many files were found unchanged and kept; complete once the
    // reporter has left job 0.
    uint unchangedFiles() const { return unchanged.load(); }
    int jobCount() const { return int(jobs.size()); }
    DirectoryJob &job(int index) { return *jobs[size_t(index)]; }

    // The reporter's walk-order cursor. enter() goes into a job and waits
    // until its directories are open, copying it on this thread when no
    // worker has taken it; leave() is done with the current job: once its
    // worker is too, its entries are freed, and workers may go further.
    void enter(int index);
    void leave();
    int current() const { return cursor.back(); }
    // The outcome of the regular file `entry` of the current job, once it
    // is there. Names that share an inode are copied once and linked.
    Result fileCopied(int entry);
    // The link `entry` of the current job, the `ordinal`-th link among its
    // entries, once it has been read.
    const DirectoryJob::Link &link(int entry, int ordinal);

private:
    // Lists, sorts and queues the directory of `job` (its paths and
    // createError set), then walks its subdirectories.
    void walkDirectory(std::unique_ptr<DirectoryJob> job, int sourceFd, int destinationFd, int previousFd, int keptFd);
    // An update in place: removes what the package does not hold from the
    // copy of the listed job (see PreviousVersion::InDestination).
    void removeStrays(const DirectoryJob &job, int destinationFd);
    void removeStray(const DirectoryJob &job, int destinationFd, const QByteArray &name);
    // Lists and sorts the source directory into the job's entries.
    void listSorted(DirectoryJob &job, int sourceFd);
    void queue(std::unique_ptr<DirectoryJob> job);
    void work();
    // Claims nothing: opens the job's directories, then copies entries.
    void copyJob(DirectoryJob &job);
    // Copies entries of an opened job, one at a time, while there are any
    // left to take.
    void copyEntries(DirectoryJob &job);
    void copyEntry(DirectoryJob &job, int entry);
    void entryDone(DirectoryJob &job, int entry);
    // A job being copied that an idle worker may help with, under mutex.
    DirectoryJob *helpWanted();
    // How many jobs from the first unclaimed one in walk order a worker may
    // take now (within the distance allowed ahead of the reporter), under
    // mutex.
    int claimableJobs();
    Result copyFile(const DirectoryJob &job, int sourceFd, int destinationFd, int previousFd, const QByteArray &name);
    // Whether the file `name`, whose status in SOURCE is `source`, is
    // unchanged in the previous version's directory, and kept: left as it
    // is, or linked into the copy.
    bool keptUnchanged(const DirectoryJob &job, const struct stat &source, int destinationFd, int previousFd,
                       const QByteArray &name);
    // How many links the previous version's file `name` in `job`, whose
    // status is `existing`, may have: 2 when the second is the kept
    // version's file at the same path, else 1.
    static nlink_t allowedLinks(const DirectoryJob &job, const struct stat &existing, const QByteArray &name);
    bool claim(int index);
    void wait(const std::function<bool()> &ready);
    void waitEntry(int index, int entry);

    const int sourceRoot;
    const int destinationRoot;
    const Placement placement;
    const PreviousVersion previous;
    const int wantedWorkers;
    QList<RemoveFailure> strays; // the walk's
    std::atomic<uint> unchanged{0};
    uint regularFiles = 0;
    struct stat destinationStatus = {};

    std::mutex mutex;
    std::condition_variable workAvailable;
    std::condition_variable progressMade;
    std::atomic<bool> reporterWaiting{false};
    std::vector<std::unique_ptr<DirectoryJob>> jobs; // under mutex while the walk runs
    int nextUnclaimed = 0;
    int reporterAt = 0;
    bool walkOver = false;
    bool stopping = false;
    std::vector<DirectoryJob *> helpable; // opened jobs with entries left, under mutex
    int idleWorkers = 0;                  // under mutex
    std::vector<std::thread> workers;
    HardLinks hardLinks;
    std::vector<int> cursor; // the reporter's jobs, from the top to the current one
};
