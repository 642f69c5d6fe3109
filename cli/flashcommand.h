// velmorith-flash: one update from the command line, on the window's engine. It checks its
// arguments, the image and the port before anything is sent, shows progress, gives up after a
// silence a script can set, and ends with an exit code a script can act on.
#pragma once

#include "firmwareimage.h"
#include "portenumeration.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class BootTest;
class QTimer;

class FlashCommand : public QObject
{
    Q_OBJECT

public:
    enum ExitCode {
        Complete = 0,
        UsageError = 1,
        PortProblem = 2,
        ImageProblem = 3,
        NotAnswering = 4,
        ConnectionLost = 5,
        Interrupted = 130,
    };

    struct Output
    {
        std::function<void(const QString &)> out; // results, a line at a time, '\n' included
        std::function<void(const QString &)> err; // messages and progress, text as it comes
        bool terminal = false;                    // err is a terminal: progress is redrawn in place
    };

    // cancelled, where given, tells whether the user has asked to stop (before start(), while a
    // pipe given as the image is waited on).
    FlashCommand(Output output, PortEnumerator ports, std::function<bool()> cancelled = {}, QObject *parent = nullptr);
    ~FlashCommand() override;

    // Reads the arguments (the program's name first) and checks the image and the port. Returns
    // the exit code when there is nothing to update (help, list, bad input); -1 when start() is next.
    int prepare(const QStringList &arguments);
    // Starts the update; finished() tells how it ended.
    void start();
    // Stops the update as the user asked (Ctrl+C, a kill, the console closed).
    void interrupt();
    // A debug line of the engine: on err only with --verbose (it is in the log in any case).
    void debugLine(const QString &line);

    static QString usage();

signals:
    void finished(int exitCode);

private:
    friend struct CommandProbe; // test access

    void onTick();
    void showProgress();
    void end(int exitCode, const QString &outcome);
    QString progressLine() const;
    QString completeLine() const;
    int usageError(const QString &problem);
    int listPorts();
    int checkPort();
    bool stoppedBeforeStart();
    void clearProgress();
    void sayLogProblem();

    Output io;
    PortEnumerator enumerate;
    std::function<bool()> cancelled;
    QString portName;
    FirmwareImage firmware;
    qint64 giveUpMs = 60000;
    bool verbose = false;
    std::unique_ptr<BootTest> engine;
    QTimer *ticker = nullptr;
    QString drawn;     // the progress line on the terminal now
    QString lastShown; // the last progress said, in a pipe: its phase, tenth of the way, and condition
    bool ended = false;
    bool logProblemSaid = false;
};
