#include "pipeclient.h"

#include "log.h"

#include <QElapsedTimer>
#include <QThread>

namespace {

const int maxTries = 100;
const int connectTimeoutMs = 30000;
const int writeTimeoutMs = 1000;
const int retryPauseMs = 100;

} // namespace

PipeClient::PipeClient(QObject *parent)
    : QObject(parent)
    , localSocket(new QLocalSocket(this))
{
}

PipeClient::~PipeClient()
{
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
}

void PipeClient::onPipeError(QLocalSocket::LocalSocketError err)
{
    LOG(QStringLiteral("QLocalSocket error: %1").arg(int(err)));
}

void PipeClient::send(const QByteArray &message)
{
    // Once the updater has gone there is nobody to write to; writing or
    // waiting on the closed socket would only make Qt print warnings of its
    // own on standard error, which must carry nothing but our lines.
    if (localSocket->state() != QLocalSocket::ConnectedState)
        return;
    localSocket->write(message.constData(), message.size());
    // Hand the bytes to the kernel at once; only when it cannot take them
    // all (the updater is behind on reading) is there anything to wait for.
    localSocket->flush();
    if (localSocket->bytesToWrite() > 0 && localSocket->state() == QLocalSocket::ConnectedState)
        localSocket->waitForBytesWritten(writeTimeoutMs);
}
