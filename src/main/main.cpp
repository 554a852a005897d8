#include "installer.h"

#include "fdwrite.h"
#include "filecopy.h"
#include "log.h"
#include "nativename.h"
#include "pipeclient.h"
#include "posixfs.h"

#include <QDir>
#include <QProcess>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int childTimeoutMs = 30000;

// Files and links that could not be installed by the current install.
int failedEntries = 0;
int lastStatus = ExitInstalled;

// `name` inside the absolute, clean directory path `directory`.
QString childPath(const QString &directory, const QString &name)
{
    return directory.endsWith(QLatin1Char('/')) ? directory + name : directory + QLatin1Char('/') + name;
}

// `path` with every symbolic link in it resolved. Components that do not
// exist yet are appended, unchanged, to their nearest existing parent.
QByteArray resolvedPath(const QByteArray &path)
{
    QByteArray existing = path;
    QByteArray missing;
    for (;;) {
        if (char *real = ::realpath(existing.constData(), nullptr)) {
            QByteArray resolved(real);
            std::free(real);
            if (missing.isEmpty())
                return resolved;
            return resolved.endsWith('/') ? resolved + missing : resolved + '/' + missing;
        }
        const qsizetype slash = existing.lastIndexOf('/');
        if (slash < 0)
            return path;
        const QByteArray name = existing.mid(slash + 1);
        missing = missing.isEmpty() ? name : name + '/' + missing;
        existing = slash == 0 ? QByteArray("/") : existing.left(slash);
    }
}

bool isSameOrInside(const QByteArray &path, const QByteArray &directory)
{
    return path == directory || path.startsWith(directory.endsWith('/') ? directory : directory + '/');
}

// True when installing would clear or copy into part of the source itself:
// the destination is the source, lies inside it, or contains it.
bool pathsOverlap(const QString &source, const QString &destination)
{
    const QByteArray realSource = resolvedPath(encodeFileName(source));
    const QByteArray realDestination = resolvedPath(encodeFileName(destination));
    return isSameOrInside(realDestination, realSource) || isSameOrInside(realSource, realDestination);
}

struct ListedEntry
{
    DirectoryEntry entry;
    QString name;
    QString sortKey;
};

// The entries of a directory in case-insensitive name order (ties broken by
// exact name, so the order never depends on the file system).
QList<ListedEntry> sortedEntries(const QList<DirectoryEntry> &entries)
{
    QList<ListedEntry> listed;
    listed.reserve(entries.size());
    for (const DirectoryEntry &entry : entries) {
        const QString name = decodeFileName(entry.name);
        listed.append({entry, name, name.toLower()});
    }
    std::sort(listed.begin(), listed.end(), [](const ListedEntry &a, const ListedEntry &b) {
        const int byKey = a.sortKey.compare(b.sortKey);
        return byKey != 0 ? byKey < 0 : a.name < b.name;
    });
    return listed;
}

// The target of the link `name` in `directoryFd`, made relative to
// `directory`, the path of that directory: a relative target is first
// resolved against it, then the path is cleaned and made relative again. So
// a link to a file of the same tree stays one, wherever the tree is copied.
QString relativeLinkTarget(int directoryFd, const QByteArray &name, const QString &directory)
{
    static char buffer[PATH_MAX + 1];
    const ssize_t length = ::readlinkat(directoryFd, name.constData(), buffer, sizeof buffer);
    if (length <= 0 || length > PATH_MAX)
        return QString();
    const QString target = decodeFileName(QByteArray(buffer, length));
    const QString absolute = QDir::cleanPath(target.startsWith(QLatin1Char('/')) ? target : childPath(directory, target));
    QString relative = QDir(directory).relativeFilePath(absolute);
    if (relative.size() > 1 && relative.endsWith(QLatin1Char('/'))) // "../" for the parent: keep ".."
        relative.chop(1);
    return relative;
}

} // namespace

void installPackage(const QString &source, const QString &destination)
{
    failedEntries = 0;
    struct stat sourceStatus;
    if (::stat(encodeFileName(source).constData(), &sourceStatus) != 0) {
        LOG(QStringLiteral("fail to find sources at %1").arg(source));
        lastStatus = ExitSourceMissing;
        return;
    }
    if (pathsOverlap(source, destination)) {
        LOG(QStringLiteral("Refusing to install: source %1 and destination %2 overlap").arg(source, destination));
        lastStatus = ExitOverlap;
        return;
    }

    PipeClient client;
    if (!client.connect(QStringLiteral("OstrelUpdater"))) {
        LOG(QStringLiteral("Too many tries, seems no Updater"));
        lastStatus = ExitNoUpdater;
        return;
    }
    LOG(QStringLiteral("source dir is %1 %2 %3").arg(source, QStringLiteral("destination dir is"), destination));

    recursiveRemove(destination);
    client.startProgress(int(filesCountInDirectory(source)));

    LinkMap links;
    recursiveCopy(source, destination, &client, links);
    createLinks(links);
    // The done message promises that the install is on disk: files and
    // directory entries alike. One sync of the file system costs far less
    // than syncing each file.
    if (!syncFileSystem(encodeFileName(destination))) {
        LOG(QStringLiteral("Unable to sync %1 to disk").arg(destination));
        ++failedEntries;
    }
    client.stopProgress();
    lastStatus = failedEntries == 0 ? ExitInstalled : ExitIncomplete;
}

