#include "log.h"

#include "fdwrite.h"
#include "nativename.h"

#include <QByteArray>
#include <QDateTime>

#include <cstring>
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
// made once per second.
const QString &currentTimeText()
{
    static time_t renderedSecond = -1;
    static QString text;
    const time_t now = std::time(nullptr);
    if (now != renderedSecond) {
        text = QDateTime::fromSecsSinceEpoch(now).toString(Qt::TextDate);
        renderedSecond = now;
    }
    return text;
}

} // namespace

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
    writeAll(STDERR_FILENO, bytes);
}

} // namespace ostrel
