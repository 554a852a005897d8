#pragma once

#include "bytetree.h"

#include <QFile>
#include <QStringList>
#include <QTest>

// The tree below `root` as snapshot lines (see snapshotLines in bytetree.h).
inline QStringList treeSnapshot(const QString &root, bool withDirectoryModes = false)
{
    return snapshotLines(readTree(QFile::encodeName(root)), withDirectoryModes);
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
