#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

namespace Ostrel {

// Strict reader of the installer's progress stream:
//   ".START_<n>\n", ".PROGRESS_<n>\n", ".DONE_\n"
// where <n> is a canonical signed 32-bit decimal (optional '-', no '+', no
// leading zeros, no spaces) and every line ends with a bare line feed.
//
// Feed it the bytes as they arrive, in chunks of any size; it returns the
// complete messages found so far and, at the first malformed byte sequence,
// an error saying what was wrong and where. After an error it reports nothing
// more. Any byte after ".DONE_\n" is an error, reported as soon as it
// arrives. A line is never buffered beyond maxLineLength bytes, so a sender
// that never ends a line cannot make it grow without bound.
struct ProgressMessage
{
    enum class Kind { Start, Progress, Done };
    Kind kind;
    int number = 0; // 0 for Done

    bool operator==(const ProgressMessage &other) const
    {
        return kind == other.kind && number == other.number;
    }
};

struct ProtocolError
{
    qint64 line = 0;      // 1-based line number in the stream
    qint64 offset = 0;    // byte offset of that line's first byte
    QString problem;      // e.g. "unknown message"
    QByteArray bytes;     // the offending line (capped), without its line feed; for
                          // data after DONE, as much of it as had arrived

    // "line 2 (byte offset 9): unknown message \".STRAT_5\""
    QString toString() const;
};

struct ParseResult
{
    QList<ProgressMessage> messages;
    std::optional<ProtocolError> error;
};

class ProgressParser
{
public:
    // The longest valid line, ".PROGRESS_-2147483648", is 21 bytes; anything
    // much longer is garbage, not a message still on its way.
    static constexpr qsizetype maxLineLength = 64;

    ParseResult feed(QByteArrayView chunk);

    // True while the bytes of an unfinished line are held back.
    bool hasPartialLine() const { return !partial.isEmpty(); }

private:
    std::optional<ProtocolError> takeLine(QList<ProgressMessage> &messages);
    ProtocolError errorAtLine(const QString &problem, const QByteArray &bytes) const;

    QByteArray partial;
    qint64 lineNumber = 1;
    qint64 lineOffset = 0;
    bool doneSeen = false;
    bool failed = false;
};

// Bytes as printable ASCII inside double quotes: \n, \r, \t, \\, \" and \xNN
// for everything else, so any received garbage can be shown on one line.
QString quotedBytes(QByteArrayView bytes);

} // namespace Ostrel
