#include "boottest.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSysInfo>
#include <QTimer>

#include <algorithm>
#include <cstring>

using namespace Protocol;

namespace {

// The items as one qDebug() line would print them: blank-separated, strings in quotes.
template <typename... Items> QString debugText(const Items &...items)
{
    QString text;
    {
        QDebug stream(&text);
        (stream << ... << items);
    }
    // A message drops the blank after the last item; so does this.
    if (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

// A received line for the log: line end dropped, other bytes outside ASCII as \xNN.
QString printable(const char *line, int length)
{
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        --length;
    QString text;
    for (int i = 0; i < qMin(length, 120); ++i) {
        const uchar c = uchar(line[i]);
        text += c >= 0x20 && c < 0x7F ? QString(QLatin1Char(char(c)))
                                      : QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return length > 120 ? text + QStringLiteral("...") : text;
}

} // namespace

BootTest::BootTest(QString portName) : BootTest(std::move(portName), imageBesideProgram()) {}

BootTest::BootTest(QString portName, const QString &imagePath) : QObject(nullptr)
{
    // Only one engine drives the shared transfer state; the one before it stops for good.
    if (activeEngine && activeEngine != this)
        activeEngine->stop(QStringLiteral("update stopped by a new Start"));
    activeEngine = this;
    clock.start();
    if (!log.open([&] { return logHeader(portName, imagePath); })) {
        logFailed = true;
        qDebug() << "Update log not written:" << log.problem();
    }

    serialPort = new QSerialPort(portName);
    serialPort->setBaudRate(LinkBaud, QSerialPort::AllDirections);
    serialPort->setDataBits(QSerialPort::Data8);
    serialPort->setParity(QSerialPort::NoParity);
    serialPort->setStopBits(QSerialPort::OneStop);
    serialPort->setFlowControl(QSerialPort::NoFlowControl);
    lineLength = 0;
    tickTimer = new QTimer(this);
    connect(tickTimer, SIGNAL(timeout()), this, SLOT(on_Timer()));
    connect(serialPort, SIGNAL(readyRead()), this, SLOT(SerialGotData()));
    // A lambda, not a slot: the device unplugged is reported once and read by the window.
    connect(serialPort, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if (error != QSerialPort::ResourceError || !isRunning() || linkLost || closedAfterStart)
            return;
        // Once "$MJAPP" is out, the new application may take the line: the expected end, not a fault.
        if (startApplicationSent) {
            closedAfterStart = true;
            note(QStringLiteral("Connection closed after the start command, as the new firmware starts"));
            return;
        }
        linkLost = true;
        trace(debugText("Connection lost", serialPort->portName()));
    });
    // The window may be closed mid-update; the log says so rather than just stopping.
    if (QCoreApplication::instance()) {
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] {
            if (isRunning())
                logOutcome(endedBy(QStringLiteral("program closed during the update")));
        });
    }
    trace(debugText("Test Port ", portName));
    serialPort->open(QIODevice::ReadWrite);
    checkLatency();
    openImage(imagePath);
    retryCount = 0;
    tickCountdown = StartDelayTicks;
    tickTimer->setInterval(TickMs);
    tickTimer->start();
}

BootTest::~BootTest()
{
    trace(debugText(serialPort->portName()));
    if (serialPort->isOpen()) {
        serialPort->readAll();
        serialPort->close();
        trace(QStringLiteral("Close"));
    }
    delete serialPort;
    if (activeEngine == this)
        activeEngine = nullptr;
}

int BootTest::imageSize() const
{
    return imageFileSize;
}

