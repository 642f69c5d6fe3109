// The log file of one update: every line the engine prints and what it does silently, each
// with the milliseconds since the engine was built. Something to send to the engineers after
// a failed update, where the debug stream is out of reach (Windows without a debugger).
#pragma once

#include <QFile>
#include <QString>
#include <QStringList>

#include <functional>

class UpdateLog
{
public:
    static constexpr int Kept = 100; // newest logs kept in the folder

    // Where logs go; an empty folder means the per-user default (application data, "logs").
    static void setFolder(const QString &folder);
    static QString folder();

    // Creates the log of an update starting now, headed by the lines header() gives (asked only
    // once the file is there), and drops the oldest beyond Kept. Returns false, with the reason
    // in problem(), when no log can be written.
    bool open(const std::function<QStringList()> &header);
    // One line; false when it could not be written (the log is closed then, for good).
    bool write(qint64 ms, const QString &line);
    QString path() const { return file.fileName(); }
    QString problem() const { return failure; }

private:
    void prune() const;
    bool fail(const QString &why);

    QFile file;
    QString failure;
};
