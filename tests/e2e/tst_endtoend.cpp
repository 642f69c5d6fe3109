// Whole updates against the simulated device: the flash must end up exactly right.
#include "debugcapture.h"
#include "protocol.h"
#include "updaterun.h"

#include "enginestate.h"
#include "threadeddevice.h"

#include <QtTest>

#include <cstring>

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
    void updateLog_data();
    void updateLog();
    void timeLeftEstimate();
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

void TestEndToEnd::updateLog_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("silentErases");
    QTest::addColumn<QString>("folder"); // "blocked": cannot be made; "crowded": 105 older logs
    QTest::addColumn<QStringList>("notes");
    const QByteArray image = sampleImage(0x4000 + 100, 12);
    const QString outcome = QStringLiteral("Outcome: update complete after T s; image PATH, 16484 bytes");
    QTest::newRow("erase cycle and a lost answer")
        << image << 2 << QString()
        << QStringList{"Erase sent again: no answer within 10 s", "Port closed, to be reopened for a fresh start",
                       "Port reopened", "Block 4040 sent again: no answer within 2.4 s", outcome};
    QTest::newRow("missing image") << QByteArray() << 0 << QString()
                                   << QStringList{"Outcome: image refused (missing) after T s; image PATH, 0 bytes"};
    QTest::newRow("folder cannot be made") << image << 0 << "blocked" << QStringList();
    QTest::newRow("the newest 100 kept") << image << 0 << "crowded"
                                         << QStringList{"Block 4080 sent again: no answer within 2.4 s", outcome};
}

// Every debug line in order, each with its time; besides them the retries and the outcome.
void TestEndToEnd::updateLog()
{
    QFETCH(QByteArray, image);
    QFETCH(int, silentErases);
    QFETCH(QString, folder);
    QFETCH(QStringList, notes);
    QTemporaryDir dir;
    QDir logs(dir.path() + QStringLiteral("/logs"));
    if (folder == QLatin1String("blocked")) {
        QFile file(logs.path());
        QVERIFY(file.open(QIODevice::WriteOnly)); // a file where the folder should be
        runLogFolder = logs.path() + QStringLiteral("/logs");
    } else {
        QVERIFY(logs.mkpath(QStringLiteral(".")));
        for (int i = 0; folder == QLatin1String("crowded") && i < 105; ++i)
            QFile(logs.filePath(QStringLiteral("update-20000101-0000%1-000.log").arg(i, 2, 10, QLatin1Char('0'))))
                .open(QIODevice::WriteOnly);
        runLogFolder = logs.path();
    }
    DeviceConfig config;
    config.eraseUnanswered = silentErases;
    config.fault(FaultKind::LoseReply).atMessages = {6};
    const UpdateOutcome run = runUpdate(image, config);
    runLogFolder.clear();
    QCOMPARE(run.condition, image.isNull() ? BootTest::ImageRefused : BootTest::Completed);

    if (folder == QLatin1String("blocked")) {
        // Said once; the update is not held up by it.
        QVERIFY(run.log.isEmpty());
        QCOMPARE(run.debug.filter(QStringLiteral("Update log not written:")).size(), 1);
        QVERIFY(run.flash.ok);
        return;
    }
    QVERIFY(run.log.size() > 1);
    QVERIFY2(run.log.first().contains(QRegularExpression(QStringLiteral(
                 "^VelmorithUpdate: update started \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\S* on port "))),
             qPrintable(run.log.first()));
    static const QRegularExpression timed(QStringLiteral("^ *(\\d+)  (.*)$"));
    QStringList texts;
    qint64 last = 0;
    for (const QString &line : run.log.mid(1)) {
        const QRegularExpressionMatch match = timed.match(line);
        QVERIFY2(match.hasMatch() && match.captured(1).toLongLong() >= last, qPrintable(line));
        last = match.captured(1).toLongLong();
        texts << match.captured(2);
    }
    // The debug lines in their order; what is left are the log's own notes.
    QStringList left;
    int next = 0;
    for (const QString &text : texts) {
        if (next < run.debug.size() && text == run.debug.at(next))
            ++next;
        else
            left << text;
    }
    QCOMPARE(next, run.debug.size());
    const QString path = run.debug.at(1);
    left.replaceInStrings(QRegularExpression(QStringLiteral("after \\d+\\.\\d s")), QStringLiteral("after T s"));
    left.replaceInStrings(path, QStringLiteral("PATH"));
    QCOMPARE(left, notes);
    if (folder == QLatin1String("crowded")) {
        const QStringList kept = logs.entryList(QDir::Files, QDir::Name);
        QCOMPARE(kept.size(), 100);
        QCOMPARE(kept.first(), QStringLiteral("update-20000101-000006-000.log"));
    }
}

// Paced as a real link, with the engine's own timer: the time left it gives along the way
// against the time the update really took from there.
void TestEndToEnd::timeLeftEstimate()
{
    QTemporaryDir dir;
    const QByteArray image = sampleImage(0x4000 + 0x1000 - 0x200, 13);
    QFile file(dir.path() + QStringLiteral("/VelmorithAL_full.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
    file.close();
    resetEngineState();
    UpdateLog::setFolder(dir.path() + QStringLiteral("/logs"));
    const QByteArray directory = dir.path().toUtf8() + '/';
    std::memcpy(appDirectory, directory.constData(), size_t(directory.size()) + 1);
    LinkPacing pacing;
    pacing.enabled = true;
    pacing.baud = 115200;
    ThreadedDevice device(DeviceConfig(), pacing);
    QVERIFY(device.start());
    BootTest engine(device.slavePath());
    struct Sample
    {
        qint64 at;
        qint64 estimate;
    };
    QList<Sample> samples;
    while (engine.isRunning() && engine.elapsedMs() < 30000) {
        QTest::qWait(50);
        const int done = engine.currentMasterAddress() - 0x4000;
        if (engine.phase() == BootTest::Writing && done * 10 >= image.size() - 0x4000)
            samples << Sample{engine.elapsedMs(), engine.estimatedMsLeft()};
    }
    QCOMPARE(engine.condition(), BootTest::Completed);
    QVERIFY(samples.size() > 5);
    double worst = 0;
    for (const Sample &sample : samples) {
        const double real = double(engine.elapsedMs() - sample.at);
        worst = qMax(worst, qAbs(double(sample.estimate) - real) / real);
    }
    qInfo("time_left_worst_error: %.1f %% over %d samples", worst * 100, int(samples.size()));
    QVERIFY(worst <= 0.2);
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
