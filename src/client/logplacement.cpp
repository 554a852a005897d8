#include "logplacement.h"

#include "installerarguments.h"
#include "nativename.h"

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
    QList<QByteArray> arguments;
    for (const QString &argument : command.mid(1))
        arguments.append(encodeFileName(argument));
    const InstallerArguments parsed = parseInstallerArguments(arguments);
    return parsed.refusal.isEmpty() ? decodeFileName(parsed.destination) : QString();
}

} // namespace Ostrel
