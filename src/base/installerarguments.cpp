#include "installerarguments.h"

InstallerArguments parseInstallerArguments(const QList<QByteArray> &arguments)
{
    InstallerArguments parsed;
    QList<QByteArray> paths;
    bool options = arguments.size() > 2 || (arguments.size() == 2 && arguments[0] == "--rollback");
    for (const QByteArray &argument : arguments) {
        if (options && argument == "--")
            options = false;
        else if (options && argument == "--atomic")
            parsed.atomic = true;
        else if (options && argument == "--changed-only")
            parsed.changedOnly = true;
        else if (options && argument == "--keep-previous")
            parsed.keepPrevious = true;
        else if (options && argument == "--rollback")
            parsed.rollback = true;
        else if (options && argument.startsWith("--"))
            return parsed.refusal = "unknown option " + argument, parsed;
        else
            paths.append(argument);
    }
    if (parsed.rollback) {
        if (parsed.atomic || parsed.changedOnly || parsed.keepPrevious)
            return parsed.refusal = "--rollback takes no other option", parsed;
        if (paths.size() != 1)
            return parsed.refusal = "--rollback takes DESTINATION alone", parsed;
        parsed.destination = paths[0];
        return parsed;
    }
    if (paths.size() < 2)
        return parsed.refusal = "SOURCE and DESTINATION are needed", parsed;
    if (parsed.keepPrevious && !parsed.atomic)
        return parsed.refusal = "--keep-previous needs --atomic", parsed;
    parsed.source = paths[0];
    parsed.destination = paths[1];
    return parsed;
}
