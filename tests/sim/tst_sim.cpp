// The simulated bootloader: its device model (flash, framing, replies, faults), its in-thread
// driver over a real pty, and the real-time driver's pacing.
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

#include <set>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

Q_DECLARE_METATYPE(FaultKind)

namespace {

// A program-block message as the engine frames it: words little-endian, upper-case hex.
QByteArray programMessage(quint32 address, const QByteArray &block)
{
    QByteArray data = block.left(32);
    data.append(QByteArray(32 - data.size(), '\0'));
    QByteArray text = "$MPRG," + QByteArray::number(address, 16).toUpper();
    for (int i = 0; i < 32; i += 4) {
        const quint32 word = quint32(quint8(data[i])) | quint32(quint8(data[i + 1])) << 8 |
                             quint32(quint8(data[i + 2])) << 16 | quint32(quint8(data[i + 3])) << 24;
        text += ',' + QByteArray::number(word, 16).toUpper();
    }
    return framedMessage(text);
}

QByteArray eraseMessage()
{
    return framedMessage(Protocol::EraseCommand);
}
QByteArray startMessage()
{
    return framedMessage(Protocol::StartApplicationCommand);
}

QByteArray pattern(int size, int salt)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 37 + salt * 11 + (i >> 5)) & 0xFF);
    return bytes;
}

// Everything the engine sends for an image, in order.
QByteArray updateTraffic(const QByteArray &image)
{
    QByteArray traffic = eraseMessage();
    quint32 address = Protocol::ImageStart;
    for (; int(address) < image.size(); address += 32)
        traffic += programMessage(address, image.mid(int(address), 32));
    for (; address % Protocol::FillBoundary != 0; address += 32)
        traffic += programMessage(address, QByteArray());
    return traffic + startMessage();
}

quint8 at(const DeviceModel &device, int address)
{
    return device.flashData()[address];
}

bool recognised(const QByteArray &line, Reply expected)
{
    QByteArray copy = line;
    copy.append('\0');
    return recogniseReply(copy.data(), line.size()) == expected;
}

// The engine's side of a pty: the slave opened raw, as QSerialPort would.
int openSlaveRaw(const QString &path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

// Reads from fd until `count` bytes came or the time ran out.
QByteArray readBytes(int fd, int count, int timeoutMs)
{
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < count && clock.elapsed() < timeoutMs) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 10) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            got.append(buffer, int(n));
    }
    return got;
}

void writeAll(int fd, const QByteArray &bytes)
{
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += int(n);
        } else {
            pollfd pfd{fd, POLLOUT, 0};
            ::poll(&pfd, 1, 10);
        }
    }
}

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    void init();

    // Flash semantics.
    void powerUpFlashIsErased();
    void eraseSetsItsRangeToFF_data();
    void eraseSetsItsRangeToFF();
    void programWordsAreLittleEndian_data();
    void programWordsAreLittleEndian();
    void programmingAndsIntoFlash();
    void blockAtWrongAddressShows();
    void refusedAddressesWriteNothing_data();
    void refusedAddressesWriteNothing();
    void wholeUpdateLeavesExpectedFlash_data();
    void wholeUpdateLeavesExpectedFlash();
    void startApplicationIsCountedAndKeepsFlash();

    // Framing and replies.
    void badFramingIsDropped_data();
    void badFramingIsDropped();
    void tolerableFramingIsAccepted_data();
    void tolerableFramingIsAccepted();
    void wellFramedButMeaninglessIsRefused_data();
    void wellFramedButMeaninglessIsRefused();
    void replyTextsAreExact_data();
    void replyTextsAreExact();
    void messagesAreNumberedAsTheyArrive();
    void commandsSplitAcrossReadsAreAssembled();

    // Faults.
    void faultAtMessage_data();
    void faultAtMessage();
    void faultByRateIsSeeded_data();
    void faultByRateIsSeeded();
    void corruptionAlwaysDefeatsTheChecksum_data();
    void corruptionAlwaysDefeatsTheChecksum();
    void eraseUnansweredForFirstCommands();
    void unplugFromMessageAndHangUp();

    // Flash check helper.
    void checkFlashFindsEveryRegion_data();
    void checkFlashFindsEveryRegion();
    void checkFlashRejectsImagesNeverSent();

    // In-thread driver over a pty.
    void inThreadAnswersOverPty();
    void inThreadHoldsDelayedReplyForTicks();
    void inThreadSplitReplyArrivesInPieces();
    void inThreadUnplugHangsUpThePort();
    void inThreadOnAdoptedPtyLinkMaster();

    // Real-time driver.
    void threadedAnswersUnpaced();
    void threadedPacedReplyNotBeforeWireTime();
    void threadedStartHandlerGetsFlash();
    void threadedUnplugHangsUp();
};

void TestSim::init()
{
    resetEngineState();
}

// ---- Flash semantics -------------------------------------------------------------------

void TestSim::powerUpFlashIsErased()
{
    DeviceModel device;
    QCOMPARE(device.flash(), QByteArray(Sim::FlashSize, char(0xFF)));
    device.receive(programMessage(0x4000, QByteArray(32, '\0')));
    QCOMPARE(at(device, 0x4000), quint8(0));
    device.powerUp();
    QCOMPARE(device.flash(), QByteArray(Sim::FlashSize, char(0xFF)));
    QCOMPARE(device.counters().messagesReceived, 0);
}

