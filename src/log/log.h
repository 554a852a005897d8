#pragma once

#include <QString>

// The one diagnostic statement of the installer.
//
// LOG(message) writes exactly one line to standard error:
//   "<local time> [<file>:<line>] <function signature> <message>" 
// i.e. a double quote, the filled line, a double quote, a space and a line
// feed. The message is taken as finished text: nothing in it is escaped or
// scanned for place markers. The line is written with a single write() so
// concurrent writers never split it, and it bypasses Qt's logging filters:
// no logging rule or configuration file can silence it.
//
// The function signature is the compiler's __PRETTY_FUNCTION__. The project
// is built with clang, whose rendering ("const QString &", "PipeClient *")
// is the one the updater's log readers expect.
#define LOG(message) ::ostrel::writeLogLine(__FILE__, __LINE__, __PRETTY_FUNCTION__, (message))

namespace ostrel {

// Formats and writes one line; `file` may be a full path, only its last
// component is printed. Failures to write to standard error are ignored:
// there is nowhere left to report them.
void writeLogLine(const char *file, int line, const char *function, const QString &message);

} // namespace ostrel
