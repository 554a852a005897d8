#include "loglines.h"
#include "nativename.h"

#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

// Runs the probe executable, which logs each of its arguments, and checks the
// exact bytes it leaves on standard error.
class TestLog : public QObject
{
    Q_OBJECT

private:
    QByteArray runProbe(const QStringList &messages, const QProcessEnvironment &env)
    {
        QProcess probe;
        probe.setProcessEnvironment(env);
        probe.start(QStringLiteral(LOGPROBE_PATH), messages);
        if (!probe.waitForFinished(10000) || probe.exitCode() != 0) {
            qWarning() << "probe failed:" << probe.errorString() << probe.readAllStandardError();
            return {};
        }
        if (!probe.readAllStandardOutput().isEmpty())
            qWarning() << "probe wrote to standard output";
        return probe.readAllStandardError();
    }

private Q_SLOTS:
    void exactBytes_data()
    {
        QTest::addColumn<QString>("configuration");
        QTest::newRow("default") << QString();
        QTest::newRow("debug disabled by rules") << QStringLiteral("rules");
        QTest::newRow("debug disabled by qtlogging.ini") << QStringLiteral("ini");
    }

    void exactBytes()
    {
        QFETCH(QString, configuration);
        QTemporaryDir config;
        QVERIFY2(config.isValid(), qPrintable(config.errorString()));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (configuration == QLatin1String("rules")) {
            env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false;default.debug=false"));
        } else if (configuration == QLatin1String("ini")) {
            QVERIFY(QDir(config.path()).mkpath(QStringLiteral("QtProject")));
            QFile ini(config.filePath(QStringLiteral("QtProject/qtlogging.ini")));
            QVERIFY(ini.open(QIODevice::WriteOnly));
            ini.write("[Rules]\n*.debug=false\n");
            ini.close();
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        }

        const QStringList messages = {QStringLiteral("Create links"), QString(),
                                      QStringLiteral("path /tmp/%1/x %2"), QStringLiteral("caf\u00e9 \"quoted\" back\\slash")};
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        const QByteArray out = runProbe(messages, env);
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);

        const QList<QByteArray> lines = out.split('\n');
        QCOMPARE(lines.size(), messages.size() + 1); // last element: empty after the final \n
        QCOMPARE(lines.last(), QByteArray());
        for (int i = 0; i < messages.size(); ++i) {
            const QByteArray &line = lines.at(i);
            const int stamp = line.indexOf(" [");
            QVERIFY2(stamp > 1 && line.startsWith('"'), line.constData());
            const QDateTime at = QDateTime::fromString(QString::fromLatin1(line.mid(1, stamp - 1)), Qt::TextDate);
            QVERIFY2(at >= before && at <= after, line.constData());
            const QByteArray expected = " [logprobe.cpp:7] int main(int, char **) " + messages.at(i).toUtf8() + "\" ";
            QCOMPARE(line.mid(stamp), expected);
        }
    }

    // File names are bytes; every byte string must survive decoding and
    // encoding unchanged, and valid UTF-8 must decode as UTF-8.
    void fileNamesRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("decoded"); // null: only the round trip is checked
        QTest::newRow("ascii") << QByteArray("plain name.txt") << QStringLiteral("plain name.txt");
        QTest::newRow("utf-8") << QByteArray("caf\xc3\xa9 \xf0\x9f\x98\x80") << QStringLiteral("caf\u00e9 \U0001F600");
        QTest::newRow("latin-1 byte") << QByteArray("caf\xe9") << QString();
        QTest::newRow("truncated sequence") << QByteArray("a\xe2\x82") << QString();
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << QString();
        QTest::newRow("encoded surrogate") << QByteArray("\xed\xb2\x80") << QString();
        QTest::newRow("lone continuation bytes") << QByteArray("\x80\xbf\xff\xfe") << QString();
        QRandomGenerator random(20261206);
        for (int row = 0; row < 200; ++row) {
            QByteArray bytes(random.bounded(1, 40), Qt::Uninitialized);
            for (char &byte : bytes)
                byte = char(random.bounded(1, 256));
            QTest::addRow("random %d", row) << bytes << QString();
        }
    }

    void fileNamesRoundTrip()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, decoded);
        const QString name = decodeFileName(bytes);
        if (!decoded.isNull())
            QCOMPARE(name, decoded);
        QCOMPARE(encodeFileName(name), bytes);
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
