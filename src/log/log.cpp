#include "log.h"

#include <QByteArray>
#include <QDateTime>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace ostrel {

namespace {

const char *baseName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += written;
        left -= written;
    }
}

} // namespace

void writeLogLine(const char *file, int line, const char *function, const QString &message)
{
    const QString text = QDateTime::currentDateTime().toString(Qt::TextDate)
            + QLatin1String(" [") + QLatin1String(baseName(file)) + QLatin1Char(':')
            + QString::number(line) + QLatin1String("] ") + QLatin1String(function)
            + QLatin1Char(' ') + message;

    QByteArray bytes;
    bytes.reserve(text.size() + 4);
    bytes += '"';
    bytes += text.toLocal8Bit();
    bytes += "\" \n";
    writeAll(STDERR_FILENO, bytes);
}

} // namespace ostrel
