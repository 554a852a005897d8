#pragma once

#include "progresstracker.h"
#include "progressview.h"

// Plain lines for logs and pipes:
//   listening on /tmp/OstrelUpdater
//   start: 20 files
//   progress: 2/20 files (10%)      each time another 10% is reached
//   phase: copying lib/big.so      a phase, or one file's copy, lasting a second
//   done: 20 of 20 files in 00:01 (18.5 files/s)
// or, when the run fails before DONE, "stopped: ..." as the last line.
class PlainView : public ProgressView
{
public:
    PlainView(const ProgressTracker &tracker, OutputSink &out);

    void listening(const QString &serverPath) override;
    void messageReceived(const ProgressMessage &message) override;
    void lasting(const ProgressSnapshot &snapshot) override;
    void finished(const Outcome &outcome) override;

private:
    static constexpr int percentStep = 10;

    void printLine(const QString &line);

    const ProgressTracker &tracker;
    OutputSink &out;
    bool listened = false; // a run that never listened has no progress to sum up
    int lastStepShown = 0; // in percent
};
