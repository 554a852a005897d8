#pragma once

#include "installmodel.h"

#include <QByteArray>
#include <QList>
#include <QRandomGenerator>
#include <QSet>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The odd corners a package tree can have. Each can be switched on alone, so
// that a failure points at its cause.
enum TreeFeature {
    ModesAndSpecials = 1 << 0, // every permission pattern, empty and hidden entries, FIFOs
    AwkwardNames = 1 << 1,     // spaces, quotes, leading dashes, shell and glob characters, UTF-8, 255 bytes, case twins
    NewlineNames = 1 << 2,
    NonUtf8Names = 1 << 3,
    DeepPaths = 1 << 4,        // 200 nested directories; paths of PATH_MAX - 1 bytes
    Links = 1 << 5,            // relative, absolute, dangling, directory and self links, loops, untidy texts
    AncestorLinks = 1 << 6,    // links to "..", to the tree's ancestors, to "/"
    EveryFeature = (1 << 7) - 1,
};

// Builds a random tree from a seed under `root` (a path that does not exist
// yet) with raw system calls, so that names are written byte for byte.
class RandomTree
{
public:
    RandomTree(quint32 seed, int features, const QByteArray &root)
        : rng(seed), features(features), root(root)
    {
    }

    // Creates the tree with about `count` entries; false (see error) when a
    // system call failed.
    bool build(int count)
    {
        if (!check(::mkdir(root.constData(), 0755), root))
            return false;
        directories = {QByteArray()};
        for (int i = 0; i < count && error.isEmpty(); ++i)
            addRandomEntry();
        if (features & DeepPaths) {
            addNestedChain();
            addChainToPathLimit();
        }
        // Last, deepest first: a directory without write or search permission
        // can still be filled by root, but not by anybody else.
        if (features & ModesAndSpecials)
            for (qsizetype i = directories.size() - 1; i > 0 && error.isEmpty(); --i)
                check(::chmod(absolute(directories[i]).constData(), readableByUs(mode_t(rng.bounded(01000)), 0700)),
                      directories[i]);
        return error.isEmpty();
    }

    QByteArray error;

private:
    static constexpr int pathMax = 4095; // PATH_MAX without its terminating zero

    bool chance(int percent) { return int(rng.bounded(100)) < percent; }
    template <typename T>
    const T &pick(const QList<T> &list) { return list[rng.bounded(int(list.size()))]; }

    QByteArray absolute(const QByteArray &path) const { return path.isEmpty() ? root : root + '/' + path; }
    static QByteArray child(const QByteArray &directory, const QByteArray &name)
    {
        return directory.isEmpty() ? name : directory + '/' + name;
    }

    bool check(int result, const QByteArray &path)
    {
        if (result != 0 && error.isEmpty())
            error = QByteArray(std::strerror(errno)) + ": " + path;
        return result == 0;
    }

    // Root reads and searches whatever the mode says; anybody else needs the
    // owner bits to build and read the tree.
    static mode_t readableByUs(mode_t mode, mode_t ownerBits) { return ::geteuid() == 0 ? mode : mode | ownerBits; }

    QByteArray letters(int length)
    {
        static const QByteArray alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
        QByteArray text;
        for (int i = 0; i < length; ++i)
            text += alphabet[rng.bounded(int(alphabet.size()))];
        return text;
    }

    QByteArray plainName() { return letters(1 + int(rng.bounded(12))); }

    QByteArray hiddenName()
    {
        static const QList<QByteArray> odd = {"...", "..x", ".-"};
        return chance(20) ? pick(odd) : '.' + plainName();
    }

    QByteArray awkwardName()
    {
        static const QList<QByteArray> pieces = {
                " ", "  ", "'", "\"", "-", "--", "-rf", "$(touch pwned)", "`id`", "$HOME", "*", "?", "[ab]", "\\",
                "%1", "%s%n", "~", "#", ";", "&", "|", "<>", "\t", "\x01", "\x7f", "caf\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac",
                "\xf0\x9f\x99\x82", "e\xcc\x81"};
        if (chance(10)) // NAME_MAX exactly, some of it multi-byte
            return (QByteArray("\xc3\xa9") + letters(253)).right(255);
        QByteArray name = chance(40) ? QByteArray("-") : QByteArray();
        for (int i = 0, n = 1 + int(rng.bounded(3)); i < n; ++i)
            name += chance(50) ? pick(pieces) : plainName();
        return name;
    }

    QByteArray newlineName()
    {
        static const QList<QByteArray> forms = {"\n", "\nlead", "trail\n", "mid\ndle", "two\n\nlines"};
        return chance(50) ? pick(forms) : plainName() + '\n' + plainName();
    }

    QByteArray nonUtf8Name()
    {
        static const QList<QByteArray> invalid = {"\xff\xfe", "\xe9", "\xc0\xaf", "\x80", "\xe6\x97", "\xed\xa0\x80",
                                                  "\xf8\x88\x80\x80\x80"};
        return plainName().left(int(rng.bounded(4))) + pick(invalid) + plainName().left(int(rng.bounded(4)));
    }

    QByteArray randomName()
    {
        QList<QByteArray (RandomTree::*)()> kinds = {&RandomTree::plainName};
        if (features & ModesAndSpecials)
            kinds << &RandomTree::hiddenName;
        if (features & AwkwardNames)
            kinds << &RandomTree::awkwardName << &RandomTree::awkwardName;
        if (features & NewlineNames)
            kinds << &RandomTree::newlineName << &RandomTree::newlineName;
        if (features & NonUtf8Names)
            kinds << &RandomTree::nonUtf8Name << &RandomTree::nonUtf8Name;
        return (this->*pick(kinds))();
    }

