#pragma once

#include "ostrel/installerclient.h"
#include "progressparser.h"

#include <QElapsedTimer>

using Ostrel::ProgressMessage;

// What is known about an install at one moment. Numbers are kept as they
// arrived (a progress count may exceed the total or be negative); consumers
// clamp when they need a fraction.
struct ProgressSnapshot
{
    bool started = false;  // a START message has arrived
    bool finished = false; // the DONE message has arrived
    qint64 total = 0;      // from the latest START
    qint64 done = 0;       // from the latest PROGRESS
    qint64 elapsedMs = 0;  // since the first message
    Ostrel::InstallerClient::Phase phase = Ostrel::InstallerClient::Starting; // as the installer's lines tell
    QString slowFile;      // while copying, a file that has taken long; else empty
};

// Share of the work done, 0..100. A total of zero or less means there is
// nothing to wait for, which counts as complete.
int percentDone(const ProgressSnapshot &snapshot);

// Takes in the parsed messages and keeps the clock that started with the
// first of them.
class ProgressTracker
{
public:
    void apply(const ProgressMessage &message);
    void setPhase(Ostrel::InstallerClient::Phase phase, const QString &slowFile = QString());
    ProgressSnapshot snapshot() const; // elapsedMs measured now

private:
    ProgressSnapshot state;
    QElapsedTimer clock;
};
