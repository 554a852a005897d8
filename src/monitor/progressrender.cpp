#include "progressrender.h"

#include <QtGlobal>

#include <cmath>

namespace {

const int minimumBarWidth = 10;

QString formatRate(const ProgressSnapshot &s)
{
    if (s.elapsedMs <= 0)
        return QStringLiteral("-- files/s");
    const double rate = double(qMax<qint64>(s.done, 0)) * 1000.0 / double(s.elapsedMs);
    return QStringLiteral("%1 files/s").arg(rate, 0, 'f', 1);
}

QString formatTimeLeft(const ProgressSnapshot &s)
{
    const qint64 left = qMax<qint64>(s.total - s.done, 0);
    if (left == 0)
        return formatDuration(0);
    if (s.done <= 0 || s.elapsedMs <= 0)
        return QStringLiteral("--:--");
    // Rounded up to whole seconds: "00:00 left" only when nothing is left.
    const double seconds = double(left) * double(s.elapsedMs) / double(s.done) / 1000.0;
    return formatDuration(qint64(std::ceil(seconds)) * 1000);
}

QString renderBar(const ProgressSnapshot &s, int width)
{
    const int filled = s.total <= 0 ? width : int(qBound<qint64>(0, s.done, s.total) * width / s.total);
    return QLatin1Char('[') + QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('-'))
            + QLatin1Char(']');
}

} // namespace

QString formatDuration(qint64 ms)
{
    const qint64 seconds = qMax<qint64>(ms, 0) / 1000;
    const QString minutesSeconds = QStringLiteral("%1:%2")
                                           .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                                           .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (seconds < 3600)
        return minutesSeconds;
    return QString::number(seconds / 3600) + QLatin1Char(':') + minutesSeconds;
}

QString renderProgressLine(const ProgressSnapshot &s, int width)
{
    const int room = qMax(width - 1, 0);
    QString text;
    using Phase = Ostrel::InstallerClient::Phase;
    if (!s.started) {
        text = s.done > 0                  ? QStringLiteral("%1 files, total not announced yet").arg(s.done)
               : s.phase == Phase::Clearing ? Ostrel::InstallerClient::describePhase(s.phase) + QStringLiteral("...")
                                            : QStringLiteral("waiting for the installer...");
        return text.left(room);
    }

    // The count is padded to the width of the total so the bar keeps its
    // length while the digits grow.
    const QString total = QString::number(s.total);
    text = QStringLiteral(" %1/%2  %3%  ").arg(s.done, int(total.size())).arg(total).arg(percentDone(s), 3);
    if (s.phase > Phase::Copying || !s.slowFile.isEmpty())
        text += Ostrel::InstallerClient::describePhase(s.phase, s.slowFile) + QStringLiteral("...");
    else
        text += QStringLiteral("%1  %2 elapsed  %3 left").arg(formatRate(s), formatDuration(s.elapsedMs), formatTimeLeft(s));
    const int barWidth = room - int(text.size()) - 2;
    if (barWidth < minimumBarWidth)
        return text.trimmed().left(room);
    return renderBar(s, barWidth) + text;
}

QString renderSummary(const ProgressSnapshot &s)
{
    if (s.finished)
        return QStringLiteral("done: %1 of %2 files in %3 (%4)")
                .arg(s.done)
                .arg(s.total)
                .arg(formatDuration(s.elapsedMs), formatRate(s));
    if (!s.started)
        return QStringLiteral("stopped before copying began");
    return QStringLiteral("stopped: %1 of %2 files (%3%) after %4")
            .arg(s.done)
            .arg(s.total)
            .arg(percentDone(s))
            .arg(formatDuration(s.elapsedMs));
}
