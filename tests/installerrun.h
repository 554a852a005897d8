#pragma once

#include "nativename.h"
#include "protocol.h"

#include <QtNetwork>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// The only places allowed to write the installer's diagnostic lines: log readers match on the
// function text, so a LOG moved to another file or function must fail the parse.
inline const QList<QPair<QString, QString>> loggingFunctions = {
        {"main.cpp", "bool execute(const QString &)"},
        {"main.cpp", "void writeFileOrExit(const QString &, const QByteArray &)"},
        {"main.cpp", "void recursiveCopy(const QString, const QString, PipeClient *, QMap<QString, QString> &)"},
        {"main.cpp", "void createLinks(QMap<QString, QString>)"},
        {"main.cpp", "void installPackage(const QString &, const QString &)"},
        {"main.cpp", "void keepPreviousVersion(const QString &)"},
        {"main.cpp", "ExitStatus rollBack(const NativePath &, OutputFlusher &)"},
        {"main.cpp", "bool findKeptVersion(Staging &, const QString &, const QString &)"},
        {"pipeclient.cpp", "bool PipeClient::connect(const QString &)"},
        {"pipeclient.cpp", "void PipeClient::startProgress(int)"},
        {"pipeclient.cpp", "void PipeClient::progress(int)"},
        {"pipeclient.cpp", "void PipeClient::stopProgress()"},
        {"pipeclient.cpp", "void PipeClient::onPipeError(QLocalSocket::LocalSocketError)"}};

// Standard error as diagnostic lines, `"<time> [<file>:<line>] <function> <message>" \n` from
// loggingFunctions, given as "PipeClient::connect: Try #1" (names decoded losslessly). A line
// ends at `" \n` before the end or the next line's head: messages may hold newlines. Anything
// else stops the reading with a note in `error`.
inline QStringList parseLogLines(const QByteArray &bytes, QString *error)
{
    static const QRegularExpression pattern("^\"\\w{3} \\w{3} {1,2}\\d{1,2} \\d\\d:\\d\\d:\\d\\d \\d{4} \\[([^:\\]]+):\\d+\\] ");
    auto headAt = [&](qsizetype at) { return pattern.match(QString::fromLatin1(bytes.mid(at, 100))); }; // `"<time> [<file>:<line>] `
    QStringList lines;
    for (qsizetype at = 0, end = 0; at < bytes.size(); at = end + 3) {
        const QRegularExpressionMatch head = headAt(at);
        do
            end = bytes.indexOf("\" \n", end + 1);
        while (end >= 0 && end + 3 < bytes.size() && !headAt(end + 3).hasMatch());
        if (!head.hasMatch() || end < 0)
            return *error += "not a diagnostic line: " + QString::fromLatin1(bytes.mid(at, 300)), lines;
        const QString rest = decodeFileName(bytes.mid(at + head.capturedLength(), end - at - head.capturedLength()));
        const qsizetype count = lines.size();
        for (const auto &[file, function] : loggingFunctions)
            if (file == head.captured(1) && rest.startsWith(function + ' '))
                lines << function.section('(', 0, 0).section(' ', -1) + ": " + rest.mid(function.size() + 1);
        if (lines.size() == count)
            return *error += "not from a logging function of " + head.captured(1) + ": " + rest.left(300), lines;
    }
    return lines;
}

// A tree as find(1) lists it, names as bytes, file contents hashed.
struct TreeEntry
{
    QByteArray path;    // relative to the root
    char type;          // find's %y: d, f, l, p (FIFO), s (socket)...
    int mode;           // set-id and sticky bits included
    QByteArray content; // files: size:md5; links: the link text
    QByteArray time;    // modification time, to the nanosecond
    int names;          // hard links
};

