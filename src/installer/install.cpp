#include "install.h"

#include "filecopy.h"
#include "nativename.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace {

Install *activeInstall = nullptr;

} // namespace

Install::Install(const NativePath &source, const NativePath &destination, bool atomic, OutputFlusher &output)
    : source(source)
    , destination(destination)
    , atomic(atomic)
    , output(output)
    , staging(destination.native())
{
    activeInstall = this;
}

Install::~Install()
{
    activeInstall = nullptr;
}

Install &Install::active()
{
    return *activeInstall;
}

Result Install::openSource()
{
    sourceRoot = openDirectory(source.native());
    if (!sourceRoot.isValid())
        return Result::failure(sourceRoot.error());
    if (char *real = ::realpath(source.native().constData(), nullptr)) {
        realSource = real;
        std::free(real);
    }
    return Result::success();
}

bool Install::overlapsSource(int directory) const
{
    return isSameOrBelow(directory, sourceRoot.get()) || isSameOrBelow(sourceRoot.get(), directory);
}

bool Install::overlapsSource() const
{
    const UniqueFd existing = openDirectory(destination.native());
    if (existing.isValid())
        return overlapsSource(existing.get());
    // To be created: below its nearest existing ancestor, which must not be
    // in the source.
    const UniqueFd nearest = openNearestDirectory(destination.native());
    return nearest.isValid() && isSameOrBelow(nearest.get(), sourceRoot.get());
}

Install::Prepared Install::prepareDestination(Preparation &found)
{
    // DESTINATION as it is now, a link at its own path followed as for any
    // program (an atomic install has refused a link already).
    UniqueFd existing = openDirectory(destination.native());
    struct stat status;
    destinationExisted = existing.isValid() && ::fstat(existing.get(), &status) == 0;
    destinationMode = destinationExisted ? status.st_mode : 0;
    const bool parentOpen = staging.openParent();
    // Two locks: the name in its parent, which an atomic install's swap
    // and a destination still to be made are about, and the directory
    // itself, however it was named.
    const auto take = [&found](DestinationLock &lock, const struct stat &identity, const QByteArray &name) {
        switch (lock.acquire(identity, name)) {
        case DestinationLock::Held:
            return true;
        case DestinationLock::Busy:
            found.lockHolder = lock.holder();
            return false;
        case DestinationLock::Unavailable:
            found.lockError = lock.error();
            return true;
        }
        return true;
    };
    if (parentOpen && !take(nameLock, staging.parentStatus(), staging.destinationName()))
        return Busy;
    if (!atomic && !existing.isValid()) {
        // Private until the copy gives it its mode, like every directory it makes.
        if (parentOpen)
            existing = makeSubdirectory(staging.parentFd(), staging.destinationName().constData());
        if (!existing.isValid())
            return Unavailable;
    }
    // Checked again on what the install uses: the destination may have
    // been swapped while we waited for the updater.
    if (existing.isValid() && overlapsSource(existing.get()))
        return Overlap;
    struct stat identity;
    if (existing.isValid() && ::fstat(existing.get(), &identity) == 0 && !take(directoryLock, identity, QByteArray()))
        return Busy;
    if (found.lockError != 0) {
        // Better an install that anyone who can read DESTINATION could hold
        // up than none at all.
        const int fd = existing.isValid() ? existing.get() : staging.parentFd();
        lockedInPlace.reset(fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!lockedInPlace.isValid())
            return Unavailable;
        if (!tryLock(lockedInPlace.get()).ok())
            return Busy;
    }
    if (parentOpen)
        found.leftovers = staging.removeLeftovers(found.foreign);
    if (!atomic) {
        destinationRoot = std::move(existing);
        return Ready;
    }
    switch (staging.prepare()) {
    case Staging::Ready:
        break;
    case Staging::CannotExchange:
        staging.remove();
        return CannotExchange;
    case Staging::Failed:
        staging.remove();
        return Unavailable;
    }
    destinationRoot.reset(::fcntl(staging.fd(), F_DUPFD_CLOEXEC, 0));
    return Ready;
}

QList<RemoveFailure> Install::clearDestination() const
{
    if (atomic || !destinationRoot.isValid())
        return {};
    return removeDirectoryContents(destinationRoot.get());
}

NativePath Install::besideDestination(const QByteArray &path) const
{
    const QByteArray &native = destination.native();
    const qsizetype slash = native.lastIndexOf('/');
    return NativePath::fromNative(slash <= 0 ? QByteArray("/") : native.left(slash)).child(path);
}

bool Install::syncDestination() const
{
    return destinationRoot.isValid() && syncFileSystem(destinationRoot.get()).ok();
}

uint Install::startCopy()
{
    copy = std::make_unique<CopyEngine>(sourceRoot.get(), destinationRoot.get(), CopyEngine::defaultJobs(), placement());
    return copy->walk();
}

void Install::enterJob(int index)
{
    jobStack.push_back(index);
    copy->waitOpened(index);
}

void Install::leaveJob()
{
    copy->reported(jobStack.back());
    jobStack.pop_back();
}

bool Install::fileInstalled(int entry)
{
    copy->waitEntry(currentJob(), entry);
    const DirectoryJob &here = job(currentJob());
    switch (here.result(entry)) {
    case DirectoryJob::Done:
        return true;
    case DirectoryJob::Deferred:
        return installHardLinked(currentJob(), here.name(entry));
    default:
        return false;
    }
}

