#include "boottest.h"

#include "debugtext.h"
#include "logheading.h"

#include <QDebug>
#include <QSerialPort>
#include <QTimer>

using namespace Protocol;

BootTest::BootTest(QString portName)
    : BootTest(std::move(portName), FirmwareImage::load(FirmwareImage::besideProgram()))
{
}

BootTest::BootTest(QString portName, FirmwareImage image)
    : QObject(nullptr), imageFile(std::move(image)),
      link([this](const QString &line) { note(line); }, [this] { return clock.elapsed(); })
{
    // Only one engine drives the shared transfer state; the one before it stops for good.
    if (activeEngine && activeEngine != this)
        activeEngine->stop(QStringLiteral("update stopped by a new Start"));
    activeEngine = this;
    clock.start();
    const ListedPort listed = PortListing::find(portName);
    if (!log.open([&] { return logHeading(portName, listed, imageFile); })) {
        logFailed = true;
        qDebug() << "Update log not written:" << log.problem();
    }

    serialPort = new QSerialPort(portName);
    link.configure(serialPort, listed);
    lineLength = 0;
    tickTimer = new QTimer(this);
    connect(tickTimer, SIGNAL(timeout()), this, SLOT(on_Timer()));
    connect(serialPort, SIGNAL(readyRead()), this, SLOT(SerialGotData()));
    // Counts the start command out of the port, wherever the system writes in the background.
    connect(serialPort, &QSerialPort::bytesWritten, this,
            [this](qint64 bytes) { startBytesLeft = qMax<qint64>(0, startBytesLeft - bytes); });
    // A lambda, not a slot: the device unplugged is reported once and read by the window.
    connect(serialPort, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        // A hung-up tty (an unplugged adapter on Linux) reads end-of-file without end, which the
        // port reports as a read error again and again: a few in a row with nothing read are
        // the same news as the device gone.
        if (error == QSerialPort::ResourceError || (error == QSerialPort::ReadError && ++readErrors >= 3))
            portGone();
    });
    trace(debugText("Test Port ", portName));
    if (!link.open())
        note(QStringLiteral("Port not opened: %1").arg(link.openProblem()));
    openImage();
    // Nothing goes out through a port that did not open: said as it is, not as a silent device.
    if (isRunning() && !serialPort->isOpen()) {
        sequencerStage = StageFinish;
        problem = link.openProblem();
        finish(PortFailed, QStringLiteral("port cannot be opened (%1)").arg(problem));
    }
    retryCount = 0;
    tickCountdown = StartDelayTicks;
    tickTimer->setInterval(TickMs);
    tickTimer->start();
}

BootTest::~BootTest()
{
    // Let go of mid-update (the program ends): the log gets its outcome all the same.
    if (terminal == Working)
        conclude(QStringLiteral("program closed during the update"));
    log.close();
    trace(debugText(serialPort->portName()));
    if (serialPort->isOpen()) {
        serialPort->readAll();
        link.close();
        trace(QStringLiteral("Close"));
    }
    delete serialPort;
    if (activeEngine == this)
        activeEngine = nullptr;
}

BootTest::Condition BootTest::condition() const
{
    if (terminal != Working)
        return terminal;
    if (linkLost)
        return LinkLost;
    if (unanswered)
        return NotAnswering;
    return Working;
}

bool BootTest::awaitingStartCommand() const
{
    if (startApplicationSent || !isRunning())
        return false;
    return sequencerStage == StageStartApplication ||
           (sequencerStage == StageFill && suppressResend && masterAddress % FillBoundary == 0);
}

BootTest::Phase BootTest::phase() const
{
    switch (sequencerStage) {
    case StagePrepare:
    case StageErase:
        return Erasing;
    case StageProgram:
        return Writing;
    case StageFill:
        return Filling;
    default:
        return Starting;
    }
}

