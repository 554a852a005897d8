#include "serverclaim.h"

#include "protocol.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace Ostrel {

namespace {

const int probeTimeoutMs = 2000;

ServerClaim refuse(ServerClaim::Status status, const QString &message)
{
    ServerClaim claim;
    claim.status = status;
    claim.message = message;
    return claim;
}

} // namespace

ServerClaim claimServerName(QLocalServer &server, const QString &name)
{
    // A bare name lives in QDir::tempPath(), which comes out empty when
    // TMPDIR names something that is not a directory: the socket would then
    // go to the root directory.
    if (!name.startsWith(QLatin1Char('/'))) {
        const QByteArray tmpdir = qgetenv("TMPDIR");
        const QByteArray directory = tmpdir.isEmpty() ? QByteArrayLiteral("/tmp") : tmpdir;
        struct stat info{};
        const int error = ::stat(directory.constData(), &info) != 0 ? errno : !S_ISDIR(info.st_mode) ? ENOTDIR : 0;
        if (error || QDir::tempPath().isEmpty())
            return refuse(ServerClaim::Status::Failed,
                          QStringLiteral("%1 %2 is not a usable directory for %3: %4")
                                  .arg(tmpdir.isEmpty() ? QStringLiteral("the temporary directory") : QStringLiteral("TMPDIR"),
                                       QFile::decodeName(directory), name,
                                       QString::fromLocal8Bit(std::strerror(error ? error : ENOENT))));
    }
    const QString path = ostrel::protocol::localServerPath(name);
    const QByteArray nativePath = QFile::encodeName(path);
    bool removedStale = false;

    struct stat info{};
    if (::lstat(nativePath.constData(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode))
            return refuse(ServerClaim::Status::Failed, path + QStringLiteral(" exists and is not a socket"));

        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(probeTimeoutMs)) {
            probe.abort();
            return refuse(ServerClaim::Status::Busy,
                          QStringLiteral("another process is already listening on ") + path);
        }
        // Only a refused connection proves nobody is there; on a time-out or
        // a permission error the owner may well be alive.
        if (probe.error() != QLocalSocket::ConnectionRefusedError)
            return refuse(ServerClaim::Status::Failed,
                          QStringLiteral("cannot tell whether %1 is in use: %2").arg(path, probe.errorString()));
        if (!QLocalServer::removeServer(path))
            return refuse(ServerClaim::Status::Failed, QStringLiteral("cannot remove stale socket ") + path);
        removedStale = true;
    } else if (errno != ENOENT) {
        return refuse(ServerClaim::Status::Failed,
                      QStringLiteral("cannot inspect %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    }

    if (!server.listen(path)) {
        // Lost a race with another monitor that started at the same moment.
        if (server.serverError() == QAbstractSocket::AddressInUseError)
            return refuse(ServerClaim::Status::Busy, QStringLiteral("another process is already listening on ") + path);
        return refuse(ServerClaim::Status::Failed,
                      QStringLiteral("cannot listen on %1: %2").arg(path, server.errorString()));
    }
    ServerClaim claim;
    claim.status = ServerClaim::Status::Listening;
    claim.removedStaleSocket = removedStale;
    return claim;
}

} // namespace Ostrel
