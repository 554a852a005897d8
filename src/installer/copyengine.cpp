#include "copyengine.h"

#include "filecopy.h"
#include "nativename.h"
#include "posixfs.h"

#include <QHash>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// How many directories the workers may be ahead of the reporter.
const int aheadLimit = 64;
// How many entries a directory needs for an idle worker to help copy it:
// fewer, and waking the worker costs more than it saves.
const int minimumShared = 4;
// Idle workers are woken when this many directories are there for them to
// take, or one with this many entries: woken for each small directory (as
// in a deep chain of them), a worker costs two context switches and a
// contended lock per directory, more than copying it.
const int wakeBatch = 16;
// How many directories keep the descriptors the walk opened them with, so
// that a worker need not open them again component by component: up to a
// thousand, four descriptors at most each, within a quarter of what the
// process may open.
int keptDirectories()
{
    static const int kept = [] {
        rlimit limit;
        const rlim_t open = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
        return int(std::min<rlim_t>(1000, open / 16));
    }();
    return kept;
}

// Whether an entry gone from SOURCE, or become something else, since it
// was listed.
bool isGone(int error)
{
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

UniqueFd duplicate(int fd)
{
    return UniqueFd(fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 0));
}


} // namespace

QByteArray DirectoryJob::relativePath() const
{
    if (!parent)
        return QByteArray();
    qsizetype length = 0;
    for (const DirectoryJob *job = this; job->parent; job = job->parent)
        length += job->ownName.size() + 1;
    QByteArray path(length - 1, '/');
    for (const DirectoryJob *job = this; job->parent; job = job->parent) {
        length -= job->ownName.size() + 1;
        std::copy(job->ownName.cbegin(), job->ownName.cend(), path.begin() + length);
    }
    return path;
}

QByteArray DirectoryJob::name(int entry) const
{
    return QByteArray(names.constData() + nameOffsets[size_t(entry)]);
}

CopyEngine::CopyEngine(int sourceRoot, int destinationRoot, int workerCount, Placement placement, PreviousVersion previous)
    : sourceRoot(sourceRoot)
    , destinationRoot(destinationRoot)
    , placement(placement)
    , previous(previous)
    , wantedWorkers(workerCount > 1 ? workerCount : 0)
{
    // One job: the reporter copies everything itself, no thread needed. It
    // does the same for whatever the threads that could be started leave.
    try {
        workers.reserve(size_t(wantedWorkers));
        for (int i = 0; i < wantedWorkers; ++i)
            workers.emplace_back([this] { work(); });
    } catch (const std::exception &) { // std::system_error (no thread to be had) or std::bad_alloc
    }
}

CopyEngine::~CopyEngine()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    workAvailable.notify_all();
    for (std::thread &worker : workers)
        worker.join();
}

int CopyEngine::defaultJobs()
{
    bool given = false;
    const int jobs = qEnvironmentVariableIntValue("OSTREL_JOBS", &given);
    if (given && jobs >= 1)
        return std::min(jobs, 64);
    return std::max(1, int(std::thread::hardware_concurrency()));
}

uint CopyEngine::walk()
{
    ::fstat(destinationRoot, &destinationStatus);
    walkDirectory(std::make_unique<DirectoryJob>(), sourceRoot, destinationRoot,
                  previous.where == PreviousVersion::Beside ? previous.root : -1, previous.keptVersion);
    {
        std::lock_guard<std::mutex> lock(mutex);
        walkOver = true;
    }
    workAvailable.notify_all();
    return regularFiles;
}

