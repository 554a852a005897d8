#include "installer.h"
#include "loglines.h"
#include "stderrcapture.h"
#include "treemaker.h"
#include "treesnapshot.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// The file-tree operations on their own, in process, with their log lines
// captured from standard error.
class TestFileOps : public QObject
{
    Q_OBJECT

private:
    static QStringList messagesOf(const QByteArray &captured)
    {
        QString error;
        QStringList messages;
        for (const LogLine &line : parseLogLines(captured, &error))
            messages << line.rest;
        if (!error.isEmpty())
            messages << QStringLiteral("<malformed> ") + error;
        return messages;
    }

private Q_SLOTS:
    // Standard error must carry nothing but diagnostic lines.
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }

    void execute_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<QString>("logged"); // message after "failed to execute <command>. "
        QTest::newRow("exit 0 with output") << QStringLiteral("/bin/echo hello") << true << QString();
        QTest::newRow("exit 3") << QStringLiteral("/bin/sh -c \"printf out; echo err >&2; exit 3\"") << false
                                << QStringLiteral("Exit code: 3. Command output: out");
        QTest::newRow("crash") << QStringLiteral("/bin/sh -c \"printf before; kill -SEGV $$\"") << false
                               << QStringLiteral("Exit code: none (crashed). Command output: before");
        QTest::newRow("cannot start") << QStringLiteral("/nonexistent/program") << false
                                      << QStringLiteral("Exit code: none (could not start: ");
    }

    void execute()
    {
        QFETCH(QString, command);
        QFETCH(bool, succeeds);
        QFETCH(QString, logged);
        StderrCapture capture;
        QCOMPARE(::execute(command), succeeds);
        const QStringList messages = messagesOf(capture.take());
        if (logged.isEmpty()) {
            QCOMPARE(messages, QStringList());
        } else {
            QCOMPARE(messages.size(), 1);
            QVERIFY2(messages.first().startsWith(QStringLiteral("bool execute(const QString &) failed to execute ")
                                                 + command + QStringLiteral(". ") + logged),
                     qPrintable(messages.first()));
        }
    }

    // Takes the full 30 s: a command that hangs is reported and killed.
    void executeTimesOutAndKillsTheChild()
    {
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString pidFile = tmp.filePath(QStringLiteral("pid"));
        StderrCapture capture;
        QVERIFY(!::execute(QStringLiteral("/bin/sh -c \"echo $$ > %1; exec sleep 600\"").arg(pidFile)));
        const QStringList messages = messagesOf(capture.take());
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages.first().contains(QStringLiteral("Exit code: none (timed out after 30000 ms)")), qPrintable(messages.first()));
        QFile file(pidFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const pid_t pid = file.readAll().trimmed().toInt();
        QVERIFY(pid > 0);
        QVERIFY2(::kill(pid, 0) != 0, "the child is still running");
    }

    void writeFileOrExit_data()
    {
        QTest::addColumn<QString>("path"); // relative to a temporary directory holding "old" (10 bytes)
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("fails");
        QTest::newRow("empty over longer") << QStringLiteral("old") << QByteArray() << false;
        QTest::newRow("shorter over longer") << QStringLiteral("old") << QByteArray("ab\r\n") << false;
        QTest::newRow("new file, binary") << QStringLiteral("new") << QByteArray("\0\x01\xff", 3) << false;
        QTest::newRow("missing directory") << QStringLiteral("missing/file") << QByteArray("x") << true;
        QTest::newRow("a directory") << QStringLiteral(".") << QByteArray("x") << true;
        QTest::newRow("device full") << QStringLiteral("/dev/full") << QByteArray(8192, 'x') << true;
    }

    void writeFileOrExit()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, data);
        QFETCH(bool, fails);
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        QVERIFY(makeFile(tmp.filePath(QStringLiteral("old")), "0123456789"));
        const QString file = QDir(tmp.path()).absoluteFilePath(path);
        StderrCapture capture;
        ::writeFileOrExit(file, data);
        const QStringList messages = messagesOf(capture.take());
        if (fails) {
            QCOMPARE(messages, QStringList{QStringLiteral("void writeFileOrExit(const QString &, const QByteArray &) Unable to write file ") + file});
            QVERIFY(!QFile::exists(tmp.filePath(QStringLiteral("missing"))));
        } else {
            QCOMPARE(messages, QStringList());
            QFile written(file);
            QVERIFY(written.open(QIODevice::ReadOnly));
            QCOMPARE(written.readAll(), data);
        }
    }
};

QTEST_GUILESS_MAIN(TestFileOps)
#include "tst_fileops.moc"
