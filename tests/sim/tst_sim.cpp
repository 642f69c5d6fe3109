// The simulated bootloader: flash, framing, replies and faults of the device model, the
// in-thread driver over a real pty, and the real-time driver's pacing. Whole updates against
// it are tests/e2e's.
#include "devicemodel.h"
#include "enginestate.h"
#include "flashcheck.h"
#include "inthreaddevice.h"
#include "protocol.h"
#include "ptylink.h"
#include "threadeddevice.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <set>

Q_DECLARE_METATYPE(FaultKind)
Q_DECLARE_METATYPE(CommandKind)

namespace {

// A program-block message as the engine sends it.
QByteArray programMessage(quint32 address, const QByteArray &block = QByteArray())
{
    composeProgramBlock(block, address);
    return framedMessage(txBuffer);
}

QByteArray eraseMessage()
{
    return framedMessage(Protocol::EraseCommand);
}

QByteArray pattern(int size, int salt)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 37 + salt * 11 + (i >> 5)) & 0xFF);
    return bytes;
}

const QByteArray Erased(Sim::FlashSize, char(0xFF));

bool recognised(const QByteArray &line, Reply expected)
{
    QByteArray copy = line + '\0';
    return recogniseReply(copy.data(), line.size()) == expected;
}

std::vector<Emission> emissions(DeviceModel &device, const QByteArray &traffic)
{
    std::vector<Emission> out;
    device.receive(traffic.constData(), traffic.size(), out);
    return out;
}

// Writes to the port and waits until `count` bytes came back.
QByteArray exchange(QSerialPort &port, const QByteArray &bytes, int count)
{
    port.write(bytes);
    port.waitForBytesWritten(1000);
    QByteArray got;
    QDeadlineTimer deadline(2000);
    while (got.size() < count && !deadline.hasExpired()) {
        if (port.bytesAvailable() > 0 || port.waitForReadyRead(10))
            got += port.readAll();
    }
    return got;
}

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetEngineState(); }

    void eraseRange_data();
    void eraseRange();
    void programWordsAreLittleEndian_data();
    void programWordsAreLittleEndian();
    void programmingAndsIntoFlash();
    void refusedCommands_data();
    void refusedCommands();

    void framing_data();
    void framing();
    void replyTextsAreExact_data();
    void replyTextsAreExact();
    void messagesAreNumberedAsTheyArrive();

    void faultAtMessage_data();
    void faultAtMessage();
    void faultByRateIsSeeded_data();
    void faultByRateIsSeeded();
    void corruptionAlwaysDefeatsTheChecksum_data();
    void corruptionAlwaysDefeatsTheChecksum();

    void checkFlashFindsEveryRegion_data();
    void checkFlashFindsEveryRegion();

    void inThreadAnswersOverPty_data();
    void inThreadAnswersOverPty();
    void inThreadHoldsDelayedReplyForTicks();
    void inThreadSplitReplyArrivesInPieces();
    void pacedReplyNotBeforeWireTime();
};

void TestSim::eraseRange_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to"); // one past the last erased byte
    QTest::newRow("the engine's erase") << QByteArray("$MERASE,4000,C000") << 0x4000 << 0x10000;
    QTest::newRow("one page") << QByteArray("$MERASE,5000,1000") << 0x5000 << 0x6000;
    QTest::newRow("lower-case fields") << QByteArray("$MERASE,8000,20") << 0x8000 << 0x8020;
}

void TestSim::eraseRange()
{
    QFETCH(QByteArray, body);
    QFETCH(int, from);
    QFETCH(int, to);
    DeviceModel device;
    for (quint32 a = 0; a < quint32(Sim::FlashSize); a += 32)
        device.receive(programMessage(a));
    QCOMPARE(device.receive(framedMessage(body)), device.eraseReply());
    QCOMPARE(device.counters().eraseCount, 1);
    QByteArray expected(Sim::FlashSize, '\0');
    expected.replace(from, to - from, QByteArray(to - from, char(0xFF)));
    QCOMPARE(device.flash(), expected);
}

