#pragma once

#include "nativename.h"

#include <QRegularExpression>
#include <QStringList>

// The only places allowed to write the installer's diagnostic lines: the
// file and the function text of each. Log readers match on this text, so a
// LOG moved to another file or function must fail the parse.
inline const QList<QPair<QString, QString>> loggingFunctions = {
        {"main.cpp", "bool execute(const QString &)"},
        {"main.cpp", "void writeFileOrExit(const QString &, const QByteArray &)"},
        {"main.cpp", "void recursiveCopy(const QString, const QString, PipeClient *, QMap<QString, QString> &)"},
        {"main.cpp", "void createLinks(QMap<QString, QString>)"},
        {"main.cpp", "void installPackage(const QString &, const QString &)"},
        {"pipeclient.cpp", "bool PipeClient::connect(const QString &)"},
        {"pipeclient.cpp", "void PipeClient::startProgress(int)"},
        {"pipeclient.cpp", "void PipeClient::progress(int)"},
        {"pipeclient.cpp", "void PipeClient::stopProgress()"},
        {"pipeclient.cpp", "void PipeClient::onPipeError(QLocalSocket::LocalSocketError)"}};

// The head of a line at `at`: `"<Qt::TextDate time> [<file>:<line>] `.
inline QRegularExpressionMatch logLineHead(const QByteArray &bytes, qsizetype at)
{
    static const QRegularExpression head("^\"\\w{3} \\w{3} {1,2}\\d{1,2} \\d\\d:\\d\\d:\\d\\d \\d{4} \\[([^:\\]]+):\\d+\\] ");
    return head.match(QString::fromLatin1(bytes.mid(at, 100)));
}

// Reads standard error as diagnostic lines, `"<time> [<file>:<line>] <function> <message>" \n`,
// each from a function and file of loggingFunctions, and gives them as
// "<function name>: <message>" ("PipeClient::connect: Try #1"), names in the
// message decoded losslessly. A message may hold newlines: a line ends at
// `" \n` before the end or the next line's head. Anything else stops the
// reading with a note in `error`.
inline QStringList parseLogLines(const QByteArray &bytes, QString *error)
{
    QStringList lines;
    for (qsizetype at = 0, end = 0; at < bytes.size(); at = end + 3) {
        const QRegularExpressionMatch head = logLineHead(bytes, at);
        do
            end = bytes.indexOf("\" \n", end + 1);
        while (end >= 0 && end + 3 < bytes.size() && !logLineHead(bytes, end + 3).hasMatch());
        if (!head.hasMatch() || end < 0)
            return *error += "not a diagnostic line: " + QString::fromLatin1(bytes.mid(at, 300)), lines;
        const QString rest = decodeFileName(bytes.mid(at + head.capturedLength(), end - at - head.capturedLength()));
        const qsizetype count = lines.size();
        for (const auto &[file, function] : loggingFunctions)
            if (file == head.captured(1) && rest.startsWith(function + ' '))
                lines << function.section('(', 0, 0).section(' ', -1) + ": " + rest.mid(function.size() + 1);
        if (lines.size() == count)
            return *error += "not from a logging function of " + head.captured(1) + ": " + rest.left(300), lines;
    }
    return lines;
}
