#include "randomtree.h"

#include <sys/file.h>
#include <sys/socket.h>

namespace {

// The lock file an install of this user's into `directory` holds.
QByteArray installLockPath(const QString &directory)
{
    struct stat status;
    if (::stat(QFile::encodeName(directory), &status) != 0)
        return QByteArray();
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray locks = ::geteuid() == 0 ? QByteArray("/run/ostrel-installer")
                             : runtime.startsWith('/') ? runtime + "/ostrel-installer"
                                                       : "/tmp/ostrel-installer-" + QByteArray::number(::geteuid());
    ::mkdir(locks.constData(), 0700);
    return locks + '/' + QByteArray::number(qulonglong(status.st_dev), 16) + '-' + QByteArray::number(qulonglong(status.st_ino), 16)
           + ".lock";
}

} // namespace

// The built installer end to end, on real trees, with a real updater socket.
// ctest runs the functions as separate entries (tests/CMakeLists.txt).
class TestInstaller : public QObject
{
    Q_OBJECT

    bool standInPassed = false; // a real link to / is tried only once links to a stand-in passed

private Q_SLOTS:
    void initTestCase() { qInfo("random seed %u (repeat with OSTREL_SEED=%u)", testSeed(), testSeed()); }

    // Every log line and message of a full run: names in case-insensitive
    // order, a hidden file, a FIFO passed over, links made relative.
    void workedCase()
    {
        QTemporaryDir tmp;
        const QString s = tmp.filePath("s"), d = tmp.filePath("d");
        QVERIFY(makeFile(s + "/a.txt", "a\n", 0600) && makeFile(s + "/B/c.txt", "c\n", 0755) && makeFile(s + "/.cfg", "", 0444)
                && makeLink("a.txt", s + "/l") && makeLink(s + "/B", s + "/abs") && ::mkfifo(QFile::encodeName(s + "/p"), 0644) == 0
                && makeFile(d + "/.old/x", "old"));
        const InstallRun run = runInstaller({s, d});
        CHECK_RUN(run, 0);
        const QString copy = "recursiveCopy: trying to copy file $S/%1 -> $D/%1", progress = "PipeClient::progress: %1 files copied";
        QStringList expected = {"PipeClient::connect: Connect to Updater start", "PipeClient::connect: Try #1",
                "PipeClient::connect: Connect to Updater done", "installPackage: source dir is $S destination dir is $D",
                "PipeClient::startProgress: Files to install 3", copy.arg(".cfg"), progress.arg(1), copy.arg("a.txt"), progress.arg(2),
                copy.arg("abs"), copy.arg("B"), copy.arg("B/c.txt"), progress.arg(3), copy.arg("l"), copy.arg("p"),
                "createLinks: Create links", "createLinks: Create link $D/abs -> B", "createLinks: Create link $D/l -> a.txt",
                "installPackage: Syncing $D to disk", "PipeClient::stopProgress: Installed"};
        QCOMPARE(run.logged, expected.replaceInStrings("$S", s).replaceInStrings("$D", d));
        QCOMPARE(run.messages, allMessages(3));
        COMPARE_TREES(installedSnapshot(s), snapshot(d));
    }

