// The log file of one update: every line the engine prints and what it does silently, each
// with the milliseconds since the engine was built. Something to send to the engineers after
// a failed update, where the debug stream is out of reach (Windows without a debugger).
#pragma once

#include <QDateTime>
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
    // The clock that names the logs; an empty one is the system's (tests set a fixed one).
    static void setClock(const std::function<QDateTime()> &clock);

    // Creates the log of an update starting now, under a name no other log has (another program
    // may be starting an update at the same moment), headed by the lines header() gives (asked
    // only once the file is there), and drops the oldest beyond Kept. Returns false, with the
    // reason in problem(), when no log can be written.
    bool open(const std::function<QStringList()> &header);
    // One line; false when it could not be written (the log is closed then, for good). Once the
    // log has been closed, lines are let go.
    bool write(qint64 ms, const QString &line);
    // The update has ended: the file is closed, nothing more is written to it.
    void close();
    QString path() const { return file.fileName(); }
    QString problem() const { return failure; }

private:
    void prune() const;
    bool fail(const QString &why);

    QFile file;
    QString failure;
    bool closed = false;
};