void TestSim::eraseSetsItsRangeToFF_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to"); // one past the last erased byte
    QTest::newRow("the engine's erase") << QByteArray("$MERASE,4000,C000") << 0x4000 << 0x10000;
    QTest::newRow("one page") << QByteArray("$MERASE,5000,1000") << 0x5000 << 0x6000;
    QTest::newRow("lower-case fields") << QByteArray("$MERASE,8000,20") << 0x8000 << 0x8020;
}

void TestSim::eraseSetsItsRangeToFF()
{
    QFETCH(QByteArray, body);
    QFETCH(int, from);
    QFETCH(int, to);
    DeviceModel device;
    for (quint32 a = 0; a < quint32(Sim::FlashSize); a += 32)
        device.receive(programMessage(a, QByteArray(32, '\0')));
    QCOMPARE(device.counters().blocksProgrammed, Sim::FlashSize / 32);

    QCOMPARE(device.receive(framedMessage(body)), device.eraseReply());
    QCOMPARE(device.counters().eraseCount, 1);
    const QByteArray flash = device.flash();
    QCOMPARE(flash.left(from), QByteArray(from, '\0'));
    QCOMPARE(flash.mid(from, to - from), QByteArray(to - from, char(0xFF)));
    QCOMPARE(flash.mid(to), QByteArray(Sim::FlashSize - to, '\0'));
}

void TestSim::programWordsAreLittleEndian_data()
{
    QTest::addColumn<QByteArray>("words"); // the eight data fields as sent
    QTest::addColumn<QByteArray>("bytes"); // the 32 bytes they must put in the flash
    QByteArray zeros(32, '\0');
    QTest::newRow("12345678 first") << QByteArray("12345678,0,0,0,0,0,0,0")
                                    << QByteArray("\x78\x56\x34\x12", 4) + zeros.left(28);
    QTest::newRow("FFEE short word") << QByteArray("0,FFEE,0,0,0,0,0,0")
                                     << zeros.left(4) + QByteArray("\xEE\xFF\x00\x00", 4) + zeros.left(24);
    QTest::newRow("last word") << QByteArray("0,0,0,0,0,0,0,A1B2C3D4")
                               << zeros.left(28) + QByteArray("\xD4\xC3\xB2\xA1", 4);
    QByteArray ff(32, char(0xFF));
    QTest::newRow("all ones") << QByteArray("FFFFFFFF,FFFFFFFF,FFFFFFFF,FFFFFFFF,FFFFFFFF,FFFFFFFF,FFFFFFFF,FFFFFFFF")
                              << ff;
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
    const QByteArray flash = device.flash();
    QCOMPARE(flash.mid(0x4CE0, 32), bytes);
    QCOMPARE(flash.left(0x4CE0), QByteArray(0x4CE0, char(0xFF)));
    QCOMPARE(flash.mid(0x4D00), QByteArray(Sim::FlashSize - 0x4D00, char(0xFF)));
    QCOMPARE(device.programmedAddresses(), std::vector<quint32>{0x4CE0});
}

void TestSim::programmingAndsIntoFlash()
{
    DeviceModel device;
    const QByteArray block = pattern(32, 3);
    device.receive(programMessage(0x6000, block));
    device.receive(programMessage(0x6000, block)); // a resend changes nothing
    QCOMPARE(device.flash().mid(0x6000, 32), block);
    QCOMPARE(device.counters().blocksProgrammed, 2);
    QCOMPARE(device.counters().repliesSent, 2);

    // Bits only clear: a second, different block leaves the AND of both.
    const QByteArray other = pattern(32, 8);
    device.receive(programMessage(0x6000, other));
    QByteArray anded(32, '\0');
    for (int i = 0; i < 32; ++i)
        anded[i] = char(block[i] & other[i]);
    QCOMPARE(device.flash().mid(0x6000, 32), anded);

    // Programming 0xFF changes nothing; only an erase brings the ones back.
    device.receive(programMessage(0x6000, QByteArray(32, char(0xFF))));
    QCOMPARE(device.flash().mid(0x6000, 32), anded);
    device.receive(eraseMessage());
    QCOMPARE(device.flash().mid(0x6000, 32), QByteArray(32, char(0xFF)));
}

void TestSim::blockAtWrongAddressShows()
{
    const QByteArray image = pattern(0x4000, 1) + pattern(0x100, 2);
    DeviceModel device;
    QByteArray traffic = updateTraffic(image);
    // The second block goes to 0x4040 instead of 0x4020.
    const QByteArray right = programMessage(0x4020, image.mid(0x4020, 32));
    const QByteArray wrong = programMessage(0x4040, image.mid(0x4020, 32));
    QVERIFY(traffic.contains(right));
    traffic.replace(right, wrong);
    device.receive(traffic);

    const FlashCheck check = checkFlash(device.flash(), image);
    QVERIFY(!check.ok);
    QCOMPARE(check.firstDifference, 0x4020); // never programmed: still 0xFF
    QCOMPARE(check.actual, 0xFF);
    QCOMPARE(check.expected, int(quint8(image[0x4020])));
    QCOMPARE(device.counters().protocolErrors, 0); // the device cannot know
}