inline QList<TreeEntry> readTree(const QByteArray &root)
{
    QProcess find;
    find.start("find", {QFile::decodeName(root), "-mindepth", "1", "-printf", "%P\\0%y\\0%m\\0%s\\0%l\\0%T@\\0%n\\0"});
    const QList<QByteArray> fields = find.waitForFinished(60000) ? find.readAllStandardOutput().split('\0') : QList<QByteArray>();
    QList<TreeEntry> entries;
    for (qsizetype i = 0; i + 7 < fields.size(); i += 7) {
        QFile file;
        QCryptographicHash md5(QCryptographicHash::Md5);
        const bool isFile = fields[i + 1] == "f";
        const bool read = isFile && file.open(::open(root + '/' + fields[i], O_RDONLY), QIODevice::ReadOnly, QFile::AutoCloseHandle)
                          && md5.addData(&file);
        entries.append({fields[i], fields[i + 1][0], fields[i + 2].toInt(nullptr, 8),
                        isFile ? fields[i + 3] + ':' + (read ? md5.result().toHex() : "unreadable") : fields[i + 4], fields[i + 5],
                        fields[i + 6].toInt()});
    }
    return entries;
}

// One sorted line per entry, "<path> <type> [<mode>] [<size>:<md5> | -> <link text>]
// <time> [<names>]", odd bytes %-escaped. `whole` false leaves out what is set only at
// the end of an install or just after an entry is made: directories' modes and times,
// links' times, files' hard-link counts.
inline QStringList snapshot(const QList<TreeEntry> &entries, bool whole = true)
{
    QStringList lines;
    for (const TreeEntry &e : entries)
        lines << e.path.toPercentEncoding("/") + ' ' + e.type
                        + (e.type == 'f' || (e.type == 'd' && whole) ? ' ' + QByteArray::number(e.mode, 8) : "")
                        + (e.type == 'f' ? ' ' + e.content : e.type == 'l' ? " -> " + e.content.toPercentEncoding("/") : "")
                        + (e.type == 'f' || whole ? ' ' + e.time : "") + (e.type == 'f' && whole ? " x" + QByteArray::number(e.names) : "");
    lines.sort();
    return lines;
}

inline QStringList snapshot(const QString &root, bool whole = true)
{
    return snapshot(readTree(QFile::encodeName(root)), whole);
}

// What installing the tree `entries` read at `root` must give: directories,
// files and links with their times; files with their bytes and hard links;
// directories and files with mode & 0777; links with their text, except that
// an absolute target inside `root` becomes relative to the link's directory;
// no special files.
inline QList<TreeEntry> installedTree(QList<TreeEntry> entries, const QByteArray &root)
{
    entries.removeIf([](const TreeEntry &e) { return e.type != 'd' && e.type != 'f' && e.type != 'l'; });
    for (TreeEntry &e : entries) {
        e.mode &= 0777;
        const QList<QByteArray> to = e.content.mid(root.size()).split('/');
        if (e.type != 'l' || !(e.content == root || e.content.startsWith(root + '/')) || to.contains(".."))
            continue;
        QList<QByteArray> from = e.path.split('/'), target;
        from.removeLast();
        for (const QByteArray &part : to)
            if (!part.isEmpty() && part != ".")
                target << part;
        qsizetype common = 0;
        while (common < from.size() && common < target.size() && from[common] == target[common])
            ++common;
        const QByteArray relative = (QList<QByteArray>(from.size() - common, "..") + target.mid(common)).join('/');
        e.content = relative.isEmpty() ? "." : relative;
    }
    return entries;
}

inline QStringList installedSnapshot(const QString &root)
{
    return snapshot(installedTree(readTree(QFile::encodeName(root)), QFile::encodeName(root)));
}

// Lines only in `expected` ("- ") or only in `actual` ("+ ").
inline QString treeDifference(const QStringList &expected, const QStringList &actual)
{
    QString difference;
    for (const QString &line : expected)
        difference += actual.contains(line) ? "" : "\n- " + line;
    for (const QString &line : actual)
        difference += expected.contains(line) ? "" : "\n+ " + line;
    return difference.left(3000);
}

#define COMPARE_TREES(expected, actual) QVERIFY2(treeDifference(expected, actual).isEmpty(), qPrintable(treeDifference(expected, actual)))

// Everything the updater hears from an install of `files` regular files.
inline QByteArray allMessages(int files)
{
    using namespace ostrel::protocol;
    QByteArray messages = startKeyword + QByteArray::number(files) + '\n';
    for (int i = 1; i <= files; ++i)
        messages += progressKeyword + QByteArray::number(i) + '\n';
    return messages + doneKeyword + '\n';
}

