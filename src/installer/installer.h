#pragma once

// ostrel-installer's install procedure and its steps: one install of a
// package tree into a destination, reported to the updater and logged line by
// line. Nothing here throws.
//
// Error policy, for the whole installer:
// - Refused before anything is touched (one line, the install does not
//   start, its own exit status): a missing, unreadable or non-directory
//   source, a destination that overlaps the source, an updater that does
//   not answer, another install running into the destination.
// - Logged and counted, the install goes on to the end (ExitIncomplete):
//   an old entry that cannot be removed (a mount point among them), a
//   directory that cannot be created, a source entry or directory that
//   cannot be read or has vanished, a file that cannot be copied, a link
//   that cannot be created, a sync that fails.
// - Atomic installs: a destination that cannot be swapped in one step is
//   refused before anything is touched (ExitAtomicImpossible); any failure
//   before the swap abandons the install (ExitAbandoned, no done message).
//   A previous version that cannot be kept is logged and counted, and
//   removed as without keeping it.
// - Rollbacks: nothing kept, or something not the installer's own under
//   the kept version's name (ExitNothingKept), and what refuses an atomic
//   install, are refused before anything is touched.
// - Logged once, the install goes on as well as it can: copy threads or
//   the output thread that cannot be started (fewer threads, unbatched
//   output), no private lock directory (DESTINATION itself is locked), a
//   name beside DESTINATION like a work directory's that is not the
//   installer's own (left alone).
// - Out of memory: the install stops with a line (ExitIncomplete, for an
//   atomic install ExitAbandoned); std::bad_alloc never ends the process.
// - Silent: an updater that goes away (there is nobody left to tell, and the
//   install goes on).
//
// The functions that log live in main.cpp and keep the exact signatures that
// their log lines carry (see log.h). main() itself is in entrypoint.cpp, so
// that tests can link everything else.

#include "nativepath.h"
#include "protocol.h"

#include <QByteArray>
#include <QMap>
#include <QString>

class OutputFlusher;
class PipeClient;
class Staging;

// What one install came to: how many failures its steps counted, and whether
// it ended early with a status of its own.
class InstallReport
{
public:
    void countFailure() { ++failures; }
    void end(ExitStatus status) { endedWith = status; }
    bool hasEnded() const { return endedWith != ExitInstalled; }
    ExitStatus exitStatus() const
    {
        return hasEnded() ? endedWith : failures == 0 ? ExitInstalled : ExitIncomplete;
    }

private:
    int failures = 0;
    ExitStatus endedWith = ExitInstalled;
};

// Installs the tree at `source` into `destination` (absolute, clean paths)
// and returns the exit status: refuses what the error policy above says;
// otherwise locks and empties the destination, copies the tree, creates its
// links, syncs and announces completion to the updater ("OstrelUpdater").
// An atomic install instead builds the new version in a hidden sibling of
// the destination and swaps the two in one step once all of it is there
// and synced; on any failure it removes the new version and leaves the
// destination as it was (ExitAbandoned). A changed-only install gives the
// same tree, the same lines and messages, but keeps the files of the
// version it replaces that are unchanged (see isUnchangedCopy in
// filecopy.h) instead of writing them again: it updates the destination in
// place, never emptying it, or, atomic, links them into the new version.
// An atomic install that keeps the previous version keeps it beside the
// destination (see staging.h), in place of the one kept before.
// `output` is the process's batched output (see outputflusher.h).
struct InstallMode
{
    bool atomic = false;
    bool changedOnly = false;
    bool keepPrevious = false; // atomic only
};
ExitStatus runInstall(const NativePath &source, const NativePath &destination, const InstallMode &mode,
                      OutputFlusher &output);

// Exchanges `destination` (absolute, clean) with the version kept beside
// it in one step, under the destination's lock, reported to the updater as
// an install of no files; returns the exit status.
ExitStatus rollBack(const NativePath &destination, OutputFlusher &output);
// A rollback's step: whether the kept version is there and the installer's
// own (then `siblings` holds it open); logs why not, as `kept` (its path)
// and `destination`.
bool findKeptVersion(Staging &siblings, const QString &destination, const QString &kept);

// The install steps. They work on the install that runInstall is running and
// count their failures in its report.
void installPackage(const QString &source, const QString &destination);
// Copies one directory level, depth first in case-insensitive name order,
// hidden entries included: regular files with their permission bits (each
// one advances the progress), subdirectories; links are recorded in `links`
// (destination path -> link text, relative to the link's directory) for
// createLinks; special files are passed over.
void recursiveCopy(const QString source, const QString destination, PipeClient *client,
                   QMap<QString, QString> &links);
// Creates the recorded links in key order; a failure is logged and counted.
void createLinks(QMap<QString, QString> links);
// After the swap of an install that keeps the previous version: keeps it,
// or, when it cannot be kept, logs why and counts a failure (it is then
// removed as without keeping it).
void keepPreviousVersion(const QString &destination);

// Utilities that no install calls.
// Runs a command line (split like a shell would split plain words and double
// quotes, no shell involved) and waits up to 30 s. True when it exited
// normally with status 0; otherwise logs the command, the exit code or the
// reason there is none, and its standard output, and returns false. The
// child never outlives the call.
bool execute(const QString &command);
// Replaces the contents of the file `path` with `data`. Logs one line when
// the file cannot be opened, or not every byte reached it.
void writeFileOrExit(const QString &path, const QByteArray &data);
