#include "progressparser.h"
#include "progressrender.h"
#include "protocol.h"
#include "uniquefd.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Ostrel;

// With the test's directory, times and rates put in words no run changes.
static QByteArray normalized(const QByteArray &text, const QTemporaryDir &dir)
{
    return QString::fromUtf8(text).replace(dir.path(), "DIR").replace(QRegularExpression("\\d+:\\d\\d"), "T")
            .replace(QRegularExpression("[\\d.-]+ files/s"), "R files/s")
            .replace(QRegularExpression("\"elapsed_ms\":\\d+"), "\"elapsed_ms\":E").toUtf8();
}

static QStringList sh(const QString &script) { return {"--", "sh", "-c", script}; }

// This test run as the monitored command: "tst_monitor --send BYTES STATUS
// LINES [SILENT_MS]" writes the numbers 1 to LINES to standard output, a
// line each, connects as the installer, stays silent for SILENT_MS (as an
// installer does while it empties the destination), sends BYTES in one
// write and exits with STATUS; with STATUS "hold" it stays connected until
// the monitor ends.
static QStringList sends(const QByteArray &bytes, const char *status, int lines = 0, int silentMs = 0)
{
    return {"--", QCoreApplication::applicationFilePath(), "--send", QString::fromLatin1(bytes), status, QString::number(lines),
            QString::number(silentMs)};
}

static int sendAsInstaller(const QByteArray &bytes, const QByteArray &status, int lines, int silentMs)
{
    QByteArray numbers;
    for (int i = 1; i <= lines; ++i)
        numbers += QByteArray::number(i) + '\n';
    for (qsizetype done = 0, n = 0; done < numbers.size(); done += n)
        if ((n = ::write(STDOUT_FILENO, numbers.constData() + done, size_t(numbers.size() - done))) < 0)
            return 98;
    QLocalSocket socket;
    socket.connectToServer(ostrel::protocol::serverName);
    if (!socket.waitForConnected(10000))
        return 99;
    QThread::msleep(silentMs);
    socket.write(bytes);
    socket.waitForBytesWritten(10000);
    if (status == "hold")
        socket.waitForDisconnected(60000);
    return status.toInt();
}

