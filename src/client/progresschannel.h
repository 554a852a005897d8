#pragma once

#include "commandrunner.h"
#include "progressparser.h"
#include "serverclaim.h"

#include <QList>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QTimer>

namespace Ostrel {

// The updater's end of one install, shared by InstallerClient and
// ostrel-monitor: listens, starts the command if there is one, reads the
// installer's connection and tells when nothing more can change the result.
//
// A connection counts as the installer's once it sends its first byte; one
// that closes without a byte is taken for a probe (another monitor checking
// whether the name is in use) and forgotten. When a command was started,
// only its own process or one of its descendants (by the peer credentials
// the kernel recorded) can be the installer: any other connection is closed
// at once, so that a stray or hostile client of the same user cannot fail or
// fake the install; such a connection is known to be the installer's as
// soon as it is accepted, before its first byte. Once the installer is
// known, further connections are closed at once.
class ProgressChannel : public QObject
{
    Q_OBJECT

public:
    explicit ProgressChannel(QObject *parent = nullptr);
    ~ProgressChannel() override;

    ServerClaim listen(const QString &name);
    QString serverPath() const { return server.fullServerName(); }
    // Runs `command` with TMPDIR set to the socket's directory.
    void startCommand(const QStringList &command);
    CommandRunner *command() const { return runner; }

    bool installerConnected() const { return installer != nullptr; }
    // Whether the installer is known to be connected, though it may not
    // have written yet (see above).
    bool installerPresent() const { return installer != nullptr || ownConnected; }
    bool doneReceived() const { return done; }
    QString protocolError() const { return error; } // empty while the stream is well-formed

    // No more reading, accepting or signals: the owner is deciding the result.
    void end() { ended = true; drainTimer.stop(); }
    // Ends, closes every connection and stops listening (the socket file goes).
    void close();

signals:
    // installerPresent() has become true.
    void installerArrived();
    void messageReceived(const Ostrel::ProgressMessage &message);
    void commandOutput(const QByteArray &bytes);
    void commandFinished();
    // Nothing that arrives from now on can change the result: the done
    // message or a protocol error arrived and the command (if any) exited,
    // or the connection closed, or the command exited without one.
    // Without a command and without a connection, the channel keeps waiting.
    void settled();

private:
    // How long an exited command's connection may stay open before the run
    // ends without it (only a process the command left behind can hold it).
    static constexpr int drainAfterCommandMs = 2000;

    void acceptConnections();
    void readFrom(QLocalSocket *socket);
    void connectionClosed(QLocalSocket *socket);
    void adoptInstaller(QLocalSocket *socket);
    void closeSilentConnections();
    void maybeSettle();

    QLocalServer server;
    QList<QLocalSocket *> silentConnections;
    QLocalSocket *installer = nullptr;
    bool installerClosed = false;
    bool ownConnected = false; // a connection of the command's own is open
    ProgressParser parser;
    CommandRunner *runner = nullptr;
    QTimer drainTimer;
    bool drainExpired = false;
    bool done = false;
    QString error;
    bool ended = false;
};

} // namespace Ostrel
