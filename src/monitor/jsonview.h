#pragma once

#include "progresstracker.h"
#include "progressview.h"

// One compact JSON object per line for scripts, one per event:
//   {"event":"listening","name":"/tmp/OstrelUpdater"}
//   {"event":"start","total":20}
//   {"event":"progress","done":1,"total":20,"percent":5,"elapsed_ms":3}
//   {"event":"done","done":20,"total":20,"elapsed_ms":41}
//   {"event":"error","exit_code":7,"reason":"ostrel-installer exited with status 4"}
// Every PROGRESS message gives a progress object (a script may thin them out
// itself); before a START, total and percent are null. The error object ends
// every failed run, also one where DONE had arrived.
class JsonView : public ProgressView
{
public:
    JsonView(const ProgressTracker &tracker, OutputSink &out);

    void listening(const QString &serverPath) override;
    void messageReceived(const ProgressMessage &message) override;
    void phaseChanged(Ostrel::InstallerClient::Phase phase) override;
    void lasting(const ProgressSnapshot &snapshot) override;
    void finished(const Outcome &outcome) override;

private:
    const ProgressTracker &tracker;
    OutputSink &out;
};