void TestSim::refusedAddressesWriteNothing_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("isErase");
    QTest::newRow("program not a multiple of 32") << programMessage(0x4010, QByteArray(32, '\0')) << false;
    QTest::newRow("program at 64 KiB") << programMessage(0x10000, QByteArray(32, '\0')) << false;
    QTest::newRow("program far outside") << programMessage(0xFFFFFFE0, QByteArray(32, '\0')) << false;
    QTest::newRow("erase past the end") << framedMessage("$MERASE,4000,C001") << true;
    QTest::newRow("erase of nothing") << framedMessage("$MERASE,4000,0") << true;
    QTest::newRow("erase outside") << framedMessage("$MERASE,10000,10") << true;
}

void TestSim::refusedAddressesWriteNothing()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, isErase);
    DeviceModel device;
    device.receive(programMessage(0xFFE0, QByteArray(32, '\x11'))); // the last block is fine
    const QByteArray before = device.flash();
    QCOMPARE(device.counters().protocolErrors, 0);

    std::vector<Emission> out;
    device.receive(message.constData(), message.size(), out);
    QCOMPARE(out.size(), size_t(1));
    QVERIFY(out[0].refused);
    QVERIFY(out[0].bytes.isEmpty()); // not taken, so not answered
    QCOMPARE(out[0].kind, isErase ? CommandKind::Erase : CommandKind::Program);
    QCOMPARE(device.flash(), before);
    QCOMPARE(device.counters().protocolErrors, 1);
    QCOMPARE(device.counters().badMessages, 0);
    QCOMPARE(device.counters().eraseCount, 0);
    QCOMPARE(device.counters().blocksProgrammed, 1);
}

void TestSim::wholeUpdateLeavesExpectedFlash_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("one byte beyond 0x4000") << 0x4001;
    QTest::newRow("ends inside a block") << 0x4FF3;
    QTest::newRow("ends on a 4096 boundary") << 0x6000;
    QTest::newRow("fills the flash") << 0x10000;
}

void TestSim::wholeUpdateLeavesExpectedFlash()
{
    QFETCH(int, size);
    const QByteArray image = pattern(size, size);
    DeviceModel device;
    const QByteArray replies = device.receive(updateTraffic(image));
    const int blocks = ((size + 0xFFF) / 0x1000 * 0x1000 - 0x4000) / 32;
    QCOMPARE(device.counters().blocksProgrammed, blocks);
    QCOMPARE(replies, device.eraseReply() + device.programReply().repeated(blocks));
    QCOMPARE(device.counters().applicationStarts, 1);
    const FlashCheck check = checkFlash(device.flash(), image);
    QVERIFY2(check.ok, qPrintable(check.description));
}

void TestSim::startApplicationIsCountedAndKeepsFlash()
{
    DeviceModel device;
    device.receive(programMessage(0x4000, pattern(32, 5)));
    const QByteArray flash = device.flash();
    std::vector<Emission> out;
    const QByteArray twice = startMessage() + startMessage();
    device.receive(twice.constData(), twice.size(), out);
    QCOMPARE(out.size(), size_t(2));
    QCOMPARE(out[1].kind, CommandKind::StartApplication);
    QVERIFY(out[0].bytes.isEmpty() && out[1].bytes.isEmpty()); // nothing answers "$MJAPP"
    QCOMPARE(device.counters().applicationStarts, 2);
    QCOMPARE(device.counters().repliesSent, 1);
    QCOMPARE(device.flash(), flash);
}

// ---- Framing and replies ---------------------------------------------------------------

void TestSim::badFramingIsDropped_data()
{
    QTest::addColumn<QByteArray>("line");
    const QByteArray good = programMessage(0x4000, pattern(32, 9));
    const int star = good.indexOf('*');
    const QByteArray digits = good.mid(star + 1, good.size() - star - 2);
    const quint16 sum = quint16(digits.toUInt(nullptr, 16));
    QByteArray wrongDigit = good;
    wrongDigit[star + 1] = wrongDigit[star + 1] == '1' ? '2' : '1';

    QTest::newRow("no dollar") << good.mid(1);
    QTest::newRow("noise before the dollar") << "x" + good;
    QTest::newRow("no asterisk") << good.left(star) + good.mid(star + 1);
    QTest::newRow("empty checksum") << good.left(star + 1) + "\n";
    QTest::newRow("wrong checksum digit") << wrongDigit;
    QTest::newRow("checksum off by one") << good.left(star + 1) + QByteArray::number(quint16(sum + 1), 16).toUpper() +
                                                "\n";
    QTest::newRow("five checksum digits") << good.left(star + 1) + "0" + digits + "\n";
    QTest::newRow("text after the checksum") << good.left(good.size() - 1) + " \n";
    QTest::newRow("body byte changed") << QByteArray(good).replace("MPRG,4000", "MPRG,4020");
    QTest::newRow("control byte in body") << framedMessage("$MJAPP\t");
    const QByteArray longBody(300, 'A');
    QTest::newRow("line longer than the buffer")
        << "$" + longBody + "*" + QByteArray::number(messageChecksum(longBody), 16).toUpper() + "\n";
    QTest::newRow("bare line feed") << QByteArray("\n");
}

