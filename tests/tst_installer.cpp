#include "installerrun.h"
#include "treemaker.h"
#include "treesnapshot.h"

#include <QTest>

#include <csignal>
#include <sys/resource.h>

// End-to-end: the built installer against real trees and a real updater
// socket.
class TestInstaller : public QObject
{
    Q_OBJECT

private:
    const QString copyFn = QStringLiteral("void recursiveCopy(const QString, const QString, PipeClient *, QMap<QString, QString> &) ");
    const QString installFn = QStringLiteral("void installPackage(const QString &, const QString &) ");
    const QString linksFn = QStringLiteral("void createLinks(QMap<QString, QString>) ");
    const QString progressFn = QStringLiteral("void PipeClient::progress(int) ");

    // What the destination must hold after installing `source`: everything
    // but special files, which are not part of a package.
    static QStringList installable(const QString &source)
    {
        QStringList lines = treeSnapshot(source);
        lines.removeIf([](const QString &line) { return line.endsWith(QLatin1String(" p")) || line.endsWith(QLatin1String(" s")); });
        return lines;
    }

    static bool makeSamplePackage(const QString &root)
    {
        return makeFile(root + QStringLiteral("/bin/tool"), "#!/bin/sh\necho tool\n", 0755)
               && makeFile(root + QStringLiteral("/share/readme.txt"), "read me\n", 0644)
               && makeFile(root + QStringLiteral("/share/secret"), "s3cret", 0600)
               && makeFile(root + QStringLiteral("/share/.hidden"), "", 0444)
               && makeFile(root + QStringLiteral("/.config/settings.ini"), "[x]\n", 0640)
               && QDir().mkpath(root + QStringLiteral("/empty"))
               && makeLink(QStringLiteral("../bin/tool"), root + QStringLiteral("/share/tool"));
    }

private Q_SLOTS:
    // A file, a nested file, a link and a hidden file: every log line and
    // every message of a full run, in order.
    void workedCase()
    {
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString s = tmp.filePath(QStringLiteral("s")), d = tmp.filePath(QStringLiteral("d"));
        QVERIFY(makeFile(s + QStringLiteral("/a.txt"), "a\n"));
        QVERIFY(makeFile(s + QStringLiteral("/B/c.txt"), "c\n"));
        QVERIFY(makeFile(s + QStringLiteral("/.cfg"), "cfg\n"));
        QVERIFY(makeLink(QStringLiteral("a.txt"), s + QStringLiteral("/l")));

        const InstallRun run = runInstaller({s, d});
        QVERIFY2(run.exitCode == 0 && !run.crashed, run.report());
        const QString connectFn = QStringLiteral("bool PipeClient::connect(const QString &) ");
        const QStringList expected = {
            connectFn + QStringLiteral("Connect to Updater start"),
            connectFn + QStringLiteral("Try #1"),
            connectFn + QStringLiteral("Connect to Updater done"),
            installFn + QStringLiteral("source dir is %1 destination dir is %2").arg(s, d),
            QStringLiteral("void PipeClient::startProgress(int) Files to install 3"),
            copyFn + QStringLiteral("trying to copy file %1/.cfg -> %2/.cfg").arg(s, d),
            progressFn + QStringLiteral("1 files copied"),
            copyFn + QStringLiteral("trying to copy file %1/a.txt -> %2/a.txt").arg(s, d),
            progressFn + QStringLiteral("2 files copied"),
            copyFn + QStringLiteral("trying to copy file %1/B -> %2/B").arg(s, d),
            copyFn + QStringLiteral("trying to copy file %1/B/c.txt -> %2/B/c.txt").arg(s, d),
            progressFn + QStringLiteral("3 files copied"),
            copyFn + QStringLiteral("trying to copy file %1/l -> %2/l").arg(s, d),
            linksFn + QStringLiteral("Create links"),
            linksFn + QStringLiteral("Create link %1/l -> a.txt").arg(d),
            QStringLiteral("void PipeClient::stopProgress() Installed"),
        };
        QCOMPARE(run.logged(), expected);
        QCOMPARE(run.messages, QByteArray(".START_3\n.PROGRESS_1\n.PROGRESS_2\n.PROGRESS_3\n.DONE_\n"));
        QVERIFY(run.standardOutput.isEmpty());
        COMPARE_TREES(installable(s), treeSnapshot(d));
    }

    // $S: the sample package, $D: a destination holding an old file, $F: a
    // regular file, $M: a missing path.
    void exitStatuses_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("listen");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("lastMessage");
        QTest::addColumn<QString>("destination"); // installed, untouched or cleared

