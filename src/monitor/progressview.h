#pragma once

#include "outcome.h"
#include "outputsink.h"
#include "progressparser.h"

#include <QString>

using Ostrel::ProgressMessage;

// A way of showing a run on standard output (the sink it is given): a live
// bar on a terminal, plain lines, or JSON objects. The session calls these in
// order: listening once, then messageReceived for each message and
// phaseChanged or lasting for what the installer's lines tell (each after
// the tracker has taken it in), then finished once.
class ProgressView
{
public:
    virtual ~ProgressView() = default;
    virtual void listening(const QString &serverPath) = 0;
    virtual void messageReceived(const ProgressMessage &message) = 0;
    // The installer has moved on to another phase.
    virtual void phaseChanged(Ostrel::InstallerClient::Phase) {}
    // The phase, or the copy of one file (slowFile), has lasted a second.
    virtual void lasting(const ProgressSnapshot &) {}
    virtual void finished(const Outcome &outcome) = 0;
    // Something is about to be written to standard error; a view drawing on
    // the same terminal gets out of the way first.
    virtual void aboutToWriteStderr() {}
};
