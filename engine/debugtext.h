// Text as the engine's debug lines print it, for the debug stream and the update's log alike.
#pragma once

#include <QDebug>
#include <QString>

// The items as one qDebug() line would print them: blank-separated, strings in quotes.
template <typename... Items> QString debugText(const Items &...items)
{
    QString text;
    {
        QDebug stream(&text);
        (stream << ... << items);
    }
    // A message drops the blank after the last item; so does this.
    if (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

// A received line for the log: line end dropped, other bytes outside ASCII as \xNN, at most 120.
QString printableLine(const char *line, int length);
