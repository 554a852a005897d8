#pragma once

// The protocol between ostrel-installer and its updater, in one place for
// both ends (the installer's pipe client, the client library, the monitor
// and the tests): the name the updater listens under, the messages on the
// socket and the installer's exit statuses. README.md documents them for
// people; these are their only definitions in code.
//
// Messages are newline-terminated ASCII lines, in this order:
//   ".START_<count>\n"    files about to be installed
//   ".PROGRESS_<n>\n"     n files handled so far, one message per file
//   ".DONE_\n"            the install has finished (and is on disk)

#include <QDir>
#include <QString>

namespace ostrel::protocol {

// Resolved by Qt under $TMPDIR (/tmp when unset) unless it is a path.
inline constexpr char serverName[] = "OstrelUpdater";

// Where a local server name ends up in the file system, as QLocalServer and
// QLocalSocket resolve it: a path as it is, a bare name in QDir::tempPath().
inline QString localServerPath(const QString &name)
{
    if (name.startsWith(QLatin1Char('/')))
        return name;
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name;
}

inline constexpr char startKeyword[] = ".START_";
inline constexpr char progressKeyword[] = ".PROGRESS_";
inline constexpr char doneKeyword[] = ".DONE_";

} // namespace ostrel::protocol

// Process exit statuses of ostrel-installer.
enum ExitStatus {
    ExitInstalled = 0,          // every file and link is in place
    ExitSourceNotDirectory = 1, // nothing touched
    ExitSourceMissing = 2,      // missing or cannot be opened; nothing touched
    ExitNoUpdater = 3,          // nothing touched
    ExitIncomplete = 4,         // ran to the end, but something failed (each logged); or out of memory
    ExitOverlap = 5,            // source and destination overlap; nothing touched
    ExitBusy = 6,               // another install into the destination runs; nothing touched
    ExitAbandoned = 7,          // atomic install abandoned, destination unchanged
    ExitAtomicImpossible = 8,   // the destination cannot be swapped in one step; nothing touched
    ExitNothingKept = 9,        // rollback: no previous version of the destination is kept; nothing touched
    ExitBadArguments = 255,     // too few paths, an empty one, an unknown option or options that exclude each other
};

// The meaning of an installer's exit status in a few words, for people;
// nullptr for a status the installer never gives.
inline const char *exitStatusMeaning(int status)
{
    switch (status) {
    case ExitInstalled: return "installed";
    case ExitSourceNotDirectory: return "SOURCE is not a directory";
    case ExitSourceMissing: return "SOURCE is missing";
    case ExitNoUpdater: return "no updater";
    case ExitIncomplete: return "some entries failed";
    case ExitOverlap: return "the paths overlap";
    case ExitBusy: return "another install is running";
    case ExitAbandoned: return "atomic install abandoned";
    case ExitAtomicImpossible: return "cannot swap atomically";
    case ExitNothingKept: return "no previous version kept";
    case ExitBadArguments: return "bad command line";
    }
    return nullptr;
}