void CopyEngine::listSorted(DirectoryJob &job, int sourceFd)
{
    // The listing and its sort keys are gone before the walk goes deeper:
    // what stays is the job's names and types alone.
    QList<DirectoryEntry> entries;
    job.listError = listDirectory(sourceFd, entries).error();
    // Case-insensitive name order, ties broken by the exact name, so the
    // order never depends on the file system.
    struct Sorted
    {
        qsizetype index;
        QString key;
        QString name;
    };
    std::vector<Sorted> sorted;
    sorted.reserve(size_t(entries.size()));
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QString text = decodeFileName(entries[i].name);
        sorted.push_back({i, text.toLower(), text});
    }
    std::sort(sorted.begin(), sorted.end(), [](const Sorted &a, const Sorted &b) {
        const int byKey = a.key.compare(b.key);
        return byKey != 0 ? byKey < 0 : a.name < b.name;
    });
    for (const Sorted &entry : sorted) {
        const DirectoryEntry &listed = entries[entry.index];
        const unsigned char type = entryType(sourceFd, listed);
        job.nameOffsets.push_back(quint32(job.names.size()));
        job.names += listed.name;
        job.names += '\0';
        if (type == DT_LNK)
            job.linkEntries.push_back(int(job.types.size()));
        job.types.push_back(type);
        regularFiles += type == DT_REG;
    }
    job.count = int(job.types.size());
    job.errors.assign(job.types.size(), 0);
    job.links.resize(job.linkEntries.size());
    job.done = std::make_unique<std::atomic<bool>[]>(job.types.size());
}

void CopyEngine::walkDirectory(std::unique_ptr<DirectoryJob> job, int sourceFd, int destinationFd, int previousFd, int keptFd)
{
    job->hasStatus = ::fstat(sourceFd, &job->status) == 0;
    if (jobs.size() < size_t(keptDirectories())) {
        job->source = duplicate(sourceFd);
        job->destination = duplicate(destinationFd);
        job->previousBeside = duplicate(previousFd);
        job->keptVersionDir = duplicate(keptFd);
        job->keptOpen = true;
    }

    listSorted(*job, sourceFd);
    if (previous.where == PreviousVersion::InDestination && destinationFd >= 0 && job->listError == 0)
        removeStrays(*job, destinationFd);

    DirectoryJob *queued = job.get();
    queue(std::move(job));
    for (int entry = 0; entry < queued->entryCount(); ++entry) {
        if (queued->type(entry) != DT_DIR)
            continue;
        const QByteArray subdirectory = queued->name(entry);
        const UniqueFd sourceSub = openSubdirectory(sourceFd, subdirectory.constData());
        const int sourceError = sourceSub.error();
        struct stat subStatus;
        const bool subStatusKnown = sourceSub.isValid() && ::fstat(sourceSub.get(), &subStatus) == 0;
        // An unreadable directory still gets its (empty) copy; one that is
        // gone or has become something else gets none.
        UniqueFd destinationSub;
        int createError = 0;
        if (!isGone(sourceError)) {
            // An update keeps a directory readable to whom both versions let
            // read it, while it fills.
            const bool update = previous.where == PreviousVersion::InDestination && subStatusKnown;
            destinationSub = makeSubdirectory(destinationFd, subdirectory.constData(), update ? subStatus.st_mode : 0);
            createError = destinationSub.error();
        } else if (previous.where == PreviousVersion::InDestination && destinationFd >= 0) {
            removeStray(*queued, destinationFd, subdirectory);
        }
        // The destination itself, mounted inside the source: copying it
        // into itself would never end.
        const bool isDestination = subStatusKnown && subStatus.st_dev == destinationStatus.st_dev && subStatus.st_ino == destinationStatus.st_ino;
        queued->children.push_back(int(jobs.size()));
        auto child = std::make_unique<DirectoryJob>();
        child->parent = queued;
        child->ownName = subdirectory;
        child->createError = createError;
        if (sourceSub.isValid() && !isDestination) {
            const UniqueFd previousSub = previousFd < 0 ? UniqueFd() : openSubdirectory(previousFd, subdirectory.constData());
            const UniqueFd keptSub = keptFd < 0 ? UniqueFd() : openSubdirectory(keptFd, subdirectory.constData());
            walkDirectory(std::move(child), sourceSub.get(), destinationSub.get(), previousSub.get(), keptSub.get());
        } else {
            // Gone or unreadable, or the destination: an empty job that says
            // why. Its copy still gets its mode and times, which need no
            // reading.
            child->listError = sourceError;
            child->isDestination = isDestination;
            child->hasStatus = destinationSub.isValid() && !isDestination
                               && ::fstatat(sourceFd, subdirectory.constData(), &child->status, AT_SYMLINK_NOFOLLOW) == 0
                               && S_ISDIR(child->status.st_mode);
            queue(std::move(child));
        }
    }
}