void TestSim::programWordsAreLittleEndian_data()
{
    QTest::addColumn<QByteArray>("words"); // the eight data fields as sent
    QTest::addColumn<QByteArray>("bytes"); // the 32 bytes they must put in the flash
    const QByteArray zeros(28, '\0');
    QTest::newRow("12345678 first") << QByteArray("12345678,0,0,0,0,0,0,0") << QByteArray("\x78\x56\x34\x12") + zeros;
    QTest::newRow("FFEE short word") << QByteArray("0,FFEE,0,0,0,0,0,0")
                                     << zeros.left(4) + QByteArray("\xEE\xFF\x00\x00", 4) + zeros.left(24);
    QTest::newRow("last word") << QByteArray("0,0,0,0,0,0,0,A1B2C3D4") << zeros + QByteArray("\xD4\xC3\xB2\xA1");
    QByteArray counting;
    for (int i = 0; i < 32; ++i)
        counting.append(char(i));
    QTest::newRow("counting bytes") << QByteArray("3020100,7060504,B0A0908,F0E0D0C,13121110,17161514,1B1A1918,1F1E1D1C")
                                    << counting;
}

void TestSim::programWordsAreLittleEndian()
{
    QFETCH(QByteArray, words);
    QFETCH(QByteArray, bytes);
    DeviceModel device;
    QCOMPARE(device.receive(framedMessage("$MPRG,4CE0," + words)), device.programReply());
    QCOMPARE(device.flash(), QByteArray(Erased).replace(0x4CE0, 32, bytes));
}

void TestSim::programmingAndsIntoFlash()
{
    DeviceModel device;
    const QByteArray block = pattern(32, 3);
    const QByteArray other = pattern(32, 8);
    device.receive(programMessage(0x6000, block));
    device.receive(programMessage(0x6000, block));
    QCOMPARE(device.flash().mid(0x6000, 32), block);

    // Bits only clear: a different block leaves the AND of both, and 0xFF changes nothing.
    device.receive(programMessage(0x6000, other) + programMessage(0x6000, QByteArray(32, char(0xFF))));
    QByteArray anded(32, '\0');
    for (int i = 0; i < 32; ++i)
        anded[i] = char(block[i] & other[i]);
    QCOMPARE(device.flash().mid(0x6000, 32), anded);
    QCOMPARE(device.counters().blocksProgrammed, 4);

    device.receive(eraseMessage());
    QCOMPARE(device.flash(), Erased);
}

void TestSim::refusedCommands_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<CommandKind>("kind");
    const QByteArray zeros = ",0,0,0,0,0,0,0,0";
    QTest::newRow("program not a multiple of 32") << "$MPRG,4010" + zeros << CommandKind::Program;
    QTest::newRow("program at 64 KiB") << "$MPRG,10000" + zeros << CommandKind::Program;
    QTest::newRow("program with seven words") << QByteArray("$MPRG,4000,1,2,3,4,5,6,7") << CommandKind::Unknown;
    QTest::newRow("program word not hex") << QByteArray("$MPRG,4000,1,2,3,4,5,6,7,G") << CommandKind::Unknown;
    QTest::newRow("program empty word") << QByteArray("$MPRG,4000,1,2,3,,5,6,7,8") << CommandKind::Unknown;
    QTest::newRow("erase past the end") << QByteArray("$MERASE,4000,C001") << CommandKind::Erase;
    QTest::newRow("erase of nothing") << QByteArray("$MERASE,4000,0") << CommandKind::Erase;
    QTest::newRow("erase outside") << QByteArray("$MERASE,10000,10") << CommandKind::Erase;
    QTest::newRow("unknown command") << QByteArray("$MFOO") << CommandKind::Unknown;
    QTest::newRow("erase with one field") << QByteArray("$MERASE,4000") << CommandKind::Unknown;
    QTest::newRow("empty body") << QByteArray("$") << CommandKind::Unknown;
    QTest::newRow("erase in lower case") << QByteArray("$merase,4000,C000") << CommandKind::Unknown;
}

// Well framed, but not carried out, and so not answered.
void TestSim::refusedCommands()
{
    QFETCH(QByteArray, body);
    QFETCH(CommandKind, kind);
    DeviceModel device;
    device.receive(programMessage(0x4000, QByteArray(32, '\x11')) + programMessage(0xFFE0, QByteArray(32, '\x22')));
    const QByteArray before = device.flash();

    const std::vector<Emission> out = emissions(device, framedMessage(body));
    QCOMPARE(out.size(), size_t(1));
    QCOMPARE(out[0].kind, kind);
    QVERIFY(out[0].refused || kind == CommandKind::Unknown);
    QVERIFY(out[0].bytes.isEmpty());
    QCOMPARE(device.flash(), before);
    QCOMPARE(device.counters().protocolErrors, 1);
    QCOMPARE(device.counters().badMessages, 0);
    QCOMPARE(device.counters().unknownReceived, kind == CommandKind::Unknown ? 1 : 0);
    QCOMPARE(device.counters().eraseCount + device.counters().applicationStarts, 0);
    QCOMPARE(device.counters().blocksProgrammed, 2);
}

