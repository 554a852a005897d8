#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QList>
#include <QProcess>
#include <QStringList>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A directory tree read byte for byte. Names are taken exactly as the kernel
// gives them, never decoded, so names that are not UTF-8 or that hold
// newlines survive; every step is relative to an open directory, so depth
// and path length are no limit.
struct TreeEntry
{
    QByteArray path; // relative to the root
    char type = '?'; // d, f, l, p (FIFO), s (socket), ? (other), ! (unreadable)
    mode_t mode = 0; // st_mode & 07777
    qint64 size = 0;
    QByteArray md5; // hex, regular files only
    QByteArray linkTarget;
};

namespace bytetree {

inline TreeEntry entryAt(const QByteArray &path, char type)
{
    TreeEntry entry;
    entry.path = path;
    entry.type = type;
    return entry;
}

inline QByteArray md5Of(int fd)
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        md5.addData(QByteArrayView(buffer, n));
    return n < 0 ? QByteArray("unreadable") : md5.result().toHex();
}

// Reads the directory open as `dirFd` (and closes it), appending its entries
// with `prefix` before their names.
inline void readDirectory(int dirFd, const QByteArray &prefix, QList<TreeEntry> &entries)
{
    DIR *dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        entries.append(entryAt(prefix, '!'));
        return;
    }
    while (const dirent *e = ::readdir(dir)) {
        const QByteArray name(e->d_name);
        if (name == "." || name == "..")
            continue;
        TreeEntry entry = entryAt(prefix + name, '?');
        struct stat st;
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            entry.type = '!';
            entries.append(entry);
            continue;
        }
        entry.mode = st.st_mode & 07777;
        entry.size = st.st_size;
        if (S_ISDIR(st.st_mode)) {
            entry.type = 'd';
            entries.append(entry);
            const int sub = ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0)
                entries.append(entryAt(entry.path + '/', '!'));
            else
                readDirectory(sub, entry.path + '/', entries);
            continue;
        }
        if (S_ISREG(st.st_mode)) {
            entry.type = 'f';
            const int fd = ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            entry.md5 = fd < 0 ? QByteArray("unreadable") : md5Of(fd);
            if (fd >= 0)
                ::close(fd);
        } else if (S_ISLNK(st.st_mode)) {
            entry.type = 'l';
            QByteArray target(int(st.st_size) + 1, '\0');
            const ssize_t n = ::readlinkat(::dirfd(dir), e->d_name, target.data(), size_t(target.size()));
            entry.linkTarget = target.left(n < 0 ? 0 : int(n));
        } else if (S_ISFIFO(st.st_mode)) {
            entry.type = 'p';
        } else if (S_ISSOCK(st.st_mode)) {
            entry.type = 's';
        }
        entries.append(entry);
    }
    ::closedir(dir);
}

// Printable ASCII as is; a backslash and every other byte escaped, so each
// snapshot line stays one line and shows exactly which bytes a name holds.
inline QString escaped(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes) {
        const uchar u = uchar(c);
        if (u == '\\')
            text += QLatin1String("\\\\");
        else if (u >= 0x20 && u < 0x7f)
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return text;
}

} // namespace bytetree

// Every entry below `root`, in no particular order; what cannot be read is
// listed with type '!'.
inline QList<TreeEntry> readTree(const QByteArray &root)
{
    QList<TreeEntry> entries;
    const int fd = ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        entries.append(bytetree::entryAt(QByteArray(), '!'));
    else
        bytetree::readDirectory(fd, QByteArray(), entries);
    return entries;
}

// One line per entry, sorted by path:
//   "<relative path> <type> [<mode>] [<size>:<md5>|-> <link text>]"
// File modes are always included; directory modes only on request (the
// installer creates directories, it does not copy their modes). Printable
// ASCII in names and link texts stands as is, other bytes as \xHH.
// Compare two snapshots with COMPARE_TREES (treesnapshot.h).
inline QStringList snapshotLines(const QList<TreeEntry> &entries, bool withDirectoryModes = false)
{
    QStringList lines;
    for (const TreeEntry &e : entries) {
        QString line = bytetree::escaped(e.path) + QLatin1Char(' ') + QLatin1Char(e.type);
        if (e.type == 'f')
            line += QStringLiteral(" %1 %2:%3").arg(QString::number(e.mode, 8)).arg(e.size).arg(QLatin1String(e.md5));
        else if (e.type == 'l')
            line += QStringLiteral(" -> ") + bytetree::escaped(e.linkTarget);
        else if (e.type == 'd' && withDirectoryModes)
            line += QLatin1Char(' ') + QString::number(e.mode, 8);
        lines << line;
    }
    lines.sort();
    return lines;
}

inline QStringList byteTreeSnapshot(const QByteArray &root)
{
    return snapshotLines(readTree(root));
}

// Removes a tree whatever its names. QTemporaryDir's own clean-up decodes
// names as UTF-8 and leaves behind every entry whose name is not.
inline bool removeTree(const QByteArray &root)
{
    return QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), QStringLiteral("--"), QString::fromLocal8Bit(root)}) == 0;
}