void TestSim::badFramingIsDropped()
{
    QFETCH(QByteArray, line);
    DeviceModel device;
    QCOMPARE(device.receive(line), QByteArray());
    QCOMPARE(device.counters().messagesReceived, 1);
    QCOMPARE(device.counters().badMessages, 1);
    QCOMPARE(device.counters().protocolErrors, 0);
    QCOMPARE(device.counters().blocksProgrammed, 0);
    QCOMPARE(device.flash(), QByteArray(Sim::FlashSize, char(0xFF)));
}

void TestSim::tolerableFramingIsAccepted_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("reply");
    const QByteArray erase = eraseMessage(); // ...*5DCA\n
    QVERIFY(erase.endsWith("*5DCA\n"));
    const QByteArray ack = DeviceModel().eraseReply();
    QTest::newRow("as the engine sends it") << erase << ack;
    QTest::newRow("lower-case checksum") << QByteArray("$MERASE,4000,C000*5dca\n") << ack;
    QTest::newRow("carriage return before the line feed") << QByteArray("$MERASE,4000,C000*5DCA\r\n") << ack;
    // 0x00AD: the engine sends two digits; a device reads leading zeros too.
    const QByteArray block = programMessage(0x4CE0, QByteArray(32, '\0'));
    QVERIFY(block.endsWith("*AD\n"));
    QTest::newRow("short checksum") << block << DeviceModel().programReply();
    QTest::newRow("short checksum with leading zeros")
        << QByteArray(block).replace("*AD", "*00AD") << DeviceModel().programReply();
}

void TestSim::tolerableFramingIsAccepted()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, reply);
    DeviceModel device;
    QCOMPARE(device.receive(line), reply);
    QCOMPARE(device.counters().badMessages, 0);
}

void TestSim::wellFramedButMeaninglessIsRefused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("unknown command") << QByteArray("$MFOO");
    QTest::newRow("a reply sent back") << QByteArray("$MPRGA");
    QTest::newRow("program with seven words") << QByteArray("$MPRG,4000,1,2,3,4,5,6,7");
    QTest::newRow("program with nine words") << QByteArray("$MPRG,4000,1,2,3,4,5,6,7,8,9");
    QTest::newRow("program word not hex") << QByteArray("$MPRG,4000,1,2,3,4,5,6,7,G");
    QTest::newRow("program word too long") << QByteArray("$MPRG,4000,1,2,3,4,5,6,7,123456789");
    QTest::newRow("program empty word") << QByteArray("$MPRG,4000,1,2,3,,5,6,7,8");
    QTest::newRow("erase with one field") << QByteArray("$MERASE,4000");
    QTest::newRow("start with a field") << QByteArray("$MJAPP,1");
    QTest::newRow("empty body") << QByteArray("$");
    QTest::newRow("erase in lower case") << QByteArray("$merase,4000,C000");
}

void TestSim::wellFramedButMeaninglessIsRefused()
{
    QFETCH(QByteArray, text);
    DeviceModel device;
    const QByteArray line = framedMessage(text);
    QVERIFY(!line.isEmpty());
    QCOMPARE(device.receive(line), QByteArray());
    QCOMPARE(device.counters().badMessages, 0);
    QCOMPARE(device.counters().protocolErrors, 1);
    QCOMPARE(device.counters().unknownReceived, 1);
    QCOMPARE(
        device.counters().applicationStarts + device.counters().programsReceived + device.counters().erasesReceived, 0);
    QCOMPARE(device.flash(), QByteArray(Sim::FlashSize, char(0xFF)));
}

void TestSim::replyTextsAreExact_data()
{
    QTest::addColumn<QByteArray>("lineEnd");
    QTest::newRow("default CR LF") << QByteArray("\r\n");
    QTest::newRow("LF") << QByteArray("\n");
    QTest::newRow("CR") << QByteArray("\r");
    QTest::newRow("none") << QByteArray();
}

void TestSim::replyTextsAreExact()
{
    QFETCH(QByteArray, lineEnd);
    DeviceConfig config;
    if (QByteArray(QTest::currentDataTag()) != "default CR LF")
        config.lineEnd = lineEnd;
    DeviceModel device(config);
    // E2A2 and 3670: CRC-16/MCRF4XX of "MERASEA" and "MPRGA".
    QCOMPARE(device.receive(eraseMessage()), "$MERASEA*E2A2" + lineEnd);
    QCOMPARE(device.receive(programMessage(0x4000, QByteArray())), "$MPRGA*3670" + lineEnd);
    QCOMPARE(device.eraseReply(), "$MERASEA*E2A2" + lineEnd);
    QCOMPARE(device.programReply(), "$MPRGA*3670" + lineEnd);
    QCOMPARE(device.counters().repliesSent, 2);
    if (lineEnd.endsWith('\n')) {
        QVERIFY(recognised(device.eraseReply(), Reply::EraseAck));
        QVERIFY(recognised(device.programReply(), Reply::ProgramAck));
    }
}

