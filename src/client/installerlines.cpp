#include "installerlines.h"

#include "nativename.h"

#include <utility>

namespace {

// A line longer than this is passed over: it holds a path far beyond any
// a reason would show.
const qsizetype maxLine = 64 * 1024;

// The messages with which the installer reports a failure.
const char *const failurePrefixes[] = {"Failed to copy ", "Fail to create symlink ", "Unable to ", "Refusing to copy ",
                                       "Out of memory"};

} // namespace

void InstallerLines::feed(QByteArrayView bytes)
{
    partial.append(bytes);
    // Every line ends in a double quote, a space and a line feed.
    qsizetype end;
    while ((end = partial.indexOf("\" \n")) >= 0) {
        line(QByteArrayView(partial).first(end));
        partial.remove(0, end + 3);
    }
    if (partial.size() > maxLine)
        partial.clear();
}

void InstallerLines::line(QByteArrayView text)
{
    // "<time> [<file>:<line>] <function> <message>: the function's text
    // ends at its closing parenthesis.
    const qsizetype place = text.indexOf("] ");
    const qsizetype function = place < 0 ? -1 : text.indexOf(") ", place);
    if (!text.startsWith('"') || function < 0)
        return;
    last = decodeFileName(text.sliced(function + 2).toByteArray());
    // The line after a failure may give its cause.
    if (std::exchange(causeMayFollow, false) && last.startsWith(QLatin1String("Cause: ")))
        failure += QLatin1String(": ") + last.mid(7);
    if (!failure.isEmpty())
        return;
    for (const char *prefix : failurePrefixes)
        if (last.startsWith(QLatin1String(prefix)))
            failure = last;
    causeMayFollow = !failure.isEmpty();
}
