// The display tick: the progress bar and the status text that tell the operator how the
// update goes and how it ended.
#include "boottest.h"
#include "enginestate.h"
#include "markingtranslator.h"
#include "programpath.h"
#include "protocol.h"
#include "velmorithupdate.h"
#include "windowrig.h"

#include <QFile>
#include <QProgressBar>
#include <QStatusBar>
#include <QtTest>

#include <cstring>

namespace {
const QString FindingPort = QStringLiteral("Finding Port - Please wait");

// The status bar shows the text's start whole, and as much of the path as fits.
void expectFitted(WindowRig &rig, const QString &head)
{
    const QString shown = rig.statusBar()->currentMessage();
    const QString whole = rig.statusBar()->toolTip();
    QVERIFY2(shown.startsWith(head), qPrintable(shown));
    const QFontMetrics metrics(rig.statusBar()->font());
    const int room = rig.window().width() - 24;
    QVERIFY(metrics.horizontalAdvance(shown) <= room);
    QCOMPARE(shown == whole, metrics.horizontalAdvance(whole) <= room);
}

QString seconds(const BootTest *engine)
{
    return QString::number(double(engine->elapsedMs()) / 1000.0, 'f', 1);
}

// Ticks an engine that gets no answer until it says so.
bool stallUnanswered(BootTest *engine)
{
    for (int tick = 0; tick < 200 && engine->condition() != BootTest::NotAnswering; ++tick)
        WindowRig::tickEngine(engine);
    return engine->condition() == BootTest::NotAnswering;
}
} // namespace

class TestProgressDisplay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The size of a desktop's status bar text (the offscreen platform's default is larger).
        QFont font = QApplication::font();
        font.setPointSize(9);
        QApplication::setFont(font);
    }
    void init()
    {
        resetEngineState();
        resetWindowState();
    }

    void noEngines();
    void latch_data();
    void latch();
    void firstAcceptedBlock();
    void maximumOncePerLatch();
    void followsTheLatestPress();
    void keepsWhatItShowedUntilTheNextLatch();

    void completedFillsTheBar_data();
    void completedFillsTheBar();

    void completedUnseen();

    void refusedImage_data();
    void refusedImage();
    void programPathTooLong();
    void longImagePathIsShortened();
    void imageReadFails();
    void notAnsweringAndBack();
    void linkLost();
    void statusTextsAreTranslated();
};

void TestProgressDisplay::noEngines()
{
    WindowRig rig;
    masterAddress = 20000;
    rig.tickWindow(5);
    QCOMPARE(rig.bar()->maximum(), 65536);
    QCOMPARE(rig.bar()->minimum(), 16384);
    QCOMPARE(rig.bar()->value(), 16383);
    QCOMPARE(rig.statusBar()->currentMessage(), QString());
    QVERIFY(!progressEngineFound);
}

void TestProgressDisplay::latch_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<bool>("latches");

    QTest::newRow("image loaded, no block yet") << 16384 << false;
    QTest::newRow("one past the start") << 16385 << true;
    QTest::newRow("first block accepted") << 16416 << true;
    QTest::newRow("inside the image") << 39968 << true;
    QTest::newRow("past the image") << 45056 << true;
    QTest::newRow("last that latches") << 65534 << true;
    QTest::newRow("65535") << 65535 << false;
    QTest::newRow("end of flash") << 65536 << false;
    QTest::newRow("far out") << 100000 << false;
}

void TestProgressDisplay::latch()
{
    QFETCH(int, address);
    QFETCH(bool, latches);

    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    QCOMPARE(int(masterAddress), 16384);
    masterAddress = quint32(address);

    rig.tickWindow();
    QCOMPARE(progressEngineFound, latches);
    QCOMPARE(rig.bar()->maximum(), latches ? 40000 : 65536);
    QCOMPARE(rig.bar()->value(), 16383); // the latching tick sets only the maximum
    rig.tickWindow();
    // A value outside the range leaves the bar where it was.
    const bool shown = latches && address <= 40000;
    QCOMPARE(rig.bar()->value(), shown ? address : 16383);
    QCOMPARE(rig.bar()->maximum(), latches ? 40000 : 65536);
    QCOMPARE(rig.bar()->minimum(), 16384);
}

