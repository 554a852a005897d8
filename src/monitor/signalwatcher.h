#pragma once

#include <QObject>
#include <QSocketNotifier>

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal delivered by the event
// loop, through a pipe written from the handler (the only safe thing a
// handler can do), so that the monitor can remove its socket file and stop
// its command before it exits. Also ignores SIGPIPE: a reader of standard
// output going away must not kill the monitor before it cleans up.
// One instance per process.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

signals:
    void received(int signal);

private:
    void readPipe();

    QSocketNotifier *notifier = nullptr;
};
