// The install procedure and every step of it that writes a diagnostic line.
// Log readers match on "[main.cpp:N]" and on each function's signature (see
// log.h), so every installer LOG statement stays in this file, in a function
// with the signature its lines carry. The process entry point, main(), is in
// entrypoint.cpp, so that tests can link these functions without it.

#include "installer.h"

#include "fdwrite.h"
#include "install.h"
#include "log.h"
#include "nativename.h"
#include "pipeclient.h"
#include "posixfs.h"

#include <QProcess>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

const int childTimeoutMs = 30000;

// Lets the output flusher write the client's messages while it exists.
struct WatchedClient
{
    WatchedClient(OutputFlusher &output, PipeClient &client) : output(output) { output.watch(&client); }
    ~WatchedClient() { output.watch(nullptr); }
    OutputFlusher &output;
};

// The path of the entry `name` of the directory whose path is `directory`.
QString childPath(const QString &directory, const QString &name)
{
    return directory.endsWith(QLatin1Char('/')) ? directory + name : directory + QLatin1Char('/') + name;
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

ExitStatus runInstall(const NativePath &source, const NativePath &destination, const InstallMode &mode,
                      OutputFlusher &output)
{
    try {
        Install install(source, destination, mode, output);
        installPackage(source.text(), destination.text());
        return install.report.exitStatus();
    } catch (const std::exception &) {
        // Not even the line saying so could be written (installPackage
        // handles the rest).
        return mode.atomic ? ExitAbandoned : ExitIncomplete;
    }
}

void installPackage(const QString &source, const QString &destination)
{
    Install &install = Install::running(__func__);
    try {
        if (::access(install.source.native().constData(), F_OK) != 0) {
            LOG(QStringLiteral("fail to find sources at %1").arg(source));
            install.report.end(ExitSourceMissing);
            return;
        }
        const Result sourceOpened = install.openSource();
        if (!sourceOpened.ok()) {
            if (sourceOpened.error() == ENOTDIR) {
                LOG(QStringLiteral("Directory %1 does not exist").arg(source));
                install.report.end(ExitSourceNotDirectory);
            } else {
                LOG(QStringLiteral("Unable to read directory %1").arg(source));
                install.report.end(ExitSourceMissing);
            }
            return;
        }
        if (install.destination.overlaps(install.sourceRoot())) {
            LOG(QStringLiteral("Refusing to install: source %1 and destination %2 overlap").arg(source, destination));
            install.report.end(ExitOverlap);
            return;
        }
        if (install.atomic) {
            const QString why = install.destination.whyNotAtomic();
            if (!why.isEmpty()) {
                LOG(QStringLiteral("Refusing to install atomically into %1: %2").arg(destination, why));
                install.report.end(ExitAtomicImpossible);
                return;
            }
        }

        PipeClient client;
        if (!client.connect(QLatin1String(ostrel::protocol::serverName))) {
            LOG(QStringLiteral("Too many tries, seems no Updater"));
            install.report.end(ExitNoUpdater);
            return;
        }
        client.batchMessages(install.output.isRunning());
        const WatchedClient watched(install.output, client);
        Destination::Preparation found;
        const Destination::Prepared prepared = install.destination.prepare(install.sourceRoot(), found);
        if (found.lockError != 0)
            LOG(QStringLiteral("Locking %1 itself: no private lock directory (%2)").arg(destination, errorText(found.lockError)));
        switch (prepared) {
        case Destination::Ready:
            break;
        case Destination::Overlap:
            LOG(QStringLiteral("Refusing to install: source %1 and destination %2 overlap").arg(source, destination));
            install.report.end(ExitOverlap);
            return;
        case Destination::Busy:
            LOG(QStringLiteral("Refusing to install: another install into %1 is running%2")
                        .arg(destination, found.lockHolder > 0 ? QStringLiteral(" (process %1)").arg(found.lockHolder) : QString()));
            install.report.end(ExitBusy);
            return;
        case Destination::CannotExchange:
            LOG(QStringLiteral("Refusing to install atomically into %1: its file system cannot exchange directories").arg(destination));
            install.report.end(ExitAtomicImpossible);
            return;
        case Destination::Unavailable:
            LOG(QStringLiteral("Unable to create directory %1").arg(destination));
            if (install.atomic) {
                install.report.end(ExitAbandoned);
                return;
            }
            install.report.countFailure(); // every file then fails on its own and is logged
            break;
        }
        for (const QByteArray &name : found.foreign)
            LOG(QStringLiteral("Leaving %1 alone: it looks like an install's work directory, but is not this installer's own")
                        .arg(install.destination.beside(name).text()));
        for (const RemoveFailure &failure : found.leftovers) {
            LOG(QStringLiteral("Unable to remove %1").arg(install.destination.beside(failure.path).text()));
            LOG(QStringLiteral("Cause: %1").arg(errorText(failure.error)));
            install.report.countFailure();
        }
        LOG(QStringLiteral("source dir is %1 %2 %3").arg(source, QStringLiteral("destination dir is"), destination));

        for (const RemoveFailure &failure : install.destination.clear()) {
            LOG(QStringLiteral("Unable to remove %1").arg(install.destination.path().child(failure.path).text()));
            LOG(QStringLiteral("Cause: %1").arg(errorText(failure.error)));
            install.report.countFailure();
        }
        const uint files = install.startCopy();
        const CopyEngine &copy = install.copy();
        for (const RemoveFailure &failure : copy.removeFailures()) {
            LOG(QStringLiteral("Unable to remove %1").arg(install.destination.path().child(failure.path).text()));
            LOG(QStringLiteral("Cause: %1").arg(errorText(failure.error)));
            install.report.countFailure();
        }
        if (copy.threadsStarted() < copy.threadsWanted())
            LOG(QStringLiteral("Copying with %1 of %2 threads: no more could be started")
                        .arg(copy.threadsStarted())
                        .arg(copy.threadsWanted()));
        client.startProgress(int(files));

        QMap<QString, QString> links;
        install.copy().enter(0);
        recursiveCopy(source, destination, &client, links);
        install.copy().leave();
        createLinks(links);
        for (const NativePath &directory : install.destination.finishDirectories(install.copy())) {
            LOG(QStringLiteral("Unable to set the mode and times of %1").arg(directory.text()));
            install.report.countFailure();
        }
        if (install.changedOnly)
            LOG(QStringLiteral("%1 of %2 files unchanged, kept from the previous version").arg(copy.unchangedFiles()).arg(files));
        // The done message promises that the install is on disk: files and
        // directory entries alike. One sync of the file system costs far less
        // than syncing each file.
        LOG(QStringLiteral("Syncing %1 to disk").arg(destination));
        if (!install.destination.sync()) {
            LOG(QStringLiteral("Unable to sync %1 to disk").arg(destination));
            install.report.countFailure();
        }
        if (!install.atomic) {
            client.stopProgress();
            return;
        }
        // All or nothing: the new version goes in place only if every part of
        // it is there.
        const bool complete = install.report.exitStatus() == ExitInstalled;
        if (complete)
            LOG(QStringLiteral("Swapping the new version into %1").arg(destination));
        if (!complete || !install.destination.swapIntoPlace()) {
            LOG(QStringLiteral("Atomic install abandoned, %1 unchanged").arg(destination));
            install.report.end(ExitAbandoned);
        } else {
            if (install.keepPrevious)
                keepPreviousVersion(destination);
            else
                LOG(QStringLiteral("Removing the previous version of %1").arg(destination));
            client.stopProgress();
        }
        // The abandoned new version, the previous one, or the one kept before.
        for (const RemoveFailure &failure : install.destination.removeStaging()) {
            LOG(QStringLiteral("Unable to remove %1").arg(install.destination.beside(failure.path).text()));
            LOG(QStringLiteral("Cause: %1").arg(errorText(failure.error)));
            install.report.countFailure();
        }
    } catch (const std::bad_alloc &) {
        // What was being built is freed on the way here, so the line can
        // most likely be written. An atomic install's work directory is
        // removed by the next install.
        LOG(QStringLiteral("Out of memory: the install into %1 stopped%2")
                    .arg(destination, install.atomic ? QStringLiteral(", which is unchanged") : QString()));
        install.report.end(install.atomic ? ExitAbandoned : ExitIncomplete);
    }
}

void keepPreviousVersion(const QString &destination)
{
    Install &install = Install::running(__func__);
    Staging &siblings = install.destination.siblings();
    const QString kept = install.destination.beside(siblings.keptName()).text();
    LOG(QStringLiteral("Keeping the previous version of %1 in %2").arg(destination, kept));
    const Staging::Keeping keeping = siblings.keepPrevious();
    const int error = errno;
    switch (keeping) {
    case Staging::KeptFirst:
        break;
    case Staging::KeptReplacing:
        if (!siblings.workDirectoryName().isEmpty())
            LOG(QStringLiteral("Removing the version kept before in %1")
                        .arg(install.destination.beside(siblings.workDirectoryName()).text()));
        break;
    case Staging::KeepingRefused:
        LOG(QStringLiteral("Unable to keep the previous version of %1: %2 is not this installer's own, and is left alone")
                    .arg(destination, kept));
        break;
    case Staging::KeepingFailed:
        LOG(QStringLiteral("Unable to keep the previous version of %1 in %2").arg(destination, kept));
        LOG(QStringLiteral("Cause: %1").arg(errorText(error)));
        break;
    }
    if (keeping == Staging::KeepingRefused || keeping == Staging::KeepingFailed) {
        LOG(QStringLiteral("Removing the previous version of %1").arg(destination));
        install.report.countFailure();
    } else if (!siblings.syncBeside()) {
        LOG(QStringLiteral("Unable to sync %1 to disk").arg(kept));
        install.report.countFailure();
    }
}

bool findKeptVersion(Staging &siblings, const QString &destination, const QString &kept)
{
    const Staging::KeptState found = siblings.findKept();
    if (found == Staging::NotOwn)
        LOG(QStringLiteral("Leaving %1 alone: it looks like a kept version, but is not this installer's own").arg(kept));
    if (found != Staging::Kept)
        LOG(QStringLiteral("Nothing to roll back to: no previous version of %1 is kept").arg(destination));
    return found == Staging::Kept;
}

ExitStatus rollBack(const NativePath &destination, OutputFlusher &output)
{
    const QString path = destination.text();
    try {
        Destination target(destination, true, false);
        Staging &siblings = target.siblings();
        const QString kept = target.beside(siblings.keptName()).text();
        if (const QString why = target.whyNotAtomic(); !why.isEmpty()) {
            LOG(QStringLiteral("Refusing to roll back %1: %2").arg(path, why));
            return ExitAtomicImpossible;
        }
        // Refused at once, before the updater is asked, like an install
        // that cannot start; looked at again under the lock. Without the
        // directory that would hold it, nothing is kept.
        siblings.openParent(false);
        if (!findKeptVersion(siblings, path, kept))
            return ExitNothingKept;

        PipeClient client;
        if (!client.connect(QLatin1String(ostrel::protocol::serverName))) {
            LOG(QStringLiteral("Too many tries, seems no Updater"));
            return ExitNoUpdater;
        }
        client.batchMessages(output.isRunning());
        const WatchedClient watched(output, client);
        Destination::Preparation found;
        const Destination::Prepared prepared = target.prepareRollback(found);
        if (found.lockError != 0)
            LOG(QStringLiteral("Locking %1 itself: no private lock directory (%2)").arg(path, errorText(found.lockError)));
        if (prepared == Destination::Busy) {
            LOG(QStringLiteral("Refusing to roll back: another install into %1 is running%2")
                        .arg(path, found.lockHolder > 0 ? QStringLiteral(" (process %1)").arg(found.lockHolder) : QString()));
            return ExitBusy;
        }
        if (prepared == Destination::Unavailable) {
            LOG(QStringLiteral("Unable to lock %1 for the rollback, which is not done").arg(path));
            return ExitIncomplete;
        }
        if (!findKeptVersion(siblings, path, kept))
            return ExitNothingKept;

        LOG(QStringLiteral("Rolling back %1 to the version kept in %2").arg(path, kept));
        client.startProgress(0);
        LOG(QStringLiteral("Swapping the kept version into %1").arg(path));
        const Staging::Exchange exchanged = siblings.exchangeWithKept();
        if (exchanged == Staging::ExchangeFailed) {
            const int error = errno;
            LOG(QStringLiteral("Unable to roll back %1: it cannot be exchanged with %2").arg(path, kept));
            LOG(QStringLiteral("Cause: %1").arg(errorText(error)));
            return ExitAtomicImpossible;
        }
        ExitStatus status = ExitInstalled;
        if (!siblings.syncBeside()) {
            LOG(QStringLiteral("Unable to sync %1 to disk").arg(path));
            status = ExitIncomplete;
        }
        if (exchanged == Staging::Exchanged)
            LOG(QStringLiteral("Rolled back %1; the version it held is now kept in %2").arg(path, kept));
        else
            LOG(QStringLiteral("Rolled back %1; it did not exist, so nothing is kept now").arg(path));
        client.stopProgress();
        return status;
    } catch (const std::bad_alloc &) {
        LOG(QStringLiteral("Out of memory: the rollback of %1 stopped, which is unchanged").arg(path));
        return ExitIncomplete;
    }
}

void recursiveCopy(const QString source, const QString destination, PipeClient *client,
                   QMap<QString, QString> &links)
{
    Install &install = Install::running(__func__);
    CopyEngine &copy = install.copy();
    // The tree is gone through with a stack of positions rather than by
    // calls to itself, and the current directory's paths grow and shrink in
    // place: memory stays linear in the number of entries however deep the
    // tree, and so does the stack. Every directory's entries are gone
    // through, whatever befell the directory, so that each file counted in
    // the start message gets its progress message.
    struct Level
    {
        int job;
        qsizetype sourceLength, destinationLength; // of its paths' texts
        int entry = -1; // -1: the directory itself is still to be reported
        int subdirectories = 0, linksMet = 0;
    };
    QString from = source, to = destination;
    std::vector<Level> levels{{copy.current(), from.size(), to.size()}};
    while (!levels.empty()) {
        Level &level = levels.back();
        const DirectoryJob &job = copy.job(level.job);
        if (level.entry < 0) {
            level.entry = 0;
            const int error = job.sourceError ? job.sourceError : job.listError;
            if (job.isDestination) {
                LOG(QStringLiteral("Refusing to copy %1 into itself").arg(from));
                install.report.countFailure();
            } else if (error == ENOENT || error == ENOTDIR || error == ELOOP) {
                // Gone, or replaced by something else, since it was listed.
                LOG(QStringLiteral("Directory %1 does not exist").arg(from));
                install.report.countFailure();
            } else {
                if (job.createError != 0) {
                    // Every file below then fails on its own and is logged.
                    LOG(QStringLiteral("Unable to create directory %1").arg(to));
                    LOG(QStringLiteral("Cause: %1").arg(errorText(job.createError)));
                    install.report.countFailure();
                }
                if (error != 0) {
                    LOG(QStringLiteral("Unable to read directory %1").arg(from));
                    LOG(QStringLiteral("Cause: %1").arg(errorText(error)));
                    install.report.countFailure();
                }
            }
        }
        if (level.entry >= job.entryCount()) {
            levels.pop_back();
            if (levels.empty())
                break; // the top is the caller's to leave
            copy.leave();
            from.truncate(levels.back().sourceLength);
            to.truncate(levels.back().destinationLength);
            continue;
        }
        const int entry = level.entry++;
        const QByteArray name = job.name(entry);
        const QString nameText = decodeFileName(name);
        const QString fromEntry = childPath(from, nameText), toEntry = childPath(to, nameText);
        LOG(QStringLiteral("trying to copy file %1 -> %2").arg(fromEntry, toEntry));

        switch (job.type(entry)) {
        case DT_LNK:
            links[toEntry] = install.links().record(toEntry, job, name, copy.link(entry, level.linksMet++));
            break;
        case DT_REG:
            if (const Result copied = copy.fileCopied(entry); !copied.ok()) {
                LOG(QStringLiteral("Failed to copy file %1 from %2 to %3").arg(nameText, from, to));
                LOG(QStringLiteral("Cause: %1").arg(errorText(copied.error())));
                install.report.countFailure();
            }
            client->nextProgress();
            break;
        case DT_DIR: {
            const int child = job.children[size_t(level.subdirectories++)];
            copy.enter(child);
            from = fromEntry;
            to = toEntry;
            levels.push_back({child, from.size(), to.size()}); // `level` is not to be used after this
            break;
        }
        case DT_UNKNOWN: // gone since the listing, or its type cannot be read
            LOG(QStringLiteral("Unable to read %1").arg(fromEntry));
            install.report.countFailure();
            break;
        default:
            // FIFOs, sockets and devices are not part of a package.
            break;
        }
    }
}

void createLinks(QMap<QString, QString> links)
{
    Install &install = Install::running(__func__);
    LOG(QStringLiteral("Create links"));
    for (auto link = links.cbegin(); link != links.cend(); ++link) {
        LOG(QStringLiteral("Create link %1 -> %2").arg(link.key(), link.value()));
        if (const Result created = install.links().create(link.key()); !created.ok()) {
            LOG(QStringLiteral("Fail to create symlink %1 for %2").arg(link.key(), link.value()));
            LOG(QStringLiteral("Cause: %1").arg(errorText(created.error())));
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
