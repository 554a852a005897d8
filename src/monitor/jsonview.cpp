#include "jsonview.h"


#include <QJsonDocument>
#include <QJsonObject>

namespace {

QByteArray line(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QString phaseName(Ostrel::InstallerClient::Phase phase)
{
    using Phase = Ostrel::InstallerClient::Phase;
    switch (phase) {
    case Phase::Starting: return QStringLiteral("starting");
    case Phase::Clearing: return QStringLiteral("clearing");
    case Phase::Copying: return QStringLiteral("copying");
    case Phase::Linking: return QStringLiteral("linking");
    case Phase::Syncing: return QStringLiteral("syncing");
    case Phase::Swapping: return QStringLiteral("swapping");
    case Phase::RemovingPrevious: return QStringLiteral("removing_previous");
    case Phase::RemovingAbandoned: return QStringLiteral("removing_abandoned");
    case Phase::KeepingPrevious: return QStringLiteral("keeping_previous");
    case Phase::RollingBack: return QStringLiteral("rolling_back");
    }
    return QString();
}

} // namespace

JsonView::JsonView(const ProgressTracker &tracker, OutputSink &out)
    : tracker(tracker)
    , out(out)
{
}

void JsonView::listening(const QString &serverPath)
{
    out.write(line({{QStringLiteral("event"), QStringLiteral("listening")}, {QStringLiteral("name"), serverPath}}));
}

void JsonView::messageReceived(const ProgressMessage &message)
{
    const ProgressSnapshot s = tracker.snapshot();
    const QJsonValue total = s.started ? QJsonValue(s.total) : QJsonValue();
    switch (message.kind) {
    case ProgressMessage::Kind::Start:
        out.write(line({{QStringLiteral("event"), QStringLiteral("start")}, {QStringLiteral("total"), s.total}}));
        break;
    case ProgressMessage::Kind::Progress:
        out.write(line({{QStringLiteral("event"), QStringLiteral("progress")},
                        {QStringLiteral("done"), s.done},
                        {QStringLiteral("total"), total},
                        {QStringLiteral("percent"), s.started ? QJsonValue(percentDone(s)) : QJsonValue()},
                        {QStringLiteral("elapsed_ms"), s.elapsedMs}}));
        break;
    case ProgressMessage::Kind::Done:
        out.write(line({{QStringLiteral("event"), QStringLiteral("done")},
                        {QStringLiteral("done"), s.done},
                        {QStringLiteral("total"), total},
                        {QStringLiteral("elapsed_ms"), s.elapsedMs}}));
        break;
    }
}

void JsonView::phaseChanged(Ostrel::InstallerClient::Phase phase)
{
    // The start event says that the copy begins.
    if (phase != Ostrel::InstallerClient::Copying)
        out.write(line({{QStringLiteral("event"), QStringLiteral("phase")}, {QStringLiteral("phase"), phaseName(phase)}}));
}

void JsonView::lasting(const ProgressSnapshot &s)
{
    if (!s.slowFile.isEmpty())
        out.write(line({{QStringLiteral("event"), QStringLiteral("phase")},
                        {QStringLiteral("phase"), phaseName(s.phase)},
                        {QStringLiteral("file"), s.slowFile}}));
}

void JsonView::finished(const Outcome &outcome)
{
    if (outcome.exitCode == ExitSuccess)
        return;
    QJsonObject event{{QStringLiteral("event"), QStringLiteral("error")},
                      {QStringLiteral("exit_code"), outcome.exitCode},
                      {QStringLiteral("reason"), outcome.reason}};
    if (outcome.commandStatus)
        event.insert(QStringLiteral("installer_status"), *outcome.commandStatus);
    out.write(line(event));
}
