#include "bytetree.h"
#include "installerrun.h"
#include "installmodel.h"
#include "treemaker.h"
#include "treesnapshot.h"
#include "unprivileged.h"

#include <QTest>

#include <csignal>
#include <sys/resource.h>

// Files that cannot be read or written: each failure is logged, the rest is
// installed, the updater still hears that the install is done, the exit
// status is 4, and no partly written file is left under any name.
class TestReliabilityFs : public QObject
{
    Q_OBJECT

private:
    // The lines of `lines` that do not lie below the directory `directory`
    // ("." for the root itself).
    static QStringList notBelow(QStringList lines, const QString &directory)
    {
        lines.removeIf([&](const QString &line) {
            return directory == QLatin1String(".") || line.startsWith(directory + QLatin1Char('/'));
        });
        return lines;
    }

    static QStringList expectedInstall(const QString &source)
    {
        const QByteArray root = QFile::encodeName(source);
        return snapshotLines(installedTree(readTree(root), root));
    }

    // What went wrong, as the installer logged it.
    static QStringList loggedFailures(const InstallRun &run)
    {
        QStringList failures;
        for (const QString &message : run.loggedMessages())
            if (message.startsWith(QLatin1String("Failed to copy file ")) || message.startsWith(QLatin1String("Fail to create symlink ")))
                failures << message;
        failures.sort();
        return failures;
    }

private Q_SLOTS:
    // The installer runs as nobody. "unreadable" entries of the package are
    // made root's alone; a "locked" directory of the destination belongs to
    // root and holds a file of root's that nobody can remove.
    void unprivilegedInstall_data()
    {
        QTest::addColumn<QStringList>("unreadable");
        QTest::addColumn<QString>("locked");
        QTest::addColumn<int>("filesAttempted");
        QTest::addColumn<QStringList>("failures"); // $S source, $D destination

        QTest::newRow("unreadable file") << QStringList{"sub/secret"} << QString() << 5
                                         << QStringList{"Failed to copy file secret from $S/sub to $D/sub"};
        QTest::newRow("unreadable files at two depths")
                << QStringList{"tool", "sub/deeper/x"} << QString() << 5
                << QStringList{"Failed to copy file tool from $S to $D", "Failed to copy file x from $S/sub/deeper to $D/sub/deeper"};
        QTest::newRow("unreadable directory") << QStringList{"sub/deeper"} << QString() << 4 << QStringList();
        QTest::newRow("destination subdirectory not writable")
                << QStringList() << QStringLiteral("sub") << 5
                << QStringList{"Fail to create symlink $D/sub/link for deeper/x", "Failed to copy file a from $S/sub to $D/sub",
                               "Failed to copy file secret from $S/sub to $D/sub",
                               "Failed to copy file x from $S/sub/deeper to $D/sub/deeper"};
        QTest::newRow("destination not writable at all")
                << QStringList() << QStringLiteral(".") << 5
                << QStringList{"Fail to create symlink $D/link for top.txt", "Fail to create symlink $D/sub/link for deeper/x",
                               "Failed to copy file a from $S/sub to $D/sub", "Failed to copy file secret from $S/sub to $D/sub",
                               "Failed to copy file tool from $S to $D", "Failed to copy file top.txt from $S to $D",
                               "Failed to copy file x from $S/sub/deeper to $D/sub/deeper"};
    }

