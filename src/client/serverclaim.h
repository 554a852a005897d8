#pragma once

#include <QLocalServer>
#include <QString>

namespace Ostrel {

// Makes `server` listen under `name` (a bare name resolved in QDir::tempPath(),
// as QLocalSocket resolves it, or a full path) without ever taking the name
// from a live owner:
//  - nothing there: listen;
//  - a socket file that accepts a connection: someone is listening, refuse;
//  - a socket file that refuses connections: left by a process that died,
//    remove it and listen;
//  - any other kind of file: refuse, it is not ours to delete.
// A bare name with TMPDIR (or /tmp, without it) not a directory is refused.
// The probe connection is closed without a byte sent; a monitor on the other
// end takes such a connection for a probe and keeps waiting.
struct ServerClaim
{
    enum class Status { Listening, Busy, Failed };
    Status status = Status::Failed;
    bool removedStaleSocket = false;
    QString message; // why it is not listening
};

ServerClaim claimServerName(QLocalServer &server, const QString &name);

} // namespace Ostrel
