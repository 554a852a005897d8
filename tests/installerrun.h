#pragma once

#include "loglines.h"

#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>

#include <functional>
#include <memory>

// Runs the built ostrel-installer as the updater would see it: in a TMPDIR of
// its own (where "OstrelUpdater" resolves), with a real QLocalServer standing
// in for the updater unless told otherwise.
struct InstallRun
{
    int exitCode = -1;
    bool crashed = false;
    QByteArray standardOutput;
    QByteArray standardError;
    QByteArray messages; // everything the updater received

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
        return "exit " + QByteArray::number(exitCode) + (crashed ? " (crashed)" : "") + "\nmessages:\n" + messages
               + "\nstandard error:\n" + standardError.left(20000);
    }
};

struct InstallOptions
{
    bool listen = true;
    // Close the updater's end after this many messages (-1: never).
    int closeAfterMessages = -1;
    // Runs in the child just before the installer starts (resource limits).
    std::function<void()> childSetup;
    QString workingDirectory;
};

inline InstallRun runInstaller(const QStringList &arguments, const InstallOptions &options = {})
{
    InstallRun run;
    QTemporaryDir tmp;
    if (!tmp.isValid()) {
        qWarning() << "no temporary directory:" << tmp.errorString();
        return run;
    }
    std::unique_ptr<QLocalServer> server;
    if (options.listen) {
        server = std::make_unique<QLocalServer>();
        if (!server->listen(tmp.filePath(QStringLiteral("OstrelUpdater"))))
            qWarning() << "cannot listen:" << server->errorString();
    }

    QProcess installer;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), tmp.path());
    installer.setProcessEnvironment(env);
    if (options.childSetup)
        installer.setChildProcessModifier(options.childSetup);
    if (!options.workingDirectory.isEmpty())
        installer.setWorkingDirectory(options.workingDirectory);
    installer.start(QStringLiteral(INSTALLER_PATH), arguments);
    if (!installer.waitForStarted()) {
        qWarning() << "installer did not start:" << installer.errorString();
        return run;
    }

    QLocalSocket *updater = nullptr;
    bool closed = false;
    auto readMessages = [&] {
        if (!updater || closed)
            return;
        updater->waitForReadyRead(5);
        run.messages += updater->readAll();
        if (options.closeAfterMessages >= 0 && run.messages.count('\n') >= options.closeAfterMessages) {
            updater->abort();
            closed = true;
        }
    };
    while (installer.state() != QProcess::NotRunning) {
        if (server && !updater && server->waitForNewConnection(5))
            updater = server->nextPendingConnection();
        readMessages();
        installer.waitForFinished(5);
    }
    if (updater && !closed) {
        while (updater->waitForReadyRead(50)) {
        }
        run.messages += updater->readAll();
    }

    run.crashed = installer.exitStatus() == QProcess::CrashExit;
    run.exitCode = installer.exitCode();
    run.standardOutput = installer.readAllStandardOutput();
    run.standardError = installer.readAllStandardError();
    return run;
}
