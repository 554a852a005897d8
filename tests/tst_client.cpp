#include "ostrel/installerclient.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using Ostrel::InstallerClient;

// The client running the built installer, each row in a directory of its own
// that is also its TMPDIR: the sample package installed (with its log), the
// installer's refusals, an atomic install it cannot make, cancel(), and an
// installer that is not there.
class TestClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void install_data()
    {
        const QStringList plain, atomic{"--atomic"};
        QTest::addColumn<QString>("source");      // "package": the sample package; else a name in the row's directory
        QTest::addColumn<QString>("destination"); // in the row's directory; "link" leads to "target"
        QTest::addColumn<QStringList>("options"); // the installer's, as set through the client
        QTest::addColumn<QString>("installer");   // empty: the built one
        QTest::addColumn<InstallerClient::Outcome>("outcome");
        QTest::addColumn<int>("status");
        QTest::newRow("installed") << "package" << "installed" << plain << "" << InstallerClient::Installed << 0;
        QTest::newRow("atomic, installed") << "package" << "installed" << atomic << "" << InstallerClient::Installed << 0;
        QTest::newRow("atomic, changed only, installed") << "package" << "installed" << QStringList{"--atomic", "--changed-only"} << ""
                                                         << InstallerClient::Installed << 0;
        QTest::newRow("source is a file") << "file" << "installed" << plain << "" << InstallerClient::RefusedNotADirectory << 1;
        QTest::newRow("source missing") << "none" << "installed" << plain << "" << InstallerClient::RefusedSourceMissing << 2;
        QTest::newRow("atomic into a link") << "package" << "link" << atomic << ""
                                            << InstallerClient::RefusedAtomicImpossible << 8;
        QTest::newRow("cancelled") << "big" << "installed" << plain << "" << InstallerClient::Interrupted << 128 + 15;
        QTest::newRow("no installer") << "package" << "installed" << plain << "none"
                                      << InstallerClient::FailedToStart << -1;
        // The row's log file is in its directory: emptying it would lose the log.
        QTest::newRow("log file inside the destination") << "package" << "." << plain << "" << InstallerClient::FailedToStart << -1;
    }

    void install()
    {
        QFETCH(QString, source);
        QFETCH(QString, destination);
        QFETCH(QStringList, options);
        QFETCH(QString, installer);
        QFETCH(InstallerClient::Outcome, outcome);
        QFETCH(int, status);
        QTemporaryDir dir;
        qputenv("TMPDIR", QFile::encodeName(dir.path()));
        QDir(dir.path()).mkpath("target");
        QFile::link("target", dir.filePath("link"));
        QFile file(dir.filePath("file"));
        QVERIFY(file.open(QIODevice::WriteOnly));
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
        client.setLogFile(dir.filePath("log"));
        if (source == "big")
            connect(&client, &InstallerClient::started, &client, &InstallerClient::cancel);
        QSignalSpy started(&client, &InstallerClient::started), progress(&client, &InstallerClient::progress);
        QSignalSpy lines(&client, &InstallerClient::logLine), finished(&client, &InstallerClient::finished);
        client.start();
        QVERIFY(client.isRunning());
        QVERIFY(finished.wait(120000));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished[0][0].value<InstallerClient::Outcome>(), outcome);
        QCOMPARE(finished[0][1].toInt(), status);
        QVERIFY2(!finished[0][2].toString().isEmpty(), "no reason given");
        QVERIFY(!client.isRunning());
        QCOMPARE(QDir(dir.path()).entryList({"ostrel-updater-*"}, QDir::AllEntries | QDir::Hidden), QStringList());

        // Every line went to the log file as it is, and out as a signal.
        QByteArray logged;
        for (const QList<QVariant> &line : std::as_const(lines))
            logged += line[0].toByteArray() + '\n';
        QFile log(dir.filePath("log"));
        // A log refused before the start is not even made.
        QCOMPARE(log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray("(no log)"), destination == "." ? "(no log)" : logged);
        QCOMPARE(lines.isEmpty(), status < 0);
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
