#include "updatelog.h"

#include "systemfile.h"

#include <QDir>
#include <QStandardPaths>

#include <algorithm>

namespace {
QString chosenFolder;
std::function<QDateTime()> chosenClock;
const QString Prefix = QStringLiteral("update-");
const QString Suffix = QStringLiteral(".log");

// All of it, or false: a write cut short says nothing of why, the next one's refusal does (a full
// disk takes what fits, then refuses).
bool writeAll(QFile &file, const QByteArray &bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}
} // namespace

void UpdateLog::setFolder(const QString &folder)
{
    chosenFolder = folder;
}

void UpdateLog::setClock(const std::function<QDateTime()> &clock)
{
    chosenClock = clock;
}

QString UpdateLog::folder()
{
    if (!chosenFolder.isEmpty())
        return chosenFolder;
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/logs");
}

bool UpdateLog::open(const std::function<QStringList()> &header)
{
    const QString where = folder();
    if (!QDir().mkpath(where))
        return fail(QStringLiteral("cannot make the folder %1").arg(QDir::toNativeSeparators(where)));
    // Named by local date and time, so that a person finds an update's log by when it ran.
    const QDateTime now = chosenClock ? chosenClock() : QDateTime::currentDateTime();
    const QString stamp = now.toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    for (int n = 1;; ++n) {
        const QString suffix = n > 1 ? QLatin1Char('-') + QString::number(n) + Suffix : Suffix;
        file.setFileName(where + QLatin1Char('/') + Prefix + stamp + suffix);
        QString why;
        if (SystemFile::createNew(file, why))
            break;
        // Taken, by another update starting at the same moment as like as not: the next name.
        const QFileInfo taken(file.fileName());
        if (n == 100 || !(taken.exists() || taken.isSymLink())) {
            file.setFileName(QString()); // no log to name
            return fail(why);
        }
    }
    const QByteArray heading = header().join(QLatin1Char('\n')).toUtf8() + '\n';
    if (!writeAll(file, heading)) {
        // A log without even its heading (a full disk) is no log: none is named, none is left.
        const QString why = file.errorString();
        file.remove();
        file.setFileName(QString());
        return fail(why);
    }
    // Only once this log is there: a folder that takes no log keeps the ones it has.
    prune();
    return true;
}

bool UpdateLog::write(qint64 ms, const QString &line)
{
    if (closed)
        return true;
    if (!file.isOpen())
        return false;
    // Written line by line (unbuffered): the log matters most when the program did not end well.
    const QByteArray text = QStringLiteral("%1  %2\n").arg(ms, 8).arg(line).toUtf8();
    if (!writeAll(file, text))
        return fail(file.errorString());
    return true;
}

void UpdateLog::close()
{
    closed = true;
    file.close();
}

void UpdateLog::prune() const
{
    QDir dir(QFileInfo(file).absolutePath());
    QFileInfoList logs = dir.entryInfoList({Prefix + QLatin1Char('*') + Suffix}, QDir::Files);
    // Newest first by the files' own times: names follow the wall clock, which may have been set
    // back since (the name breaks ties). Times ahead of now come from a clock that was ahead and has
    // been set right since: those logs count as the oldest, or they would outlive every new one.
    const QDateTime ahead = QDateTime::currentDateTime().addSecs(60);
    std::sort(logs.begin(), logs.end(), [&ahead](const QFileInfo &a, const QFileInfo &b) {
        const bool aheadA = a.lastModified() > ahead, aheadB = b.lastModified() > ahead;
        if (aheadA != aheadB)
            return aheadB;
        return a.lastModified() != b.lastModified() ? a.lastModified() > b.lastModified() : a.fileName() > b.fileName();
    });
    const QString own = QFileInfo(file).fileName();
    int kept = 1; // this update's, never dropped
    for (const QFileInfo &log : qAsConst(logs)) {
        if (log.fileName() != own && ++kept > Kept)
            dir.remove(log.fileName());
    }
}

bool UpdateLog::fail(const QString &why)
{
    failure = why;
    file.close();
    return false;
}