void TestProgressDisplay::firstAcceptedBlock()
{
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *engine = rig.engines().first();
    DevicePlayer device(rig.pty());

    // Erased, first block on its way: the master is still at 16384, no latch.
    QVERIFY(device.run(
        engine, [&] { return device.programCommands == 1; }, &rig));
    QCOMPARE(int(masterAddress), 16384);
    QCOMPARE(rig.bar()->maximum(), 65536);
    QCOMPARE(rig.bar()->value(), 16383);

    // The device accepts it.
    device.answering = false;
    QVERIFY(device.run(engine, [&] { return masterAddress == 16416; }));
    rig.tickWindow();
    QCOMPARE(rig.bar()->maximum(), 40000);
    QCOMPARE(rig.bar()->value(), 16383);
    rig.tickWindow();
    QCOMPARE(rig.bar()->value(), 16416);
    QCOMPARE(rig.bar()->maximum(), 40000);
}

void TestProgressDisplay::maximumOncePerLatch()
{
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    masterAddress = 16416;
    rig.tickWindow();
    QCOMPARE(rig.bar()->maximum(), 40000);
    // Whatever happens to the maximum afterwards, the tick does not set it again.
    rig.bar()->setMaximum(50000);
    masterAddress = 16448;
    rig.tickWindow(3);
    QCOMPARE(rig.bar()->maximum(), 50000);
    QCOMPARE(rig.bar()->value(), 16448);
}

void TestProgressDisplay::followsTheLatestPress()
{
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *first = rig.engines().first();
    masterAddress = 16416;
    rig.tickWindow(2);
    QCOMPARE(rig.bar()->maximum(), 40000);
    QCOMPARE(rig.bar()->value(), 16416);
    QVERIFY(stallUnanswered(first));
    rig.pty().drain(5);

    // Started afresh with another image: the bar follows the new engine and its size.
    rig.writeImage(30000);
    rig.pressStart();
    QCOMPARE(rig.engines().size(), 2);
    QCOMPARE(first->imageSize(), 40000);
    QCOMPARE(rig.engines().at(1)->imageSize(), 30000);
    QVERIFY(!progressEngineFound);
    rig.tickWindow(2);
    QVERIFY(!progressEngineFound); // back at 16384
    masterAddress = 16448;
    rig.tickWindow();
    QVERIFY(progressEngineFound);
    QCOMPARE(progressEngineIndex, 1);
    QCOMPARE(rig.bar()->maximum(), 30000);
    rig.tickWindow();
    QCOMPARE(rig.bar()->value(), 16448);
}

void TestProgressDisplay::keepsWhatItShowedUntilTheNextLatch()
{
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *first = rig.engines().first();
    masterAddress = 20000;
    rig.tickWindow(2);
    QCOMPARE(rig.bar()->value(), 20000);
    QVERIFY(stallUnanswered(first));

    // A press that finds nothing clears the latch but not the bar.
    rig.offerPorts({});
    rig.pressStart();
    masterAddress = 24000;
    rig.tickWindow(3);
    QVERIFY(!progressEngineFound);
    QCOMPARE(rig.bar()->value(), 20000);
    QCOMPARE(rig.bar()->maximum(), 40000);
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
}

void TestProgressDisplay::completedFillsTheBar_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<bool>("shortOfFull"); // before completion

    // Data beyond 0x4000 not a multiple of 32: the last address inside the range is short of
    // the end, and the next one (past the end) leaves the bar where it was.
    QTest::newRow("100 bytes beyond") << 16384 + 100 << true;
    QTest::newRow("one byte beyond") << 16385 << true;
    QTest::newRow("33 bytes beyond") << 16384 + 33 << true;
    QTest::newRow("4095 bytes beyond") << 16384 + 4095 << true;
    // A multiple of 32 reaches the end on its own.
    QTest::newRow("64 bytes beyond") << 16384 + 64 << false;
    QTest::newRow("on the 4096 boundary") << 20480 << false;
}

void TestProgressDisplay::completedFillsTheBar()
{
    QFETCH(int, imageSize);
    QFETCH(bool, shortOfFull);

    WindowRig rig;
    rig.writeImage(imageSize);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *engine = rig.engines().first();
    DevicePlayer device(rig.pty());

    // Up to the last block of the image accepted.
    QVERIFY(device.run(
        engine, [&] { return int(masterAddress) >= imageSize; }, &rig));
    rig.tickWindow(2);
    QCOMPARE(rig.bar()->maximum(), imageSize);
    if (shortOfFull)
        QVERIFY(rig.bar()->value() < imageSize);
    else
        QCOMPARE(rig.bar()->value(), imageSize);
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);

    QVERIFY(device.run(engine, [&] { return engine->condition() == BootTest::Completed; }));
    QCOMPARE(device.startApplicationCommands, 1);
    QVERIFY(int(masterAddress) % 4096 == 0);
    rig.tickWindow();
    QCOMPARE(rig.bar()->maximum(), imageSize);
    QCOMPARE(rig.bar()->value(), imageSize);
    QCOMPARE(rig.statusBar()->currentMessage(), QStringLiteral("Update complete in %1 s").arg(seconds(engine)));
    QVERIFY(engine->elapsedMs() >= 0);

    // And it stays so.
    rig.tickWindow(3);
    QCOMPARE(rig.bar()->value(), imageSize);
}

