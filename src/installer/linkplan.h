#pragma once

// The symbolic links of a copy, created once every file is in place: each
// is recorded when the walk meets it, with the text it gets in DESTINATION,
// and created later under its installed path. Nothing here logs.

#include "copyengine.h"
#include "uniquefd.h"

#include <QByteArray>
#include <QHash>
#include <QString>

class LinkPlan
{
public:
    // `source`: SOURCE as given and with its links resolved; `destinationRoot`:
    // the open directory the copy goes into; `placement`: Replacing when a
    // link is to take the place of what is there (see filecopy.h).
    LinkPlan(const QByteArray &source, const QByteArray &realSource, int destinationRoot, Placement placement);

    // Records the link `name` of the directory `directory`, read as `link`,
    // under its installed path, and returns its text for the destination:
    // the source's text byte for byte, except that an absolute target
    // inside SOURCE is made relative to the link's directory, so the
    // installed tree is self-contained. Empty when it could not be read.
    QString record(const QString &installedAt, const DirectoryJob &directory, const QByteArray &name,
                   const DirectoryJob::Link &link);
    // Creates the recorded link whose installed path is `installedAt`, with
    // the source link's times.
    Result create(const QString &installedAt);

private:
    struct Pending
    {
        const DirectoryJob *directory;
        QByteArray name;
        QByteArray text;
        timespec times[2];
    };
    QByteArray textInDestination(const QByteArray &text, const DirectoryJob &directory) const;
    // The copy of `directory`, opened below DESTINATION without following
    // links; the last one opened is kept, as links mostly come in walk order.
    int copyOf(const DirectoryJob *directory);

    const QByteArray source, realSource;
    const int destinationRoot;
    const Placement placement;
    QHash<QString, Pending> pending;
    const DirectoryJob *openDirectoryOf = nullptr;
    UniqueFd openDirectory;
};
