#pragma once

// PipeClient: the installer's one-way progress channel to the updater.

#include "uniquefd.h"

#include <QObject>

#include <mutex>

// The installer's one-way channel to the updater, a local socket on which it
// writes the messages of protocol.h. There is no event loop: connecting
// blocks, sending never does. Nothing is ever read back. The socket is a
// plain Unix-domain one, found where a QLocalServer of that name listens,
// so the installer loads no network library.
//
// The operations are slots so that the updater side can reach them through
// the meta-object, but the installer calls them directly.
class PipeClient : public QObject
{
    Q_OBJECT

public:
    explicit PipeClient(QObject *parent = nullptr);
    ~PipeClient() override;

public slots:
    // Tries to connect to the local server `connectionName` (a path, or a
    // name in the temporary directory, as QLocalServer takes it): up to 101
    // connection attempts, each but the last followed by a wait of up to
    // 30 s; tries that fail at once are spaced 100 ms apart, so a missing
    // updater is given about 10 s. Returns true once connected, false when
    // the tries ran out.
    // Resets the progress count to 0 either way.
    bool connect(const QString &connectionName);

    // Each of these logs its line, then queues its message, which leaves as
    // soon as the updater reads: the calls never wait for it. stopProgress
    // then waits up to 30 s for everything queued to leave and logs what
    // could not. A closed or lost connection is not an error: the line is
    // still logged and the call returns normally.
    void startProgress(int count);
    void progress(int c);
    void nextProgress(); // progress(++count)
    void stopProgress();

private slots:
    // Not connected to anything; kept reachable by name for diagnostics.
    // `err` is a QLocalSocket::LocalSocketError.
    void onPipeError(int err);

public:
    // With batching on, messages wait in the queue until flushMessages()
    // (or until 16 KiB are queued): the same bytes in fewer system calls.
    void batchMessages(bool on);
    // Hands the kernel as much of the queue as it takes now, without
    // waiting. Safe from any thread.
    void flushMessages();

private:
    void send(const QByteArray &message);
    void writeQueued(); // with queueMutex held
    // Waits up to 30 s for everything queued to leave; returns what is left.
    qint64 deliver();

    int progressCount = 0;
    std::mutex queueMutex;
    QByteArray queued;
    UniqueFd socket;
    int socketFd = -1; // socket while the updater is there, -1 once it has gone
    bool batching = false;
};
