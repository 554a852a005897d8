// ostrel-installer SOURCE DESTINATION
// The process entry point; the install itself is in main.cpp (see there why
// the two are apart). Further arguments are ignored. Exit statuses: ExitStatus.

#include "installer.h"

#include <QByteArray>
#include <QList>

#include <csignal>
#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The argument as an absolute, clean path: no ".", ".." or repeated "/",
// links left as they are, like a shell's cd reads it; an empty argument
// stands for the working directory. Bytes are kept exactly.
NativePath absoluteCleanPath(const char *argument)
{
    QByteArray path(argument);
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

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return ExitUsage;
    // The updater may close its end at any moment; that must not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    raiseOpenFileLimit();

    return runInstall(absoluteCleanPath(argv[1]), absoluteCleanPath(argv[2]));
}
