#include "loglines.h"
#include "pipeclient.h"
#include "stderrcapture.h"

#include <QLocalServer>
#include <QMetaMethod>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <climits>
#include <memory>

// PipeClient against a real QLocalServer in the same thread: the client's
// calls block, so the server side is read afterwards with blocking waits.
class TestPipeClient : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::unique_ptr<QLocalServer> server;
    QLocalSocket *updater = nullptr; // server side of the connection

    QString serverName() const { return dir.filePath(QStringLiteral("updater")); }

    void listen()
    {
        server = std::make_unique<QLocalServer>();
        QVERIFY2(server->listen(serverName()), qPrintable(server->errorString()));
    }

    void connectClient(PipeClient &client)
    {
        QVERIFY(client.connect(serverName()));
        QVERIFY(server->waitForNewConnection(5000));
        updater = server->nextPendingConnection();
        QVERIFY(updater);
    }

    // Everything the client has sent so far.
    QByteArray received()
    {
        while (updater->waitForReadyRead(100)) {
        }
        return updater->readAll();
    }

    static QStringList loggedRests(const QByteArray &captured)
    {
        QString error;
        const QList<LogLine> lines = parseLogLines(captured, &error);
        if (!error.isEmpty())
            qWarning() << error;
        for (const LogLine &l : lines)
            if (l.file != QLatin1String("pipeclient.cpp"))
                qWarning() << "line from" << l.file;
        return logRests(lines);
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    }

    void cleanup()
    {
        updater = nullptr;
        server.reset();
    }

    void slotsInDeclaredOrder()
    {
        const QMetaObject *meta = &PipeClient::staticMetaObject;
        QCOMPARE(meta->className(), "PipeClient");
        const QList<QByteArray> expected = {"connect(QString)", "startProgress(int)", "progress(int)",
                                            "nextProgress()", "stopProgress()",
                                            "onPipeError(QLocalSocket::LocalSocketError)"};
        QCOMPARE(meta->methodCount() - meta->methodOffset(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            const QMetaMethod method = meta->method(meta->methodOffset() + i);
            QCOMPARE(method.methodSignature(), expected.at(i));
            QCOMPARE(method.methodType(), QMetaMethod::Slot);
            QCOMPARE(method.access(), i == 5 ? QMetaMethod::Private : QMetaMethod::Public);
        }
    }

    void noServerGivesUpAfter101Tries()
    {
        PipeClient client;
        StderrCapture capture;
        QVERIFY(!client.connect(serverName()));
        QStringList expected = {QStringLiteral("bool PipeClient::connect(const QString &) Connect to Updater start")};
        for (int i = 1; i <= 101; ++i)
            expected << QStringLiteral("bool PipeClient::connect(const QString &) Try #%1").arg(i);
        expected << QStringLiteral("bool PipeClient::connect(const QString &) Connect to Updater done");
        QCOMPARE(loggedRests(capture.take()), expected);
    }

    void listeningServerConnectsAtFirstTry()
    {
        listen();
        PipeClient client;
        StderrCapture capture;
        connectClient(client);
        const QStringList expected = {QStringLiteral("bool PipeClient::connect(const QString &) Connect to Updater start"),
                                      QStringLiteral("bool PipeClient::connect(const QString &) Try #1"),
                                      QStringLiteral("bool PipeClient::connect(const QString &) Connect to Updater done")};
        QCOMPARE(loggedRests(capture.take()), expected);
    }

    void wireBytes_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("number");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("logged");
        const QString start = QStringLiteral("void PipeClient::startProgress(int) Files to install %1");
        const QString progress = QStringLiteral("void PipeClient::progress(int) %1 files copied");
        QTest::newRow("start 0") << "start" << 0 << QByteArray::fromHex("2E53544152545F300A") << start.arg(0);
        QTest::newRow("start INT_MAX") << "start" << INT_MAX << QByteArray(".START_2147483647\n") << start.arg(INT_MAX);
        QTest::newRow("progress 7") << "progress" << 7 << QByteArray::fromHex("2E50524F47524553535F370A") << progress.arg(7);
        QTest::newRow("progress -1") << "progress" << -1 << QByteArray(".PROGRESS_-1\n") << progress.arg(-1);
        QTest::newRow("progress INT_MIN") << "progress" << INT_MIN << QByteArray(".PROGRESS_-2147483648\n") << progress.arg(INT_MIN);
        QTest::newRow("done") << "stop" << 0 << QByteArray::fromHex("2E444F4E455F0A")
                              << QStringLiteral("void PipeClient::stopProgress() Installed");
    }

    void wireBytes()
    {
        QFETCH(QString, operation);
        QFETCH(int, number);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, logged);
        listen();
        PipeClient client;
        connectClient(client);
        StderrCapture capture;
        if (operation == QLatin1String("start"))
            client.startProgress(number);
        else if (operation == QLatin1String("progress"))
            client.progress(number);
        else
            client.stopProgress();
        QCOMPARE(loggedRests(capture.take()), QStringList{logged});
        QCOMPARE(received(), bytes);
    }

    void numberingFollowsConnect()
    {
        listen();
        PipeClient client;
        connectClient(client);
        client.nextProgress();
        client.nextProgress();
        client.startProgress(5); // does not restart the numbering
        client.nextProgress();
        client.progress(10);     // does not move the counter
        client.nextProgress();
        QCOMPARE(received(), QByteArray(".PROGRESS_1\n.PROGRESS_2\n.START_5\n.PROGRESS_3\n"
                                        ".PROGRESS_10\n.PROGRESS_4\n"));

        // Connecting again starts a new connection and a new count.
        connectClient(client);
        client.nextProgress();
        QCOMPARE(received(), QByteArray(".PROGRESS_1\n"));
    }

    void onPipeErrorLogsTheCode_data()
    {
        QTest::addColumn<QLocalSocket::LocalSocketError>("error");
        QTest::addColumn<QString>("code");
        QTest::newRow("ServerNotFoundError") << QLocalSocket::ServerNotFoundError << QStringLiteral("2");
        QTest::newRow("UnknownSocketError") << QLocalSocket::UnknownSocketError << QStringLiteral("-1");
    }

    void onPipeErrorLogsTheCode()
    {
        QFETCH(QLocalSocket::LocalSocketError, error);
        QFETCH(QString, code);
        PipeClient client;
        StderrCapture capture;
        QVERIFY(QMetaObject::invokeMethod(&client, "onPipeError", Q_ARG(QLocalSocket::LocalSocketError, error)));
        QCOMPARE(loggedRests(capture.take()),
                 QStringList{QStringLiteral("void PipeClient::onPipeError(QLocalSocket::LocalSocketError) QLocalSocket error: ")
                             + code});
    }

    // The updater may go away mid-install. Each operation must still log and
    // return, the process must survive (no SIGPIPE), and nothing but our own
    // lines may reach standard error (failOnWarning catches Qt's warnings).
    void updaterGoneIsNotFatal()
    {
        listen();
        PipeClient client;
        connectClient(client);
        client.startProgress(3);
        updater->abort();
        server.reset();

        StderrCapture capture;
        for (int i = 0; i < 50; ++i)
            client.nextProgress();
        client.stopProgress();
        const QStringList lines = loggedRests(capture.take());
        QCOMPARE(lines.size(), 51);
        QCOMPARE(lines.first(), QStringLiteral("void PipeClient::progress(int) 1 files copied"));
        QCOMPARE(lines.last(), QStringLiteral("void PipeClient::stopProgress() Installed"));
    }

    void unconnectedClientCanBeUsedAndDestroyed()
    {
        StderrCapture capture;
        {
            PipeClient client;
            client.startProgress(1);
            client.stopProgress();
        }
        QCOMPARE(loggedRests(capture.take()).size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestPipeClient)
#include "tst_pipeclient.moc"