void TestSim::messagesAreNumberedAsTheyArrive()
{
    DeviceConfig config;
    config.fault(FaultKind::LoseCommand).atMessages = {2};
    DeviceModel device(config);
    const QByteArray traffic = programMessage(0x4000, QByteArray()) + programMessage(0x4020, QByteArray()) +
                               "garbage\n" + programMessage(0x4040, QByteArray());
    std::vector<Emission> out;
    device.receive(traffic.constData(), traffic.size(), out);
    QCOMPARE(out.size(), size_t(4));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(out[size_t(i)].message, qint64(i + 1));
    QCOMPARE(out[3].inputEnd, traffic.size());
    QCOMPARE(out[0].inputEnd, traffic.indexOf('\n') + 1);
    QCOMPARE(device.counters().messagesReceived, 4);
    QCOMPARE(device.counters().commandsLost, 1);
    QCOMPARE(device.counters().badMessages, 1);
    QCOMPARE(device.programmedAddresses(), (std::vector<quint32>{0x4000, 0x4040}));
    QCOMPARE(device.counters().bytesReceived, traffic.size());
}

void TestSim::commandsSplitAcrossReadsAreAssembled()
{
    DeviceModel device;
    const QByteArray traffic = eraseMessage() + programMessage(0x4000, pattern(32, 4));
    QByteArray replies;
    for (int i = 0; i < traffic.size(); i += 7)
        replies += device.receive(traffic.mid(i, 7));
    QCOMPARE(replies, device.eraseReply() + device.programReply());
    QCOMPARE(device.flash().mid(0x4000, 32), pattern(32, 4));
}

// ---- Faults -----------------------------------------------------------------------------

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
        traffic += programMessage(a, QByteArray(32, '\0'));
    std::vector<Emission> out;
    device.receive(traffic.constData(), traffic.size(), out);
    QCOMPARE(out.size(), size_t(5));

    // Messages 1 and 2 are untouched by any fault.
    for (size_t i = 0; i < 2; ++i) {
        QCOMPARE(out[i].bytes, ack);
        QVERIFY(out[i].cuts.empty());
        QCOMPARE(out[i].delayTicks, 0);
    }
    const Emission &e = out[2];
    const DeviceCounters &c = device.counters();
    auto written = [&](int address) { return at(device, address) == 0; };
    switch (kind) {
    case FaultKind::LoseCommand:
        QVERIFY(e.bytes.isEmpty());
        QVERIFY(!written(0x4040));
        QCOMPARE(c.commandsLost, 1);
        QCOMPARE(c.programsReceived, 4);
        break;
    case FaultKind::LoseReply:
        QVERIFY(e.bytes.isEmpty());
        QVERIFY(written(0x4040));
        QCOMPARE(c.repliesLost, 1);
        QCOMPARE(c.repliesSent, 4);
        break;
    case FaultKind::CorruptReply: {
        QCOMPARE(e.bytes.size(), ack.size());
        int changed = 0;
        for (int i = 0; i < ack.size(); ++i)
            changed += e.bytes[i] != ack[i];
        QCOMPARE(changed, 1);
        QVERIFY(e.bytes.endsWith("\r\n"));
        QVERIFY(recognised(e.bytes, Reply::None));
        QCOMPARE(c.repliesCorrupted, 1);
        break;
    }
    case FaultKind::NoiseBytes: {
        QCOMPARE(e.bytes.size(), config.noiseBytes + ack.size());
        QVERIFY(e.bytes.endsWith(ack));
        const QByteArray noise = e.bytes.left(config.noiseBytes);
        QVERIFY(!noise.contains('$') && !noise.contains('\n'));
        QVERIFY(recognised(e.bytes, Reply::ProgramAck)); // the engine skips a lead-in
        QCOMPARE(c.noiseInsertions, 1);
        break;
    }
    case FaultKind::NoiseLine: {
        const int newline = e.bytes.indexOf('\n');
        QCOMPARE(newline, config.noiseLineBytes);
        QCOMPARE(e.bytes.mid(newline + 1), ack);
        QVERIFY(!e.bytes.left(newline).contains('$'));
        QVERIFY(recognised(e.bytes.left(newline + 1), Reply::None));
        QCOMPARE(c.noiseLines, 1);
        break;
    }
    case FaultKind::SplitReply:
        QCOMPARE(e.bytes, ack);
        QCOMPARE(int(e.cuts.size()), config.splitPieces - 1);
        QVERIFY(e.cuts.front() > 0 && e.cuts.back() < ack.size());
        QVERIFY(e.cuts.front() < e.cuts.back());
        QCOMPARE(c.repliesSplit, 1);
        break;
    case FaultKind::DelayReply:
        QCOMPARE(e.bytes, ack);
        QCOMPARE(e.delayTicks, 13);
        QCOMPARE(c.repliesDelayed, 1);
        break;
    case FaultKind::Unplug:
        for (size_t i = 2; i < 5; ++i)
            QVERIFY(out[i].bytes.isEmpty());
        QVERIFY(!e.closeLink); // hanging up is asked for separately
        QVERIFY(!written(0x4040) && !written(0x4080));
        QCOMPARE(c.unpluggedAt, 3);
        QCOMPARE(c.messagesAfterUnplug, 3);
        QCOMPARE(c.blocksProgrammed, 2);
        break;
    }
    // After the fault the device carries on as before (an unplugged one excepted).
    if (kind != FaultKind::Unplug) {
        QCOMPARE(out[3].bytes, ack);
        QCOMPARE(out[4].bytes, ack);
        QVERIFY(written(0x4060) && written(0x4080));
    }
}

