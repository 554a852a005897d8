#pragma once

// What the monitor and the client learn from the installer's diagnostic
// lines as they pass on their way to a log:
// - the phase of the install, and the file being copied once it takes long;
// - the message of the last line, and of the first that reports a failure
//   (with the cause the installer gives on the next line), so that a failed
//   run can say why in the installer's own words.
// The lines' form and their fixed texts are the installer's contract
// (src/log/log.h); bytes in any other form are passed over.

#include "ostrel/installerclient.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class InstallerLines : public QObject
{
    Q_OBJECT

public:
    using Phase = Ostrel::InstallerClient::Phase;

    explicit InstallerLines(QObject *parent = nullptr);

    // The installer's standard error, as it comes.
    void feed(QByteArrayView bytes);
    // The start message has arrived: the copy begins.
    void copyStarted();

    Phase phase() const { return current; }
    QString lastMessage() const { return last; }
    QString firstFailure() const { return failure; }
    // "<what the installer said> (installer status N: <its meaning>)" for a
    // status other than 0; for status 4 what it said is its first failure.
    // Empty when it said nothing in its own form or N is none of its own.
    QString reason(int status) const;

Q_SIGNALS:
    void phaseChanged(InstallerLines::Phase phase);
    // The phase has lasted a second without a change, or while copying, one
    // file has (`file` is its path inside the package; empty for a phase).
    // Once for each.
    void lasting(InstallerLines::Phase phase, const QString &file);

private:
    void line(QByteArrayView text);
    void enter(Phase phase);
    void tick();

    QByteArray partial; // an unfinished line, bounded
    QString last;
    QString failure;
    bool causeMayFollow = false;

    Phase current = Phase::Starting;
    bool startArrived = false; // before the line that begins the clearing
    QList<Phase> held;         // read before the start message
    QString source;      // as the installer names it, "" until it does
    QString destination;
    QString file;        // the last one the installer began to copy
    // Lasting is seen by counting changes rather than by reading the clock
    // on each of many lines: a tick that finds none since the last one adds
    // to the quiet ticks.
    quint64 changes = 0;
    quint64 changesSeen = 0;
    int quietTicks = 0;
    QTimer ticker;
};