void TestSim::framing_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("taken");
    const QByteArray good = programMessage(0x4000, pattern(32, 9));
    const int star = good.indexOf('*');
    const QByteArray digits = good.mid(star + 1, good.size() - star - 2);
    QByteArray wrongDigit = good;
    wrongDigit[star + 1] = wrongDigit[star + 1] == '1' ? '2' : '1';
    const QByteArray longBody(300, 'A');

    QTest::newRow("as the engine sends it") << good << true;
    QTest::newRow("lower-case checksum") << QByteArray("$MERASE,4000,C000*5dca\n") << true;
    QTest::newRow("carriage return before the line feed") << QByteArray("$MERASE,4000,C000*5DCA\r\n") << true;
    // 0x00AD: the engine sends two digits; a device reads leading zeros too.
    QVERIFY(programMessage(0x4CE0).endsWith("*AD\n"));
    QTest::newRow("short checksum") << programMessage(0x4CE0) << true;
    QTest::newRow("short checksum with leading zeros") << programMessage(0x4CE0).replace("*AD", "*00AD") << true;

    QTest::newRow("no dollar") << good.mid(1) << false;
    QTest::newRow("noise before the dollar") << "x" + good << false;
    QTest::newRow("no asterisk") << good.left(star) + good.mid(star + 1) << false;
    QTest::newRow("empty checksum") << good.left(star + 1) + "\n" << false;
    QTest::newRow("wrong checksum digit") << wrongDigit << false;
    QTest::newRow("five checksum digits") << good.left(star + 1) + "0" + digits + "\n" << false;
    QTest::newRow("text after the checksum") << good.left(good.size() - 1) + " \n" << false;
    QTest::newRow("body byte changed") << QByteArray(good).replace("MPRG,4000", "MPRG,4020") << false;
    QTest::newRow("control byte in body") << framedMessage("$MJAPP\t") << false;
    QTest::newRow("line longer than the buffer")
        << "$" + longBody + "*" + QByteArray::number(messageChecksum(longBody), 16).toUpper() + "\n"
        << false;
    QTest::newRow("bare line feed") << QByteArray("\n") << false;
}

void TestSim::framing()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, taken);
    DeviceModel device;
    const QByteArray reply = device.receive(line);
    QCOMPARE(device.counters().messagesReceived, 1);
    QCOMPARE(device.counters().badMessages, taken ? 0 : 1);
    QCOMPARE(device.counters().protocolErrors, 0);
    if (taken) {
        QVERIFY(reply == device.eraseReply() || reply == device.programReply());
    } else {
        QCOMPARE(reply, QByteArray());
        QCOMPARE(device.flash(), Erased);
    }
}

void TestSim::replyTextsAreExact_data()
{
    QTest::addColumn<QByteArray>("lineEnd"); // null: the default
    QTest::newRow("default CR LF") << QByteArray();
    QTest::newRow("LF") << QByteArray("\n");
    QTest::newRow("CR") << QByteArray("\r");
    QTest::newRow("none") << QByteArray("");
}

void TestSim::replyTextsAreExact()
{
    QFETCH(QByteArray, lineEnd);
    DeviceConfig config;
    if (!lineEnd.isNull())
        config.lineEnd = lineEnd;
    const QByteArray end = config.lineEnd;
    DeviceModel device(config);
    // E2A2 and 3670: CRC-16/MCRF4XX of "MERASEA" and "MPRGA"; nothing answers "$MJAPP".
    QCOMPARE(device.receive(eraseMessage()), "$MERASEA*E2A2" + end);
    QCOMPARE(device.receive(programMessage(0x4000)), "$MPRGA*3670" + end);
    QCOMPARE(device.receive(framedMessage(Protocol::StartApplicationCommand)), QByteArray());
    QCOMPARE(device.eraseReply(), "$MERASEA*E2A2" + end);
    QCOMPARE(device.programReply(), "$MPRGA*3670" + end);
    QCOMPARE(device.counters().applicationStarts, 1);
}

