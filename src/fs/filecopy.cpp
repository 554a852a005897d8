#include "filecopy.h"

#include "fdwrite.h"
#include "posixfs.h"
#include "uniquefd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

namespace {

// Below this size a reflink attempt is not worth its system call.
const off_t reflinkMinimumSize = 256 * 1024;

// The portable way, for file systems that copy_file_range cannot serve.
bool copyByReading(int in, int out)
{
    // One buffer per thread: files are copied on several at once.
    thread_local std::vector<char> buffer(256 * 1024);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (!writeAll(out, QByteArrayView(buffer.data(), got)))
            return false;
    }
}

// Copies the bytes from `from` up to `to` in the kernel where it can.
bool copyRange(int in, int out, off_t from, off_t to)
{
    while (from < to) {
        off_t inOffset = from, outOffset = from;
        const ssize_t n = ::copy_file_range(in, &inOffset, out, &outOffset, size_t(to - from), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const bool unsupported = errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP;
            return unsupported && ::lseek(in, from, SEEK_SET) == from && ::lseek(out, from, SEEK_SET) == from
                   && copyByReading(in, out);
        }
        if (n == 0) // the file shrank meanwhile
            return true;
        from += n;
    }
    return true;
}

// Copies `in` to `out`, in the kernel where it can, to the end of `in`,
// which need not be the `size` it had when opened. Each call asks for one
// byte more than is left, and once past `size` for a large chunk: a call
// that gets less than it asked for has met the end, so a file that has not
// grown takes one call, and one that grows is copied in large steps to
// wherever its end is then. (Asking for more than a file-size limit allows
// is no error; the kernel copies up to the limit.)
bool copyToEnd(int in, int out, off_t size)
{
    const off_t grownChunk = 8 << 20;
    for (off_t copied = 0;;) {
        const size_t wanted = size_t(copied < size ? size - copied + 1 : grownChunk);
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, wanted, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const bool unsupported = errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP;
            return copied == 0 && unsupported && copyByReading(in, out);
        }
        copied += n;
        if (n == 0 || (copied >= size && size_t(n) < wanted))
            return true;
    }
}

// Copies `in`, whose status is `source`, to the empty file `out` up to its
// end, keeping holes as holes.
bool copyContents(int in, int out, const struct stat &source)
{
    const off_t size = source.st_size;
    // Whether the file systems can share extents is asked once: after a
    // refusal, no file tries again.
    static std::atomic<bool> reflinks{true};
    if (size >= reflinkMinimumSize && reflinks) {
        if (::ioctl(out, FICLONE, in) == 0)
            return true;
        if (errno == EOPNOTSUPP || errno == EXDEV || errno == EINVAL || errno == ENOTTY)
            reflinks = false;
    }
    // Files that claim to be empty may still have content (/proc, /sys):
    // they are read to their end.
    if (size == 0)
        return copyByReading(in, out);
    // Without holes (as many blocks as bytes), there is nothing to look for.
    if (source.st_blocks * 512 >= size)
        return copyToEnd(in, out, size);
    off_t position = 0;
    for (;;) {
        const off_t data = ::lseek(in, position, SEEK_DATA);
        if (data < 0) {
            if (errno != ENXIO) // the file system cannot tell holes from data
                return ::lseek(in, position, SEEK_SET) == position && ::lseek(out, position, SEEK_SET) == position
                       && copyByReading(in, out);
            break; // nothing but a hole from here to the end
        }
        const off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0 || !copyRange(in, out, data, hole))
            return false;
        position = hole;
    }
    // A hole at the end is made by the size alone.
    const off_t end = ::lseek(in, 0, SEEK_END);
    return end >= 0 && ::ftruncate(out, end) == 0;
}

// Gives the open file `fd` the name `name`; fails if the name is taken.
bool linkIn(int fd, int directoryFd, const char *name)
{
    // Linking by descriptor needs CAP_DAC_READ_SEARCH; without it, go
    // through /proc, at the cost of a path look-up per file.
    static std::atomic<bool> byDescriptor{true};
    if (byDescriptor) {
        if (::linkat(fd, "", directoryFd, name, AT_EMPTY_PATH) == 0)
            return true;
        if (errno != EPERM && errno != ENOENT)
            return false;
        byDescriptor = false;
    }
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, procPath, directoryFd, name, AT_SYMLINK_FOLLOW) == 0;
}

// The permission bits of `source` (set-id and sticky bits are not carried
// over): the mode a copy is created with, which the umask may cut.
mode_t copyMode(const struct stat &source)
{
    return source.st_mode & 0777;
}

