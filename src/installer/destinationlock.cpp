#include "destinationlock.h"

#include <QCryptographicHash>
#include <QList>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// The directory `path`, created (0700) if missing, provided it is a
// directory of this user's that nobody else can write; invalid otherwise
// (EPERM when it is someone else's, or others may write it).
UniqueFd openPrivateDirectory(const QByteArray &path)
{
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return UniqueFd::failure(errno);
    UniqueFd directory(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status;
    if (!directory.isValid())
        return directory;
    if (::fstat(directory.get(), &status) != 0)
        return UniqueFd::failure(errno);
    if (status.st_uid != ::geteuid() || (status.st_mode & 022) != 0)
        return UniqueFd::failure(EPERM);
    return directory;
}

QList<QByteArray> lockDirectoryCandidates()
{
    if (::geteuid() == 0)
        return {QByteArrayLiteral("/run/ostrel-installer")};
    QList<QByteArray> candidates;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.startsWith('/'))
        candidates << runtime + "/ostrel-installer";
    candidates << "/tmp/ostrel-installer-" + QByteArray::number(::geteuid());
    return candidates;
}

} // namespace

DestinationLock::~DestinationLock()
{
    // Removed while still held: whoever opens the name next gets a new file.
    if (lockFile.isValid())
        ::unlinkat(lockDirectory.get(), fileName.constData(), 0);
}

DestinationLock::State DestinationLock::acquire(const struct stat &directory, const QByteArray &name)
{
    for (const QByteArray &candidate : lockDirectoryCandidates()) {
        lockDirectory = openPrivateDirectory(candidate);
        if (lockDirectory.isValid())
            break;
    }
    if (!lockDirectory.isValid()) // the last candidate's cause
        return unavailable(lockDirectory.error());
    char identity[64];
    std::snprintf(identity, sizeof identity, "%llx-%llx", static_cast<unsigned long long>(directory.st_dev),
                  static_cast<unsigned long long>(directory.st_ino));
    fileName = identity;
    if (!name.isEmpty())
        fileName += '-' + QCryptographicHash::hash(name, QCryptographicHash::Sha256).toHex().left(32);
    fileName += ".lock";
    // An install that is ending removes its file after we opened it and
    // before we locked it: our lock would then be on a file nobody else
    // finds, so we open the name again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        UniqueFd file(::openat(lockDirectory.get(), fileName.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file.isValid())
            return unavailable(file.error());
        if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK)
                return unavailable(errno);
            char text[24] = {};
            if (::pread(file.get(), text, sizeof text - 1, 0) > 0)
                busyHolder = pid_t(std::strtol(text, nullptr, 10));
            return Busy;
        }
        struct stat held, named;
        if (::fstat(file.get(), &held) == 0 && ::fstatat(lockDirectory.get(), fileName.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            const QByteArray pid = QByteArray::number(::getpid()) + '\n';
            if (::ftruncate(file.get(), 0) == 0) {
                [[maybe_unused]] const ssize_t written = ::pwrite(file.get(), pid.constData(), size_t(pid.size()), 0);
            }
            lockFile = std::move(file);
            return Held;
        }
    }
    return unavailable(EAGAIN);
}
