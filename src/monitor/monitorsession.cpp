#include "monitorsession.h"

#include "jsonview.h"
#include "nativename.h"
#include "plainview.h"
#include "terminalview.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::unique_ptr<ProgressView> makeView(const MonitorOptions &options, const ProgressTracker &tracker, OutputSink &out)
{
    if (options.json)
        return std::make_unique<JsonView>(tracker, out);
    const bool bar = options.view == MonitorOptions::View::ByTerminal ? ::isatty(STDOUT_FILENO) == 1
                                                                      : options.view == MonitorOptions::View::Bar;
    if (bar)
        return std::make_unique<TerminalView>(tracker, out);
    return std::make_unique<PlainView>(tracker, out);
}

} // namespace

MonitorSession::MonitorSession(const MonitorOptions &options, QObject *parent)
    : QObject(parent)
    , options(options)
    , out(OutputSink::forStream(STDOUT_FILENO, QStringLiteral("standard output"), this))
    , err(OutputSink::forStream(STDERR_FILENO, QStringLiteral("standard error"), this))
    , view(makeView(options, tracker, *out))
{
    for (OutputSink *sink : {out, err}) {
        connect(sink, &OutputSink::failed, this, &MonitorSession::outputFailed);
        connect(sink, &OutputSink::drained, this, &MonitorSession::endWhenDrained);
    }
    facts.timeoutSeconds = options.timeoutSeconds;
    startDeadline.setSingleShot(true);
    startDeadline.setInterval(int(qMin(options.timeoutSeconds * 1000.0, double(INT_MAX))));
    connect(&startDeadline, &QTimer::timeout, this, [this] {
        facts.timedOut = true;
        finish();
    });
    logFlush.setSingleShot(true);
    logFlush.setInterval(logFlushMs);
    connect(&logFlush, &QTimer::timeout, this, &MonitorSession::flushCommandOutput);
    // A connected installer may take long before its start message (it
    // empties the destination first): it is never stopped on a timer.
    connect(&channel, &Ostrel::ProgressChannel::installerArrived, &startDeadline, &QTimer::stop);
    connect(&channel, &Ostrel::ProgressChannel::messageReceived, this, &MonitorSession::messageReceived);
    connect(&channel, &Ostrel::ProgressChannel::commandOutput, this, &MonitorSession::writeCommandOutput);
    connect(&channel, &Ostrel::ProgressChannel::commandFinished, this, &MonitorSession::flushCommandOutput);
    connect(&channel, &Ostrel::ProgressChannel::settled, this, [this] { finish(); });
    connect(&installerLines, &InstallerLines::phaseChanged, this, [this](InstallerLines::Phase phase) {
        tracker.setPhase(phase);
        view->phaseChanged(phase);
    });
    connect(&installerLines, &InstallerLines::lasting, this, [this](InstallerLines::Phase phase, const QString &file) {
        tracker.setPhase(phase, file);
        view->lasting(tracker.snapshot());
    });
}

MonitorSession::~MonitorSession() = default;

void MonitorSession::start()
{
    if (!openLogFile())
        return;
    const Ostrel::ServerClaim claim = channel.listen(options.serverName);
    if (claim.status != Ostrel::ServerClaim::Status::Listening) {
        finish(Outcome{claim.status == Ostrel::ServerClaim::Status::Busy ? ExitNameBusy : ExitSetupFailed, claim.message});
        return;
    }
    if (claim.removedStaleSocket)
        writeStderr(QStringLiteral("ostrel-monitor: removed stale socket %1\n").arg(channel.serverPath()));
    view->listening(channel.serverPath());
    if (options.timeoutSeconds > 0)
        startDeadline.start();
    if (!options.command.isEmpty())
        channel.startCommand(options.command);
}

void MonitorSession::interrupt(int signal)
{
    facts.interruptedBy = signal;
    if (!decided) {
        finish();
        return;
    }
    if (!draining)
        return;
    draining.reset();
    const Outcome outcome = decideOutcome(facts);
    writeStderr(QStringLiteral("ostrel-monitor: %1\n").arg(outcome.reason));
    flushOutputsNow();
    emit finished(outcome.exitCode);
}

