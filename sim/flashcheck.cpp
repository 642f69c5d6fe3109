#include "flashcheck.h"

#include "devicemodel.h"
#include "protocol.h"

QByteArray expectedFlash(const QByteArray &image)
{
    const int size = image.size();
    if (size <= int(Protocol::ImageStart) || size > Sim::FlashSize)
        return QByteArray();
    QByteArray flash(Sim::FlashSize, char(0xFF));
    const int boundary = int(Protocol::FillBoundary);
    const int fillEnd = (size + boundary - 1) / boundary * boundary;
    const int start = int(Protocol::ImageStart);
    flash.replace(start, size - start, image.constData() + start, size - start);
    flash.replace(size, fillEnd - size, QByteArray(fillEnd - size, '\0'));
    return flash;
}

FlashCheck checkFlash(const QByteArray &flash, const QByteArray &image)
{
    FlashCheck result;
    const QByteArray expected = expectedFlash(image);
    if (expected.isEmpty()) {
        result.description = QStringLiteral("image of %1 bytes is not one the engine sends").arg(image.size());
        return result;
    }
    if (flash.size() != expected.size()) {
        result.description = QStringLiteral("flash holds %1 bytes, not %2").arg(flash.size()).arg(expected.size());
        return result;
    }
    for (int i = 0; i < expected.size(); ++i) {
        if (flash[i] == expected[i])
            continue;
        if (result.differences++ == 0) {
            result.firstDifference = i;
            result.expected = quint8(expected[i]);
            result.actual = quint8(flash[i]);
        }
    }
    result.ok = result.differences == 0;
    result.description = result.ok ? QStringLiteral("flash matches the image")
                                   : QStringLiteral("%1 wrong bytes, first at 0x%2: 0x%3 instead of 0x%4")
                                         .arg(result.differences)
                                         .arg(result.firstDifference, 4, 16, QLatin1Char('0'))
                                         .arg(result.actual, 2, 16, QLatin1Char('0'))
                                         .arg(result.expected, 2, 16, QLatin1Char('0'));
    return result;
}
