#include "progressrender.h"

#include <QTest>

// The progress line and the summary for given states: no terminal, no clock.
class TestMonitorRender : public QObject
{
    Q_OBJECT

private:
    static ProgressSnapshot state(qint64 done, qint64 total, qint64 elapsedMs, bool finished = false)
    {
        ProgressSnapshot s;
        s.started = true;
        s.finished = finished;
        s.done = done;
        s.total = total;
        s.elapsedMs = elapsedMs;
        return s;
    }

private Q_SLOTS:
    void progressLine_data()
    {
        QTest::addColumn<ProgressSnapshot>("snapshot");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("expected");

        QTest::newRow("waiting for the installer") << ProgressSnapshot() << 80
                                                   << QStringLiteral("waiting for the installer...");
        ProgressSnapshot early;
        early.done = 3;
        QTest::newRow("progress before start") << early << 80 << QStringLiteral("3 files, total not announced yet");
        QTest::newRow("half way")
                << state(50, 100, 10000) << 80
                << QStringLiteral("[###########------------]  50/100   50%  5.0 files/s  00:10 elapsed  00:10 left");
        QTest::newRow("count padded to the total's width")
                << state(5, 100, 10000) << 80
                << QStringLiteral("[#----------------------]   5/100    5%  0.5 files/s  00:10 elapsed  03:10 left");
        QTest::newRow("nothing done yet")
                << state(0, 100, 0) << 80
                << QStringLiteral("[------------------------]   0/100    0%  -- files/s  00:00 elapsed  --:-- left");
        QTest::newRow("time left rounds up")
                << state(3, 4, 1000) << 70
                << QStringLiteral("[############-----] 3/4   75%  3.0 files/s  00:01 elapsed  00:01 left");
        QTest::newRow("zero total is complete")
                << state(0, 0, 500) << 70
                << QStringLiteral("[#################] 0/0  100%  0.0 files/s  00:00 elapsed  00:00 left");
        QTest::newRow("past the total stays at 100%")
                << state(12, 10, 4000) << 70
                << QStringLiteral("[###############] 12/10  100%  3.0 files/s  00:04 elapsed  00:00 left");
        QTest::newRow("negative count stays at 0%")
                << state(-3, 10, 4000) << 70
                << QStringLiteral("[---------------] -3/10    0%  0.0 files/s  00:04 elapsed  --:-- left");
        QTest::newRow("over an hour")
                << state(1, 2, 3725000) << 80
                << QStringLiteral("[###########------------] 1/2   50%  0.0 files/s  1:02:05 elapsed  1:02:05 left");
        QTest::newRow("very narrow terminal cuts the text") << state(50, 100, 10000) << 12
                                                            << QStringLiteral("50/100   50");
    }

    void progressLine()
    {
        QFETCH(ProgressSnapshot, snapshot);
        QFETCH(int, width);
        QFETCH(QString, expected);
        const QString line = renderProgressLine(snapshot, width);
        QCOMPARE(line, expected);
        // A bar is drawn across the whole line but the last column.
        if (line.startsWith(QLatin1Char('[')))
            QCOMPARE(line.size(), width - 1);
    }

    void summary_data()
    {
        QTest::addColumn<ProgressSnapshot>("snapshot");
        QTest::addColumn<QString>("expected");
        QTest::newRow("done") << state(100, 100, 10000, true)
                              << QStringLiteral("done: 100 of 100 files in 00:10 (10.0 files/s)");
        QTest::newRow("done at once with nothing to do") << state(0, 0, 0, true)
                                                         << QStringLiteral("done: 0 of 0 files in 00:00 (-- files/s)");
        QTest::newRow("stopped half way") << state(45, 100, 4200)
                                          << QStringLiteral("stopped: 45 of 100 files (45%) after 00:04");
        QTest::newRow("stopped before start") << ProgressSnapshot()
                                              << QStringLiteral("stopped: no start message arrived");
    }

    void summary()
    {
        QFETCH(ProgressSnapshot, snapshot);
        QFETCH(QString, expected);
        QCOMPARE(renderSummary(snapshot), expected);
    }
};

QTEST_GUILESS_MAIN(TestMonitorRender)
#include "tst_monitor_render.moc"
