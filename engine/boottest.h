// The update engine: one serial port, one firmware image, one 200 ms tick.
#pragma once

#include "enginestate.h"
#include "latencytimer.h"
#include "updatelog.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>

class QSerialPort;
class QTimer;

class BootTest : public QObject
{
    Q_OBJECT

public:
    // How the update stands, for the window to show; terminal ones first.
    enum Condition {
        Working,         // on its way (or waiting for its first step)
        NotAnswering,    // a command has gone unanswered; back to Working on the next answer
        LinkLost,        // the port reported the device gone; back to Working on the next answer
        ImageRefused,    // nothing was sent: the image is missing or unusable (see imageProblem)
        ImageReadFailed, // the image could not be read mid-transfer; no "$MJAPP" was sent
        Completed,       // "$MJAPP" sent and the final stage done
        Retired,         // stopped before it ended: a newer engine took over, or its owner stopped it
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

    // Why an image cannot be sent: empty when it can. detail is the debug line that says so.
    struct ImageCheck
    {
        QString problem; // short, to follow "Firmware image "
        QString detail;
    };

    // The image beside the program (appDirectory), as the window updates with.
    explicit BootTest(QString portName);
    // A given image; a null path stands for one beside a program whose folder path is too long.
    BootTest(QString portName, const QString &imagePath);
    ~BootTest() override;

    // The image file beside the program; null when its path does not fit.
    static QString imageBesideProgram();
    // Opens the file and checks it can be sent, reading it whole once; when it can, the file is
    // left open at 0x4000.
    static ImageCheck inspectImage(QFile &file);

    // Stops the engine for good: its tick, its port and its image. The log gets the outcome,
    // after the lost connection that had stalled the update, unless the update had already ended.
    void stop(const QString &outcome);

    // Read by the progress display.
    int imageSize() const;
    int currentMasterAddress() const;

    // Read by the window for its status text.
    Condition condition() const;
    // True until the update has ended one way or another (completed, refused, failed, retired).
    bool isRunning() const;
    QString imagePath() const;
    // Why the image was refused or its reading stopped, short, to follow "Firmware image ";
    // empty otherwise. The debug stream has the details.
    QString imageProblem() const;
    // Milliseconds from construction to completion (or to now while running).
    qint64 elapsedMs() const;
    Phase phase() const;
    // Milliseconds to the end of the update at the pace of the latest answers; -1 while there
    // is no pace to go by.
    qint64 estimatedMsLeft() const;
    // How long the device has been silent, in ticks of 200 ms, as milliseconds: since its last
    // answer, or since the first command before any answer.
    qint64 silentForMs() const;
    // How long the port holds each of the device's answers, in ms, when its latency timer costs
    // time: above 2 ms by the driver's own setting, or measured over the first blocks at more
    // than 8 ms beyond the wire time; -1 otherwise.
    int heldAnswerMs() const;
    // The update's time had the port held each answer 1 ms only.
    qint64 msAtLowLatency() const;
    // How the operator sets the port's latency timer to 1 ms.
    QString lowerLatencyHowTo() const;

    // The update's log file; empty when none could be written.
    QString logPath() const;
    // Why the log could not be written, from its start or from some line on; empty while it is whole.
    QString logProblem() const;

    // Line assembly: stores received bytes and hands every completed line to the recogniser.
    void receiveBytes(const QByteArray &bytes);

private slots:
    void SerialGotData();
    void on_Timer();

private:
    friend struct EngineProbe; // test access

    QStringList logHeader(const QString &portName, const QString &imagePath) const;
    void openImage(const QString &path);
    void refuseImage(const QString &problem);
    void advanceSequencer();
    void stepPrepare();
    void stepErase();
    void stepProgram(bool replyCall);
    void stepFill(bool replyCall);
    void stepStartApplication();
    void stepFinish();
    void parseReply();
    bool replyAwaited(Reply reply) const;
    void sendProgramBlock(const QByteArray &block, quint32 address);
    void sendMessage(char *text);
    void noteResend();
    void checkLatency();
    void timeAnswer(int replyBytes);
    QString endedBy(const QString &how) const;
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
    QFile imageFile;
    qint32 imageFileSize;
    qint32 retryCount;

    // What the window reads about the outcome.
    Condition terminal = Working; // Working until the update ends
    bool unanswered = false;
    bool linkLost = false;
    bool startApplicationSent = false;
    bool closedAfterStart = false; // the link ended once "$MJAPP" was out
    int consecutiveResends = 0;
    bool sentDuringBatch = false; // a message went out while the current received batch is handled
    QString problem;
    QElapsedTimer clock;
    qint64 finishedAfterMs = -1;

    UpdateLog log;
    bool logFailed = false; // reported once, then the update goes on without it
    int silentTicks = -1;   // since the last answer, or the first command; -1 before any command
    static constexpr int PaceSamples = 32;
    qint64 answerTimes[PaceSamples] = {}; // of the latest "$MPRGA"s accepted, a ring
    int answerCount = 0;

    LatencyTimer latency;
    QString latencyLogged;
    qint64 sentAtNs = 0; // the latest message's
    int sentBytes = 0;
    bool blockResent = false;        // the outstanding block went out more than once
    qint64 heldUs[PaceSamples] = {}; // answers beyond the wire time, the first blocks sent once
    int heldCount = 0;
    qint64 measuredHeldUs = -1; // their median, where it is worth lowering the timer
};