void TestProgressDisplay::completedUnseen()
{
    // A full 64 KiB image ends with the master address at 65536, where the bar never latches:
    // a window that saw nothing of the transfer still shows the finished update full.
    WindowRig rig;
    rig.writeImage(65536);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *engine = rig.engines().first();
    DevicePlayer device(rig.pty());
    QVERIFY(device.run(
        engine, [&] { return engine->condition() == BootTest::Completed; }, nullptr, 20000));
    QCOMPARE(int(masterAddress), 65536);
    QCOMPARE(device.programCommands, (65536 - 16384) / 32);
    rig.tickWindow();
    QCOMPARE(rig.bar()->maximum(), 65536);
    rig.tickWindow();
    QCOMPARE(rig.bar()->value(), 65536);
    QCOMPARE(rig.statusBar()->currentMessage(), QStringLiteral("Update complete in %1 s").arg(seconds(engine)));
}

void TestProgressDisplay::refusedImage_data()
{
    QTest::addColumn<int>("imageSize"); // -1: no file
    QTest::newRow("missing") << -1;
    QTest::newRow("nothing beyond 0x4000") << 16384;
    QTest::newRow("empty") << 0;
    QTest::newRow("larger than the flash") << 65537;
}

void TestProgressDisplay::refusedImage()
{
    QFETCH(int, imageSize);

    WindowRig rig;
    if (imageSize >= 0)
        rig.writeImage(imageSize);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *engine = rig.engines().first();
    QCOMPARE(engine->condition(), BootTest::ImageRefused);
    QVERIFY(!engine->imageProblem().isEmpty());
    // Told on the display tick, not before.
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
    rig.tickWindow();
    QCOMPARE(rig.statusBar()->toolTip(),
             QStringLiteral("Firmware image %1: %2").arg(engine->imageProblem(), rig.imagePath()));
    expectFitted(rig, QStringLiteral("Firmware image %1: ").arg(engine->imageProblem()));
    QCOMPARE(rig.bar()->value(), 16383);
    QCOMPARE(rig.bar()->maximum(), 65536);

    // It stays, also once the engine has closed its port.
    WindowRig::tickEngine(engine, 10);
    rig.tickWindow(2);
    QVERIFY(rig.statusBar()->currentMessage().startsWith("Firmware image " + engine->imageProblem()));
    QVERIFY(rig.pty().drain(5).isEmpty()); // nothing was sent
}

void TestProgressDisplay::programPathTooLong()
{
    const QByteArray longPath = "/" + QByteArray(400, 'd') + "/VelmorithUpdate";
    QVERIFY(!recordProgramPath(longPath.constData()));
    WindowRig rig(1, false);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *engine = rig.engines().first();
    QCOMPARE(engine->condition(), BootTest::ImageRefused);
    rig.tickWindow();
    QCOMPARE(rig.statusBar()->currentMessage(),
             QStringLiteral("Firmware image %1").arg(engine->imageProblem()));
    QVERIFY(!engine->imageProblem().isEmpty());
}

void TestProgressDisplay::longImagePathIsShortened()
{
    WindowRig rig(1, false);
    const QByteArray folder = "/no/such/" + QByteArray(200, 'f') + "/folder/";
    std::memcpy(appDirectory, folder.constData(), size_t(folder.size()) + 1);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *engine = rig.engines().first();
    rig.tickWindow();
    QCOMPARE(rig.statusBar()->toolTip(), QStringLiteral("Firmware image missing: %1").arg(engine->imagePath()));
    expectFitted(rig, QStringLiteral("Firmware image missing: /no/"));
    QVERIFY(rig.statusBar()->currentMessage().endsWith(QStringLiteral("_full.bin")));
    QVERIFY(rig.statusBar()->currentMessage().contains(QChar(0x2026)));
}

