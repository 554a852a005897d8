#include "monitoroptions.h"

#include "logplacement.h"

#include <QCommandLineParser>

#include <cmath>

QString monitorUsage()
{
    return QStringLiteral(
            "Usage: ostrel-monitor [options] [-- COMMAND [ARGS...]]\n"
            "Listens for an installer's progress messages and shows them. With a command\n"
            "(normally: ostrel-installer SOURCE DESTINATION) it starts it once listening.\n"
            "\n"
            "  --name NAME        local socket name or full path (default OstrelUpdater,\n"
            "                     which lives in $TMPDIR or /tmp)\n"
            "  --timeout SECONDS  give up, stopping the command, when no installer has\n"
            "                     connected in time (default 30, 0: never); a connected\n"
            "                     one is never stopped on a timer\n"
            "  --log FILE         write the command's output to FILE, not standard error\n"
            "  --json             one JSON object per event on standard output\n"
            "  --bar              a progress bar, redrawn in place, even when standard\n"
            "                     output is not a terminal\n"
            "  --plain            a line per tenth of the progress, even on a terminal\n"
            "  -h, --help         show this text\n"
            "  --version          show the version\n"
            "\n"
            "Exit status: 0 done, 1 set-up failed, 2 usage, 3 name in use, 4 no installer,\n"
            "5 closed before done, 6 protocol error, 7 command failed, 8 output not\n"
            "written, 128+N signal N.\n");
}

ParsedOptions parseMonitorOptions(const QStringList &arguments)
{
    ParsedOptions parsed;
    MonitorOptions &options = parsed.options;

    QStringList ownArguments = arguments;
    const qsizetype separator = arguments.indexOf(QStringLiteral("--"));
    if (separator >= 0) {
        ownArguments = arguments.first(separator);
        options.command = arguments.mid(separator + 1);
        if (options.command.isEmpty()) {
            parsed.error = QStringLiteral("no command after --");
            return parsed;
        }
    }

    QCommandLineParser parser;
    const QCommandLineOption name(QStringLiteral("name"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("SECONDS"));
    const QCommandLineOption log(QStringLiteral("log"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption bar(QStringLiteral("bar"));
    const QCommandLineOption plain(QStringLiteral("plain"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({name, timeout, log, json, bar, plain, help, version});
    if (!parser.parse(ownArguments)) {
        parsed.error = parser.errorText();
        return parsed;
    }
    if (!parser.positionalArguments().isEmpty()) {
        parsed.error = QStringLiteral("unexpected argument %1 (the command goes after --)")
                               .arg(parser.positionalArguments().first());
        return parsed;
    }

    options.help = parser.isSet(help);
    options.version = parser.isSet(version);
    options.json = parser.isSet(json);
    options.view = parser.isSet(bar) ? MonitorOptions::View::Bar : parser.isSet(plain) ? MonitorOptions::View::Plain
                                                                                     : MonitorOptions::View::ByTerminal;
    if (int(parser.isSet(json)) + int(parser.isSet(bar)) + int(parser.isSet(plain)) > 1) {
        parsed.error = QStringLiteral("--json, --bar and --plain each choose the view: give one");
        return parsed;
    }
    if (parser.isSet(name))
        options.serverName = parser.value(name);
    if (options.serverName.isEmpty()) {
        parsed.error = QStringLiteral("--name must not be empty");
        return parsed;
    }
    // The command gets TMPDIR set to the socket's directory, where the
    // installer looks for its fixed name: any other name it would never find.
    const QString serverName = QLatin1String(ostrel::protocol::serverName);
    if (!options.command.isEmpty() && options.serverName.section(u'/', -1) != serverName) {
        parsed.error = QStringLiteral("with a command, --name must be %1 or end in /%1: the installer looks for that name "
                                      "in the directory TMPDIR names, got %2").arg(serverName, options.serverName);
        return parsed;
    }
    options.logFile = parser.value(log);
    if (!options.logFile.isEmpty()) {
        const QString destination = Ostrel::installerDestination(options.command);
        if (const QString why = destination.isEmpty() ? QString() : Ostrel::logInsideDestination(options.logFile, destination);
            !why.isEmpty()) {
            parsed.error = why;
            return parsed;
        }
    }
    if (parser.isSet(timeout)) {
        bool ok = false;
        options.timeoutSeconds = parser.value(timeout).toDouble(&ok);
        if (!ok || !std::isfinite(options.timeoutSeconds) || options.timeoutSeconds < 0) {
            parsed.error = QStringLiteral("--timeout needs a number of seconds, got %1").arg(parser.value(timeout));
            return parsed;
        }
    }
    return parsed;
}
