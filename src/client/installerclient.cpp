#include "ostrel/installerclient.h"

#include "installerlines.h"
#include "logplacement.h"
#include "progresschannel.h"
#include "protocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <utility>

namespace Ostrel {

class InstallerClientPrivate
{
public:
    struct Result
    {
        InstallerClient::Outcome outcome;
        int exitStatus;
        QString reason;
    };

    Result decide() const;
    // The outcome an exit status means, with a reason in the client's words.
    Result decideByStatus(int status, const CommandResult &command) const;

    QString program;
    QString source;
    QString destination;
    bool atomic = false;
    bool changedOnly = false;
    bool keepPrevious = false;
    QString logPath;

    // One run's state, made by start() or rollback() and dropped when the
    // run is decided.
    bool running = false;
    bool rollingBack = false;
    bool cancelled = false;
    int total = 0;
    std::unique_ptr<QTemporaryDir> socketDirectory;
    std::unique_ptr<ProgressChannel> channel;
    std::unique_ptr<InstallerLines> lines;
    QFile log;
    QByteArray partialLine;
};

InstallerClientPrivate::Result InstallerClientPrivate::decide() const
{
    const CommandResult command = channel->command()->result();
    if (command.kind == CommandResult::Kind::FailedToStart)
        return {InstallerClient::FailedToStart, -1, command.describe()};
    if (command.kind == CommandResult::Kind::Killed) {
        if (cancelled)
            return {InstallerClient::Interrupted, 128 + command.code,
                    rollingBack ? QStringLiteral("the rollback was cancelled") : QStringLiteral("the install was cancelled")};
        return {InstallerClient::Crashed, 128 + command.code, command.describe()};
    }
    const int status = command.code;
    if (!channel->protocolError().isEmpty())
        return {InstallerClient::ProtocolError, status, QStringLiteral("protocol error at ") + channel->protocolError()};
    Result result = decideByStatus(status, command);
    if (const QString said = lines->reason(status); !said.isEmpty() && result.outcome != InstallerClient::Crashed)
        result.reason = said;
    return result;
}

InstallerClientPrivate::Result InstallerClientPrivate::decideByStatus(int status, const CommandResult &command) const
{
    switch (status) {
    case ExitInstalled:
        if (!channel->doneReceived())
            return {InstallerClient::ProtocolError, status,
                    QStringLiteral("%1 exited with status 0 without sending the done message").arg(command.name)};
        if (rollingBack)
            return {InstallerClient::RolledBack, status,
                    QStringLiteral("rolled back %1 to the version kept before").arg(destination)};
        return {InstallerClient::Installed, status, QStringLiteral("installed into %1").arg(destination)};
    case ExitIncomplete:
        return {InstallerClient::InstalledWithFailures, status,
                QStringLiteral("installed into %1, but some entries failed (see the installer's log)").arg(destination)};
    case ExitSourceNotDirectory:
        return {InstallerClient::RefusedNotADirectory, status, QStringLiteral("%1 is not a directory").arg(source)};
    case ExitSourceMissing:
        return {InstallerClient::RefusedSourceMissing, status,
                QStringLiteral("%1 does not exist or cannot be opened").arg(source)};
    case ExitNoUpdater:
        return {InstallerClient::NoUpdater, status, QStringLiteral("the installer could not connect to the updater")};
    case ExitOverlap:
        return {InstallerClient::RefusedOverlap, status,
                QStringLiteral("%1 and %2 overlap: one lies inside the other").arg(source, destination)};
    case ExitBusy:
        return {InstallerClient::RefusedBusy, status, QStringLiteral("another install into %1 is running").arg(destination)};
    case ExitAbandoned:
        return {InstallerClient::Abandoned, status,
                QStringLiteral("the install failed and was undone; %1 is unchanged").arg(destination)};
    case ExitAtomicImpossible:
        return {InstallerClient::RefusedAtomicImpossible, status,
                QStringLiteral("%1 cannot be replaced in one step").arg(destination)};
    case ExitNothingKept:
        // Only a rollback can find nothing kept; from an install the status means nothing.
        if (rollingBack)
            return {InstallerClient::RefusedNothingKept, status,
                    QStringLiteral("no previous version of %1 is kept").arg(destination)};
        break;
    case ExitBadArguments:
        return {InstallerClient::Crashed, status, command.describe() + QStringLiteral(" (bad command line)")};
    }
    return {InstallerClient::Crashed, status, command.describe()};
}

InstallerClient::InstallerClient(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<InstallerClientPrivate>())
{
}

// The channel goes first: it stops (kills) an installer still running.
InstallerClient::~InstallerClient() = default;

QString InstallerClient::installerProgram() const
{
    return d->program.isEmpty() ? defaultInstallerProgram() : d->program;
}

void InstallerClient::setInstallerProgram(const QString &program) { d->program = program; }
QString InstallerClient::source() const { return d->source; }
void InstallerClient::setSource(const QString &directory) { d->source = directory; }
QString InstallerClient::destination() const { return d->destination; }
void InstallerClient::setDestination(const QString &directory) { d->destination = directory; }
bool InstallerClient::isAtomic() const { return d->atomic; }
void InstallerClient::setAtomic(bool atomic) { d->atomic = atomic; }
bool InstallerClient::isChangedOnly() const { return d->changedOnly; }
void InstallerClient::setChangedOnly(bool changedOnly) { d->changedOnly = changedOnly; }
bool InstallerClient::keepsPrevious() const { return d->keepPrevious; }
void InstallerClient::setKeepPrevious(bool keepPrevious) { d->keepPrevious = keepPrevious; }
QString InstallerClient::logFile() const { return d->logPath; }
void InstallerClient::setLogFile(const QString &path) { d->logPath = path; }
bool InstallerClient::isRunning() const { return d->running; }

QString InstallerClient::describePhase(Phase phase, const QString &file)
{
    switch (phase) {
    case Starting: return QStringLiteral("starting the installer");
    case Clearing: return QStringLiteral("removing the previous contents");
    case Copying: return file.isEmpty() ? QStringLiteral("copying") : QStringLiteral("copying ") + file;
    case Linking: return QStringLiteral("creating the links");
    case Syncing: return QStringLiteral("writing everything to disk");
    // Said of an install and of a rollback alike, which swaps the kept version in.
    case Swapping: return QStringLiteral("swapping the versions");
    case RemovingPrevious: return QStringLiteral("removing the previous version");
    case RemovingAbandoned: return QStringLiteral("removing the abandoned new version");
    case KeepingPrevious: return QStringLiteral("keeping the previous version");
    case RollingBack: return QStringLiteral("rolling back to the kept version");
    }
    return QString();
}

QString InstallerClient::defaultInstallerProgram()
{
    const QString name = QStringLiteral("ostrel-installer");
    const QString beside = QStandardPaths::findExecutable(name, {QCoreApplication::applicationDirPath()});
    return beside.isEmpty() ? QStandardPaths::findExecutable(name) : beside;
}

void InstallerClient::start()
{
    if (d->running)
        return;
    d->rollingBack = false;
    if (d->source.isEmpty() || d->destination.isEmpty())
        return refuse(QStringLiteral("no source or no destination given"));
    // The installer would refuse the command line, and the client never
    // passes a bad one.
    if (d->keepPrevious && !d->atomic)
        return refuse(QStringLiteral("only an atomic install keeps the previous version: "
                                     "setKeepPrevious() needs setAtomic(true)"));
    QStringList arguments{d->source, d->destination};
    if (d->atomic)
        arguments << QStringLiteral("--atomic");
    if (d->changedOnly)
        arguments << QStringLiteral("--changed-only");
    if (d->keepPrevious)
        arguments << QStringLiteral("--keep-previous");
    run(arguments);
}

void InstallerClient::rollback()
{
    if (d->running)
        return;
    d->rollingBack = true;
    if (d->destination.isEmpty())
        return refuse(QStringLiteral("no destination given"));
    run({QStringLiteral("--rollback"), d->destination});
}

void InstallerClient::refuse(const QString &reason)
{
    d->running = true; // until finished(), as for a run that began
    d->log.close();
    d->channel.reset();
    d->lines.reset();
    d->socketDirectory.reset();
    // From the event loop, as every other end.
    QMetaObject::invokeMethod(this, [this, reason] {
        d->running = false;
        emit finished(FailedToStart, -1, reason);
    }, Qt::QueuedConnection);
}

void InstallerClient::run(const QStringList &arguments)
{
    d->running = true;
    d->cancelled = false;
    d->total = 0;
    d->partialLine.clear();

    const QString program = installerProgram();
    if (program.isEmpty())
        return refuse(QStringLiteral("ostrel-installer was found neither next to the application nor in PATH"));
    // Only this user can create a socket in it, so nobody else can listen
    // as the updater the installer looks for.
    d->socketDirectory = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/ostrel-updater-XXXXXX"));
    if (!d->socketDirectory->isValid())
        return refuse(QStringLiteral("cannot create a socket directory in %1: %2")
                              .arg(QDir::tempPath(), d->socketDirectory->errorString()));
    if (!d->logPath.isEmpty()) {
        if (const QString why = logInsideDestination(d->logPath, d->destination); !why.isEmpty())
            return refuse(why);
        d->log.setFileName(d->logPath);
        if (!d->log.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return refuse(QStringLiteral("cannot open log file %1: %2").arg(d->logPath, d->log.errorString()));
    }

    d->channel = std::make_unique<ProgressChannel>();
    d->lines = std::make_unique<InstallerLines>();
    ProgressChannel *channel = d->channel.get();
    connect(d->lines.get(), &InstallerLines::phaseChanged, this, [this](Phase phase) { emit phaseChanged(phase, QString()); });
    connect(d->lines.get(), &InstallerLines::lasting, this, [this](Phase phase, const QString &file) {
        if (phase == Copying && !file.isEmpty())
            emit phaseChanged(phase, file);
    });
    connect(channel, &ProgressChannel::messageReceived, this, [this](const ProgressMessage &message) {
        if (message.kind == ProgressMessage::Kind::Start) {
            d->total = message.number;
            emit started(message.number);
            d->lines->copyStarted();
        } else if (message.kind == ProgressMessage::Kind::Progress) {
            emit progress(message.number, d->total);
        }
    });
    connect(channel, &ProgressChannel::commandOutput, this, [this](const QByteArray &bytes) {
        // Flushed chunk by chunk (the installer writes in batches), so the
        // file can be followed while the install runs.
        if (d->log.isOpen())
            d->log.write(bytes), d->log.flush();
        d->lines->feed(bytes);
        d->partialLine += bytes;
        qsizetype from = 0;
        for (qsizetype end; (end = d->partialLine.indexOf('\n', from)) >= 0; from = end + 1)
            emit logLine(d->partialLine.sliced(from, end - from));
        d->partialLine.remove(0, from);
    });
    // Decided from the event loop: the installer may fail to start inside
    // this call itself, and no signal may come from there.
    connect(channel, &ProgressChannel::settled, this, [this, channel] {
        channel->end();
        QMetaObject::invokeMethod(this, [this] { finishRun(); }, Qt::QueuedConnection);
    });
    const ServerClaim claim = channel->listen(d->socketDirectory->filePath(QLatin1String(ostrel::protocol::serverName)));
    if (claim.status != ServerClaim::Status::Listening)
        return refuse(claim.message);
    channel->startCommand(QStringList{program} + arguments);
}

void InstallerClient::finishRun()
{
    d->channel->close(); // the socket file goes
    const InstallerClientPrivate::Result result = d->decide();
    d->channel.reset();
    d->lines.reset();
    d->socketDirectory.reset();
    if (!d->partialLine.isEmpty())
        emit logLine(std::exchange(d->partialLine, {}));
    d->log.close();
    d->running = false;
    emit finished(result.outcome, result.exitStatus, result.reason);
}

void InstallerClient::cancel()
{
    if (!d->channel || !d->channel->command() || !d->channel->command()->isRunning())
        return;
    d->cancelled = true;
    d->channel->command()->terminate();
}

} // namespace Ostrel
