// The engine over a real pseudo-terminal, the test playing the device on the master.
#include "boottest.h"
#include "debugcapture.h"
#include "engineprobe.h"
#include "enginestate.h"
#include "ptylink.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

namespace {

const QByteArray eraseLine = "$MERASE,4000,C000*5DCA\n";
const QByteArray startLine = "$MJAPP*9A1F\n";
const QByteArray ack = "$MPRGA*3670\r\n";
const QByteArray eraseAck = "$MERASEA*E2A2\r\n";

// An image with recognisable bytes everywhere, the first 16 KiB included.
QByteArray patternImage(int size)
{
    QByteArray image(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 7 + i / 251) & 0xFF);
    return image;
}

// 16454 bytes: 0x01..0x40 at 0x4000, then AA BB CC DD EE FF.
QByteArray workedExampleImage()
{
    QByteArray image = patternImage(0x4000);
    for (int i = 1; i <= 0x40; ++i)
        image.append(char(i));
    image.append("\xAA\xBB\xCC\xDD\xEE\xFF");
    return image;
}

// What a program block must look like on the wire, built independently of the engine.
QByteArray blockLine(quint32 address, QByteArray data)
{
    data.append(QByteArray(32 - data.size(), '\0'));
    QByteArray body = "MPRG," + QByteArray::number(address, 16).toUpper();
    for (int i = 0; i < 32; i += 4) {
        const quint32 word =
            quint8(data[i]) | quint8(data[i + 1]) << 8 | quint8(data[i + 2]) << 16 | quint32(quint8(data[i + 3])) << 24;
        body += "," + QByteArray::number(word, 16).toUpper();
    }
    return "$" + body + "*" + QByteArray::number(referenceChecksum(body), 16).toUpper() + "\n";
}

QString lengthLine(const QByteArray &wire)
{
    return QStringLiteral("String Len: %1").arg(wire.size());
}

class Rig
{
public:
    Rig()
    {
        const QByteArray directory = QDir::toNativeSeparators(dir.path()).toUtf8() + '/';
        std::memcpy(appDirectory, directory.constData(), size_t(directory.size()) + 1);
    }
    ~Rig() { delete engine; }

