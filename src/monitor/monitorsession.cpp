#include "monitorsession.h"

#include "fdwrite.h"
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

std::unique_ptr<ProgressView> makeView(const MonitorOptions &options, const ProgressTracker &tracker)
{
    if (options.json)
        return std::make_unique<JsonView>(tracker);
    if (::isatty(STDOUT_FILENO))
        return std::make_unique<TerminalView>(tracker);
    return std::make_unique<PlainView>(tracker);
}

} // namespace

MonitorSession::MonitorSession(const MonitorOptions &options, QObject *parent)
    : QObject(parent)
    , options(options)
    , view(makeView(options, tracker))
{
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
    connect(&channel, &Ostrel::ProgressChannel::messageReceived, this, &MonitorSession::messageReceived);
    connect(&channel, &Ostrel::ProgressChannel::commandOutput, this, &MonitorSession::writeCommandOutput);
    connect(&channel, &Ostrel::ProgressChannel::commandFinished, this, &MonitorSession::flushCommandOutput);
    connect(&channel, &Ostrel::ProgressChannel::settled, this, [this] { finish(); });
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
    finish();
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
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (log.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    finish(Outcome{ExitSetupFailed, QStringLiteral("cannot open log file %1: %2").arg(options.logFile, log.errorString())});
    return false;
}

void MonitorSession::messageReceived(const Ostrel::ProgressMessage &message)
{
    tracker.apply(message);
    view->messageReceived(message);
    if (message.kind != Ostrel::ProgressMessage::Kind::Progress)
        startDeadline.stop();
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
    }
    flushCommandOutput();
    channel.close();
    facts.installerConnected = channel.installerConnected();
    facts.doneReceived = channel.doneReceived();
    facts.protocolError = channel.protocolError();

    const Outcome outcome = setupFailure ? *setupFailure : decideOutcome(facts);
    view->finished(outcome);
    if (!outcome.reason.isEmpty())
        writeStderr(QStringLiteral("ostrel-monitor: %1\n").arg(outcome.reason));
    emit finished(outcome.exitCode);
}

void MonitorSession::writeCommandOutput(const QByteArray &bytes)
{
    if (log.isOpen()) {
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
    writeAll(STDERR_FILENO, stderrPending.first(end));
    stderrPending.remove(0, end);
}

void MonitorSession::flushCommandOutput()
{
    logFlush.stop();
    if (!logPending.isEmpty())
        log.write(logPending);
    logPending.clear();
    if (stderrPending.isEmpty())
        return;
    view->aboutToWriteStderr();
    writeAll(STDERR_FILENO, stderrPending + '\n');
    stderrPending.clear();
}

void MonitorSession::writeStderr(const QString &text)
{
    view->aboutToWriteStderr();
    writeAll(STDERR_FILENO, text.toLocal8Bit());
}
