#pragma once

// The installer's command line, read once for the installer itself and for
// the programs that start it (see ostrel-installer(1)). Exactly two
// arguments are SOURCE and DESTINATION, whatever they look like, except
// "--rollback DESTINATION". With more, an argument that begins with "--" is
// an option wherever it stands, until "--" alone; the first two others are
// the paths, and any further one is ignored. A rollback takes DESTINATION
// alone and no other option; --keep-previous needs --atomic.

#include <QByteArray>
#include <QList>

struct InstallerArguments
{
    QByteArray source;      // empty for a rollback
    QByteArray destination;
    bool atomic = false;
    bool changedOnly = false;
    bool keepPrevious = false;
    bool rollback = false;
    QByteArray refusal; // why the command line is refused; empty if it is not
};

// `arguments` without the program's name.
InstallerArguments parseInstallerArguments(const QList<QByteArray> &arguments);