    QString imagePath() const { return dir.path() + QStringLiteral("/VelmorithAL_full.bin"); }
    void writeImage(const QByteArray &bytes)
    {
        QFile file(imagePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    void start()
    {
        engine = new BootTest(pty.slavePath());
        EngineProbe::timer(engine)->stop();
    }
    void tick(int n = 1) { tickEngine(engine, n); }
    QByteArray next() { return pty.readLine(3000); }
    QByteArray quiet() { return pty.drain(30); }
    void send(const QByteArray &bytes) { pty.write(bytes); }
    bool portOpen() { return EngineProbe::port(engine)->isOpen(); }

    // From construction to the first erase, which the device answers.
    void eraseAndAnswer()
    {
        tick(7);
        QCOMPARE(next(), eraseLine);
        send(eraseAck);
    }

    QTemporaryDir dir;
    PtyLink pty;
    BootTest *engine = nullptr;
};

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { silenceDebugOutput(); }
    void init() { resetEngineState(); }

    void construction();
    void workedExample();
    void blockSizes_data();
    void blockSizes();
    void boundaryImage();
    void eraseRetryCycle();
    void lateEraseAnswerDuringPrepare();
    void resendUnansweredBlock();
    void refusedImages_data();
    void refusedImages();
    void pathLimits_data();
    void pathLimits();
    void outOfTurnReplies_data();
    void outOfTurnReplies();
    void repliesAfterStartApplication_data();
    void repliesAfterStartApplication();
    void strayStageValues_data();
    void strayStageValues();
    void reception_data();
    void reception();
    void emptyNotification();
    void destruction();
    void newEngineRetiresOld();
    void linkLost();
};

void TestEngine::construction()
{
    Rig rig;
    rig.writeImage(patternImage(0x5000));
    DebugCapture debug;
    rig.start();
    QCOMPARE(debug.lines(), QStringList() << QStringLiteral("Test Port  \"%1\"").arg(rig.pty.slavePath())
                                          << QDir::toNativeSeparators(rig.imagePath()));
    QVERIFY(rig.portOpen());
    const QSerialPort *port = EngineProbe::port(rig.engine);
    QCOMPARE(port->baudRate(), 38400);
    QCOMPARE(port->dataBits(), QSerialPort::Data8);
    QCOMPARE(port->parity(), QSerialPort::NoParity);
    QCOMPARE(port->stopBits(), QSerialPort::OneStop);
    QCOMPARE(port->flowControl(), QSerialPort::NoFlowControl);
    QCOMPARE(rig.engine->imageSize(), 0x5000);
    QCOMPARE(rig.engine->currentMasterAddress(), 0x4000);
    QCOMPARE(sequencerStage, qint32(StagePrepare));
    QCOMPARE(tickCountdown, 5);
    QCOMPARE(chainStep, 5);
    QCOMPARE(rig.engine->condition(), BootTest::Working);
    QVERIFY(rig.engine->isRunning());

    // The first step comes exactly five ticks on, the erase two after that.
    rig.tick(4);
    QCOMPARE(sequencerStage, qint32(StagePrepare));
    rig.tick(1);
    QCOMPARE(sequencerStage, qint32(StageErase));
    QCOMPARE(tickCountdown, 2);
    rig.tick(1);
    QCOMPARE(rig.quiet(), QByteArray());
    rig.tick(1);
    QCOMPARE(rig.next(), eraseLine);
    QCOMPARE(tickCountdown, 50);
}

void TestEngine::workedExample()
{
    Rig rig;
    rig.writeImage(workedExampleImage());
    DebugCapture debug;
    rig.start();
    rig.eraseAndAnswer();

    const QByteArray rows[] = {
        "$MPRG,4000,4030201,8070605,C0B0A09,100F0E0D,14131211,18171615,1C1B1A19,201F1E1D*5065\n",
        "$MPRG,4020,24232221,28272625,2C2B2A29,302F2E2D,34333231,38373635,3C3B3A39,403F3E3D*8B33\n",
        "$MPRG,4040,DDCCBBAA,FFEE,0,0,0,0,0,0*4200\n",
    };
    QStringList expectedDebug;
    expectedDebug << QStringLiteral("Test Port  \"%1\"").arg(rig.pty.slavePath())
                  << QDir::toNativeSeparators(rig.imagePath()) << lengthLine(eraseLine);
    for (const QByteArray &row : rows) {
        QCOMPARE(rig.next(), row);
        QCOMPARE(tickCountdown, 12);
        expectedDebug << lengthLine(row);
        rig.send(ack);
    }
    // The end of the image: nothing sent, the fill starts on the timeout.
    QCOMPARE(rig.quiet(), QByteArray());
    QCOMPARE(sequencerStage, qint32(StageFill));
    QCOMPARE(masterAddress, 0x4060u);
    expectedDebug << "16454"
                  << "16480";
    rig.tick(11);
    QCOMPARE(rig.quiet(), QByteArray());

    rig.tick(1);
    int fillBlocks = 0;
    for (quint32 address = 0x4060; address < 0x5000; address += 32) {
        const QByteArray line = rig.next();
        QCOMPARE(line, blockLine(address, QByteArray()));
        if (address == 0x4060)
            QCOMPARE(line, QByteArray("$MPRG,4060,0,0,0,0,0,0,0,0*11FE\n"));
        if (address == 0x4CE0)
            QCOMPARE(line, QByteArray("$MPRG,4CE0,0,0,0,0,0,0,0,0*AD\n"));
        expectedDebug << lengthLine(line);
        ++fillBlocks;
        rig.send(ack);
    }
    QCOMPARE(fillBlocks, 125);
    QCOMPARE(rig.quiet(), QByteArray());
    QCOMPARE(sequencerStage, qint32(StageStartApplication));
    expectedDebug << "20480";

    rig.tick(11);
    QCOMPARE(rig.quiet(), QByteArray());
    rig.tick(1);
    QCOMPARE(rig.next(), startLine);
    expectedDebug << lengthLine(startLine);
    QCOMPARE(sequencerStage, qint32(StageFinish));
    rig.tick(4);
    QVERIFY(rig.portOpen());
    QVERIFY(rig.engine->isRunning());
    rig.tick(1);
    QVERIFY(!rig.portOpen());
    expectedDebug << "Chain: 0";
    QCOMPARE(tickCountdown, 0);
    QCOMPARE(rig.engine->condition(), BootTest::Completed);
    QVERIFY(!rig.engine->isRunning());

    QCOMPARE(debug.linesWithout({"d"}), expectedDebug);
    // One "d" at least for every one of the 129 replies.
    QVERIFY(debug.lines().count(QStringLiteral("d")) >= 129);
    // Idle from now on.
    rig.tick(100);
    QCOMPARE(rig.quiet(), QByteArray());
}

void TestEngine::blockSizes_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::newRow("one byte") << 0x4001;
    QTest::newRow("one full block") << 0x4020;
    QTest::newRow("multiple of 32") << 0x4040 + 0x60;
    QTest::newRow("31 beyond a block") << 0x4000 + 64 + 31;
}

