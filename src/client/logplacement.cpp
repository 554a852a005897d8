#include "logplacement.h"

#include <QDir>
#include <QFileInfo>

namespace Ostrel {

namespace {

bool isBelow(const QString &path, const QString &directory)
{
    return !path.isEmpty() && !directory.isEmpty()
           && path.startsWith(directory == QLatin1String("/") ? directory : directory + u'/');
}

} // namespace

QString logInsideDestination(const QString &log, const QString &destination)
{
    const QString logPath = QDir::cleanPath(QFileInfo(log).absoluteFilePath());
    const QString directory = QDir::cleanPath(QFileInfo(destination).absoluteFilePath());
    // The log's directory resolved (the file itself may not exist yet).
    const QString logDirectory = QFileInfo(QFileInfo(logPath).absolutePath()).canonicalFilePath();
    const QString resolvedDirectory = QFileInfo(directory).canonicalFilePath();
    const bool inside = isBelow(logPath, directory)
                        || (!logDirectory.isEmpty() && !resolvedDirectory.isEmpty()
                            && (logDirectory == resolvedDirectory || isBelow(logDirectory, resolvedDirectory)));
    if (!inside)
        return QString();
    return QStringLiteral("the log file %1 is inside DESTINATION %2, which the install empties").arg(log, destination);
}

QString installerDestination(const QStringList &command)
{
    if (command.isEmpty() || QFileInfo(command.first()).fileName() != QLatin1String("ostrel-installer"))
        return QString();
    const QStringList arguments = command.mid(1);
    if (arguments.size() == 2)
        return arguments[1];
    QStringList paths;
    bool options = true;
    for (const QString &argument : arguments) {
        if (options && argument == QLatin1String("--"))
            options = false;
        else if (!options || !argument.startsWith(QLatin1String("--")))
            paths << argument;
    }
    return paths.value(1);
}

} // namespace Ostrel
