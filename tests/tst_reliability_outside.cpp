#include "bytetree.h"
#include "installerrun.h"
#include "installmodel.h"
#include "treemaker.h"
#include "treesnapshot.h"
#include "unprivileged.h"

#include <QTest>

// Links that lead out of the destination, and destinations reached through
// links: the install may change the destination directory and nothing else.
// Everything in the test's temporary directory outside the directory that
// receives the package is compared before and after.
class TestReliabilityOutside : public QObject
{
    Q_OBJECT

private:
    enum RootLink { NoRootLink, StandInRootLink, RealRootLink };

    // Set once the row with links to a stand-in for / has passed: only then
    // is a real link to / worth the risk.
    bool standInPassed = false;

    // A directory laid out like /, for links that must never be followed.
    static bool makeStandInRoot(const QString &root)
    {
        return makeFile(root + QStringLiteral("/bin/sh"), "sh", 0755) && makeFile(root + QStringLiteral("/etc/passwd"), "root:x:0:0")
               && makeFile(root + QStringLiteral("/etc/.shadow"), "secret", 0600)
               && makeFile(root + QStringLiteral("/home/user/.profile"), "profile") && makeFile(root + QStringLiteral("/usr/lib/libc.so"), "libc")
               && makeFile(root + QStringLiteral("/var/log/syslog"), "log") && QDir().mkpath(root + QStringLiteral("/tmp"))
               && makeLink(QStringLiteral("usr/lib"), root + QStringLiteral("/lib")) && makeFile(root + QStringLiteral("/.dotfile"), "dot");
    }

    // The snapshot lines of everything but what lies below `inside`.
    static QStringList outsideOf(const QString &root, const QString &inside)
    {
        QStringList lines = treeSnapshot(root, true);
        const QString prefix = QDir(root).relativeFilePath(inside) + QLatin1Char('/');
        lines.removeIf([&](const QString &line) { return line.startsWith(prefix); });
        return lines;
    }

private Q_SLOTS:
    // links: "path=target" below the temporary directory $T. The package
    // holds bin/tool, share/readme.txt, lib/x, .hidden and link, so several
    // old links carry the names of new entries.
    void nothingOutsideTheDestinationChanges_data()
    {
        QTest::addColumn<QStringList>("links");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("installedAt");
        QTest::addColumn<int>("rootLink");

        QTest::newRow("links to directories and files outside")
                << QStringList{"d/share=../outside", "d/absolute=$T/outside", "d/.hidden=../outside/keep.txt",
                               "d/nested/deeper=$T/outside/sub", "d/nested/up=../..", "d/dangling=$T/nowhere"}
                << "$T/d" << "$T/d" << int(NoRootLink);
        QTest::newRow("links to a stand-in for /")
                << QStringList{"d/root=$T/fakeroot", "d/bin=$T/fakeroot/bin", "d/lib=../fakeroot/lib", "d/nested/root=../../fakeroot"}
                << "$T/d" << "$T/d" << int(StandInRootLink);
        QTest::newRow("links to the source")
                << QStringList{"d/source=$T/s", "d/share=../s/share", "d/link=$T/s/link"} << "$T/d" << "$T/d" << int(NoRootLink);
        // As nobody: should the link be followed after all, nobody can
        // remove little beyond a canary of nobody's below $T.
        QTest::newRow("a link to / itself, as nobody") << QStringList{"d/root=/"} << "$T/d" << "$T/d" << int(RealRootLink);
        // Taken to mean the directory it points to, as any program would.
        QTest::newRow("destination is a link to a directory")
                << QStringList{"d-link=elsewhere"} << "$T/d-link" << "$T/elsewhere" << int(NoRootLink);
        // Command-line paths are tidied as text before use, the way a
        // shell's cd reads them: via/.. is $T, not the link's parent.
        QTest::newRow("destination named through a link and ..")
                << QStringList{"via=outside/deep"} << "$T/via/../target" << "$T/target" << int(NoRootLink);
    }

    void nothingOutsideTheDestinationChanges()
    {
        QFETCH(QStringList, links);
        QFETCH(QString, destination);
        QFETCH(QString, installedAt);
        QFETCH(int, rootLink);
        const std::optional<UserIds> nobody = unprivilegedUser();
        if (rootLink == RealRootLink && !standInPassed)
            QSKIP("the links to a stand-in for / did not pass in this run: a real link to / is not worth the risk");
        if (rootLink == RealRootLink && !nobody)
            QSKIP("a real link to / is only tried as a user named nobody, and the tests cannot switch to one");

        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString t = tmp.path(), s = tmp.filePath(QStringLiteral("s"));
        destination.replace(QLatin1String("$T"), t);
        installedAt.replace(QLatin1String("$T"), t);
        QVERIFY(makeFile(s + QStringLiteral("/bin/tool"), "tool", 0755) && makeFile(s + QStringLiteral("/share/readme.txt"), "readme")
                && makeFile(s + QStringLiteral("/lib/x"), "x") && makeFile(s + QStringLiteral("/.hidden"), "hidden", 0444)
                && makeLink(QStringLiteral("bin/tool"), s + QStringLiteral("/link")));
        QVERIFY(makeStandInRoot(tmp.filePath(QStringLiteral("fakeroot"))));
        for (const char *path : {"outside/keep.txt", "outside/.keep", "outside/sub/deeper/file", "outside/deep/keep",
                                 "outside/target/old.txt", "target/old.txt", "elsewhere/old.txt", "elsewhere/.old/x", "d/old.txt"})
            QVERIFY(makeFile(tmp.filePath(QLatin1String(path)), path));
        for (const QString &link : links)
            QVERIFY(makeLink(link.section(QLatin1Char('='), 1).replace(QLatin1String("$T"), t), tmp.filePath(link.section(QLatin1Char('='), 0, 0))));
        InstallOptions options;
        if (rootLink == RealRootLink) {
            // What a followed link could reach as nobody: the canary shows it.
            QVERIFY(makeFile(tmp.filePath(QStringLiteral("canary/file")), "canary"));
            QVERIFY(giveTo(tmp.filePath(QStringLiteral("canary")), *nobody) && giveTo(tmp.filePath(QStringLiteral("canary/file")), *nobody));
            QVERIFY(QFile::setPermissions(t, QFile::permissions(t) | QFile::ReadOther | QFile::ExeOther));
            QVERIFY(giveTo(installedAt, *nobody));
            options.runAs = nobody;
        }
        const QStringList outsideBefore = outsideOf(t, installedAt);

        const InstallRun run = runInstaller({s, destination}, options);
        VERIFY_RUN(run.exitCode == 0 && !run.crashed && !run.timedOut, run);
        COMPARE_TREES(outsideBefore, outsideOf(t, installedAt));
        COMPARE_TREES(snapshotLines(installedTree(readTree(QFile::encodeName(s)), QFile::encodeName(s))),
                      byteTreeSnapshot(QFile::encodeName(installedAt)));
        if (rootLink == StandInRootLink)
            standInPassed = true;
    }
};

QTEST_GUILESS_MAIN(TestReliabilityOutside)
#include "tst_reliability_outside.moc"
