#pragma once

// The state of the one install a process runs: its two paths, the pair of
// directories open at each level of the copy, the links waiting to be
// created, and the report. The install steps keep the signatures their log
// lines carry, so what they share beyond their parameters lives here, reached
// through Install::active(). Nothing here logs.

#include "installer.h"
#include "nativepath.h"
#include "uniquefd.h"

#include <QHash>

#include <deque>

class Install
{
public:
    // Becomes the active install until destroyed.
    Install(const NativePath &source, const NativePath &destination);
    ~Install();
    Install(const Install &) = delete;
    Install &operator=(const Install &) = delete;

    static Install &active();

    const NativePath source;
    const NativePath destination;
    InstallReport report;

    // A source directory and its copy, both open.
    struct Level
    {
        NativePath source;
        NativePath destination;
        UniqueFd sourceFd;
        UniqueFd destinationFd;
        bool sourceMissing = false; // gone, or no directory: nothing to copy
    };
    // Opens the top level: the source, and the destination, created with its
    // parents unless the source is missing.
    void enterTop();
    // Opens the subdirectory `name` of the current level on both sides,
    // creating it in the destination unless it is missing in the source.
    // Links are never followed.
    void enterSubdirectory(const QByteArray &name);
    void leaveLevel() { levels.pop_back(); }
    Level &level() { return levels.back(); }

    // Empties the destination; silent, what cannot be removed stays.
    void clearDestination();
    // Syncs the destination's file system; false when it failed.
    bool syncDestination();

    // Records the link `name` of the current level for createLinks and
    // returns its text for the destination: the target made relative to
    // the link's directory, so a link within the tree stays one wherever the
    // tree is installed.
    QString recordLink(const QByteArray &name, const NativePath &installedAt);
    // Creates the recorded link whose installed path is `path`.
    bool createLink(const QString &path);

private:
    struct PendingLink
    {
        QByteArray path;
        QByteArray text;
    };

    std::deque<Level> levels; // a deque: a level stays put while deeper ones come and go
    UniqueFd destinationRoot;
    QHash<QString, PendingLink> pendingLinks;
};
