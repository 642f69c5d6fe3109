// Transfer state shared by every engine in the process. One transfer runs at a time;
// everything here is touched only on the GUI thread.
#pragma once

#include "protocol.h"

#include <QByteArray>
#include <QtGlobal>

class BootTest;

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

// Back to the state of a fresh process (appDirectory, the log folder and the port list included).
void resetEngineState();