void TestSim::faultByRateIsSeeded_data()
{
    faultAtMessage_data();
}

void TestSim::faultByRateIsSeeded()
{
    QFETCH(FaultKind, kind);
    auto run = [&](quint64 seed) {
        DeviceConfig config;
        config.seed = seed;
        config.fault(kind).rate = 0.25;
        DeviceModel device(config);
        QByteArray traffic;
        for (int i = 0; i < 400; ++i)
            traffic += programMessage(0x4000 + 32 * quint32(i % 64), QByteArray());
        std::vector<Emission> out;
        device.receive(traffic.constData(), traffic.size(), out);
        // The messages the fault hit, as seen from outside.
        std::set<qint64> hit;
        for (const Emission &e : out) {
            const bool plain = e.bytes == device.programReply() && e.cuts.empty() && e.delayTicks == 0;
            if (!plain)
                hit.insert(e.message);
        }
        return std::make_pair(hit, device.counters());
    };
    const auto first = run(7);
    const auto again = run(7);
    const auto other = run(8);
    QCOMPARE(first.first, again.first);
    QVERIFY(first.first != other.first);
    if (kind == FaultKind::Unplug) {
        // Once gone, gone: every message from the first hit on.
        QVERIFY(!first.first.empty());
        QCOMPARE(qint64(first.first.size()), 400 - first.second.unpluggedAt + 1);
        QCOMPARE(*first.first.begin(), first.second.unpluggedAt);
    } else {
        // About a quarter of 400.
        QVERIFY2(first.first.size() > 60 && first.first.size() < 140, qPrintable(QString::number(first.first.size())));
    }
    // The same decisions can be asked for without sending anything.
    DeviceConfig config;
    config.seed = 7;
    config.fault(kind).rate = 0.25;
    const DeviceModel probe(config);
    if (kind != FaultKind::Unplug) {
        for (qint64 n = 1; n <= 400; ++n)
            QCOMPARE(probe.faultHits(kind, n), first.first.count(n) == 1);
    }
}

void TestSim::corruptionAlwaysDefeatsTheChecksum_data()
{
    replyTextsAreExact_data();
}

void TestSim::corruptionAlwaysDefeatsTheChecksum()
{
    QFETCH(QByteArray, lineEnd);
    DeviceConfig config;
    config.lineEnd = lineEnd;
    config.fault(FaultKind::CorruptReply).rate = 1.0;
    DeviceModel device(config);
    QByteArray traffic;
    for (int i = 0; i < 1000; ++i)
        traffic += i % 2 ? programMessage(0x4000, QByteArray()) : eraseMessage();
    std::vector<Emission> out;
    device.receive(traffic.constData(), traffic.size(), out);
    QCOMPARE(device.counters().repliesCorrupted, 1000);
    std::set<int> positions;
    for (const Emission &e : out) {
        const QByteArray clean = e.message % 2 ? device.eraseReply() : device.programReply();
        QCOMPARE(e.bytes.size(), clean.size());
        QVERIFY(e.bytes.endsWith(lineEnd));
        QCOMPARE(e.bytes.count('\n'), clean.count('\n'));
        QVERIFY2(recognised(e.bytes.left(e.bytes.size() - lineEnd.size()) + '\n', Reply::None), e.bytes.constData());
        for (int i = 0; i < clean.size(); ++i) {
            if (e.bytes[i] != clean[i])
                positions.insert(i);
        }
    }
    // Every byte from "$" to the last checksum digit gets its turn, and the line end never.
    QCOMPARE(int(positions.size()), device.eraseReply().size() - lineEnd.size());
}

void TestSim::eraseUnansweredForFirstCommands()
{
    DeviceConfig config;
    config.eraseUnanswered = 2;
    DeviceModel device(config);
    QCOMPARE(device.receive(programMessage(0x4000, QByteArray())), device.programReply());
    QCOMPARE(device.receive(eraseMessage()), QByteArray());
    QCOMPARE(device.flash().mid(0x4000, 32), QByteArray(32, char(0xFF))); // carried out all the same
    QCOMPARE(device.receive(eraseMessage()), QByteArray());
    QCOMPARE(device.receive(eraseMessage()), device.eraseReply());
    QCOMPARE(device.receive(eraseMessage()), device.eraseReply());
    QCOMPARE(device.counters().erasesUnanswered, 2);
    QCOMPARE(device.counters().eraseCount, 4);
    QCOMPARE(device.counters().erasesReceived, 4);
}