inline bool makeFile(const QString &path, const QByteArray &contents, mode_t mode = 0644)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size()
           && ::fchmod(file.handle(), mode) == 0;
}

inline bool makeLink(const QString &target, const QString &path)
{
    return QDir().mkpath(QFileInfo(path).path()) && ::symlink(QFile::encodeName(target), QFile::encodeName(path)) == 0;
}

// Random choices come from one seed: OSTREL_SEED, or a fresh one.
inline quint32 testSeed()
{
    static const quint32 seed = qEnvironmentVariableIsSet("OSTREL_SEED") ? qEnvironmentVariable("OSTREL_SEED").toUInt()
                                                                          : QRandomGenerator::global()->generate();
    return seed;
}

struct InstallOptions
{
    int listenAfterMs = 0;        // -1: nobody listens
    bool readWhileRunning = true; // false: the updater reads nothing till the installer has logged "Installed"
    int closeAfterMessages = -1;  // the updater closes its end after this many (0: before reading any)
    const passwd *runAs = nullptr;
    rlim_t fileSizeLimit = 0; // bytes; 0: none
    bool standardErrorClosed = false; // nobody reads the diagnostic lines: writing them fails
    bool noStandardError = false;     // descriptor 2 closed
    QByteArray jobs;                  // OSTREL_JOBS, if not empty
    QStringList wrapper;              // a program that runs the installer, with its arguments
};

struct InstallRun
{
    int exitCode = -1;
    bool crashed = false;
    QByteArray messages, standardError;
    QStringList logged; // "function: message" of each diagnostic line
    QString trouble;    // stray output, a malformed or misplaced log line, files left in TMPDIR, a time-out

    // Empty when the run exited with `exitCode` and there was no trouble.
    QString problem(int expectedExit) const
    {
        if (exitCode == expectedExit && !crashed && trouble.isEmpty())
            return QString();
        return QStringLiteral("exit %1%2, not %3; %4\nstandard error ends: %5").arg(exitCode).arg(crashed ? " (crashed)" : "")
                .arg(expectedExit).arg(trouble, QString::fromUtf8(standardError.right(800)));
    }
};

// What is wrong with the messages an updater heard, or an empty text: a
// start message with the number of files, one progress message for each file
// put in place, counting up, and when the install went through, the done
// message after a progress message for every file counted.
inline QString messageTrouble(const QByteArray &messages)
{
    const QList<QByteArray> lines = messages.split('\n');
    if (messages.isEmpty() || lines.size() < 2)
        return QString();
    bool known = false;
    const int total = lines.first().startsWith(".START_") ? lines.first().mid(7).toInt(&known) : 0;
    int counted = 0;
    for (qsizetype i = 1; known && i < lines.size() - 1; ++i)
        known = lines[i] == ".PROGRESS_" + QByteArray::number(++counted)
                || (lines[i] == ".DONE_" && --counted == total && i == lines.size() - 2);
    return known && counted <= total ? QString() : QStringLiteral("messages out of step: %1; ").arg(QString::fromLatin1(messages.right(200)));
}

#define CHECK_RUN(run, exitCode) QVERIFY2((run).problem(exitCode).isEmpty(), qPrintable((run).problem(exitCode)))

// The installer under test: this build's, or OSTREL_TEST_INSTALLER (a
// sanitizer build's, say, run by this build's tests: see scripts/sanitize).
inline QString installerProgram()
{
    return qEnvironmentVariable("OSTREL_TEST_INSTALLER", QStringLiteral(INSTALLER_PATH));
}

