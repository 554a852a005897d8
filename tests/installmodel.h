#pragma once

#include "bytetree.h"

#include <algorithm>

// What an install must produce, worked out from the source tree alone.

// The components of the absolute `path` once ".", ".." and repeated slashes
// are resolved by the text alone, as the installer does.
inline QList<QByteArray> cleanComponents(const QByteArray &path)
{
    QList<QByteArray> parts;
    for (const QByteArray &part : path.split('/')) {
        if (part == "..") {
            if (!parts.isEmpty())
                parts.removeLast();
        } else if (!part.isEmpty() && part != ".") {
            parts << part;
        }
    }
    return parts;
}

// The link text that leads from the directory `from` to `to` (both absolute):
// the shortest relative path, "." for the directory itself.
inline QByteArray relativeLinkText(const QByteArray &from, const QByteArray &to)
{
    const QList<QByteArray> fromParts = cleanComponents(from), toParts = cleanComponents(to);
    qsizetype common = 0;
    while (common < fromParts.size() && common < toParts.size() && fromParts[common] == toParts[common])
        ++common;
    QList<QByteArray> parts(fromParts.size() - common, QByteArray(".."));
    parts += toParts.mid(common);
    return parts.isEmpty() ? QByteArray(".") : parts.join('/');
}

// The installed tree for the tree `source` read from `sourceRoot`: its
// directories; its regular files with their bytes and permission bits
// (set-id and sticky bits dropped); its links, each pointing where the
// original points, as a path relative to the link's own directory; no
// FIFOs, sockets or devices.
inline QList<TreeEntry> installedTree(const QList<TreeEntry> &source, const QByteArray &sourceRoot)
{
    QList<TreeEntry> installed;
    for (TreeEntry entry : source) {
        if (entry.type == 'f') {
            entry.mode &= 0777;
        } else if (entry.type == 'l') {
            const qsizetype slash = entry.path.lastIndexOf('/');
            const QByteArray directory = sourceRoot + '/' + (slash < 0 ? QByteArray() : entry.path.left(slash));
            const QByteArray target = entry.linkTarget.startsWith('/') ? entry.linkTarget : directory + '/' + entry.linkTarget;
            entry.linkTarget = relativeLinkText(directory, target);
        } else if (entry.type != 'd') {
            continue;
        }
        installed.append(entry);
    }
    return installed;
}

inline int regularFileCount(const QList<TreeEntry> &entries)
{
    return int(std::count_if(entries.cbegin(), entries.cend(), [](const TreeEntry &e) { return e.type == 'f'; }));
}

// Everything the updater hears from an install of `files` regular files.
inline QByteArray allMessages(int files)
{
    QByteArray messages = ".START_" + QByteArray::number(files) + '\n';
    for (int i = 1; i <= files; ++i)
        messages += ".PROGRESS_" + QByteArray::number(i) + '\n';
    return messages + ".DONE_\n";
}