int BootTest::currentMasterAddress() const
{
    return int(masterAddress);
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

bool BootTest::isRunning() const
{
    return terminal == Working;
}

QString BootTest::imagePath() const
{
    return imageFile.fileName();
}

QString BootTest::imageProblem() const
{
    return problem;
}

qint64 BootTest::elapsedMs() const
{
    return finishedAfterMs >= 0 ? finishedAfterMs : clock.elapsed();
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

qint64 BootTest::estimatedMsLeft() const
{
    const int samples = qMin(answerCount, PaceSamples);
    if (!isRunning() || samples < 4)
        return -1;
    const qint64 newest = answerTimes[(answerCount - 1) % PaceSamples];
    const qint64 oldest = answerTimes[(answerCount - samples) % PaceSamples];
    const double msPerBlock = double(newest - oldest) / (samples - 1);
    const quint32 fillEnd = (quint32(imageFileSize) + FillBoundary - 1) / FillBoundary * FillBoundary;
    const qint64 blocksLeft = masterAddress < fillEnd ? (fillEnd - masterAddress) / BlockSize : 0;
    // The fixed pauses still ahead: after the image, after the boundary, after "$MJAPP".
    int pauseTicks = 0;
    switch (sequencerStage) {
    case StageProgram:
        pauseTicks = 2 * BlockAnswerTicks + StartApplicationTicks;
        break;
    case StageFill:
        pauseTicks = BlockAnswerTicks + StartApplicationTicks + (suppressResend ? tickCountdown : 0);
        break;
    case StageStartApplication:
        pauseTicks = tickCountdown + StartApplicationTicks;
        break;
    case StageFinish:
        pauseTicks = tickCountdown;
        break;
    default:
        return -1;
    }
    return qint64(double(blocksLeft) * msPerBlock) + qint64(pauseTicks) * TickMs;
}

qint64 BootTest::silentForMs() const
{
    return qint64(qMax(silentTicks, 0)) * TickMs;
}

QString BootTest::logPath() const
{
    return log.path();
}

QString BootTest::logProblem() const
{
    return logFailed ? log.problem() : QString();
}

QString BootTest::imageBesideProgram()
{
    // Never cut a path short into some other path: a directory that does not fit is no image.
    char path[sizeof appDirectory];
    const size_t directoryLength = qstrnlen(appDirectory, sizeof appDirectory);
    if (appDirectoryOverflow || directoryLength + sizeof ImageFileName > sizeof path)
        return QString();
    std::memcpy(path, appDirectory, directoryLength);
    std::memcpy(path + directoryLength, ImageFileName, sizeof ImageFileName);
    return QString::fromUtf8(path);
}

BootTest::ImageCheck BootTest::inspectImage(QFile &file)
{
    if (!file.exists())
        return {QStringLiteral("missing"), debugText("File Does not Exist ")};
    if (!file.isOpen() && !file.open(QIODevice::ReadOnly)) {
        const bool folder = QFileInfo(file).isDir();
        return {folder ? QStringLiteral("is a folder") : QStringLiteral("cannot be opened"),
                debugText("Image cannot be opened:", file.errorString())};
    }
    const qint64 size = file.size();
    if (size <= qint64(ImageStart) || !file.seek(ImageStart))
        return {QStringLiteral("too small (%1 bytes)").arg(size),
                debugText("Image holds nothing beyond 0x4000:", size, "bytes")};
    // Blocks beyond the flash would land who knows where in the device.
    if (size > qint64(FlashEnd))
        return {QStringLiteral("too large (%1 bytes)").arg(size),
                debugText("Image larger than the flash:", size, "bytes")};
    // Read it all once before anything is erased; at most 48 KiB, and back to 0x4000 after.
    const qint64 expected = size - qint64(ImageStart);
    const bool complete = file.read(expected).size() == expected;
    if (!file.seek(ImageStart) || !complete)
        return {QStringLiteral("cannot be read"), debugText("Image cannot be read:", file.errorString())};
    return {};
}

QStringList BootTest::logHeader(const QString &portName, const QString &imagePath) const
{
    // Which program wrote which image to which unit: what support asks first.
    const QDateTime now = QDateTime::currentDateTime();
    QStringList lines{QStringLiteral("VelmorithUpdate: update started %1 on port %2; times in ms since then")
                          .arg(now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate), portName)};
    const QString program = QCoreApplication::instance() ? QFileInfo(QCoreApplication::applicationFilePath()).fileName()
                                                         : QStringLiteral("(unknown program)");
    lines << QStringLiteral("Program: %1 %2, Qt %3, %4")
                 .arg(program, QStringLiteral(VELMORITH_VERSION), QString::fromLatin1(qVersion()),
                      QSysInfo::prettyProductName());

    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    const auto listed = std::find_if(ports.begin(), ports.end(), [&portName](const QSerialPortInfo &info) {
        return info.portName() == portName || info.systemLocation() == portName;
    });
    if (listed == ports.end()) {
        lines << QStringLiteral("Port: %1 (not listed by the system: no manufacturer, serial number or USB ids)")
                     .arg(portName);
    } else {
        const auto reported = [](const QString &value) {
            return value.isEmpty() ? QStringLiteral("(not reported)") : value;
        };
        const auto hex4 = [](quint16 id) { return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')); };
        lines << QStringLiteral("Port: %1, manufacturer %2, serial number %3, USB %4")
                     .arg(portName, reported(listed->manufacturer()), reported(listed->serialNumber()),
                          listed->hasVendorIdentifier() && listed->hasProductIdentifier()
                              ? hex4(listed->vendorIdentifier()) + QLatin1Char(':') + hex4(listed->productIdentifier())
                              : QStringLiteral("ids (not reported)"));
    }

    if (imagePath.isNull()) {
        lines << QStringLiteral("Image: none, the program's folder path is too long");
        return lines;
    }
    // One arg() call for all: a path may hold a "%2" of its own.
    const QFileInfo info(imagePath);
    const QString shown = QDir::toNativeSeparators(info.absoluteFilePath());
    const QString size = QString::number(info.size());
    QFile file(imagePath);
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    if (!info.exists())
        lines << QStringLiteral("Image: %1 (missing)").arg(shown);
    else if (info.isDir())
        lines << QStringLiteral("Image: %1 (a folder)").arg(shown);
    else if (info.size() > qint64(FlashEnd))
        lines << QStringLiteral("Image: %1, %2 bytes (larger than the flash, not hashed)").arg(shown, size);
    else if (!file.open(QIODevice::ReadOnly) || !sha256.addData(&file))
        lines << QStringLiteral("Image: %1, %2 bytes (cannot be read: %3)").arg(shown, size, file.errorString());
    else
        lines << QStringLiteral("Image: %1, %2 bytes, SHA-256 %3")
                     .arg(shown, size, QString::fromLatin1(sha256.result().toHex()));
    return lines;
}

void BootTest::openImage(const QString &path)
{
    sequencerStage = StageFinish;
    chainStep = 5;
    masterAddress = ImageStart;
    chainCount = 0;
    imageFileSize = 0;

    if (path.isNull()) {
        trace(QStringLiteral("Image path too long, not loaded"));
        refuseImage(QStringLiteral("not loaded: the program's folder path is too long"));
        return;
    }
    imageFile.setFileName(path);
    trace(imageFile.fileName());
    const ImageCheck check = inspectImage(imageFile);
    if (!check.detail.isEmpty())
        trace(check.detail);
    imageFileSize = qint32(qMin<qint64>(imageFile.size(), INT32_MAX));
    if (check.problem.isEmpty())
        sequencerStage = StagePrepare;
    else
        refuseImage(check.problem);
}

void BootTest::refuseImage(const QString &why)
{
    // The stage stays at StageFinish: nothing is sent, the port closes on the first step.
    problem = why;
    finish(ImageRefused, QStringLiteral("image refused (%1)").arg(why));
}

void BootTest::on_Timer()
{
    if (this != activeEngine)
        return;
    if (silentTicks >= 0)
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
    } else if (retryCount == 2) {
        // The erase went unanswered twice: give the link a fresh start.
        note(QStringLiteral("Port closed, to be reopened for a fresh start"));
        serialPort->close();
        retryCount = 1;
        tickCountdown = EraseRetryStepTicks;
    } else {
        if (serialPort->open(QIODevice::ReadWrite)) {
            note(QStringLiteral("Port reopened"));
            checkLatency(); // a re-plugged adapter comes back with its default
        } else
            note(QStringLiteral("Port not reopened: %1").arg(serialPort->errorString()));
        retryCount = 0;
        tickCountdown = EraseRetryStepTicks;
    }
}

void BootTest::stepErase()
{
    if (retryCount != 0)
        note(QStringLiteral("Erase sent again: no answer within %1 s").arg(EraseAnswerTicks * TickMs / 1000));
    composeMessage("%s", EraseCommand);
    sendMessage(txBuffer);
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
            sendProgramBlock(currentBlock, masterAddress);
        }
        tickCountdown = BlockAnswerTicks;
        return;
    }

    // An image that shrank below the address counts as ended; a length is never negative.
    const qint64 remaining = imageFile.size() - qint64(masterAddress);
    if (imageFile.atEnd() || remaining <= 0) {
        sequencerStage = StageFill;
        trace(debugText(imageFile.pos()));
        trace(debugText(masterAddress));
        suppressResend = true;
        tickCountdown = BlockAnswerTicks;
        return;
    }
    const qint64 length = qMin<qint64>(remaining, BlockSize);
    const qint64 position = imageFile.pos();
    currentBlock = imageFile.read(length);
    if (currentBlock.size() < length) {
        // Padding a failed read would write bytes that are not the image's: stop, start nothing.
        trace(debugText("Image read failed at", position, ":", imageFile.errorString()));
        problem = QStringLiteral("read failed at offset %1").arg(position);
        finish(ImageReadFailed, QStringLiteral("update stopped, image %1").arg(problem));
        currentBlock.clear();
        imageFile.close();
        suppressResend = true;
        sequencerStage = StageFinish;
        tickCountdown = StartApplicationTicks;
        return;
    }
    suppressResend = false;
    blockResent = false;
    sendProgramBlock(currentBlock, masterAddress);
    tickCountdown = BlockAnswerTicks;
}

