#include "pipeclient.h"

#include "log.h"

#include <QElapsedTimer>
#include <QThread>

namespace {

const int maxTries = 100;
const int connectTimeoutMs = 30000;
// How long the last messages may wait for an updater that has stopped
// reading: as long as one connection try may take.
const int deliveryTimeoutMs = connectTimeoutMs;
const int retryPauseMs = 100;

} // namespace

PipeClient::PipeClient(QObject *parent)
    : QObject(parent)
    , localSocket(new QLocalSocket(this))
{
}

PipeClient::~PipeClient()
{
    deliver();
    delete localSocket;
}

bool PipeClient::connect(const QString &connectionName)
{
    LOG(QStringLiteral("Connect to Updater start"));
    // Every call starts afresh, also on a client that is already connected.
    localSocket->abort();
    bool connected = false;
    QElapsedTimer sinceTry;
    for (int attempt = 1;; ++attempt) {
        sinceTry.start();
        localSocket->connectToServer(connectionName, QIODevice::ReadWrite);
        LOG(QStringLiteral("Try #%1").arg(attempt));
        // The last attempt gets no wait: it is reported as a failure even if
        // it happened to connect at once.
        if (attempt > maxTries)
            break;
        if (localSocket->waitForConnected(connectTimeoutMs)) {
            connected = true;
            break;
        }
        // With no socket to connect to, a try fails at once. Pausing keeps
        // the tries spread over several seconds, so an updater that starts
        // listening just after starting us is still found.
        const qint64 left = retryPauseMs - sinceTry.elapsed();
        if (left > 0)
            QThread::msleep(left);
    }
    LOG(QStringLiteral("Connect to Updater done"));
    progressCount = 0;
    return connected;
}

void PipeClient::startProgress(int count)
{
    LOG(QStringLiteral("Files to install %1").arg(count));
    send(".START_" + QByteArray::number(count) + '\n');
}

void PipeClient::progress(int c)
{
    LOG(QStringLiteral("%1 files copied").arg(c));
    send(".PROGRESS_" + QByteArray::number(c) + '\n');
}

void PipeClient::nextProgress()
{
    progress(++progressCount);
}

void PipeClient::stopProgress()
{
    LOG(QStringLiteral("Installed"));
    send(QByteArrayLiteral(".DONE_\n"));
    const qint64 undelivered = deliver();
    if (undelivered > 0)
        LOG(QStringLiteral("Unable to deliver the last %1 bytes of progress to the Updater").arg(undelivered));
}

void PipeClient::onPipeError(QLocalSocket::LocalSocketError err)
{
    LOG(QStringLiteral("QLocalSocket error: %1").arg(int(err)));
}

void PipeClient::send(const QByteArray &message)
{
    // Once the updater has gone there is nobody to write to; writing to the
    // closed socket would only make Qt print warnings of its own on standard
    // error, which must carry nothing but our lines.
    if (localSocket->state() != QLocalSocket::ConnectedState)
        return;
    // The socket keeps what the kernel cannot take yet, and each message
    // hands on as much as the kernel takes now, without waiting: a slow
    // updater costs memory, never time per file.
    localSocket->write(message.constData(), message.size());
    localSocket->flush();
}

qint64 PipeClient::deliver()
{
    QElapsedTimer waiting;
    waiting.start();
    while (localSocket->state() == QLocalSocket::ConnectedState && localSocket->bytesToWrite() > 0) {
        const qint64 left = deliveryTimeoutMs - waiting.elapsed();
        if (left <= 0 || !localSocket->waitForBytesWritten(int(left)))
            break;
    }
    return localSocket->state() == QLocalSocket::ConnectedState ? localSocket->bytesToWrite() : 0;
}
