#include "outputsink.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

OutputSink *OutputSink::forStream(int fd, const QString &what, QObject *parent)
{
    struct stat info{};
    const bool known = ::fstat(fd, &info) == 0;
    if (known && S_ISSOCK(info.st_mode)) {
        OutputSink *sink = new OutputSink(fd, UniqueFd(), what, parent);
        sink->socket = true;
        return sink;
    }
    if (!known || !(S_ISFIFO(info.st_mode) || ::isatty(fd)))
        return new OutputSink(fd, UniqueFd(), what, parent);
    // O_NONBLOCK on the shared description would reach the shell and every
    // other program writing or reading through it.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    UniqueFd own(::open(self.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (own.isValid()) {
        const int ownFd = own.get();
        return new OutputSink(ownFd, std::move(own), what, parent);
    }
    // ENXIO: a pipe nobody reads any more, where a write fails at once.
    const int error = errno;
    OutputSink *sink = new OutputSink(fd, UniqueFd(), what, parent);
    const int flags = ::fcntl(fd, F_GETFL);
    if (error != ENXIO && flags >= 0 && !(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0)
        sink->restoreFlags = flags;
    return sink;
}

OutputSink::OutputSink(UniqueFd file, const QString &what, QObject *parent)
    : OutputSink(file.get(), std::move(file), what, parent)
{
}

OutputSink::OutputSink(int fd, UniqueFd owned, const QString &what, QObject *parent)
    : QObject(parent)
    , fd(fd)
    , owned(std::move(owned))
    , what(what)
{
}

OutputSink::~OutputSink()
{
    if (restoreFlags >= 0)
        ::fcntl(fd, F_SETFL, restoreFlags);
}

void OutputSink::write(QByteArrayView bytes)
{
    if (failedForGood || bytes.isEmpty())
        return;
    pending.append(bytes.data(), bytes.size());
    writePending();
    if (pending.size() > maxPending)
        fail(QStringLiteral("more than %1 MiB waiting, nobody reads it").arg(maxPending >> 20));
}

void OutputSink::writePending()
{
    const bool waited = notifier && notifier->isEnabled();
    qsizetype written = 0;
    while (written < pending.size()) {
        const char *data = pending.constData() + written;
        const size_t size = size_t(pending.size() - written);
        const ssize_t n = socket ? ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd, data, size);
        if (n > 0) {
            written += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            fail(QString::fromLocal8Bit(std::strerror(n < 0 ? errno : EIO)));
            return;
        }
    }
    pending.remove(0, written);
    if (!pending.isEmpty()) {
        if (!notifier) {
            notifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
            connect(notifier, &QSocketNotifier::activated, this, &OutputSink::writePending);
        }
        notifier->setEnabled(true);
        return;
    }
    if (notifier)
        notifier->setEnabled(false);
    if (waited)
        emit drained();
}

void OutputSink::fail(const QString &reason)
{
    failedForGood = true;
    pending.clear();
    if (notifier)
        notifier->setEnabled(false);
    emit failed(QStringLiteral("cannot write %1: %2").arg(what, reason));
    emit drained();
}