void CopyEngine::removeStrays(const DirectoryJob &job, int destinationFd)
{
    // What the package holds here, by exact name.
    QHash<QByteArray, unsigned char> packaged;
    packaged.reserve(job.entryCount());
    for (int entry = 0; entry < job.entryCount(); ++entry)
        packaged.insert(job.name(entry), job.type(entry));
    QList<DirectoryEntry> existing;
    if (!listDirectory(destinationFd, existing).ok())
        return; // what cannot be listed cannot be sorted out: files replace what they can
    for (const DirectoryEntry &entry : existing) {
        const unsigned char type = packaged.value(entry.name, DT_UNKNOWN);
        bool keep = false;
        if (type == DT_DIR) {
            // Used only if it is the user's own (see makeSubdirectory), and
            // mount points are left alone by the removal anyway.
            struct stat status;
            keep = ::fstatat(destinationFd, entry.name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0
                   && S_ISDIR(status.st_mode) && status.st_uid == effectiveUser();
        } else if (type == DT_REG || type == DT_LNK) {
            keep = entryType(destinationFd, entry) != DT_DIR; // renamed over, once the new one is complete
        }
        if (!keep)
            removeStray(job, destinationFd, entry.name);
    }
}

void CopyEngine::removeStray(const DirectoryJob &job, int destinationFd, const QByteArray &name)
{
    const QByteArray relative = job.relativePath();
    for (RemoveFailure &failure : removeEntry(destinationFd, name)) {
        if (!relative.isEmpty())
            failure.path.prepend(relative + '/');
        strays.append(failure);
    }
}

void CopyEngine::queue(std::unique_ptr<DirectoryJob> job)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const bool large = job->count >= wakeBatch;
        jobs.push_back(std::move(job));
        const int claimable = idleWorkers > 0 ? claimableJobs() : 0;
        wake = claimable >= wakeBatch || (large && claimable > 0);
    }
    if (wake)
        workAvailable.notify_one();
}

bool CopyEngine::claim(int index)
{
    DirectoryJob &wanted = *jobs[size_t(index)];
    if (wanted.claimed)
        return false;
    wanted.claimed = true;
    return true;
}

void CopyEngine::work()
{
    for (;;) {
        DirectoryJob *job = nullptr;
        DirectoryJob *helped = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex);
            ++idleWorkers;
            workAvailable.wait(lock, [&] {
                if (stopping || claimableJobs() > 0)
                    return true;
                helped = helpWanted();
                return helped != nullptr;
            });
            --idleWorkers;
            if (stopping)
                return;
            if (!helped) {
                job = jobs[size_t(nextUnclaimed)].get();
                claim(nextUnclaimed);
            }
        }
        if (job)
            copyJob(*job);
        else
            copyEntries(*helped);
    }
}

int CopyEngine::claimableJobs()
{
    while (nextUnclaimed < int(jobs.size()) && jobs[size_t(nextUnclaimed)]->claimed)
        ++nextUnclaimed;
    return std::max(0, std::min(int(jobs.size()), reporterAt + aheadLimit) - nextUnclaimed);
}

DirectoryJob *CopyEngine::helpWanted()
{
    while (!helpable.empty()) {
        DirectoryJob *job = helpable.front();
        if (job->nextEntry.load() < job->count - 1)
            return job;
        helpable.erase(helpable.begin()); // its last entries are taken
    }
    return nullptr;
}

