// The pure protocol pieces: checksum, composition, framing, field extraction, reply recognition.
#include "engineprobe.h"
#include "enginestate.h"
#include "protocol.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cstring>

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetEngineState(); }

    void checksum_data();
    void checksum();
    void checksumMatchesQtCrc();
    void compose();
    void framing_data();
    void framing();
    void framingLengthLimit_data();
    void framingLengthLimit();
    void copyField_data();
    void copyField();
    void recognise_data();
    void recognise();
};

void TestProtocol::checksum_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("expected");
    QTest::newRow("published check value") << QByteArray("123456789") << 0x6F91;
    QTest::newRow("empty body") << QByteArray() << 0xFFFF;
    QTest::newRow("erase") << QByteArray("MERASE,4000,C000") << 0x5DCA;
    QTest::newRow("start application") << QByteArray("MJAPP") << 0x9A1F;
    QTest::newRow("program answer") << QByteArray("MPRGA") << 0x3670;
    QTest::newRow("erase answer") << QByteArray("MERASEA") << 0xE2A2;
    QTest::newRow("fill block at 4CE0") << QByteArray("MPRG,4CE0,0,0,0,0,0,0,0,0") << 0x00AD;
    QTest::newRow("first fill block") << QByteArray("MPRG,4060,0,0,0,0,0,0,0,0") << 0x11FE;
}

void TestProtocol::checksum()
{
    QFETCH(QByteArray, body);
    QFETCH(int, expected);
    QCOMPARE(int(messageChecksum(body)), expected);
}

void TestProtocol::checksumMatchesQtCrc()
{
    // ISO 3309 CRC-16 XOR 0xFFFF is the same CRC: an independent implementation to compare with.
    QRandomGenerator random(20261206);
    for (int round = 0; round < 2000; ++round) {
        QByteArray data(int(random.bounded(300)), Qt::Uninitialized);
        for (char &c : data)
            c = char(random.bounded(256));
        QCOMPARE(messageChecksum(data), referenceChecksum(data));
    }
}

void TestProtocol::compose()
{
    // The text composed so far may be an argument of the next composition.
    QCOMPARE(composeMessage("%s", "$MPRG"), 5);
    composeMessage("%s,%X", txBuffer, 0x4000u);
    composeMessage("%s,%X", txBuffer, 0xDDCCBBAAu);
    composeMessage("%s,%X", txBuffer, 0u);
    QCOMPARE(QByteArray(txBuffer), QByteArray("$MPRG,4000,DDCCBBAA,0"));
    // Longer than the buffer: cut, never overrun.
    const QByteArray big(1500, 'x');
    QCOMPARE(composeMessage("%s", big.constData()), 1500);
    QCOMPARE(int(std::strlen(txBuffer)), 999);
}

void TestProtocol::framing_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("framed");
    QTest::newRow("erase") << QByteArray("$MERASE,4000,C000") << QByteArray("$MERASE,4000,C000*5DCA\n");
    QTest::newRow("start application") << QByteArray("$MJAPP") << QByteArray("$MJAPP*9A1F\n");
    QTest::newRow("empty body") << QByteArray("$") << QByteArray("$*FFFF\n");
    QTest::newRow("two-digit checksum") << QByteArray("$MPRG,4CE0,0,0,0,0,0,0,0,0")
                                        << QByteArray("$MPRG,4CE0,0,0,0,0,0,0,0,0*AD\n");
    QTest::newRow("lead-in not checksummed") << QByteArray("ab$MJAPP") << QByteArray("ab$MJAPP*9A1F\n");
    QTest::newRow("no start mark") << QByteArray("MJAPP") << QByteArray();
    QTest::newRow("empty text") << QByteArray("") << QByteArray();
}

void TestProtocol::framing()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, framed);
    char buffer[Protocol::TxBufferSize] = {};
    std::memcpy(buffer, text.constData(), size_t(text.size()));
    const int length = frameMessage(buffer);
    QCOMPARE(length, framed.size());
    if (framed.isEmpty())
        QCOMPARE(QByteArray(buffer), text); // refused texts stay as they were
    else
        QCOMPARE(QByteArray(buffer, length + 1), framed + '\0');
    QCOMPARE(framedMessage(text), framed);
}

void TestProtocol::framingLengthLimit_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("sent");
    QTest::newRow("246") << 246 << true;
    QTest::newRow("247") << 247 << true;
    QTest::newRow("248") << 248 << false;
    QTest::newRow("999") << 999 << false;
}

void TestProtocol::framingLengthLimit()
{
    QFETCH(int, length);
    QFETCH(bool, sent);
    QByteArray text = "$" + QByteArray(length - 1, 'A');
    std::memcpy(txBuffer, text.constData(), size_t(text.size()) + 1);
    const int framed = frameMessage(txBuffer);
    if (!sent) {
        QCOMPARE(framed, 0);
        return;
    }
    const QByteArray expected = text + "*" + QByteArray::number(referenceChecksum(text.mid(1)), 16).toUpper() + "\n";
    QCOMPARE(QByteArray(txBuffer, framed), expected);
    QVERIFY(framed <= 253);
}

