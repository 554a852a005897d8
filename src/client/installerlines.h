#pragma once

// What the monitor learns from the installer's diagnostic lines as they pass
// on their way to the log: the message of the last one, and of the first
// that reports a failure (with the cause the installer gives on the next
// line), so that a failed run can say why in the installer's own words. The lines' form and their fixed texts are the
// installer's contract (src/log/log.h); bytes in any other form are passed
// over.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

class InstallerLines
{
public:
    void feed(QByteArrayView bytes);
    QString lastMessage() const { return last; }
    QString firstFailure() const { return failure; }

private:
    void line(QByteArrayView text);

    QByteArray partial; // an unfinished line, bounded
    QString last;
    QString failure;
    bool causeMayFollow = false;
};
