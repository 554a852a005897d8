#include "terminalview.h"

#include "progressrender.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Asked on every redraw so that a resized window is followed.
int terminalWidth()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

} // namespace

TerminalView::TerminalView(const ProgressTracker &tracker, OutputSink &out)
    : tracker(tracker)
    , out(out)
{
    ticker.setInterval(1000 / redrawsPerSecond);
    QObject::connect(&ticker, &QTimer::timeout, [this] { redraw(); });
}

void TerminalView::listening(const QString &)
{
    redraw();
    ticker.start();
}

void TerminalView::messageReceived(const ProgressMessage &)
{
    // The ticker picks the change up; drawing here would redraw once per file.
}

void TerminalView::finished(const Outcome &)
{
    // A run that never listened has no progress to sum up.
    if (!ticker.isActive())
        return;
    ticker.stop();
    clearLine();
    out.write((renderSummary(tracker.snapshot()) + QLatin1Char('\n')).toUtf8());
}

void TerminalView::aboutToWriteStderr()
{
    // The next tick draws the bar again below whatever was written.
    clearLine();
}

void TerminalView::redraw()
{
    // "\r" returns to the start of the line, "\x1b[K" clears what a longer
    // previous line left behind.
    const QString line = renderProgressLine(tracker.snapshot(), terminalWidth());
    out.write("\r" + line.toUtf8() + "\x1b[K");
    lineShown = true;
}

void TerminalView::clearLine()
{
    if (!lineShown)
        return;
    out.write("\r\x1b[K");
    lineShown = false;
}
