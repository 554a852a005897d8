// libFuzzer target for the monitor's progress stream reader. The input's
// first byte chooses how the rest, the stream, is cut into chunks. Read
// whole, in those chunks and a byte at a time, the stream must give what a
// plain line-by-line reading gives: the messages of the lines that are their
// own canonical text ("-0" too), then the first bad line, over-long line or
// byte after .DONE_ named by line, offset and bytes. After each chunk the
// reader holds back only the unfinished line, at most maxLineLength bytes of
// it, and once failed it says nothing more. A broken rule traps (a crash).

#include "progressparser.h"

#include <cstdint>
#include <cstdio>
#include <random>

using namespace Ostrel;

#define CHECK(c) ((c) ? void() : (std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #c), __builtin_trap()))

namespace {

constexpr qsizetype maxLine = ProgressParser::maxLineLength;

struct Reading
{
    QList<ProgressMessage> messages;
    std::optional<ProtocolError> error;
    bool endsWithDone() const { return !messages.isEmpty() && messages.last().kind == ProgressMessage::Kind::Done; }
};

std::optional<ProgressMessage> messageOf(QByteArrayView line)
{
    if (line == ".DONE_")
        return ProgressMessage{ProgressMessage::Kind::Done};
    for (const auto &[keyword, kind] : {std::pair{".START_", ProgressMessage::Kind::Start},
                                        std::pair{".PROGRESS_", ProgressMessage::Kind::Progress}}) {
        const QByteArrayView number = line.startsWith(keyword) ? line.sliced(qstrlen(keyword)) : QByteArrayView();
        bool ok = false;
        if (const int value = number.toInt(&ok); ok && (number == QByteArray::number(value) || number == "-0"))
            return ProgressMessage{kind, value};
    }
    return std::nullopt;
}

Reading expectedReading(QByteArrayView stream)
{
    Reading r;
    for (qsizetype at = 0; at < stream.size();) {
        const QByteArrayView rest = stream.sliced(at);
        const qsizetype newline = rest.indexOf('\n');
        const QByteArrayView line = newline < 0 ? rest : rest.first(newline);
        std::optional<ProgressMessage> message;
        if (!r.endsWithDone() && line.size() <= maxLine && (newline < 0 || (message = messageOf(line)))) {
            if (newline < 0)
                break; // unfinished, and may still become a message
            r.messages.append(*message);
            at += newline + 1;
            continue;
        }
        const QByteArrayView bad = r.endsWithDone() ? rest : line;
        r.error = ProtocolError{r.messages.size() + 1, at, {}, bad.first(qMin(bad.size(), maxLine)).toByteArray()};
        break;
    }
    return r;
}

Reading readInChunks(QByteArrayView stream, const QList<qsizetype> &lengths)
{
    ProgressParser parser;
    Reading reading;
    qsizetype fed = 0, lineStart = 0;
    for (const qsizetype length : lengths) {
        const QByteArrayView chunk = stream.sliced(fed, length);
        const ParseResult result = parser.feed(chunk);
        fed += length;
        if (chunk.contains('\n'))
            lineStart = fed - length + chunk.lastIndexOf('\n') + 1;
        CHECK(!reading.error || (result.messages.isEmpty() && !result.error));
        if (!reading.error) {
            reading.messages += result.messages;
            reading.error = result.error;
        }
        CHECK(parser.hasPartialLine() == (!reading.error && fed > lineStart));
        CHECK(reading.error || fed - lineStart <= maxLine);
    }
    const ParseResult after = parser.feed(".START_1\n.DONE_\n");
    CHECK(!reading.error || (after.messages.isEmpty() && !after.error));
    return reading;
}

// Data after .DONE_ is reported with whatever of it had arrived, so a cut
// reading may name fewer of its bytes.
void checkSame(const Reading &want, const Reading &got, bool cut)
{
    CHECK(got.messages == want.messages && got.error.has_value() == want.error.has_value());
    if (!want.error)
        return;
    CHECK(got.error->line == want.error->line && got.error->offset == want.error->offset);
    CHECK(cut ? got.error->problem == want.error->problem : !got.error->problem.isEmpty());
    if (cut && want.endsWithDone())
        CHECK(!got.error->bytes.isEmpty() && want.error->bytes.startsWith(got.error->bytes));
    else
        CHECK(got.error->bytes == want.error->bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArrayView stream(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    // Short chunks cut keywords and numbers, long ones span lines and the
    // line bound, empty ones must change nothing.
    std::minstd_rand random(data[0] + 1);
    QList<qsizetype> lengths;
    for (qsizetype left = stream.size(); left > 0; left -= lengths.last())
        lengths.append(qMin<qsizetype>(random() % (random() % 2 ? 8 : 2 * maxLine + 2), left));
    const Reading whole = readInChunks(stream, {stream.size()});
    checkSame(expectedReading(stream), whole, false);
    checkSame(whole, readInChunks(stream, lengths), true);
    checkSame(whole, readInChunks(stream, QList<qsizetype>(stream.size(), 1)), true);
    return 0;
}
