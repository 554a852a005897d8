#include "progresstracker.h"

#include <QtGlobal>

int percentDone(const ProgressSnapshot &snapshot)
{
    if (snapshot.total <= 0)
        return 100;
    return int(qBound<qint64>(0, snapshot.done, snapshot.total) * 100 / snapshot.total);
}

void ProgressTracker::apply(const ProgressMessage &message)
{
    if (!clock.isValid())
        clock.start();
    switch (message.kind) {
    case ProgressMessage::Kind::Start:
        state.started = true;
        state.total = message.number;
        break;
    case ProgressMessage::Kind::Progress:
        state.done = message.number;
        state.slowFile.clear(); // it took long, and it is done
        break;
    case ProgressMessage::Kind::Done:
        state.finished = true;
        break;
    }
}

void ProgressTracker::setPhase(Ostrel::InstallerClient::Phase phase, const QString &slowFile)
{
    state.phase = phase;
    state.slowFile = slowFile;
}

ProgressSnapshot ProgressTracker::snapshot() const
{
    ProgressSnapshot now = state;
    now.elapsedMs = clock.isValid() ? clock.elapsed() : 0;
    return now;
}