void BootTest::openImage()
{
    sequencerStage = StageFinish;
    chainStep = 5;
    masterAddress = ImageStart;
    chainCount = 0;
    imageFileSize = qint32(qMin<qint64>(imageFile.fileSize(), INT32_MAX));
    if (!imageFile.path().isNull())
        trace(imageFile.path());
    if (!imageFile.detail().isEmpty())
        trace(imageFile.detail());
    if (imageFile.problem().isEmpty()) {
        sequencerStage = StagePrepare;
        return;
    }
    // The stage stays at StageFinish: nothing is sent, the port closes on the first step.
    problem = imageFile.problem();
    finish(ImageRefused, QStringLiteral("image refused (%1)").arg(problem));
}

void BootTest::on_Timer()
{
    if (this != activeEngine)
        return;
    if (isRunning() && link.retry())
        restartFromErase();
    // Silence counts only while an answer is due, or the device is gone: not in the engine's own pauses.
    if (silentTicks >= 0 && (answerDue || linkLost))
        ++silentTicks;
    if (tickCountdown == 0)
        return;
    if (--tickCountdown == 0)
        advanceSequencer();
}

void BootTest::advanceSequencer()
{
    // A reply call arrives with the countdown still running; a timeout call finds it at 0.
    const bool replyCall = tickCountdown != 0;
    // The port is closed while the device is gone: nothing to send again, and the whole image goes
    // again once it is back.
    if (linkLost && !replyCall &&
        (sequencerStage == StageErase || sequencerStage == StageProgram || sequencerStage == StageFill)) {
        tickCountdown = BlockAnswerTicks;
        return;
    }
    switch (sequencerStage) {
    case StagePrepare:
        stepPrepare();
        break;
    case StageErase:
        stepErase();
        break;
    case StageProgram:
        stepProgram(replyCall);
        break;
    case StageFill:
        stepFill(replyCall);
        break;
    case StageStartApplication:
        stepStartApplication();
        break;
    case StageFinish:
        stepFinish();
        break;
    default:
        break;
    }
}

void BootTest::stepPrepare()
{
    if (retryCount == 0) {
        tickCountdown = PrepareTicks;
        sequencerStage = StageErase;
        eraseSent = false;
    } else if (retryCount == 2) {
        // The erase went unanswered twice: give the link a fresh start.
        note(QStringLiteral("Port closed, to be reopened for a fresh start"));
        link.close();
        retryCount = 1;
        tickCountdown = EraseRetryStepTicks;
    } else {
        const bool wasLost = link.isDown();
        retryCount = 0;
        tickCountdown = EraseRetryStepTicks;
        if (!link.reopen()) // by the same adapter only, if it was lost meanwhile
            note(QStringLiteral("Port not reopened: %1").arg(link.openProblem()));
        else if (wasLost)
            restartFromErase();
        else
            note(QStringLiteral("Port reopened"));
    }
}

void BootTest::stepErase()
{
    if (retryCount != 0)
        note(QStringLiteral("Erase sent again: no answer within %1 s").arg(EraseAnswerTicks * TickMs / 1000));
    composeMessage("%s", EraseCommand);
    sendMessage(txBuffer);
    answerDue = true;
    eraseSent = true;
    if (retryCount == 0) {
        tickCountdown = EraseAnswerTicks;
    } else {
        unanswered = true;
        tickCountdown = EraseRetryStepTicks;
        sequencerStage = StagePrepare;
    }
    ++retryCount;
}

void BootTest::stepProgram(bool replyCall)
{
    if (!replyCall) {
        if (!suppressResend) {
            noteResend();
            sendProgramBlock(currentBlock, masterAddress, true);
        }
        tickCountdown = BlockAnswerTicks;
        return;
    }

    // The image was read whole before the erase: blocks come from those bytes alone.
    const qint64 remaining = imageFile.size() - qint64(masterAddress);
    if (imageFile.atEnd() || remaining <= 0) {
        sequencerStage = StageFill;
        trace(debugText(imageFile.pos()));
        trace(debugText(masterAddress));
        suppressResend = true;
        tickCountdown = BlockAnswerTicks;
        return;
    }
    currentBlock = imageFile.read(qMin<qint64>(remaining, BlockSize));
    suppressResend = false;
    sendProgramBlock(currentBlock, masterAddress);
    tickCountdown = BlockAnswerTicks;
}

