// libFuzzer target for the monitor's progress stream reader.
//
// The input's first byte chooses how the rest is cut into chunks; the rest is
// the stream. It is read whole, in those chunks and one byte at a time, and
// whatever the bytes, the reader must
//   - read it the same way however it is cut,
//   - return only messages that write back to the very bytes they came from,
//     and every complete line up to the first error,
//   - fail only on a line that really is malformed, naming it exactly,
//   - report nothing more once it has failed,
//   - hold back nothing but the unfinished last line, and fail rather than
//     hold more than maxLineLength bytes of it.
// A broken rule stops the run with a trap, which libFuzzer records as a crash.

#include "progressparser.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

#define CHECK(condition)                                                                        \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #condition);        \
            __builtin_trap();                                                                   \
        }                                                                                       \
    } while (0)

namespace {

constexpr qsizetype maxLine = ProgressParser::maxLineLength;

const QByteArray startKeyword = QByteArrayLiteral(".START_");
const QByteArray progressKeyword = QByteArrayLiteral(".PROGRESS_");
const QByteArray doneLine = QByteArrayLiteral(".DONE_");

struct Reading
{
    QList<ProgressMessage> messages;
    std::optional<ProtocolError> error;

    bool endsWithDone() const
    {
        return !messages.isEmpty() && messages.last().kind == ProgressMessage::Kind::Done;
    }
};

// Chunk lengths adding up to `total`, drawn from `seed`. Short chunks cut
// inside keywords and numbers; long ones span several lines and the line
// length limit. Zero lengths feed empty chunks, which must change nothing.
QList<qsizetype> fuzzedLengths(std::uint8_t seed, qsizetype total)
{
    std::uint32_t state = 0x9e3779b9u ^ seed; // xorshift32: never 0
    QList<qsizetype> lengths;
    for (qsizetype left = total; left > 0;) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const qsizetype range = (state & 1) ? 8 : 2 * maxLine + 2;
        const qsizetype length = qMin(qsizetype(state >> 8) % range, left);
        lengths.append(length);
        left -= length;
    }
    return lengths;
}

// Feeds `stream` to a new reader in chunks of `lengths`, checking after every
// feed what it holds back and that it is silent once it has failed.
Reading readInChunks(QByteArrayView stream, const QList<qsizetype> &lengths)
{
    ProgressParser parser;
    Reading reading;
    qsizetype fed = 0;
    qsizetype lineStart = 0;
    for (const qsizetype length : lengths) {
        const QByteArrayView chunk = stream.sliced(fed, length);
        const ParseResult result = parser.feed(chunk);
        fed += length;
        const qsizetype newline = chunk.lastIndexOf('\n');
        if (newline >= 0)
            lineStart = fed - length + newline + 1;

        if (reading.error) {
            CHECK(result.messages.isEmpty() && !result.error);
        } else {
            reading.messages += result.messages;
            reading.error = result.error;
        }
        if (reading.error) {
            CHECK(!parser.hasPartialLine());
        } else {
            CHECK(fed - lineStart <= maxLine);
            CHECK(parser.hasPartialLine() == (fed > lineStart));
        }
    }
    if (reading.error) {
        const ParseResult after = parser.feed(".START_1\n.DONE_\n");
        CHECK(after.messages.isEmpty() && !after.error);
    }
    return reading;
}

// Whether the reader must accept `line` (without its line feed): .DONE_, or a
// keyword and a number as QByteArray::number writes it. The reader also takes
// "-0", as 0, on purpose (see tst_monitor_parser).
bool isValidLine(QByteArrayView line)
{
    if (line == doneLine)
        return true;
    for (const QByteArray &keyword : {startKeyword, progressKeyword}) {
        if (!line.startsWith(keyword))
            continue;
        const QByteArrayView number = line.sliced(keyword.size());
        bool ok = false;
        const int value = number.toInt(&ok);
        return ok && (number == QByteArray::number(value) || number == "-0");
    }
    return false;
}

// How many bytes at the start of `rest` the message came from, or -1 when it
// does not write back to them.
qsizetype bytesOf(const ProgressMessage &message, QByteArrayView rest)
{
    const qsizetype newline = rest.indexOf('\n');
    if (newline < 0)
        return -1;
    const QByteArrayView line = rest.first(newline);
    QByteArray written;
    switch (message.kind) {
    case ProgressMessage::Kind::Start: written = startKeyword + QByteArray::number(message.number); break;
    case ProgressMessage::Kind::Progress: written = progressKeyword + QByteArray::number(message.number); break;
    case ProgressMessage::Kind::Done: written = doneLine; break;
    }
    const bool minusZero = message.kind != ProgressMessage::Kind::Done && message.number == 0
                           && line == written.chopped(1) + "-0";
    return line == written || minusZero ? newline + 1 : -1;
}

// Checks the messages and the error of the stream read whole against its bytes.
void checkAgainstStream(QByteArrayView stream, const Reading &reading)
{
    qsizetype at = 0;
    for (const ProgressMessage &message : reading.messages) {
        const qsizetype size = bytesOf(message, stream.sliced(at));
        CHECK(size > 0);
        at += size;
    }
    const QByteArrayView rest = stream.sliced(at);
    const qsizetype newline = rest.indexOf('\n');

    if (!reading.error) {
        // Only an unfinished line may be left, and nothing at all after DONE.
        CHECK(newline < 0);
        CHECK(!reading.endsWithDone() || rest.isEmpty());
        return;
    }

    const ProtocolError &error = *reading.error;
    CHECK(error.offset == at);
    CHECK(error.line == reading.messages.size() + 1);
    if (reading.endsWithDone()) {
        CHECK(!rest.isEmpty() && error.bytes == rest.first(qMin(rest.size(), maxLine)));
        return;
    }
    const QByteArrayView line = newline < 0 ? rest : rest.first(newline);
    if (line.size() > maxLine) {
        CHECK(error.bytes == line.first(maxLine));
        return;
    }
    // A line that fits is judged only once it is complete.
    CHECK(newline >= 0);
    CHECK(error.bytes == line);
    CHECK(!isValidLine(line));
}

// `cut` must read as `whole` did. Only data after DONE may differ: it is
// reported with whatever of it had arrived, which depends on the cut.
void checkSameReading(const Reading &whole, const Reading &cut)
{
    CHECK(cut.messages == whole.messages);
    CHECK(cut.error.has_value() == whole.error.has_value());
    if (!whole.error)
        return;
    CHECK(cut.error->line == whole.error->line);
    CHECK(cut.error->offset == whole.error->offset);
    CHECK(cut.error->problem == whole.error->problem);
    if (whole.endsWithDone())
        CHECK(!cut.error->bytes.isEmpty() && whole.error->bytes.startsWith(cut.error->bytes));
    else
        CHECK(cut.error->bytes == whole.error->bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArrayView stream(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));

    const Reading whole = readInChunks(stream, {stream.size()});
    checkAgainstStream(stream, whole);
    checkSameReading(whole, readInChunks(stream, fuzzedLengths(data[0], stream.size())));
    checkSameReading(whole, readInChunks(stream, QList<qsizetype>(stream.size(), 1)));
    return 0;
}
