#pragma once

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QString>

// Splits captured standard error into diagnostic lines and checks their frame:
//   "<Qt::TextDate time> [<file>:<line>] <function> <message>" \n
// Returns the "<function> <message>" parts (file and line checked by the
// caller where it matters), or fails the current test on a malformed line.
struct LogLine
{
    QString file;
    int line = 0;
    QString rest; // "<function> <message>"
};

inline QList<LogLine> parseLogLines(const QByteArray &captured, QString *error)
{
    static const QRegularExpression frame(QStringLiteral(
            "^\"(\\w{3} \\w{3} {1,2}\\d{1,2} \\d\\d:\\d\\d:\\d\\d \\d{4}) \\[([^:\\]]+):(\\d+)\\] (.*)\" $"),
            QRegularExpression::DotMatchesEverythingOption);
    QList<LogLine> lines;
    if (!captured.isEmpty() && !captured.endsWith('\n')) {
        *error = QStringLiteral("output does not end with a line feed");
        return {};
    }
    const QList<QByteArray> raw = captured.isEmpty() ? QList<QByteArray>() : captured.chopped(1).split('\n');
    for (const QByteArray &bytes : raw) {
        const QRegularExpressionMatch m = frame.match(QString::fromUtf8(bytes));
        if (!m.hasMatch()) {
            *error = QStringLiteral("malformed line: ") + QString::fromUtf8(bytes);
            return {};
        }
        lines.append({m.captured(2), m.captured(3).toInt(), m.captured(4)});
    }
    return lines;
}

inline QStringList logRests(const QList<LogLine> &lines)
{
    QStringList rests;
    for (const LogLine &l : lines)
        rests.append(l.rest);
    return rests;
}
