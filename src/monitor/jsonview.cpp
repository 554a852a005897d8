#include "jsonview.h"

#include "fdwrite.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

namespace {

void printObject(const QJsonObject &object)
{
    writeAll(STDOUT_FILENO, QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

} // namespace

JsonView::JsonView(const ProgressTracker &tracker)
    : tracker(tracker)
{
}

void JsonView::listening(const QString &serverPath)
{
    printObject({{QStringLiteral("event"), QStringLiteral("listening")}, {QStringLiteral("name"), serverPath}});
}

void JsonView::messageReceived(const ProgressMessage &message)
{
    const ProgressSnapshot s = tracker.snapshot();
    const QJsonValue total = s.started ? QJsonValue(s.total) : QJsonValue();
    switch (message.kind) {
    case ProgressMessage::Kind::Start:
        printObject({{QStringLiteral("event"), QStringLiteral("start")}, {QStringLiteral("total"), s.total}});
        break;
    case ProgressMessage::Kind::Progress:
        printObject({{QStringLiteral("event"), QStringLiteral("progress")},
                     {QStringLiteral("done"), s.done},
                     {QStringLiteral("total"), total},
                     {QStringLiteral("percent"), s.started ? QJsonValue(percentDone(s)) : QJsonValue()},
                     {QStringLiteral("elapsed_ms"), s.elapsedMs}});
        break;
    case ProgressMessage::Kind::Done:
        printObject({{QStringLiteral("event"), QStringLiteral("done")},
                     {QStringLiteral("done"), s.done},
                     {QStringLiteral("total"), total},
                     {QStringLiteral("elapsed_ms"), s.elapsedMs}});
        break;
    }
}

void JsonView::finished(const Outcome &outcome)
{
    if (outcome.exitCode == ExitSuccess)
        return;
    printObject({{QStringLiteral("event"), QStringLiteral("error")},
                 {QStringLiteral("exit_code"), outcome.exitCode},
                 {QStringLiteral("reason"), outcome.reason}});
}