// Gives the copy its permission bits, unless the umask let them all through
// at creation, and the access and modification times of `source`, to the
// nanosecond.
bool setModeAndTimes(int fd, const struct stat &source)
{
    const timespec times[2] = {source.st_atim, source.st_mtim};
    const bool modeComplete = (copyMode(source) & processUmask()) == 0;
    return (modeComplete || ::fchmod(fd, copyMode(source)) == 0) && ::futimens(fd, times) == 0;
}

// Removes the partial copy `name`; the failure that made it one.
Result removeAfterFailure(int directoryFd, const char *name)
{
    const Result failed = Result::fromErrno(); // before unlinkat() sets errno
    ::unlinkat(directoryFd, name, 0);
    return failed;
}

// For file systems without unnamed files: a hidden temporary name, renamed
// into place, unless replacing, only if the final name is still free.
Result copyThroughTemporaryName(int in, const struct stat &source, const char *name, int destinationFd, Placement placement)
{
    const TemporaryName temporary;
    UniqueFd out(::openat(destinationFd, temporary.text, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, copyMode(source)));
    if (!out.isValid())
        return Result::failure(out.error());
    const unsigned flags = placement == Placement::Replacing ? 0 : RENAME_NOREPLACE;
    const bool complete = copyContents(in, out.get(), source) && setModeAndTimes(out.get(), source)
            && ::close(out.release()) == 0
            && ::renameat2(destinationFd, temporary.text, destinationFd, name, flags) == 0;
    return complete ? Result::success() : removeAfterFailure(destinationFd, temporary.text);
}

} // namespace

UniqueFd openRegularFile(int directoryFd, const char *name, struct stat &status)
{
    // O_NONBLOCK: should the entry have become a FIFO meanwhile, opening it
    // must not hang; O_NOFOLLOW: nor may it have become a link.
    UniqueFd in(::openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (in.isValid() && ::fstat(in.get(), &status) != 0)
        return UniqueFd::failure(errno);
    if (in.isValid() && !S_ISREG(status.st_mode))
        return UniqueFd::failure(EINVAL);
    return in;
}

Result copyRegularFile(int in, const struct stat &source, int destinationFd, const char *name, Placement placement)
{
    if (placement == Placement::InPlace) {
        UniqueFd out(::openat(destinationFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, copyMode(source)));
        if (!out.isValid())
            return Result::failure(out.error());
        const bool complete = copyContents(in, out.get(), source) && setModeAndTimes(out.get(), source) && ::close(out.release()) == 0;
        return complete ? Result::success() : removeAfterFailure(destinationFd, name);
    }
    const UniqueFd out(::openat(destinationFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, copyMode(source)));
    if (!out.isValid()) {
        const int error = out.error();
        if (error == EOPNOTSUPP || error == EISDIR || error == EINVAL) // no unnamed files here
            return copyThroughTemporaryName(in, source, name, destinationFd, placement);
        return Result::failure(error);
    }
    if (!copyContents(in, out.get(), source) || !setModeAndTimes(out.get(), source))
        return Result::fromErrno();
    return linkOpenFile(out.get(), destinationFd, name, placement);
}

bool isUnchangedCopy(const struct stat &existing, const struct stat &source, nlink_t links)
{
    return S_ISREG(existing.st_mode) && existing.st_nlink == links && existing.st_uid == effectiveUser()
           && existing.st_size == source.st_size && existing.st_mtim.tv_sec == source.st_mtim.tv_sec
           && existing.st_mtim.tv_nsec == source.st_mtim.tv_nsec && (existing.st_mode & 07777) == copyMode(source);
}

bool isReadableWithoutOpening(const struct stat &status)
{
    static const bool readsAnyFile = [] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        const __u32 overrides = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
        return ::syscall(SYS_capget, &header, data) == 0 && (data[0].effective & overrides) != 0;
    }();
    return readsAnyFile || (status.st_uid == effectiveUser() && (status.st_mode & S_IRUSR) != 0);
}

Result linkFile(int fromDirectoryFd, const char *from, int toDirectoryFd, const char *to, Placement placement)
{
    if (placement != Placement::Replacing)
        return Result::check(::linkat(fromDirectoryFd, from, toDirectoryFd, to, 0) == 0);
    return replaceEntry(toDirectoryFd, to, [&](const char *temporary) {
        return Result::check(::linkat(fromDirectoryFd, from, toDirectoryFd, temporary, 0) == 0);
    });
}

Result linkOpenFile(int fd, int directoryFd, const char *name, Placement placement)
{
    if (placement != Placement::Replacing)
        return Result::check(linkIn(fd, directoryFd, name));
    return replaceEntry(directoryFd, name, [&](const char *temporary) { return Result::check(linkIn(fd, directoryFd, temporary)); });
}