void CopyEngine::copyJob(DirectoryJob &job)
{
    try {
        // A directory the walk could not keep open is opened again by its
        // path, made once.
        const bool walked = job.source.isValid() && job.destination.isValid();
        const QByteArray relative = walked ? QByteArray() : job.relativePath();
        if (job.listError)
            job.sourceError = job.listError;
        else if (!job.source.isValid())
            job.source = openDirectoryBelow(sourceRoot, relative);
        if (!job.listError)
            job.sourceError = job.source.error();
        if (!job.createError && !job.destination.isValid())
            job.destination = openDirectoryBelow(destinationRoot, relative);
        if (previous.where == PreviousVersion::Beside && !job.keptOpen)
            job.previousBeside = openDirectoryBelow(previous.root, relative);
        if (previous.keptVersion >= 0 && !job.keptOpen)
            job.keptVersionDir = openDirectoryBelow(previous.keptVersion, relative);
    } catch (const std::bad_alloc &) {
        // Out of memory: the directory fails, and is reported as failed
        // like any other file that could not be copied.
        job.sourceError = ENOMEM;
        job.outOfMemory = true;
    }
    job.opened.store(true);
    if (reporterWaiting.load()) {
        std::lock_guard<std::mutex> lock(mutex);
        progressMade.notify_all();
    }
    // Enough left for another thread to take a share: an idle worker may.
    if (job.count >= minimumShared && !workers.empty()) {
        bool wake = false;
        try {
            std::lock_guard<std::mutex> lock(mutex);
            helpable.push_back(&job);
            wake = idleWorkers > 0;
        } catch (const std::bad_alloc &) { // not shared, then
        }
        if (wake)
            workAvailable.notify_one();
    }
    copyEntries(job);
}

void CopyEngine::copyEntries(DirectoryJob &job)
{
    for (int entry = job.nextEntry.fetch_add(1); entry < job.count; entry = job.nextEntry.fetch_add(1)) {
        if (!job.outOfMemory.load()) {
            try {
                copyEntry(job, entry);
            } catch (const std::bad_alloc &) {
                job.outOfMemory = true;
            }
        }
        // Out of memory: what is left of the directory fails, and is
        // reported as failed like any other file that could not be copied.
        if (job.outOfMemory.load() && job.type(entry) == DT_REG && job.errors[size_t(entry)] == 0)
            job.errors[size_t(entry)] = ENOMEM;
        entryDone(job, entry);
    }
}

