#pragma once

#include "uniquefd.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// One of the monitor's outputs (standard output, standard error, the log
// file), written without ever holding up the event loop: what the reader is
// not ready for waits here and goes out as it makes room, so that signals
// and the command's output are still taken in while a reader dawdles. An
// output fails, once and for good, when a write fails (a full disk, a reader
// gone) or when more than maxPending bytes wait (a reader who stopped
// reading); from then on everything for it is dropped.
class OutputSink : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype maxPending = 16 << 20; // a reader that pauses is not one that stopped

    // Standard output or standard error, which the monitor shares with
    // whoever started it: a pipe or a terminal is written through a
    // non-blocking description of its own (reopened through /proc), so that
    // the shared one keeps its flags; a socket with MSG_DONTWAIT; a regular
    // file or another device as it is, where a write does not wait for a
    // reader. `what` names it in messages: "standard output".
    static OutputSink *forStream(int fd, const QString &what, QObject *parent = nullptr);
    // A file the monitor opened itself with O_NONBLOCK; closed with the sink.
    OutputSink(UniqueFd file, const QString &what, QObject *parent = nullptr);
    ~OutputSink() override;

    void write(QByteArrayView bytes);
    // Another go at what waits, without waiting: for the last moments.
    void flushNow() { writePending(); }
    bool isDrained() const { return pending.isEmpty(); }
    bool hasFailed() const { return failedForGood; }

signals:
    // Once: "cannot write standard output: Broken pipe".
    void failed(const QString &line);
    // Nothing waits any more (also after a failure).
    void drained();

private:
    OutputSink(int fd, UniqueFd owned, const QString &what, QObject *parent);
    void writePending();
    void fail(const QString &reason);

    int fd;
    UniqueFd owned;       // a description of the monitor's own, if any
    int restoreFlags = -1; // the shared description's flags to put back
    bool socket = false;
    QString what;
    QByteArray pending;
    QSocketNotifier *notifier = nullptr; // made at the first write that has to wait
    bool failedForGood = false;
};
