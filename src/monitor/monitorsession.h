#pragma once

#include "commandrunner.h"
#include "monitoroptions.h"
#include "outcome.h"
#include "progressparser.h"
#include "progresstracker.h"
#include "progressview.h"

#include <QFile>
#include <QList>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

// One run of the monitor: listens, starts the command if there is one, reads
// the installer's connection, shows the progress, and emits finished() once
// with the exit status, after printing the reason for a failure on standard
// error and removing the socket file.
//
// A connection counts as the installer's once it sends its first byte; one
// that closes without a byte is taken for a probe (another monitor checking
// whether the name is in use) and forgotten. When a command was started,
// only its own process or one of its descendants can be the installer: any
// other connection is closed at once, so that a stray or hostile client of
// the same user cannot fail or fake the install. Once the installer is
// known, further connections are closed at once. When a command was started, the
// run never ends before the command has exited, unless the start message
// does not arrive within the time-out: then the command is stopped, as on a
// signal.
class MonitorSession : public QObject
{
    Q_OBJECT

public:
    explicit MonitorSession(const MonitorOptions &options, QObject *parent = nullptr);
    ~MonitorSession() override;

    // Needs a running event loop: finished() may be emitted from here.
    void start();
    // Stops the command and ends the run at once (a signal arrived).
    void interrupt(int signal);

signals:
    void finished(int exitCode);

private:
    // How long an exited command's connection may stay open before the run
    // ends without it (only a process the command left behind can hold it).
    static constexpr int drainAfterCommandMs = 2000;

    bool openLogFile();
    void acceptConnections();
    void readFrom(QLocalSocket *socket);
    void connectionClosed(QLocalSocket *socket);
    void adoptInstaller(QLocalSocket *socket);
    void closeSilentConnections();
    void writeCommandOutput(const QByteArray &bytes);
    void flushCommandOutput();
    void writeStderr(const QString &text);
    void maybeFinish();
    // Without an outcome, works it out from what the run observed.
    void finish(const std::optional<Outcome> &setupFailure = std::nullopt);

    MonitorOptions options;
    ProgressTracker tracker;
    std::unique_ptr<ProgressView> view;
    QLocalServer server;
    QList<QLocalSocket *> silentConnections;
    QLocalSocket *installer = nullptr;
    bool installerClosed = false;
    ProgressParser parser;
    CommandRunner *runner = nullptr;
    QFile log;
    // The command's output on its way: to the log in writes of up to
    // logFlushMs worth, to standard error in whole lines (a line never breaks
    // into the progress bar), an unfinished one ended when the command ends.
    static constexpr int logFlushMs = 50;
    QByteArray logPending;
    QByteArray stderrPending;
    QTimer logFlush;
    QTimer startDeadline; // --timeout: until the start message (or done) arrives
    QTimer drainTimer;
    bool drainExpired = false;
    SessionFacts facts;
    bool decided = false;
};
