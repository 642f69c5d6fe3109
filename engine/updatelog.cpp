#include "updatelog.h"

#include <QDateTime>
#include <QDir>
#include <QStandardPaths>

namespace {
QString chosenFolder;
const QString Prefix = QStringLiteral("update-");
const QString Suffix = QStringLiteral(".log");
} // namespace

void UpdateLog::setFolder(const QString &folder)
{
    chosenFolder = folder;
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
    // Named by local date and time, so that the names sort as the updates ran.
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    QString name = where + QLatin1Char('/') + Prefix + stamp + Suffix;
    for (int n = 2; QFile::exists(name); ++n)
        name = where + QLatin1Char('/') + Prefix + stamp + QLatin1Char('-') + QString::number(n) + Suffix;
    file.setFileName(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        const QString why = file.errorString();
        file.setFileName(QString()); // no log to name
        return fail(why);
    }
    prune();
    if (file.write(header().join(QLatin1Char('\n')).toUtf8() + '\n') < 0 || !file.flush())
        return fail(file.errorString());
    return true;
}

bool UpdateLog::write(qint64 ms, const QString &line)
{
    if (!file.isOpen())
        return false;
    // Flushed line by line: the log matters most when the program did not end well.
    const QByteArray text = QStringLiteral("%1  %2\n").arg(ms, 8).arg(line).toUtf8();
    if (file.write(text) != text.size() || !file.flush())
        return fail(file.errorString());
    return true;
}

void UpdateLog::prune() const
{
    QDir dir(QFileInfo(file).absolutePath());
    QStringList logs = dir.entryList({Prefix + QLatin1Char('*') + Suffix}, QDir::Files, QDir::Name);
    logs.removeOne(QFileInfo(file).fileName());
    for (int i = 0; i < logs.size() - (Kept - 1); ++i)
        dir.remove(logs.at(i));
}

bool UpdateLog::fail(const QString &why)
{
    failure = why;
    file.close();
    return false;
}