// Runs the built installer as the updater sees it: in a TMPDIR of its own,
// where "OstrelUpdater" is a real QLocalServer. Every wait is for an event.
inline InstallRun runInstaller(const QStringList &arguments, const InstallOptions &options = {})
{
    InstallRun run;
    QTemporaryDir tmp; // open to nobody, as is the socket
    QFile::setPermissions(tmp.path(), QFile::permissions(tmp.path()) | QFile::ReadOther | QFile::ExeOther);
    QLocalServer server;
    server.setSocketOptions(QLocalServer::WorldAccessOption);
    QProcess installer;
    QLocalSocket *updater = nullptr;
    qsizetype received = 0;
    bool closed = false;
    auto read = [&] {
        if (!updater || closed || (!options.readWhileRunning && !run.standardError.contains("PipeClient::stopProgress() Installed")))
            return;
        updater->setReadBufferSize(0);
        const QByteArray bytes = options.closeAfterMessages < 0 || received < options.closeAfterMessages ? updater->readAll() : "";
        run.messages += bytes;
        received += bytes.count('\n');
        if ((closed = options.closeAfterMessages >= 0 && received >= options.closeAfterMessages))
            updater->abort();
    };
    QObject::connect(&server, &QLocalServer::newConnection, [&] {
        if (updater || !(updater = server.nextPendingConnection()))
            return;
        updater->setReadBufferSize(options.readWhileRunning ? 0 : 1); // unread bytes stay in the socket, which fills up
        QObject::connect(updater, &QLocalSocket::readyRead, read);
        read();
    });
    auto listen = [&] { run.trouble += server.listen(tmp.filePath(ostrel::protocol::serverName)) ? "" : "cannot listen; "; };
    if (options.listenAfterMs == 0) // before the installer starts
        listen();
    else if (options.listenAfterMs > 0)
        QTimer::singleShot(options.listenAfterMs, &installer, listen);
    QTimer::singleShot(180000, &installer, [&] { run.trouble += "timed out; ", installer.kill(); });
    QEventLoop loop;
    QObject::connect(&installer, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&installer, &QProcess::readyReadStandardError, [&] { run.standardError += installer.readAllStandardError(), read(); });
    installer.setEnvironment(QProcess::systemEnvironment() << "TMPDIR=" + tmp.path()); // the last TMPDIR counts
    installer.setChildProcessModifier([&options] {
        const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
        int ends[2];
        if ((options.standardErrorClosed && (::pipe(ends) || ::close(ends[0]) || ::dup2(ends[1], STDERR_FILENO) < 0))
            || (options.noStandardError && ::close(STDERR_FILENO))
            || (options.runAs && (::setgroups(0, nullptr) || ::setgid(options.runAs->pw_gid) || ::setuid(options.runAs->pw_uid)))
            || (options.fileSizeLimit && ::setrlimit(RLIMIT_FSIZE, &limit)))
            ::_exit(126);
    });
    if (!options.jobs.isEmpty())
        installer.setEnvironment(installer.environment() << "OSTREL_JOBS=" + options.jobs);
    const QString program = installerProgram();
    installer.start(options.wrapper.value(0, program), options.wrapper.mid(1) + (options.wrapper.isEmpty() ? arguments : QStringList(program) + arguments));
    if (installer.waitForStarted())
        loop.exec();

    // A short install may connect, write everything and exit between two
    // turns of the event loop: take its connection now and read to the end.
    if (server.isListening())
        server.waitForNewConnection(0);
    if (updater && !closed)
        updater->setReadBufferSize(0);
    do
        read();
    while (updater && !closed && updater->waitForReadyRead(30000));
    const QStringList left = QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    run.trouble += left.size() <= int(left.contains(ostrel::protocol::serverName)) ? "" : "left in TMPDIR: " + left.join(' ') + "; ";
    const QByteArray output = installer.readAllStandardOutput();
    run.trouble += output.isEmpty() ? "" : "standard output: " + QString::fromUtf8(output.left(200)) + "; ";
    run.crashed = installer.exitStatus() == QProcess::CrashExit;
    run.exitCode = installer.exitCode();
    run.standardError += installer.readAllStandardError();
    // SIGKILL can end a large write to the pipe part-way, so such a run's
    // last line may be cut short: only whole lines are read.
    if (run.crashed && run.exitCode == SIGKILL && !run.standardError.endsWith("\" \n")) {
        const qsizetype end = run.standardError.lastIndexOf("\" \n");
        run.standardError.truncate(end < 0 ? 0 : end + 3);
    }
    // A refused command line is said in one plain line, logged as "usage: ...".
    const bool refused = run.standardError.startsWith("ostrel-installer: ") && run.standardError.endsWith('\n')
                         && run.standardError.count('\n') == 1;
    run.logged = refused ? QStringList{"usage: " + QString::fromUtf8(run.standardError.mid(18).chopped(1))}
                         : parseLogLines(run.standardError, &run.trouble);
    run.trouble += messageTrouble(run.messages);
    return run;
}
