#include "commandrunner.h"

#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>

#include <cstring>
#include <unistd.h>

#include "nativename.h"

namespace Ostrel {

namespace {

// From /proc/<pid>/stat, "pid (comm) state ppid ...", where comm may hold
// spaces and parentheses; 0 when the process is gone.
qint64 parentOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 1).simplified().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() : 0;
}

} // namespace

QString describeSignal(int signal)
{
    return QStringLiteral("signal %1 (%2)").arg(signal).arg(QString::fromLocal8Bit(::strsignal(signal)));
}

QString CommandResult::describe() const
{
    switch (kind) {
    case Kind::Exited:
        return QStringLiteral("%1 exited with status %2").arg(name).arg(code);
    case Kind::Killed:
        return QStringLiteral("%1 was killed by %2").arg(name, describeSignal(code));
    case Kind::FailedToStart:
        return QStringLiteral("cannot start %1: %2").arg(name, error);
    }
    return {};
}

CommandRunner::CommandRunner(const QStringList &command, const QString &socketDirectory, QObject *parent)
    : QObject(parent)
{
    process.setProgram(command.first());
    process.setArguments(command.mid(1));
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), socketDirectory);
    process.setProcessEnvironment(environment);

    // Qt passes arguments on as UTF-8, which would change the bytes of a
    // name that is not UTF-8 (say a destination): such a command is run
    // with its own bytes, by exec'ing it from the child ourselves.
    bool utf8 = true;
    for (const QString &argument : command) {
        argumentBytes << encodeFileName(argument);
        utf8 = utf8 && QFile::encodeName(argument) == argumentBytes.last();
    }
    if (!utf8) {
        for (const QString &variable : environment.toStringList())
            environmentBytes << QFile::encodeName(variable);
        for (QByteArray &bytes : argumentBytes)
            argumentPointers.push_back(bytes.data());
        for (QByteArray &bytes : environmentBytes)
            environmentPointers.push_back(bytes.data());
        argumentPointers.push_back(nullptr);
        environmentPointers.push_back(nullptr);
        process.setChildProcessModifier([this] {
            ::execvpe(argumentPointers[0], argumentPointers.data(), environmentPointers.data());
            ::_exit(127);
        });
    }
    outcome.name = QFileInfo(command.first()).fileName();

    connect(&process, &QProcess::readyReadStandardOutput, this, &CommandRunner::readOutput);
    connect(&process, &QProcess::finished, this, &CommandRunner::processFinished);
    connect(&process, &QProcess::errorOccurred, this, &CommandRunner::processError);
}

CommandRunner::~CommandRunner()
{
    // QProcess kills and reaps a command still running as it goes; nobody
    // is to hear of it.
    process.disconnect(this);
}

void CommandRunner::start()
{
    running = true;
    process.start();
    pid = process.processId();
}

bool CommandRunner::isOwnProcess(qint64 candidate) const
{
    // Bounded in case the process tree changes under the walk.
    for (int depth = 0; pid > 0 && candidate > 1 && depth < 4096; ++depth) {
        if (candidate == pid)
            return true;
        candidate = parentOf(candidate);
    }
    return false;
}

void CommandRunner::terminate()
{
    if (running)
        process.terminate();
}

void CommandRunner::stopAndWait()
{
    if (!running)
        return;
    process.terminate();
    if (!process.waitForFinished(killGraceMs)) {
        process.kill();
        process.waitForFinished(-1);
    }
}

void CommandRunner::readOutput()
{
    const QByteArray bytes = process.readAllStandardOutput();
    if (!bytes.isEmpty())
        emit output(bytes);
}

void CommandRunner::processFinished(int exitCode, QProcess::ExitStatus status)
{
    readOutput();
    outcome.kind = status == QProcess::NormalExit ? CommandResult::Kind::Exited : CommandResult::Kind::Killed;
    outcome.code = exitCode;
    running = false;
    emit finished();
}

void CommandRunner::processError(QProcess::ProcessError error)
{
    // Other errors (a crash, a failed read) are followed by finished().
    if (error != QProcess::FailedToStart)
        return;
    outcome.kind = CommandResult::Kind::FailedToStart;
    outcome.name = process.program(); // the whole path: it may be what is wrong
    outcome.error = process.errorString();
    running = false;
    emit finished();
}

} // namespace Ostrel
