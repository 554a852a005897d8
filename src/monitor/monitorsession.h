#pragma once

#include "monitoroptions.h"
#include "installerlines.h"
#include "outcome.h"
#include "outputsink.h"
#include "progresschannel.h"
#include "progresstracker.h"
#include "progressview.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

// One run of the monitor: listens, starts the command if there is one, shows
// the progress the installer reports over the channel, and emits finished()
// once with the exit status, after printing the reason for a failure on
// standard error and removing the socket file. Which connection is the
// installer's is the channel's business (see ProgressChannel). When a
// command was started, the run never ends before the command has exited,
// unless the start message does not arrive within the time-out: then the
// command is stopped, as on a signal.
//
// Its outputs (standard output, standard error, the log file) never hold the
// event loop up (see OutputSink). One that cannot be written is reported on
// standard error when that happens and fails a run that would otherwise
// succeed, but the command goes on to its end. A finished run waits for
// what its outputs still hold to be written; a signal ends that wait, as it
// ends the run, without waiting for anything but the command.
class MonitorSession : public QObject
{
    Q_OBJECT

public:
    explicit MonitorSession(const MonitorOptions &options, QObject *parent = nullptr);
    ~MonitorSession() override;

    // Needs a running event loop: finished() may be emitted from here.
    void start();
    // Stops the command and ends the run at once (a signal arrived), or
    // stops waiting for the outputs of a run that has ended.
    void interrupt(int signal);

signals:
    void finished(int exitCode);

private:
    bool openLogFile();
    void messageReceived(const Ostrel::ProgressMessage &message);
    void writeCommandOutput(const QByteArray &bytes);
    void flushCommandOutput();
    void writeStderr(const QString &text);
    void outputFailed(const QString &line);
    // Without an outcome, works it out from what the run observed.
    void finish(const std::optional<Outcome> &setupFailure = std::nullopt);
    // Emits finished() once every output has drained.
    void endWhenDrained();
    // What the outputs take without waiting; the rest is dropped on exit.
    void flushOutputsNow();

    MonitorOptions options;
    ProgressTracker tracker;
    OutputSink *out;
    OutputSink *err;
    OutputSink *log = nullptr; // with --log, once open
    std::unique_ptr<ProgressView> view;
    Ostrel::ProgressChannel channel;
    InstallerLines installerLines;
    // The command's output on its way: to the log in writes of up to
    // logFlushMs worth, to standard error in whole lines (a line never breaks
    // into the progress bar), an unfinished one ended when the command ends.
    static constexpr int logFlushMs = 50;
    QByteArray logPending;
    QByteArray stderrPending;
    QTimer logFlush;
    QTimer startDeadline; // --timeout: until the installer connects
    SessionFacts facts;
    bool decided = false;
    std::optional<int> draining; // the exit status, while the outputs drain
};
