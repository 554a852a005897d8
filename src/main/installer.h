#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

class PipeClient;

// The install procedure and the file-tree operations behind ostrel-installer.
// Every operation reports trouble as a diagnostic line (LOG) and carries on;
// none throws.

// Where each symbolic link met by the copy is to be created (absolute path in
// the destination) and the text it must hold (relative to its directory).
using LinkMap = QMap<QString, QString>;

// Process exit statuses of ostrel-installer.
enum ExitStatus {
    ExitInstalled = 0,          // every file and link is in place
    ExitCopySourceNotDir = 1,   // the copy found its source was no directory
    ExitSourceMissing = 2,      // nothing touched
    ExitNoUpdater = 3,          // nothing touched
    ExitIncomplete = 4,         // ran to the end, but some file or link failed
    ExitOverlap = 5,            // source and destination overlap; nothing touched
    ExitUsage = 255,            // fewer than two arguments
};

// Installs the tree at `source` into `destination` (both absolute and clean),
// reporting to the updater listening as "OstrelUpdater": empties the
// destination, copies the tree, creates its links, announces completion.
// Refuses, before touching anything, a missing source, a destination that
// overlaps the source, or an absent updater. Ends the process with
// ExitCopySourceNotDir if the source turns out to be no directory.
void installPackage(const QString &source, const QString &destination);

// The exit status that the last installPackage call earned.
int installStatus();

// Copies the directory tree `source` into `destination` (created with its
// parents), depth first in case-insensitive name order, hidden entries
// included. Regular files are copied with their permission bits and never
// replace an existing file; each one attempted advances `client`'s progress.
// Symbolic links are not created but recorded in `links`; special files are
// passed over. A failed copy is logged and counted toward ExitIncomplete.
// Ends the process with ExitCopySourceNotDir if `source` is no directory.
void recursiveCopy(const QString source, const QString destination, PipeClient *client,
                   QMap<QString, QString> &links);

// Creates every recorded link, in key order; a failure is logged and counted
// toward ExitIncomplete, and the rest are still created.
void createLinks(QMap<QString, QString> links);

// Empties `directory` completely (hidden entries, dangling links and special
// files included) and leaves the directory itself. Symbolic links are removed
// as links, never followed. Silent: what cannot be removed stays.
void recursiveRemove(const QString &directory);

// The number of regular files at any depth below `directory`, links not
// followed, as counted by find(1) through /bin/sh; 0 when it cannot be told.
uint filesCountInDirectory(const QString &directory);

// Runs a command line (split like a shell would split plain words and double
// quotes, no shell involved) and waits up to 30 s. True when it exited
// normally with status 0; otherwise logs the command, the exit code or the
// reason there is none, and its standard output, and returns false. The
// child never outlives the call.
bool execute(const QString &command);

// Replaces the contents of the file `path` with `data`. Logs one line when
// the file cannot be opened, or not every byte reached it.
void writeFileOrExit(const QString &path, const QByteArray &data);
