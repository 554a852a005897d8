#include "nativename.h"

#include <QStringDecoder>

#include <algorithm>

namespace {

// Length of the valid UTF-8 sequence starting at `s` (at most `left` bytes),
// or 0 when it is not one (bad lead, bad continuation, overlong, surrogate,
// beyond U+10FFFF). Stores the code point in `cp`.
int utf8Sequence(const unsigned char *s, qsizetype left, char32_t &cp)
{
    const unsigned char lead = s[0];
    int length;
    char32_t min;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, min = 0x80, cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, min = 0x800, cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, min = 0x10000, cp = lead & 0x07;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

QString decodeFileName(const QByteArray &bytes)
{
    // ConvertInitialBom: a name may well begin with the bytes of a byte-order
    // mark, and they are part of it.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString valid = utf8(bytes);
    if (!utf8.hasError())
        return valid;

    const auto *s = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype size = bytes.size();
    QString name;
    name.reserve(size);
    for (qsizetype i = 0; i < size;) {
        char32_t cp;
        const int length = utf8Sequence(s + i, size - i, cp);
        if (length == 0) {
            name += QChar(char16_t(0xDC00 + s[i]));
            ++i;
        } else {
            if (QChar::requiresSurrogates(cp)) {
                name += QChar(QChar::highSurrogate(cp));
                name += QChar(QChar::lowSurrogate(cp));
            } else {
                name += QChar(char16_t(cp));
            }
            i += length;
        }
    }
    return name;
}

QByteArray encodeFileName(const QString &name)
{
    const bool hasRawBytes = std::any_of(name.cbegin(), name.cend(), [](QChar c) {
        return c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF;
    });
    if (!hasRawBytes)
        return name.toUtf8();

    QByteArray bytes;
    bytes.reserve(name.size());
    const qsizetype size = name.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t unit = name.at(i).unicode();
        if (unit < 0x80) {
            bytes += char(unit);
        } else if (QChar::isHighSurrogate(unit) && i + 1 < size && QChar::isLowSurrogate(name.at(i + 1).unicode())) {
            bytes += QString(name.constData() + i, 2).toUtf8();
            ++i;
        } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
            bytes += char(unit - 0xDC00); // an escaped raw byte
        } else {
            bytes += QString(QChar(unit)).toUtf8();
        }
    }
    return bytes;
}
