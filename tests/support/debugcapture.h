// Collects the lines written to the Qt debug stream while it lives.
#pragma once

#include <QStringList>
#include <QtGlobal>

// Keeps the debug stream out of the test log (warnings still show); DebugCapture still sees it.
void silenceDebugOutput();

class DebugCapture
{
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture &) = delete;
    DebugCapture &operator=(const DebugCapture &) = delete;

    // Debug-level lines of the "default" category, as they would be printed.
    QStringList lines() const;
    void clear();
    // Lines that match none of the given prefixes (handy to drop "d" and "String Len:").
    QStringList linesWithout(const QStringList &prefixes) const;

private:
    QtMessageHandler previous;
};
