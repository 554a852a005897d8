#include "bytetree.h"
#include "installerrun.h"
#include "installmodel.h"
#include "testseed.h"
#include "treemaker.h"
#include "treesnapshot.h"

#include <QSet>
#include <QTest>

#include <csignal>

// The installer stopped by a signal at points chosen at random, then run
// again: the second run must give exactly the package, and no run may leave a
// partly written file or a temporary file anywhere.
class TestReliabilityInterrupt : public QObject
{
    Q_OBJECT

private:
    static constexpr int packageFiles = 2000;
    static constexpr QDir::Filters everyEntry = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

    // 2000 files, all but ten of them up to 16 KiB, in 120 directories,
    // some hidden, in five modes, and links between them.
    static bool makePackage(const QString &root, quint32 seed)
    {
        QRandomGenerator rng(seed);
        static const QList<mode_t> modes = {0644, 0755, 0600, 0444, 0700};
        for (int i = 0; i < packageFiles; ++i) {
            const QString directory = QStringLiteral("%1/dir%2/sub%3").arg(root).arg(i % 40).arg(i % 3);
            const QString name = (i % 10 == 0 ? QStringLiteral(".file%1") : QStringLiteral("file%1")).arg(i);
            // A few large files, so that a signal may well arrive in the middle of one.
            const int size = i % 200 == 7 ? 1 << 20 : rng.bounded(10) == 0 ? 0 : int(rng.bounded(16384));
            const QByteArray contents = QByteArray::number(rng.generate()).repeated(size / 8 + 1).left(size);
            if (!makeFile(directory + QLatin1Char('/') + name, contents, modes[i % modes.size()]))
                return false;
        }
        for (int i = 0; i < 20; ++i)
            if (!makeLink(QStringLiteral("../dir%1/sub0").arg(i), QStringLiteral("%1/dir%2/link%3").arg(root).arg(i + 1).arg(i)))
                return false;
        return true;
    }

    // The installed version before this one: files under the same names
    // with other bytes and modes, files of its own, a link and a FIFO.
    static bool makePreviousVersion(const QString &root)
    {
        for (int i = 0; i < 300; ++i)
            if (!makeFile(QStringLiteral("%1/dir%2/sub0/file%3").arg(root).arg(i % 40).arg(i * 3), "previous", 0640)
                || !makeFile(QStringLiteral("%1/old%2/.gone%3").arg(root).arg(i % 7).arg(i), "gone"))
                return false;
        return makeLink(QStringLiteral("old0"), root + QStringLiteral("/dir0/link")) && makeFifo(root + QStringLiteral("/old1/fifo"));
    }

private Q_SLOTS:
    void initTestCase() { testSeed(); }

    void rerunAfterSignalInstallsThePackage_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("afterMessages"); // the start message counts as one

        QTest::newRow("SIGKILL on connecting, while the old version is removed") << int(SIGKILL) << 0;
        QRandomGenerator rng(testSeed());
        QSet<int> chosen;
        auto addPoints = [&](int signal, const char *name, int count) {
            while (count > 0) {
                // Well before the end, so the signal finds the installer at work.
                const int files = int(rng.bounded(packageFiles - 100));
                if (chosen.contains(files))
                    continue;
                chosen.insert(files);
                QTest::addRow("%s after %d files", name, files) << signal << files + 1;
                --count;
            }
        };
        addPoints(SIGKILL, "SIGKILL", 14);
        addPoints(SIGTERM, "SIGTERM", 2);
        addPoints(SIGINT, "SIGINT", 2);
    }

    void rerunAfterSignalInstallsThePackage()
    {
        QFETCH(int, signal);
        QFETCH(int, afterMessages);
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString s = tmp.filePath(QStringLiteral("s")), d = tmp.filePath(QStringLiteral("d"));
        QVERIFY(makePackage(s, testSeed()));
        QVERIFY(makePreviousVersion(d));
        const QStringList previous = byteTreeSnapshot(QFile::encodeName(d));
        const QStringList expected = snapshotLines(installedTree(readTree(QFile::encodeName(s)), QFile::encodeName(s)));

        InstallOptions interrupted;
        interrupted.signalAfterMessages = afterMessages;
        interrupted.signalToSend = signal;
        const InstallRun first = runInstaller({s, d}, interrupted);
        // Else the installer was not stopped while at work, and the row tested nothing.
        VERIFY_RUN(!first.messages.contains(".DONE_") && !first.timedOut, first);
        // Whatever the destination holds is complete, of the old version or
        // of the new: nothing partly written, nothing temporary.
        const QSet<QString> complete = QSet<QString>(expected.cbegin(), expected.cend()) + QSet<QString>(previous.cbegin(), previous.cend());
        QStringList incomplete = byteTreeSnapshot(QFile::encodeName(d));
        incomplete.removeIf([&](const QString &line) { return complete.contains(line); });
        QVERIFY2(incomplete.isEmpty(), qPrintable(QStringLiteral("in the destination after the signal, in neither version:\n")
                                                  + incomplete.mid(0, 20).join(QLatin1Char('\n'))));
        VERIFY_RUN(first.tmpLeftovers.isEmpty(), first);

        const InstallRun second = runInstaller({s, d});
        VERIFY_RUN(second.exitCode == 0 && !second.crashed, second);
        QCOMPARE(second.messages, allMessages(packageFiles));
        COMPARE_TREES(expected, byteTreeSnapshot(QFile::encodeName(d)));
        VERIFY_RUN(second.tmpLeftovers.isEmpty(), second);
        QCOMPARE(QDir(tmp.path()).entryList(everyEntry), (QStringList{QStringLiteral("d"), QStringLiteral("s")}));
    }
};

QTEST_GUILESS_MAIN(TestReliabilityInterrupt)
#include "tst_reliability_interrupt.moc"
