#include "monitorprocess.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>

// The monitor running the real installer on a temporary tree.
class TestMonitorInstall : public QObject
{
    Q_OBJECT

private:
    // Every entry under `root`, with a file's content and a link's target as
    // written (links are not followed).
    static QStringList describeTree(const QString &root)
    {
        QStringList entries;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            const QString name = QDir(root).relativeFilePath(info.filePath());
            if (info.isSymLink()) {
                char target[4096];
                const ssize_t size = ::readlink(QFile::encodeName(info.filePath()).constData(), target, sizeof target);
                entries << name + QLatin1String(" -> ") + QString::fromUtf8(target, int(qMax<ssize_t>(size, 0)));
            } else if (info.isDir()) {
                entries << name + QLatin1Char('/');
            } else {
                QFile file(info.filePath());
                entries << name + QLatin1String(": ") + QString::fromUtf8(file.open(QIODevice::ReadOnly) ? file.readAll() : "?");
            }
        }
        entries.sort();
        return entries;
    }

    static bool makeFile(const QString &path, const QByteArray &content)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

private Q_SLOTS:
    void install_data()
    {
        QTest::addColumn<bool>("sourceExists");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("expectedReason");
        QTest::newRow("tree with links and a hidden file") << true << 0 << QByteArray();
        QTest::newRow("missing source") << false << 7 << QByteArray("ostrel-monitor: ostrel-installer exited with status 2");
    }

    void install()
    {
        QFETCH(bool, sourceExists);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, expectedReason);
        QTemporaryDir dir;
        QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
        const QString source = dir.filePath(QStringLiteral("package"));
        const QString destination = dir.filePath(QStringLiteral("installed"));
        QDir top(dir.path());
        QVERIFY(top.mkpath(QStringLiteral("installed")));
        QVERIFY(makeFile(destination + QLatin1String("/left-over"), "old"));
        if (sourceExists) {
            QVERIFY(top.mkpath(QStringLiteral("package/lib/plugins")));
            QVERIFY(makeFile(source + QLatin1String("/app"), "binary"));
            QVERIFY(makeFile(source + QLatin1String("/.settings"), "hidden"));
            QVERIFY(makeFile(source + QLatin1String("/lib/libcore.so.1.2"), "library"));
            QVERIFY(makeFile(source + QLatin1String("/lib/plugins/one.so"), "plugin"));
            QVERIFY(QFile::link(QStringLiteral("libcore.so.1.2"), source + QLatin1String("/lib/libcore.so.1")));
            QVERIFY(QFile::link(QStringLiteral("lib/plugins"), source + QLatin1String("/plugins")));
        }

        // The installer's diagnostic lines go to the log, leaving standard
        // error to the monitor's reason.
        MonitorProcess monitor(QStringLiteral(MONITOR_PATH), dir.path(),
                               {QStringLiteral("--log"), dir.filePath(QStringLiteral("installer.log")),
                                QStringLiteral("--"), QStringLiteral(INSTALLER_PATH), source, destination});
        QCOMPARE(monitor.finish(), exitCode);
        QCOMPARE(monitor.err.trimmed(), expectedReason);
        if (!sourceExists)
            return;
        QCOMPARE(describeTree(destination), describeTree(source));
        QVERIFY2(monitor.out.contains("\nstart: ") && monitor.out.contains("\ndone: "), monitor.out.constData());
    }
};

QTEST_GUILESS_MAIN(TestMonitorInstall)
#include "tst_monitor_install.moc"
