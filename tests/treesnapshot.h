#pragma once

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

// A directory tree reduced to one line per entry, sorted by path:
//   "<relative path> <type> [<mode>] [<size>:<md5>|-> <link text>]"
// type: d directory, f regular file, l symbolic link, p FIFO, s socket,
// ? other. File modes are always included; directory modes only on request
// (the installer creates directories, it does not copy their modes).
// Two snapshots compared with treeDifference() show every difference at once.
inline QStringList treeSnapshot(const QString &root, bool withDirectoryModes = false)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QByteArray native = QFile::encodeName(path);
        struct stat st;
        QString line = QDir(root).relativeFilePath(path) + QLatin1Char(' ');
        if (::lstat(native.constData(), &st) != 0) {
            lines << line + QStringLiteral("vanished");
            continue;
        }
        const QString mode = QString::number(st.st_mode & 07777, 8);
        if (S_ISDIR(st.st_mode)) {
            line += withDirectoryModes ? QStringLiteral("d ") + mode : QStringLiteral("d");
        } else if (S_ISREG(st.st_mode)) {
            QFile file(path);
            QCryptographicHash md5(QCryptographicHash::Md5);
            if (file.open(QIODevice::ReadOnly))
                md5.addData(&file);
            line += QStringLiteral("f %1 %2:%3").arg(mode).arg(st.st_size).arg(QString::fromLatin1(md5.result().toHex()));
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(native.constData(), target, sizeof target);
            line += QStringLiteral("l -> ") + QFile::decodeName(QByteArray(target, n < 0 ? 0 : int(n)));
        } else if (S_ISFIFO(st.st_mode)) {
            line += QStringLiteral("p");
        } else if (S_ISSOCK(st.st_mode)) {
            line += QStringLiteral("s");
        } else {
            line += QStringLiteral("?");
        }
        lines << line;
    }
    lines.sort();
    return lines;
}

// Every line only in `expected` ("- ") or only in `actual` ("+ "); empty when
// the two trees are the same.
inline QString treeDifference(const QStringList &expected, const QStringList &actual)
{
    QString difference;
    for (const QString &line : expected)
        if (!actual.contains(line))
            difference += QStringLiteral("\n- ") + line;
    for (const QString &line : actual)
        if (!expected.contains(line))
            difference += QStringLiteral("\n+ ") + line;
    return difference;
}

#define COMPARE_TREES(expected, actual)                                                                    \
    do {                                                                                                   \
        const QString difference_ = treeDifference((expected), (actual));                                  \
        QVERIFY2(difference_.isEmpty(), qPrintable(QStringLiteral("trees differ:") + difference_));        \
    } while (false)
