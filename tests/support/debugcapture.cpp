#include "debugcapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex mutex;
QStringList captured;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg || qstrcmp(context.category, "default") != 0)
        return;
    QMutexLocker lock(&mutex);
    captured << message;
}
QtMessageHandler original = nullptr;

void dropDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && original)
        original(type, context, message);
}
} // namespace

void silenceDebugOutput()
{
    QtMessageHandler previous = qInstallMessageHandler(dropDebug);
    if (previous != dropDebug)
        original = previous;
}

DebugCapture::DebugCapture()
{
    clear();
    previous = qInstallMessageHandler(collect);
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(previous);
}

QStringList DebugCapture::lines() const
{
    QMutexLocker lock(&mutex);
    return captured;
}

void DebugCapture::clear()
{
    QMutexLocker lock(&mutex);
    captured.clear();
}

QStringList DebugCapture::linesWithout(const QStringList &prefixes) const
{
    QStringList out;
    for (const QString &line : lines()) {
        bool drop = false;
        for (const QString &prefix : prefixes)
            drop = drop || line == prefix || line.startsWith(prefix + QLatin1Char(' '));
        if (!drop)
            out << line;
    }
    return out;
}
