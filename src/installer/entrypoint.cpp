// ostrel-installer [--atomic [--keep-previous]] [--changed-only] SOURCE DESTINATION
// ostrel-installer --rollback DESTINATION
// The process entry point; the install itself is in main.cpp (see there why
// the two are apart). Exit statuses: ExitStatus. `--version` or `--help` as
// the only argument prints to standard output.

#include "fdwrite.h"
#include "installerarguments.h"
#include "installer.h"
#include "outputflusher.h"

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The argument as an absolute, clean path: no ".", ".." or repeated "/",
// links left as they are, like a shell's cd reads it. Bytes are kept
// exactly.
NativePath absoluteCleanPath(const QByteArray &argument)
{
    QByteArray path = argument;
    if (!path.startsWith('/')) {
        char *workingDirectory = ::getcwd(nullptr, 0);
        path = QByteArray(workingDirectory ? workingDirectory : "/") + '/' + path;
        std::free(workingDirectory);
    }
    QList<QByteArray> components;
    for (const QByteArray &component : path.split('/')) {
        if (component == "..") {
            if (!components.isEmpty())
                components.removeLast();
        } else if (!component.isEmpty() && component != ".") {
            components.append(component);
        }
    }
    return NativePath::fromNative('/' + components.join('/'));
}

// Standard input, output or error closed by the caller would be taken by
// the next descriptor we open (the updater's socket, say), and our lines
// would go there.
void openStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) { // a lower one was open after all
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

// A deep tree keeps a directory descriptor open per level; allow as many as
// the system lets us.
void raiseOpenFileLimit()
{
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

const char usageText[] =
        "Usage: ostrel-installer [--atomic [--keep-previous]] [--changed-only] [--] SOURCE DESTINATION\n"
        "       ostrel-installer --rollback DESTINATION\n"
        "Installs the directory tree SOURCE into DESTINATION, reporting progress to the\n"
        "updater listening on the local socket OstrelUpdater (under $TMPDIR or /tmp).\n"
        "DESTINATION is emptied first; with --atomic the new version is built beside it\n"
        "and replaces it in one step. With --changed-only the files of DESTINATION that\n"
        "are unchanged (same size, modification time and mode, one link, yours) are kept\n"
        "and only the rest is written. With --keep-previous the previous version is kept\n"
        "beside DESTINATION (replacing the one kept before), and --rollback exchanges\n"
        "DESTINATION with it in one step. Every step is logged to standard error.\n"
        "\n"
        "Exit status: 0 installed, 1 SOURCE not a directory, 2 SOURCE missing,\n"
        "3 no updater, 4 something failed (logged), 5 paths overlap, 6 another install\n"
        "running, 7 atomic install abandoned, 8 cannot swap atomically, 9 nothing kept\n"
        "to roll back to, 255 usage.\n"
        "See ostrel-installer(1).\n";

} // namespace

int main(int argc, char **argv)
{
    // Only as the sole argument: with two or more, every argument is a path
    // or an option after the paths, whatever it looks like.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return writeAll(STDOUT_FILENO, "ostrel-installer " OSTREL_VERSION "\n") ? 0 : ExitBadArguments;
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return writeAll(STDOUT_FILENO, usageText) ? 0 : ExitBadArguments;
    if (argc < 3)
        return ExitBadArguments;
    QList<QByteArray> given;
    for (int i = 1; i < argc; ++i)
        given.append(argv[i]);
    const InstallerArguments arguments = parseInstallerArguments(given);
    if (!arguments.refusal.isEmpty()) {
        writeAll(STDERR_FILENO, "ostrel-installer: " + arguments.refusal + " (see ostrel-installer --help)\n");
        return ExitBadArguments;
    }
    // An empty argument is most likely an unset variable in the caller's
    // command line: never take it for the working directory.
    if ((arguments.source.isEmpty() && !arguments.rollback) || arguments.destination.isEmpty())
        return ExitBadArguments;
    openStandardDescriptors();
    // The updater may close its end at any moment; that must not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    // Nor may a file-size limit: the write fails and is reported instead.
    std::signal(SIGXFSZ, SIG_IGN);
    raiseOpenFileLimit();

    OutputFlusher output;
    if (arguments.rollback)
        return rollBack(absoluteCleanPath(arguments.destination), output);
    InstallMode mode;
    mode.atomic = arguments.atomic;
    mode.changedOnly = arguments.changedOnly;
    mode.keepPrevious = arguments.keepPrevious;
    return runInstall(absoluteCleanPath(arguments.source), absoluteCleanPath(arguments.destination), mode, output);
}
