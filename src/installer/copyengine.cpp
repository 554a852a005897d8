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
// How many directories keep the descriptors the walk opened them with, so
// that a worker need not open them again component by component: up to a
// thousand, three descriptors at most each, within a quarter of what the
// process may open.
int keptDirectories()
{
    static const int kept = [] {
        rlimit limit;
        const rlim_t open = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
        return int(std::min<rlim_t>(1000, open / 12));
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
                  previous.where == PreviousVersion::Beside ? previous.root : -1);
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
    int linkCount = 0;
    for (const Sorted &entry : sorted) {
        const DirectoryEntry &listed = entries[entry.index];
        const unsigned char type = entryType(sourceFd, listed);
        job.nameOffsets.push_back(quint32(job.names.size()));
        job.names += listed.name;
        job.names += '\0';
        job.types.push_back(type);
        regularFiles += type == DT_REG;
        linkCount += type == DT_LNK;
    }
    job.errors.assign(job.types.size(), 0);
    job.links.resize(size_t(linkCount));
}

void CopyEngine::walkDirectory(std::unique_ptr<DirectoryJob> job, int sourceFd, int destinationFd, int previousFd)
{
    job->hasStatus = ::fstat(sourceFd, &job->status) == 0;
    if (jobs.size() < size_t(keptDirectories())) {
        job->walkedSource = duplicate(sourceFd);
        job->walkedDestination = duplicate(destinationFd);
        job->walkedPrevious = duplicate(previousFd);
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
            walkDirectory(std::move(child), sourceSub.get(), destinationSub.get(), previousSub.get());
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
    {
        std::lock_guard<std::mutex> lock(mutex);
        jobs.push_back(std::move(job));
    }
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
        {
            std::unique_lock<std::mutex> lock(mutex);
            workAvailable.wait(lock, [this] {
                while (nextUnclaimed < int(jobs.size()) && jobs[size_t(nextUnclaimed)]->claimed)
                    ++nextUnclaimed;
                return stopping || (nextUnclaimed < int(jobs.size()) && nextUnclaimed < reporterAt + aheadLimit);
            });
            if (stopping)
                return;
            job = jobs[size_t(nextUnclaimed)].get();
            claim(nextUnclaimed);
        }
        copyJob(*job);
    }
}

void CopyEngine::copyJob(DirectoryJob &job)
{
    // The reporter, when it waits, is woken for every 32 entries and at
    // the end, not for each one. Once the last is published, the entries
    // are the reporter's to free: nothing here reads them again.
    const int count = job.entryCount();
    auto publish = [&](int finished) {
        job.finished.store(finished);
        if ((finished % 32 == 0 || finished == count) && reporterWaiting.load()) {
            std::lock_guard<std::mutex> lock(mutex);
            progressMade.notify_all();
        }
    };
    int entry = 0;
    try {
        // A directory the walk could not keep open is opened again by its
        // path, made once.
        const bool walked = job.walkedSource.isValid() && job.walkedDestination.isValid();
        const QByteArray relative = walked ? QByteArray() : job.relativePath();
        UniqueFd sourceFd;
        if (job.listError) {
            job.sourceError = job.listError;
        } else {
            sourceFd = job.walkedSource.isValid() ? std::move(job.walkedSource) : openDirectoryBelow(sourceRoot, relative);
            job.sourceError = sourceFd.error();
        }
        const UniqueFd destinationFd = job.createError                   ? UniqueFd()
                                       : job.walkedDestination.isValid() ? std::move(job.walkedDestination)
                                                                         : openDirectoryBelow(destinationRoot, relative);
        const UniqueFd previousBeside = previous.where != PreviousVersion::Beside ? UniqueFd()
                                        : job.keptOpen                     ? std::move(job.walkedPrevious)
                                                                           : openDirectoryBelow(previous.root, relative);
        const int previousFd = previous.where == PreviousVersion::InDestination ? destinationFd.get() : previousBeside.get();
        publish(0);
        int linkOrdinal = 0;
        for (; entry < count; ++entry) {
            const QByteArray name = job.name(entry);
            if (job.type(entry) == DT_REG) {
                job.errors[size_t(entry)] = copyFile(job, sourceFd.get(), destinationFd.get(), previousFd, name).error();
            } else if (job.type(entry) == DT_LNK) {
                DirectoryJob::Link &link = job.links[size_t(linkOrdinal++)];
                struct stat status;
                if (sourceFd.isValid() && ::fstatat(sourceFd.get(), name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
                    link.text = readLinkAt(sourceFd.get(), name.constData());
                    link.times[0] = status.st_atim;
                    link.times[1] = status.st_mtim;
                }
            }
            publish(entry + 1);
        }
    } catch (const std::bad_alloc &) {
        // Out of memory: what is left of the directory fails, and is
        // reported as failed like any other file that could not be copied.
        if (job.finished.load() < 0)
            job.sourceError = ENOMEM;
        for (; entry < count; ++entry)
            job.errors[size_t(entry)] = ENOMEM;
        publish(count);
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
        if (keptUnchanged(status, destinationFd, previousFd, name)) {
            ++unchanged;
            return Result::success();
        }
    }
    const UniqueFd in = openRegularFile(sourceFd, name.constData(), status);
    if (!in.isValid())
        return Result::failure(in.error());
    if (status.st_nlink == 1) {
        if (mayKeep && !triedKeeping && keptUnchanged(status, destinationFd, previousFd, name)) {
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

bool CopyEngine::keptUnchanged(const struct stat &source, int destinationFd, int previousFd, const QByteArray &name)
{
    struct stat existing;
    if (previous.where == PreviousVersion::InDestination)
        return ::fstatat(previousFd, name.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && isUnchangedCopy(existing, source);
    // The file checked is the file linked, whatever is renamed meanwhile.
    const UniqueFd old(::openat(previousFd, name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    return old.isValid() && ::fstat(old.get(), &existing) == 0 && isUnchangedCopy(existing, source)
           && linkOpenFile(old.get(), destinationFd, name.constData()).ok();
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
    {
        std::lock_guard<std::mutex> lock(mutex);
        reporterAt = std::max(reporterAt, index);
        mine = claim(index);
    }
    workAvailable.notify_all();
    if (mine)
        copyJob(wanted);
    wait([&wanted] { return wanted.finished.load() >= 0; });
}

void CopyEngine::waitEntry(int index, int entry)
{
    DirectoryJob &wanted = job(index);
    wait([&wanted, entry] { return wanted.finished.load() > entry; });
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
    // The reporter may be done before the worker is (a directory whose last
    // entries are no files): the entries are the worker's until then.
    wait([&done] { return done.finished.load() >= done.entryCount(); });
    done.names = QByteArray();
    done.nameOffsets = {};
    done.types = {};
    done.errors = {};
    done.links = {};
}
