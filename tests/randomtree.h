#pragma once

#include "installerrun.h"

// The odd corners a package tree can have, each on its own or all at once.
enum TreeFeature {
    ModesAndSpecials = 1, // every permission pattern with set-id and sticky bits, empty and hidden entries, FIFOs, hard links
    AwkwardNames = 2,     // spaces, quotes, leading dashes, shell and glob characters, UTF-8, 255 bytes, case twins
    NewlineNames = 4,
    NonUtf8Names = 8,
    DeepPaths = 16,     // 200 nested directories; a path of PATH_MAX - 1 bytes or a few less
    Links = 32,         // relative, absolute, dangling, directory and self links, loops, untidy texts
    AncestorLinks = 64, // links to "..", to the tree's ancestors, to "/"
    EveryFeature = 127,
};

// A random tree made at `root` (which must not exist yet) with raw system
// calls, so that names are written byte for byte. Returns false, with what
// failed in `error`, when a call failed.
inline bool makeRandomTree(quint32 seed, int features, const QByteArray &root, int entries, QByteArray *error)
{
    QRandomGenerator rng(seed);
    QList<QByteArray> directories = {""}, paths, files; // relative to the root; "" is the root
    auto at = [&](const QByteArray &path) { return path.isEmpty() ? root : root + '/' + path; };
    auto chance = [&](int percent) { return rng.bounded(100) < percent; };
    auto pick = [&](const QList<QByteArray> &list) { return list[rng.bounded(int(list.size()))]; };
    auto made = [&](bool failed, const QByteArray &path) { // keeps the first failure
        *error += failed && error->isEmpty() ? std::strerror(errno) + (": " + path) : QByteArray();
        return !failed;
    };
    auto makeDirectory = [&](const QByteArray &path) { return made(::mkdir(at(path), 0755), path) && (directories << path, true); };
    auto letters = [&](int length) {
        QByteArray text;
        while (text.size() < length)
            text += "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"[rng.bounded(63)];
        return text;
    };
    // A new path in `directory`: `name`, made unique, or a random one; empty
    // when none fits below PATH_MAX (4095 bytes without the final zero).
    auto fresh = [&](const QByteArray &directory, QByteArray name) {
        for (int attempt = 0; attempt < 20; ++attempt, name += name.isEmpty() ? "" : "_") {
            QList<QByteArray> names = {letters(1 + rng.bounded(12))};
            if (features & ModesAndSpecials)
                names << '.' + letters(1 + rng.bounded(8)) << pick({"...", "..x", ".-"});
            for (int i = 0; i < 2 && features & AwkwardNames; ++i) {
                QByteArray awkward = chance(40) ? "-" : "";
                for (int piece = rng.bounded(1, 4); piece > 0; --piece)
                    awkward += chance(50) ? pick({" ", "  ", "'", "\"", "-", "--", "-rf", "$(touch pwned)", "`id`", "$HOME", "*", "?", "[ab]",
                                                  "\\", "%1", "%s%n", "~", "#", ";", "&", "|", "<>", "\t", "\x01", "\x7f", "caf\xc3\xa9",
                                                  "\xe6\x97\xa5\xe6\x9c\xac", "\xf0\x9f\x99\x82", "e\xcc\x81"})
                                          : letters(1 + rng.bounded(6));
                names << awkward << "\xef\xbb\xbf" + letters(3); // a name may begin with the bytes of a byte-order mark
            }
            if (features & AwkwardNames) // 255 bytes; a twin of the last entry differing in case only
                names << "\xc3\xa9" + letters(253) << (paths.isEmpty() ? "x" : paths.last().mid(paths.last().lastIndexOf('/') + 1).toUpper());
            if (features & NewlineNames)
                names << pick({"\n", "\nlead", "trail\n", "mid\ndle", "two\n\nlines"}) << letters(3) + '\n' + letters(3);
            if (features & NonUtf8Names)
                names << letters(rng.bounded(4)) + pick({"\xff\xfe", "\xe9", "\xc0\xaf", "\x80", "\xe6\x97", "\xed\xa0\x80", "\xf8\x88\x80\x80\x80"})
                                 + letters(rng.bounded(4));
            const QByteArray path = (directory.isEmpty() ? "" : directory + '/') + (name.isEmpty() ? pick(names) : name);
            if (!paths.contains(path) && at(path).size() <= 4095)
                return paths << path, path;
        }
        return QByteArray();
    };
    auto addFile = [&](const QByteArray &path) {
        QByteArray contents(chance(25) ? 0 : chance(80) ? rng.bounded(1, 200) : rng.bounded(65536), Qt::Uninitialized);
        for (char &c : contents)
            c = char(rng.generate());
        const int setId = chance(15) ? QList<int>{04000, 02000, 01000}[rng.bounded(3)] : 0;
        const int mode = features & ModesAndSpecials ? rng.bounded(01000) | setId | (::geteuid() ? 0400 : 0) : chance(50) ? 0644 : 0755;
        const int fd = ::open(at(path), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        made(fd < 0 || ::write(fd, contents.constData(), size_t(contents.size())) != contents.size() || ::fchmod(fd, mode), path);
        ::close(fd);
        files << path;
    };
    auto linkText = [&](const QByteArray &directory) {
        QList<QByteArray> texts;
        if (features & Links) {
            const QByteArray relative = QByteArray("../").repeated(directory.isEmpty() ? 0 : directory.count('/') + 1) + pick(paths);
            texts << relative << root + '/' + pick(paths) << "./" + relative << relative + '/' << QByteArray(relative).replace('/', "//")
                  << "missing-" + letters(4) << "../missing/" + letters(4) << "." << "/nonexistent/" + letters(4);
        }
        QByteArray up = "..";
        for (int level = rng.bounded(int(directory.count('/')) + (directory.isEmpty() ? 2 : 3)); level > 0; --level)
            up += "/..";
        if (features & AncestorLinks)
            texts << up << "/" << root << root + "/.." << at(directory);
        return pick(texts);
    };

    makeDirectory(QByteArray());
    for (int i = 0; i < entries; ++i) {
        const QByteArray directory = pick(directories), path = fresh(directory, {});
        const int kind = rng.bounded(features & (Links | AncestorLinks) ? 10 : 7);
        if (path.isEmpty())
            continue;
        if (kind < 2)
            makeDirectory(path);
        else if (kind == 5 && features & ModesAndSpecials && !files.isEmpty() && chance(50)) // another name for a file, anywhere
            made(::link(at(pick(files)), at(path)), path);
        else if (kind < 6 || (kind == 6 && !(features & ModesAndSpecials)))
            addFile(path);
        else if (kind == 6)
            made(::mkfifo(at(path), 0644), path);
        else if (kind < 9 || !(features & Links))
            made(::symlink(linkText(directory), at(path)), path);
        else if (const QByteArray twin = fresh(directory, {}); !twin.isEmpty()) // a loop: path -> twin -> path
            made(::symlink(twin.mid(twin.lastIndexOf('/') + 1), at(path)) || ::symlink(path.mid(path.lastIndexOf('/') + 1), at(twin)), path);
    }
    if (features & DeepPaths) { // 200 levels; then long names down to a path of PATH_MAX - 1 bytes or a few less
        QByteArray path = fresh({}, "nested");
        for (int level = 0; level < 200; ++level)
            makeDirectory(path += level ? '/' + letters(rng.bounded(1, 4)) : QByteArray());
        addFile(path + "/bottom");
        makeDirectory(path = fresh({}, "long"));
        int left;
        while ((left = 4095 - int(at(path).size()) - 1 - rng.bounded(3)) > 255)
            makeDirectory(path += '/' + letters(qMin(left - 1, rng.bounded(200, 256))));
        addFile(path + '/' + letters(left));
    }
    // Last, deepest first: root fills and reads a directory whatever its mode, anybody else needs the owner bits.
    for (qsizetype i = directories.size() - 1; i > 0 && features & ModesAndSpecials; --i)
        made(::chmod(at(directories[i]), rng.bounded(01000) | (::geteuid() ? 0700 : 0)), directories[i]);
    return error->isEmpty();
}
