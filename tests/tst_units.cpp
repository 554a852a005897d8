#include "copyengine.h"
#include "filecopy.h"
#include "installer.h"
#include "installerrun.h"
#include "pipeclient.h"
#include "posixfs.h"
#include "staging.h"

#include <dirent.h>

// "function: message" of each diagnostic line `code` writes to standard error.
template <typename Code> QStringList loggedBy(Code code)
{
    QTemporaryFile file;
    const int saved = ::dup(STDERR_FILENO);
    if (file.open() && ::dup2(file.handle(), STDERR_FILENO) >= 0)
        code();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    QString error;
    QStringList lines = parseLogLines(file.seek(0) ? file.readAll() : QByteArray(), &error);
    return error.isEmpty() ? lines : lines << error;
}

// The read calls this process has made, copies within the kernel included.
qint64 readCalls()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (io.open(QIODevice::ReadOnly))
        for (QByteArray line = io.readLine(); !line.isEmpty(); line = io.readLine())
            if (line.startsWith("syscr:"))
                return line.mid(6).trimmed().toLongLong();
    return -1;
}

// The log line, the pipe client, the process utilities and the file copy, in
// process; ctest runs them as the entries log, pipeclient, process and
// filecopy.
class TestUnits : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Whatever Qt's logging rules say, each LOG is one line of exact bytes.
    void logBytes_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("value");
        QTest::newRow("default") << "" << "";
        QTest::newRow("debug disabled by rules") << "QT_LOGGING_RULES" << "*.debug=false;default.debug=false";
        QTest::newRow("debug disabled by qtlogging.ini") << "XDG_CONFIG_HOME" << "$CONFIG";
    }

    void logBytes()
    {
        QFETCH(QString, variable);
        QFETCH(QString, value);
        QTemporaryDir config;
        QFile ini(config.filePath("QtProject/qtlogging.ini"));
        QVERIFY(QDir(config.path()).mkpath("QtProject") && ini.open(QIODevice::WriteOnly));
        QVERIFY(ini.write("[Rules]\n*.debug=false\n") > 0 && ini.flush());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(variable.isEmpty() ? "OSTREL_UNUSED" : variable, value.replace("$CONFIG", config.path()));
        QProcess probe;
        probe.setProcessEnvironment(environment);
        const QStringList messages = {"Create links", "", "path /tmp/%1/x %2", "caf\u00e9 \"quoted\" back\\slash"};
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        probe.start(LOGPROBE_PATH, messages);
        QVERIFY(probe.waitForFinished(30000) && probe.exitCode() == 0 && probe.readAllStandardOutput().isEmpty());
        const QList<QByteArray> lines = probe.readAllStandardError().split('\n');
        QCOMPARE(lines.size(), messages.size() + 1);
        QCOMPARE(lines.last(), "");
        for (int i = 0; i < messages.size(); ++i) {
            const qsizetype stamp = lines[i].indexOf(" [");
            const QDateTime at = QDateTime::fromString(lines[i].mid(1, stamp - 1), Qt::TextDate);
            QVERIFY2(at >= before && at <= QDateTime::currentDateTime().addSecs(1), lines[i]);
            QCOMPARE(lines[i].left(1) + lines[i].mid(stamp), "\" [logprobe.cpp:7] int main(int, char **) " + messages[i].toUtf8() + "\" ");
        }
    }

    // Every byte string survives decoding and encoding; UTF-8 decodes as such.
    void fileNamesRoundTrip()
    {
        QCOMPARE(decodeFileName("caf\xc3\xa9 \xf0\x9f\x98\x80"), "caf\u00e9 \U0001F600");
        QList<QByteArray> names = {"plain.txt", "caf\xe9", "a\xe2\x82", "\xc0\xaf", "\xed\xb2\x80", "\x80\xbf\xff\xfe", "\xf8\x88\x80\x80\x80"};
        for (QRandomGenerator random(20261206); names.size() < 300;) {
            names << QByteArray(random.bounded(1, 40), Qt::Uninitialized);
            for (char &byte : names.last())
                byte = char(random.bounded(1, 256));
        }
        for (const QByteArray &name : names)
            QVERIFY2(encodeFileName(decodeFileName(name)) == name, name.toHex().constData());
    }

    // Connected at the first try, one call: its line, and its bytes to the
    // end of the stream.
    void wireBytes_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<int>("number");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("logged");
        QTest::newRow("start 0") << 0 << 0 << QByteArray::fromHex("2E53544152545F300A") << "startProgress: Files to install 0";
        QTest::newRow("start INT_MAX") << 0 << INT_MAX << QByteArray(".START_2147483647\n") << "startProgress: Files to install 2147483647";
        QTest::newRow("progress 7") << 1 << 7 << QByteArray::fromHex("2E50524F47524553535F370A") << "progress: 7 files copied";
        QTest::newRow("progress -1") << 1 << -1 << QByteArray(".PROGRESS_-1\n") << "progress: -1 files copied";
        QTest::newRow("progress INT_MIN") << 1 << INT_MIN << QByteArray(".PROGRESS_-2147483648\n") << "progress: -2147483648 files copied";
        QTest::newRow("done") << 2 << 0 << QByteArray::fromHex("2E444F4E455F0A") << "stopProgress: Installed";
        QTest::newRow("socket error") << 3 << int(QLocalSocket::ServerNotFoundError) << QByteArray() << "onPipeError: QLocalSocket error: 2";
    }

    void wireBytes()
    {
        QFETCH(int, call);
        QFETCH(int, number);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, logged);
        QTemporaryDir dir;
        QLocalServer server;
        QVERIFY(server.listen(dir.filePath("updater")));
        auto client = std::make_unique<PipeClient>();
        const QStringList lines = loggedBy([&] {
            client->connect(server.fullServerName());
            call == 0   ? client->startProgress(number)
            : call == 1 ? client->progress(number)
            : call == 2 ? client->stopProgress()
                        : void(QMetaObject::invokeMethod(client.get(), "onPipeError", Q_ARG(int, number)));
        });
        QCOMPARE(lines, (QStringList{"PipeClient::connect: Connect to Updater start", "PipeClient::connect: Try #1",
                                     "PipeClient::connect: Connect to Updater done", "PipeClient::" + logged}));
        QVERIFY(server.waitForNewConnection(10000));
        QLocalSocket *updater = server.nextPendingConnection();
        client.reset();
        while (updater->waitForReadyRead(10000)) {
        }
        QCOMPARE(updater->readAll(), bytes);
    }

    void execute_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("logged"); // after "failed to execute <command>. "; empty: succeeds silently
        QTest::newRow("exit 0 with output") << "/bin/echo hello" << "";
        QTest::newRow("exit 3") << "/bin/sh -c \"printf out; echo err >&2; exit 3\"" << "Exit code: 3. Command output: out";
        QTest::newRow("crash") << "/bin/sh -c \"printf before; kill -SEGV $$\"" << "Exit code: none (crashed). Command output: before";
        QTest::newRow("cannot start") << "/nonexistent/program" << "Exit code: none (could not start: ";
        // Takes the full 30 s: a command that hangs is stopped, not left behind.
        QTest::newRow("times out") << "/bin/sh -c \"echo $$ > pid; exec sleep 600\""
                                   << "Exit code: none (timed out after 30000 ms). Command output: ";
    }

    void execute()
    {
        QFETCH(QString, command);
        QFETCH(QString, logged);
        QTemporaryDir dir;
        QVERIFY(QDir::setCurrent(dir.path()));
        bool succeeded = false;
        const QStringList lines = loggedBy([&] { succeeded = ::execute(command); });
        QCOMPARE(succeeded, logged.isEmpty());
        QCOMPARE(lines.size(), logged.isEmpty() ? 0 : 1);
        QVERIFY2(logged.isEmpty() || lines[0].startsWith("execute: failed to execute " + command + ". " + logged), qPrintable(lines.value(0)));
        QFile pid(dir.filePath("pid"));
        QVERIFY2(!pid.open(QIODevice::ReadOnly) || ::kill(pid.readAll().trimmed().toInt(), 0) != 0, "the child is still running");
    }

    void writeFileOrExit_data()
    {
        QTest::addColumn<QString>("path"); // in a directory holding "old" (10 bytes)
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("fails");
        QTest::newRow("empty over longer") << "old" << QByteArray() << false;
        QTest::newRow("shorter over longer") << "old" << QByteArray("ab\r\n") << false;
        QTest::newRow("new file, binary") << "new" << QByteArray("\0\x01\xff", 3) << false;
        QTest::newRow("missing directory") << "missing/file" << QByteArray("x") << true;
        QTest::newRow("a directory") << "." << QByteArray("x") << true;
        QTest::newRow("device full") << "/dev/full" << QByteArray(8192, 'x') << true;
    }

    void writeFileOrExit()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, data);
        QFETCH(bool, fails);
        QTemporaryDir dir;
        QFile old(dir.filePath("old")), written(QDir(dir.path()).absoluteFilePath(path));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("0123456789") == 10 && old.flush());
        QCOMPARE(loggedBy([&] { ::writeFileOrExit(written.fileName(), data); }),
                 fails ? QStringList{"writeFileOrExit: Unable to write file " + written.fileName()} : QStringList());
        QVERIFY(fails ? !QFile::exists(dir.filePath("missing")) : written.open(QIODevice::ReadOnly) && written.readAll() == data);
    }

    // The engine copies a tree with any number of threads, also sharing a
    // large directory among them, and hands each entry to the reporter in
    // walk order; names that share an inode, in directories that different
    // threads copy, share one in the copy. Every directory ends in entries
    // the reporter does not wait for (FIFOs, subdirectories), so it is done
    // with a directory while its worker may still be in it: the engine must
    // keep the entries alive until both are (scripts/sanitize runs this
    // under ThreadSanitizer and AddressSanitizer).
    void copyEngine_data()
    {
        QTest::addColumn<int>("workers");
        QTest::addColumn<int>("directories");
        QTest::addColumn<int>("files"); // in each
        QTest::newRow("the reporter alone") << 1 << 40 << 3;
        QTest::newRow("2 threads") << 2 << 40 << 3;
        QTest::newRow("4 threads") << 4 << 40 << 3;
        // Threads with no directory left to take share the one there is.
        QTest::newRow("2 threads, one large directory") << 2 << 1 << 300;
        QTest::newRow("4 threads, two large directories") << 4 << 2 << 300;
    }

    void copyEngine()
    {
        QFETCH(int, workers);
        QFETCH(int, directories);
        QFETCH(int, files);
        QTemporaryDir dir;
        const QString source = dir.filePath("s");
        QStringList expected; // regular files in walk order
        for (int d = 0; d < directories; ++d) {
            const QString sub = QStringLiteral("%1/d%2").arg(source).arg(d, 2, 10, QLatin1Char('0'));
            for (int f = 0; f < files; ++f) {
                QVERIFY(makeFile(QStringLiteral("%1/f%2").arg(sub).arg(f, 3, 10, QLatin1Char('0')), QByteArray::number(d * 1000 + f)));
                expected << QStringLiteral("d%1/f%2").arg(d, 2, 10, QLatin1Char('0')).arg(f, 3, 10, QLatin1Char('0'));
            }
            QVERIFY(::link(QFile::encodeName(source + "/d00/f000"), QFile::encodeName(sub + "/h")) == 0);
            expected << QStringLiteral("d%1/h").arg(d, 2, 10, QLatin1Char('0'));
            for (int x = 0; x < 40; ++x)
                QVERIFY(::mkfifo(QFile::encodeName(QStringLiteral("%1/x%2").arg(sub).arg(x, 2, 10, QLatin1Char('0'))), 0600) == 0);
            QVERIFY(QDir(sub).mkpath("y/empty"));
        }
        QVERIFY(QDir(dir.path()).mkdir("d"));
        const UniqueFd from(::open(QFile::encodeName(source), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
                to(::open(QFile::encodeName(dir.filePath("d")), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        CopyEngine engine(from.get(), to.get(), workers, Placement::Unnamed);
        QCOMPARE(engine.walk(), uint(expected.size()));
        QStringList reported;
        bool allDone = true;
        std::function<void(int, const QByteArray &)> report = [&](int index, const QByteArray &path) {
            engine.enter(index);
            const DirectoryJob &job = engine.job(index);
            for (int entry = 0, subdirectories = 0; entry < job.entryCount(); ++entry) {
                const QByteArray name = (path.isEmpty() ? QByteArray() : path + '/') + job.name(entry);
                if (job.type(entry) == DT_REG) {
                    allDone = allDone && engine.fileCopied(entry).ok();
                    reported << QString::fromUtf8(name);
                } else if (job.type(entry) == DT_DIR) {
                    report(job.children[size_t(subdirectories++)], name);
                }
            }
            engine.leave();
        };
        report(0, QByteArray());
        QCOMPARE(reported, expected);
        QVERIFY(allDone);
        for (const QString &file : expected) {
            QFile copy(dir.filePath("d/" + file)), original(source + '/' + file);
            QVERIFY(copy.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly) && copy.readAll() == original.readAll());
        }
        struct stat linked;
        QVERIFY(::stat(QFile::encodeName(dir.filePath("d/d00/f000")), &linked) == 0);
        QCOMPARE(linked.st_nlink, nlink_t(directories + 1));
    }

    // The file-system layer's refusals, each with its cause as a value.
    void fsRefusals_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("name"); // in a directory holding "dir/", "file", "link" -> dir, "fifo"
        QTest::addColumn<int>("error");
        QTest::newRow("a link taken for a directory") << "openSubdirectory" << "link" << ENOTDIR; // O_DIRECTORY wins over O_NOFOLLOW
        QTest::newRow("a file taken for a directory") << "openSubdirectory" << "file" << ENOTDIR;
        QTest::newRow("a missing directory") << "openSubdirectory" << "gone" << ENOENT;
        QTest::newRow("a path below a link") << "openDirectoryBelow" << "link/x" << ENOTDIR;
        QTest::newRow("a directory made over a file") << "makeSubdirectory" << "file" << ENOTDIR;
        QTest::newRow("a directory there already, another user's") << "makeSubdirectory" << "nobody's" << EEXIST;
        // Its own: open to others only as far as both its mode and the one asked for (0750) allow.
        QTest::newRow("a directory there already, shared while it fills") << "shareSubdirectory" << "dir" << 0;
        QTest::newRow("a FIFO taken for a file (no hang)") << "openRegularFile" << "fifo" << EINVAL;
        QTest::newRow("a link taken for a file") << "openRegularFile" << "link" << ELOOP;
        QTest::newRow("a path through a file") << "makePath" << "file/sub" << ENOTDIR;
        QTest::newRow("a path over a file") << "makePath" << "file" << ENOTDIR;
        QTest::newRow("a lock held by another description") << "tryLock" << "dir" << EWOULDBLOCK;
    }

    void fsRefusals()
    {
        QFETCH(QString, operation);
        QFETCH(QString, name);
        QFETCH(int, error);
        QTemporaryDir dir;
        const QString t = dir.path();
        QVERIFY(QDir(t).mkdir("dir") && makeFile(t + "/file", "x") && makeLink("dir", t + "/link")
                && ::mkfifo(QFile::encodeName(t + "/fifo"), 0600) == 0);
        const UniqueFd top(::open(QFile::encodeName(t), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const QByteArray bytes = QFile::encodeName(name);
        if (name == "nobody's") {
            if (::geteuid() != 0 || !::getpwnam("nobody"))
                QSKIP("another user's directory needs root and a user named nobody");
            QVERIFY(QDir(t).mkdir(name) && ::chown(QFile::encodeName(t + '/' + name), ::getpwnam("nobody")->pw_uid, 0) == 0);
        }
        struct stat status;
        int got = 0;
        if (operation == "openSubdirectory")
            got = openSubdirectory(top.get(), bytes.constData()).error();
        else if (operation == "openDirectoryBelow")
            got = openDirectoryBelow(top.get(), bytes).error();
        else if (operation == "makeSubdirectory")
            got = makeSubdirectory(top.get(), bytes.constData()).error();
        else if (operation == "shareSubdirectory") {
            QVERIFY(QFile::setPermissions(t + '/' + name, QFileDevice::Permissions(0x7755))); // rwxr-xr-x
            got = makeSubdirectory(top.get(), bytes.constData(), 0750).error();
            QVERIFY(::stat(QFile::encodeName(t + '/' + name), &status) == 0);
            QCOMPARE(status.st_mode & 07777, mode_t(0750));
        }
        else if (operation == "openRegularFile")
            got = openRegularFile(top.get(), bytes.constData(), status).error();
        else if (operation == "makePath")
            got = makePath(QFile::encodeName(t + '/' + name)).error();
        else if (operation == "tryLock") {
            const UniqueFd holder = openSubdirectory(top.get(), bytes.constData()), other = openSubdirectory(top.get(), bytes.constData());
            QVERIFY(tryLock(holder.get()).ok());
            got = tryLock(other.get()).error();
        }
        QCOMPARE(got, error);
    }

    // Beside DESTINATION, only the installer's own work directories, made by
    // an install that is over, are removed; whatever else has such a name
    // stays, however much it looks like one.
    void stagingLeftovers_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("removed");
        QTest::addColumn<bool>("foreign");
        QTest::newRow("a killed install's") << "killed" << true << false;
        QTest::newRow("one in use") << "in use" << false << false;
        QTest::newRow("a plain directory with such a name") << "plain" << false << true;
        QTest::newRow("another work directory's marker copied in") << "copied marker" << false << true;
        QTest::newRow("a link to a work directory") << "link" << false << true;
    }

    void stagingLeftovers()
    {
        QFETCH(QString, kind);
        QFETCH(bool, removed);
        QFETCH(bool, foreign);
        QTemporaryDir dir;
        const QByteArray destination = QFile::encodeName(dir.filePath("d"));
        auto earlier = std::make_unique<Staging>(destination);
        QVERIFY(earlier->openParent() && earlier->prepare() == Staging::Ready);
        const QString made = QDir(dir.path()).entryList({".d.ostrel-*"}, QDir::Dirs | QDir::Hidden).value(0);
        QString left = made;
        if (kind != "in use")
            earlier.reset(); // killed: its lock goes with it, its directory stays
        if (kind == "plain" || kind == "copied marker") {
            left = ".d.ostrel-0123456789abcdef";
            QVERIFY(QDir(dir.path()).mkdir(left) && ::chmod(QFile::encodeName(dir.filePath(left)), 0700) == 0);
            if (kind == "copied marker")
                QVERIFY(QFile::copy(dir.filePath(made + "/owner"), dir.filePath(left + "/owner"))
                        && ::chmod(QFile::encodeName(dir.filePath(left + "/owner")), 0600) == 0);
        } else if (kind == "link") {
            left = ".d.ostrel-fedcba9876543210";
            QVERIFY(makeLink(made, dir.filePath(left)));
        }
        Staging next(destination);
        QList<QByteArray> foreignNames;
        QVERIFY(next.openParent());
        QCOMPARE(next.removeLeftovers(foreignNames).size(), 0);
        QCOMPARE(!QFileInfo::exists(dir.filePath(left)) && !QFileInfo(dir.filePath(left)).isSymLink(), removed);
        QCOMPARE(foreignNames, foreign ? QList<QByteArray>{QFile::encodeName(left)} : QList<QByteArray>());
        if (kind == "plain" || kind == "copied marker" || kind == "link") // the real one was a killed install's
            QVERIFY(!QFileInfo::exists(dir.filePath(made)));
    }

    // A file that changes size between being measured and being copied is
    // copied to its end as it is then, in a few large steps.
    void copyToItsEnd_data()
    {
        QTest::addColumn<qint64>("sizeThen"); // bytes, when it is copied; measured at 1 MiB
        QTest::newRow("as measured") << qint64(1 << 20);
        QTest::newRow("grown by 3 MiB") << qint64(4 << 20);
        QTest::newRow("shrunk to 100 KiB") << qint64(100 << 10);
    }

    void copyToItsEnd()
    {
        QFETCH(qint64, sizeThen);
        QTemporaryDir dir;
        QByteArray content(4 << 20, '\0');
        for (qsizetype i = 0; i < content.size(); ++i)
            content[i] = char(i * 7 / 4096);
        content.truncate(1 << 20);
        struct stat measured;
        QVERIFY(makeFile(dir.filePath("file"), content) && ::stat(QFile::encodeName(dir.filePath("file")), &measured) == 0);
        content = content.leftJustified(sizeThen, 'g', true);
        QVERIFY(makeFile(dir.filePath("file"), content));
        const UniqueFd in(::open(QFile::encodeName(dir.filePath("file")), O_RDONLY | O_CLOEXEC)),
                directory(::open(QFile::encodeName(dir.path()), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const qint64 callsBefore = readCalls();
        QVERIFY(copyRegularFile(in.get(), measured, directory.get(), "copy").ok());
        QCOMPARE_LE(readCalls() - callsBefore, 16);
        QFile copy(dir.filePath("copy"));
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QVERIFY(copy.readAll() == content);
    }
};

QTEST_GUILESS_MAIN(TestUnits)
#include "tst_units.moc"