void CopyEngine::copyEntry(DirectoryJob &job, int entry)
{
    const QByteArray name = job.name(entry);
    const int sourceFd = job.source.get();
    if (job.type(entry) == DT_REG) {
        const int destinationFd = job.destination.get();
        const int previousFd = previous.where == PreviousVersion::InDestination ? destinationFd : job.previousBeside.get();
        job.errors[size_t(entry)] = copyFile(job, sourceFd, destinationFd, previousFd, name).error();
    } else if (job.type(entry) == DT_LNK) {
        const auto ordinal = std::lower_bound(job.linkEntries.cbegin(), job.linkEntries.cend(), entry) - job.linkEntries.cbegin();
        DirectoryJob::Link &link = job.links[size_t(ordinal)];
        struct stat status;
        if (sourceFd >= 0 && ::fstatat(sourceFd, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
            link.text = readLinkAt(sourceFd, name.constData());
            link.times[0] = status.st_atim;
            link.times[1] = status.st_mtim;
        }
    }
}

void CopyEngine::entryDone(DirectoryJob &job, int entry)
{
    // The reporter, when it waits, is woken for every 32 entries and once
    // the job is done, not for each one. Once the last is done, the entries
    // are the reporter's to free: nothing here reads them again.
    const int count = job.count;
    job.done[size_t(entry)].store(true);
    const int doneNow = job.entriesDone.fetch_add(1) + 1;
    if (((entry + 1) % 32 == 0 || entry == count - 1 || doneNow == count) && reporterWaiting.load()) {
        std::lock_guard<std::mutex> lock(mutex);
        progressMade.notify_all();
    }
}

Result CopyEngine::copyFile(const DirectoryJob &job, int sourceFd, int destinationFd, int previousFd, const QByteArray &name)
{
    if (sourceFd < 0)
        return Result::failure(job.sourceError);
    const bool mayKeep = previousFd >= 0 && destinationFd >= 0;
    struct stat status;
    // A file kept is not opened when its status shows it could be: one that
    // cannot be read fails as it would in a full install.
    bool triedKeeping = false;
    if (mayKeep && ::fstatat(sourceFd, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode)
        && status.st_nlink == 1 && isReadableWithoutOpening(status)) {
        triedKeeping = true;
        if (keptUnchanged(job, status, destinationFd, previousFd, name)) {
            ++unchanged;
            return Result::success();
        }
    }
    const UniqueFd in = openRegularFile(sourceFd, name.constData(), status);
    if (!in.isValid())
        return Result::failure(in.error());
    if (status.st_nlink == 1) {
        if (mayKeep && !triedKeeping && keptUnchanged(job, status, destinationFd, previousFd, name)) {
            ++unchanged;
            return Result::success();
        }
        return copyRegularFile(in.get(), status, destinationFd, name.constData(), placement);
    }
    HardLinks::Claim claim = hardLinks.claim({status.st_dev, status.st_ino});
    if (const HardLinks::Copy &first = claim.copy(); first.directory) {
        const UniqueFd firstDirectory = openDirectoryBelow(destinationRoot, first.directory->relativePath());
        if (firstDirectory.isValid()
            && linkFile(firstDirectory.get(), first.name.constData(), destinationFd, name.constData(), placement).ok())
            return Result::success();
        // The first copy is gone or cannot take another name: copy again.
    }
    const Result copied = copyRegularFile(in.get(), status, destinationFd, name.constData(), placement);
    if (copied.ok())
        claim.finished({&job, name});
    return copied;
}

bool CopyEngine::keptUnchanged(const DirectoryJob &job, const struct stat &source, int destinationFd, int previousFd,
                               const QByteArray &name)
{
    struct stat existing;
    if (previous.where == PreviousVersion::InDestination)
        return ::fstatat(previousFd, name.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0
               && isUnchangedCopy(existing, source, allowedLinks(job, existing, name));
    // The file checked is the file linked, whatever is renamed meanwhile.
    const UniqueFd old(::openat(previousFd, name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    return old.isValid() && ::fstat(old.get(), &existing) == 0
           && isUnchangedCopy(existing, source, allowedLinks(job, existing, name))
           && linkOpenFile(old.get(), destinationFd, name.constData()).ok();
}

nlink_t CopyEngine::allowedLinks(const DirectoryJob &job, const struct stat &existing, const QByteArray &name)
{
    struct stat kept;
    const bool sharedWithKept = existing.st_nlink == 2 && job.keptVersionDir.isValid()
                                && ::fstatat(job.keptVersionDir.get(), name.constData(), &kept, AT_SYMLINK_NOFOLLOW) == 0
                                && kept.st_dev == existing.st_dev && kept.st_ino == existing.st_ino;
    return sharedWithKept ? 2 : 1;
}

void CopyEngine::wait(const std::function<bool()> &ready)
{
    if (ready())
        return;
    std::unique_lock<std::mutex> lock(mutex);
    reporterWaiting = true;
    progressMade.wait(lock, ready);
    reporterWaiting = false;
}

void CopyEngine::enter(int index)
{
    cursor.push_back(index);
    DirectoryJob &wanted = job(index);
    bool mine = false;
    int claimable = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        reporterAt = std::max(reporterAt, index);
        mine = claim(index);
        if (idleWorkers > 0)
            claimable = claimableJobs();
    }
    // See wakeBatch; what no worker takes, the reporter copies on entering it.
    if (claimable >= wakeBatch)
        workAvailable.notify_all();
    if (mine)
        copyJob(wanted);
    wait([&wanted] { return wanted.opened.load(); });
}

void CopyEngine::waitEntry(int index, int entry)
{
    DirectoryJob &wanted = job(index);
    wait([&wanted, entry] { return wanted.done[size_t(entry)].load(); });
}

Result CopyEngine::fileCopied(int entry)
{
    waitEntry(current(), entry);
    return job(current()).result(entry);
}

const DirectoryJob::Link &CopyEngine::link(int entry, int ordinal)
{
    waitEntry(current(), entry);
    return job(current()).link(ordinal);
}

void CopyEngine::leave()
{
    DirectoryJob &done = job(current());
    cursor.pop_back();
    // The reporter may be done before the copying threads are (a directory
    // whose last entries are no files): the entries are theirs until then.
    wait([&done] { return done.opened.load() && done.entriesDone.load() == done.count; });
    done.names = QByteArray();
    done.nameOffsets = {};
    done.types = {};
    done.linkEntries = {};
    done.errors = {};
    done.links = {};
    done.done.reset();
    done.source.reset();
    done.destination.reset();
    done.previousBeside.reset();
    done.keptVersionDir.reset();
}
