#include "install.h"

#include "nativename.h"
#include "posixfs.h"

#include <QDir>

#include <cerrno>

namespace {

Install *activeInstall = nullptr;

bool isMissingDirectory(int error)
{
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
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

void Install::enterTop()
{
    UniqueFd sourceFd = openDirectory(source.native());
    const bool missing = !sourceFd.isValid() && isMissingDirectory(errno);
    Level top{source, destination, std::move(sourceFd), UniqueFd(), missing};
    if (!top.sourceMissing && makePath(destination.native())) {
        top.destinationFd = openDirectory(destination.native());
        destinationRoot.reset(::dup(top.destinationFd.get()));
    }
    levels.push_back(std::move(top));
}

void Install::enterSubdirectory(const QByteArray &name)
{
    const Level &parent = level();
    UniqueFd sourceFd = openSubdirectory(parent.sourceFd.get(), name.constData());
    const bool missing = !sourceFd.isValid() && isMissingDirectory(errno);
    Level sub{parent.source.child(name), parent.destination.child(name), std::move(sourceFd), UniqueFd(), missing};
    if (!sub.sourceMissing)
        sub.destinationFd = makeSubdirectory(parent.destinationFd.get(), name.constData());
    levels.push_back(std::move(sub));
}

void Install::clearDestination()
{
    const UniqueFd directory = openDirectory(destination.native());
    if (directory.isValid())
        removeDirectoryContents(directory.get());
}

bool Install::syncDestination()
{
    const UniqueFd directory = destinationRoot.isValid() ? UniqueFd(::dup(destinationRoot.get()))
                                                         : openDirectory(destination.native());
    return directory.isValid() && syncFileSystem(directory.get());
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
    pendingLinks.insert(installedAt.text(), {installedAt.native(), encodeFileName(relative)});
    return relative;
}

bool Install::createLink(const QString &path)
{
    const PendingLink link = pendingLinks.value(path);
    // An empty target can never be a link.
    return !link.text.isEmpty() && ::symlink(link.text.constData(), link.path.constData()) == 0;
}