void TestSim::messagesAreNumberedAsTheyArrive()
{
    DeviceConfig config;
    config.fault(FaultKind::LoseCommand).atMessages = {2};
    DeviceModel device(config);
    const QByteArray traffic = programMessage(0x4000) + programMessage(0x4020) + "garbage\n" + programMessage(0x4040);
    // Handed over in pieces, as reads from a link come.
    std::vector<Emission> out;
    for (int i = 0; i < traffic.size(); i += 7)
        device.receive(traffic.constData() + i, qMin(7, traffic.size() - i), out);
    QCOMPARE(out.size(), size_t(4));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(out[size_t(i)].message, qint64(i + 1));
    QCOMPARE(out[0].bytes, device.programReply());
    QCOMPARE(out[0].inputEnd, traffic.indexOf('\n') % 7 + 1); // within its piece
    QCOMPARE(device.counters().commandsLost, 1);
    QCOMPARE(device.counters().badMessages, 1);
    QCOMPARE(device.programmedAddresses(), (std::vector<quint32>{0x4000, 0x4040}));
}

void TestSim::faultAtMessage_data()
{
    QTest::addColumn<FaultKind>("kind");
    QTest::newRow("lose command") << FaultKind::LoseCommand;
    QTest::newRow("lose reply") << FaultKind::LoseReply;
    QTest::newRow("corrupt reply") << FaultKind::CorruptReply;
    QTest::newRow("noise bytes") << FaultKind::NoiseBytes;
    QTest::newRow("noise line") << FaultKind::NoiseLine;
    QTest::newRow("split reply") << FaultKind::SplitReply;
    QTest::newRow("delay reply") << FaultKind::DelayReply;
    QTest::newRow("unplug") << FaultKind::Unplug;
}

void TestSim::faultAtMessage()
{
    QFETCH(FaultKind, kind);
    DeviceConfig config;
    config.fault(kind).atMessages = {3};
    DeviceModel device(config);
    const QByteArray ack = device.programReply();
    QByteArray traffic;
    for (quint32 a = 0x4000; a < 0x40A0; a += 32)
        traffic += programMessage(a);
    const std::vector<Emission> out = emissions(device, traffic);
    QCOMPARE(out.size(), size_t(5));
    // Only the third message is touched (and, once unplugged, all after it).
    for (size_t i = 0; i < 5; ++i) {
        if (i == 2 || (kind == FaultKind::Unplug && i > 2))
            continue;
        QCOMPARE(out[i].bytes, ack);
        QVERIFY(out[i].cuts.empty() && out[i].delayTicks == 0);
    }
    const Emission &e = out[2];
    const bool thirdWritten = device.flashData()[0x4040] == 0;
    QCOMPARE(thirdWritten, kind != FaultKind::LoseCommand && kind != FaultKind::Unplug);
    switch (kind) {
    case FaultKind::LoseCommand:
    case FaultKind::LoseReply:
        QVERIFY(e.bytes.isEmpty());
        break;
    case FaultKind::CorruptReply: // what a corruption does: corruptionAlwaysDefeatsTheChecksum
        QCOMPARE(e.bytes.size(), ack.size());
        QVERIFY(e.bytes != ack);
        break;
    case FaultKind::NoiseBytes:
        QCOMPARE(e.bytes.size(), config.noiseBytes + ack.size());
        QVERIFY(e.bytes.endsWith(ack));
        QVERIFY(!e.bytes.left(config.noiseBytes).contains('$') && !e.bytes.left(config.noiseBytes).contains('\n'));
        QVERIFY(recognised(e.bytes, Reply::ProgramAck));
        break;
    case FaultKind::NoiseLine: {
        const int newline = e.bytes.indexOf('\n');
        QCOMPARE(newline, config.noiseLineBytes);
        QCOMPARE(e.bytes.mid(newline + 1), ack);
        QVERIFY(recognised(e.bytes.left(newline + 1), Reply::None));
        break;
    }
    case FaultKind::SplitReply:
        QCOMPARE(e.bytes, ack);
        QCOMPARE(int(e.cuts.size()), config.splitPieces - 1);
        QVERIFY(e.cuts.front() > 0 && e.cuts.front() < e.cuts.back() && e.cuts.back() < ack.size());
        break;
    case FaultKind::DelayReply:
        QCOMPARE(e.bytes, ack);
        QCOMPARE(e.delayTicks, 13); // one past the engine's 12-tick wait
        break;
    case FaultKind::Unplug:
        for (size_t i = 2; i < 5; ++i)
            QVERIFY(out[i].bytes.isEmpty() && !out[i].closeLink);
        QCOMPARE(device.counters().unpluggedAt, 3);
        QCOMPARE(device.counters().blocksProgrammed, 2);
        break;
    }
}