void BootTest::stepFill(bool replyCall)
{
    if (!replyCall && !suppressResend) {
        noteResend();
        sendProgramBlock(currentBlock, masterAddress, true);
        tickCountdown = BlockAnswerTicks;
        return;
    }
    if (masterAddress % FillBoundary == 0) {
        sequencerStage = StageStartApplication;
        trace(debugText(masterAddress));
        suppressResend = true;
        tickCountdown = BlockAnswerTicks;
        return;
    }
    currentBlock.clear();
    suppressResend = false;
    sendProgramBlock(currentBlock, masterAddress);
    tickCountdown = BlockAnswerTicks;
}

void BootTest::stepStartApplication()
{
    // Sent only once taken by an open port, and counted out by it (at once on Linux; where the
    // system writes in the background, as Windows does, once it says so): a unit that never got
    // it stays in its bootloader. A link lost here is lost like any other: the update goes on once
    // the device is back.
    bool taken = false;
    if (!linkLost) {
        composeMessage("%s", StartApplicationCommand);
        sendMessage(txBuffer, &taken);
        // What the port still holds of it once it has been flushed: nothing on Linux.
        startBytesLeft = taken ? serialPort->bytesToWrite() : 0;
    }
    if (!taken) {
        startBytesLeft = 0;
        portGone();
        tickCountdown = BlockAnswerTicks;
        return;
    }
    startApplicationSent = true;
    sequencerStage = StageFinish;
    imageFile.close();
    tickCountdown = StartApplicationTicks;
}

void BootTest::stepFinish()
{
    // A second after it was handed over, the port has still not written the start command out.
    if (startApplicationSent && startBytesLeft > 0 && !closedAfterStart) {
        startNotWritten();
        portGone();
        return;
    }
    trace(debugText("Chain:", unsigned(chainCount)));
    finalStageRan = true;
    if (chainStep == 5)
        link.close();
    if (startApplicationSent && terminal == Working)
        finish(Completed, QStringLiteral("update complete"));
    // The engine may live on (the window keeps it): it holds no file open once it is idle.
    if (!isRunning())
        log.close();
}

void BootTest::portGone()
{
    if (!isRunning() || closedAfterStart)
        return;
    // Handed over, but never written out: the link went before the start command.
    if (startApplicationSent && startBytesLeft > 0)
        startNotWritten();
    // Once "$MJAPP" is out, the new application may take the line: the expected end, not a fault.
    // Nothing more is sent: the port closes now rather than read a dead line until the final stage.
    if (startApplicationSent) {
        closedAfterStart = true;
        note(QStringLiteral("Connection closed after the start command, as the new firmware starts"));
        QTimer::singleShot(0, this, [this] { link.close(); });
        return;
    }
    if (!linkLost)
        trace(debugText("Connection lost", serialPort->portName()));
    linkLost = true;
    if (silentTicks < 0) // lost before the first command: the give-up time runs from now
        silentTicks = 0;
    // Closed once the port's own error handling is over; the tick opens it again when it can.
    QTimer::singleShot(0, this, [this] {
        if (isRunning() && linkLost)
            link.lost();
    });
}

void BootTest::startNotWritten()
{
    note(QStringLiteral("The start command was not written out: it did not reach the unit"));
    startApplicationSent = false;
    startBytesLeft = 0;
    sequencerStage = StageStartApplication;
    tickCountdown = BlockAnswerTicks;
}

void BootTest::restartFromErase()
{
    // Nothing in the device's answers names the unit, and the cable's adapter may now be plugged
    // into another one: whichever unit is behind the port gets the whole image from the erase, or
    // the update is not called complete.
    note(link.reopened() + QStringLiteral(": the unit behind the cable may have changed, so the update starts "
                                          "again from the erase"));
    ++restarts;
    restartedAtMs = clock.elapsed();
    linkLost = false;
    unanswered = false;
    consecutiveResends = 0;
    // Whatever was on its way when the link went is lost: a part line would spoil the next answer.
    lineLength = 0;
    readErrors = 0;
    masterAddress = ImageStart;
    imageFile.rewind();
    currentBlock.clear();
    suppressResend = true;
    retryCount = 0;
    sequencerStage = StageErase;
    stepErase();
}

