// ostrel-monitor: stands in for the updater's end of the progress socket,
// optionally starts the installer, and shows how the install is going.
#include "fdwrite.h"
#include "monitoroptions.h"
#include "monitorsession.h"
#include "nativename.h"
#include "signalwatcher.h"

#include <QCoreApplication>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    // The arguments as they are: Qt's own decoding would drop a leading
    // byte-order mark and replace bytes that are not UTF-8, and the command's
    // arguments (a destination, say) must reach it byte for byte.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << decodeFileName(QByteArray(argv[i]));
    const ParsedOptions parsed = parseMonitorOptions(arguments);
    if (!parsed.error.isEmpty()) {
        writeAll(STDERR_FILENO, QStringLiteral("ostrel-monitor: %1\nTry 'ostrel-monitor --help'.\n")
                                        .arg(parsed.error)
                                        .toLocal8Bit());
        return ExitUsage;
    }
    if (parsed.options.help || parsed.options.version) {
        const QByteArray text = parsed.options.help ? monitorUsage().toLocal8Bit()
                                                    : QByteArray("ostrel-monitor " OSTREL_VERSION "\n");
        if (writeAll(STDOUT_FILENO, text))
            return ExitSuccess;
        writeAll(STDERR_FILENO, QStringLiteral("ostrel-monitor: cannot write standard output: %1\n")
                                        .arg(QString::fromLocal8Bit(std::strerror(errno)))
                                        .toLocal8Bit());
        return ExitOutputFailed;
    }

    SignalWatcher signalWatcher;
    MonitorSession session(parsed.options);
    QObject::connect(&signalWatcher, &SignalWatcher::received, &session, &MonitorSession::interrupt);
    QObject::connect(&session, &MonitorSession::finished, &app, &QCoreApplication::exit);
    // Started from the event loop, so that a run ending at once can quit it.
    QTimer::singleShot(0, &session, &MonitorSession::start);
    return app.exec();
}
