#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

// Small helpers that build test trees; each returns false on failure so the
// caller can QVERIFY it.

inline bool makeFile(const QString &path, const QByteArray &contents, mode_t mode = 0644)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size())
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

inline bool makeLink(const QString &target, const QString &path)
{
    return QDir().mkpath(QFileInfo(path).path())
           && ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()) == 0;
}

inline bool makeFifo(const QString &path)
{
    return QDir().mkpath(QFileInfo(path).path()) && ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0;
}
