#include "ostrel/installerclient.h"

#include <QDir>
#include <QMetaEnum>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using Ostrel::InstallerClient;

// The client running the built installer, each row in a directory of its own
// that is also its TMPDIR: the sample package installed (with its log), the
// installer's refusals, an atomic install it cannot make, cancel(), an
// installer that is not there, and an older version kept by an install and
// rolled back to.
class TestClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void install_data()
    {
        const QStringList plain, atomic{"--atomic"};
        QTest::addColumn<QString>("source");      // "package": the sample package; else a name in the row's directory
        // In the row's directory; "link" leads to "target", "older" holds an older version.
        QTest::addColumn<QString>("destination");
        // The installer's, as set through the client; with --rollback the row
        // runs rollback(), after an install with the other options if any.
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("installer");   // empty: the built one
        QTest::addColumn<InstallerClient::Outcome>("outcome");
        QTest::addColumn<int>("status");
        // The phases signalled ("-": not checked), and the reason given ("DIR": the row's directory).
        QTest::addColumn<QString>("phases");
        QTest::addColumn<QString>("reason");
        const auto row = [](const char *name, const QString &source, const QString &destination, const QStringList &options,
                            const QString &installer, InstallerClient::Outcome outcome, int status, const QString &phases,
                            const QString &reason) {
            QTest::newRow(name) << source << destination << options << installer << outcome << status << phases << reason;
        };
        const QString copied = "Clearing Copying Linking Syncing", swapped = copied + " Swapping RemovingPrevious";
        const QStringList keeping{"--atomic", "--keep-previous"};
        row("installed", "package", "installed", plain, "", InstallerClient::Installed, 0, copied, "installed into DIR/installed");
        row("atomic, installed", "package", "installed", atomic, "", InstallerClient::Installed, 0, swapped, "installed into DIR/installed");
        row("atomic, changed only, installed", "package", "installed", {"--atomic", "--changed-only"}, "", InstallerClient::Installed, 0,
            swapped, "installed into DIR/installed");
        row("atomic, keep previous, installed", "package", "older", keeping, "", InstallerClient::Installed, 0,
            copied + " Swapping KeepingPrevious", "installed into DIR/older");
        row("atomic, keep previous, rolled back", "package", "older", keeping + QStringList{"--rollback"}, "", InstallerClient::RolledBack, 0,
            "RollingBack Swapping", "rolled back DIR/older to the version kept before");
        row("rollback, nothing kept", "package", "older", {"--rollback"}, "", InstallerClient::RefusedNothingKept, 9, "",
            "Nothing to roll back to: no previous version of DIR/older is kept (installer status 9: no previous version kept)");
        row("keep previous without atomic", "package", "older", {"--keep-previous"}, "", InstallerClient::FailedToStart, -1, "",
            "only an atomic install keeps the previous version: setKeepPrevious() needs setAtomic(true)");
        row("source is a file", "file", "installed", plain, "", InstallerClient::RefusedNotADirectory, 1, "",
            "Directory DIR/file does not exist (installer status 1: SOURCE is not a directory)");
        row("source missing", "none", "installed", plain, "", InstallerClient::RefusedSourceMissing, 2, "",
            "fail to find sources at DIR/none (installer status 2: SOURCE is missing)");
        row("atomic into a link", "package", "link", atomic, "", InstallerClient::RefusedAtomicImpossible, 8, "",
            "Refusing to install atomically into DIR/link: it is a symbolic link (installer status 8: cannot swap atomically)");
        row("cancelled", "big", "installed", plain, "", InstallerClient::Interrupted, 128 + 15, "-", "the install was cancelled");
        row("no installer", "package", "installed", plain, "none", InstallerClient::FailedToStart, -1, "",
            "cannot start DIR/none: execve: No such file or directory");
        // The row's log file is in its directory: emptying it would lose the log.
        row("log file inside the destination", "package", ".", plain, "", InstallerClient::FailedToStart, -1, "",
            "the log file DIR/log is inside DESTINATION DIR/., which the install empties");
    }

    void install()
    {
        QFETCH(QString, source);
        QFETCH(QString, destination);
        QFETCH(QStringList, options);
        QFETCH(QString, installer);
        QFETCH(InstallerClient::Outcome, outcome);
        QFETCH(int, status);
        QFETCH(QString, phases);
        QFETCH(QString, reason);
        // The next row's directory is made where this one's began, not in this one's, gone by then.
        const QByteArray outerTmp = qgetenv("TMPDIR");
        const auto restoreTmp = qScopeGuard([&] { outerTmp.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", outerTmp); });
        QTemporaryDir dir;
        qputenv("TMPDIR", QFile::encodeName(dir.path()));
        QDir(dir.path()).mkpath("target");
        QFile::link("target", dir.filePath("link"));
        QFile file(dir.filePath("file"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (destination == "older") { // the package's text changed, a program it no longer has; and a copy as it was
            QVERIFY(QDir(dir.path()).mkpath("older/bin"));
            QFile readme(dir.filePath("older/README.txt")), tool(dir.filePath("older/bin/old-tool"));
            QVERIFY(readme.open(QIODevice::WriteOnly) && readme.write("version 1\n") == 10 && readme.flush());
            QVERIFY(tool.open(QIODevice::WriteOnly) && tool.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
            QCOMPARE(QProcess::execute("cp", {"-a", dir.filePath("older"), dir.filePath("older.orig")}), 0);
        }
        if (source == "big") { // large enough that the install is still running when the start message arrives
            for (int i = 0; i < 3000; ++i) {
                QDir(dir.path()).mkpath(QString("big/%1").arg(i / 100));
                QFile f(dir.filePath(QString("big/%1/%2").arg(i / 100).arg(i)));
                QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(4096, 'x')) == 4096);
            }
        }

        InstallerClient client;
        client.setInstallerProgram(installer.isEmpty() ? INSTALLER_PATH : dir.filePath(installer));
        client.setSource(source == "package" ? SAMPLE_PACKAGE : dir.filePath(source));
        client.setDestination(dir.filePath(destination));
        client.setAtomic(options.contains("--atomic"));
        client.setChangedOnly(options.contains("--changed-only"));
        client.setKeepPrevious(options.contains("--keep-previous"));
        client.setLogFile(dir.filePath("log"));
        const bool rollingBack = options.contains("--rollback");
        if (rollingBack && options.size() > 1) {
            QSignalSpy installed(&client, &InstallerClient::finished);
            client.start();
            QVERIFY(installed.wait(120000));
            QCOMPARE(installed[0][0].value<InstallerClient::Outcome>(), InstallerClient::Installed);
        }
        if (source == "big")
            connect(&client, &InstallerClient::started, &client, &InstallerClient::cancel);
        QSignalSpy started(&client, &InstallerClient::started), progress(&client, &InstallerClient::progress);
        QSignalSpy lines(&client, &InstallerClient::logLine), finished(&client, &InstallerClient::finished);
        QStringList phasesSignalled;
        connect(&client, &InstallerClient::phaseChanged, &client, [&](InstallerClient::Phase phase, const QString &) {
            phasesSignalled << QMetaEnum::fromType<InstallerClient::Phase>().valueToKey(phase);
        });
        rollingBack ? client.rollback() : client.start();
        QVERIFY(client.isRunning());
        QVERIFY(finished.wait(120000));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished[0][0].value<InstallerClient::Outcome>(), outcome);
        QCOMPARE(finished[0][1].toInt(), status);
        QCOMPARE(finished[0][2].toString().replace(dir.path(), "DIR"), reason);
        if (phases != "-")
            QCOMPARE(phasesSignalled.join(' '), phases);
        QVERIFY(!client.isRunning());
        QCOMPARE(QDir(dir.path()).entryList({"ostrel-updater-*"}, QDir::AllEntries | QDir::Hidden), QStringList());

        // Every line went to the log file as it is, and out as a signal.
        QByteArray logged;
        for (const QList<QVariant> &line : std::as_const(lines))
            logged += line[0].toByteArray() + '\n';
        QFile log(dir.filePath("log"));
        // A run the client refuses itself, the built installer at hand, does
        // not even make its log.
        const bool refusedByClient = status < 0 && installer.isEmpty();
        QCOMPARE(log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray("(no log)"), refusedByClient ? "(no log)" : logged);
        QCOMPARE(lines.isEmpty(), status < 0);
        // Refused, or rolled back: the older version as it was.
        if (destination == "older" && outcome != InstallerClient::Installed)
            QCOMPARE(QProcess::execute("diff", {"-r", "--no-dereference", dir.filePath("older.orig"), dir.filePath(destination)}), 0);
        if (outcome != InstallerClient::Installed)
            return;
        QCOMPARE(started.size(), 1);
        const int total = started[0][0].toInt();
        QCOMPARE(progress.size(), total);
        QCOMPARE(progress.last(), QList<QVariant>({total, total}));
        QCOMPARE(QProcess::execute("diff", {"-r", "--no-dereference", SAMPLE_PACKAGE, dir.filePath(destination)}), 0);
        QCOMPARE(logged.contains(" files unchanged, kept from the previous version"), options.contains("--changed-only"));
    }
};

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
