#include "installer.h"

#include <QDir>
#include <QFile>

#include <csignal>

// ostrel-installer SOURCE DESTINATION
// Further arguments are ignored. Exit statuses: see ExitStatus.
int main(int argc, char **argv)
{
    if (argc < 3)
        return ExitUsage;
    // The updater may close its end at any moment; that must not kill us.
    std::signal(SIGPIPE, SIG_IGN);

    const QString source = QDir(QFile::decodeName(argv[1])).absolutePath();
    const QString destination = QDir(QFile::decodeName(argv[2])).absolutePath();
    installPackage(source, destination);
    return installStatus();
}
