#include "progressparser.h"

#include <QTest>

// The progress stream reader, fed the same bytes in every way a socket may
// cut them: whole, one byte at a time, and split in two at every position.
class TestMonitorParser : public QObject
{
    Q_OBJECT

private:
    struct Collected
    {
        QStringList messages;
        std::optional<ProtocolError> error;
        int errorsReported = 0;
    };

    static QString describe(const ProgressMessage &m)
    {
        switch (m.kind) {
        case ProgressMessage::Kind::Start: return QStringLiteral("start %1").arg(m.number);
        case ProgressMessage::Kind::Progress: return QStringLiteral("progress %1").arg(m.number);
        case ProgressMessage::Kind::Done: return QStringLiteral("done");
        }
        return {};
    }

    static Collected feedInChunks(const QList<QByteArray> &chunks)
    {
        ProgressParser parser;
        Collected collected;
        for (const QByteArray &chunk : chunks) {
            const ParseResult result = parser.feed(chunk);
            for (const ProgressMessage &m : result.messages)
                collected.messages << describe(m);
            if (result.error) {
                ++collected.errorsReported;
                collected.error = result.error;
            }
        }
        return collected;
    }

    // Every way of cutting `stream` this suite tries, by name.
    static QList<QPair<QString, QList<QByteArray>>> chunkings(const QByteArray &stream)
    {
        QList<QPair<QString, QList<QByteArray>>> all;
        all.append({QStringLiteral("whole"), {stream}});
        QList<QByteArray> bytes;
        for (const char c : stream)
            bytes.append(QByteArray(1, c));
        all.append({QStringLiteral("byte by byte"), bytes});
        for (qsizetype cut = 1; cut < stream.size(); ++cut)
            all.append({QStringLiteral("split at %1").arg(cut), {stream.first(cut), stream.sliced(cut)}});
        return all;
    }

private Q_SLOTS:
    void wellFormedStreams_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("a whole install") << QByteArray(".START_3\n.PROGRESS_1\n.PROGRESS_2\n.PROGRESS_3\n.DONE_\n")
                                         << QStringList{"start 3", "progress 1", "progress 2", "progress 3", "done"};
        QTest::newRow("unfinished line is held back") << QByteArray(".START_3\n.PROGRESS_1") << QStringList{"start 3"};
        QTest::newRow("zero total") << QByteArray(".START_0\n.DONE_\n") << QStringList{"start 0", "done"};
        QTest::newRow("negative numbers") << QByteArray(".START_-5\n.PROGRESS_-1\n")
                                          << QStringList{"start -5", "progress -1"};
        QTest::newRow("minus zero") << QByteArray(".PROGRESS_-0\n") << QStringList{"progress 0"};
        QTest::newRow("32-bit limits") << QByteArray(".START_2147483647\n.PROGRESS_-2147483648\n")
                                       << QStringList{"start 2147483647", "progress -2147483648"};
        QTest::newRow("progress past total, no start, repeated start")
                << QByteArray(".PROGRESS_7\n.START_2\n.PROGRESS_9\n.START_4\n")
                << QStringList{"progress 7", "start 2", "progress 9", "start 4"};
    }

    void wellFormedStreams()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, expected);
        for (const auto &[how, chunks] : chunkings(stream)) {
            const Collected got = feedInChunks(chunks);
            QVERIFY2(!got.error, qPrintable(how + QLatin1String(": ") + (got.error ? got.error->toString() : QString())));
            QVERIFY2(got.messages == expected, qPrintable(how + QLatin1String(": ") + got.messages.join(QLatin1String(", "))));
        }
    }

    void malformedStreams_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("messagesBefore");
        QTest::addColumn<QString>("error");
        const QStringList none;
        const QStringList started{"start 2"};
        QTest::newRow("bad keyword") << QByteArray(".STRAT_5\n") << none
                                     << QStringLiteral("line 1 (byte offset 0): unknown message \".STRAT_5\"");
        QTest::newRow("lowercase keyword") << QByteArray(".START_2\n.progress_1\n") << started
                                           << QStringLiteral("line 2 (byte offset 9): unknown message \".progress_1\"");
        QTest::newRow("missing number") << QByteArray(".START_\n") << none
                                        << QStringLiteral("line 1 (byte offset 0): missing number \".START_\"");
        QTest::newRow("number on DONE") << QByteArray(".START_2\n.DONE_2\n") << started
                                        << QStringLiteral("line 2 (byte offset 9): text after .DONE_ \".DONE_2\"");
        QTest::newRow("trailing text after number") << QByteArray(".START_2 files\n") << none
                                                    << QStringLiteral("line 1 (byte offset 0): malformed number \".START_2 files\"");
        QTest::newRow("CR LF") << QByteArray(".START_2\r\n") << none
                               << QStringLiteral("line 1 (byte offset 0): line ends with CR LF, expected a bare LF \".START_2\\r\"");
        QTest::newRow("plus sign") << QByteArray(".START_+2\n") << none
                                   << QStringLiteral("line 1 (byte offset 0): malformed number \".START_+2\"");
        QTest::newRow("leading zero") << QByteArray(".START_02\n") << none
                                      << QStringLiteral("line 1 (byte offset 0): malformed number (leading zero) \".START_02\"");
        QTest::newRow("INT_MAX + 1") << QByteArray(".START_2147483648\n") << none
                                     << QStringLiteral("line 1 (byte offset 0): number out of 32-bit range \".START_2147483648\"");
        QTest::newRow("INT_MIN - 1") << QByteArray(".PROGRESS_-2147483649\n") << none
                                     << QStringLiteral("line 1 (byte offset 0): number out of 32-bit range \".PROGRESS_-2147483649\"");
        QTest::newRow("binary garbage is escaped") << QByteArray(".START_2\n\x00\xff\t\"\\\n", 15) << started
                                                   << QStringLiteral("line 2 (byte offset 9): unknown message \"\\x00\\xff\\t\\\"\\\\\"");
        QTest::newRow("data after done") << QByteArray(".START_2\n.DONE_\n.PROGRESS_3\n") << QStringList{"start 2", "done"}
                                         << QStringLiteral("line 3 (byte offset 16): data after .DONE_ \".PROGRESS_3\\n\"");
        QTest::newRow("error on third line")
                << QByteArray(".START_2\n.PROGRESS_1\n.PROGRESS_x\n") << QStringList{"start 2", "progress 1"}
                << QStringLiteral("line 3 (byte offset 21): malformed number \".PROGRESS_x\"");
        QTest::newRow("64-byte line is still read")
                << QByteArray(64, 'A') + '\n' << none
                << QStringLiteral("line 1 (byte offset 0): unknown message \"%1\"").arg(QString(64, QLatin1Char('A')));
        QTest::newRow("65-byte line is too long")
                << QByteArray(65, 'A') + '\n' << none
                << QStringLiteral("line 1 (byte offset 0): line longer than 64 bytes \"%1\"").arg(QString(64, QLatin1Char('A')));
        QTest::newRow("unterminated line is cut off")
                << QByteArray(".START_2\n") + QByteArray(100, '1') << started
                << QStringLiteral("line 2 (byte offset 9): line longer than 64 bytes \"%1\"").arg(QString(64, QLatin1Char('1')));
    }

    void malformedStreams()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, messagesBefore);
        QFETCH(QString, error);
        // Whatever follows the first error must not produce anything more.
        const QByteArray trailer = ".START_1\n.DONE_\n";
        const std::optional<ProtocolError> whole = feedInChunks({stream}).error;
        QVERIFY(whole);
        QCOMPARE(whole->toString(), error);
        for (const auto &[how, chunks] : chunkings(stream)) {
            const Collected got = feedInChunks(chunks + QList<QByteArray>{trailer});
            const QString context = how + QLatin1String(": ") + got.messages.join(QLatin1String(", "));
            QVERIFY2(got.error, qPrintable(context));
            QCOMPARE(got.errorsReported, 1);
            QVERIFY2(got.messages == messagesBefore, qPrintable(context));
            QCOMPARE(got.error->line, whole->line);
            QCOMPARE(got.error->offset, whole->offset);
            QCOMPARE(got.error->problem, whole->problem);
            // Data after DONE is reported at its first byte, with whatever
            // of it had arrived by then.
            QVERIFY2(whole->bytes.startsWith(got.error->bytes)
                             && (got.error->bytes.isEmpty() == whole->bytes.isEmpty()),
                     qPrintable(context + QLatin1String(": ") + got.error->toString()));
        }
    }

    // A sender that never ends its line must not make the reader grow.
    void endlessLineIsNotBuffered()
    {
        ProgressParser parser;
        const QByteArray megabyte(1 << 20, '7');
        const ParseResult result = parser.feed(megabyte);
        QVERIFY(result.error);
        QCOMPARE(result.error->bytes.size(), ProgressParser::maxLineLength);
        QVERIFY(!parser.hasPartialLine());
    }
};

QTEST_GUILESS_MAIN(TestMonitorParser)
#include "tst_monitor_parser.moc"
