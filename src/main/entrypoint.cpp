#include "installer.h"
#include "nativename.h"

#include <QDir>

#include <csignal>
#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The argument as an absolute, clean path (no ".", ".." or repeated "/";
// links left as they are); an empty argument stands for the working
// directory. Bytes are kept exactly, whatever their encoding.
QString absoluteCleanPath(const char *argument)
{
    QString path = decodeFileName(QByteArray(argument));
    if (!path.startsWith(QLatin1Char('/'))) {
        char *workingDirectory = ::getcwd(nullptr, 0);
        path = decodeFileName(QByteArray(workingDirectory ? workingDirectory : "/")) + QLatin1Char('/') + path;
        std::free(workingDirectory);
    }
    return QDir::cleanPath(path);
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

// ostrel-installer SOURCE DESTINATION
// Further arguments are ignored. Exit statuses: see ExitStatus.
int main(int argc, char **argv)
{
    if (argc < 3)
        return ExitUsage;
    // The updater may close its end at any moment; that must not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    raiseOpenFileLimit();

    const QString source = absoluteCleanPath(argv[1]);
    const QString destination = absoluteCleanPath(argv[2]);
    installPackage(source, destination);
    return installStatus();
}