bool Install::installHardLinked(int index, const QByteArray &name)
{
    const UniqueFd sourceDirectory = openDirectoryBelow(sourceRoot.get(), job(index).relativePath());
    const int destinationDirectory = directoryBelowDestination(index);
    struct stat status;
    const UniqueFd in = sourceDirectory.isValid() ? openRegularFile(sourceDirectory.get(), name.constData(), status) : UniqueFd();
    if (!in.isValid() || destinationDirectory < 0)
        return false;
    const QPair<quint64, quint64> inode(status.st_dev, status.st_ino);
    const auto first = firstCopies.constFind(inode);
    if (first != firstCopies.cend()) {
        const UniqueFd originalDirectory = openDirectoryBelow(destinationRoot.get(), job(first->job).relativePath());
        if (originalDirectory.isValid() && linkFile(originalDirectory.get(), first->name.constData(), destinationDirectory, name.constData()).ok())
            return true;
        // The first copy is gone or cannot take another name: copy again.
    }
    if (!copyRegularFile(in.get(), status, destinationDirectory, name.constData(), placement()).ok())
        return false;
    if (!firstCopies.contains(inode))
        firstCopies.insert(inode, {index, name});
    return true;
}

namespace {

// `path` below `root` as components (".", "" left out); nothing when it is
// not below it, or climbs with "..", which only the kernel can resolve.
std::optional<QList<QByteArray>> componentsBelow(const QByteArray &path, const QByteArray &root)
{
    if (root.isEmpty() || (path != root && !path.startsWith(root.endsWith('/') ? root : root + '/')))
        return std::nullopt;
    QList<QByteArray> components;
    for (const QByteArray &component : path.mid(root.size()).split('/')) {
        if (component == "..")
            return std::nullopt;
        if (!component.isEmpty() && component != ".")
            components.append(component);
    }
    return components;
}

} // namespace

QString Install::recordLink(int entry, int ordinal, const QString &installedAt)
{
    copy->waitEntry(currentJob(), entry);
    const DirectoryJob &here = job(currentJob());
    const DirectoryJob::Link &link = here.link(ordinal);
    QByteArray text = link.text;
    if (text.isEmpty())
        return QString();
    if (text.startsWith('/')) {
        auto target = componentsBelow(text, source.native());
        if (!target)
            target = componentsBelow(text, realSource);
        if (target) {
            const QByteArray relative = here.relativePath();
            const QList<QByteArray> from = relative.isEmpty() ? QList<QByteArray>() : relative.split('/');
            qsizetype common = 0;
            while (common < from.size() && common < target->size() && from[common] == target->at(common))
                ++common;
            QList<QByteArray> steps(from.size() - common, QByteArray(".."));
            steps += target->mid(common);
            text = steps.isEmpty() ? QByteArray(".") : steps.join('/');
        }
    }
    pendingLinks.insert(installedAt, {{currentJob(), here.name(entry)}, text, {link.times[0], link.times[1]}});
    return decodeFileName(text);
}

bool Install::createLink(const QString &path)
{
    const PendingLink link = pendingLinks.value(path);
    // An empty target can never be a link.
    if (link.text.isEmpty())
        return false;
    const int directory = directoryBelowDestination(link.place.job);
    const char *name = link.place.name.constData();
    if (directory < 0 || !createSymlinkAt(directory, name, link.text).ok())
        return false;
    // The link is in place; should its times not take, that is no reason
    // to call it missing.
    static_cast<void>(setLinkTimes(directory, name, link.times));
    return true;
}

QList<NativePath> Install::finishDirectories()
{
    QList<NativePath> failed;
    finishDirectory(0, destinationRoot.get(), failed);
    return failed;
}

void Install::finishDirectory(int index, int fd, QList<NativePath> &failed)
{
    // Depth first, each directory opened from its parent, so that every
    // directory is finished after all it holds.
    const DirectoryJob &directory = job(index);
    for (const int child : directory.children) {
        const UniqueFd childFd = fd < 0 ? UniqueFd() : openSubdirectory(fd, job(child).ownName.constData());
        finishDirectory(child, childFd.get(), failed);
    }
    if (!directory.hasStatus || directory.createError != 0)
        return;
    const timespec times[2] = {directory.status.st_atim, directory.status.st_mtim};
    // DESTINATION keeps its own mode if it was there before; an atomic
    // install gives it back to the new version.
    const bool keepsMode = index == 0 && destinationExisted;
    const bool setMode = !keepsMode || atomic;
    const mode_t mode = keepsMode ? destinationMode : directory.status.st_mode;
    if (fd < 0 || !setModeAndTimes(fd, setMode, mode, times).ok())
        failed.append(destinationOf(directory));
}

NativePath Install::destinationOf(const DirectoryJob &directory) const
{
    // Decoding all of it at once gives the text of decoding each name.
    const QByteArray relative = directory.relativePath();
    return relative.isEmpty() ? destination : destination.child(relative);
}

int Install::directoryBelowDestination(int index)
{
    if (index == 0)
        return destinationRoot.get();
    if (openBelowDestinationJob != index) {
        openBelowDestination = openDirectoryBelow(destinationRoot.get(), job(index).relativePath());
        openBelowDestinationJob = index;
    }
    return openBelowDestination.get();
}
