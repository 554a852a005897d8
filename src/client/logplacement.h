#pragma once

// A log file inside DESTINATION would be removed when the install empties
// DESTINATION, and the rest of the log lost with it: the client and the
// monitor refuse such a log with this reason.

#include <QString>
#include <QStringList>

namespace Ostrel {

// Why the log file `log` cannot be used for an install into `destination`,
// or an empty text. Both are compared as absolute clean paths and, where
// they exist, with their links resolved.
QString logInsideDestination(const QString &log, const QString &destination);

// DESTINATION of an `ostrel-installer` command line, read as the installer
// reads it (see its manual page); empty when `command` is not the
// installer's or names no destination.
QString installerDestination(const QStringList &command);

} // namespace Ostrel
