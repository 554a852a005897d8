#include "install.h"

#include "nativename.h"

#include <QDir>
#include <QProcess>

#include <cerrno>
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
    return sourceRoot.isValid();
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
    levels.push_back(std::move(sub));
}

QString Install::recordLink(const QByteArray &name, const NativePath &installedAt)
{
    const QByteArray target = readLinkAt(level().sourceFd.get(), name.constData());
    if (target.isEmpty())
        return QString();
    // A relative target is resolved against the link's directory, cleaned,
    // and made relative to that directory again.
    const QString directory = level().source.text();
    const QString targetText = decodeFileName(target);
    const QString absolute = QDir::cleanPath(targetText.startsWith(QLatin1Char('/'))
                                                     ? targetText
                                                     : directory + QLatin1Char('/') + targetText);
    QString relative = QDir(directory).relativeFilePath(absolute);
    if (relative.size() > 1 && relative.endsWith(QLatin1Char('/'))) // "../" for the parent: keep ".."
        relative.chop(1);
    pendingLinks.insert(installedAt.text(), {level().relative, name, encodeFileName(relative)});
    return relative;
}

bool Install::createLink(const QString &path)
{
    const PendingLink link = pendingLinks.value(path);
    // An empty target can never be a link.
    if (link.text.isEmpty())
        return false;
    const int directory = linkDirectory(link.directory);
    return directory >= 0 && createSymlinkAt(directory, link.name.constData(), link.text);
}

int Install::linkDirectory(const QByteArray &relative)
{
    if (relative.isEmpty())
        return destinationRoot.get();
    if (!openLinkDirectory.isValid() || openLinkDirectoryPath != relative) {
        UniqueFd directory = duplicate(destinationRoot);
        for (const QByteArray &component : relative.split('/')) {
            if (!directory.isValid())
                break;
            directory = openSubdirectory(directory.get(), component.constData());
        }
        openLinkDirectory = std::move(directory);
        openLinkDirectoryPath = relative;
    }
    return openLinkDirectory.get();
}
