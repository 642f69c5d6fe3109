// Transfer state shared by every engine in the process. One transfer runs at a time;
// everything here is touched only on the GUI thread.
#pragma once

#include "protocol.h"

#include <QByteArray>
#include <QtGlobal>

#include <functional>

class BootTest;

// The engine's clock: the system's monotonic clock, unless a test moves time itself (answers
// that take a known time, without waiting for them).
class EngineClock
{
public:
    void start() { startNs = now(); }
    qint64 elapsed() const { return nsecsElapsed() / 1000000; }
    qint64 nsecsElapsed() const { return now() - startNs; }

    static qint64 now();
    // Nanoseconds from some fixed point; an empty function brings the system's clock back.
    static void setSource(const std::function<qint64()> &source);

private:
    qint64 startNs = 0;
};

enum SequencerStage : qint32 {
    StagePrepare = 0,
    StageErase = 1,
    StageProgram = 2,
    StageFill = 3,
    StageStartApplication = 4,
    StageFinish = 5,
};

// The executable's directory with its trailing separator, 8-bit text as the command line gives it.
extern char appDirectory[400];
// Set when the program path did not fit appDirectory: no image path can be made from it.
extern bool appDirectoryOverflow;

extern qint32 sequencerStage;
extern qint32 tickCountdown;
extern quint32 masterAddress;
extern qint32 chainStep;
extern quint8 chainCount;
extern bool suppressResend;
extern char txBuffer[Protocol::TxBufferSize];
// The data of the block most recently sent (empty for a fill block).
extern QByteArray currentBlock;
// The engine that owns the transfer state; a newer engine retires the one before it.
extern BootTest *activeEngine;

// Back to the state of a fresh process (appDirectory, the log folder, the port list and the clock
// included).
void resetEngineState();
