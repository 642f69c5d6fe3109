// Whole updates against the simulated device: the flash must end up exactly right.
#include "debugcapture.h"
#include "protocol.h"
#include "updaterun.h"

#include <QtTest>

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { silenceDebugOutput(); }
    void images_data();
    void images();
    void refusedImages_data();
    void refusedImages();
    void eraseAnsweredLate_data();
    void eraseAnsweredLate();
    void lineEnds_data();
    void lineEnds();
    void strayProgramAnswer_data();
    void strayProgramAnswer();
};

namespace {
QByteArray workedExampleImage()
{
    QByteArray image = sampleImage(0x4000, 7);
    for (int i = 1; i <= 0x40; ++i)
        image.append(char(i));
    return image + QByteArray("\xAA\xBB\xCC\xDD\xEE\xFF");
}

void expectCompleteUpdate(const UpdateOutcome &run, int erases = 1)
{
    QVERIFY2(run.flash.ok, qPrintable(run.flash.description));
    QCOMPARE(run.device.applicationStarts, qint64(1));
    QCOMPARE(run.condition, BootTest::Completed);
    QVERIFY(run.portClosed);
    QCOMPARE(run.device.eraseCount, qint64(erases));
}
} // namespace

void TestEndToEnd::images_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("blocks"); // program blocks the device takes, fill included
    QTest::newRow("worked example, 16454 bytes") << workedExampleImage() << 128;
    QTest::newRow("exactly 0x5000") << sampleImage(0x5000, 1) << 128;
    QTest::newRow("0x4000 + 32 KiB") << sampleImage(0x4000 + 0x8000, 2) << 1024;
    QTest::newRow("the largest, 0x10000") << sampleImage(0x10000, 3) << 1536;
    const int randomSize = 0x4001 + int(QRandomGenerator(20261206).bounded(0xC000 - 1));
    QTest::addRow("random size %d", randomSize)
        << sampleImage(randomSize, 4) << int((((randomSize + 0xFFF) & ~0xFFF) - 0x4000) / 32);
    QTest::newRow("one byte beyond 0x4000") << sampleImage(0x4001, 5) << 128;
}

void TestEndToEnd::images()
{
    QFETCH(QByteArray, image);
    QFETCH(int, blocks);
    const UpdateOutcome run = runUpdate(image, DeviceConfig());
    expectCompleteUpdate(run);
    QCOMPARE(run.device.blocksProgrammed, qint64(blocks));
    QCOMPARE(run.device.badMessages, qint64(0));
    QCOMPARE(run.device.protocolErrors, qint64(0));
}

void TestEndToEnd::refusedImages_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::newRow("missing") << QByteArray();
    QTest::newRow("16384 bytes") << sampleImage(0x4000, 6);
    QTest::newRow("100 bytes") << sampleImage(100, 6);
    QTest::newRow("cannot be opened") << QByteArray("<folder>");
    QTest::newRow("beyond the flash") << sampleImage(0x10001, 6);
}

void TestEndToEnd::refusedImages()
{
    QFETCH(QByteArray, image);
    const UpdateOutcome run = runUpdate(image, DeviceConfig(), 2000);
    QCOMPARE(run.condition, BootTest::ImageRefused);
    QCOMPARE(run.device.messagesReceived, qint64(0)); // no erase, nothing at all
    QCOMPARE(run.device.eraseCount, qint64(0));
    QVERIFY(run.portClosed);
}

void TestEndToEnd::eraseAnsweredLate_data()
{
    QTest::addColumn<int>("unanswered");
    QTest::addColumn<int>("erases");
    // The answer to a cycle's second erase arrives once the stage has dropped back to
    // prepare: it brings an erase at once, and that one's answer a fresh cycle. Harmless.
    QTest::newRow("first erase unanswered") << 1 << 4;
    QTest::newRow("a whole cycle unanswered") << 2 << 3;
    QTest::newRow("three erases unanswered") << 3 << 6;
    QTest::newRow("two cycles unanswered") << 4 << 5;
}

void TestEndToEnd::eraseAnsweredLate()
{
    QFETCH(int, unanswered);
    QFETCH(int, erases);
    DeviceConfig config;
    config.eraseUnanswered = unanswered;
    const UpdateOutcome run = runUpdate(sampleImage(0x4100, 8), config);
    QVERIFY2(run.flash.ok, qPrintable(run.flash.description));
    QCOMPARE(run.device.applicationStarts, qint64(1));
    QCOMPARE(run.device.eraseCount, qint64(erases));
    // 67 ticks for every whole cycle without an answer.
    QVERIFY(run.ticks >= 7 + 67 * (unanswered / 2));
}

void TestEndToEnd::lineEnds_data()
{
    QTest::addColumn<QByteArray>("lineEnd");
    QTest::newRow("CR LF") << QByteArray("\r\n");
    QTest::newRow("LF") << QByteArray("\n");
    QTest::newRow("LF CR") << QByteArray("\n\r");
}

void TestEndToEnd::lineEnds()
{
    QFETCH(QByteArray, lineEnd);
    DeviceConfig config;
    config.lineEnd = lineEnd;
    expectCompleteUpdate(runUpdate(sampleImage(0x4321, 9), config));
}

void TestEndToEnd::strayProgramAnswer_data()
{
    QTest::addColumn<int>("beforeTick");
    QTest::addColumn<int>("silentErases");
    QTest::newRow("during the start delay") << 3 << 0;
    // Erases at ticks 7 and 57 unanswered, port closed at 62 and reopened at 67, erase at 74.
    QTest::newRow("erase retry cycle, port reopened") << 70 << 2;
}

// An answer to a block before any block was sent must not move the address: the flash
// would hold every block 32 bytes above its place.
void TestEndToEnd::strayProgramAnswer()
{
    QFETCH(int, beforeTick);
    QFETCH(int, silentErases);
    DeviceConfig config;
    config.eraseUnanswered = silentErases;
    const UpdateOutcome run =
        runUpdate(sampleImage(0x4000 + 0x400 + 7, 10), config, 20000, {{beforeTick, framedMessage("$MPRGA")}});
    expectCompleteUpdate(run, silentErases == 0 ? 1 : silentErases + 1);
    QCOMPARE(run.device.erasesUnanswered, qint64(silentErases));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
