#include "destination.h"

#include "copyengine.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace {

bool overlap(int directory, int sourceRoot)
{
    return isSameOrBelow(directory, sourceRoot) || isSameOrBelow(sourceRoot, directory);
}

} // namespace

Destination::Destination(const NativePath &path, bool atomic, bool changedOnly)
    : destination(path)
    , atomic(atomic)
    , changedOnly(changedOnly)
    , staging(path.native())
{
}

bool Destination::overlaps(int sourceRoot) const
{
    const UniqueFd existing = openDirectory(destination.native());
    if (existing.isValid())
        return overlap(existing.get(), sourceRoot);
    // To be created: below its nearest existing ancestor, which must not be
    // in the source.
    const UniqueFd nearest = openNearestDirectory(destination.native());
    return nearest.isValid() && isSameOrBelow(nearest.get(), sourceRoot);
}

Destination::Prepared Destination::prepare(int sourceRoot, Preparation &found)
{
    // DESTINATION as it is now, a link at its own path followed as for any
    // program (an atomic install has refused a link already).
    UniqueFd existing = openDirectory(destination.native());
    struct stat status;
    existed = existing.isValid() && ::fstat(existing.get(), &status) == 0;
    existingMode = existed ? status.st_mode : 0;
    const bool parentOpen = staging.openParent();
    // Two locks: the name in its parent, which an atomic install's swap,
    // a rollback and a destination still to be made are about, and the
    // directory itself, however it was named.
    if (parentOpen && !takeNameLock(found))
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
    if (existing.isValid() && overlap(existing.get(), sourceRoot))
        return Overlap;
    if (const Prepared locked = lockDirectory(existing, found); locked != Ready)
        return locked;
    if (parentOpen) {
        found.leftovers = staging.removeLeftovers(found.foreign);
        // Files it shares with the current version are not the others'.
        if (changedOnly && staging.findKept() == Staging::Kept)
            keptRoot = staging.keptVersionFd();
    }
    if (!atomic) {
        copyRoot = std::move(existing);
        return Ready;
    }
    if (changedOnly)
        current = std::move(existing);
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
    copyRoot.reset(::fcntl(staging.fd(), F_DUPFD_CLOEXEC, 0));
    return Ready;
}

Destination::Prepared Destination::prepareRollback(Preparation &found)
{
    Q_ASSERT(staging.parentFd() >= 0);
    if (!takeNameLock(found))
        return Busy;
    const UniqueFd existing = openSubdirectory(staging.parentFd(), staging.destinationName().constData());
    return lockDirectory(existing, found);
}

bool Destination::takeNameLock(Preparation &found)
{
    return take(nameLock, staging.parentStatus(), staging.destinationName(), found);
}

bool Destination::take(DestinationLock &lock, const struct stat &identity, const QByteArray &name, Preparation &found)
{
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
}

Destination::Prepared Destination::lockDirectory(const UniqueFd &existing, Preparation &found)
{
    struct stat identity;
    if (existing.isValid() && ::fstat(existing.get(), &identity) == 0 && !take(directoryLock, identity, QByteArray(), found))
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
    return Ready;
}

Placement Destination::placement() const
{
    return atomic ? Placement::InPlace : changedOnly ? Placement::Replacing : Placement::Unnamed;
}

PreviousVersion Destination::previousVersion() const
{
    if (!changedOnly)
        return {};
    if (atomic)
        return current.isValid() ? PreviousVersion{PreviousVersion::Beside, current.get(), keptRoot} : PreviousVersion{};
    return {PreviousVersion::InDestination, copyRoot.get(), keptRoot};
}

QList<RemoveFailure> Destination::clear() const
{
    if (atomic || changedOnly || !copyRoot.isValid())
        return {};
    return removeDirectoryContents(copyRoot.get());
}

QList<NativePath> Destination::finishDirectories(CopyEngine &copy) const
{
    QList<NativePath> failed;
    finishDirectory(copy, 0, copyRoot.get(), failed);
    return failed;
}

void Destination::finishDirectory(CopyEngine &copy, int index, int fd, QList<NativePath> &failed) const
{
    // Depth first, each directory opened from its parent, so that every
    // directory is finished after all it holds.
    const DirectoryJob &directory = copy.job(index);
    for (const int child : directory.children) {
        const UniqueFd childFd = fd < 0 ? UniqueFd() : openSubdirectory(fd, copy.job(child).ownName.constData());
        finishDirectory(copy, child, childFd.get(), failed);
    }
    if (!directory.hasStatus || directory.createError != 0)
        return;
    const timespec times[2] = {directory.status.st_atim, directory.status.st_mtim};
    // DESTINATION keeps its own mode if it was there before; an atomic
    // install gives it back to the new version.
    const bool keepsMode = index == 0 && existed;
    const bool setMode = !keepsMode || atomic;
    const mode_t mode = keepsMode ? existingMode : directory.status.st_mode;
    if (fd < 0 || !setModeAndTimes(fd, setMode, mode, times).ok())
        failed.append(copyOf(directory));
}

bool Destination::sync() const
{
    return copyRoot.isValid() && syncFileSystem(copyRoot.get()).ok();
}

NativePath Destination::beside(const QByteArray &path) const
{
    const QByteArray &native = destination.native();
    const qsizetype slash = native.lastIndexOf('/');
    return NativePath::fromNative(slash <= 0 ? QByteArray("/") : native.left(slash)).child(path);
}

NativePath Destination::copyOf(const DirectoryJob &directory) const
{
    // Decoding all of it at once gives the text of decoding each name.
    const QByteArray relative = directory.relativePath();
    return relative.isEmpty() ? destination : destination.child(relative);
}