void TestSim::unplugFromMessageAndHangUp()
{
    DeviceConfig config;
    config.fault(FaultKind::Unplug).atMessages = {2};
    config.unplugClosesLink = true;
    DeviceModel device(config);
    const QByteArray traffic = eraseMessage() + eraseMessage() + eraseMessage();
    std::vector<Emission> out;
    device.receive(traffic.constData(), traffic.size(), out);
    QCOMPARE(out.size(), size_t(3));
    QCOMPARE(out[0].bytes, device.eraseReply());
    QVERIFY(!out[0].closeLink);
    QVERIFY(out[1].closeLink); // hangs up once, when it goes
    QVERIFY(!out[2].closeLink);
    QVERIFY(out[1].bytes.isEmpty() && out[2].bytes.isEmpty());
    QVERIFY(device.isUnplugged());
    QCOMPARE(device.counters().eraseCount, 1);
}

// ---- Flash check ------------------------------------------------------------------------

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
    DeviceModel device;
    device.receive(updateTraffic(image));
    QByteArray flash = device.flash();
    QVERIFY(checkFlash(flash, image).ok);
    QCOMPARE(expectedFlash(image), flash);

    flash[address] = char(flash[address] ^ 0x5A);
    const FlashCheck check = checkFlash(flash, image);
    QVERIFY(!check.ok);
    QCOMPARE(check.firstDifference, address);
    QCOMPARE(check.differences, 1);
    QCOMPARE(check.actual, int(quint8(flash[address])));
    QVERIFY(check.description.contains(QString::number(address, 16)));
}

void TestSim::checkFlashRejectsImagesNeverSent()
{
    const QByteArray erased(Sim::FlashSize, char(0xFF));
    QVERIFY(!checkFlash(erased, pattern(0x4000, 1)).ok);
    QVERIFY(!checkFlash(erased, pattern(0x10001, 1)).ok);
    QVERIFY(expectedFlash(pattern(0x4000, 1)).isEmpty());
    QVERIFY(!checkFlash(erased.left(100), pattern(0x5000, 1)).ok);
}

// ---- In-thread driver -------------------------------------------------------------------

void TestSim::inThreadAnswersOverPty()
{
    InThreadDevice device;
    QVERIFY(device.isOpen());
    QSerialPort port(device.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QSignalSpy handled(&device, &InThreadDevice::messageHandled);

    port.write(eraseMessage() + programMessage(0x4000, pattern(32, 2)));
    QVERIFY(port.flush() || port.bytesToWrite() == 0);
    QVERIFY(device.settle());
    QCOMPARE(port.readAll(), QByteArray("$MERASEA*E2A2\r\n$MPRGA*3670\r\n"));
    QCOMPARE(handled.count(), 2);
    QCOMPARE(device.counters().repliesSent, 2);
    QCOMPARE(device.flash().mid(0x4000, 32), pattern(32, 2));

    QSignalSpy started(&device, &InThreadDevice::applicationStarted);
    port.write(startMessage());
    port.flush();
    QVERIFY(device.settle());
    QCOMPARE(started.count(), 1);
    QCOMPARE(started.at(0).at(0).toLongLong(), 1);
    QCOMPARE(port.readAll(), QByteArray());
}

void TestSim::inThreadHoldsDelayedReplyForTicks()
{
    DeviceConfig config;
    config.fault(FaultKind::DelayReply).atMessages = {1};
    config.delayTicks = 3;
    InThreadDevice device(config);
    QSerialPort port(device.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));

    port.write(programMessage(0x4000, QByteArray()));
    port.flush();
    QVERIFY(device.settle());
    port.write(programMessage(0x4020, QByteArray())); // answered at once, but queued behind
    port.flush();
    QVERIFY(device.settle());
    QCOMPARE(device.counters().messagesReceived, 2);
    QCOMPARE(port.readAll(), QByteArray());
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
    QVERIFY(device.settle());
    QCOMPARE(reads.size(), 4);
    QVERIFY(reads.join().endsWith(device.model().eraseReply()));
    QVERIFY(recognised(reads.join(), Reply::EraseAck));
}

