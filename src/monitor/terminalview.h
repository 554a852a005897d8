#pragma once

#include "progresstracker.h"
#include "progressview.h"

#include <QTimer>

// The live bar for a terminal on standard output. It redraws in place from a
// timer, at most redrawsPerSecond times a second however fast messages come,
// and on the last redraw replaces the bar with the summary line.
class TerminalView : public ProgressView
{
public:
    TerminalView(const ProgressTracker &tracker, OutputSink &out);

    void listening(const QString &serverPath) override;
    void messageReceived(const ProgressMessage &message) override;
    void finished(const Outcome &outcome) override;
    void aboutToWriteStderr() override;

private:
    static constexpr int redrawsPerSecond = 10;

    void redraw();
    void clearLine();

    const ProgressTracker &tracker;
    OutputSink &out;
    QTimer ticker;
    bool lineShown = false;
};
