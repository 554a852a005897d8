#pragma once

// File names as bytes <-> QString, losslessly in both directions.

#include <QByteArray>
#include <QString>

// Lossless conversion between file names as the file system stores them
// (bytes) and QString. Valid UTF-8 decodes as usual; every byte that is not
// part of valid UTF-8 becomes the lone surrogate U+DC80..U+DCFF, and encoding
// turns such surrogates back into the original bytes. So any name, also one
// in a legacy encoding, survives the round trip, and log lines show it as it
// is on disk. (QFile::encodeName/decodeName would replace such bytes.)
QString decodeFileName(const QByteArray &bytes);
QByteArray encodeFileName(const QString &name);