void BootTest::noteResend()
{
    note(QStringLiteral("Block %1 sent again: no answer within %2 s")
             .arg(QString::number(masterAddress, 16).toUpper())
             .arg(double(BlockAnswerTicks * TickMs) / 1000.0));
    // Two resends in a row (about 5 s of silence): the device is not answering.
    if (++consecutiveResends >= 2)
        unanswered = true;
}

int BootTest::heldAnswerMs() const
{
    if (link.latency().worthLowering())
        return link.latency().ms;
    return pace.heldMs();
}

qint64 BootTest::msAtLowLatency() const
{
    const int held = heldAnswerMs();
    return held < 0 ? elapsedMs() : qMax<qint64>(0, elapsedMs() - qint64(pace.answers()) * (held - 1));
}

void BootTest::SerialGotData()
{
    const QByteArray bytes = serialPort->readAll();
    if (!bytes.isEmpty())
        readErrors = 0;
    trace(QStringLiteral("d"));
    receiveBytes(bytes);
}

void BootTest::receiveBytes(const QByteArray &bytes)
{
    sentDuringBatch = false;
    for (const char byte : bytes) {
        lineBuffer[lineLength] = byte;
        if (++lineLength == LineBufferSize)
            lineLength = 0;
        if (byte == '\n') {
            parseReply();
            lineLength = 0;
        }
    }
}

bool BootTest::replyAwaited(Reply reply) const
{
    // Once "$MJAPP" is out there is nothing left to answer, and the final stage must run; an
    // update that has ended takes nothing either.
    if (startApplicationSent || !isRunning())
        return false;
    // While data moves, only the answer to what is outstanding may move it on: a stray
    // "$MBL" would end the image early, a stray "$SPRGA" would shift every later block.
    switch (sequencerStage) {
    case StageErase:
        // Only once this stage has sent the erase: one answered before (a stale answer, the erase
        // of an earlier cycle) would start the image on a flash nobody erased.
        return reply == Reply::EraseAck && eraseSent;
    case StageProgram:
    case StageFill:
        // Every byte of this batch arrived before a block sent while handling it, so no
        // "$MPRGA" in the rest of the batch can answer that block: it is a late duplicate.
        return reply == Reply::ProgramAck && !suppressResend && !sentDuringBatch;
    case StageStartApplication:
        return false;
    case StagePrepare:
        // No block has gone out yet (or the erase is being retried): an answer to a block
        // here belongs to an earlier engine or copy, and would shift every block by 32. The
        // erase's late answer, or "$MBL", moves on to the erase; nothing else may keep the port
        // open at the end.
        return reply == Reply::EraseAck || reply == Reply::MasterBootloader;
    default:
        return true;
    }
}

void BootTest::parseReply()
{
    const Reply reply = recogniseReply(lineBuffer, lineLength);
    if (reply == Reply::None || this != activeEngine || !replyAwaited(reply)) {
        note(QStringLiteral("Dropped: ") + printableLine(lineBuffer, lineLength));
        return;
    }
    unanswered = false;
    linkLost = false;
    consecutiveResends = 0;
    silentTicks = 0;
    answerDue = false;

    switch (reply) {
    case Reply::EraseAck:
        ++sequencerStage;
        tickCountdown = ReplyArmTicks;
        advanceSequencer();
        retryCount = 0;
        break;
    case Reply::ProgramAck: {
        const bool timerLow =
            link.latency().outcome == LatencyTimer::Low || link.latency().outcome == LatencyTimer::Lowered;
        if (const QString held = pace.answered(lineLength, clock.nsecsElapsed(), clock.elapsed(), timerLow);
            !held.isEmpty())
            note(held);
        masterAddress += BlockSize;
        tickCountdown = ReplyArmTicks;
        advanceSequencer();
        break;
    }
    case Reply::MasterBootloader:
        ++sequencerStage;
        advanceSequencer();
        break;
    case Reply::SlaveEraseAck:
    case Reply::AppBootloader:
        ++chainStep;
        advanceSequencer();
        break;
    case Reply::SlaveProgramAck:
        advanceSequencer();
        break;
    case Reply::ConnectRequest:
    case Reply::None:
        break;
    }
}

