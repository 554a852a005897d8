#include "installer.h"

#include "log.h"
#include "pipeclient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cstdlib>

namespace {

const int childTimeoutMs = 30000;

// Files and links that could not be installed by the current install.
int failedEntries = 0;
int lastStatus = ExitInstalled;

// Every entry of a directory, hidden ones, dangling links and special files
// included; a link is listed as a link, whatever it points to.
const QDir::Filters everyEntry = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

// `path` with every symbolic link in it resolved. Components that do not
// exist yet are appended, unchanged, to their nearest existing parent.
QString resolvedPath(const QString &path)
{
    QString existing = path;
    QString missing;
    for (;;) {
        const QString canonical = QFileInfo(existing).canonicalFilePath();
        if (!canonical.isEmpty())
            return missing.isEmpty() ? canonical : QDir(canonical).filePath(missing);
        const QFileInfo info(existing);
        missing = missing.isEmpty() ? info.fileName() : info.fileName() + QLatin1Char('/') + missing;
        existing = info.path();
    }
}

bool isSameOrInside(const QString &path, const QString &directory)
{
    if (path == directory)
        return true;
    return path.startsWith(directory.endsWith(QLatin1Char('/')) ? directory : directory + QLatin1Char('/'));
}

// True when installing would clear or copy into part of the source itself:
// the destination is the source, lies inside it, or contains it.
bool pathsOverlap(const QString &source, const QString &destination)
{
    const QString realSource = resolvedPath(source);
    const QString realDestination = resolvedPath(destination);
    return isSameOrInside(realDestination, realSource) || isSameOrInside(realSource, realDestination);
}

// Copies one regular file, never replacing an existing one, with the
// source's permission bits. QFile::copy alone would fold the running user's
// access rights into the owner bits (a read-only file copied by root comes
// out writable); set-id and sticky bits are deliberately not carried over.
bool installFile(const QFileInfo &source, const QString &destination)
{
    const QFile::Permissions modeBits = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
            | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    return QFile::copy(source.filePath(), destination)
           && QFile::setPermissions(destination, source.permissions() & modeBits);
}

} // namespace

void installPackage(const QString &source, const QString &destination)
{
    failedEntries = 0;
    if (!QFile(source).exists()) {
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
    const QDir sourceDir(source);
    client.startProgress(int(filesCountInDirectory(sourceDir.absolutePath())));

    LinkMap links;
    recursiveCopy(sourceDir.absolutePath(), destination, &client, links);
    createLinks(links);
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
    const QDir sourceDir(source);
    if (!sourceDir.exists()) {
        LOG(QStringLiteral("Directory %1 does not exist").arg(source));
        std::exit(ExitCopySourceNotDir);
    }
    const QDir destinationDir(destination);
    QDir().mkpath(destinationDir.absolutePath());

    // Listed once, up front, in the directory's own case-insensitive order.
    const QStringList names = sourceDir.entryList(everyEntry, QDir::NoSort);
    for (const QString &name : names) {
        const QString sourcePath = sourceDir.absoluteFilePath(name);
        const QString destinationPath = destinationDir.absoluteFilePath(name);
        const QFileInfo info(sourcePath);
        LOG(QStringLiteral("trying to copy file %1 -> %2").arg(sourcePath, destinationPath));

        // Links first: isFile() and isDir() follow them.
        if (info.isSymLink()) {
            links[destinationPath] = sourceDir.relativeFilePath(info.symLinkTarget());
        } else if (info.isFile()) {
            if (!installFile(info, destinationPath)) {
                LOG(QStringLiteral("Failed to copy file %1 from %2 to %3").arg(name, source, destination));
                ++failedEntries;
            }
            client->nextProgress();
        } else if (info.isDir()) {
            recursiveCopy(sourcePath, destinationPath, client, links);
        }
        // Anything else (FIFOs, sockets, devices) is not part of a package.
    }
}

void createLinks(QMap<QString, QString> links)
{
    LOG(QStringLiteral("Create links"));
    for (auto link = links.cbegin(); link != links.cend(); ++link) {
        LOG(QStringLiteral("Create link %1 -> %2").arg(link.key(), link.value()));
        // An empty target can never be a link (and would make Qt warn).
        if (link.value().isEmpty() || !QFile::link(link.value(), link.key())) {
            LOG(QStringLiteral("Fail to create symlink %1 for %2").arg(link.key(), link.value()));
            ++failedEntries;
        }
    }
}

void recursiveRemove(const QString &directory)
{
    const QDir dir(directory);
    const QFileInfoList entries = dir.entryInfoList(everyEntry, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        // A link to a directory is removed as a link: following it could
        // empty a directory outside the one being cleared.
        if (entry.isDir() && !entry.isSymLink()) {
            recursiveRemove(entry.absoluteFilePath());
            dir.rmdir(entry.fileName());
        } else {
            QFile::remove(entry.absoluteFilePath());
        }
    }
}

uint filesCountInDirectory(const QString &directory)
{
    // The path travels as a positional parameter, never as shell text, so
    // quotes, $() or newlines in it cannot change the command.
    QProcess count;
    count.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), QStringLiteral("find \"$1\" -type f | wc -l"), QStringLiteral("sh"), directory},
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
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const bool written = file.write(data) == data.size() && file.flush();
        file.close();
        if (written && file.error() == QFileDevice::NoError)
            return;
    }
    LOG(QStringLiteral("Unable to write file %1").arg(path));
}
