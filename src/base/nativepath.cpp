#include "nativepath.h"

#include "nativename.h"

NativePath NativePath::fromNative(const QByteArray &bytes)
{
    return NativePath(bytes, decodeFileName(bytes));
}

NativePath NativePath::child(const QByteArray &name) const
{
    return child(name, decodeFileName(name));
}

NativePath NativePath::child(const QByteArray &name, const QString &nameText) const
{
    // A separator ends any unfinished byte sequence, so decoding the name
    // alone gives the same text as decoding the whole path again.
    if (bytes.endsWith('/'))
        return NativePath(bytes + name, display + nameText);
    return NativePath(bytes + '/' + name, display + QLatin1Char('/') + nameText);
}
