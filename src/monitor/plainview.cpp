#include "plainview.h"

#include "progressrender.h"

PlainView::PlainView(const ProgressTracker &tracker, OutputSink &out)
    : tracker(tracker)
    , out(out)
{
}

void PlainView::listening(const QString &serverPath)
{
    listened = true;
    printLine(QStringLiteral("listening on ") + serverPath);
}

void PlainView::messageReceived(const ProgressMessage &message)
{
    const ProgressSnapshot s = tracker.snapshot();
    switch (message.kind) {
    case ProgressMessage::Kind::Start:
        lastStepShown = 0;
        printLine(QStringLiteral("start: %1 files").arg(s.total));
        break;
    case ProgressMessage::Kind::Progress: {
        // Nothing to measure against before a START, nor with nothing to install.
        if (!s.started || s.total <= 0)
            break;
        const int percent = percentDone(s);
        if (percent < lastStepShown + percentStep)
            break;
        lastStepShown = percent - percent % percentStep;
        printLine(QStringLiteral("progress: %1/%2 files (%3%)").arg(s.done).arg(s.total).arg(percent));
        break;
    }
    case ProgressMessage::Kind::Done:
        printLine(renderSummary(s));
        break;
    }
}

void PlainView::lasting(const ProgressSnapshot &s)
{
    // Copying shows as progress lines; one file that holds them up is named.
    if (s.phase != Ostrel::InstallerClient::Copying || !s.slowFile.isEmpty())
        printLine(QStringLiteral("phase: ") + Ostrel::InstallerClient::describePhase(s.phase, s.slowFile));
}

void PlainView::finished(const Outcome &)
{
    const ProgressSnapshot s = tracker.snapshot();
    if (listened && !s.finished)
        printLine(renderSummary(s));
}

void PlainView::printLine(const QString &line)
{
    out.write((line + QLatin1Char('\n')).toUtf8());
}
