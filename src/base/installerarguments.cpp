#include "installerarguments.h"

InstallerArguments parseInstallerArguments(const QList<QByteArray> &arguments)
{
    InstallerArguments parsed;
    QList<QByteArray> paths;
    bool options = arguments.size() > 2;
    for (const QByteArray &argument : arguments) {
        if (options && argument == "--")
            options = false;
        else if (options && argument == "--atomic")
            parsed.atomic = true;
        else if (options && argument == "--changed-only")
            parsed.changedOnly = true;
        else if (options && argument.startsWith("--"))
            return parsed.refusal = "unknown option " + argument, parsed;
        else
            paths.append(argument);
    }
    if (paths.size() < 2)
        return parsed.refusal = "SOURCE and DESTINATION are needed", parsed;
    parsed.source = paths[0];
    parsed.destination = paths[1];
    return parsed;
}