void TestSim::inThreadUnplugHangsUpThePort()
{
    DeviceConfig config;
    config.fault(FaultKind::Unplug).atMessages = {2};
    config.unplugClosesLink = true;
    InThreadDevice device(config);
    QSignalSpy closed(&device, &InThreadDevice::linkClosed);
    QSerialPort port(device.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    qRegisterMetaType<QSerialPort::SerialPortError>();
    QSignalSpy errors(&port, &QSerialPort::errorOccurred);

    port.write(eraseMessage());
    port.flush();
    QVERIFY(device.settle());
    QCOMPARE(port.readAll(), device.model().eraseReply());
    QCOMPARE(closed.count(), 0);

    port.write(eraseMessage());
    port.flush();
    QTRY_COMPARE(closed.count(), 1);
    QVERIFY(!device.isOpen());
    QTRY_VERIFY(std::any_of(errors.begin(), errors.end(), [](const QList<QVariant> &args) {
        return args.at(0).value<QSerialPort::SerialPortError>() == QSerialPort::ResourceError;
    }));
}

void TestSim::inThreadOnAdoptedPtyLinkMaster()
{
    PtyLink link;
    QVERIFY(link.isOpen());
    InThreadDevice device(link.masterFd(), DeviceConfig());
    QVERIFY(device.isOpen());
    QCOMPARE(device.slavePath(), link.slavePath());
    QSerialPort port(link.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    port.write(programMessage(0x4000, QByteArray(32, '\x0F')));
    port.flush();
    QVERIFY(device.settle());
    QCOMPARE(port.readAll(), device.model().programReply());
    QCOMPARE(device.flash().mid(0x4000, 32), QByteArray(32, '\x0F'));
}

// ---- Real-time driver -------------------------------------------------------------------

void TestSim::threadedAnswersUnpaced()
{
    ThreadedDevice device;
    QVERIFY(device.start());
    const int fd = openSlaveRaw(device.slavePath());
    QVERIFY(fd >= 0);
    const QByteArray ack = DeviceModel().programReply();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 500; ++i) {
        writeAll(fd, programMessage(0x4000 + 32 * quint32(i % 16), pattern(32, i)));
        QCOMPARE(readBytes(fd, ack.size(), 2000), ack);
    }
    const qint64 ms = clock.elapsed();
    ::close(fd);
    device.stop();
    QCOMPARE(device.counters().programsReceived, 500);
    QCOMPARE(device.counters().repliesSent, 500);
    QCOMPARE(int(device.programmedAddresses().size()), 500);
    qInfo("500 unpaced round trips in %lld ms", ms);
}

void TestSim::threadedPacedReplyNotBeforeWireTime()
{
    LinkPacing pacing;
    pacing.enabled = true;
    pacing.processingDelayUs = 1000;
    ThreadedDevice device(DeviceConfig(), pacing);
    QVERIFY(device.start());
    const int fd = openSlaveRaw(device.slavePath());
    QVERIFY(fd >= 0);
    const QByteArray command = programMessage(0x4000, pattern(32, 1));
    const QByteArray ack = DeviceModel().programReply();
    // Command and reply each cross a 38400-baud wire at 10 bits a byte, with 1 ms between.
    const qint64 wireUs = (command.size() + ack.size()) * 10 * 1000000LL / 38400 + 1000;
    qint64 fastestUs = INT64_MAX;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer clock;
        clock.start();
        writeAll(fd, command);
        QCOMPARE(readBytes(fd, ack.size(), 2000), ack);
        const qint64 us = clock.nsecsElapsed() / 1000;
        QVERIFY2(us >= wireUs, qPrintable(QStringLiteral("%1 us < %2 us").arg(us).arg(wireUs)));
        fastestUs = qMin(fastestUs, us);
    }
    // Not much later either (the best of three, as a busy machine may hold up any one).
    QVERIFY2(fastestUs < wireUs + 20000, qPrintable(QStringLiteral("%1 us, wire %2 us").arg(fastestUs).arg(wireUs)));
    // Two commands at once: the second waits for the first on the inbound wire.
    QElapsedTimer clock;
    clock.start();
    writeAll(fd, command + command);
    QCOMPARE(readBytes(fd, 2 * ack.size(), 2000), ack + ack);
    const qint64 twoUs = clock.nsecsElapsed() / 1000;
    const qint64 twoWireUs = (2 * command.size() + ack.size()) * 10 * 1000000LL / 38400 + 1000;
    QVERIFY2(twoUs >= twoWireUs, qPrintable(QStringLiteral("%1 us < %2 us").arg(twoUs).arg(twoWireUs)));
    ::close(fd);
}

void TestSim::threadedStartHandlerGetsFlash()
{
    ThreadedDevice device;
    qint64 seenCount = 0;
    QByteArray seenFlash;
    device.setStartHandler([&](qint64 count, const QByteArray &flash) {
        seenCount = count;
        seenFlash = flash;
    });
    QVERIFY(device.start());
    const int fd = openSlaveRaw(device.slavePath());
    writeAll(fd, programMessage(0x4000, pattern(32, 3)) + startMessage());
    QVERIFY(device.waitForApplicationStarts(1, 2000));
    device.stop();
    ::close(fd);
    QCOMPARE(seenCount, 1);
    QCOMPARE(seenFlash.size(), Sim::FlashSize);
    QCOMPARE(seenFlash.mid(0x4000, 32), pattern(32, 3));
    QCOMPARE(seenFlash, device.flash());
}

void TestSim::threadedUnplugHangsUp()
{
    DeviceConfig config;
    config.fault(FaultKind::Unplug).atMessages = {1};
    config.unplugClosesLink = true;
    ThreadedDevice device(config);
    QVERIFY(device.start());
    const int fd = openSlaveRaw(device.slavePath());
    writeAll(fd, eraseMessage());
    QTRY_VERIFY(device.linkClosed());
    // The engine's side now reads a hang-up.
    pollfd pfd{fd, POLLIN, 0};
    QCOMPARE(::poll(&pfd, 1, 1000), 1);
    QVERIFY(pfd.revents & (POLLHUP | POLLERR));
    ::close(fd);
    device.stop();
    QCOMPARE(device.counters().unpluggedAt, 1);
    QCOMPARE(device.counters().eraseCount, 0);
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