void TestEngine::blockSizes()
{
    QFETCH(int, imageSize);
    Rig rig;
    const QByteArray image = patternImage(imageSize);
    rig.writeImage(image);
    rig.start();
    rig.eraseAndAnswer();
    for (int offset = 0x4000; offset < imageSize; offset += 32) {
        QCOMPARE(rig.next(), blockLine(quint32(offset), image.mid(offset, 32)));
        rig.send(ack);
    }
    // The end is found on the answer to the last block, whatever its length.
    QCOMPARE(rig.quiet(), QByteArray());
    QCOMPARE(sequencerStage, qint32(StageFill));
    QCOMPARE(masterAddress, quint32((imageSize - 0x4000 + 31) / 32 * 32 + 0x4000));
}

void TestEngine::boundaryImage()
{
    Rig rig;
    const QByteArray image = patternImage(0x5000);
    rig.writeImage(image);
    DebugCapture debug;
    rig.start();
    rig.eraseAndAnswer();
    for (int offset = 0x4000; offset < 0x5000; offset += 32) {
        QCOMPARE(rig.next(), blockLine(quint32(offset), image.mid(offset, 32)));
        rig.send(ack);
    }
    QCOMPARE(rig.quiet(), QByteArray());
    // No fill block: "$MJAPP" 24 ticks after the last answer.
    rig.tick(23);
    QCOMPARE(rig.quiet(), QByteArray());
    rig.tick(1);
    QCOMPARE(rig.next(), startLine);
    const QStringList tail = debug.linesWithout({"d", "String Len:"}).mid(2);
    QCOMPARE(tail, QStringList() << "20480"
                                 << "20480"
                                 << "20480");
}

void TestEngine::eraseRetryCycle()
{
    Rig rig;
    rig.writeImage(patternImage(0x5000));
    rig.start();
    rig.tick(7);
    QCOMPARE(rig.next(), eraseLine);
    for (int cycle = 0; cycle < 3; ++cycle) {
        // Erase, 50 ticks, erase again, close after 5, reopen after 5, next erase 7 later: 67 ticks.
        rig.tick(49);
        QCOMPARE(rig.quiet(), QByteArray());
        rig.tick(1);
        QCOMPARE(rig.next(), eraseLine);
        QCOMPARE(rig.engine->condition(), BootTest::NotAnswering);
        rig.tick(4);
        QVERIFY(rig.portOpen());
        rig.tick(1);
        QVERIFY(!rig.portOpen());
        rig.tick(4);
        QVERIFY(!rig.portOpen());
        rig.tick(1);
        QVERIFY(rig.portOpen());
        rig.tick(6);
        QCOMPARE(rig.quiet(), QByteArray());
        rig.tick(1);
        QCOMPARE(rig.next(), eraseLine);
    }
    // An answer at last: programming starts and the device counts as answering again.
    rig.send(eraseAck);
    QCOMPARE(rig.next().left(11), QByteArray("$MPRG,4000,"));
    QCOMPARE(rig.engine->condition(), BootTest::Working);
    QCOMPARE(EngineProbe::retryCount(rig.engine), 0);
}

void TestEngine::lateEraseAnswerDuringPrepare()
{
    Rig rig;
    rig.writeImage(patternImage(0x5000));
    rig.start();
    rig.tick(7 + 50);
    QCOMPARE(rig.next(), eraseLine);
    QCOMPARE(rig.next(), eraseLine);
    QCOMPARE(sequencerStage, qint32(StagePrepare));
    // A late answer moves the stage on, the erase goes out again and the stage drops back;
    // the next cycle then starts afresh without a port reset.
    rig.send(eraseAck);
    QCOMPARE(rig.next(), eraseLine);
    QCOMPARE(sequencerStage, qint32(StagePrepare));
    QCOMPARE(EngineProbe::retryCount(rig.engine), 0);
    rig.tick(5);
    QVERIFY(rig.portOpen());
    QCOMPARE(sequencerStage, qint32(StageErase));
    rig.tick(2);
    QCOMPARE(rig.next(), eraseLine);
    QCOMPARE(tickCountdown, 50);
}

