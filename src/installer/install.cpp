#include "install.h"

#include "filecopy.h"
#include "nativename.h"

#include <QProcess>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <fcntl.h>
#include <unistd.h>

namespace {

Install *activeInstall = nullptr;

const int childTimeoutMs = 30000;

UniqueFd duplicate(const UniqueFd &fd)
{
    return UniqueFd(fd.isValid() ? ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0) : -1);
}

} // namespace

Install::Install(const NativePath &source, const NativePath &destination)
    : source(source)
    , destination(destination)
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

bool Install::openSource()
{
    sourceRoot = openDirectory(source.native());
    if (!sourceRoot.isValid())
        return false;
    if (char *real = ::realpath(source.native().constData(), nullptr)) {
        realSource = real;
        std::free(real);
    }
    return true;
}

bool Install::overlapsSource() const
{
    const UniqueFd existing = openDirectory(destination.native());
    if (existing.isValid())
        return isSameOrBelow(existing.get(), sourceRoot.get()) || isSameOrBelow(sourceRoot.get(), existing.get());
    // To be created: below its nearest existing ancestor, which must not be
    // in the source.
    const UniqueFd nearest = openNearestDirectory(destination.native());
    return nearest.isValid() && isSameOrBelow(nearest.get(), sourceRoot.get());
}

bool Install::openDestination()
{
    destinationExisted = openDirectory(destination.native()).isValid();
    if (!makePath(destination.native()))
        return false;
    destinationRoot = openDirectory(destination.native());
    return destinationRoot.isValid();
}

bool Install::lockDestination() const
{
    return tryLock(destinationRoot.get());
}

QList<RemoveFailure> Install::clearDestination() const
{
    return removeDirectoryContents(destinationRoot.get());
}

uint Install::countSourceFiles() const
{
    // find(1) counts, started inside SOURCE through its descriptor: the path
    // never becomes shell text and is never looked up again. It prints one
    // line per file rather than its name, so a name holding a newline counts
    // once.
    const int directory = sourceRoot.get();
    QProcess count;
    count.setChildProcessModifier([directory] {
        if (::fchdir(directory) != 0)
            ::_exit(1);
    });
    count.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("find . -type f -printf '\\n' | wc -l")},
                QIODevice::ReadWrite);
    count.waitForFinished(childTimeoutMs);
    return QString::fromUtf8(count.readAllStandardOutput()).trimmed().toUInt();
}

bool Install::syncDestination() const
{
    return destinationRoot.isValid() && syncFileSystem(destinationRoot.get());
}

void Install::enterTop()
{
    Level top{source, destination, QByteArray(), duplicate(sourceRoot), duplicate(destinationRoot)};
    top.sourceError = top.sourceFd.isValid() ? 0 : EBADF;
    top.destinationError = top.destinationFd.isValid() ? 0 : EBADF;
    recordDirectory(top, !destinationExisted);
    levels.push_back(std::move(top));
}

void Install::enterSubdirectory(const QByteArray &name)
{
    const Level &parent = level();
    Level sub{parent.source.child(name), parent.destination.child(name),
              parent.relative.isEmpty() ? name : parent.relative + '/' + name,
              openSubdirectory(parent.sourceFd.get(), name.constData()), UniqueFd()};
    sub.sourceError = sub.sourceFd.isValid() ? 0 : errno;
    if (sub.sourceError != ENOENT && sub.sourceError != ENOTDIR && sub.sourceError != ELOOP) {
        sub.destinationFd = makeSubdirectory(parent.destinationFd.get(), name.constData());
        sub.destinationError = sub.destinationFd.isValid() ? 0 : errno;
    }
    recordDirectory(sub, true);
    levels.push_back(std::move(sub));
}

void Install::recordDirectory(const Level &level, bool setMode)
{
    struct stat status;
    if (level.destinationFd.isValid() && ::fstat(level.sourceFd.get(), &status) == 0)
        directories.push_back({level.destination, level.relative, setMode, status.st_mode, {status.st_atim, status.st_mtim}});
}

bool Install::installFile(const QByteArray &name)
{
    const Level &here = level();
    struct stat status;
    const UniqueFd in = openRegularFile(here.sourceFd.get(), name.constData(), status);
    if (!in.isValid())
        return false;
    const QPair<quint64, quint64> inode(status.st_dev, status.st_ino);
    if (status.st_nlink > 1) {
        const auto first = firstCopies.constFind(inode);
        if (first != firstCopies.cend()) {
            const int directory = directoryBelowDestination(first->directory);
            if (directory >= 0 && linkFile(directory, first->name.constData(), here.destinationFd.get(), name.constData()))
                return true;
            // The first copy is gone or cannot take another name: copy again.
        }
    }
    if (!copyRegularFile(in.get(), status, here.destinationFd.get(), name.constData()))
        return false;
    if (status.st_nlink > 1 && !firstCopies.contains(inode))
        firstCopies.insert(inode, {here.relative, name});
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

QString Install::recordLink(const QByteArray &name, const NativePath &installedAt)
{
    const Level &here = level();
    QByteArray text = readLinkAt(here.sourceFd.get(), name.constData());
    struct stat status;
    if (text.isEmpty() || ::fstatat(here.sourceFd.get(), name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return QString();
    if (text.startsWith('/')) {
        auto target = componentsBelow(text, source.native());
        if (!target)
            target = componentsBelow(text, realSource);
        if (target) {
            const QList<QByteArray> from = here.relative.isEmpty() ? QList<QByteArray>() : here.relative.split('/');
            qsizetype common = 0;
            while (common < from.size() && common < target->size() && from[common] == target->at(common))
                ++common;
            QList<QByteArray> steps(from.size() - common, QByteArray(".."));
            steps += target->mid(common);
            text = steps.isEmpty() ? QByteArray(".") : steps.join('/');
        }
    }
    pendingLinks.insert(installedAt.text(), {{here.relative, name}, text, {status.st_atim, status.st_mtim}});
    return decodeFileName(text);
}

bool Install::createLink(const QString &path)
{
    const PendingLink link = pendingLinks.value(path);
    // An empty target can never be a link.
    if (link.text.isEmpty())
        return false;
    const int directory = directoryBelowDestination(link.place.directory);
    const char *name = link.place.name.constData();
    if (directory < 0 || !createSymlinkAt(directory, name, link.text))
        return false;
    // The link is in place; should its times not take, that is no reason
    // to call it missing.
    setLinkTimes(directory, name, link.times);
    return true;
}

QList<NativePath> Install::finishDirectories()
{
    QList<NativePath> failed;
    for (auto directory = directories.crbegin(); directory != directories.crend(); ++directory) {
        openBelowDestination.reset(); // it is the one to change, or gone
        const int fd = directoryBelowDestination(directory->relative);
        if (fd < 0 || !setModeAndTimes(fd, directory->setMode, directory->mode, directory->times))
            failed.append(directory->path);
    }
    return failed;
}

int Install::directoryBelowDestination(const QByteArray &relative)
{
    if (relative.isEmpty())
        return destinationRoot.get();
    if (!openBelowDestination.isValid() || openBelowDestinationPath != relative) {
        UniqueFd directory = duplicate(destinationRoot);
        for (const QByteArray &component : relative.split('/')) {
            if (!directory.isValid())
                break;
            directory = openSubdirectory(directory.get(), component.constData());
        }
        openBelowDestination = std::move(directory);
        openBelowDestinationPath = relative;
    }
    return openBelowDestination.get();
}