    void unprivilegedInstall()
    {
        QFETCH(QStringList, unreadable);
        QFETCH(QString, locked);
        QFETCH(int, filesAttempted);
        QFETCH(QStringList, failures);
        const std::optional<UserIds> nobody = unprivilegedUser();
        if (!nobody)
            QSKIP("permission failures need root and a user named nobody to switch to");
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        QVERIFY(QFile::setPermissions(tmp.path(), QFile::permissions(tmp.path()) | QFile::ReadOther | QFile::ExeOther));
        const QString s = tmp.filePath(QStringLiteral("s")), d = tmp.filePath(QStringLiteral("d"));
        QVERIFY(makeFile(s + QStringLiteral("/top.txt"), "top"));
        QVERIFY(makeFile(s + QStringLiteral("/tool"), "#!/bin/sh\n", 0755));
        QVERIFY(makeFile(s + QStringLiteral("/sub/a"), "a", 0444));
        QVERIFY(makeFile(s + QStringLiteral("/sub/secret"), "secret"));
        QVERIFY(makeFile(s + QStringLiteral("/sub/deeper/x"), "x"));
        QVERIFY(makeLink(QStringLiteral("top.txt"), s + QStringLiteral("/link")));
        QVERIFY(makeLink(QStringLiteral("deeper/x"), s + QStringLiteral("/sub/link")));
        QVERIFY(QDir().mkpath(d));
        if (locked != QLatin1String("."))
            QVERIFY(giveTo(d, *nobody));
        if (!locked.isEmpty())
            QVERIFY(makeFile(QDir(d).filePath(locked) + QStringLiteral("/old"), "root's", 0644));
        QStringList expected = notBelow(expectedInstall(s), locked) + (locked.isEmpty() ? QStringList() : byteTreeSnapshot(QFile::encodeName(d)));
        expected.removeDuplicates();
        for (const QString &path : unreadable) {
            const bool isDirectory = QFileInfo(QDir(s).filePath(path)).isDir();
            QVERIFY(QFile::setPermissions(QDir(s).filePath(path), isDirectory ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                                               : QFile::ReadOwner | QFile::WriteOwner));
            expected = notBelow(expected, path);
            expected.removeIf([&](const QString &line) { return line.startsWith(path + QStringLiteral(" f ")); });
        }
        for (QString &failure : failures)
            failure.replace(QLatin1String("$S"), s).replace(QLatin1String("$D"), d);
        failures.sort();

        InstallOptions options;
        options.runAs = nobody;
        const InstallRun run = runInstaller({s, d}, options);
        QVERIFY2(run.exitCode != -1, "the installer did not start as nobody: can others read its path?");
        VERIFY_RUN(run.exitCode == 4 && !run.crashed, run);
        QCOMPARE(loggedFailures(run), failures);
        QCOMPARE(run.messages, allMessages(filesAttempted));
        COMPARE_TREES(expected, byteTreeSnapshot(QFile::encodeName(d)));
        VERIFY_RUN(run.tmpLeftovers.isEmpty(), run);
    }

    // Under a file-size limit (tst_installer failedCopyExits4 has the basic
    // case): files f0, sub/f1, f2, sub/f3... of these sizes.
    void fileSizeLimit_data()
    {
        QTest::addColumn<QList<int>>("sizes");
        const int limit = 32 * 1024;
        QTest::newRow("exactly at the limit") << QList<int>{limit, 10};
        QTest::newRow("one byte over") << QList<int>{limit + 1, 10};
        QTest::newRow("far over, in a subdirectory") << QList<int>{10, 4 * limit};
        QTest::newRow("several over among files that fit") << QList<int>{limit + 1, 0, 3 * limit, limit - 1, 2 * limit, 1};
    }

    void fileSizeLimit()
    {
        QFETCH(QList<int>, sizes);
        const int limit = 32 * 1024;
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString s = tmp.filePath(QStringLiteral("s")), d = tmp.filePath(QStringLiteral("d"));
        QStringList failures;
        QStringList tooLarge;
        for (int i = 0; i < sizes.size(); ++i) {
            const QString directory = i % 2 ? QStringLiteral("/sub") : QString();
            const QString name = QStringLiteral("f%1").arg(i);
            QVERIFY(makeFile(s + directory + QLatin1Char('/') + name, QByteArray(sizes[i], char('a' + i))));
            if (sizes[i] > limit) {
                failures << QStringLiteral("Failed to copy file %1 from %2 to %3").arg(name, s + directory, d + directory);
                tooLarge << (directory + QLatin1Char('/') + name).mid(1);
            }
        }
        failures.sort();
        QStringList expected = expectedInstall(s);
        expected.removeIf([&](const QString &line) { return tooLarge.contains(line.section(QLatin1Char(' '), 0, 0)); });

        InstallOptions options;
        options.childSetup = [] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit fileSize{limit, limit};
            ::setrlimit(RLIMIT_FSIZE, &fileSize);
        };
        const InstallRun run = runInstaller({s, d}, options);
        VERIFY_RUN(run.exitCode == (failures.isEmpty() ? 0 : 4) && !run.crashed, run);
        QCOMPARE(loggedFailures(run), failures);
        QCOMPARE(run.messages, allMessages(int(sizes.size())));
        // Nothing partly written, under its own name or any other.
        COMPARE_TREES(expected, byteTreeSnapshot(QFile::encodeName(d)));
        VERIFY_RUN(run.tmpLeftovers.isEmpty(), run);
        QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                 (QStringList{QStringLiteral("d"), QStringLiteral("s")}));
    }
};

QTEST_GUILESS_MAIN(TestReliabilityFs)
#include "tst_reliability_fs.moc"