void TestEngine::resendUnansweredBlock()
{
    Rig rig;
    const QByteArray image = patternImage(0x4100);
    rig.writeImage(image);
    rig.start();
    rig.eraseAndAnswer();
    const QByteArray first = rig.next();
    rig.send(ack);
    const QByteArray second = rig.next();
    QCOMPARE(second, blockLine(0x4020, image.mid(0x4020, 32)));
    for (int resend = 0; resend < 3; ++resend) {
        rig.tick(11);
        QCOMPARE(rig.quiet(), QByteArray());
        rig.tick(1);
        QCOMPARE(rig.next(), second);
    }
    QCOMPARE(rig.engine->condition(), BootTest::NotAnswering);
    rig.send(ack);
    QCOMPARE(rig.next(), blockLine(0x4040, image.mid(0x4040, 32)));
    QCOMPARE(rig.engine->condition(), BootTest::Working);
    Q_UNUSED(first);
}

void TestEngine::refusedImages_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "missing"
                             << "File Does not Exist ";
    QTest::newRow("a folder, not a file") << "folder"
                                          << "Image cannot be opened:";
    QTest::newRow("empty") << "0"
                           << "Image holds nothing beyond 0x4000: 0 bytes";
    QTest::newRow("100 bytes") << "100"
                               << "Image holds nothing beyond 0x4000: 100 bytes";
    QTest::newRow("exactly 16384 bytes") << "16384"
                                         << "Image holds nothing beyond 0x4000: 16384 bytes";
    QTest::newRow("beyond the flash") << "65537"
                                      << "Image larger than the flash: 65537 bytes";
}

void TestEngine::refusedImages()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    Rig rig;
    if (kind == QLatin1String("folder"))
        QVERIFY(QDir(rig.dir.path()).mkdir(QStringLiteral("VelmorithAL_full.bin")));
    else if (kind != QLatin1String("missing"))
        rig.writeImage(patternImage(kind.toInt()));
    DebugCapture debug;
    rig.start();
    QCOMPARE(rig.engine->condition(), BootTest::ImageRefused);
    QVERIFY(!rig.engine->isRunning());
    QVERIFY(!rig.engine->imageProblem().isEmpty());
    QCOMPARE(rig.engine->imagePath(), QDir::toNativeSeparators(rig.imagePath()));
    QCOMPARE(sequencerStage, qint32(StageFinish));

    // Never an erase without an image: the first step closes the port, nothing is sent.
    rig.tick(4);
    QVERIFY(rig.portOpen());
    rig.tick(1);
    QVERIFY(!rig.portOpen());
    rig.tick(200);
    QCOMPARE(rig.quiet(), QByteArray());

    const QStringList lines = debug.lines();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(1), QDir::toNativeSeparators(rig.imagePath()));
    QVERIFY2(lines.at(2).startsWith(reason), qPrintable(lines.at(2)));
    QCOMPARE(lines.at(3), QStringLiteral("Chain: 0"));
    QCOMPARE(rig.engine->condition(), BootTest::ImageRefused);
}

void TestEngine::pathLimits_data()
{
    QTest::addColumn<int>("directoryLength");
    QTest::addColumn<bool>("overflow");
    QTest::addColumn<bool>("usable");
    QTest::newRow("379 characters fit") << 379 << false << true;
    QTest::newRow("380 characters do not") << 380 << false << false;
    QTest::newRow("program path too long") << 0 << true << false;
}

