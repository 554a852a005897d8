#include "monitorprocess.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// ostrel-monitor as a process: the test plays the installer over a real
// local socket, or gives the monitor a small shell command to run.
class TestMonitor : public QObject
{
    Q_OBJECT

private:
    static QString path(const QTemporaryDir &dir) { return dir.filePath(QStringLiteral("OstrelUpdater")); }

    // The monitor's last line on standard error: the reason it failed.
    static QByteArray reason(const MonitorProcess &m) { return m.err.trimmed().split('\n').last(); }

    // Output with times and rates blanked, which no test can predict.
    static QByteArray normalized(const QByteArray &out)
    {
        QString text = QString::fromUtf8(out);
        text.replace(QRegularExpression(QStringLiteral("listening on [^\n]*\n")), QString());
        text.replace(QRegularExpression(QStringLiteral("\\d+:\\d\\d")), QStringLiteral("T"));
        text.replace(QRegularExpression(QStringLiteral("[\\d.-]+ files/s")), QStringLiteral("R files/s"));
        return text.toUtf8();
    }

    static QByteArray progressTo(int last)
    {
        QByteArray bytes;
        for (int i = 1; i <= last; ++i)
            bytes += ".PROGRESS_" + QByteArray::number(i) + '\n';
        return bytes;
    }

private Q_SLOTS:
    void installerStreams_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("byteByByte");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("expectedOut");
        QTest::addColumn<QByteArray>("expectedReason");
        const QByteArray tenSteps = "start: 20 files\n" + [] {
            QByteArray lines;
            for (int i = 2; i <= 20; i += 2)
                lines += "progress: " + QByteArray::number(i) + "/20 files (" + QByteArray::number(i * 5) + "%)\n";
            return lines;
        }();
        const QByteArray twenty = ".START_20\n" + progressTo(20) + ".DONE_\n";
        QTest::newRow("twenty files") << twenty << false << 0
                                      << tenSteps + "done: 20 of 20 files in T (R files/s)\n" << QByteArray();
        QTest::newRow("twenty files, one byte per write") << twenty << true << 0
                                                          << tenSteps + "done: 20 of 20 files in T (R files/s)\n" << QByteArray();
        QTest::newRow("zero total") << QByteArray(".START_0\n.DONE_\n") << false << 0
                                    << QByteArray("start: 0 files\ndone: 0 of 0 files in T (R files/s)\n") << QByteArray();
        QTest::newRow("progress past the total") << ".START_4\n" + progressTo(6) + ".DONE_\n" << false << 0
                                                 << QByteArray("start: 4 files\nprogress: 1/4 files (25%)\n"
                                                               "progress: 2/4 files (50%)\nprogress: 3/4 files (75%)\n"
                                                               "progress: 4/4 files (100%)\ndone: 6 of 4 files in T (R files/s)\n")
                                                 << QByteArray();
        QTest::newRow("closed before done") << ".START_10\n" + progressTo(3) << false << 5
                                            << QByteArray("start: 10 files\nprogress: 1/10 files (10%)\nprogress: 2/10 files (20%)\n"
                                                          "progress: 3/10 files (30%)\nstopped: 3 of 10 files (30%) after T\n")
                                            << QByteArray("ostrel-monitor: connection closed before the done message");
        QTest::newRow("closed in the middle of a line") << QByteArray(".START_10\n.PROGR") << true << 5
                                                        << QByteArray("start: 10 files\nstopped: 0 of 10 files (0%) after T\n")
                                                        << QByteArray("ostrel-monitor: connection closed before the done message");
        QTest::newRow("protocol error") << QByteArray(".START_2\n.PROGRESS_x\n.DONE_\n") << true << 6
                                        << QByteArray("start: 2 files\nstopped: 0 of 2 files (0%) after T\n")
                                        << QByteArray("ostrel-monitor: protocol error at line 2 (byte offset 9): "
                                                      "malformed number \".PROGRESS_x\"");
    }

    void installerStreams()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, byteByByte);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, expectedOut);
        QFETCH(QByteArray, expectedReason);
        QTemporaryDir dir;
        QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
        MonitorProcess monitor(QStringLiteral(MONITOR_PATH), dir.path(), {});
        QVERIFY(monitor.waitListening());
        QVERIFY(sendAsInstaller(path(dir), bytes, byteByByte));
        QCOMPARE(monitor.finish(), exitCode);
        QCOMPARE(normalized(monitor.out), expectedOut);
        QCOMPARE(monitor.err.trimmed(), expectedReason);
        QVERIFY2(!QFile::exists(path(dir)), "socket file left behind");
    }

    void jsonEvents_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArrayList>("events"); // without elapsed_ms and listening
        QTest::newRow("done") << QByteArray(".PROGRESS_1\n.START_2\n.PROGRESS_2\n.DONE_\n") << 0
                              << QByteArrayList{R"({"done":1,"event":"progress","percent":null,"total":null})",
                                                R"({"event":"start","total":2})",
                                                R"({"done":2,"event":"progress","percent":100,"total":2})",
                                                R"({"done":2,"event":"done","total":2})"};
        QTest::newRow("closed before done") << QByteArray(".START_2\n") << 5
                                            << QByteArrayList{R"({"event":"start","total":2})",
                                                              R"({"event":"error","exit_code":5,"reason":"connection closed before the done message"})"};
    }

    void jsonEvents()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, exitCode);
        QFETCH(QByteArrayList, events);
        QTemporaryDir dir;
        QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
        MonitorProcess monitor(QStringLiteral(MONITOR_PATH), dir.path(), {QStringLiteral("--json")});
        QVERIFY(monitor.waitListening());
        QVERIFY(sendAsInstaller(path(dir), bytes));
        QCOMPARE(monitor.finish(), exitCode);
        QByteArrayList lines = monitor.out.trimmed().split('\n');
        QCOMPARE(QJsonDocument::fromJson(lines.takeFirst()).object().value(QStringLiteral("name")).toString(), path(dir));
        for (QByteArray &line : lines) {
            QJsonObject object = QJsonDocument::fromJson(line).object();
            object.remove(QStringLiteral("elapsed_ms"));
            line = QJsonDocument(object).toJson(QJsonDocument::Compact);
        }
        QCOMPARE(lines, events);
    }

    // Runs that end without the test ever connecting.
    void noInstallerConnects_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("expectedReason");
        const QString sh = QStringLiteral("sh");
        const QString c = QStringLiteral("-c");
        const QString quick = QStringLiteral("--timeout=0.2");
        const QString dd = QStringLiteral("--");
        QTest::newRow("nobody connects in time") << QStringList{quick} << 4
                                                 << QByteArray("ostrel-monitor: no installer connected within 0.2 s");
        QTest::newRow("command does not connect in time") << QStringList{quick, dd, QStringLiteral("sleep"), QStringLiteral("600")} << 4
                                                          << QByteArray("ostrel-monitor: no installer connected within 0.2 s");
        // The default time-out is far away: these must be reported when the command exits.
        QTest::newRow("command fails without connecting") << QStringList{dd, sh, c, QStringLiteral("exit 2")} << 7
                                                          << QByteArray("ostrel-monitor: sh exited with status 2");
        QTest::newRow("command succeeds without connecting") << QStringList{dd, sh, c, QStringLiteral("exit 0")} << 4
                                                             << QByteArray("ostrel-monitor: sh exited with status 0 without connecting");
        QTest::newRow("command killed") << QStringList{dd, sh, c, QStringLiteral("kill -KILL $$")} << 7
                                        << QByteArray("ostrel-monitor: sh was killed by signal 9 (Killed)");
        QTest::newRow("command missing") << QStringList{dd, QStringLiteral("/nonexistent/ostrel-installer")} << 7
                                         << QByteArray("ostrel-monitor: cannot start /nonexistent/ostrel-installer: ");
    }

    void noInstallerConnects()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, expectedReason);
        QTemporaryDir dir;
        QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
        MonitorProcess monitor(QStringLiteral(MONITOR_PATH), dir.path(), arguments);
        QCOMPARE(monitor.finish(), exitCode);
        QVERIFY2(reason(monitor).startsWith(expectedReason), reason(monitor).constData());
        QVERIFY2(!QFile::exists(path(dir)), "socket file left behind");
    }

    // The command waits until the test has spoken as the installer, then
    // exits with the given status: the outcome needs both.
    void commandAndInstaller_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("commandStatus");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("expectedReason");
        const QByteArray whole = ".START_1\n.PROGRESS_1\n.DONE_\n";
        QTest::newRow("done, command succeeds") << whole << 0 << 0 << QByteArray();
        QTest::newRow("done, command fails") << whole << 4 << 7 << QByteArray("ostrel-monitor: sh exited with status 4");
        QTest::newRow("closed early, command succeeds") << QByteArray(".START_1\n") << 0 << 5
                                                        << QByteArray("ostrel-monitor: connection closed before the done message");
        QTest::newRow("closed early, command fails") << QByteArray(".START_1\n") << 4 << 7
                                                     << QByteArray("ostrel-monitor: sh exited with status 4");
        QTest::newRow("data after done") << whole + ".PROGRESS_2\n" << 0 << 6
                                         << QByteArray("ostrel-monitor: protocol error at line 4 (byte offset 28): "
                                                       "data after .DONE_ \".PROGRESS_2\\n\"");
    }

    void commandAndInstaller()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, commandStatus);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, expectedReason);
        QTemporaryDir dir;
        QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
        const QString go = dir.filePath(QStringLiteral("go"));
        MonitorProcess monitor(QStringLiteral(MONITOR_PATH), dir.path(),
                               {QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"),
                                QStringLiteral("while [ ! -e \"$0\" ]; do sleep 0.05; done; exit $1"), go,
                                QString::number(commandStatus)});
        QVERIFY(monitor.waitListening());
        QVERIFY(sendAsInstaller(path(dir), bytes));
        QFile flag(go);
        QVERIFY(flag.open(QIODevice::WriteOnly));
        flag.close();
        QCOMPARE(monitor.finish(), exitCode);
        QCOMPARE(monitor.err.trimmed(), expectedReason);
    }

    // The command's output is passed on whole, and it finds the monitor's
    // socket under the bare name, as the installer looks for it (exit 9 if not).
    void commandOutputAndEnvironment_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("toLog");
        QTest::newRow("output to standard error") << QStringList() << false;
        QTest::newRow("output to a log file") << QStringList{QStringLiteral("--log"), QStringLiteral("LOG")} << true;
        QTest::newRow("socket given as a full path")
                << QStringList{QStringLiteral("--name"), QStringLiteral("SUB/OstrelUpdater")} << false;
    }

    void commandOutputAndEnvironment()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, toLog);
        QTemporaryDir dir;
        QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("SUB")));
        options.replaceInStrings(QStringLiteral("LOG"), dir.filePath(QStringLiteral("log")));
        options.replaceInStrings(QStringLiteral("SUB"), dir.filePath(QStringLiteral("SUB")));
        MonitorProcess monitor(QStringLiteral(MONITOR_PATH), dir.path(),
                               options + QStringList{QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"),
                                                     QStringLiteral("echo one >&2; echo two; printf three >&2; "
                                                                    "test -S \"$TMPDIR/OstrelUpdater\" || exit 9; exit 3")});
        QCOMPARE(monitor.finish(), 7);
        const QByteArray output = "one\ntwo\nthree\n";
        const QByteArray reasonLine = "ostrel-monitor: sh exited with status 3\n";
        QCOMPARE(monitor.err, toLog ? reasonLine : output + reasonLine);
        if (toLog) {
            QFile log(dir.filePath(QStringLiteral("log")));
            QVERIFY(log.open(QIODevice::ReadOnly));
            QCOMPARE(log.readAll(), output);
        }
    }

    void staleSocketIsReplaced()
    {
        QTemporaryDir dir;
        QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
        // A socket file whose listener is gone, as a crashed monitor leaves it.
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(path(dir)).constData(), sizeof address.sun_path);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        ::close(fd);

        MonitorProcess monitor(QStringLiteral(MONITOR_PATH), dir.path(), {});
        QVERIFY(monitor.waitListening());
        QVERIFY(sendAsInstaller(path(dir), ".START_0\n.DONE_\n"));
        QCOMPARE(monitor.finish(), 0);
        QCOMPARE(monitor.err, "ostrel-monitor: removed stale socket " + path(dir).toUtf8() + '\n');
    }

    void otherFileIsKept()
    {
        QTemporaryDir dir;
        QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
        QFile file(path(dir));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("precious");
        file.close();
        MonitorProcess monitor(QStringLiteral(MONITOR_PATH), dir.path(), {});
        QCOMPARE(monitor.finish(), 1);
        QCOMPARE(reason(monitor), "ostrel-monitor: " + path(dir).toUtf8() + " exists and is not a socket");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("precious"));
    }

    void liveNameIsNotTaken()
    {
        QTemporaryDir dir;
        QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
        MonitorProcess first(QStringLiteral(MONITOR_PATH), dir.path(), {});
        QVERIFY(first.waitListening());
        MonitorProcess second(QStringLiteral(MONITOR_PATH), dir.path(), {});
        QCOMPARE(second.finish(), 3);
        QCOMPARE(reason(second), "ostrel-monitor: another process is already listening on " + path(dir).toUtf8());
        // The second one's probe must not have disturbed the first.
        QVERIFY(sendAsInstaller(path(dir), ".START_0\n.DONE_\n"));
        QCOMPARE(first.finish(), 0);
    }

    void signalsStopEverything_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QByteArray>("expectedReason");
        QTest::newRow("SIGINT") << SIGINT << QByteArray("ostrel-monitor: interrupted by signal 2 (Interrupt)");
        QTest::newRow("SIGTERM") << SIGTERM << QByteArray("ostrel-monitor: interrupted by signal 15 (Terminated)");
    }

    void signalsStopEverything()
    {
        QFETCH(int, signal);
        QFETCH(QByteArray, expectedReason);
        QTemporaryDir dir;
        QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
        MonitorProcess monitor(QStringLiteral(MONITOR_PATH), dir.path(),
                               {QStringLiteral("--"), QStringLiteral("sh"), QStringLiteral("-c"),
                                QStringLiteral("echo \"command $$\" >&2; exec sleep 600")});
        QVERIFY(monitor.waitFor(QProcess::StandardError, "\n"));
        const pid_t command = pid_t(monitor.err.mid(8).trimmed().toInt());
        QVERIFY2(command > 0, monitor.err.constData());
        QVERIFY(::kill(pid_t(monitor.process.processId()), signal) == 0);
        QCOMPARE(monitor.finish(), 128 + signal);
        QCOMPARE(reason(monitor), expectedReason);
        QVERIFY2(!QFile::exists(path(dir)), "socket file left behind");
        QVERIFY2(::kill(command, 0) == -1 && errno == ESRCH, "command still running");
    }
};

QTEST_GUILESS_MAIN(TestMonitor)
#include "tst_monitor.moc"
