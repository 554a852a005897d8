#include "pipeclient.h"

#include "log.h"
#include "nativename.h"
#include "protocol.h"

#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const int maxTries = 100;
const int connectTimeoutMs = 30000;
// How long the last messages may wait for an updater that has stopped
// reading: as long as one connection try may take.
const int deliveryTimeoutMs = connectTimeoutMs;
const int retryPauseMs = 100;
// Beyond this much, batched messages are written at once.
const qsizetype batchLimit = 16 * 1024;

// One connection attempt. A server whose queue of connections is full is
// waited for, up to `timeoutMs`.
UniqueFd connectOnce(const QByteArray &path, int timeoutMs)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof address.sun_path)
        return UniqueFd::failure(ENAMETOOLONG);
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (!fd.isValid() || ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0)
        return UniqueFd::failure(errno);
    while (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        if (errno != EINTR)
            return UniqueFd::failure(errno);
    return fd;
}

} // namespace

PipeClient::PipeClient(QObject *parent)
    : QObject(parent)
{
}

PipeClient::~PipeClient()
{
    deliver();
}

bool PipeClient::connect(const QString &connectionName)
{
    LOG(QStringLiteral("Connect to Updater start"));
    // Every call starts afresh, also on a client that is already connected.
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        socketFd = -1;
        socket.reset();
    }
    const QByteArray path = encodeFileName(ostrel::protocol::localServerPath(connectionName));
    UniqueFd connected;
    QElapsedTimer sinceTry;
    for (int attempt = 1;; ++attempt) {
        sinceTry.start();
        LOG(QStringLiteral("Try #%1").arg(attempt));
        // The last attempt is reported as a failure even if it would
        // connect at once.
        if (attempt > maxTries)
            break;
        connected = connectOnce(path, connectTimeoutMs);
        if (connected.isValid())
            break;
        // With no socket to connect to, a try fails at once. Pausing keeps
        // the tries spread over several seconds, so an updater that starts
        // listening just after starting us is still found.
        const qint64 left = retryPauseMs - sinceTry.elapsed();
        if (left > 0)
            QThread::msleep(left);
    }
    LOG(QStringLiteral("Connect to Updater done"));
    progressCount = 0;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        queued.clear();
        // Messages go through a queue of our own that any thread may flush.
        socket = std::move(connected);
        socketFd = socket.get();
    }
    return socketFd >= 0;
}

void PipeClient::startProgress(int count)
{
    LOG(QStringLiteral("Files to install %1").arg(count));
    // A reader of both streams (the monitor, the client) learns the phase
    // from the lines: the lines before the start and done messages are on
    // their way before them.
    ostrel::flushLog();
    send(ostrel::protocol::startKeyword + QByteArray::number(count) + '\n');
}

void PipeClient::progress(int c)
{
    LOG(QStringLiteral("%1 files copied").arg(c));
    send(ostrel::protocol::progressKeyword + QByteArray::number(c) + '\n');
}

void PipeClient::nextProgress()
{
    progress(++progressCount);
}

void PipeClient::stopProgress()
{
    LOG(QStringLiteral("Installed"));
    ostrel::flushLog();
    send(ostrel::protocol::doneKeyword + QByteArray(1, '\n'));
    const qint64 undelivered = deliver();
    if (undelivered > 0)
        LOG(QStringLiteral("Unable to deliver the last %1 bytes of progress to the Updater").arg(undelivered));
}

void PipeClient::onPipeError(int err)
{
    // Log readers know this line by the function text it had when the
    // error was QLocalSocket's enum (see log.h); without the network
    // library, the text is given as it was.
    ::ostrel::writeLogLine(__FILE__, __LINE__, "void PipeClient::onPipeError(QLocalSocket::LocalSocketError)",
                           QStringLiteral("QLocalSocket error: %1").arg(err));
}

void PipeClient::batchMessages(bool on)
{
    std::lock_guard<std::mutex> lock(queueMutex);
    batching = on;
    writeQueued();
}

void PipeClient::flushMessages()
{
    std::lock_guard<std::mutex> lock(queueMutex);
    writeQueued();
}

void PipeClient::send(const QByteArray &message)
{
    // Once the updater has gone there is nobody to write to. Otherwise the
    // message waits in the queue until the kernel takes it: a slow updater
    // costs memory, never time per file.
    std::lock_guard<std::mutex> lock(queueMutex);
    if (socketFd < 0)
        return;
    queued += message;
    if (!batching || queued.size() >= batchLimit)
        writeQueued();
}

void PipeClient::writeQueued()
{
    qsizetype written = 0;
    while (socketFd >= 0 && written < queued.size()) {
        // MSG_NOSIGNAL: an updater that has gone must not kill us.
        const ssize_t n = ::send(socketFd, queued.constData() + written, size_t(queued.size() - written), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            written += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break; // full: the rest goes next time
        } else {
            socketFd = -1; // the updater has gone
            queued.clear();
            return;
        }
    }
    queued.remove(0, written);
}

qint64 PipeClient::deliver()
{
    std::lock_guard<std::mutex> lock(queueMutex);
    QElapsedTimer waiting;
    waiting.start();
    writeQueued();
    while (socketFd >= 0 && !queued.isEmpty()) {
        const qint64 left = deliveryTimeoutMs - waiting.elapsed();
        pollfd writable{socketFd, POLLOUT, 0};
        if (left <= 0 || (::poll(&writable, 1, int(left)) < 0 && errno != EINTR))
            break;
        writeQueued();
    }
    return queued.size();
}