bool MonitorSession::openLogFile()
{
    if (options.logFile.isEmpty())
        return true;
    // Without O_NONBLOCK, opening a FIFO nobody reads would wait for a
    // reader for ever; with it, that fails at once with ENXIO. A FIFO with a
    // reader is taken.
    const QByteArray path = encodeFileName(options.logFile);
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        const int error = errno;
        struct stat info{};
        QString reason = QString::fromLocal8Bit(std::strerror(error));
        if (error == ENXIO && ::stat(path.constData(), &info) == 0 && S_ISFIFO(info.st_mode))
            reason = QStringLiteral("a FIFO nobody reads (%1)").arg(reason);
        finish(Outcome{ExitSetupFailed, QStringLiteral("cannot open log file %1: %2").arg(options.logFile, reason)});
        return false;
    }
    log = new OutputSink(UniqueFd(fd), QStringLiteral("log file ") + options.logFile, this);
    connect(log, &OutputSink::failed, this, &MonitorSession::outputFailed);
    connect(log, &OutputSink::drained, this, &MonitorSession::endWhenDrained);
    return true;
}

void MonitorSession::messageReceived(const Ostrel::ProgressMessage &message)
{
    tracker.apply(message);
    view->messageReceived(message);
    if (message.kind == Ostrel::ProgressMessage::Kind::Start)
        installerLines.copyStarted();
}

void MonitorSession::finish(const std::optional<Outcome> &setupFailure)
{
    if (decided)
        return;
    decided = true;
    startDeadline.stop();
    channel.end();
    if (Ostrel::CommandRunner *runner = channel.command()) {
        // Still running only when the monitor was interrupted or timed out.
        runner->stopAndWait();
        facts.command = runner->result();
        if (facts.command->kind == Ostrel::CommandResult::Kind::Exited)
            facts.installerReason = installerLines.reason(facts.command->code);
    }
    flushCommandOutput();
    channel.close();
    facts.installerConnected = channel.installerConnected();
    facts.doneReceived = channel.doneReceived();
    facts.protocolError = channel.protocolError();

    const Outcome outcome = setupFailure ? *setupFailure : decideOutcome(facts);
    view->finished(outcome);
    // An output's failure was reported as it happened.
    if (!outcome.reason.isEmpty() && outcome.exitCode != ExitOutputFailed)
        writeStderr(QStringLiteral("ostrel-monitor: %1\n").arg(outcome.reason));
    if (facts.interruptedBy) {
        flushOutputsNow();
        emit finished(outcome.exitCode);
        return;
    }
    draining = outcome.exitCode;
    endWhenDrained();
}

void MonitorSession::endWhenDrained()
{
    if (!draining)
        return;
    for (const OutputSink *sink : {out, err, log})
        if (sink && !sink->isDrained())
            return;
    // The last lines may have been the ones that failed.
    const int exitCode = *draining == ExitSuccess && !facts.outputFailure.isEmpty() ? int(ExitOutputFailed) : *draining;
    draining.reset();
    emit finished(exitCode);
}

void MonitorSession::flushOutputsNow()
{
    for (OutputSink *sink : {out, err, log})
        if (sink)
            sink->flushNow();
}

void MonitorSession::outputFailed(const QString &line)
{
    if (facts.outputFailure.isEmpty())
        facts.outputFailure = line;
    writeStderr(QStringLiteral("ostrel-monitor: %1\n").arg(line));
}

void MonitorSession::writeCommandOutput(const QByteArray &bytes)
{
    installerLines.feed(bytes);
    if (log) {
        logPending += bytes;
        if (!logFlush.isActive())
            logFlush.start();
        return;
    }
    stderrPending += bytes;
    const qsizetype end = stderrPending.lastIndexOf('\n') + 1;
    if (end == 0)
        return;
    view->aboutToWriteStderr();
    err->write(stderrPending.first(end));
    stderrPending.remove(0, end);
}

void MonitorSession::flushCommandOutput()
{
    logFlush.stop();
    if (log && !logPending.isEmpty())
        log->write(logPending);
    logPending.clear();
    if (stderrPending.isEmpty())
        return;
    view->aboutToWriteStderr();
    err->write(stderrPending + '\n');
    stderrPending.clear();
}

void MonitorSession::writeStderr(const QString &text)
{
    view->aboutToWriteStderr();
    err->write(text.toLocal8Bit());
}