        const QString none;
        QTest::newRow("no arguments") << QStringList() << true << 255 << none << "untouched";
        QTest::newRow("one argument") << QStringList{"$S"} << true << 255 << none << "untouched";
        QTest::newRow("installed") << QStringList{"$S", "$D"} << true << 0 << "Installed" << "installed";
        QTest::newRow("third argument ignored") << QStringList{"$S", "$D", "$M"} << true << 0 << "Installed" << "installed";
        QTest::newRow("relative paths") << QStringList{"./sample/../sample/", "dest//"} << true << 0 << "Installed" << "installed";
        QTest::newRow("source missing") << QStringList{"$M", "$D"} << true << 2 << "fail to find sources at $M" << "untouched";
        QTest::newRow("no updater") << QStringList{"$S", "$D"} << false << 3 << "Too many tries, seems no Updater" << "untouched";
        QTest::newRow("source is a file") << QStringList{"$F", "$D"} << true << 1 << "Directory $F does not exist" << "untouched";
    }

    void exitStatuses()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, listen);
        QFETCH(int, exitCode);
        QFETCH(QString, lastMessage);
        QFETCH(QString, destination);
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString s = tmp.filePath(QStringLiteral("sample")), d = tmp.filePath(QStringLiteral("dest"));
        const QString f = tmp.filePath(QStringLiteral("file")), m = tmp.filePath(QStringLiteral("missing"));
        QVERIFY(makeSamplePackage(s));
        QVERIFY(makeFile(f, "not a directory"));
        QVERIFY(makeFile(d + QStringLiteral("/old.txt"), "previous version"));
        const QStringList before = treeSnapshot(d);
        auto substitute = [&](QString text) {
            return text.replace(QLatin1String("$S"), s).replace(QLatin1String("$D"), d)
                    .replace(QLatin1String("$F"), f).replace(QLatin1String("$M"), m);
        };
        for (QString &argument : arguments)
            argument = substitute(argument);

        InstallOptions options;
        options.listen = listen;
        options.workingDirectory = tmp.path();
        const InstallRun run = runInstaller(arguments, options);
        QVERIFY2(run.exitCode == exitCode && !run.crashed, run.report());
        QVERIFY2(run.strayOutput().isEmpty(), qPrintable(run.strayOutput()));
        QVERIFY(run.standardOutput.isEmpty());
        if (lastMessage.isEmpty())
            QVERIFY(run.standardError.isEmpty());
        else
            QCOMPARE(run.loggedMessages().last(), substitute(lastMessage));

        if (destination == QLatin1String("installed")) {
            COMPARE_TREES(installable(s), treeSnapshot(d));
            QVERIFY(run.messages.startsWith(".START_5\n") && run.messages.endsWith(".PROGRESS_5\n.DONE_\n"));
        } else if (destination == QLatin1String("untouched")) {
            COMPARE_TREES(before, treeSnapshot(d));
            QCOMPARE(run.messages, QByteArray());
        } else {
            COMPARE_TREES(QStringList(), treeSnapshot(d));
            QVERIFY2(!run.messages.contains(".DONE_"), run.messages.constData());
        }
    }

    // $T is the temporary root; "link" points to the source.
    void overlappingPathsAreRefused_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("destination");
        QTest::newRow("same directory") << "$T/src" << "$T/src";
        QTest::newRow("destination inside source") << "$T/src" << "$T/src/sub";
        QTest::newRow("new destination deep inside source") << "$T/src" << "$T/src/new/deeper";
        QTest::newRow("source inside destination") << "$T/src" << "$T";
        QTest::newRow("destination is a link to the source") << "$T/src" << "$T/link";
        QTest::newRow("new destination below a link into the source") << "$T/src" << "$T/link/new";
        QTest::newRow("source given through a link") << "$T/link" << "$T/src/sub";
        QTest::newRow("root destination") << "$T/src" << "/";
    }

    void overlappingPathsAreRefused()
    {
        QFETCH(QString, source);
        QFETCH(QString, destination);
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        source.replace(QLatin1String("$T"), tmp.path());
        destination.replace(QLatin1String("$T"), tmp.path());
        QVERIFY(makeSamplePackage(tmp.filePath(QStringLiteral("src"))));
        QVERIFY(makeFile(tmp.filePath(QStringLiteral("src/sub/keep.txt")), "keep"));
        QVERIFY(makeLink(tmp.filePath(QStringLiteral("src")), tmp.filePath(QStringLiteral("link"))));
        const QStringList before = treeSnapshot(tmp.path(), true);

        const InstallRun run = runInstaller({source, destination});
        QVERIFY2(run.exitCode == 5, run.report());
        QCOMPARE(run.loggedMessages(),
                 QStringList{QStringLiteral("Refusing to install: source %1 and destination %2 overlap").arg(source, destination)});
        QCOMPARE(run.messages, QByteArray());
        COMPARE_TREES(before, treeSnapshot(tmp.path(), true));
    }

    // A copy that fails (here: a file-size limit) is logged, the rest is
    // installed, the updater still gets its done message, and the exit
    // status says the install is incomplete.
    void failedCopyExits4()
    {
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString s = tmp.filePath(QStringLiteral("s")), d = tmp.filePath(QStringLiteral("d"));
        QVERIFY(makeFile(s + QStringLiteral("/big.bin"), QByteArray(64 * 1024, 'x')));
        QVERIFY(makeFile(s + QStringLiteral("/small.txt"), "small"));
        InstallOptions options;
        options.childSetup = [] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{32 * 1024, 32 * 1024};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        };
        const InstallRun run = runInstaller({s, d}, options);
        QVERIFY2(run.exitCode == 4, run.report());
        QVERIFY(run.loggedMessages().contains(QStringLiteral("Failed to copy file big.bin from %1 to %2").arg(s, d)));
        QCOMPARE(run.messages, QByteArray(".START_2\n.PROGRESS_1\n.PROGRESS_2\n.DONE_\n"));
        QCOMPARE(treeSnapshot(d), QStringList{treeSnapshot(s).last()}); // small.txt only
    }

    void caseInsensitiveNameOrder()
    {
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString s = tmp.filePath(QStringLiteral("s")), d = tmp.filePath(QStringLiteral("d"));
        for (const char *name : {"cherry", "Banana", "bz/Z", "apple", "Apricot", "bz/y"})
            QVERIFY(makeFile(s + QLatin1Char('/') + QLatin1String(name), name));
        const InstallRun run = runInstaller({s, d});
        QVERIFY2(run.exitCode == 0, run.report());
        QStringList copied;
        for (const QString &message : run.loggedMessages())
            if (message.startsWith(QLatin1String("trying to copy file ")))
                copied << message.section(QLatin1Char(' '), 4, 4).mid(s.size() + 1);
        QCOMPARE(copied, (QStringList{"apple", "Apricot", "Banana", "bz", "bz/y", "bz/Z", "cherry"}));
    }

    void linksOfEveryKind()
    {
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString s = tmp.filePath(QStringLiteral("s")), d = tmp.filePath(QStringLiteral("d"));
        const QString outside = tmp.filePath(QStringLiteral("outside/target.txt"));
        QVERIFY(makeFile(outside, "outside"));
        QVERIFY(makeFile(s + QStringLiteral("/lib/tool"), "tool", 0755));
        QVERIFY(makeLink(QStringLiteral("../lib/tool"), s + QStringLiteral("/bin/relative")));
        QVERIFY(makeLink(s + QStringLiteral("/lib/tool"), s + QStringLiteral("/bin/absolute")));
        QVERIFY(makeLink(QStringLiteral("../lib"), s + QStringLiteral("/bin/directory")));
        QVERIFY(makeLink(QStringLiteral("lib"), s + QStringLiteral("/Libdir")));
        QVERIFY(makeLink(outside, s + QStringLiteral("/out")));
        QVERIFY(makeLink(QStringLiteral("missing.txt"), s + QStringLiteral("/dangling")));

        const InstallRun run = runInstaller({s, d});
        QVERIFY2(run.exitCode == 0, run.report());
        QCOMPARE(run.messages, QByteArray(".START_1\n.PROGRESS_1\n.DONE_\n"));
        const QStringList expected = {
            QStringLiteral("Libdir l -> lib"),
            QStringLiteral("bin d"),
            QStringLiteral("bin/absolute l -> ../lib/tool"),
            QStringLiteral("bin/directory l -> ../lib"),
            QStringLiteral("bin/relative l -> ../lib/tool"),
            QStringLiteral("dangling l -> missing.txt"),
            QStringLiteral("lib d"),
            treeSnapshot(s).filter(QStringLiteral("lib/tool f")).value(0),
            QStringLiteral("out l -> ../outside/target.txt"),
        };
        COMPARE_TREES(expected, treeSnapshot(d));
        // Links are created in key order, after the copy.
        QStringList created = run.loggedMessages().filter(QStringLiteral("Create link "));
        QCOMPARE(created.size(), 6);
        QVERIFY(created.first().startsWith(QStringLiteral("Create link %1/Libdir").arg(d)));
        QVERIFY(created.last().startsWith(QStringLiteral("Create link %1/out").arg(d)));
        QVERIFY(run.loggedMessages().filter(QStringLiteral("Libdir/")).isEmpty()); // not descended
    }

    // Nothing of the previous installation survives, and nothing its links
    // point to outside the destination is touched.
    void previousInstallationIsReplaced()
    {
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString s = tmp.filePath(QStringLiteral("s")), d = tmp.filePath(QStringLiteral("d"));
        const QString outside = tmp.filePath(QStringLiteral("outside"));
        QVERIFY(makeSamplePackage(s));
        QVERIFY(makeFile(outside + QStringLiteral("/keep.txt"), "keep"));
        QVERIFY(makeFile(outside + QStringLiteral("/.keep"), "keep"));
        QVERIFY(makeFile(d + QStringLiteral("/old.txt"), "old"));
        QVERIFY(makeFile(d + QStringLiteral("/bin/tool"), "old tool, other bytes"));
        QVERIFY(makeFile(d + QStringLiteral("/.hidden"), "old"));
        QVERIFY(makeFile(d + QStringLiteral("/.hdir/sub/x"), "old"));
        QVERIFY(makeFile(d + QStringLiteral("/share/.old"), "old", 0400));
        QVERIFY(makeLink(QStringLiteral("nowhere"), d + QStringLiteral("/dangling")));
        QVERIFY(makeLink(outside, d + QStringLiteral("/outside-dir")));
        QVERIFY(makeLink(outside + QStringLiteral("/keep.txt"), d + QStringLiteral("/share/outside-file")));
        QVERIFY(makeLink(QStringLiteral(".."), d + QStringLiteral("/share/parent")));
        QVERIFY(makeFifo(d + QStringLiteral("/fifo")));
        const QStringList outsideBefore = treeSnapshot(outside, true);

        const InstallRun run = runInstaller({s, d});
        QVERIFY2(run.exitCode == 0, run.report());
        COMPARE_TREES(installable(s), treeSnapshot(d));
        COMPARE_TREES(outsideBefore, treeSnapshot(outside, true));
    }

    // Paths that a shell, a format string or a narrow encoding would mangle.
    void awkwardPaths_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("quotes") << QStringLiteral("it's \"quoted\"");
        QTest::newRow("command substitution") << QStringLiteral("$(touch pwned)");
        QTest::newRow("backticks") << QStringLiteral("`touch pwned`;touch pwned");
        QTest::newRow("spaces and dash") << QStringLiteral(" -name x ");
        QTest::newRow("utf-8") << QStringLiteral("caf\u00e9 \u65e5\u672c");
        QTest::newRow("place markers") << QStringLiteral("x%1y%2z%3");
    }

    void awkwardPaths()
    {
        QFETCH(QString, name);
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString s = tmp.filePath(name + QStringLiteral("/src")), d = tmp.filePath(name + QStringLiteral("/dst"));
        QVERIFY(makeSamplePackage(s));
        QVERIFY(makeFile(s + QLatin1Char('/') + name, name.toUtf8()));
        InstallOptions options;
        options.workingDirectory = tmp.path();
        const InstallRun run = runInstaller({s, d}, options);
        QVERIFY2(run.exitCode == 0, run.report());
        QVERIFY(run.loggedMessages().contains(QStringLiteral("source dir is ") + s + QStringLiteral(" destination dir is ") + d));
        QVERIFY(run.loggedMessages().contains(QStringLiteral("trying to copy file %1/%2 -> %3/%2").arg(s, name, d)));
        QVERIFY2(run.messages.startsWith(".START_6\n") && run.messages.endsWith(".PROGRESS_6\n.DONE_\n"), run.messages.constData());
        COMPARE_TREES(installable(s), treeSnapshot(d));
        QVERIFY(!QFile::exists(tmp.filePath(QStringLiteral("pwned"))));
    }

    void updaterClosingMidRun_data()
    {
        QTest::addColumn<int>("closeAfter");
        QTest::newRow("before reading anything") << 0;
        QTest::newRow("after the start message") << 1;
        QTest::newRow("after some progress") << 20;
    }

    void updaterClosingMidRun()
    {
        QFETCH(int, closeAfter);
        QTemporaryDir tmp;
        QVERIFY2(tmp.isValid(), qPrintable(tmp.errorString()));
        const QString s = tmp.filePath(QStringLiteral("s")), d = tmp.filePath(QStringLiteral("d"));
        for (int i = 0; i < 200; ++i)
            QVERIFY(makeFile(s + QStringLiteral("/dir%1/file%2").arg(i % 7).arg(i), QByteArray::number(i)));
        InstallOptions options;
        options.closeAfterMessages = closeAfter;
        const InstallRun run = runInstaller({s, d}, options);
        QVERIFY2(run.exitCode == 0 && !run.crashed, run.report());
        QVERIFY2(run.strayOutput().isEmpty(), qPrintable(run.strayOutput()));
        QCOMPARE(run.loggedMessages().last(), QStringLiteral("Installed"));
        COMPARE_TREES(installable(s), treeSnapshot(d));
    }
};

QTEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer.moc"
