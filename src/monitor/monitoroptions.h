#pragma once

#include "protocol.h"

#include <QString>
#include <QStringList>

// The command line: ostrel-monitor [options] [-- COMMAND ARGS...]
// Everything after the first "--" is the command, taken verbatim.
struct MonitorOptions
{
    QString serverName = QLatin1String(ostrel::protocol::serverName);
    double timeoutSeconds = 30; // 0: wait for the start message for ever
    QString logFile;            // empty: the command's output goes to standard error
    bool json = false;
    // Without --json: the bar on a terminal, plain lines elsewhere, unless
    // --bar or --plain says which.
    enum class View { ByTerminal, Bar, Plain };
    View view = View::ByTerminal;
    bool help = false;
    bool version = false;
    QStringList command;        // empty: only listen
};

struct ParsedOptions
{
    MonitorOptions options;
    QString error; // non-empty when the command line is unusable
};

// `arguments` includes the program name, as QCoreApplication::arguments() does.
ParsedOptions parseMonitorOptions(const QStringList &arguments);

QString monitorUsage();
