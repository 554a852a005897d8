#pragma once

// The one install a process runs, as its steps share it: the two paths,
// SOURCE opened once, and the parts that do the work — the destination
// (destination.h), the copy engine (copyengine.h), the link plan
// (linkplan.h) — with the report and the process's output. The install
// steps keep the signatures their log lines carry, so they reach it through
// Install::running(), which is checked: a step called with no install
// running stops the process with a message rather than touching anything.
// Nothing here logs.

#include "copyengine.h"
#include "destination.h"
#include "installer.h"
#include "linkplan.h"
#include "nativepath.h"
#include "outputflusher.h"
#include "result.h"
#include "uniquefd.h"

#include <memory>

class Install
{
public:
    // Is the running install until destroyed; there is at most one.
    // `output` writes its batched lines and messages (the process's).
    Install(const NativePath &source, const NativePath &destination, const InstallMode &mode, OutputFlusher &output);
    ~Install();
    Install(const Install &) = delete;
    Install &operator=(const Install &) = delete;

    // The running install; `step` names the caller for the message when
    // there is none.
    static Install &running(const char *step);

    const NativePath source;
    const bool atomic;
    const bool changedOnly;
    const bool keepPrevious;
    InstallReport report;
    OutputFlusher &output;
    Destination destination;

    // Opens SOURCE (a link at SOURCE itself is followed) for the whole
    // install; fails when it is no directory (ENOTDIR) or cannot be opened.
    Result openSource();
    int sourceRoot() const { return sourceFd.get(); }

    // Walks SOURCE, creating the copy of every directory, and starts the
    // copy into the prepared destination; returns the number of regular
    // files. Then copy() and links() are there.
    uint startCopy();
    CopyEngine &copy() { return *engine; }
    LinkPlan &links() { return *linkPlan; }

private:
    UniqueFd sourceFd;
    QByteArray realSource; // SOURCE with its links resolved
    std::unique_ptr<CopyEngine> engine;
    std::unique_ptr<LinkPlan> linkPlan;
};
