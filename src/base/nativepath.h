#pragma once

// A file-system path held twice, converted once: the bytes the kernel takes,
// and the text that log lines show (decoded losslessly, see nativename.h).
// Building a child path appends to both, so no path is ever converted back.

#include <QByteArray>
#include <QString>

class NativePath
{
public:
    NativePath() = default;
    static NativePath fromNative(const QByteArray &bytes);

    const QByteArray &native() const { return bytes; }
    const QString &text() const { return display; }

    // `name` (one component, as bytes) inside this directory.
    NativePath child(const QByteArray &name) const;
    // The same, with the name's text already made (decodeFileName(name)).
    NativePath child(const QByteArray &name, const QString &nameText) const;

private:
    NativePath(QByteArray bytes, QString display) : bytes(std::move(bytes)), display(std::move(display)) {}

    QByteArray bytes;
    QString display;
};
