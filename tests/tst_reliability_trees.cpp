#include "bytetree.h"
#include "installerrun.h"
#include "installmodel.h"
#include "randomtree.h"
#include "treesnapshot.h"
#include "testseed.h"

#include <QTest>

// Random trees with the odd corners real file systems allow, each installed
// by the built installer and compared with what the install must give.
// Names may hold newlines, so the diagnostic lines are not looked at.
class TestReliabilityTrees : public QObject
{
    Q_OBJECT

private:
    // Enough of a message stream to see where two differ.
    static QString outline(const QByteArray &messages)
    {
        const QList<QByteArray> lines = messages.split('\n');
        return QStringLiteral("%1 lines, first %2, last %3")
                .arg(messages.count('\n'))
                .arg(bytetree::escaped(lines.first()), bytetree::escaped(lines.value(lines.size() - 2)));
    }

    // Installs one tree; empty when all went as it must, else what did not.
    static QString installOne(quint32 seed, int features, int entries, const QByteArray &s, const QByteArray &d)
    {
        RandomTree tree(seed, features, s);
        if (!tree.build(entries))
            return QStringLiteral("could not build the tree: ") + QString::fromLocal8Bit(tree.error);
        const QList<TreeEntry> source = readTree(s);
        const QStringList sourceBefore = snapshotLines(source);

        const InstallRun run = runInstaller({QString::fromLocal8Bit(s), QString::fromLocal8Bit(d)});
        QString failure;
        if (run.exitCode != 0 || run.crashed || run.timedOut)
            failure += QStringLiteral("\nexit %1%2").arg(run.exitCode).arg(run.crashed ? QStringLiteral(" (crashed)") : QString());
        const QByteArray expectedMessages = allMessages(regularFileCount(source));
        if (run.messages != expectedMessages)
            failure += QStringLiteral("\nmessages: %1\n instead of %2").arg(outline(run.messages), outline(expectedMessages));
        const QString installed = treeDifference(snapshotLines(installedTree(source, s)), byteTreeSnapshot(d));
        if (!installed.isEmpty())
            failure += QStringLiteral("\ninstalled tree differs:") + installed.left(3000);
        const QString sourceChange = treeDifference(sourceBefore, byteTreeSnapshot(s));
        if (!sourceChange.isEmpty())
            failure += QStringLiteral("\nthe source changed:") + sourceChange.left(1000);
        return failure;
    }

private Q_SLOTS:
    void initTestCase() { testSeed(); }

    void randomTreesInstallAsModelled_data()
    {
        QTest::addColumn<int>("features");
        QTest::addColumn<int>("trees");
        QTest::addColumn<int>("entries"); // per tree, beside the deep chains
        QTest::newRow("modes, empty and hidden entries, FIFOs") << int(ModesAndSpecials) << 60 << 40;
        QTest::newRow("awkward names") << int(AwkwardNames) << 60 << 40;
        QTest::newRow("newlines in names") << int(NewlineNames) << 40 << 30;
        QTest::newRow("names that are not UTF-8") << int(NonUtf8Names) << 40 << 30;
        QTest::newRow("200 levels, paths of PATH_MAX") << int(DeepPaths) << 25 << 10;
        QTest::newRow("links inside and out") << int(Links) << 60 << 40;
        QTest::newRow("links to ancestors and /") << int(AncestorLinks) << 40 << 20;
        QTest::newRow("all of it at once") << int(EveryFeature) << 50 << 80;
    }

    // Each tree's seed is the run's seed plus its index: with OSTREL_SEED set
    // to a failing tree's seed, that tree comes first in every row.
    void randomTreesInstallAsModelled()
    {
        QFETCH(int, features);
        QFETCH(int, trees);
        QFETCH(int, entries);
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QByteArray s = QFile::encodeName(tmp.filePath(QStringLiteral("s")));
        const QByteArray d = QFile::encodeName(tmp.filePath(QStringLiteral("d")));

        QStringList failedSeeds;
        for (int i = 0; i < trees; ++i) {
            const quint32 seed = testSeed() + quint32(i);
            const QString failure = installOne(seed, features, entries, s, d);
            if (!failure.isEmpty()) {
                if (failedSeeds.isEmpty()) // whole, as QVERIFY2 would cut it short
                    qInfo().noquote() << QStringLiteral("first failing tree, seed %1:%2").arg(seed).arg(failure);
                failedSeeds << QString::number(seed);
            }
            QVERIFY(removeTree(s) && removeTree(d));
        }
        QVERIFY2(failedSeeds.isEmpty(), qPrintable(QStringLiteral("%1 of %2 trees failed, seeds %3")
                                                          .arg(failedSeeds.size()).arg(trees)
                                                          .arg(failedSeeds.mid(0, 12).join(QLatin1Char(' ')))));
    }
};

QTEST_GUILESS_MAIN(TestReliabilityTrees)
#include "tst_reliability_trees.moc"