int installStatus()
{
    return lastStatus;
}

void recursiveCopy(const QString source, const QString destination, PipeClient *client,
                   QMap<QString, QString> &links)
{
    const UniqueFd sourceFd = openDirectory(encodeFileName(source));
    if (!sourceFd.isValid() && (errno == ENOENT || errno == ENOTDIR)) {
        LOG(QStringLiteral("Directory %1 does not exist").arg(source));
        std::exit(ExitCopySourceNotDir);
    }
    const QByteArray nativeDestination = encodeFileName(destination);
    makePath(nativeDestination);
    // If the destination could not be made, every file copy below fails and
    // is reported on its own.
    const UniqueFd destinationFd = openDirectory(nativeDestination);

    // Listed once, up front.
    QList<DirectoryEntry> entries;
    if (!sourceFd.isValid() || !listDirectory(sourceFd.get(), entries)) {
        LOG(QStringLiteral("Unable to read directory %1").arg(source));
        ++failedEntries;
        return;
    }
    for (const ListedEntry &listed : sortedEntries(entries)) {
        const QString sourcePath = childPath(source, listed.name);
        const QString destinationPath = childPath(destination, listed.name);
        LOG(QStringLiteral("trying to copy file %1 -> %2").arg(sourcePath, destinationPath));

        switch (entryType(sourceFd.get(), listed.entry)) {
        case DT_LNK:
            links[destinationPath] = relativeLinkTarget(sourceFd.get(), listed.entry.name, source);
            break;
        case DT_REG:
            if (!copyRegularFile(sourceFd.get(), listed.entry.name.constData(), destinationFd.get())) {
                LOG(QStringLiteral("Failed to copy file %1 from %2 to %3").arg(listed.name, source, destination));
                ++failedEntries;
            }
            client->nextProgress();
            break;
        case DT_DIR:
            recursiveCopy(sourcePath, destinationPath, client, links);
            break;
        default:
            // FIFOs, sockets and devices are not part of a package; an entry
            // that vanished since the listing has nothing left to copy.
            break;
        }
    }
}

void createLinks(QMap<QString, QString> links)
{
    LOG(QStringLiteral("Create links"));
    for (auto link = links.cbegin(); link != links.cend(); ++link) {
        LOG(QStringLiteral("Create link %1 -> %2").arg(link.key(), link.value()));
        // An empty target can never be a link.
        if (link.value().isEmpty()
            || ::symlink(encodeFileName(link.value()).constData(), encodeFileName(link.key()).constData()) != 0) {
            LOG(QStringLiteral("Fail to create symlink %1 for %2").arg(link.key(), link.value()));
            ++failedEntries;
        }
    }
}

void recursiveRemove(const QString &directory)
{
    const UniqueFd directoryFd = openDirectory(encodeFileName(directory));
    if (directoryFd.isValid())
        removeDirectoryContents(directoryFd.get());
}

uint filesCountInDirectory(const QString &directory)
{
    // The child starts inside the directory, so its path never becomes shell
    // text (quotes, $() or newlines in it cannot change the command) and is
    // used byte for byte, whatever its encoding. find prints one line per
    // file rather than its name, so a name holding a newline counts once.
    const QByteArray nativeDirectory = encodeFileName(directory);
    QProcess count;
    count.setChildProcessModifier([&nativeDirectory] {
        if (::chdir(nativeDirectory.constData()) != 0)
            ::_exit(1);
    });
    count.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("find . -type f -printf '\\n' | wc -l")},
                QIODevice::ReadWrite);
    count.waitForFinished(childTimeoutMs);
    return QString::fromUtf8(count.readAllStandardOutput()).trimmed().toUInt();
}

bool execute(const QString &command)
{
    QProcess process;
    process.startCommand(command, QIODevice::ReadWrite);
    QString exitCode;
    if (!process.waitForFinished(childTimeoutMs)) {
        if (process.state() == QProcess::NotRunning) {
            exitCode = QStringLiteral("none (could not start: %1)").arg(process.errorString());
        } else {
            process.kill();
            process.waitForFinished();
            exitCode = QStringLiteral("none (timed out after %1 ms)").arg(childTimeoutMs);
        }
    } else if (process.exitStatus() == QProcess::CrashExit) {
        exitCode = QStringLiteral("none (crashed)");
    } else if (process.exitCode() != 0) {
        exitCode = QString::number(process.exitCode());
    } else {
        return true;
    }
    LOG(QStringLiteral("failed to execute %1. Exit code: %2. Command output: %3")
                .arg(command, exitCode, QString::fromUtf8(process.readAll())));
    return false;
}

void writeFileOrExit(const QString &path, const QByteArray &data)
{
    UniqueFd file(::open(encodeFileName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (file.isValid() && writeAll(file.get(), data) && ::close(file.release()) == 0)
        return;
    LOG(QStringLiteral("Unable to write file %1").arg(path));
}