void BootTest::sendProgramBlock(const QByteArray &block, quint32 address, bool resend)
{
    composeProgramBlock(block, address);
    pace.blockSent(sendMessage(txBuffer), clock.nsecsElapsed(), resend);
    answerDue = true;
}

int BootTest::sendMessage(char *text, bool *written)
{
    const int length = frameMessage(text);
    if (length == 0)
        return 0;
    trace(debugText("String Len:", unsigned(length)));
    sentDuringBatch = true;
    if (silentTicks < 0)
        silentTicks = 0;
    // A port that would not reopen (device gone) takes nothing; the timeouts go on regardless.
    if (serialPort->isOpen()) {
        serialPort->clearError();
        const bool taken = serialPort->write(text, length) == length;
        // Out now rather than on the next event-loop pass: the link is the only thing to wait for.
        serialPort->flush();
        if (written)
            *written = taken && serialPort->isOpen() && serialPort->error() == QSerialPort::NoError;
    }
    return length;
}

void BootTest::stop(const QString &outcome)
{
    if (terminal == Working)
        conclude(outcome);
    stopped = true;
    tickTimer->stop();
    link.close();
    imageFile.close();
    log.close();
}

void BootTest::conclude(const QString &how)
{
    // Once "$MJAPP" is out the unit is starting its new firmware: what ends the engine now only
    // ends its wait for the final stage.
    if (startApplicationSent && startBytesLeft == 0)
        finish(Completed, QStringLiteral("update complete, the start command sent; then ") + how);
    else
        finish(Retired, endedBy(how));
}

QString BootTest::linkSummary() const
{
    if (restarts == 0)
        return link.lossSummary();
    return link.lossSummary() +
           (restarts == 1 ? QStringLiteral("; the image was written again from the start once the connection was back")
                          : QStringLiteral("; the image was written again from the start after each of the %1 "
                                           "reconnections")
                                .arg(restarts));
}

QString BootTest::endedBy(const QString &how) const
{
    // The link lost was how the update ended; what stopped the engine afterwards comes second.
    return linkLost ? QStringLiteral("connection to the device lost; ") + how : how;
}

void BootTest::finish(Condition condition, const QString &outcome)
{
    terminal = condition;
    finishedAfterMs = clock.elapsed();
    // What was sent came from the bytes read at the start; a file changed since no longer shows
    // what the device got, and whoever looks at it later must know.
    if (condition != ImageRefused && condition != PortFailed) {
        const QString change = imageFile.changeOnDisk();
        if (!change.isEmpty()) {
            changedFrom = QString::fromLatin1(imageFile.sha256().toHex());
            note(QStringLiteral("Image file changed during the update (%1); what was sent is the image as it was at "
                                "the start, SHA-256 %2")
                     .arg(change, changedFrom));
        }
    }
    logOutcome(outcome);
}

void BootTest::logOutcome(const QString &outcome)
{
    const QString image = imageFile.path().isEmpty() ? QStringLiteral("(none)") : imageFile.path();
    note(QStringLiteral("Outcome: %1 after %2 s; image %3, %4 bytes%5")
             .arg(outcome, QString::number(double(clock.elapsed()) / 1000.0, 'f', 1), image,
                  QString::number(imageFileSize), linkSummary()));
}

void BootTest::trace(const QString &line)
{
    qDebug().noquote() << line;
    note(line);
}

void BootTest::note(const QString &line)
{
    if (logFailed || log.write(clock.elapsed(), line))
        return;
    logFailed = true;
    qDebug() << "Update log not written:" << log.problem();
}
