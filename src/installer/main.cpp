// The install procedure and every step of it that writes a diagnostic line.
// Log readers match on "[main.cpp:N]" and on each function's signature (see
// log.h), so every installer LOG statement stays in this file, in a function
// with the signature its lines carry. The process entry point, main(), is in
// entrypoint.cpp, so that tests can link these functions without it.

#include "installer.h"

#include "fdwrite.h"
#include "filecopy.h"
#include "install.h"
#include "log.h"
#include "nativename.h"
#include "pipeclient.h"
#include "posixfs.h"

#include <QProcess>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

const int childTimeoutMs = 30000;

struct ListedEntry
{
    DirectoryEntry entry;
    QString sortKey;
    QString name;
};

// The entries of a directory in case-insensitive name order (ties broken by
// exact name, so the order never depends on the file system).
QList<ListedEntry> sortedEntries(const QList<DirectoryEntry> &entries)
{
    QList<ListedEntry> listed;
    listed.reserve(entries.size());
    for (const DirectoryEntry &entry : entries) {
        const QString name = decodeFileName(entry.name);
        listed.append({entry, name.toLower(), name});
    }
    std::sort(listed.begin(), listed.end(), [](const ListedEntry &a, const ListedEntry &b) {
        const int byKey = a.sortKey.compare(b.sortKey);
        return byKey != 0 ? byKey < 0 : a.name < b.name;
    });
    return listed;
}

// The number of regular files at any depth below `directory`, links not
// followed, as find(1) counts them; 0 when it cannot be told. The child
// starts inside the directory, so the path never becomes shell text (quotes,
// $() or newlines in it cannot change the command) and is used byte for
// byte. find prints one line per file rather than its name, so a name
// holding a newline counts once.
uint filesCountInDirectory(const NativePath &directory)
{
    const QByteArray path = directory.native();
    QProcess count;
    count.setChildProcessModifier([&path] {
        if (::chdir(path.constData()) != 0)
            ::_exit(1);
    });
    count.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("find . -type f -printf '\\n' | wc -l")},
                QIODevice::ReadWrite);
    count.waitForFinished(childTimeoutMs);
    return QString::fromUtf8(count.readAllStandardOutput()).trimmed().toUInt();
}

} // namespace

ExitStatus runInstall(const NativePath &source, const NativePath &destination)
{
    Install install(source, destination);
    installPackage(source.text(), destination.text());
    return install.report.exitStatus();
}

void installPackage(const QString &source, const QString &destination)
{
    Install &install = Install::active();
    if (::access(install.source.native().constData(), F_OK) != 0) {
        LOG(QStringLiteral("fail to find sources at %1").arg(source));
        install.report.end(ExitSourceMissing);
        return;
    }
    if (pathsOverlap(install.source.native(), install.destination.native())) {
        LOG(QStringLiteral("Refusing to install: source %1 and destination %2 overlap").arg(source, destination));
        install.report.end(ExitOverlap);
        return;
    }

    PipeClient client;
    if (!client.connect(QStringLiteral("OstrelUpdater"))) {
        LOG(QStringLiteral("Too many tries, seems no Updater"));
        install.report.end(ExitNoUpdater);
        return;
    }
    LOG(QStringLiteral("source dir is %1 %2 %3").arg(source, QStringLiteral("destination dir is"), destination));

    install.clearDestination();
    client.startProgress(int(filesCountInDirectory(install.source)));

    QMap<QString, QString> links;
    install.enterTop();
    recursiveCopy(source, destination, &client, links);
    install.leaveLevel();
    if (install.report.hasEnded())
        return;
    createLinks(links);
    // The done message promises that the install is on disk: files and
    // directory entries alike. One sync of the file system costs far less
    // than syncing each file.
    if (!install.syncDestination()) {
        LOG(QStringLiteral("Unable to sync %1 to disk").arg(destination));
        install.report.countFailure();
    }
    client.stopProgress();
}

void recursiveCopy(const QString source, const QString destination, PipeClient *client,
                   QMap<QString, QString> &links)
{
    Install &install = Install::active();
    Install::Level &level = install.level();
    if (level.sourceMissing) {
        LOG(QStringLiteral("Directory %1 does not exist").arg(source));
        install.report.end(ExitCopySourceNotDir);
        return;
    }
    // Listed once, up front.
    QList<DirectoryEntry> entries;
    if (!level.sourceFd.isValid() || !listDirectory(level.sourceFd.get(), entries)) {
        LOG(QStringLiteral("Unable to read directory %1").arg(source));
        install.report.countFailure();
        return;
    }
    for (const ListedEntry &listed : sortedEntries(entries)) {
        const QByteArray &name = listed.entry.name;
        const NativePath from = level.source.child(name);
        const NativePath to = level.destination.child(name);
        LOG(QStringLiteral("trying to copy file %1 -> %2").arg(from.text(), to.text()));

        switch (entryType(level.sourceFd.get(), listed.entry)) {
        case DT_LNK:
            links[to.text()] = install.recordLink(name, to);
            break;
        case DT_REG:
            // If the destination directory could not be made, every file
            // copy below it fails here and is reported on its own.
            if (!copyRegularFile(level.sourceFd.get(), name.constData(), level.destinationFd.get())) {
                LOG(QStringLiteral("Failed to copy file %1 from %2 to %3").arg(listed.name, source, destination));
                install.report.countFailure();
            }
            client->nextProgress();
            break;
        case DT_DIR:
            install.enterSubdirectory(name);
            recursiveCopy(from.text(), to.text(), client, links);
            install.leaveLevel();
            if (install.report.hasEnded())
                return;
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
    Install &install = Install::active();
    LOG(QStringLiteral("Create links"));
    for (auto link = links.cbegin(); link != links.cend(); ++link) {
        LOG(QStringLiteral("Create link %1 -> %2").arg(link.key(), link.value()));
        if (!install.createLink(link.key())) {
            LOG(QStringLiteral("Fail to create symlink %1 for %2").arg(link.key(), link.value()));
            install.report.countFailure();
        }
    }
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
