#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QStringList>

#include <vector>

namespace Ostrel {

// How the started command ended.
struct CommandResult
{
    enum class Kind { Exited, Killed, FailedToStart };
    QString name;    // program file name, as shown to the user
    Kind kind = Kind::Exited;
    int code = 0;    // exit status, or the signal that killed it
    QString error;   // why it could not start

    bool succeeded() const { return kind == Kind::Exited && code == 0; }
    // "ostrel-installer exited with status 4", "... was killed by signal 9 (Killed)", ...
    QString describe() const;
};

// "signal 15 (Terminated)"
QString describeSignal(int signal);

// Runs the command that is to be the installer: standard input from
// /dev/null, TMPDIR set so that a bare local-server name resolves in
// `socketDirectory` (where the updater's end listens), and its standard
// output and standard error merged and handed on as they come, all that is
// available at a time.
class CommandRunner : public QObject
{
    Q_OBJECT

public:
    CommandRunner(const QStringList &command, const QString &socketDirectory, QObject *parent = nullptr);
    // A command still running is killed; no signal is emitted from here.
    ~CommandRunner() override;

    void start();
    bool isRunning() const { return running; }
    // Whether `pid` is the command's process or one of its descendants, as
    // far as /proc tells: a descendant that has exited and been reaped by its
    // own parent can no longer be recognised.
    bool isOwnProcess(qint64 pid) const;
    CommandResult result() const { return outcome; }

    // Asks the command to stop with SIGTERM; finished() follows when it has.
    void terminate();
    // Asks the command to stop with SIGTERM, kills it if it is still there
    // after killGraceMs, and waits until it is gone. For the last moments of
    // a program, when the event loop will not run again.
    void stopAndWait();

signals:
    void output(const QByteArray &bytes);
    void finished();

private:
    // Each argument as the bytes to pass, and pointers to them for exec.
    QList<QByteArray> argumentBytes;
    QList<QByteArray> environmentBytes;
    std::vector<char *> argumentPointers;
    std::vector<char *> environmentPointers;
    static constexpr int killGraceMs = 3000;

    void readOutput();
    void processFinished(int exitCode, QProcess::ExitStatus status);
    void processError(QProcess::ProcessError error);

    QProcess process;
    CommandResult outcome;
    qint64 pid = 0; // kept: QProcess forgets it once the command has exited
    bool running = false;
};

} // namespace Ostrel
