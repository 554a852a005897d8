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

} // namespace

ExitStatus runInstall(const NativePath &source, const NativePath &destination, bool atomic)
{
    ostrel::batchLogLines(true);
    Install install(source, destination, atomic);
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
    if (!install.openSource()) {
        if (errno == ENOTDIR) {
            LOG(QStringLiteral("Directory %1 does not exist").arg(source));
            install.report.end(ExitSourceNotDirectory);
        } else {
            LOG(QStringLiteral("Unable to read directory %1").arg(source));
            install.report.end(ExitSourceMissing);
        }
        return;
    }
    if (install.overlapsSource()) {
        LOG(QStringLiteral("Refusing to install: source %1 and destination %2 overlap").arg(source, destination));
        install.report.end(ExitOverlap);
        return;
    }
    if (install.atomic) {
        const QString why = install.whyNotAtomic();
        if (!why.isEmpty()) {
            LOG(QStringLiteral("Refusing to install atomically into %1: %2").arg(destination, why));
            install.report.end(ExitAtomicImpossible);
            return;
        }
    }

    PipeClient client;
    if (!client.connect(QStringLiteral("OstrelUpdater"))) {
        LOG(QStringLiteral("Too many tries, seems no Updater"));
        install.report.end(ExitNoUpdater);
        return;
    }
    client.batchMessages(true);
    const WatchedClient watched(install.output, client);
    QList<RemoveFailure> leftovers;
    switch (install.prepareDestination(leftovers)) {
    case Install::Ready:
        break;
    case Install::Overlap:
        LOG(QStringLiteral("Refusing to install: source %1 and destination %2 overlap").arg(source, destination));
        install.report.end(ExitOverlap);
        return;
    case Install::Busy:
        LOG(QStringLiteral("Refusing to install: another install into %1 is running").arg(destination));
        install.report.end(ExitBusy);
        return;
    case Install::CannotExchange:
        LOG(QStringLiteral("Refusing to install atomically into %1: its file system cannot exchange directories").arg(destination));
        install.report.end(ExitAtomicImpossible);
        return;
    case Install::Unavailable:
        LOG(QStringLiteral("Unable to create directory %1").arg(destination));
        if (install.atomic) {
            install.report.end(ExitAbandoned);
            return;
        }
        install.report.countFailure(); // every file then fails on its own and is logged
        break;
    }
    for (const RemoveFailure &failure : leftovers) {
        LOG(QStringLiteral("Unable to remove %1").arg(install.besideDestination(failure.path).text()));
        install.report.countFailure();
    }
    LOG(QStringLiteral("source dir is %1 %2 %3").arg(source, QStringLiteral("destination dir is"), destination));

    for (const RemoveFailure &failure : install.clearDestination()) {
        LOG(QStringLiteral("Unable to remove %1").arg(install.destination.child(failure.path).text()));
        install.report.countFailure();
    }
    client.startProgress(int(install.startCopy()));

    QMap<QString, QString> links;
    install.enterJob(0);
    recursiveCopy(source, destination, &client, links);
    install.leaveJob();
    createLinks(links);
    for (const NativePath &directory : install.finishDirectories()) {
        LOG(QStringLiteral("Unable to set the mode and times of %1").arg(directory.text()));
        install.report.countFailure();
    }
    // The done message promises that the install is on disk: files and
    // directory entries alike. One sync of the file system costs far less
    // than syncing each file.
    if (!install.syncDestination()) {
        LOG(QStringLiteral("Unable to sync %1 to disk").arg(destination));
        install.report.countFailure();
    }
    if (!install.atomic) {
        client.stopProgress();
        return;
    }
    // All or nothing: the new version goes in place only if every part of
    // it is there.
    if (install.report.exitStatus() != ExitInstalled || !install.swapIntoPlace()) {
        LOG(QStringLiteral("Atomic install abandoned, %1 unchanged").arg(destination));
        install.report.end(ExitAbandoned);
    } else {
        client.stopProgress();
    }
    // The abandoned new version, or the previous one.
    for (const RemoveFailure &failure : install.removeStaging()) {
        LOG(QStringLiteral("Unable to remove %1").arg(install.besideDestination(failure.path).text()));
        install.report.countFailure();
    }
}

void recursiveCopy(const QString source, const QString destination, PipeClient *client,
                   QMap<QString, QString> &links)
{
    Install &install = Install::active();
    const DirectoryJob &job = install.job(install.currentJob());
    if (job.isDestination) {
        LOG(QStringLiteral("Refusing to copy %1 into itself").arg(source));
        install.report.countFailure();
        return;
    }
    const int error = job.sourceError ? job.sourceError : job.listError;
    if (error == ENOENT || error == ENOTDIR || error == ELOOP) {
        // Gone, or replaced by something else, since it was listed.
        LOG(QStringLiteral("Directory %1 does not exist").arg(source));
        install.report.countFailure();
        return;
    }
    if (job.createError != 0) {
        // Every file below then fails on its own and is logged.
        LOG(QStringLiteral("Unable to create directory %1").arg(destination));
        install.report.countFailure();
    }
    if (error != 0) {
        LOG(QStringLiteral("Unable to read directory %1").arg(source));
        install.report.countFailure();
        return;
    }
    int subdirectories = 0, linksMet = 0;
    for (int entry = 0; entry < job.entryCount(); ++entry) {
        const QByteArray name = job.name(entry);
        const QString nameText = decodeFileName(name);
        const NativePath from = job.source.child(name, nameText);
        const NativePath to = job.destination.child(name, nameText);
        LOG(QStringLiteral("trying to copy file %1 -> %2").arg(from.text(), to.text()));

        switch (job.type(entry)) {
        case DT_LNK:
            links[to.text()] = install.recordLink(entry, linksMet++, to);
            break;
        case DT_REG:
            if (!install.fileInstalled(entry)) {
                LOG(QStringLiteral("Failed to copy file %1 from %2 to %3").arg(nameText, source, destination));
                install.report.countFailure();
            }
            client->nextProgress();
            break;
        case DT_DIR:
            install.enterJob(job.children[size_t(subdirectories++)]);
            recursiveCopy(from.text(), to.text(), client, links);
            install.leaveJob();
            break;
        case DT_UNKNOWN: // gone since the listing, or its type cannot be read
            LOG(QStringLiteral("Unable to read %1").arg(from.text()));
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
