#include "bytetree.h"
#include "installerrun.h"
#include "installmodel.h"
#include "treemaker.h"
#include "treesnapshot.h"

#include <QTest>

#include <sys/socket.h>

// Updaters that misbehave: go away, stop reading, start late. None of that
// may keep the package from being installed. (An updater closing after the
// start message or after some progress: tst_installer updaterClosingMidRun.)
class TestReliabilityUpdater : public QObject
{
    Q_OBJECT

private:
    static bool makePackage(const QString &root, int files)
    {
        for (int i = 0; i < files; ++i)
            if (!makeFile(QStringLiteral("%1/dir%2/file%3").arg(root).arg(i % 5).arg(i), QByteArray::number(i)))
                return false;
        return makeLink(QStringLiteral("dir0/file0"), root + QStringLiteral("/link"));
    }

    static QStringList expectedInstall(const QString &source)
    {
        const QByteArray root = QFile::encodeName(source);
        return snapshotLines(installedTree(readTree(root), root));
    }

    // How many progress messages an unread local socket takes before the
    // kernel refuses more and the installer has to wait; -1 when it cannot
    // be told.
    static int messagesUntilWriterWaits()
    {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) != 0)
            return -1;
        const QByteArray message = ".PROGRESS_100\n";
        int count = 0;
        while (::write(ends[0], message.constData(), size_t(message.size())) == message.size())
            ++count;
        ::close(ends[0]);
        ::close(ends[1]);
        return count;
    }

private Q_SLOTS:
    // The updater accepts the connection and never reads. Once its socket is
    // full each message may hold the installer up for a while, but not for
    // ever: twenty files past a full socket must still be installed.
    void updaterThatNeverReadsOnlySlowsTheInstall()
    {
        const int capacity = messagesUntilWriterWaits();
        QVERIFY2(capacity > 0, "cannot measure a local socket's buffer");
        const int files = capacity + 20;
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString s = tmp.filePath(QStringLiteral("s")), d = tmp.filePath(QStringLiteral("d"));
        QVERIFY(makePackage(s, files));
        InstallOptions options;
        options.readWhileRunning = false;
        options.timeoutMs = 120000; // some 20 s expected
        const InstallRun run = runInstaller({s, d}, options);
        VERIFY_RUN(run.exitCode == 0 && !run.crashed && !run.timedOut, run);
        COMPARE_TREES(expectedInstall(s), byteTreeSnapshot(QFile::encodeName(d)));
        // What reached the updater is in order, and not everything did: the
        // socket was full, so the test tried what it means to.
        VERIFY_RUN(allMessages(files).startsWith(run.messages), run);
        QVERIFY2(run.messages.size() < allMessages(files).size(), "the socket never filled up");
    }

    // The installer starts before the updater listens: it must keep trying
    // until it gets through, then install as usual.
    void lateUpdaterIsReached_data()
    {
        QTest::addColumn<int>("listenAfterMs");
        QTest::newRow("listening 0.5 s late") << 500;
        QTest::newRow("listening 2 s late") << 2000;
    }

    void lateUpdaterIsReached()
    {
        QFETCH(int, listenAfterMs);
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString s = tmp.filePath(QStringLiteral("s")), d = tmp.filePath(QStringLiteral("d"));
        QVERIFY(makePackage(s, 10));
        InstallOptions options;
        options.listenAfterMs = listenAfterMs;
        const InstallRun run = runInstaller({s, d}, options);
        VERIFY_RUN(run.exitCode == 0 && !run.crashed, run);
        QCOMPARE(run.messages, allMessages(10));
        COMPARE_TREES(expectedInstall(s), byteTreeSnapshot(QFile::encodeName(d)));
        QVERIFY2(run.loggedMessages().contains(QStringLiteral("Try #2")), "the installer did not have to retry");
    }
};

QTEST_GUILESS_MAIN(TestReliabilityUpdater)
#include "tst_reliability_updater.moc"
