#include "progressparser.h"

#include "protocol.h"

#include <limits>

namespace Ostrel {

namespace {

const QByteArray startKeyword(ostrel::protocol::startKeyword);
const QByteArray progressKeyword(ostrel::protocol::progressKeyword);
const QByteArray doneKeyword(ostrel::protocol::doneKeyword);

// Accepts exactly what QByteArray::number(int) can produce, plus "-0":
// optional '-', then "0" or a non-zero digit followed by digits.
std::optional<int> parseCanonicalInt(QByteArrayView text, QString *problem)
{
    const bool negative = text.startsWith('-');
    const QByteArrayView digits = negative ? text.sliced(1) : text;
    if (digits.isEmpty()) {
        *problem = QStringLiteral("missing number");
        return std::nullopt;
    }
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            *problem = QStringLiteral("malformed number");
            return std::nullopt;
        }
    }
    if (digits.size() > 1 && digits.front() == '0') {
        *problem = QStringLiteral("malformed number (leading zero)");
        return std::nullopt;
    }
    // Stops at the first digit that takes the value past the limit, so a long
    // run of digits cannot overflow the accumulator.
    const qint64 limit = negative ? -qint64(std::numeric_limits<int>::min()) : std::numeric_limits<int>::max();
    qint64 value = 0;
    for (const char c : digits) {
        value = value * 10 + (c - '0');
        if (value > limit) {
            *problem = QStringLiteral("number out of 32-bit range");
            return std::nullopt;
        }
    }
    return int(negative ? -value : value);
}

} // namespace

QString quotedBytes(QByteArrayView bytes)
{
    QString text = QStringLiteral("\"");
    for (const char c : bytes) {
        const uint u = static_cast<unsigned char>(c);
        switch (c) {
        case '\n': text += QLatin1String("\\n"); break;
        case '\r': text += QLatin1String("\\r"); break;
        case '\t': text += QLatin1String("\\t"); break;
        case '\\': text += QLatin1String("\\\\"); break;
        case '"': text += QLatin1String("\\\""); break;
        default:
            if (u >= 0x20 && u < 0x7f)
                text += QLatin1Char(c);
            else
                text += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        }
    }
    return text + QLatin1Char('"');
}

QString ProtocolError::toString() const
{
    return QStringLiteral("line %1 (byte offset %2): %3 %4").arg(line).arg(offset).arg(problem, quotedBytes(bytes));
}

ProtocolError ProgressParser::errorAtLine(const QString &problem, const QByteArray &bytes) const
{
    return {lineNumber, lineOffset, problem, bytes};
}

ParseResult ProgressParser::feed(QByteArrayView chunk)
{
    ParseResult result;
    while (!failed && !chunk.isEmpty()) {
        if (doneSeen) {
            result.error = errorAtLine(QStringLiteral("data after .DONE_"), chunk.first(qMin(chunk.size(), maxLineLength)).toByteArray());
            break;
        }
        const qsizetype newline = chunk.indexOf('\n');
        const qsizetype take = newline < 0 ? chunk.size() : newline;
        if (partial.size() + take > maxLineLength) {
            partial += chunk.first(maxLineLength - partial.size());
            result.error = errorAtLine(QStringLiteral("line longer than %1 bytes").arg(maxLineLength), partial);
            break;
        }
        partial += chunk.first(take);
        if (newline < 0)
            break;
        chunk = chunk.sliced(newline + 1);
        result.error = takeLine(result.messages);
        if (result.error)
            break;
    }
    if (result.error) {
        failed = true;
        partial.clear();
    }
    return result;
}

std::optional<ProtocolError> ProgressParser::takeLine(QList<ProgressMessage> &messages)
{
    const QByteArray line = partial;
    if (line.endsWith('\r'))
        return errorAtLine(QStringLiteral("line ends with CR LF, expected a bare LF"), line);

    QString problem;
    if (line.startsWith(startKeyword) || line.startsWith(progressKeyword)) {
        const bool start = line.startsWith(startKeyword);
        const QByteArray &keyword = start ? startKeyword : progressKeyword;
        const std::optional<int> number = parseCanonicalInt(QByteArrayView(line).sliced(keyword.size()), &problem);
        if (!number)
            return errorAtLine(problem, line);
        messages.append({start ? ProgressMessage::Kind::Start : ProgressMessage::Kind::Progress, *number});
    } else if (line.startsWith(doneKeyword)) {
        if (line.size() != doneKeyword.size())
            return errorAtLine(QStringLiteral("text after .DONE_"), line);
        messages.append({ProgressMessage::Kind::Done, 0});
        doneSeen = true;
    } else {
        return errorAtLine(QStringLiteral("unknown message"), line);
    }

    lineOffset += line.size() + 1;
    ++lineNumber;
    partial.clear();
    return std::nullopt;
}

} // namespace Ostrel
