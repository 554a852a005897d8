#include "log.h"

#include "fdwrite.h"
#include "nativename.h"

#include <QByteArray>
#include <QDateTime>

#include <cstring>
#include <mutex>
#include <ctime>
#include <unistd.h>

namespace ostrel {

namespace {

const char *baseName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// The local time as Qt::TextDate renders it. Rendering costs a time-zone
// look-up, and an install logs thousands of lines a second, so the text is
// made once per second, by each thread that logs for itself: nothing is
// shared between writers before the queue's lock.
const QString &currentTimeText()
{
    thread_local time_t renderedSecond = -1;
    thread_local QString text;
    const time_t now = std::time(nullptr);
    if (now != renderedSecond) {
        text = QDateTime::fromSecsSinceEpoch(now).toString(Qt::TextDate);
        renderedSecond = now;
    }
    return text;
}

} // namespace

namespace {

// Lines waiting to be written, when batching is on.
struct Pending
{
    std::mutex mutex;
    QByteArray lines;
    bool batching = false;
};

Pending &pending()
{
    static Pending instance;
    return instance;
}

// Beyond this much, queued lines are written at once.
const qsizetype batchLimit = 32 * 1024;

} // namespace

void batchLogLines(bool on)
{
    flushLog();
    std::lock_guard<std::mutex> lock(pending().mutex);
    pending().batching = on;
}

void flushLog()
{
    Pending &queue = pending();
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (queue.lines.isEmpty())
        return;
    writeAll(STDERR_FILENO, queue.lines);
    queue.lines.clear();
}

void writeLogLine(const char *file, int line, const char *function, const QString &message)
{
    const QString text = currentTimeText() + QLatin1String(" [") + QLatin1String(baseName(file))
            + QLatin1Char(':') + QString::number(line) + QLatin1String("] ") + QLatin1String(function)
            + QLatin1Char(' ') + message;

    // File names in the message come out byte for byte as on disk.
    QByteArray bytes;
    bytes.reserve(text.size() + 4);
    bytes += '"';
    bytes += encodeFileName(text);
    bytes += "\" \n";

    Pending &queue = pending();
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (!queue.batching) {
        writeAll(STDERR_FILENO, bytes);
        return;
    }
    // Copied, not shared: the queue's bytes are never the writer's, so
    // whoever frees them owns them outright.
    queue.lines.append(bytes.constData(), bytes.size());
    if (queue.lines.size() >= batchLimit) {
        writeAll(STDERR_FILENO, queue.lines);
        queue.lines.clear();
    }
}

} // namespace ostrel