void TestEngine::pathLimits()
{
    QFETCH(int, directoryLength);
    QFETCH(bool, overflow);
    QFETCH(bool, usable);
    Rig rig;
    QByteArray directory(directoryLength, 'x');
    if (directoryLength > 0)
        directory[directoryLength - 1] = '/';
    std::memcpy(appDirectory, directory.constData(), size_t(directory.size()) + 1);
    appDirectoryOverflow = overflow;
    DebugCapture debug;
    rig.start();
    rig.tick(300);
    QCOMPARE(rig.quiet(), QByteArray());
    QCOMPARE(rig.engine->condition(), BootTest::ImageRefused);
    const QStringList lines = debug.lines().mid(1);
    if (usable) {
        // The whole path, never a cut one; the file just is not there.
        QCOMPARE(lines.at(0), QString::fromUtf8(directory + "VelmorithAL_full.bin"));
        QCOMPARE(lines.at(0).size(), 399);
        QCOMPARE(lines.at(1), QStringLiteral("File Does not Exist "));
    } else {
        QCOMPARE(lines, QStringList() << "Image path too long, not loaded"
                                      << "Chain: 0");
        QVERIFY(rig.engine->imagePath().isEmpty());
    }
}

void TestEngine::outOfTurnReplies_data()
{
    QTest::addColumn<int>("stage");
    QTest::addColumn<QByteArray>("stray");
    const QByteArray names[] = {"MERASEA", "MPRGA", "MBL", "SERASEA", "SPRGA", "ABL", "CONR"};
    for (const int stage : {int(StageErase), int(StageProgram), int(StageFill)}) {
        for (const QByteArray &name : names) {
            if ((stage == StageErase && name == "MERASEA") || (stage != StageErase && name == "MPRGA"))
                continue; // the awaited answer
            QTest::addRow("stage %d, %s", stage, name.constData()) << stage << name;
        }
    }
    // No block outstanding: at the end of the image, and waiting to start the application.
    QTest::addRow("image ended, MPRGA") << -int(StageFill) << QByteArray("MPRGA");
    QTest::addRow("image ended, MBL") << -int(StageFill) << QByteArray("MBL");
    for (const QByteArray &name : names)
        QTest::addRow("stage 4, %s", name.constData()) << int(StageStartApplication) << name;
}

void TestEngine::outOfTurnReplies()
{
    QFETCH(int, stage);
    QFETCH(QByteArray, stray);
    Rig rig;
    const QByteArray image = patternImage(0x4FC0); // two fill blocks
    rig.writeImage(image);
    rig.start();
    rig.tick(7);
    QCOMPARE(rig.next(), eraseLine);

    // Bring the transfer to the stage under test, remembering what the device should see next.
    QByteArray expectedNext;
    auto runBlocksUpTo = [&](int end) {
        rig.send(eraseAck);
        for (int offset = 0x4000; offset < end; offset += 32) {
            QCOMPARE(rig.next(), blockLine(quint32(offset), image.mid(offset, 32)));
            if (offset + 32 < end)
                rig.send(ack);
        }
    };
    if (stage == StageErase) {
        expectedNext = blockLine(0x4000, image.mid(0x4000, 32));
    } else if (stage == StageProgram) {
        runBlocksUpTo(0x4040);
        expectedNext = blockLine(0x4040, image.mid(0x4040, 32));
    } else if (stage == StageFill || stage == -StageFill || stage == StageStartApplication) {
        runBlocksUpTo(0x4FC0);
        rig.send(ack);
        QCOMPARE(rig.quiet(), QByteArray());
        if (stage == StageFill) {
            rig.tick(12);
            QCOMPARE(rig.next(), blockLine(0x4FC0, QByteArray()));
            expectedNext = blockLine(0x4FE0, QByteArray());
        } else if (stage == StageStartApplication) {
            rig.tick(12);
            QCOMPARE(rig.next(), blockLine(0x4FC0, QByteArray()));
            rig.send(ack);
            QCOMPARE(rig.next(), blockLine(0x4FE0, QByteArray()));
            rig.send(ack);
            QCOMPARE(rig.quiet(), QByteArray());
            QCOMPARE(sequencerStage, qint32(StageStartApplication));
        }
    }
    const qint32 stageBefore = sequencerStage;
    const quint32 addressBefore = masterAddress;
    const qint32 countdownBefore = tickCountdown;
    const qint32 chainBefore = chainStep;

    // The stray reply moves nothing.
    rig.send(deviceReply(stray));
    QCOMPARE(rig.quiet(), QByteArray());
    QCOMPARE(sequencerStage, stageBefore);
    QCOMPARE(masterAddress, addressBefore);
    QCOMPARE(tickCountdown, countdownBefore);
    QCOMPARE(chainStep, chainBefore);

    // And the transfer goes on exactly as without it.
    if (stage == StageErase) {
        rig.send(eraseAck);
        QCOMPARE(rig.next(), expectedNext);
    } else if (stage == StageProgram || stage == StageFill) {
        rig.send(ack);
        QCOMPARE(rig.next(), expectedNext);
    } else if (stage == -StageFill) {
        rig.tick(12);
        QCOMPARE(rig.next(), blockLine(0x4FC0, QByteArray()));
    } else {
        rig.tick(countdownBefore);
        QCOMPARE(rig.next(), startLine);
    }
    QCOMPARE(rig.quiet(), QByteArray());
}