    // Takes `path` for a new entry; false when it is in use already or too long.
    bool claim(const QByteArray &path)
    {
        if (taken.contains(path) || absolute(path).size() > pathMax)
            return false;
        taken.insert(path);
        paths << path;
        return true;
    }

    static QByteArray asciiUpper(QByteArray text)
    {
        for (char &c : text)
            if (c >= 'a' && c <= 'z')
                c = char(c - 'a' + 'A');
        return text;
    }

    // A new path in `directory`, or empty when every name tried was in use
    // or would break the path-length limit.
    QByteArray freshPath(const QByteArray &directory)
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            QByteArray name = randomName();
            if (features & AwkwardNames && chance(10) && !paths.isEmpty()) { // a twin differing in case only
                const QByteArray other = pick(paths);
                name = asciiUpper(other.mid(other.lastIndexOf('/') + 1));
            }
            const QByteArray path = child(directory, name);
            if (claim(path))
                return path;
        }
        return {};
    }

    // A fresh top-level name for a fixed chain of directories.
    QByteArray freshTop(QByteArray name)
    {
        while (!claim(name))
            name += '_';
        return name;
    }

    bool addFile(const QByteArray &path)
    {
        const int size = chance(25) ? 0 : chance(80) ? 1 + int(rng.bounded(200)) : int(rng.bounded(65536));
        QByteArray contents(size, Qt::Uninitialized);
        for (char &c : contents)
            c = char(rng.bounded(256));
        mode_t mode = chance(50) ? 0644 : 0755;
        if (features & ModesAndSpecials)
            mode = readableByUs(mode_t(rng.bounded(01000)) | (chance(15) ? mode_t(pick(QList<int>{04000, 02000, 01000})) : 0),
                                0400);
        const int fd = ::open(absolute(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (!check(fd < 0 ? -1 : 0, path))
            return false;
        const bool written = ::write(fd, contents.constData(), size_t(size)) == size;
        const int modeSet = ::fchmod(fd, mode);
        ::close(fd);
        return check(written ? modeSet : -1, path);
    }

    // A link text in `directory`, of the kinds the features ask for.
    QByteArray randomLinkText(const QByteArray &directory)
    {
        const QByteArray here = absolute(directory);
        QList<QByteArray> texts;
        if (features & Links) {
            const QByteArray existing = absolute(pick(paths));
            const QByteArray relative = relativeLinkText(here, existing);
            texts << relative << existing << "./" + relative << relative + '/' << QByteArray(relative).replace('/', "//")
                  << "missing-" + plainName() << "../missing/" + plainName() << "." << "/nonexistent/" + plainName();
        }
        if (features & AncestorLinks) {
            const int depth = directory.isEmpty() ? 0 : int(directory.count('/')) + 1;
            QByteArray up = "..";
            for (int i = int(rng.bounded(depth + 2)); i > 0; --i)
                up += "/..";
            texts << up << "/" << root << root + "/.." << here;
        }
        return pick(texts);
    }

    void addRandomEntry()
    {
        const QByteArray directory = pick(directories);
        const QByteArray path = freshPath(directory);
        if (path.isEmpty())
            return;
        const bool links = features & (Links | AncestorLinks);
        const int kind = int(rng.bounded(links ? 10 : 7));
        if (kind < 2) {
            if (check(::mkdir(absolute(path).constData(), 0755), path))
                directories << path;
        } else if (kind < 6) {
            addFile(path);
        } else if (kind == 6) {
            if (features & ModesAndSpecials)
                check(::mkfifo(absolute(path).constData(), 0644), path);
            else
                addFile(path);
        } else if (features & Links && kind == 9) { // a loop: path -> twin -> path
            const QByteArray twin = freshPath(directory);
            if (!twin.isEmpty())
                check(::symlink(twin.mid(twin.lastIndexOf('/') + 1).constData(), absolute(path).constData())
                              | ::symlink(path.mid(path.lastIndexOf('/') + 1).constData(), absolute(twin).constData()),
                      path);
        } else {
            check(::symlink(randomLinkText(directory).constData(), absolute(path).constData()), path);
        }
    }

    // 200 directories, one inside the other, with a file at the bottom.
    void addNestedChain()
    {
        QByteArray path = freshTop("nested");
        check(::mkdir(absolute(path).constData(), 0755), path);
        for (int level = 1; level < 200 && error.isEmpty(); ++level) {
            path = child(path, letters(1 + int(rng.bounded(3))));
            check(::mkdir(absolute(path).constData(), 0755), path);
        }
        addFile(child(path, "bottom"));
    }

    // Directories with long names down to a file whose absolute path is
    // PATH_MAX - 1 bytes long, or a few bytes shorter.
    void addChainToPathLimit()
    {
        QByteArray path = freshTop("long");
        if (!check(::mkdir(absolute(path).constData(), 0755), path))
            return;
        for (;;) {
            const int left = pathMax - int(absolute(path).size()) - 1 - int(rng.bounded(3));
            if (left <= 255) {
                addFile(child(path, letters(left)));
                return;
            }
            path = child(path, letters(qMin(left - 1, 200 + int(rng.bounded(56)))));
            if (!check(::mkdir(absolute(path).constData(), 0755), path))
                return;
        }
    }

    QRandomGenerator rng;
    const int features;
    const QByteArray root;
    QList<QByteArray> directories; // relative; "" is the root
    QList<QByteArray> paths;       // relative, in creation order (a QSet's order changes from run to run)
    QSet<QByteArray> taken;        // the same, for look-ups
};
