#pragma once

// The installer's one diagnostic statement, and the contract its lines keep.
//
// LOG(message) writes exactly one line to standard error:
//   "<local time> [<file>:<line>] <function signature> <message>" 
// that is a double quote, the local time as Qt::TextDate renders it, the
// source file's bare name and the statement's line in brackets, the
// enclosing function's signature, the message, a double quote, a space and a
// line feed. The message is finished text: nothing in it is escaped or
// scanned for place markers, and file names in it come out byte for byte.
// Lines are written whole, so concurrent writers never split them, and they
// bypass Qt's logging filters: no logging rule can silence them. By default
// each line is written at once; with batching on, lines are queued and
// written together by flushLog() (or once 32 KiB are queued): the bytes are
// the same, in fewer system calls.
//
// Updaters' log readers match on these lines, so what they carry is fixed:
// - the file name: every line of the install procedure and its steps comes
//   from main.cpp, every line of the updater connection from pipeclient.cpp;
// - the function text, which is the compiler's __PRETTY_FUNCTION__ (the
//   project is built with clang, whose rendering the readers expect):
//     main.cpp        bool execute(const QString &)
//                     void writeFileOrExit(const QString &, const QByteArray &)
//                     void recursiveCopy(const QString, const QString, PipeClient *, QMap<QString, QString> &)
//                     void createLinks(QMap<QString, QString>)
//                     void installPackage(const QString &, const QString &)
//                     void keepPreviousVersion(const QString &)
//                     ExitStatus rollBack(const NativePath &, OutputFlusher &)
//                     bool findKeptVersion(Staging &, const QString &, const QString &)
//     pipeclient.cpp  bool PipeClient::connect(const QString &)
//                     void PipeClient::startProgress(int)
//                     void PipeClient::progress(int)
//                     void PipeClient::stopProgress()
//                     void PipeClient::onPipeError(QLocalSocket::LocalSocketError)
// So these functions keep exactly these signatures: the by-value
// `const QString` parameters of recursiveCopy, `QMap<QString, QString>`
// spelled out rather than through an alias (clang prints an alias's name),
// no namespace around them, and no LOG of theirs moved to another file.
// The tests check the file and the function text of every line they read.
// A failure with a known cause is followed by a line "Cause: <the system's
// error text>" from the same function.

#include <QString>

#define LOG(message) ::ostrel::writeLogLine(__FILE__, __LINE__, __PRETTY_FUNCTION__, (message))

namespace ostrel {

// Formats and writes one line; `file` may be a full path, only its last
// component is printed. Failures to write to standard error are ignored:
// there is nowhere left to report them.
void writeLogLine(const char *file, int line, const char *function, const QString &message);

// Turns batching on or off; what is queued is written first.
void batchLogLines(bool on);

// Writes every queued line now. Safe from any thread.
void flushLog();

} // namespace ostrel