    // $T holds the package "src", a destination "d" with old files, hidden
    // ones, a FIFO and a dangling link, a file "f", "link" -> src, a stand-in
    // for / and more outside. "setup" adds links (path=target), files,
    // "unreadable" entries (root's alone), "locked" directories (root's, with
    // a file), "size"s (path=bytes, under a 32 KiB file-size limit), "threads"
    // (the limit on the user's processes, two copy threads wanted); "nobody"
    // runs the installer as nobody; "lost" matches what cannot be installed;
    // "updater" is absent, late, closing after some messages or not reading
    // (then "src" has more files than the socket takes); "at" is where the
    // package lands (else d). "lines": the failures logged, then the last
    // line; "installed P" writes src/P's bytes, mode and times over d/P, as an earlier install
    // would have. Nothing outside where the package lands may change.
    void install_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("lines");
        auto row = [](const char *name, const QStringList &arguments, const QStringList &setup, int exitCode, const QStringList &lines) {
            QTest::newRow(name) << arguments << setup << exitCode << lines;
        };
        const QString copy = "recursiveCopy: Failed to copy file %1 from $T/src%2 to $T/d%2";
        const QStringList install = {"$T/src", "$T/d"}, none, done = {"PipeClient::stopProgress: Installed"};
        row("no arguments", {}, none, 255, {""});
        row("one argument", {"$T/src"}, none, 255, {""});
        row("installed", install, none, 0, done);
        row("third argument ignored", {"$T/src", "$T/d", "$T/missing"}, none, 0, done);
        // With more than two arguments, options go anywhere; an unknown one touches nothing.
        row("an option before the paths", {"--atomic", "$T/src", "$T/d"}, none, 0, done);
        row("an unknown option", {"$T/src", "$T/d", "--atomc"}, none, 255, {"usage: unknown option --atomc (see ostrel-installer --help)"});
        row("paths after --", {"--changed-only", "--", "$T/src", "$T/d"}, none, 0, done);
        row("options without two paths", {"--atomic", "--changed-only", "$T/src"}, none, 255,
            {"usage: SOURCE and DESTINATION are needed (see ostrel-installer --help)"});
        row("relative paths", {"./src/../src/", "d//"}, none, 0, done);
        row("destination name extends the source's", {"$T/src", "$T/srcb"}, {"at $T/srcb"}, 0, done);
        row("destination name begins the source's", {"$T/src", "$T/sr"}, {"at $T/sr"}, 0, done);
        row("source missing", {"$T/missing", "$T/d"}, none, 2, {"installPackage: fail to find sources at $T/missing"});
        row("no updater", install, {"updater absent"}, 3, {"installPackage: Too many tries, seems no Updater"});
        row("empty source", {"", "$T/d"}, none, 255, {""});
        row("empty destination", {"$T/src", ""}, none, 255, {""});
        for (const char *source : {"f", "file-link", "fifo"})
            row(qPrintable(QStringLiteral("source is a %1").arg(source)), {QStringLiteral("$T/") + source, "$T/d"}, none, 1,
                {QStringLiteral("installPackage: Directory $T/%1 does not exist").arg(source)});
        // A name may begin with the bytes of a byte-order mark; d is another directory.
        const QString bom = QString::fromUtf8("\xef\xbb\xbf") + 'd';
        row("destination named with a byte-order mark", {"$T/src", bom}, {"at $T/" + bom}, 0, done);
        // Another install's lock; a lock any reader can take on the directory itself holds nothing up.
        row("another install holds the destination", install, {"lock d"}, 6,
            {"installPackage: Refusing to install: another install into $T/d is running (process 4242)"});
        row("atomic, another install holds the destination", {"$T/src", "$T/d", "--atomic"}, {"lock d"}, 6,
            {"installPackage: Refusing to install: another install into $T/d is running (process 4242)"});
        row("a reader locks the destination", install, {"flock d"}, 0, done);
        // Not one copy thread to be had (nor the output thread): the reporter copies everything itself.
        row("no thread can be started, as nobody", install, {"nobody", "threads 1"}, 0,
            {"installPackage: Copying with 0 of 2 threads: no more could be started", done.first()});
        // Named like a work directory, but not one the installer made: left alone, whatever it holds.
        const QString foreign = "installPackage: Leaving $T/.d.ostrel-0123456789abcdef alone: it looks like an install's work "
                                "directory, but is not this installer's own";
        row("a directory named like a work directory", install, {".d.ostrel-0123456789abcdef/new/important"}, 0, QStringList{foreign} + done);
        row("atomic, a directory named like a work directory", {"$T/src", "$T/d", "--atomic"},
            {".d.ostrel-0123456789abcdef/owner", ".d.ostrel-0123456789abcdef/new/important"}, 0, QStringList{foreign} + done);
        row("atomic", {"$T/src", "$T/d", "--atomic"}, none, 0, done);
        const QString longest(255, 'n'); // no room left for a hidden sibling's suffix
        row("a destination name of 255 bytes", {"$T/src", "$T/" + longest}, {"at $T/" + longest}, 0, done);
        row("atomic, a destination name of 255 bytes", {"$T/src", "$T/" + longest, "--atomic"}, {"at $T/" + longest}, 0, done);
        row("atomic into a link", {"$T/src", "$T/link-d", "--atomic"}, {"link-d=d"}, 8,
            {"installPackage: Refusing to install atomically into $T/link-d: it is a symbolic link"});
        row("atomic, a file over the size limit", {"$T/src", "$T/d", "--atomic"}, {"size src/lib/x=32769"}, 7,
            {copy.arg("x", "/lib"), "installPackage: Atomic install abandoned, $T/d unchanged"});
        for (const QStringList &overlap : QList<QStringList>{{"same directory", "$T/src", "$T/src"},
                     {"destination inside source", "$T/src", "$T/src/sub"}, {"new destination deep inside source", "$T/src", "$T/src/new/deeper"},
                     {"source inside destination", "$T/src", "$T"}, {"destination is a link to the source", "$T/src", "$T/link"},
                     {"new destination below a link into the source", "$T/src", "$T/link/new"},
                     {"source given through a link", "$T/link", "$T/src/sub"}, {"root destination", "$T/src", "/"}})
            row(qPrintable(overlap[0]), overlap.mid(1), none, 5,
                {QStringLiteral("installPackage: Refusing to install: source %1 and destination %2 overlap").arg(overlap[1], overlap[2])});
        for (const char *updater : {"late 500", "late 2000", "closing 0", "closing 1", "closing 20", "not reading"})
            row(updater, install, {QStringLiteral("updater ") + updater}, 0, done);
        row("nobody reads standard error", install, {"stderr closed"}, 0, {""});
        row("old links to directories and files outside", install, {"d/share=../outside", "d/absolute=$T/outside", "d/.hidden=../outside/keep.txt",
                "d/nested/deeper=$T/outside/sub", "d/nested/up=../..", "d/sub=$T/outside/sub"}, 0, done);
        row("old links to a stand-in for /", install,
            {"d/root=$T/fakeroot", "d/bin=$T/fakeroot/bin", "d/lib=../fakeroot/lib", "d/nested/root=../../fakeroot"}, 0, done);
        row("old links to the source", install, {"d/source=$T/src", "d/share=../src/share", "d/link=$T/src/link"}, 0, done);
        row("an old link to / itself, as nobody", install, {"d/root=/", "nobody"}, 0, done);
        // Taken to mean the directory it points to, as any program would.
        row("destination is a link to a directory", {"$T/src", "$T/d-link"}, {"d-link=elsewhere", "elsewhere/.old", "at $T/elsewhere"}, 0, done);
        // Paths are tidied as text, as a shell's cd does: via/.. is $T, not the link's parent.
        row("destination named through a link and ..", {"$T/src", "$T/via/../target"}, {"via=outside/deep", "target/old", "at $T/target"}, 0, done);
        row("unreadable files at two depths, as nobody", install, {"nobody", "unreadable src/.hidden", "unreadable src/bin/tool",
                "lost ^(.hidden|bin/tool) "}, 4, QStringList{copy.arg(".hidden", ""), copy.arg("tool", "/bin")} + done);
        // Kept as it is, the copy installed before would hide that the package's file cannot be read.
        row("changed only, an unreadable file installed before, as nobody", install + QStringList{"--changed-only"},
            {"nobody", "unreadable src/bin/tool", "d/bin/tool", "installed bin/tool"}, 4, QStringList{copy.arg("tool", "/bin")} + done);
        row("unreadable directory, as nobody", install, {"nobody", "unreadable src/sub", "lost ^sub/"}, 4,
            QStringList{"recursiveCopy: Unable to read directory $T/src/sub"} + done);
        row("destination subdirectory not writable, as nobody", install, {"nobody", "locked d/bin", "lost ^bin[/ ]"}, 4,
            QStringList{copy.arg("tool", "/bin"), "installPackage: Unable to remove $T/d/bin/old"} + done);
        row("destination not writable at all, as nobody", install, {"nobody", "locked d", "lost ."}, 4,
            QStringList{copy.arg(".hidden", ""), copy.arg("tool", "/bin"), copy.arg("x", "/lib"), copy.arg("readme.txt", "/share"),
                        copy.arg("keep.txt", "/sub"), "createLinks: Fail to create symlink $T/d/link for bin/tool",
                        "createLinks: Fail to create symlink $T/d/abs for share/readme.txt"}
                    + QStringList{".fifo", ".gone", ".old/deeper/x", "old", "old.txt"}.replaceInStrings(QRegularExpression("^"), "installPackage: Unable to remove $T/d/")
                    + done);
        row("a file one byte over", install, {"size src/lib/x=32769", "lost ^lib/x "}, 4, QStringList{copy.arg("x", "/lib")} + done);
        row("files far over, among files that fit", install, {"size src/lib/x=131072", "size src/.hidden=32767", "size src/sub/keep.txt=65537",
                "size src/bin/tool=0", "lost ^(lib/x|sub/keep.txt) "}, 4, QStringList{copy.arg("x", "/lib"), copy.arg("keep.txt", "/sub")} + done);
    }

    void install()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, setup);
        QFETCH(int, exitCode);
        QFETCH(QStringList, lines);
        auto option = [&](const char *name) { return setup.filter(QRegularExpression(QStringLiteral("^%1 ").arg(name))).value(0).section(' ', 1); };
        const QString updater = option("updater"), locked = option("locked"), at = option("at");
        InstallOptions options;
        // Permission failures cannot be provoked as root: such rows run as nobody.
        if (setup.contains("nobody") && !(options.runAs = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr))
            QSKIP("permission failures and a real link to / need root and a user named nobody to switch to");
        if (setup.contains("d/root=/") && !standInPassed)
            QSKIP("a real link to / is tried only after the links to a stand-in for / passed");
        int ends[2], files = 5; // and, for a misbehaving updater, as many more as a socket takes unread
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) == 0);
        for (; !updater.isEmpty() && ::write(ends[0], ".PROGRESS_100\n", 14) == 14; ++files)
            setup << QStringLiteral("src/bulk%1/file%2").arg(files % 5).arg(files);
        QVERIFY(::close(ends[0]) == 0 && ::close(ends[1]) == 0);
        QTemporaryDir tmp;
        const QString t = tmp.path();
        setup << "src/bin/tool" << "src/share/readme.txt" << "src/lib/x" << "src/.hidden" << "src/sub/keep.txt" << "f" << "d/old.txt"
              << "d/.old/deeper/x" << "fakeroot/bin/sh" << "fakeroot/etc/.shadow" << "fakeroot/usr/lib/libc.so" << "outside/keep.txt"
              << "outside/.keep" << "outside/sub/deeper/file" << "outside/deep/keep" << "outside/target/old.txt" << "src/link=bin/tool"
              << "link=$T/src" << "fakeroot/lib=usr/lib" << "d/.gone=nowhere" << "file-link=f" << "src/abs=$T/src/share/readme.txt";
        for (const QString &path : setup.filter(QRegularExpression("^(?!nobody$)[^ =]+$")))
            QVERIFY(makeFile(t + '/' + path, path.toUtf8(), 0444));
        for (const QString &link : setup.filter(QRegularExpression("^[^ ]+=")))
            QVERIFY(makeLink(link.section('=', 1).replace("$T", t), t + '/' + link.section('=', 0, 0)));
        QVERIFY(QDir(t).mkpath("src/empty") && ::mkfifo(QFile::encodeName(t + "/d/.fifo"), 0644) == 0 && ::mkfifo(QFile::encodeName(t + "/fifo"), 0644) == 0);
        // Another install's hold: its lock file, with its process id; or a reader's lock on the directory.
        const QString lock = option("lock"), readerLock = option("flock");
        const QByteArray lockPath = lock.isEmpty() ? QByteArray() : installLockPath(t + '/' + lock);
        const int held = !lock.isEmpty() ? ::open(lockPath.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)
                         : !readerLock.isEmpty() ? ::open(QFile::encodeName(t + '/' + readerLock), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        const auto unlock = qScopeGuard([&] { held < 0 || (lockPath.isEmpty() || ::unlink(lockPath.constData()) == 0, ::close(held)); });
        QVERIFY((lock.isEmpty() && readerLock.isEmpty()) || (held >= 0 && ::flock(held, LOCK_EX | LOCK_NB) == 0));
        QVERIFY(lock.isEmpty() || ::write(held, "4242\n", 5) == 5);
        for (const QString &size : setup.filter(QRegularExpression("^size ")))
            QVERIFY(makeFile(t + '/' + size.section(' ', 1).section('=', 0, 0), QByteArray(size.section('=', 1).toInt(), 'x')));
        options.fileSizeLimit = setup.filter(QRegularExpression("^size ")).isEmpty() ? 0 : 32768;
        const QStringList threads = setup.filter(QRegularExpression("^threads "));
        if (!threads.isEmpty()) { // the user's limit on processes and threads, with two copy threads wanted
            options.wrapper = {"prlimit", "--nproc=" + threads.first().section(' ', 1)};
            options.jobs = "2";
        }
        auto chown = [](const QString &path) { return QProcess::execute("chown", {"-hR", "nobody:", path}) == 0; };
        if (options.runAs) // what a followed link could reach as nobody: the canary shows it
            QVERIFY(makeFile(t + "/canary/file", "canary") && chown(t + "/canary") && (setup.contains("locked d") || chown(t + "/d"))
                    && QFile::setPermissions(t, QFile::permissions(t) | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(locked.isEmpty() || makeFile(t + '/' + locked + "/old", "root's"));
        for (const QString &unreadable : setup.filter(QRegularExpression("^unreadable "))) {
            const QString path = t + '/' + unreadable.mid(11);
            files -= int(QFileInfo(path).isDir() ? installedSnapshot(path).filter(QRegularExpression("^\\S+ f ")).size() : 0);
            QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        for (const QString &installed : setup.filter(QRegularExpression("^installed ")))
            QCOMPARE(QProcess::execute("cp", {"--preserve=mode,timestamps", t + "/src/" + installed.mid(10), t + "/d/" + installed.mid(10)}), 0);
        QStringList expected = exitCode == 0 || exitCode == 4 ? installedSnapshot(t + "/src") : QStringList();
        expected.removeIf([&](const QString &line) { return line.contains(QRegularExpression(option("lost").isEmpty() ? "^$" : option("lost"))); });
        expected += locked.isEmpty() ? QStringList() : snapshot(t + "/d").filter(QRegularExpression('^' + locked.mid(2)));
        expected.removeDuplicates();
        QVERIFY(QDir::setCurrent(t));
        const QString inside = !at.isEmpty() ? at.mid(3) : exitCode == 0 || exitCode == 4 ? "d" : ""; // below $T
        auto outside = [&] {
            QStringList lines = snapshot(t, true);
            const QString encoded = QString::fromLatin1(inside.toUtf8().toPercentEncoding("/"));
            lines.removeIf([&](const QString &line) { return !inside.isEmpty() && (line.startsWith(encoded + '/') || line.startsWith(encoded + ' ')); });
            return lines;
        };
        const QStringList before = outside();
        options.listenAfterMs = updater == "absent" ? -1 : updater.startsWith("late") ? updater.section(' ', 1).toInt() : 0;
        options.closeAfterMessages = updater.startsWith("closing") ? updater.section(' ', 1).toInt() : -1;
        options.readWhileRunning = updater != "not reading";
        options.standardErrorClosed = setup.contains("stderr closed");
        const InstallRun run = runInstaller(arguments.replaceInStrings("$T", t), options);
        CHECK_RUN(run, exitCode);
        QStringList failures = run.logged.filter(QRegularExpression(": (Failed to copy|Fail to create symlink|Unable to (read|remove)|Leaving|Copying with) "));
        // A failure with a known cause is followed by it, in the system's words.
        for (qsizetype i = 0; i < run.logged.size(); ++i)
            if (run.logged[i].contains(QRegularExpression(": (Failed to copy|Fail to create symlink|Unable to (read directory|remove)) ")))
                QVERIFY2(run.logged.value(i + 1).contains(QRegularExpression("^\\w+: Cause: (?!Success$)")), qPrintable(run.logged.value(i + 1)));
        lines.replaceInStrings("$T", t);
        QCOMPARE(run.logged.value(run.logged.size() - 1), lines.takeLast());
        failures.sort();
        lines.sort();
        QVERIFY2(failures == lines, qPrintable(failures.join('\n')));
        QStringList unchanged = before; // but for what the install was to remove
        unchanged.removeIf([&](const QString &line) { return !option("gone").isEmpty() && line.startsWith(option("gone")); });
        COMPARE_TREES(unchanged, outside());
        if (!inside.isEmpty()) // nothing partly written, under its own name or any other
            COMPARE_TREES(expected, snapshot(t + '/' + inside));
        // Every file tried is counted, and all of it reaches the updater unless it closes; one that reads nothing
        // till the files are in place still gets all of it.
        // An abandoned atomic install sends no done message.
        const bool ran = exitCode == 0 || exitCode == 4, connected = ran || exitCode == 6 || exitCode == 7;
        QVERIFY(ran || exitCode == 7 ? allMessages(files).startsWith(run.messages) : run.messages.isEmpty());
        QVERIFY(!ran || updater.startsWith("closing") || run.messages == allMessages(files));
        QCOMPARE(run.messages.isEmpty(), !(ran || exitCode == 7) || updater == "closing 0");
        const qsizetype tries = run.logged.filter("PipeClient::connect: Try #").size();
        QVERIFY2(options.standardErrorClosed ? !tries : updater.startsWith("late") ? tries > 1 : tries == (exitCode == 3 ? 101 : connected),
                 qPrintable(QString::number(tries)));
        standInPassed = standInPassed || QTest::currentDataTag() == QByteArray("old links to a stand-in for /");
    }

    // An update with --changed-only over the version installed before, changed by "changes": in the
    // package "edit P" (new bytes and time), "chmod P", "touch P" (the time alone), "rm P", "add P",
    // "dir P" (a file becomes a directory), "file P" (a directory becomes a file), "link P=T"; in the
    // installed version "foreign P" (nobody's, with the package's size and time), "shared P" (a second
    // name outside), "stray P" (a file the package does not hold). It must give the package's tree,
    // the lines and messages of a full install, the files in "kept" with their inodes, every other
    // file written anew, and nothing outside changed.
    void update_data()
    {
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QStringList>("kept");
        QTest::addColumn<bool>("atomic");
        const QStringList all = {"a/f1", "a/f2", "a/f3", "a/b/g", "c/h"};
        for (const bool atomic : {false, true}) {
            const auto row = [atomic](const char *name, const QStringList &changes, const QStringList &kept) {
                QTest::addRow("%s%s", atomic ? "atomic, " : "", name) << changes << kept << atomic;
            };
            row("nothing changed", {}, all);
            row("bytes, mode or time changed", {"edit a/f1", "chmod a/f2", "touch c/h"}, {"a/f3", "a/b/g"});
            row("another user's file, a file with a second name outside", {"foreign a/f1", "shared a/f2"}, {"a/f3", "a/b/g", "c/h"});
            if (atomic)
                continue;
            row("files added and removed, strays", {"add a/new", "rm c/h", "stray a/.ostrel-partial-1-1", "stray e/deep/x"},
                {"a/f1", "a/f2", "a/f3", "a/b/g"});
            row("a file becomes a directory, a directory a file", {"dir a/f1", "file a/b", "link l=c/h"}, {"a/f2", "a/f3", "c/h"});
        }
    }

    void update()
    {
        QFETCH(QStringList, changes);
        QFETCH(QStringList, kept);
        QFETCH(bool, atomic);
        if (!changes.filter("foreign ").isEmpty() && (::geteuid() != 0 || !::getpwnam("nobody")))
            QSKIP("a file of another user's needs root and a user named nobody");
        QTemporaryDir tmp;
        const QString t = tmp.path(), src = t + "/src", d = t + "/d";
        for (const QString &file : {"a/f1", "a/f2", "a/f3", "a/b/g", "c/h", ".hidden"})
            QVERIFY(makeFile(src + '/' + file, file.toUtf8()));
        QVERIFY(makeLink("a/f1", src + "/l") && makeFile(t + "/outside/keep", "outside"));
        const QStringList full = {src, d}, update = full + QStringList{"--changed-only"} + (atomic ? QStringList{"--atomic"} : QStringList());
        CHECK_RUN(runInstaller(full), 0);
        const auto inode = [](const QString &path) {
            struct stat status;
            return ::lstat(QFile::encodeName(path), &status) == 0 ? status.st_ino : 0;
        };
        for (const QString &change : changes) {
            const QString what = change.section(' ', 0, 0), path = change.section(' ', 1);
            const QString in = (QStringList{"foreign", "shared", "stray"}.contains(what) ? d : src) + '/' + path;
            const bool made = what == "edit" ? makeFile(in, "new bytes, new time")
                    : what == "chmod" ? QFile::setPermissions(in, QFile::ReadOwner)
                    : what == "touch" ? QProcess::execute("touch", {"-d", "2001-02-03", in}) == 0
                    : what == "rm" ? QFile::remove(in)
                    : what == "add" || what == "stray" ? makeFile(in, "added")
                    : what == "dir" ? QFile::remove(in) && makeFile(in + "/inside", "inside")
                    : what == "file" ? QDir(in).removeRecursively() && makeFile(in, "was a directory")
                    : what == "link" ? QFile::remove(src + '/' + path.section('=', 0, 0)) && makeLink(path.section('=', 1), src + '/' + path.section('=', 0, 0))
                    : what == "foreign" ? ::lchown(QFile::encodeName(in), ::getpwnam("nobody")->pw_uid, 0) == 0
                    : what == "shared" && ::link(QFile::encodeName(in), QFile::encodeName(t + "/outside/second")) == 0;
            QVERIFY2(made, qPrintable(change));
        }
        QHash<QString, ino_t> before;
        for (const QString &file : {"a/f1", "a/f2", "a/f3", "a/b/g", "c/h"})
            before[file] = inode(d + '/' + file);
        const QStringList outside = snapshot(t + "/outside", false); // a name replaced in d lowers a link count there
        const InstallRun run = runInstaller(update);
        CHECK_RUN(run, 0);
        COMPARE_TREES(installedSnapshot(src), snapshot(d));
        COMPARE_TREES(outside, snapshot(t + "/outside", false));
        const int files = int(installedSnapshot(src).filter(QRegularExpression("^\\S+ f ")).size());
        QCOMPARE(run.messages, allMessages(files));
        for (auto file = before.cbegin(); file != before.cend(); ++file)
            if (QFileInfo(d + '/' + file.key()).isFile())
                QVERIFY2((inode(d + '/' + file.key()) == file.value()) == kept.contains(file.key()), qPrintable(file.key()));
        QVERIFY(QDir(t).entryList({".d.ostrel*"}, QDir::AllEntries | QDir::Hidden).isEmpty());
        // The same lines as a full install of the same package, and one more (.hidden is never changed).
        QStringList lines = run.logged;
        QCOMPARE(lines.removeAll(QStringLiteral("installPackage: %1 of %2 files unchanged, kept from the previous version")
                                         .arg(kept.size() + 1).arg(files)), 1);
        const InstallRun fullRun = runInstaller(QStringList(full) + (atomic ? QStringList{"--atomic"} : QStringList()));
        CHECK_RUN(fullRun, 0);
        QCOMPARE(lines, fullRun.logged);
    }

    // Installs that keep the previous version, and rollbacks, step by step. A step is "<exit status>
    // <what> => <DESTINATION> <kept>": what is "install vN" (plain), "keep vN" (atomic, keeping),
    // "changed vN" (the same, changed only), "rollback", or any of them after "kill <syscall>:<n>" (SIGKILL
    // on the n-th call, which leaves what a killed run left: no status). DESTINATION and the kept version are a version, "-" for
    // none, or alternatives "v1|v2" for what a kill may leave. Steps without "=>" change the kept
    // version: "link" (moved outside, a link in its place), "copy" (a copy, marker and all), "nobody's"
    // (given to nobody), "lock" (another install's lock on DESTINATION); it is then "foreign" and must
    // stay as it is. "shared" checks that the file every version holds unchanged is the installed
    // one's, linked into the kept version. `line` is logged by the last step.
    void keepPrevious_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("line");
        const QStringList twoVersions = {"0 install v1 => v1 -", "0 keep v2 => v2 v1"};
        QTest::newRow("keep, roll back, roll forward, keep again")
                << twoVersions + QStringList{"0 rollback => v1 v2", "0 rollback => v2 v1", "0 keep v3 => v3 v2"}
                << "keepPreviousVersion: Removing the version kept before in $T/.d.ostrel-*";
        QTest::newRow("nothing kept") << QStringList{"0 install v1 => v1 -", "9 rollback => v1 -", "0 keep v2 => v2 v1"}
                                      << "keepPreviousVersion: Keeping the previous version of $T/d in $T/.d.ostrel-previous";
        QTest::newRow("changed only shares unchanged files with the kept version")
                << QStringList{"0 install v1 => v1 -", "0 changed v2 => v2 v1", "shared", "0 changed v3 => v3 v2", "shared",
                               "0 rollback => v2 v3", "0 install v1 => v1 v3"}
                << "PipeClient::stopProgress: Installed";
        for (const char *swap : {"link", "copy", "nobody's"})
            QTest::addRow("the kept version replaced: %s", swap)
                    << twoVersions + QStringList{swap, "9 rollback => v2 foreign", "4 keep v3 => v3 foreign"}
                    << "keepPreviousVersion: Removing the previous version of $T/d";
        QTest::newRow("another install holds the destination") << twoVersions + QStringList{"lock", "6 rollback => v2 v1"}
                                                               << "rollBack: Refusing to roll back: another install into $T/d is running (process 4242)";
        // Each rename of a keeping install over a kept version (the probe's two, the swap, the kept
        // name taken, exchanged), the first removals, and a rollback's exchange.
        const QString any = "v1|v2|v3";
        for (const char *point : {"renameat2:1", "renameat2:3", "renameat:1", "renameat2:4", "renameat2:5", "unlinkat:1", "unlinkat:4"})
            QTest::addRow("SIGKILL at %s of keeping", point)
                    << twoVersions + QStringList{QStringLiteral("- kill %1 keep v3 => v2|v3 v1|v2").arg(point), "0 keep v3 => v3 " + any,
                                                 "0 rollback => " + any + " v3"}
                    << "rollBack: Swapping the kept version into $T/d";
        QTest::newRow("SIGKILL at the exchange of a rollback")
                << twoVersions + QStringList{"- kill renameat2:1 rollback => v1|v2 v1|v2", "0 rollback => v1|v2 v1|v2"}
                << "rollBack: Swapping the kept version into $T/d";
    }

    void keepPrevious()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, line);
        if (!steps.filter("nobody's").isEmpty() && (::geteuid() != 0 || !::getpwnam("nobody")))
            QSKIP("a kept version of another user's needs root and a user named nobody");
        QTemporaryDir tmp;
        const QString t = tmp.path(), d = t + "/d", kept = t + "/.d.ostrel-previous";
        // Three versions that share a file, byte for byte and to the nanosecond, and differ in the rest.
        QVERIFY(makeFile(t + "/v1/same", "in every version") && makeLink("same", t + "/v1/l"));
        for (const QString &version : {"v2", "v3"})
            QVERIFY(QProcess::execute("cp", {"-a", t + "/v1", t + '/' + version}) == 0);
        for (const QString &version : {"v1", "v2", "v3"})
            QVERIFY(makeFile(t + '/' + version + "/changes", version.toUtf8()) && makeFile(t + '/' + version + "/only/" + version, ""));
        // Hard-link counts aside: the kept version may share files.
        const auto tree = [](const QStringList &lines) { return QStringList(lines).replaceInStrings(QRegularExpression(" x\\d+$"), ""); };
        QHash<QString, QStringList> versions{{"-", {}}};
        for (const QString &version : {"v1", "v2", "v3"})
            versions[version] = tree(installedSnapshot(t + '/' + version));
        QStringList foreign;      // the foreign kept version as it was planted
        ino_t sharedInode = 0;
        int held = -1;
        const auto unlock = qScopeGuard([&] { held < 0 || ::close(held); });
        InstallRun run;
        for (const QString &step : steps) {
            const auto inode = [](const QString &path) {
                struct stat status;
                return ::lstat(QFile::encodeName(path), &status) == 0 && status.st_nlink == 2 ? status.st_ino : 0;
            };
            if (step == "shared") {
                QVERIFY2(inode(d + "/same") != 0 && inode(d + "/same") == inode(kept + "/version/same"), "not shared");
                QVERIFY(!sharedInode || sharedInode == inode(d + "/same")); // kept again, not written anew
                sharedInode = inode(d + "/same");
                continue;
            }
            if (!step.contains("=>")) {
                const bool changed = step == "lock" ? (held = ::open(installLockPath(d).constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) >= 0
                                                              && ::flock(held, LOCK_EX | LOCK_NB) == 0 && ::write(held, "4242\n", 5) == 5
                                   : step == "link" ? QDir().rename(kept, t + "/elsewhere") && makeLink(t + "/elsewhere", kept)
                                   : step == "copy" ? QDir().rename(kept, t + "/original") && QProcess::execute("cp", {"-a", t + "/original", kept}) == 0
                                                   : QProcess::execute("chown", {"-R", "nobody:", kept}) == 0;
                QVERIFY2(changed, qPrintable(step));
                foreign = snapshot(t).filter(QRegularExpression("^(\\.d\\.ostrel-previous|elsewhere)[/ ]"));
                continue;
            }
            const QStringList words = step.section(" => ", 0, 0).split(' '), expected = step.section(" => ", 1).split(' ');
            const bool killed = words[1] == "kill";
            const QStringList what = words.mid(killed ? 3 : 1);
            const QStringList arguments = what[0] == "rollback" ? QStringList{"--rollback", d}
                    : QStringList{t + '/' + what[1], d} + (what[0] == "install" ? QStringList() : QStringList{"--atomic", "--keep-previous"})
                      + (what[0] == "changed" ? QStringList{"--changed-only"} : QStringList());
            const auto check = [&](const QString &when) {
                const auto matches = [&](const QString &alternatives, const QString &root) {
                    if (alternatives == "foreign")
                        return snapshot(t).filter(QRegularExpression("^(\\.d\\.ostrel-previous|elsewhere)[/ ]")) == foreign;
                    for (const QString &version : alternatives.split('|'))
                        if (tree(snapshot(root)) == versions[version] && (version != "-" || !QFileInfo::exists(root)))
                            return true;
                    return false;
                };
                QVERIFY2(matches(expected[0], d), qPrintable(when + ": DESTINATION is none of " + expected[0] + "\n" + snapshot(d).join('\n')));
                QVERIFY2(matches(expected[1], kept + "/version"),
                         qPrintable(when + ": the kept version is none of " + expected[1] + "\n" + snapshot(kept).join('\n')));
            };
            if (killed) {
                InstallOptions options;
                options.wrapper = QStringList{"strace", "-f", "-qq", "-o", "/dev/null", "-etrace=" + words[2].section(':', 0, 0),
                                              QStringLiteral("-einject=%1:signal=KILL:when=%2").arg(words[2].section(':', 0, 0), words[2].section(':', 1))};
                const InstallRun first = runInstaller(arguments, options);
                QVERIFY2(first.crashed, qPrintable(step + ": not killed; " + first.problem(-1)));
                check(step);
                continue;
            }
            run = runInstaller(arguments);
            CHECK_RUN(run, words[0].toInt());
            check(step);
            // Nothing else beside DESTINATION: whatever a kill left is gone.
            QStringList beside = QDir(t).entryList({".d.ostrel-*"}, QDir::AllEntries | QDir::Hidden | QDir::System);
            beside.removeAll(".d.ostrel-previous");
            QVERIFY2(beside.isEmpty(), qPrintable(step + ": left beside: " + beside.join(' ')));
        }
        const QRegularExpression wanted(QRegularExpression::anchoredPattern(QRegularExpression::escape(line.replace("$T", t)).replace("\\*", "[0-9a-f]{16}")));
        QVERIFY2(!run.logged.filter(wanted).isEmpty(), qPrintable(run.logged.join('\n')));
    }

    // A package of 40 directories of 50 files, a secret directory beside it, and the conditions of
    // each row: a neighbour who swaps a directory for a link for as long as the install runs, mounts
    // (as root), a sparse file, the order of the sync and the done message, no standard error.
    // Nothing outside the destination may change or be read.
    void hostile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("exitCode"); // -1: 0 or 4
        for (const auto &[kind, exitCode] : {std::pair("source directory swapped for a link", -1),
                 {"source directories moved away and back, 64 descriptors", -1}, {"destination directory swapped for a link", -1},
                 {"destination bind-mounted on the source", 5}, {"source bind-mounted inside the destination", 4},
                 {"destination bind-mounted inside the source", 4}, {"a file system mounted in the destination", 4},
                 {"a destination out of inodes", 4}, {"atomic into a mount point", 8}, {"a sparse file", 0}, {"done after the sync", 0},
                 {"directories private while they fill", 0},
                 {"standard error closed", 0}})
            QTest::newRow(kind) << QString(kind) << exitCode;
    }

    void hostile()
    {
        QFETCH(QString, kind);
        QFETCH(int, exitCode);
        const bool mounts = kind.contains("mount") || kind.contains("inodes");
        if (mounts && ::geteuid() != 0)
            QSKIP("mounting needs root");
        QTemporaryDir tmp;
        const QString t = tmp.path(), s = t + "/s";
        QString d = t + "/d";
        for (int i = 0; i < 2000; ++i)
            QVERIFY(makeFile(QStringLiteral("%1/d%2/f%3").arg(s).arg(i / 50).arg(i), QByteArray::number(i)));
        QVERIFY(makeFile(t + "/secret/secret-file", "secret", 0600) && QDir(t).mkpath("outside") && QDir(t).mkpath("d"));
        QStringList mounted;
        auto mount = [&](const QStringList &arguments) { return QProcess::execute("mount", arguments) == 0 && (mounted << arguments.last(), true); };
        const auto unmount = qScopeGuard([&] { for (const QString &point : mounted) QProcess::execute("umount", {"-l", point}); });
        bool atomic = false;
        InstallOptions options;
        QProcess neighbour;
        if (kind.startsWith("source directory swapped")) // the neighbour's link points at the secret
            neighbour.start("sh", {"-c", "cd \"$0\" && while :; do mv d30 x; ln -s ../secret d30; rm d30; mv x d30; done", s});
        else if (kind.startsWith("source directories moved"))
            neighbour.start("sh", {"-c", "cd \"$0\" && while :; do for i in $(seq 10 39); do mv d$i x$i; done; "
                                         "for i in $(seq 10 39); do mv x$i d$i; done; done", s});
        else if (kind.startsWith("destination directory swapped"))
            neighbour.start("sh", {"-c", "cd \"$0\" && while :; do mv d30 x && ln -s ../outside d30 && rm d30 && mv x d30; done", d});
        else if (kind == "destination bind-mounted on the source")
            QVERIFY(mount({"--bind", s, d}));
        else if (kind == "source bind-mounted inside the destination")
            QVERIFY(QDir(d).mkpath("inner") && mount({"--bind", s, d + "/inner"}));
        else if (kind == "destination bind-mounted inside the source")
            QVERIFY(QDir(s).mkpath("inner") && mount({"--bind", d, s + "/inner"}));
        else if (kind == "a file system mounted in the destination")
            QVERIFY(QDir(d).mkpath("mnt") && mount({"-t", "tmpfs", "none", d + "/mnt"}) && makeFile(d + "/mnt/kept", "kept"));
        else if (kind == "a destination out of inodes")
            QVERIFY(QDir(t).mkpath("small") && mount({"-t", "tmpfs", "-o", "nr_inodes=40", "none", t + "/small"}) && (d = t + "/small/d", true));
        else if (kind == "atomic into a mount point")
            QVERIFY(mount({"-t", "tmpfs", "none", d}) && (atomic = true));
        else if (kind == "a sparse file") // 64 MiB with one byte of data in the middle
            QVERIFY(::truncate(QFile::encodeName(s + "/d0/f0"), 64 << 20) == 0 && makeFile(s + "/d0/f1", "x") && ::truncate(QFile::encodeName(s + "/d0/f1"), 64 << 20) == 0);
        else if (kind == "done after the sync")
            options.wrapper = {"strace", "-f", "-qq", "-s", "65536", "-o", t + "/trace", "-e", "trace=syncfs,sendto"};
        else if (kind == "directories private while they fill")
            options.wrapper = {"strace", "-f", "-qq", "-o", t + "/trace", "-e", "trace=mkdir,mkdirat"};
        else
            options.noStandardError = true;
        if (kind.endsWith("64 descriptors")) // directories are opened again when their turn comes, not kept open
            options.wrapper = {"prlimit", "--nofile=64"}, options.jobs = "1";
        const QStringList source = snapshot(s), outside = snapshot(t + "/outside") + snapshot(t + "/secret");
        const InstallRun run = runInstaller(QStringList{s, d} + (atomic ? QStringList{"--atomic"} : QStringList()), options);
        neighbour.kill();
        neighbour.waitForFinished();
        QVERIFY2(exitCode < 0 ? run.problem(0).isEmpty() || run.problem(4).isEmpty() : run.problem(exitCode).isEmpty(), qPrintable(run.problem(exitCode)));
        QCOMPARE(snapshot(t + "/outside") + snapshot(t + "/secret"), outside);
        QVERIFY(!snapshot(d).join('\n').contains("secret-file"));
        if (mounts && kind != "destination bind-mounted inside the source") // the source, also where it is mounted in the destination, is left alone
            QCOMPARE(snapshot(s), source);
        if (kind == "a file system mounted in the destination")
            QVERIFY(run.logged.contains("installPackage: Unable to remove " + d + "/mnt") && QFile::exists(d + "/mnt/kept"));
        if (kind == "destination bind-mounted inside the source")
            QVERIFY(run.logged.contains("recursiveCopy: Refusing to copy " + s + "/inner into itself"));
        if (kind == "a destination out of inodes")
            QVERIFY(!run.logged.filter("Unable to create directory").isEmpty() && run.messages.endsWith(".DONE_\n"));
        struct stat copy;
        if (kind == "a sparse file") // its holes stay holes
            QVERIFY(::stat(QFile::encodeName(d + "/d0/f1"), &copy) == 0 && copy.st_size == 64 << 20 && copy.st_blocks < 1024);
        if (kind == "done after the sync") {
            QFile trace(t + "/trace");
            QVERIFY(trace.open(QIODevice::ReadOnly));
            const QByteArray calls = trace.readAll();
            QVERIFY2(calls.indexOf("syncfs(") >= 0 && calls.indexOf("syncfs(") < calls.indexOf(".DONE_"), calls.right(300).constData());
        }
        if (kind == "directories private while they fill") { // and open as in the package once complete
            QFile trace(t + "/trace");
            QVERIFY(trace.open(QIODevice::ReadOnly));
            const QList<QByteArray> calls = trace.readAll().trimmed().split('\n');
            QVERIFY(calls.size() > 40);
            for (const QByteArray &call : calls) // DESTINATION's parents exist
                QVERIFY2(call.contains(", 0700)") || call.endsWith("EEXIST (File exists)"), call.constData());
            struct stat original;
            QVERIFY(::stat(QFile::encodeName(s + "/d0"), &original) == 0 && ::stat(QFile::encodeName(d + "/d0"), &copy) == 0);
            QCOMPARE(copy.st_mode, original.st_mode);
        }
        if (kind == "standard error closed") // and nothing else went to the updater
            QCOMPARE(run.messages, allMessages(2000));
    }

    void randomTrees_data()
    {
        QTest::addColumn<int>("features");
        QTest::addColumn<int>("trees");
        QTest::addColumn<int>("entries"); // per tree, beside the deep chains
        QTest::addColumn<int>("signal");  // 0: none
        QTest::addColumn<int>("percent"); // of the files put in place when the signal goes; -1: while clearing
        QTest::addColumn<QStringList>("options");
        const QStringList plain, atomic{"--atomic"}, changed{"--changed-only"}, both{"--atomic", "--changed-only"};
        QTest::newRow("modes, empty and hidden entries, FIFOs") << int(ModesAndSpecials) << 12 << 40 << 0 << 0 << plain;
        QTest::newRow("awkward names") << int(AwkwardNames) << 12 << 40 << 0 << 0 << plain;
        QTest::newRow("newlines in names") << int(NewlineNames) << 8 << 30 << 0 << 0 << plain;
        QTest::newRow("names that are not UTF-8") << int(NonUtf8Names) << 8 << 30 << 0 << 0 << plain;
        QTest::newRow("200 levels, paths of PATH_MAX") << int(DeepPaths) << 6 << 10 << 0 << 0 << plain;
        QTest::newRow("links inside and out") << int(Links) << 12 << 40 << 0 << 0 << plain;
        QTest::newRow("links to ancestors and /") << int(AncestorLinks) << 8 << 20 << 0 << 0 << plain;
        QTest::newRow("all of it at once") << int(EveryFeature) << 15 << 80 << 0 << 0 << plain;
        QTest::newRow("changed only, over an older version") << int(EveryFeature) << 8 << 80 << 0 << 0 << changed;
        QTest::newRow("atomic, changed only, over an older version") << int(EveryFeature) << 4 << 80 << 0 << 0 << both;
        QTest::newRow("SIGKILL on connecting, while the old version is removed") << int(ModesAndSpecials | Links) << 1 << 1500 << int(SIGKILL) << -1 << plain;
        QRandomGenerator rng(testSeed());
        for (const auto &[signal, name, count] : {std::tuple(SIGKILL, "SIGKILL", 6), std::tuple(SIGTERM, "SIGTERM", 1),
                                                  std::tuple(SIGINT, "SIGINT", 1)})
            for (int i = 1; i <= count; ++i) // well before the end, so that the signal finds the installer at work
                QTest::addRow("%s at random point %d", name, i) << int(ModesAndSpecials | Links) << 1 << 1500 << signal << rng.bounded(95) << plain;
        // Anywhere up to the swap, which comes after the last file: the old version stays whole.
        for (int i = 1; i <= 6; ++i)
            QTest::addRow("atomic, SIGKILL at random point %d", i) << int(ModesAndSpecials | Links) << 1 << 1500 << int(SIGKILL)
                                                                  << rng.bounded(1, 101) << atomic;
        for (int i = 1; i <= 4; ++i)
            QTest::addRow("changed only, SIGKILL at random point %d", i) << int(ModesAndSpecials | Links) << 1 << 1500 << int(SIGKILL)
                                                                        << rng.bounded(95) << (i % 2 ? changed : both);
    }

    // Each tree is installed, one with copy threads and the next without, into a destination deeper
    // than the source, and compared with what the install must give. With a signal, the tree and ten
    // files of 1 MiB go over an older version of it; after the signal the destination holds complete
    // files of either version only (an atomic install: exactly one version, whole), and a second run
    // installs the tree and leaves nothing else behind. A tree's seed is the run's seed plus its
    // index: OSTREL_SEED=<seed> repeats it first in every row.
    void randomTrees()
    {
        QFETCH(int, features);
        QFETCH(int, trees);
        QFETCH(int, entries);
        QFETCH(int, signal);
        QFETCH(int, percent);
        QFETCH(QStringList, options);
        const bool atomic = options.contains("--atomic"), changedOnly = options.contains("--changed-only");
        QTemporaryDir tmp;
        // An awkward place too, for the arguments, the log and the shell that counts files.
        const QString base = tmp.filePath("-x 'q' \"$(touch pwned)\" %1 caf\u00e9");
        // The destination is shallower than the source, or with a signal deeper: link texts must not care.
        const QString sourcePath = base + (signal ? "/s" : "/a/b/s"), destinationPath = base + (signal ? "/x/y/d" : "/d");
        const QByteArray s = QFile::encodeName(sourcePath), d = QFile::encodeName(destinationPath);
        const QStringList arguments = QStringList{sourcePath, destinationPath} + options;
        for (int i = 0; i < trees; ++i) {
            const quint32 seed = testSeed() + quint32(i);
            QByteArray error;
            QVERIFY2(QDir().mkpath(QFileInfo(sourcePath).path()) && QDir().mkpath(QFileInfo(destinationPath).path())
                     && makeRandomTree(seed, features, s, entries, &error), error.constData());
            // The older version: the first half of the same tree, so with the same names.
            QVERIFY2(!(signal || changedOnly) || makeRandomTree(seed, features, d, entries / 2, &error), error.constData());
            for (int large = 0; large < 10 && signal; ++large)
                QVERIFY(makeFile(QStringLiteral("%1/large%2").arg(sourcePath).arg(large), QByteArray(1 << 20, char('a' + large))));
            const QList<TreeEntry> source = readTree(s);
            const QStringList previous = snapshot(readTree(d), atomic), expected = snapshot(installedTree(source, s));
            const int files = int(std::count_if(source.cbegin(), source.cend(), [](const TreeEntry &e) { return e.type == 'f'; }));
            // The signal comes from strace, when a thread finishes its n-th file (removes its 20th
            // old entry, for -1), so that it finds the installer at work however fast it is. With two
            // copy threads beside the reporter, the busiest of the three puts a third of them in place.
            InstallOptions interrupted;
            interrupted.jobs = (i + percent) % 2 ? "1" : "2";
            const char *step = percent < 0 ? "unlinkat" : "utimensat"; // a file's times are set once it is whole
            const int n = percent < 0 ? 20 : qMax(1, files * percent / (interrupted.jobs == "1" ? 100 : 300));
            interrupted.wrapper = QStringList{"strace", "-f", "-qq", "-o", "/dev/null", QStringLiteral("-etrace=%1").arg(step),
                                              QStringLiteral("-einject=%1:signal=%2:when=%3").arg(step).arg(signal).arg(n)};
            const InstallRun first = signal ? runInstaller(arguments, interrupted) : InstallRun();
            QVERIFY2(!signal || (first.crashed && !first.messages.contains(".DONE_") && first.trouble.isEmpty()), qPrintable(first.problem(-1)));
            const QStringList partial = snapshot(installedTree(source, s), false);
            QStringList incomplete = snapshot(readTree(d), atomic);
            if (atomic && (incomplete == previous || incomplete == expected))
                incomplete.clear();
            // An update in place may also leave a whole new file under the name it had on its way in.
            incomplete.removeIf([&](const QString &line) {
                return !signal || (!atomic && (partial.contains(line) || previous.contains(line)))
                       || (changedOnly && line.contains(QRegularExpression("(^|/)\\.ostrel-partial-[^/ ]+ f ")));
            });
            QVERIFY2(incomplete.isEmpty(), qPrintable("after the signal, in neither version:\n" + incomplete.mid(0, 20).join('\n')));
            InstallOptions again;
            again.jobs = interrupted.jobs;
            const InstallRun run = runInstaller(arguments, again);
            const QString failure = run.problem(0) + (run.messages == allMessages(files) ? "" : "\nmessages: " + run.messages.right(100))
                                    + treeDifference(expected, snapshot(readTree(d)))
                                    + treeDifference(snapshot(source), snapshot(readTree(s))) // the source is left as it was
                                    + treeDifference({}, QDir(QFileInfo(destinationPath).path()).entryList({".*ostrel*"}, QDir::AllEntries
                                                                                          | QDir::Hidden | QDir::System)); // no staging area left
            if (!failure.isEmpty()) // whole, as QVERIFY2 cuts it short
                qInfo().noquote() << "the tree of seed" << seed << "failed:" << failure;
            QVERIFY2(failure.isEmpty() && QProcess::execute("rm", {"-rf", "--", base}) == 0, "see above");
        }
    }
};

QTEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer.moc"