void TestSim::faultByRateIsSeeded_data()
{
    faultAtMessage_data();
}

void TestSim::faultByRateIsSeeded()
{
    QFETCH(FaultKind, kind);
    DeviceConfig config;
    config.fault(kind).rate = 0.25;
    auto hits = [&](quint64 seed) {
        config.seed = seed;
        DeviceModel device(config);
        QByteArray traffic;
        for (int i = 0; i < 400; ++i)
            traffic += programMessage(0x4000 + 32 * quint32(i % 64));
        std::set<qint64> hit; // the messages the fault hit, as seen from outside
        for (const Emission &e : emissions(device, traffic)) {
            if (e.bytes != device.programReply() || !e.cuts.empty() || e.delayTicks != 0)
                hit.insert(e.message);
        }
        return hit;
    };
    const std::set<qint64> first = hits(7);
    QCOMPARE(hits(7), first);
    QVERIFY(hits(8) != first);
    if (kind == FaultKind::Unplug) {
        // Once gone, gone: every message from the first hit on.
        QVERIFY(!first.empty());
        QCOMPARE(qint64(first.size()), 400 - *first.begin() + 1);
        return;
    }
    QVERIFY2(first.size() > 60 && first.size() < 140, qPrintable(QString::number(first.size())));
    // The same decisions, asked for without sending anything.
    config.seed = 7;
    const DeviceModel probe(config);
    for (qint64 n = 1; n <= 400; ++n)
        QCOMPARE(probe.faultHits(kind, n), first.count(n) == 1);
}

void TestSim::corruptionAlwaysDefeatsTheChecksum_data()
{
    replyTextsAreExact_data();
}

void TestSim::corruptionAlwaysDefeatsTheChecksum()
{
    QFETCH(QByteArray, lineEnd);
    DeviceConfig config;
    if (!lineEnd.isNull())
        config.lineEnd = lineEnd;
    config.fault(FaultKind::CorruptReply).rate = 1.0;
    DeviceModel device(config);
    QByteArray traffic;
    for (int i = 0; i < 1000; ++i)
        traffic += i % 2 ? programMessage(0x4000) : eraseMessage();
    std::set<int> positions;
    for (const Emission &e : emissions(device, traffic)) {
        const QByteArray clean = e.message % 2 ? device.eraseReply() : device.programReply();
        QCOMPARE(e.bytes.size(), clean.size());
        QVERIFY(e.bytes.endsWith(config.lineEnd));
        const QByteArray line = e.bytes.left(e.bytes.size() - config.lineEnd.size()) + '\n';
        QVERIFY2(recognised(line, Reply::None), e.bytes.constData());
        for (int i = 0; i < clean.size(); ++i) {
            if (e.bytes[i] != clean[i])
                positions.insert(i);
        }
    }
    // Every byte from "$" to the last checksum digit gets its turn, and the line end never.
    QCOMPARE(int(positions.size()), device.eraseReply().size() - config.lineEnd.size());
}

void TestSim::checkFlashFindsEveryRegion_data()
{
    QTest::addColumn<int>("address");
    QTest::newRow("below 0x4000") << 0x0123;
    QTest::newRow("first image byte") << 0x4000;
    QTest::newRow("last image byte") << 0x4A0F;
    QTest::newRow("first fill byte") << 0x4A10;
    QTest::newRow("last fill byte") << 0x4FFF;
    QTest::newRow("after the fill") << 0x5000;
    QTest::newRow("last flash byte") << 0xFFFF;
}

void TestSim::checkFlashFindsEveryRegion()
{
    QFETCH(int, address);
    const QByteArray image = pattern(0x4A10, 6);
    QByteArray flash = expectedFlash(image);
    QVERIFY(checkFlash(flash, image).ok);

    flash[address] = char(flash[address] ^ 0x5A);
    const FlashCheck check = checkFlash(flash, image);
    QVERIFY(!check.ok);
    QCOMPARE(check.firstDifference, address);
    QCOMPARE(check.differences, 1);
    QCOMPARE(check.actual, int(quint8(flash[address])));
    QVERIFY(check.description.contains(QString::number(address, 16)));
}

