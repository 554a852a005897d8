#pragma once

#include "nativename.h"

#include <QtNetwork>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
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
};

inline QList<TreeEntry> readTree(const QByteArray &root)
{
    QProcess find;
    find.start("find", {QFile::decodeName(root), "-mindepth", "1", "-printf", "%P\\0%y\\0%m\\0%s\\0%l\\0"});
    const QList<QByteArray> fields = find.waitForFinished(60000) ? find.readAllStandardOutput().split('\0') : QList<QByteArray>();
    QList<TreeEntry> entries;
    for (qsizetype i = 0; i + 5 < fields.size(); i += 5) {
        QFile file;
        QCryptographicHash md5(QCryptographicHash::Md5);
        const bool isFile = fields[i + 1] == "f";
        const bool read = isFile && file.open(::open(root + '/' + fields[i], O_RDONLY), QIODevice::ReadOnly, QFile::AutoCloseHandle)
                          && md5.addData(&file);
        entries.append({fields[i], fields[i + 1][0], fields[i + 2].toInt(nullptr, 8),
                        isFile ? fields[i + 3] + ':' + (read ? md5.result().toHex() : "unreadable") : fields[i + 4]});
    }
    return entries;
}

// One sorted line per entry, "<path> <type> [<mode> <size>:<md5> | -> <link text>]",
// odd bytes %-escaped. Directory modes only on request: the installer makes
// directories, it does not copy their modes.
inline QStringList snapshot(const QList<TreeEntry> &entries, bool directoryModes = false)
{
    QStringList lines;
    for (const TreeEntry &e : entries)
        lines << e.path.toPercentEncoding("/") + ' ' + e.type
                        + (e.type == 'f' || (e.type == 'd' && directoryModes) ? ' ' + QByteArray::number(e.mode, 8) : "")
                        + (e.type == 'f' ? ' ' + e.content : e.type == 'l' ? " -> " + e.content.toPercentEncoding("/") : "");
    lines.sort();
    return lines;
}

inline QStringList snapshot(const QString &root, bool directoryModes = false)
{
    return snapshot(readTree(QFile::encodeName(root)), directoryModes);
}

// What installing the tree `entries` read at `root` must give: directories,
// files with their bytes and mode & 0777, links pointing where the originals
// point, as the shortest path from their own directory; no special files.
inline QList<TreeEntry> installedTree(QList<TreeEntry> entries, const QByteArray &root)
{
    auto components = [](const QByteArray &path) {
        QList<QByteArray> parts;
        for (const QByteArray &part : path.split('/'))
            if (part == ".." && !parts.isEmpty())
                parts.removeLast();
            else if (part != ".." && part != "." && !part.isEmpty())
                parts << part;
        return parts;
    };
    entries.removeIf([](const TreeEntry &e) { return e.type != 'd' && e.type != 'f' && e.type != 'l'; });
    for (TreeEntry &e : entries) {
        const QByteArray directory = root + '/' + e.path.left(qMax(e.path.lastIndexOf('/'), qsizetype(0)));
        const QList<QByteArray> from = components(directory), to = components(e.content.startsWith('/') ? e.content : directory + '/' + e.content);
        qsizetype common = 0;
        while (common < from.size() && common < to.size() && from[common] == to[common])
            ++common;
        const QByteArray relative = (QList<QByteArray>(from.size() - common, "..") + to.mid(common)).join('/');
        e.content = e.type == 'l' ? (relative.isEmpty() ? "." : relative) : e.content;
        e.mode &= e.type == 'f' ? 0777 : 07777;
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
    QByteArray messages = ".START_" + QByteArray::number(files) + '\n';
    for (int i = 1; i <= files; ++i)
        messages += ".PROGRESS_" + QByteArray::number(i) + '\n';
    return messages + ".DONE_\n";
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
    bool readWhileRunning = true; // false: the updater reads nothing till the installer has exited
    int closeAfterMessages = -1;  // the updater closes its end after this many (0: before reading any)
    int signalAfterMessages = -1; // `signal` goes to the installer once this many arrived (0: on connecting)
    int signal = SIGKILL;
    const passwd *runAs = nullptr;
    rlim_t fileSizeLimit = 0; // bytes; 0: none
    bool standardErrorClosed = false; // nobody reads the diagnostic lines: writing them fails
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

#define CHECK_RUN(run, exitCode) QVERIFY2((run).problem(exitCode).isEmpty(), qPrintable((run).problem(exitCode)))

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
    bool closed = false, signalled = false;
    auto read = [&] {
        if (!updater || closed || (!options.readWhileRunning && installer.state() != QProcess::NotRunning))
            return;
        const QByteArray bytes = options.closeAfterMessages < 0 || received < options.closeAfterMessages ? updater->readAll() : "";
        run.messages += bytes;
        received += bytes.count('\n');
        if ((closed = options.closeAfterMessages >= 0 && received >= options.closeAfterMessages))
            updater->abort();
        // Never kill(0, ...): that is the test's own process group.
        if (!signalled && options.signalAfterMessages >= 0 && received >= options.signalAfterMessages && installer.processId() > 0)
            signalled = ::kill(pid_t(installer.processId()), options.signal) == 0;
    };
    QObject::connect(&server, &QLocalServer::newConnection, [&] {
        if (updater || !(updater = server.nextPendingConnection()))
            return;
        updater->setReadBufferSize(options.readWhileRunning ? 0 : 1); // unread bytes stay in the socket, which fills up
        QObject::connect(updater, &QLocalSocket::readyRead, read);
        read();
    });
    auto listen = [&] { run.trouble += server.listen(tmp.filePath("OstrelUpdater")) ? "" : "cannot listen; "; };
    if (options.listenAfterMs == 0) // before the installer starts
        listen();
    else if (options.listenAfterMs > 0)
        QTimer::singleShot(options.listenAfterMs, &installer, listen);
    QTimer::singleShot(180000, &installer, [&] { run.trouble += "timed out; ", installer.kill(); });
    QEventLoop loop;
    QObject::connect(&installer, &QProcess::finished, &loop, &QEventLoop::quit);
    installer.setEnvironment(QProcess::systemEnvironment() << "TMPDIR=" + tmp.path()); // the last TMPDIR counts
    installer.setChildProcessModifier([&options] {
        const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
        int ends[2];
        if ((options.standardErrorClosed && (::pipe(ends) || ::close(ends[0]) || ::dup2(ends[1], STDERR_FILENO) < 0))
            || (options.runAs && (::setgroups(0, nullptr) || ::setgid(options.runAs->pw_gid) || ::setuid(options.runAs->pw_uid)))
            || (options.fileSizeLimit && (std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR || ::setrlimit(RLIMIT_FSIZE, &limit))))
            ::_exit(126);
    });
    installer.start(INSTALLER_PATH, arguments);
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
    run.trouble += left.size() <= int(left.contains("OstrelUpdater")) ? "" : "left in TMPDIR: " + left.join(' ') + "; ";
    const QByteArray output = installer.readAllStandardOutput();
    run.trouble += output.isEmpty() ? "" : "standard output: " + QString::fromUtf8(output.left(200)) + "; ";
    run.crashed = installer.exitStatus() == QProcess::CrashExit;
    run.exitCode = installer.exitCode();
    run.standardError = installer.readAllStandardError();
    run.logged = parseLogLines(run.standardError, &run.trouble);
    return run;
}
