#pragma once

#include "loglines.h"
#include "unprivileged.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <functional>
#include <grp.h>
#include <memory>
#include <optional>

// Runs the built ostrel-installer as the updater would see it: in a TMPDIR of
// its own (where "OstrelUpdater" resolves), with a real QLocalServer standing
// in for the updater unless told otherwise.
struct InstallRun
{
    int exitCode = -1;
    bool crashed = false;
    bool timedOut = false;
    QByteArray standardOutput;
    QByteArray standardError;
    QByteArray messages; // everything the updater received
    QStringList tmpLeftovers; // what the installer left in its TMPDIR

    // "<function> <message>" of each diagnostic line; fails loudly on a
    // line that is not one.
    QStringList logged() const
    {
        QString error;
        return logRests(parseLogLines(standardError, &error));
    }

    // Empty when standard error holds nothing but diagnostic lines.
    QString strayOutput() const
    {
        QString error;
        parseLogLines(standardError, &error);
        return error;
    }

    // Only the message part of the diagnostic lines.
    QStringList loggedMessages() const
    {
        QString error;
        QStringList messages;
        for (const LogLine &line : parseLogLines(standardError, &error)) {
            const int close = line.rest.indexOf(QLatin1Char(')'));
            messages << line.rest.mid(line.rest.indexOf(QLatin1Char(' '), close) + 1);
        }
        return messages;
    }

    // Dumps the run for a failing test.
    QByteArray report() const
    {
        return "exit " + QByteArray::number(exitCode) + (crashed ? " (crashed)" : "") + (timedOut ? " (timed out)" : "")
               + "\nleft in TMPDIR: " + tmpLeftovers.join(QLatin1Char(' ')).toUtf8() + "\nmessages:\n" + messages.left(2000)
               + "\nstandard error:\n" + standardError.left(20000);
    }
};

struct InstallOptions
{
    bool listen = true;
    // Close the updater's end after this many messages (0: before reading
    // any; -1: never).
    int closeAfterMessages = -1;
    // Runs in the child just before the installer starts (resource limits).
    std::function<void()> childSetup;
    QString workingDirectory;
    // Start listening only this long after the installer has started.
    int listenAfterMs = 0;
    // false: the updater accepts the connection but reads nothing while the
    // installer runs, so the socket fills up.
    bool readWhileRunning = true;
    // Send signalToSend to the installer once the updater has received this
    // many messages (0: as soon as it has connected; -1: never).
    int signalAfterMessages = -1;
    int signalToSend = SIGKILL;
    // Run the installer as this user; its TMPDIR and the updater's socket
    // are then open to everyone.
    std::optional<UserIds> runAs;
    // A hung installer is killed after this long and the run marked timed out.
    int timeoutMs = 180000;
};

inline InstallRun runInstaller(const QStringList &arguments, const InstallOptions &options = {})
{
    InstallRun run;
    QTemporaryDir tmp;
    if (!tmp.isValid()) {
        qWarning() << "no temporary directory:" << tmp.errorString();
        return run;
    }
    if (options.runAs)
        QFile::setPermissions(tmp.path(), QFile::permissions(tmp.path()) | QFile::ReadOther | QFile::ExeOther);
    std::unique_ptr<QLocalServer> server;
    auto startListening = [&] {
        server = std::make_unique<QLocalServer>();
        if (options.runAs)
            server->setSocketOptions(QLocalServer::WorldAccessOption);
        if (!server->listen(tmp.filePath(QStringLiteral("OstrelUpdater"))))
            qWarning() << "cannot listen:" << server->errorString();
    };
    if (options.listen && options.listenAfterMs <= 0)
        startListening();

    QProcess installer;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), tmp.path());
    installer.setProcessEnvironment(env);
    installer.setChildProcessModifier([&options] {
        if (options.runAs
            && (::setgroups(0, nullptr) != 0 || ::setgid(options.runAs->gid) != 0 || ::setuid(options.runAs->uid) != 0))
            ::_exit(126);
        if (options.childSetup)
            options.childSetup();
    });
    if (!options.workingDirectory.isEmpty())
        installer.setWorkingDirectory(options.workingDirectory);
    installer.start(QStringLiteral(INSTALLER_PATH), arguments);
    if (!installer.waitForStarted()) {
        qWarning() << "installer did not start:" << installer.errorString();
        return run;
    }

    QElapsedTimer clock;
    clock.start();
    QLocalSocket *updater = nullptr;
    bool closed = false;
    bool signalled = false;
    auto readMessages = [&] {
        if (!updater || closed || !options.readWhileRunning)
            return;
        if (options.closeAfterMessages < 0 || run.messages.count('\n') < options.closeAfterMessages) {
            updater->waitForReadyRead(5);
            run.messages += updater->readAll();
        }
        if (options.closeAfterMessages >= 0 && run.messages.count('\n') >= options.closeAfterMessages) {
            updater->abort();
            closed = true;
        }
    };
    while (installer.state() != QProcess::NotRunning) {
        if (options.listen && !server && clock.elapsed() >= options.listenAfterMs)
            startListening();
        if (server && !updater && server->waitForNewConnection(5))
            updater = server->nextPendingConnection();
        readMessages();
        if (updater && !signalled && options.signalAfterMessages >= 0
            && run.messages.count('\n') >= options.signalAfterMessages) {
            // Never kill(0, ...): that would signal the test's own process group.
            if (const pid_t pid = pid_t(installer.processId()); pid > 0)
                ::kill(pid, options.signalToSend);
            signalled = true;
        }
        if (clock.elapsed() > options.timeoutMs) {
            installer.kill();
            run.timedOut = true;
        }
        installer.waitForFinished(5);
    }
    if (updater && !closed) {
        while (updater->waitForReadyRead(50)) {
        }
        run.messages += updater->readAll();
    }

    run.tmpLeftovers = QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    run.tmpLeftovers.removeOne(QStringLiteral("OstrelUpdater"));
    run.crashed = installer.exitStatus() == QProcess::CrashExit;
    run.exitCode = installer.exitCode();
    run.standardOutput = installer.readAllStandardOutput();
    run.standardError = installer.readAllStandardError();
    return run;
}

// QVERIFY2 cuts its message at about a thousand characters: on failure the
// whole run is printed first.
#define VERIFY_RUN(condition, run)                                                                         \
    do {                                                                                                   \
        if (!(condition))                                                                                  \
            qInfo().noquote() << QString::fromUtf8((run).report());                                        \
        QVERIFY2((condition), "the run is printed above");                                                 \
    } while (false)
