#include "debugtext.h"

QString printableLine(const char *line, int length)
{
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        --length;
    QString text;
    for (int i = 0; i < qMin(length, 120); ++i) {
        const uchar c = uchar(line[i]);
        text += c >= 0x20 && c < 0x7F ? QString(QLatin1Char(char(c)))
                                      : QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return length > 120 ? text + QStringLiteral("...") : text;
}