void TestSim::inThreadAnswersOverPty_data()
{
    QTest::addColumn<bool>("adopted"); // on a PtyLink's master rather than a pty of its own
    QTest::newRow("own pty") << false;
    QTest::newRow("adopted master") << true;
}

void TestSim::inThreadAnswersOverPty()
{
    QFETCH(bool, adopted);
    PtyLink link;
    std::unique_ptr<InThreadDevice> device = adopted ? std::make_unique<InThreadDevice>(link.masterFd(), DeviceConfig())
                                                     : std::make_unique<InThreadDevice>();
    QVERIFY(device->isOpen());
    if (adopted)
        QCOMPARE(device->slavePath(), link.slavePath());
    QSerialPort port(device->slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QSignalSpy started(device.get(), &InThreadDevice::applicationStarted);

    port.write(eraseMessage() + programMessage(0x4000, pattern(32, 2)) + framedMessage("$MJAPP"));
    port.flush();
    QVERIFY(device->settle());
    QCOMPARE(port.readAll(), QByteArray("$MERASEA*E2A2\r\n$MPRGA*3670\r\n"));
    QCOMPARE(device->flash().mid(0x4000, 32), pattern(32, 2));
    QCOMPARE(started.count(), 1);
}

void TestSim::inThreadHoldsDelayedReplyForTicks()
{
    DeviceConfig config;
    config.fault(FaultKind::DelayReply).atMessages = {1};
    config.delayTicks = 3;
    InThreadDevice device(config);
    QSerialPort port(device.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));

    // The second is answered at once, but queued behind the first.
    port.write(programMessage(0x4000) + programMessage(0x4020));
    port.flush();
    QVERIFY(device.settle());
    QCOMPARE(device.counters().messagesReceived, 2);
    QCOMPARE(device.pendingReplies(), 2);
    for (int tick = 1; tick <= 2; ++tick) {
        device.tick();
        QVERIFY(device.settle());
        QCOMPARE(port.readAll(), QByteArray());
    }
    device.tick();
    QVERIFY(device.settle());
    QCOMPARE(port.readAll(), device.model().programReply().repeated(2));
    QCOMPARE(device.pendingReplies(), 0);
}

void TestSim::inThreadSplitReplyArrivesInPieces()
{
    DeviceConfig config;
    config.fault(FaultKind::SplitReply).atMessages = {1};
    config.fault(FaultKind::NoiseBytes).atMessages = {1};
    config.splitPieces = 4;
    InThreadDevice device(config);
    QSerialPort port(device.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QList<QByteArray> reads;
    connect(&port, &QSerialPort::readyRead, this, [&] { reads.append(port.readAll()); });

    port.write(eraseMessage());
    port.flush();
    QTRY_COMPARE(reads.join().size(), config.noiseBytes + device.model().eraseReply().size());
    QCOMPARE(reads.size(), 4);
    QVERIFY(recognised(reads.join(), Reply::EraseAck));
}

void TestSim::pacedReplyNotBeforeWireTime()
{
    LinkPacing pacing;
    pacing.enabled = true;
    pacing.processingDelayUs = 1000;
    ThreadedDevice device(DeviceConfig(), pacing);
    QVERIFY(device.start());
    QSerialPort port(device.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    const QByteArray command = programMessage(0x4000, pattern(32, 1));
    const QByteArray ack = DeviceModel().programReply();
    // 38400 baud at 10 bits a byte, 1 ms to carry the command out.
    auto wireUs = [](int bytes) { return bytes * 10 * 1000000LL / 38400 + 1000; };
    qint64 fastestUs = INT64_MAX;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(exchange(port, command, ack.size()), ack);
        const qint64 us = clock.nsecsElapsed() / 1000;
        QVERIFY2(us >= wireUs(command.size() + ack.size()), qPrintable(QString::number(us)));
        fastestUs = qMin(fastestUs, us);
    }
    // Not much later either (the best of three: a busy machine may hold up any one).
    QVERIFY2(fastestUs < wireUs(command.size() + ack.size()) + 20000, qPrintable(QString::number(fastestUs)));
    // Two commands at once: the second waits for the first on the inbound wire.
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(exchange(port, command + command, 2 * ack.size()), ack + ack);
    QVERIFY(clock.nsecsElapsed() / 1000 >= wireUs(2 * command.size() + ack.size()));
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
