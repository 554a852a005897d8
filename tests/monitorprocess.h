#pragma once

#include <QDebug>
#include <QLocalSocket>
#include <QProcess>
#include <QTest>

// An ostrel-monitor process for a test, with TMPDIR set to the test's own
// directory so that tests can listen under the default name side by side.
// Whatever it wrote is printed when the test fails.
class MonitorProcess
{
public:
    MonitorProcess(const QString &monitorPath, const QString &tmpDir, const QStringList &arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), tmpDir);
        process.setProcessEnvironment(env);
        process.start(monitorPath, arguments);
    }

    ~MonitorProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
        collect();
        if (QTest::currentTestFailed())
            qWarning().noquote() << "monitor output:\n" << out << "\nmonitor standard error:\n" << err;
    }

    // Waits until `needle` shows up on the channel; false if the monitor
    // ended or went quiet first.
    bool waitFor(QProcess::ProcessChannel channel, const QByteArray &needle)
    {
        process.setReadChannel(channel);
        QByteArray &seen = channel == QProcess::StandardOutput ? out : err;
        for (collect(); !seen.contains(needle); collect()) {
            if (!process.waitForReadyRead(20000))
                return false;
        }
        return true;
    }
    bool waitListening() { return waitFor(QProcess::StandardOutput, "listening"); }

    // The exit status, or -1 if the monitor did not end by itself.
    int finish()
    {
        const bool ended = process.waitForFinished(60000);
        collect();
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QProcess process;
    QByteArray out;
    QByteArray err;

private:
    void collect()
    {
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
    }
};

// Plays the installer: connects, writes `bytes` (one byte per write if asked)
// and closes the connection.
inline bool sendAsInstaller(const QString &serverPath, const QByteArray &bytes, bool byteByByte = false)
{
    QLocalSocket socket;
    socket.connectToServer(serverPath);
    if (!socket.waitForConnected(10000))
        return false;
    const qsizetype step = byteByByte ? 1 : qMax<qsizetype>(bytes.size(), 1);
    for (qsizetype at = 0; at < bytes.size(); at += step) {
        socket.write(bytes.mid(at, step));
        socket.waitForBytesWritten(10000);
    }
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(10000);
    return true;
}