class TestMonitor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The stream reader's verdict on whole streams: the messages, then the
    // error. How bytes are cut, the round trip, silence after an error and
    // the line bound are the fuzz target's (tests/fuzz).
    void parser_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const QByteArray &stream, const QString &expected) {
            QTest::newRow(name) << stream << expected;
        };
        const QString at1 = "line 1 (byte offset 0): ";
        row("a whole install", ".START_2\n.PROGRESS_1\n.DONE_\n", "start 2, progress 1, done");
        row("limits and minus zero", ".START_2147483647\n.PROGRESS_-2147483648\n.PROGRESS_-0\n",
            "start 2147483647, progress -2147483648, progress 0");
        row("unknown keyword", ".START_2\n.progress_1\n", "start 2, line 2 (byte offset 9): unknown message \".progress_1\"");
        row("missing number", ".START_-\n", at1 + "missing number \".START_-\"");
        row("text after the number", ".START_2 files\n", at1 + "malformed number \".START_2 files\"");
        row("plus sign", ".PROGRESS_+2\n", at1 + "malformed number \".PROGRESS_+2\"");
        row("leading zero", ".PROGRESS_01\n", at1 + "malformed number (leading zero) \".PROGRESS_01\"");
        row("INT_MAX + 1", ".START_2147483648\n", at1 + "number out of 32-bit range \".START_2147483648\"");
        row("INT_MIN - 1", ".PROGRESS_-2147483649\n", at1 + "number out of 32-bit range \".PROGRESS_-2147483649\"");
        row("CR LF", ".START_2\r\n", at1 + "line ends with CR LF, expected a bare LF \".START_2\\r\"");
        row("number on DONE", ".DONE_2\n", at1 + "text after .DONE_ \".DONE_2\"");
        row("data after done", ".DONE_\n.DONE_\n", "done, line 2 (byte offset 7): data after .DONE_ \".DONE_\\n\"");
        row("bytes escaped", QByteArray("\x00\xff\t\"\\\n", 6), at1 + "unknown message \"\\x00\\xff\\t\\\"\\\\\"");
        row("65-byte line", QByteArray(65, 'A') + '\n', at1 + "line longer than 64 bytes \"" + QString(64, u'A') + '"');
    }

    void parser()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QString, expected);
        const ParseResult result = ProgressParser().feed(stream);
        QStringList got;
        for (const ProgressMessage &m : result.messages)
            got << (m.kind == ProgressMessage::Kind::Done ? QString("done")
                    : QString(m.kind == ProgressMessage::Kind::Start ? "start %1" : "progress %1").arg(m.number));
        if (result.error)
            got << result.error->toString();
        QCOMPARE(got.join(", "), expected);
    }

    // The terminal's progress line and the summary left at the end.
    void render_data()
    {
        QTest::addColumn<ProgressSnapshot>("state");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("summary");
        const auto row = [](const char *name, ProgressSnapshot s, int width, const QString &line, const QString &summary) {
            QTest::newRow(name) << s << width << line << summary;
        };
        // {START arrived, DONE arrived, total, done, elapsed ms[, phase, a file that takes long]}
        row("progress before start", {false, false, 0, 3, 900}, 80, "3 files, total not announced yet",
            "stopped before copying began");
        row("half way", {true, false, 100, 50, 10000}, 80,
            "[###########------------]  50/100   50%  5.0 files/s  00:10 elapsed  00:10 left",
            "stopped: 50 of 100 files (50%) after 00:10");
        row("nothing done yet", {true, false, 100, 0, 0}, 80,
            "[------------------------]   0/100    0%  -- files/s  00:00 elapsed  --:-- left",
            "stopped: 0 of 100 files (0%) after 00:00");
        row("past the total", {true, true, 10, 12, 4000}, 70,
            "[###############] 12/10  100%  3.0 files/s  00:04 elapsed  00:00 left", "done: 12 of 10 files in 00:04 (3.0 files/s)");
        row("nothing to install", {true, true, 0, 0, 0}, 70,
            "[##################] 0/0  100%  -- files/s  00:00 elapsed  00:00 left", "done: 0 of 0 files in 00:00 (-- files/s)");
        row("over an hour", {true, true, 2, 1, 3725000}, 80,
            "[###########------------] 1/2   50%  0.0 files/s  1:02:05 elapsed  1:02:05 left",
            "done: 1 of 2 files in 1:02:05 (0.0 files/s)");
        row("narrow terminal", {true, false, 100, 50, 10000}, 12, "50/100   50", "stopped: 50 of 100 files (50%) after 00:10");
        // What the installer's lines tell stands in for the times it cannot foresee.
        row("emptying the destination", {false, false, 0, 0, 900, InstallerClient::Clearing, {}}, 80,
            "removing the previous contents...", "stopped before copying began");
        row("one file takes long", {true, false, 100, 50, 10000, InstallerClient::Copying, "lib/big.so"}, 60,
            "[##########----------]  50/100   50%  copying lib/big.so...", "stopped: 50 of 100 files (50%) after 00:10");
        row("syncing", {true, false, 100, 100, 10000, InstallerClient::Syncing, {}}, 60,
            "[############] 100/100  100%  writing everything to disk...",
            "stopped: 100 of 100 files (100%) after 00:10");
        row("removing the previous version", {true, true, 100, 100, 10000, InstallerClient::RemovingPrevious, {}}, 70,
            "[###################] 100/100  100%  removing the previous version...",
            "done: 100 of 100 files in 00:10 (10.0 files/s)");
    }

    void render()
    {
        QFETCH(ProgressSnapshot, state);
        QFETCH(int, width);
        QFETCH(QString, line);
        QFETCH(QString, summary);
        QCOMPARE(renderProgressLine(state, width), line);
        QCOMPARE(renderSummary(state), summary);
    }

    // Whole runs of the monitor, each with TMPDIR set to a directory of its
    // own ("DIR" at the start of an argument) holding `package` (three files,
    // one hidden, and a link), `stale`, a socket file nobody listens on (as a
    // crashed monitor leaves it), `busy`, a socket the test listens on,
    // `fifo`, a FIFO nobody reads, and `stuck`, a full FIFO the test has
    // open for reading and never reads. A
    // stream given is sent by the test once the monitor listens, a byte per
    // write (an empty one: a client connects, sends nothing and stays until
    // the monitor ends); then the file `go` appears, which scripts wait for.
    // Leading arguments NAME=VALUE, >FILE and 2>FILE are not the monitor's:
    // they set its environment and send its standard output or error to FILE.
    // After the run the socket file is gone, `busy` still answers, a command
    // that wrote its pid to `pid` is gone (else it is killed), and an install
    // in `installed` equals `package`.
    void run_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("stream"); // null: the test does not connect
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<QByteArray>("log"); // of DIR/log; null: not checked
        const auto row = [](const char *name, const QStringList &arguments, const QByteArray &stream, int exitCode,
                            const QByteArray &out, const QByteArray &err, const QByteArray &log = {}) {
            QTest::newRow(name) << arguments << stream << exitCode << out << err << log;
        };
        const QByteArray listening = "listening on DIR/OstrelUpdater\n", whole = ".START_1\n.PROGRESS_1\n.DONE_\n";
        QByteArray twenty = ".START_20\n", tenths = listening + "start: 20 files\n";
        for (int i = 1; i <= 20; ++i)
            twenty += ".PROGRESS_" + QByteArray::number(i) + '\n';
        for (int i = 2; i <= 20; i += 2)
            tenths += QString("progress: %1/20 files (%2%)\n").arg(i).arg(i * 5).toUtf8();
        const QByteArray notStarted = listening + "stopped before copying began\n";
        const QByteArray one = listening + "start: 1 files\nprogress: 1/1 files (100%)\ndone: 1 of 1 files in T (R files/s)\n";
        const QByteArray oneStopped = listening + "start: 1 files\nstopped: 0 of 1 files (0%) after T\n";
        const QByteArray closed = "ostrel-monitor: connection closed before the done message\n";
        const QByteArray shFailed = "ostrel-monitor: sh exited with status 3\n";
        const QByteArray sendFailed = "ostrel-monitor: tst_monitor exited with status 3\n";
        const QByteArray installed = listening + "start: 3 files\nprogress: 1/3 files (33%)\nprogress: 2/3 files (66%)\n"
                                                 "progress: 3/3 files (100%)\ndone: 3 of 3 files in T (R files/s)\n";

        row("twenty files, every tenth shown", {}, twenty + ".DONE_\n", 0, tenths + "done: 20 of 20 files in T (R files/s)\n", "");
        row("closed inside a line before done", {}, twenty.first(60), 5, listening + "start: 20 files\n"
            "progress: 2/20 files (10%)\nprogress: 4/20 files (20%)\nstopped: 4 of 20 files (20%) after T\n", closed);
        row("protocol error", {}, ".START_2\n.PROGRESS_x\n.DONE_\n", 6,
            listening + "start: 2 files\nstopped: 0 of 2 files (0%) after T\n",
            "ostrel-monitor: protocol error at line 2 (byte offset 9): malformed number \".PROGRESS_x\"\n");
        row("json, done", {"--json"}, ".PROGRESS_1\n.START_2\n.PROGRESS_2\n.DONE_\n", 0, R"({"event":"listening","name":"DIR/OstrelUpdater"}
{"done":1,"elapsed_ms":E,"event":"progress","percent":null,"total":null}
{"event":"start","total":2}
{"done":2,"elapsed_ms":E,"event":"progress","percent":100,"total":2}
{"done":2,"elapsed_ms":E,"event":"done","total":2}
)", "");
        row("json, closed before done", {"--json"}, ".START_2\n", 5, R"({"event":"listening","name":"DIR/OstrelUpdater"}
{"event":"start","total":2}
{"event":"error","exit_code":5,"reason":"connection closed before the done message"}
)", closed);
        row("nobody connects in time", {"--timeout=0.2"}, {}, 4, notStarted, "ostrel-monitor: no installer connected within 0.2 s\n");
        row("silent client, no start in time", {"--timeout=1"}, "", 4, notStarted,
            "ostrel-monitor: no installer connected within 1 s\n");
        // Connected, the installer may take longer than the time-out to start.
        row("command connects, silent longer than the time-out", QStringList{"--timeout=0.3"} + sends(whole, "0", 0, 1500), {}, 0,
            one, "");
        row("command does not connect in time", QStringList{"--timeout=0.2"} + sh("exec sleep 600"), {}, 4, notStarted,
            "ostrel-monitor: no installer connected within 0.2 s\n");
        row("command exits 0 without connecting", sh("exit 0"), {}, 4, notStarted,
            "ostrel-monitor: sh exited with status 0 without connecting\n");
        row("command killed", sh("kill -KILL $$"), {}, 7, notStarted, "ostrel-monitor: sh was killed by signal 9 (Killed)\n");
        row("command missing", {"--", "DIR/missing"}, {}, 7, notStarted,
            "ostrel-monitor: cannot start DIR/missing: execve: No such file or directory\n");
        row("done, command succeeds", sends(whole, "0"), {}, 0, one, "");
        row("done, command fails", sends(whole, "3"), {}, 7, one, sendFailed);
        row("closed early, command succeeds", sends(".START_1\n", "0"), {}, 5, oneStopped, closed);
        row("closed early, command fails", sends(".START_1\n", "3"), {}, 7, oneStopped, sendFailed);
        row("data after done", sends(whole + ".PROGRESS_2\n", "0"), {}, 6, one,
            "ostrel-monitor: protocol error at line 4 (byte offset 28): data after .DONE_ \".PROGRESS_2\\n\"\n");
        // The command's output is passed on in whole lines, to a log file
        // byte for byte; TMPDIR names the socket's directory, where the
        // installer looks for its bare name.
        const QString talk = "echo one >&2; echo two; printf three >&2; test -S \"$TMPDIR/OstrelUpdater\" && exit 3";
        row("command output to standard error", sh(talk), {}, 7, notStarted, "one\ntwo\nthree\n" + shFailed);
        row("command output to a log file", QStringList{"--log", "DIR/log", "--name", "DIR/package/OstrelUpdater"} + sh(talk),
            {}, 7, "listening on DIR/package/OstrelUpdater\nstopped before copying began\n", shFailed, "one\ntwo\nthree");
        QByteArray counted;
        for (int i = 1; i <= 100000; ++i)
            counted += QByteArray::number(i) + '\n';
        row("a burst of output, logged as written", QStringList{"--log", "DIR/log"} + sh("seq 100000; printf end"), {}, 4,
            notStarted, "ostrel-monitor: sh exited with status 0 without connecting\n", counted + "end");
        row("log file cannot be opened", {"--log", "DIR/none/log"}, {}, 1, "",
            "ostrel-monitor: cannot open log file DIR/none/log: No such file or directory\n");
        row("log a FIFO nobody reads", QStringList{"--log", "DIR/fifo"} + sh("echo started"), {}, 1, "",
            "ostrel-monitor: cannot open log file DIR/fifo: a FIFO nobody reads (No such device or address)\n");
        // An output that cannot be written fails a run that would succeed
        // otherwise, with a line saying which and why; the install goes on.
        const QByteArray full = "ostrel-monitor: cannot write standard output: No space left on device\n";
        row("log on a full device", QStringList{"--log", "/dev/full"} + sends(whole, "0", 3), {}, 8, one,
            "ostrel-monitor: cannot write log file /dev/full: No space left on device\n");
        row("log a FIFO nobody empties", QStringList{"--log", "DIR/stuck"} + sends(whole, "0", 3000000), {}, 8, one,
            "ostrel-monitor: cannot write log file DIR/stuck: more than 16 MiB waiting, nobody reads it\n");
        row("json, log on a full device", QStringList{"--json", "--log", "/dev/full"} + sends(whole, "0", 3), {}, 8,
            R"({"event":"listening","name":"DIR/OstrelUpdater"}
{"event":"start","total":1}
{"done":1,"elapsed_ms":E,"event":"progress","percent":100,"total":1}
{"done":1,"elapsed_ms":E,"event":"done","total":1}
{"event":"error","exit_code":8,"installer_status":0,"reason":"cannot write log file /dev/full: No space left on device"}
)", "ostrel-monitor: cannot write log file /dev/full: No space left on device\n");
        row("standard output on a full device", QStringList{">/dev/full"} + sends(whole, "0"), {}, 8, "", full);
        row("json on a full device, command fails", QStringList{">/dev/full", "--json"} + sends(whole, "3"), {}, 7, "",
            full + sendFailed);
        row("command output to a full standard error", QStringList{"2>/dev/full"} + sends(whole, "0", 3), {}, 8, one, "");
        row("help on a full device", {">/dev/full", "--help"}, {}, 8, "", full);
        row("stale socket replaced", {"--name", "DIR/stale"}, ".START_0\n.DONE_\n", 0,
            "listening on DIR/stale\nstart: 0 files\ndone: 0 of 0 files in T (R files/s)\n",
            "ostrel-monitor: removed stale socket DIR/stale\n");
        row("name someone listens on", {"--timeout=5", "--name", "DIR/busy"}, {}, 3, "",
            "ostrel-monitor: another process is already listening on DIR/busy\n");
        row("a name the installer cannot find, with a command", QStringList{"--name", "DIR/sock"} + sh("exit 0"), {}, 2, "",
            "ostrel-monitor: with a command, --name must be OstrelUpdater or end in /OstrelUpdater: the installer looks for "
            "that name in the directory TMPDIR names, got DIR/sock\nTry 'ostrel-monitor --help'.\n");
        row("name of a regular file", {"--timeout=5", "--name", "DIR/package/app"}, {}, 1, "",
            "ostrel-monitor: DIR/package/app exists and is not a socket\n");
        // A bare name with TMPDIR not a directory would be a socket in /; the command is not started.
        row("TMPDIR missing", QStringList{"TMPDIR=DIR/none"} + sh("echo started"), {}, 1, "",
            "ostrel-monitor: TMPDIR DIR/none is not a usable directory for OstrelUpdater: No such file or directory\n");
        row("TMPDIR a file", QStringList{"TMPDIR=DIR/package/app"} + sh("echo started"), {}, 1, "",
            "ostrel-monitor: TMPDIR DIR/package/app is not a usable directory for OstrelUpdater: Not a directory\n");
        // The monitor stops its command, removes its socket and says why.
        const auto stopBy = [](const char *signal) {
            return sh(QString("echo $$ >\"$TMPDIR/pid\"; kill -%1 $PPID; exec sleep 600").arg(signal));
        };
        row("SIGINT", stopBy("INT"), {}, 130, notStarted, "ostrel-monitor: interrupted by signal 2 (Interrupt)\n");
        row("SIGTERM", stopBy("TERM"), {}, 143, notStarted, "ostrel-monitor: interrupted by signal 15 (Terminated)\n");
        // Also while an output waits for a reader: during the run, and once
        // the run is over (the socket file gone) with the last lines waiting.
        row("SIGTERM, standard output a pipe nobody empties", QStringList{">DIR/stuck", "--json"} + stopBy("TERM"), {}, 143, "",
            "ostrel-monitor: interrupted by signal 15 (Terminated)\n");
        row("SIGINT, log a FIFO nobody empties", QStringList{"--log", "DIR/stuck"} + sh("echo started; " + stopBy("INT").last()),
            {}, 130, notStarted, "ostrel-monitor: interrupted by signal 2 (Interrupt)\n");
        row("SIGTERM after the run, standard output a pipe nobody empties", QStringList{">DIR/stuck"} + sh("m=$PPID; "
            "(while [ -S \"$TMPDIR/OstrelUpdater\" ]; do sleep 0.02; done; kill -TERM $m) >/dev/null 2>&1 & "
            "exec \"$0\" --send \"$1\" 0 0 0") << QCoreApplication::applicationFilePath() << whole,
            {}, 143, "", "ostrel-monitor: interrupted by signal 15 (Terminated)\n");
        row("two views asked for", {"--plain", "--bar"}, {}, 2, "",
            "ostrel-monitor: --json, --bar and --plain each choose the view: give one\nTry 'ostrel-monitor --help'.\n");
        row("bad time-out", {"--timeout=-1"}, {}, 2, "",
            "ostrel-monitor: --timeout needs a number of seconds, got -1\nTry 'ostrel-monitor --help'.\n");
        // The whole chain, the installer's lines going to the log.
        const QStringList install{"--log", "DIR/log", "--", INSTALLER_PATH, "DIR/package", "DIR/installed"};
        row("real installer", install, {}, 0, installed, "");
        // The command's arguments go on byte for byte: a leading byte-order mark is part of a name.
        row("a destination named with a byte-order mark", {"--log", "DIR/log", "--", INSTALLER_PATH, "DIR/package", QString(QChar(0xFEFF)) + "bom"}, {}, 0,
            installed, "");
        // A client of the same user that is not the command's cannot pass for
        // the installer, even when it is first; here the installer is a
        // child of the shell and starts once the forged stream is sent.
        row("forged client beside the real installer", QStringList{"--log", "DIR/log"} + sh("until [ -e \"$TMPDIR/go\" ]; "
            "do sleep 0.02; done; \"$0\" \"$TMPDIR/package\" \"$TMPDIR/installed\"") << INSTALLER_PATH, whole, 0, installed, "");
        // A refusal says why in the installer's own words, with its status and what that means.
        const auto refused = [&](const char *name, const QString &source, const QString &destination, const QString &why) {
            row(name, QStringList(install).replaceInStrings("DIR/package", source).replaceInStrings("DIR/installed", destination), {}, 7,
                notStarted, ("ostrel-monitor: " + why + '\n').toUtf8());
        };
        refused("real installer, missing source", "DIR/none", "DIR/installed",
                "fail to find sources at DIR/none (installer status 2: SOURCE is missing)");
        refused("real installer, source a file", "DIR/package/app", "DIR/installed",
                "Directory DIR/package/app does not exist (installer status 1: SOURCE is not a directory)");
        row("real installer, an unknown option", QStringList(install) << "--atomc", {}, 7, notStarted,
            "ostrel-monitor: unknown option --atomc (see ostrel-installer --help) (installer status 255: bad command line)\n");
        refused("real installer, paths overlap", "DIR/package", "DIR/package/sub",
                "Refusing to install: source DIR/package and destination DIR/package/sub overlap (installer status 5: the paths overlap)");
        // For some entries failed, the first failure and its cause.
        const QString head = "\"Wed Dec  9 06:00:00 2026 [main.cpp:1] void recursiveCopy(const QString, const QString, PipeClient *, "
                             "QMap<QString, QString> &) ";
        row("installer with failures", sh(QStringLiteral("printf '%1Failed to copy file x from /s to /d\" \\n%1Cause: Permission denied\" "
                                                         "\\n%1Failed to copy file y from /s to /d\" \\n'; exit 4").arg(head)), {}, 7, notStarted,
            QString(head + "Failed to copy file x from /s to /d\" \n" + head + "Cause: Permission denied\" \n" + head
                    + "Failed to copy file y from /s to /d\" \n").replace("06:00:00", "T:00").toUtf8() + "ostrel-monitor: Failed to copy file x from /s to /d: Permission denied "
                  "(installer status 4: some entries failed)\n");
        // Phases, each from the installer's line, and one file that takes
        // long: the stand-in writes a line, then waits until the monitor has
        // shown it before it goes on (sh's $2, $3, $4), and stops without
        // the done message.
        const QString clearing = QString(head).replace("void recursiveCopy(const QString, const QString, PipeClient *, QMap<QString, "
                                                       "QString> &)", "void installPackage(const QString &, const QString &)")
                                 + "source dir is /s destination dir is /d\" \n";
        const QString big = head + "trying to copy file /s/lib/big -> /d/lib/big\" \n";
        const auto phases = [&](const QString &view, const QStringList &shown) {
            return QStringList{">DIR/log", view} + sh(QStringLiteral("wait_for() { until grep -q \"$1\" \"$TMPDIR/log\"; do sleep 0.02; done; }; "
                    "printf '%1' >&2; wait_for \"$2\"; \"$0\" --send \"$1\" hold 0 0 & wait_for \"$3\"; printf '%2' >&2; "
                    "wait_for \"$4\"; kill $!").arg(clearing, big)) << QCoreApplication::applicationFilePath() << ".START_1\n" << shown;
        };
        const QByteArray standIn = QString(clearing + big).replace("06:00:00", "T:00").toUtf8() + closed;
        row("a phase and a file that take long", phases("--plain", {"phase: removing", "start: 1", "phase: copying"}), {}, 5, "", standIn,
            "listening on DIR/OstrelUpdater\nphase: removing the previous contents\nstart: 1 files\nphase: copying lib/big\n"
            "stopped: 0 of 1 files (0%) after T\n");
        row("json, a phase and a file that take long", phases("--json", {"clearing", "start", "lib/big"}), {}, 5, "", standIn,
            R"({"event":"listening","name":"DIR/OstrelUpdater"}
{"event":"phase","phase":"clearing"}
{"event":"start","total":1}
{"event":"phase","file":"lib/big","phase":"copying"}
{"event":"error","exit_code":5,"installer_status":0,"reason":"connection closed before the done message"}
)");
        row("log file inside the destination", QStringList{"--log", "DIR/installed/log", "--", INSTALLER_PATH, "--atomic", "DIR/package",
                "DIR/installed"}, {}, 2, "", "ostrel-monitor: the log file DIR/installed/log is inside DESTINATION DIR/installed, which "
                "the install empties\nTry 'ostrel-monitor --help'.\n");
        row("json, real installer refuses", QStringList{"--json"} + QStringList(install).replaceInStrings("DIR/package", "DIR/none"), {}, 7,
            R"x({"event":"listening","name":"DIR/OstrelUpdater"}
{"event":"error","exit_code":7,"installer_status":2,"reason":"fail to find sources at DIR/none (installer status 2: SOURCE is missing)"}
)x", "ostrel-monitor: fail to find sources at DIR/none (installer status 2: SOURCE is missing)\n");
    }

    void run()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, stream);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(QByteArray, log);
        // A sanitized monitor (scripts/sanitize) cannot start a command:
        // under ThreadSanitizer Qt's fork fails. It is tested as a listener.
        const QString monitorPath = qEnvironmentVariable("OSTREL_TEST_MONITOR", QStringLiteral(MONITOR_PATH));
        if (monitorPath != QLatin1String(MONITOR_PATH) && arguments.contains("--"))
            QSKIP("a sanitized monitor is tested as a listener only");
        QTemporaryDir dir;
        QDir package(dir.filePath("package"));
        QVERIFY(package.mkpath("lib") && QFile::link("libcore.so.1.2", package.filePath("lib/libcore.so.1")));
        for (const QString &name : {"app", ".settings", "lib/libcore.so.1.2"}) {
            QFile file(package.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(name.toUtf8()) == name.size());
        }
        QLocalServer busy, gone;
        QVERIFY(busy.listen(dir.filePath("busy")) && gone.listen(dir.filePath("gone")));
        QVERIFY(::link(QFile::encodeName(gone.fullServerName()), QFile::encodeName(dir.filePath("stale"))) == 0);
        gone.close();
        QVERIFY(::mkfifo(QFile::encodeName(dir.filePath("fifo")), 0600) == 0);
        QVERIFY(::mkfifo(QFile::encodeName(dir.filePath("stuck")), 0600) == 0);
        const UniqueFd stuck(::open(QFile::encodeName(dir.filePath("stuck")), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        {
            const UniqueFd filler(::open(QFile::encodeName(dir.filePath("stuck")), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
            const QByteArray page(4096, 'x');
            while (::write(filler.get(), page.constData(), size_t(page.size())) > 0) {}
            QVERIFY(stuck.isValid() && errno == EAGAIN);
        }

        QProcess monitor;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", dir.path());
        arguments.replaceInStrings(QRegularExpression("^(\\w+=|2?>)?DIR"), "\\1" + dir.path());
        const QRegularExpression setUp("^(\\w+=|2?>)");
        while (!arguments.isEmpty() && setUp.match(arguments.first()).hasMatch()) {
            const QString a = arguments.takeFirst();
            if (a.startsWith('>'))
                monitor.setStandardOutputFile(a.mid(1));
            else if (a.startsWith("2>"))
                monitor.setStandardErrorFile(a.mid(2));
            else
                env.insert(a.section('=', 0, 0), a.section('=', 1));
        }
        monitor.setProcessEnvironment(env);
        monitor.setWorkingDirectory(dir.path());
        monitor.start(monitorPath, arguments);
        const QRegularExpression listened("(/[^\"\n]+)");
        QByteArray firstLine;
        if (!stream.isNull()) {
            while (!monitor.canReadLine() && monitor.waitForReadyRead(20000)) {}
            firstLine = monitor.readLine();
        }
        // Once it listens, first a connection that sends nothing, as another
        // monitor's probe makes: that is not the installer. A silent client
        // is alone, as in the runs where a monitor left with one crashed.
        QLocalSocket silent;
        if (const QString path = listened.match(QString::fromUtf8(firstLine)).captured(1); !path.isEmpty() && stream.isEmpty()) {
            silent.connectToServer(path);
            QVERIFY2(silent.waitForConnected(10000), qPrintable(path));
        } else if (!path.isEmpty()) {
            for (const QByteArray &bytes : {QByteArray(), stream}) {
                QLocalSocket socket;
                socket.connectToServer(path);
                QVERIFY2(socket.waitForConnected(10000), qPrintable(path));
                for (const char c : bytes) // the monitor may be gone after a protocol error
                    socket.write(&c, 1), socket.waitForBytesWritten(10000);
            }
        }
        QFile go(dir.filePath("go"));
        QVERIFY(go.open(QIODevice::WriteOnly));
        const bool ended = monitor.waitForFinished(60000);
        const QByteArray output = firstLine + monitor.readAllStandardOutput();
        QCOMPARE(normalized(output, dir), out);
        QCOMPARE(normalized(monitor.readAllStandardError(), dir), err);
        QVERIFY(ended && monitor.exitStatus() == QProcess::NormalExit);
        QCOMPARE(monitor.exitCode(), exitCode);
        QFile logFile(dir.filePath("log"));
        if (!log.isNull())
            QCOMPARE(logFile.open(QIODevice::ReadOnly) ? normalized(logFile.readAll(), dir) : "(missing)", log);
        const QString path = listened.match(QString::fromUtf8(output)).captured(1);
        QVERIFY2(path.isEmpty() || !QFile::exists(path), "socket file left behind");
        QFile pidFile(dir.filePath("pid"));
        const pid_t command = pidFile.open(QIODevice::ReadOnly) ? pidFile.readAll().trimmed().toInt() : 0;
        QVERIFY2(command <= 0 || (::kill(command, SIGKILL) == -1 && errno == ESRCH), "command was still running");
        QLocalSocket probe;
        probe.connectToServer(busy.fullServerName());
        QVERIFY2(probe.waitForConnected(10000), "the busy name was taken");
        QVERIFY(!QFile::exists(dir.filePath("bom"))); // and not where the mark is lost
        if (QFile::exists(dir.filePath("installed")))
            QCOMPARE(QProcess::execute("diff", {"-r", "--no-dereference", package.path(), dir.filePath("installed")}), 0);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 6 && qstrcmp(argv[1], "--send") == 0)
        return sendAsInstaller(argv[2], argv[3], atoi(argv[4]), atoi(argv[5]));
    TestMonitor test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_monitor.moc"
