// The pure protocol pieces: checksum, framing and reply recognition.
#include "rig.h"

Q_DECLARE_METATYPE(Reply)

namespace {
// Qt's ISO 3309 CRC-16 with its final XOR undone is the same CRC, written independently.
QByteArray reference(const QByteArray &body)
{
    return QByteArray::number(quint16(qChecksum(body.constData(), uint(body.size())) ^ 0xFFFF), 16).toUpper();
}
} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:
    void framing_data();
    void framing();
    void recognise_data();
    void recognise();
};

void TestProtocol::framing_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("framed"); // empty: refused, nothing sent
    QTest::newRow("erase") << QByteArray("$MERASE,4000,C000") << QByteArray("$MERASE,4000,C000*5DCA\n");
    QTest::newRow("start application") << QByteArray("$MJAPP") << QByteArray("$MJAPP*9A1F\n");
    QTest::newRow("published check value") << QByteArray("$123456789") << QByteArray("$123456789*6F91\n");
    QTest::newRow("empty body") << QByteArray("$") << QByteArray("$*FFFF\n");
    QTest::newRow("two-digit checksum") << QByteArray("$MPRG,4CE0,0,0,0,0,0,0,0,0")
                                        << QByteArray("$MPRG,4CE0,0,0,0,0,0,0,0,0*AD\n");
    QTest::newRow("lead-in not checksummed") << QByteArray("ab$MJAPP") << QByteArray("ab$MJAPP*9A1F\n");
    QTest::newRow("no start mark") << QByteArray("MJAPP") << QByteArray();
    const QByteArray longest = "$" + QByteArray(246, 'A');
    QTest::newRow("247 characters") << longest << longest + "*" + reference(longest.mid(1)) + "\n";
    QTest::newRow("248 characters") << longest + "A" << QByteArray();
}

void TestProtocol::framing()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, framed);
    char buffer[Protocol::TxBufferSize] = {};
    std::memcpy(buffer, text.constData(), size_t(text.size()));
    QCOMPARE(frameMessage(buffer), framed.size());
    QCOMPARE(QByteArray(buffer), framed.isEmpty() ? text : framed); // a refused text stays as it was
}

void TestProtocol::recognise_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<Reply>("reply");
    QTest::newRow("program answer") << QByteArray("$MPRGA*3670\r\n") << Reply::ProgramAck;
    QTest::newRow("erase answer") << QByteArray("$MERASEA*E2A2\r\n") << Reply::EraseAck;
    QTest::newRow("lower-case digits") << QByteArray("$MERASEA*e2a2\r\n") << Reply::EraseAck;
    QTest::newRow("leading zero") << QByteArray("$MERASEA*0E2A2\r\n") << Reply::EraseAck;
    QTest::newRow("first of five ignored") << QByteArray("$MERASEA*1E2A2\r\n") << Reply::EraseAck;
    QTest::newRow("field cut after five") << QByteArray("$MERASEA*0E2A2777\r\n") << Reply::EraseAck;
    QTest::newRow("wrong checksum") << QByteArray("$MERASEA*E2A3\r\n") << Reply::None;
    QTest::newRow("sixth digit counts not") << QByteArray("$MERASEA*E2A27\r\n") << Reply::None;
    QTest::newRow("noise before start") << QByteArray("\x01\xfe$MPRGA*3670\r\n") << Reply::ProgramAck;
    QTest::newRow("further fields") << framedMessage("$MPRGA,17,abc") << Reply::ProgramAck;
    QTest::newRow("master bootloader") << framedMessage("$MBL") << Reply::MasterBootloader;
    QTest::newRow("slave erase answer") << framedMessage("$SERASEA") << Reply::SlaveEraseAck;
    QTest::newRow("slave program answer") << framedMessage("$SPRGA") << Reply::SlaveProgramAck;
    QTest::newRow("application bootloader") << framedMessage("$ABL") << Reply::AppBootloader;
    QTest::newRow("connect request") << framedMessage("$CONR") << Reply::ConnectRequest;
    QTest::newRow("token cut short") << framedMessage("$MPRG") << Reply::None;
    QTest::newRow("token with more") << framedMessage("$MPRGAX") << Reply::None;
    QTest::newRow("lower-case name") << framedMessage("$mprga") << Reply::None;
    QTest::newRow("empty checksum field") << QByteArray("$MPRGA*\r\n") << Reply::None;
    QTest::newRow("no checksum mark") << QByteArray("$MPRGA\r\n") << Reply::None;
    QTest::newRow("NUL inside body") << QByteArray("$MP\0RGA*3670\r\n", 14) << Reply::None;
    QTest::newRow("no start mark") << QByteArray("MPRGA*3670\r\n") << Reply::None;
    QTest::newRow("first start mark counts") << QByteArray("$x$MPRGA*3670\r\n") << Reply::None;
    QTest::newRow("empty line") << QByteArray() << Reply::None;
}

void TestProtocol::recognise()
{
    QFETCH(QByteArray, line);
    QFETCH(Reply, reply);
    char buffer[Protocol::LineBufferSize];
    std::memset(buffer, '$', sizeof buffer); // bytes beyond the line must not count
    std::memcpy(buffer, line.constData(), size_t(line.size()));
    QCOMPARE(recogniseReply(buffer, line.size()), reply);
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