void TestEngine::repliesAfterStartApplication_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("stageAfter");
    QTest::addColumn<int>("chainLines");
    QTest::addColumn<bool>("portClosedAtEnd");
    QTest::newRow("none") << QByteArray() << 5 << 1 << true;
    QTest::newRow("SERASEA keeps the port open") << QByteArray("SERASEA") << 5 << 2 << false;
    QTest::newRow("ABL keeps the port open") << QByteArray("ABL") << 5 << 2 << false;
    QTest::newRow("MBL stops the final stage") << QByteArray("MBL") << 6 << 0 << false;
    QTest::newRow("CONR changes nothing") << QByteArray("CONR") << 5 << 1 << true;
}

void TestEngine::repliesAfterStartApplication()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, stageAfter);
    QFETCH(int, chainLines);
    QFETCH(bool, portClosedAtEnd);
    Rig rig;
    rig.writeImage(patternImage(0x5000));
    rig.start();
    rig.eraseAndAnswer();
    for (int i = 0; i < 128; ++i) {
        QVERIFY(!rig.next().isEmpty());
        rig.send(ack);
    }
    QCOMPARE(rig.quiet(), QByteArray());
    rig.tick(24);
    QCOMPARE(rig.next(), startLine);
    DebugCapture debug;
    if (!reply.isEmpty()) {
        rig.send(deviceReply(reply));
        rig.quiet();
    }
    rig.tick(20);
    QCOMPARE(sequencerStage, qint32(stageAfter));
    QCOMPARE(debug.lines().count(QStringLiteral("Chain: 0")), chainLines);
    QCOMPARE(rig.portOpen(), !portClosedAtEnd);
    QCOMPARE(rig.quiet(), QByteArray());
}

void TestEngine::strayStageValues_data()
{
    QTest::addColumn<int>("stage");
    QTest::newRow("-1") << -1;
    QTest::newRow("6") << 6;
    QTest::newRow("100") << 100;
}

void TestEngine::strayStageValues()
{
    QFETCH(int, stage);
    Rig rig;
    rig.writeImage(patternImage(0x5000));
    rig.start();
    sequencerStage = stage;
    rig.tick(5);
    QCOMPARE(tickCountdown, 0);
    QCOMPARE(sequencerStage, stage);
    QVERIFY(rig.portOpen());
    QCOMPARE(rig.quiet(), QByteArray());
}

void TestEngine::reception_data()
{
    QTest::addColumn<QList<QByteArray>>("writes");
    QTest::addColumn<int>("accepted");
    QTest::addColumn<int>("withNewline"); // accepted once a newline follows
    using Writes = QList<QByteArray>;
    QTest::newRow("one reply") << Writes{ack} << 1 << 1;
    QTest::newRow("split after four bytes") << Writes{ack.left(4), ack.mid(4)} << 1 << 1;
    QTest::newRow("split byte by byte") << [] {
        Writes w;
        for (char c : ack)
            w << QByteArray(1, c);
        return w;
    }() << 1 << 1;
    // The second cannot answer the block the first one's step sent: it arrived before it.
    QTest::newRow("two in one write") << Writes{ack + ack} << 1 << 1;
    QTest::newRow("two in two writes") << Writes{ack, ack} << 2 << 2;
    QTest::newRow("noise before the start") << Writes{QByteArray("\x00\xff", 2) + ack} << 1 << 1;
    QTest::newRow("noise line, then a reply") << Writes{"garbage*12\n" + ack} << 1 << 1;
    QTest::newRow("without CR") << Writes{"$MPRGA*3670\n"} << 1 << 1;
    QTest::newRow("CR only, no newline") << Writes{"$MPRGA*3670\r"} << 0 << 1;
    QTest::newRow("wraps to the start after 1000 bytes") << Writes{QByteArray(1000, 'x') + ack} << 1 << 1;
    QTest::newRow("wrap cuts a reply") << Writes{QByteArray(990, 'x') + ack} << 0 << 0;
    QTest::newRow("newline as 1000th byte, then a reply") << Writes{QByteArray(999, 'x') + "\n" + ack} << 1 << 1;
    QTest::newRow("a newline alone") << Writes{"\n"} << 0 << 0;
}