void TestProgressDisplay::imageReadFails()
{
    WindowRig rig;
    rig.writeImage(16384 + 100);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *engine = rig.engines().first();
    DevicePlayer device(rig.pty());
    device.programAnswersLeft = 2;
    QVERIFY(device.run(
        engine, [&] { return device.programCommands == 3; }, &rig));
    QCOMPARE(int(masterAddress), 16448);
    // The address falls behind the file: the block after the third one comes up short
    // (4 bytes left in the file, 32 wanted).
    masterAddress = 16384;
    rig.pty().write(framedMessage("$MPRGA"));
    QTRY_COMPARE_WITH_TIMEOUT(engine->condition(), BootTest::ImageReadFailed, 2000);
    // It winds up without starting the application.
    QVERIFY(device.run(engine, [&] { return tickCountdown == 0; }));
    QCOMPARE(device.startApplicationCommands, 0);
    rig.tickWindow();
    QCOMPARE(rig.statusBar()->toolTip(),
             QStringLiteral("Update stopped, firmware image %1: %2").arg(engine->imageProblem(), rig.imagePath()));
    expectFitted(rig, QStringLiteral("Update stopped, firmware image %1: ").arg(engine->imageProblem()));
    QVERIFY(!engine->imageProblem().isEmpty());
    // Not full: the image did not go in.
    QVERIFY(rig.bar()->value() < rig.bar()->maximum());
}

void TestProgressDisplay::notAnsweringAndBack()
{
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *engine = rig.engines().first();
    DevicePlayer device(rig.pty());
    device.answering = false;
    QVERIFY(device.run(
        engine, [&] { return engine->condition() == BootTest::NotAnswering; }, &rig));
    rig.tickWindow();
    QCOMPARE(rig.statusBar()->currentMessage(), QStringLiteral("Device not answering - check the cable"));

    // The device wakes up and answers the next erase: back to the normal text.
    device.answering = true;
    QVERIFY(device.run(
        engine, [&] { return device.programCommands >= 2; }, &rig));
    QCOMPARE(engine->condition(), BootTest::Working);
    rig.tickWindow();
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);

    // Silent in the middle of the image too.
    device.answering = false;
    QVERIFY(device.run(
        engine, [&] { return engine->condition() == BootTest::NotAnswering; }, &rig));
    rig.tickWindow();
    QCOMPARE(rig.statusBar()->currentMessage(), QStringLiteral("Device not answering - check the cable"));
    QVERIFY(progressEngineFound);
    const int value = rig.bar()->value();
    device.answering = true;
    QVERIFY(device.run(
        engine, [&] { return engine->condition() == BootTest::Working; }, &rig));
    rig.tickWindow();
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
    QVERIFY(rig.bar()->value() > value);
}

void TestProgressDisplay::linkLost()
{
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *engine = rig.engines().first();
    DevicePlayer device(rig.pty());
    QVERIFY(device.run(
        engine, [&] { return device.programCommands >= 3; }, &rig));
    rig.pty().closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(engine->condition(), BootTest::LinkLost, 3000);
    rig.tickWindow();
    QCOMPARE(rig.statusBar()->currentMessage(),
             QStringLiteral("Connection to the device lost - reconnect it and press Start"));
}

void TestProgressDisplay::statusTextsAreTranslated()
{
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    {
        WindowRig rig;
        rig.writeImage(16384 + 64);
        rig.offerPorts({rig.ftdiPort()});
        rig.pressStart();
        QCOMPARE(rig.statusBar()->currentMessage(), QStringLiteral("<Finding Port - Please wait>"));
        BootTest *engine = rig.engines().first();
        DevicePlayer device(rig.pty());
        device.answering = false;
        QVERIFY(device.run(
            engine, [&] { return engine->condition() == BootTest::NotAnswering; }, &rig));
        rig.tickWindow();
        QCOMPARE(rig.statusBar()->currentMessage(), QStringLiteral("<Device not answering - check the cable>"));
        device.answering = true;
        QVERIFY(device.run(
            engine, [&] { return engine->condition() == BootTest::Completed; }, &rig));
        rig.tickWindow();
        QCOMPARE(rig.statusBar()->currentMessage(), QStringLiteral("<Update complete in %1 s>").arg(seconds(engine)));
    }
    {
        WindowRig rig;
        rig.offerPorts({rig.ftdiPort()});
        rig.pressStart();
        rig.tickWindow();
        BootTest *engine = rig.engines().first();
        QCOMPARE(rig.statusBar()->toolTip(),
                 QStringLiteral("<Firmware image %1: %2>").arg(engine->imageProblem(), rig.imagePath()));
    }
    QCoreApplication::removeTranslator(&translator);
}

QTEST_MAIN(TestProgressDisplay)
#include "tst_progressdisplay.moc"