void BootTest::stepFill(bool replyCall)
{
    if (!replyCall && !suppressResend) {
        noteResend();
        sendProgramBlock(currentBlock, masterAddress);
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
    blockResent = false;
    sendProgramBlock(currentBlock, masterAddress);
    tickCountdown = BlockAnswerTicks;
}

void BootTest::stepStartApplication()
{
    composeMessage("%s", StartApplicationCommand);
    sendMessage(txBuffer);
    startApplicationSent = true;
    sequencerStage = StageFinish;
    imageFile.close();
    tickCountdown = StartApplicationTicks;
}

void BootTest::stepFinish()
{
    trace(debugText("Chain:", unsigned(chainCount)));
    if (chainStep == 5)
        serialPort->close();
    if (startApplicationSent && terminal == Working)
        finish(Completed, QStringLiteral("update complete"));
}

void BootTest::noteResend()
{
    note(QStringLiteral("Block %1 sent again: no answer within %2 s")
             .arg(QString::number(masterAddress, 16).toUpper())
             .arg(double(BlockAnswerTicks * TickMs) / 1000.0));
    blockResent = true;
    // Two resends in a row (about 5 s of silence): the device is not answering.
    if (++consecutiveResends >= 2)
        unanswered = true;
}

void BootTest::checkLatency()
{
    if (!serialPort->isOpen())
        return;
    latency = lowerLatency(*serialPort);
    const QString line = latency.logLine();
    if (line != latencyLogged)
        note(line);
    latencyLogged = line;
}

void BootTest::timeAnswer(int replyBytes)
{
    // What the wire cannot account for is held on the way: an FTDI chip's latency timer, as a
    // rule. Only blocks sent once are timed, and only the first ones, before anything has settled.
    if (blockResent || heldCount >= PaceSamples)
        return;
    const qint64 wireUs = qint64(sentBytes + replyBytes) * LinkBitsPerByte * 1000000 / LinkBaud;
    heldUs[heldCount++] = (clock.nsecsElapsed() - sentAtNs) / 1000 - wireUs;
    if (heldCount < PaceSamples)
        return;
    qint64 sorted[PaceSamples];
    std::copy(std::begin(heldUs), std::end(heldUs), sorted);
    std::nth_element(sorted, sorted + PaceSamples / 2, sorted + PaceSamples);
    const qint64 median = sorted[PaceSamples / 2];
    if (median <= HeldWorthItUs)
        return;
    measuredHeldUs = median;
    note(QStringLiteral("Answers held %1 ms beyond the wire time (median of the first %2 blocks): the port's latency "
                        "timer, most likely")
             .arg(QString::number(double(median) / 1000.0, 'f', 1), QString::number(PaceSamples)));
}

int BootTest::heldAnswerMs() const
{
    if (latency.worthLowering())
        return latency.ms;
    return measuredHeldUs > 0 ? int((measuredHeldUs + 500) / 1000) : -1;
}

qint64 BootTest::msAtLowLatency() const
{
    const int held = heldAnswerMs();
    return held < 0 ? elapsedMs() : qMax<qint64>(0, elapsedMs() - qint64(answerCount) * (held - 1));
}

QString BootTest::lowerLatencyHowTo() const
{
    return ::lowerLatencyHowTo(serialPort->portName());
}

void BootTest::SerialGotData()
{
    const QByteArray bytes = serialPort->readAll();
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
    // While data moves, only the answer to what is outstanding may move it on: a stray
    // "$MBL" would end the image early, a stray "$SPRGA" would shift every later block.
    switch (sequencerStage) {
    case StageErase:
        return reply == Reply::EraseAck;
    case StageProgram:
    case StageFill:
        // Every byte of this batch arrived before a block sent while handling it, so no
        // "$MPRGA" in the rest of the batch can answer that block: it is a late duplicate.
        return reply == Reply::ProgramAck && !suppressResend && !sentDuringBatch;
    case StageStartApplication:
        return false;
    case StagePrepare:
        // No block has gone out yet (or the erase is being retried): an answer to a block
        // here belongs to an earlier engine or copy, and would shift every block by 32.
        return reply != Reply::ProgramAck;
    default:
        return true;
    }
}

void BootTest::parseReply()
{
    const Reply reply = recogniseReply(lineBuffer, lineLength);
    if (reply == Reply::None || this != activeEngine || !replyAwaited(reply)) {
        note(QStringLiteral("Dropped: ") + printable(lineBuffer, lineLength));
        return;
    }
    unanswered = false;
    linkLost = false;
    consecutiveResends = 0;
    silentTicks = 0;

    switch (reply) {
    case Reply::EraseAck:
        ++sequencerStage;
        tickCountdown = ReplyArmTicks;
        advanceSequencer();
        retryCount = 0;
        break;
    case Reply::ProgramAck:
        timeAnswer(lineLength);
        answerTimes[answerCount++ % PaceSamples] = clock.elapsed();
        masterAddress += BlockSize;
        tickCountdown = ReplyArmTicks;
        advanceSequencer();
        break;
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

void BootTest::sendProgramBlock(const QByteArray &block, quint32 address)
{
    composeProgramBlock(block, address);
    sendMessage(txBuffer);
}

void BootTest::sendMessage(char *text)
{
    const int length = frameMessage(text);
    if (length == 0)
        return;
    trace(debugText("String Len:", unsigned(length)));
    sentDuringBatch = true;
    sentAtNs = clock.nsecsElapsed();
    sentBytes = length;
    if (silentTicks < 0)
        silentTicks = 0;
    // A port that would not reopen (device gone) takes nothing; the timeouts go on regardless.
    if (!serialPort->isOpen())
        return;
    serialPort->write(text, length);
    // Out now rather than on the next event-loop pass: the link is the only thing to wait for.
    serialPort->flush();
}

void BootTest::stop(const QString &outcome)
{
    if (terminal == Working)
        finish(Retired, endedBy(outcome));
    tickTimer->stop();
    if (serialPort->isOpen())
        serialPort->close();
    if (imageFile.isOpen())
        imageFile.close();
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
    logOutcome(outcome);
}

void BootTest::logOutcome(const QString &outcome)
{
    const QString image = imageFile.fileName().isEmpty() ? QStringLiteral("(none)") : imageFile.fileName();
    note(QStringLiteral("Outcome: %1 after %2 s; image %3, %4 bytes")
             .arg(outcome, QString::number(double(clock.elapsed()) / 1000.0, 'f', 1), image,
                  QString::number(imageFileSize)));
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