void TestEngine::reception()
{
    QFETCH(QList<QByteArray>, writes);
    QFETCH(int, accepted);
    QFETCH(int, withNewline);
    Rig rig;
    const QByteArray image = patternImage(0x5000);
    rig.writeImage(image);
    rig.start();
    rig.eraseAndAnswer();
    QCOMPARE(rig.next(), blockLine(0x4000, image.mid(0x4000, 32)));
    for (const QByteArray &bytes : writes) {
        rig.send(bytes);
        rig.quiet();
    }
    QCOMPARE(masterAddress, quint32(0x4000 + 32 * accepted));
    QCOMPARE(EngineProbe::lineLength(rig.engine) == 0, writes.last().endsWith('\n'));
    // A newline ends whatever partial line there is; the next reply then starts afresh.
    rig.send("\n");
    rig.quiet();
    QCOMPARE(masterAddress, quint32(0x4000 + 32 * withNewline));
    rig.send(ack);
    QVERIFY(!rig.next().isEmpty());
    QCOMPARE(masterAddress, quint32(0x4000 + 32 * (withNewline + 1)));
}

void TestEngine::emptyNotification()
{
    Rig rig;
    rig.writeImage(patternImage(0x5000));
    rig.start();
    DebugCapture debug;
    QMetaObject::invokeMethod(rig.engine, "SerialGotData", Qt::DirectConnection);
    QCOMPARE(debug.lines(), QStringList() << "d");
    QCOMPARE(EngineProbe::lineLength(rig.engine), qint16(0));
}

void TestEngine::destruction()
{
    Rig rig;
    rig.writeImage(patternImage(0x5000));
    rig.start();
    const QString name = QStringLiteral("\"%1\"").arg(EngineProbe::port(rig.engine)->portName());
    {
        DebugCapture debug;
        delete rig.engine;
        rig.engine = nullptr;
        QCOMPARE(debug.lines(), QStringList() << name << "Close");
    }
    QVERIFY(activeEngine == nullptr);
    rig.start();
    EngineProbe::port(rig.engine)->close();
    DebugCapture debug;
    delete rig.engine;
    rig.engine = nullptr;
    QCOMPARE(debug.lines(), QStringList() << name);
}

void TestEngine::newEngineRetiresOld()
{
    Rig rig;
    rig.writeImage(patternImage(0x5000));
    rig.start();
    rig.eraseAndAnswer();
    QVERIFY(!rig.next().isEmpty());
    BootTest *old = rig.engine;

    PtyLink second;
    BootTest fresh(second.slavePath());
    EngineProbe::timer(&fresh)->stop();
    QCOMPARE(old->condition(), BootTest::Retired);
    QVERIFY(!old->isRunning());
    QVERIFY(!EngineProbe::port(old)->isOpen());
    QVERIFY(!EngineProbe::timer(old)->isActive());
    QCOMPARE(masterAddress, 0x4000u);
    // The old engine no longer touches the shared countdown.
    tickEngine(old, 3);
    QCOMPARE(tickCountdown, 5);
    tickEngine(&fresh, 7);
    QCOMPARE(second.readLine(), eraseLine);
    QCOMPARE(activeEngine, &fresh);
    delete old;
    rig.engine = nullptr;
    QCOMPARE(activeEngine, &fresh);
}

void TestEngine::linkLost()
{
    Rig rig;
    rig.writeImage(patternImage(0x5000));
    rig.start();
    rig.eraseAndAnswer();
    QVERIFY(!rig.next().isEmpty());
    DebugCapture debug;
    rig.pty.closeMaster();
    QTRY_COMPARE(rig.engine->condition(), BootTest::LinkLost);
    QVERIFY(debug.lines().contains(
        QStringLiteral("Connection lost \"%1\"").arg(EngineProbe::port(rig.engine)->portName())));
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
