#include "installerlines.h"

#include "nativename.h"
#include "protocol.h"

#include <utility>

namespace {

// A line longer than this is passed over: it holds a path far beyond any
// a reason would show.
const qsizetype maxLine = 64 * 1024;

// The messages with which the installer reports a failure.
const char *const failurePrefixes[] = {"Failed to copy ", "Fail to create symlink ", "Unable to ", "Refusing to copy ",
                                       "Out of memory"};

// The messages with which the installer begins a phase, beside the start
// message that begins the copy.
struct PhaseMark
{
    const char *prefix;
    InstallerLines::Phase phase;
};
const PhaseMark phaseMarks[] = {
        {"source dir is ", InstallerLines::Phase::Clearing},
        {"Create links", InstallerLines::Phase::Linking},
        {"Syncing ", InstallerLines::Phase::Syncing},
        {"Swapping the new version into ", InstallerLines::Phase::Swapping},
        {"Removing the previous version of ", InstallerLines::Phase::RemovingPrevious},
        {"Keeping the previous version of ", InstallerLines::Phase::KeepingPrevious},
        {"Atomic install abandoned, ", InstallerLines::Phase::RemovingAbandoned},
        {"Rolling back ", InstallerLines::Phase::RollingBack},
        {"Swapping the kept version into ", InstallerLines::Phase::Swapping},
};

// Where a phase comes in a run, for phases to move only forward. A rollback
// copies nothing: rolling back stands where the copy would, so that its
// start message (of no files) begins no phase and its swap follows.
int rank(InstallerLines::Phase phase)
{
    using Phase = InstallerLines::Phase;
    switch (phase) {
    case Phase::Starting: return 0;
    case Phase::Clearing: return 1;
    case Phase::Copying:
    case Phase::RollingBack: return 2;
    case Phase::Linking: return 3;
    case Phase::Syncing: return 4;
    case Phase::Swapping: return 5;
    case Phase::RemovingPrevious:
    case Phase::KeepingPrevious: return 6;
    case Phase::RemovingAbandoned: return 7;
    }
    return 0;
}

const int tickMs = 250;
const int lastingTicks = 4; // a second

} // namespace

InstallerLines::InstallerLines(QObject *parent)
    : QObject(parent)
{
    ticker.setInterval(tickMs);
    connect(&ticker, &QTimer::timeout, this, &InstallerLines::tick);
}

void InstallerLines::feed(QByteArrayView bytes)
{
    partial.append(bytes);
    qsizetype end;
    // A refused command line is the one plain line "ostrel-installer: <why>".
    static const QByteArray usage = "ostrel-installer: ";
    if (partial.startsWith(usage) && (end = partial.indexOf('\n')) >= 0) {
        last = decodeFileName(partial.mid(usage.size(), end - usage.size()));
        partial.remove(0, end + 1);
    }
    // Every diagnostic line ends in a double quote, a space and a line feed.
    while ((end = partial.indexOf("\" \n")) >= 0) {
        line(QByteArrayView(partial).first(end));
        partial.remove(0, end + 3);
    }
    if (partial.size() > maxLine)
        partial.clear();
}

void InstallerLines::copyStarted()
{
    enter(Phase::Copying);
}

QString InstallerLines::reason(int status) const
{
    const char *meaning = exitStatusMeaning(status);
    // Some entries failed: the first failure says more than the last line.
    const QString said = status == ExitIncomplete && !failure.isEmpty() ? failure : last;
    if (status == ExitInstalled || !meaning || said.isEmpty())
        return QString();
    return QStringLiteral("%1 (installer status %2: %3)").arg(said).arg(status).arg(QLatin1String(meaning));
}

void InstallerLines::line(QByteArrayView text)
{
    // "<time> [<file>:<line>] <function> <message>: the function's text
    // ends at its closing parenthesis.
    const qsizetype place = text.indexOf("] ");
    const qsizetype function = place < 0 ? -1 : text.indexOf(") ", place);
    if (!text.startsWith('"') || function < 0)
        return;
    last = decodeFileName(text.sliced(function + 2).toByteArray());

    static const QLatin1String copying("trying to copy file "), destinationIs(" destination dir is ");
    // (Read before the start message too, which comes on another channel.)
    if ((current == Phase::Clearing || current == Phase::Copying) && last.startsWith(copying)) {
        // "trying to copy file SOURCE/NAME -> DESTINATION/NAME"
        const QString arrow = QLatin1String(" -> ") + destination + QLatin1Char('/');
        const qsizetype from = copying.size() + source.size() + 1, to = last.indexOf(arrow, from);
        if (last.mid(copying.size(), source.size() + 1) == source + QLatin1Char('/') && to > from) {
            file = last.mid(from, to - from);
            ++changes;
        }
        return;
    }
    for (const PhaseMark &mark : phaseMarks) {
        if (!last.startsWith(QLatin1String(mark.prefix)))
            continue;
        if (mark.phase == Phase::Clearing) { // "source dir is S destination dir is D"
            const qsizetype middle = last.indexOf(destinationIs);
            source = last.mid(qsizetype(qstrlen(mark.prefix)), middle - qsizetype(qstrlen(mark.prefix)));
            destination = middle < 0 ? QString() : last.mid(middle + destinationIs.size());
        }
        enter(mark.phase);
        return;
    }

    // The line after a failure may give its cause.
    if (std::exchange(causeMayFollow, false) && last.startsWith(QLatin1String("Cause: ")))
        failure += QLatin1String(": ") + last.mid(7);
    if (!failure.isEmpty())
        return;
    for (const char *prefix : failurePrefixes)
        if (last.startsWith(QLatin1String(prefix)))
            failure = last;
    causeMayFollow = !failure.isEmpty();
}

void InstallerLines::enter(Phase phase)
{
    // Lines and messages come on two channels, so the start message may be
    // read before the line that precedes it, and lines that follow it
    // before it: each phase waits for the one before it.
    if (phase == Phase::Copying && rank(current) < rank(Phase::Clearing)) {
        startArrived = true;
        return;
    }
    if (rank(phase) > rank(Phase::Copying) && rank(current) < rank(Phase::Copying)) {
        held.append(phase);
        return;
    }
    if (rank(phase) <= rank(current))
        return;
    current = phase;
    if (rank(phase) > rank(Phase::Copying))
        file.clear();
    ++changes;
    quietTicks = 0;
    if (!ticker.isActive())
        ticker.start();
    emit phaseChanged(phase);
    if (phase == Phase::Clearing && startArrived)
        enter(Phase::Copying);
    if (phase == Phase::Copying)
        for (const Phase next : std::exchange(held, {}))
            enter(next);
}

void InstallerLines::tick()
{
    if (changes != changesSeen) {
        changesSeen = changes;
        quietTicks = 0;
        return;
    }
    if (++quietTicks == lastingTicks)
        emit lasting(current, file);
}