void TestProtocol::copyField_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<int>("maxChars");
    QTest::addColumn<QByteArray>("field");
    QTest::newRow("ends at comma") << QByteArray("$MPRGA,1,2") << 64 << QByteArray("$MPRGA");
    QTest::newRow("ends at star") << QByteArray("3670*x") << 5 << QByteArray("3670");
    QTest::newRow("ends at CR") << QByteArray("3670\r\n") << 5 << QByteArray("3670");
    QTest::newRow("ends at LF") << QByteArray("36\n70") << 5 << QByteArray("36");
    QTest::newRow("cut at max") << QByteArray("0E2A21234") << 5 << QByteArray("0E2A2");
    QTest::newRow("empty") << QByteArray(",abc") << 5 << QByteArray("");
    QTest::newRow("ends at NUL") << QByteArray("ab") << 64 << QByteArray("ab");
}

void TestProtocol::copyField()
{
    QFETCH(QByteArray, source);
    QFETCH(int, maxChars);
    QFETCH(QByteArray, field);
    char out[80];
    std::memset(out, 'Z', sizeof out);
    ::copyField(source.constData(), out, maxChars);
    QCOMPARE(QByteArray(out), field);
}

void TestProtocol::recognise_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("reply");
    const int none = int(Reply::None);
    QTest::newRow("program answer") << QByteArray("$MPRGA*3670\r\n") << int(Reply::ProgramAck);
    QTest::newRow("erase answer") << QByteArray("$MERASEA*E2A2\r\n") << int(Reply::EraseAck);
    QTest::newRow("lower-case digits") << QByteArray("$MERASEA*e2a2\r\n") << int(Reply::EraseAck);
    QTest::newRow("leading zero") << QByteArray("$MERASEA*0E2A2\r\n") << int(Reply::EraseAck);
    QTest::newRow("first of five ignored") << QByteArray("$MERASEA*1E2A2\r\n") << int(Reply::EraseAck);
    QTest::newRow("wrong checksum") << QByteArray("$MERASEA*E2A3\r\n") << none;
    QTest::newRow("field cut after five") << QByteArray("$MERASEA*0E2A2777\r\n") << int(Reply::EraseAck);
    QTest::newRow("sixth digit counts not") << QByteArray("$MERASEA*E2A27\r\n") << none;
    QTest::newRow("noise before start") << QByteArray("\x01\xfe$MPRGA*3670\r\n") << int(Reply::ProgramAck);
    QTest::newRow("further fields") << deviceReply("MPRGA,17,abc") << int(Reply::ProgramAck);
    QTest::newRow("connect request") << deviceReply("CONR") << int(Reply::ConnectRequest);
    QTest::newRow("master bootloader") << deviceReply("MBL") << int(Reply::MasterBootloader);
    QTest::newRow("slave erase answer") << deviceReply("SERASEA") << int(Reply::SlaveEraseAck);
    QTest::newRow("slave program answer") << deviceReply("SPRGA") << int(Reply::SlaveProgramAck);
    QTest::newRow("application bootloader") << deviceReply("ABL") << int(Reply::AppBootloader);
    QTest::newRow("token cut short") << deviceReply("MPRG") << none;
    QTest::newRow("token with more") << deviceReply("MPRGAX") << none;
    QTest::newRow("lower-case name") << deviceReply("mprga") << none;
    QTest::newRow("unknown name") << deviceReply("HELLO") << none;
    QTest::newRow("empty checksum field") << QByteArray("$MPRGA*\r\n") << none;
    QTest::newRow("no checksum mark") << QByteArray("$MPRGA\r\n") << none;
    QTest::newRow("NUL inside body") << QByteArray("$MP\0RGA*3670\r\n", 14) << none;
    QTest::newRow("no start mark") << QByteArray("MPRGA*3670\r\n") << none;
    QTest::newRow("first start mark counts") << QByteArray("$x$MPRGA*3670\r\n") << none;
    QTest::newRow("newline alone") << QByteArray("\n") << none;
    QTest::newRow("empty line") << QByteArray() << none;
}

void TestProtocol::recognise()
{
    QFETCH(QByteArray, line);
    QFETCH(int, reply);
    char buffer[Protocol::LineBufferSize];
    std::memset(buffer, '$', sizeof buffer); // bytes beyond the line must not count
    std::memcpy(buffer, line.constData(), size_t(line.size()));
    char name[Protocol::ReplyNameChars + 1];
    QCOMPARE(int(recogniseReply(buffer, line.size(), name)), reply);
    if (reply != int(Reply::None))
        QCOMPARE(QByteArray(name), QByteArray(replyName(Reply(reply))));
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
