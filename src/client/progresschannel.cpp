#include "progresschannel.h"

#include <QFileInfo>

#include <sys/socket.h>

namespace Ostrel {

namespace {

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

ProgressChannel::ProgressChannel(QObject *parent)
    : QObject(parent)
{
    drainTimer.setSingleShot(true);
    drainTimer.setInterval(drainAfterCommandMs);
    connect(&drainTimer, &QTimer::timeout, this, [this] {
        drainExpired = true;
        maybeSettle();
    });
    connect(&server, &QLocalServer::newConnection, this, &ProgressChannel::acceptConnections);
}

ProgressChannel::~ProgressChannel()
{
    // The runner and the sockets are children and would outlive the members
    // they report to.
    delete runner;
    runner = nullptr;
    close();
}

ServerClaim ProgressChannel::listen(const QString &name)
{
    return claimServerName(server, name);
}

void ProgressChannel::startCommand(const QStringList &command)
{
    runner = new CommandRunner(command, QFileInfo(server.fullServerName()).absolutePath(), this);
    connect(runner, &CommandRunner::output, this, &ProgressChannel::commandOutput);
    connect(runner, &CommandRunner::finished, this, [this] {
        emit commandFinished();
        if (ended)
            return;
        // The command may have connected and written everything just before
        // it exited, faster than the event loop has looked: take in any
        // connection still waiting to be accepted; its bytes follow.
        server.waitForNewConnection(0);
        maybeSettle();
    });
    runner->start();
}

void ProgressChannel::close()
{
    end();
    closeSilentConnections();
    if (installer)
        installer->disconnect(this);
    server.close();
}

void ProgressChannel::acceptConnections()
{
    while (QLocalSocket *socket = server.nextPendingConnection()) {
        // Checked at once, while the peer is most likely still there to be found.
        if (installer || ended || (runner && !runner->isOwnProcess(peerPid(socket)))) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        silentConnections.append(socket);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { connectionClosed(socket); });
        const bool arrived = runner && !ownConnected;
        ownConnected = ownConnected || runner;
        if (arrived)
            emit installerArrived();
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
    }
}

void ProgressChannel::adoptInstaller(QLocalSocket *socket)
{
    const bool arrived = !installerPresent();
    installer = socket;
    silentConnections.removeOne(socket);
    closeSilentConnections();
    if (arrived)
        emit installerArrived();
}

void ProgressChannel::closeSilentConnections()
{
    for (QLocalSocket *socket : std::as_const(silentConnections)) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    silentConnections.clear();
}

void ProgressChannel::readFrom(QLocalSocket *socket)
{
    if (!installer)
        adoptInstaller(socket);
    // Read even when nothing more will be parsed: an installer blocked on a
    // full socket buffer would crawl.
    const QByteArray bytes = socket->readAll();
    if (ended || !error.isEmpty())
        return;
    const ParseResult result = parser.feed(bytes);
    for (const ProgressMessage &message : result.messages) {
        if (message.kind == ProgressMessage::Kind::Done)
            done = true;
        emit messageReceived(message);
        if (ended)
            return;
    }
    if (result.error)
        error = result.error->toString();
    maybeSettle();
}

void ProgressChannel::connectionClosed(QLocalSocket *socket)
{
    if (socket == installer) {
        if (socket->bytesAvailable() > 0)
            readFrom(socket);
        installerClosed = true;
    } else {
        silentConnections.removeOne(socket);
        socket->deleteLater();
    }
    maybeSettle();
}

void ProgressChannel::maybeSettle()
{
    if (ended)
        return;
    if (runner && runner->isRunning())
        return;
    if (done || !error.isEmpty()) {
        emit settled();
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
    if (installer || runner)
        emit settled();
}

} // namespace Ostrel
