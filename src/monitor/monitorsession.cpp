#include "monitorsession.h"

#include "fdwrite.h"
#include "jsonview.h"
#include "plainview.h"
#include "serverclaim.h"
#include "terminalview.h"

#include <QFileInfo>

#include <climits>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::unique_ptr<ProgressView> makeView(const MonitorOptions &options, const ProgressTracker &tracker)
{
    if (options.json)
        return std::make_unique<JsonView>(tracker);
    if (::isatty(STDOUT_FILENO))
        return std::make_unique<TerminalView>(tracker);
    return std::make_unique<PlainView>(tracker);
}

// The process that connected, as the kernel recorded it; 0 if unknown.
qint64 peerPid(const QLocalSocket *socket)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return 0;
    return credentials.pid;
}

} // namespace

MonitorSession::MonitorSession(const MonitorOptions &options, QObject *parent)
    : QObject(parent)
    , options(options)
    , view(makeView(options, tracker))
{
    facts.timeoutSeconds = options.timeoutSeconds;
    startDeadline.setSingleShot(true);
    startDeadline.setInterval(int(qMin(options.timeoutSeconds * 1000.0, double(INT_MAX))));
    connect(&startDeadline, &QTimer::timeout, this, [this] {
        facts.timedOut = true;
        finish();
    });
    drainTimer.setSingleShot(true);
    drainTimer.setInterval(drainAfterCommandMs);
    connect(&drainTimer, &QTimer::timeout, this, [this] {
        drainExpired = true;
        maybeFinish();
    });
    logFlush.setSingleShot(true);
    logFlush.setInterval(logFlushMs);
    connect(&logFlush, &QTimer::timeout, this, &MonitorSession::flushCommandOutput);
    connect(&server, &QLocalServer::newConnection, this, &MonitorSession::acceptConnections);
}

MonitorSession::~MonitorSession() = default;

void MonitorSession::start()
{
    if (!openLogFile())
        return;
    const ServerClaim claim = claimServerName(server, options.serverName);
    if (claim.status != ServerClaim::Status::Listening) {
        finish(Outcome{claim.status == ServerClaim::Status::Busy ? ExitNameBusy : ExitSetupFailed, claim.message});
        return;
    }
    if (claim.removedStaleSocket)
        writeStderr(QStringLiteral("ostrel-monitor: removed stale socket %1\n").arg(server.fullServerName()));
    view->listening(server.fullServerName());
    if (options.timeoutSeconds > 0)
        startDeadline.start();

    if (options.command.isEmpty())
        return;
    runner = new CommandRunner(options.command, QFileInfo(server.fullServerName()).absolutePath(), this);
    connect(runner, &CommandRunner::output, this, &MonitorSession::writeCommandOutput);
    connect(runner, &CommandRunner::finished, this, [this] {
        flushCommandOutput();
        // The command may have connected and written everything just before
        // it exited, faster than the event loop has looked: take in any
        // connection still waiting to be accepted; its bytes follow.
        server.waitForNewConnection(0);
        maybeFinish();
    });
    runner->start();
}

void MonitorSession::interrupt(int signal)
{
    facts.interruptedBy = signal;
    finish();
}

bool MonitorSession::openLogFile()
{
    if (options.logFile.isEmpty())
        return true;
    log.setFileName(options.logFile);
    if (log.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return true;
    finish(Outcome{ExitSetupFailed, QStringLiteral("cannot open log file %1: %2").arg(options.logFile, log.errorString())});
    return false;
}

void MonitorSession::acceptConnections()
{
    while (QLocalSocket *socket = server.nextPendingConnection()) {
        // Checked at once, while the peer is most likely still there to be found.
        if (installer || decided || (runner && !runner->isOwnProcess(peerPid(socket)))) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        silentConnections.append(socket);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { connectionClosed(socket); });
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

void MonitorSession::adoptInstaller(QLocalSocket *socket)
{
    installer = socket;
    facts.installerConnected = true;
    silentConnections.removeOne(socket);
    closeSilentConnections();
}

void MonitorSession::closeSilentConnections()
{
    for (QLocalSocket *socket : std::as_const(silentConnections)) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    silentConnections.clear();
}

void MonitorSession::readFrom(QLocalSocket *socket)
{
    if (!installer)
        adoptInstaller(socket);
    // Read even when nothing more will be parsed: an installer blocked on a
    // full socket buffer would crawl.
    const QByteArray bytes = socket->readAll();
    if (decided || !facts.protocolError.isEmpty())
        return;
    const ParseResult result = parser.feed(bytes);
    for (const ProgressMessage &message : result.messages) {
        tracker.apply(message);
        view->messageReceived(message);
        if (message.kind != ProgressMessage::Kind::Progress)
            startDeadline.stop();
        if (message.kind == ProgressMessage::Kind::Done)
            facts.doneReceived = true;
    }
    if (result.error)
        facts.protocolError = result.error->toString();
    maybeFinish();
}

void MonitorSession::connectionClosed(QLocalSocket *socket)
{
    if (socket == installer) {
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
        installerClosed = true;
    } else {
        silentConnections.removeOne(socket);
        socket->deleteLater();
    }
    maybeFinish();
}

void MonitorSession::maybeFinish()
{
    if (decided)
        return;
    if (runner && runner->isRunning())
        return;
    if (facts.doneReceived || !facts.protocolError.isEmpty()) {
        finish();
        return;
    }
    const bool connectionOpen = (installer && !installerClosed) || !silentConnections.isEmpty();
    if (connectionOpen && !drainExpired) {
        if (runner && !drainTimer.isActive())
            drainTimer.start();
        return;
    }
    // The installer's connection closed early, or the command exited without
    // one; without a command and without a connection, keep waiting.
    if (facts.installerConnected || runner)
        finish();
}

void MonitorSession::finish(const std::optional<Outcome> &setupFailure)
{
    if (decided)
        return;
    decided = true;
    startDeadline.stop();
    drainTimer.stop();
    if (runner) {
        // Still running only when the monitor was interrupted or timed out.
        runner->stopAndWait();
        facts.command = runner->result();
    }
    flushCommandOutput();
    // The sockets are the server's children and outlive this session's
    // members: one still open would report its closing, when they are torn
    // down, to a session half destroyed.
    closeSilentConnections();
    if (installer)
        installer->disconnect(this);
    server.close();

    const Outcome outcome = setupFailure ? *setupFailure : decideOutcome(facts);
    view->finished(outcome);
    if (!outcome.reason.isEmpty())
        writeStderr(QStringLiteral("ostrel-monitor: %1\n").arg(outcome.reason));
    emit finished(outcome.exitCode);
}

void MonitorSession::writeCommandOutput(const QByteArray &bytes)
{
    if (log.isOpen()) {
        logPending += bytes;
        if (!logFlush.isActive())
            logFlush.start();
        return;
    }
    stderrPending += bytes;
    const qsizetype end = stderrPending.lastIndexOf('\n') + 1;
    if (end == 0)
        return;
    view->aboutToWriteStderr();
    writeAll(STDERR_FILENO, stderrPending.first(end));
    stderrPending.remove(0, end);
}

void MonitorSession::flushCommandOutput()
{
    logFlush.stop();
    if (!logPending.isEmpty())
        log.write(logPending);
    logPending.clear();
    if (stderrPending.isEmpty())
        return;
    view->aboutToWriteStderr();
    writeAll(STDERR_FILENO, stderrPending + '\n');
    stderrPending.clear();
}

void MonitorSession::writeStderr(const QString &text)
{
    view->aboutToWriteStderr();
    writeAll(STDERR_FILENO, text.toLocal8Bit());
}
