// The update engine: one serial port, one firmware image, one 200 ms tick.
#pragma once

#include "answerpace.h"
#include "enginestate.h"
#include "firmwareimage.h"
#include "seriallink.h"
#include "updatelog.h"

#include <QObject>
#include <QString>

#include <QSerialPort>

class QTimer;

class BootTest : public QObject
{
    Q_OBJECT

public:
    // How the update stands, for the window to show; terminal ones first.
    enum Condition {
        Working,      // on its way (or waiting for its first step)
        NotAnswering, // a command has gone unanswered; back to Working on the next answer
        LinkLost,     // the port reported the device gone; it is opened again once the device is back,
                      // and the update goes on: back to Working on the next answer
        ImageRefused, // nothing was sent: the image is missing or unusable (see imageProblem)
        PortFailed,   // nothing was sent: the port could not be opened (see portProblem)
        Completed,    // "$MJAPP" sent and the final stage done
        Retired,      // stopped before it ended: a newer engine took over, or its owner stopped it
    };
    Q_ENUM(Condition)

    // What a working update is doing, for the window to say.
    enum Phase {
        Erasing,  // up to the erase's answer, the start delay included
        Writing,  // the image's blocks
        Filling,  // zero blocks up to the next 4096-byte boundary
        Starting, // the new firmware is being started
    };
    Q_ENUM(Phase)

    // The image beside the program (appDirectory), as the window updates with.
    explicit BootTest(QString portName);
    // An image read and checked already (the console program checks it before it opens a port).
    BootTest(QString portName, FirmwareImage image);
    ~BootTest() override;

    // Stops the engine for good: its tick, its port and its log. The log gets the outcome,
    // after the lost connection that had stalled the update, unless the update had already ended.
    // Once "$MJAPP" has gone out, the update counts as complete.
    void stop(const QString &outcome);
    // Ended, and done with its port and log: nothing more will happen (it may be destroyed).
    bool isDone() const { return terminal != Working && (finalStageRan || stopped); }

    // Read by the progress display.
    int imageSize() const { return imageFileSize; }
    int currentMasterAddress() const { return int(masterAddress); }

    // Read by the window for its status text.
    Condition condition() const;
    // True until the update has ended one way or another (completed, refused, failed, retired).
    bool isRunning() const { return terminal == Working; }
    // "$MJAPP" was written to the port: the unit is starting its new firmware.
    bool startCommandSent() const { return startApplicationSent; }
    // Every image and fill block answered, "$MJAPP" still to go.
    bool awaitingStartCommand() const;
    // How often the link came back after a loss, each time writing the whole image again, and how
    // long ago it last did (-1: never).
    int restartCount() const { return restarts; }
    qint64 msSinceRestart() const { return restartedAtMs < 0 ? -1 : clock.elapsed() - restartedAtMs; }
    // How often and how long the link was lost, and what was written again: "; the connection was
    // lost once, ..." for an outcome line; empty if never.
    QString linkSummary() const;
    QString imagePath() const { return imageFile.path(); }
    // Why the image was refused, short, to follow "Firmware image "; empty otherwise. The debug
    // stream has the details.
    QString imageProblem() const { return terminal == ImageRefused ? problem : QString(); }
    QString portName() const { return serialPort->portName(); }
    // Why the port could not be opened, the system's words; empty otherwise.
    QString portProblem() const { return terminal == PortFailed ? problem : QString(); }
    // Once the update has ended: the SHA-256 of the image sent, where the file on disk no longer
    // holds it (changed during the update); empty otherwise.
    QString imageChangedFrom() const { return changedFrom; }
    // Milliseconds from construction to completion (or to now while running).
    qint64 elapsedMs() const { return finishedAfterMs >= 0 ? finishedAfterMs : clock.elapsed(); }
    Phase phase() const;
    // Milliseconds to the end of the update at the pace of the latest answers; -1 while there
    // is no pace to go by.
    qint64 estimatedMsLeft() const { return isRunning() ? pace.msLeft(imageFileSize) : -1; }
    // How long the device has been silent, in ticks of 200 ms, as milliseconds: since its last
    // answer, or since the first command before any answer.
    qint64 silentForMs() const { return qint64(qMax(silentTicks, 0)) * Protocol::TickMs; }
    // How long the port holds each of the device's answers, in ms, when its latency timer costs
    // time: above 2 ms by the driver's own setting, or measured over the first blocks at more
    // than 8 ms beyond the wire time; -1 otherwise.
    int heldAnswerMs() const;
    // The update's time had the port held each answer 1 ms only.
    qint64 msAtLowLatency() const;
    // How the operator sets the port's latency timer to 1 ms.
    QString lowerLatencyHowTo() const { return ::lowerLatencyHowTo(serialPort->portName()); }

    // The update's log file; empty when none could be written.
    QString logPath() const { return log.path(); }
    // Why the log could not be written, from its start or from some line on; empty while it is whole.
    QString logProblem() const { return logFailed ? log.problem() : QString(); }

    // Line assembly: stores received bytes and hands every completed line to the recogniser.
    void receiveBytes(const QByteArray &bytes);

private slots:
    void SerialGotData();
    void on_Timer();

private:
    friend struct EngineProbe; // test access

    void openImage();
    void advanceSequencer();
    void stepPrepare();
    void stepErase();
    void stepProgram(bool replyCall);
    void stepFill(bool replyCall);
    void stepStartApplication();
    void stepFinish();
    void parseReply();
    bool replyAwaited(Reply reply) const;
    void sendProgramBlock(const QByteArray &block, quint32 address, bool resend = false);
    // Frames and writes; *written tells whether the open port took it all without an error.
    int sendMessage(char *text, bool *written = nullptr);
    void noteResend();
    void portGone();
    void restartFromErase();
    void startNotWritten();
    QString endedBy(const QString &how) const;
    void conclude(const QString &how);
    void finish(Condition condition, const QString &outcome);
    void logOutcome(const QString &outcome);
    // A line for the debug stream and the log.
    void trace(const QString &line);
    // A line for the log only.
    void note(const QString &line);

    QSerialPort *serialPort;
    QTimer *tickTimer;
    char lineBuffer[Protocol::LineBufferSize];
    qint16 lineLength;
    FirmwareImage imageFile;
    qint32 imageFileSize;
    qint32 retryCount;

    // What the window reads about the outcome.
    Condition terminal = Working; // Working until the update ends
    bool unanswered = false;
    bool linkLost = false;
    bool startApplicationSent = false; // taken by an open port
    qint64 startBytesLeft = 0;         // of "$MJAPP", handed over but not yet written out
    bool finalStageRan = false;
    bool stopped = false;
    int restarts = 0;
    qint64 restartedAtMs = -1;
    bool closedAfterStart = false; // the link ended once "$MJAPP" was out
    int readErrors = 0;            // in a row, nothing read in between
    int consecutiveResends = 0;
    bool sentDuringBatch = false; // a message went out while the current received batch is handled
    QString problem;
    QString changedFrom;
    EngineClock clock;
    qint64 finishedAfterMs = -1;

    UpdateLog log;
    bool logFailed = false; // reported once, then the update goes on without it
    int silentTicks = -1;   // while an answer was due, since the last answer; -1 before any command
    bool answerDue = false; // an erase or a block is out, unanswered
    bool eraseSent = false; // since the erase stage was last entered
    AnswerPace pace;
    SerialLink link;
};
