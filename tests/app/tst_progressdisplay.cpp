// The display tick: the progress bar and the status text that tell the operator how the
// update goes and how it ended. A silent device and a lost link, over whole updates, are
// tests/operator's.
#include "boottest.h"
#include "enginestate.h"
#include "markingtranslator.h"
#include "programpath.h"
#include "protocol.h"
#include "velmorithupdate.h"
#include "windowrig.h"

#include <QProgressBar>
#include <QStatusBar>
#include <QtTest>

#include <cstring>

namespace {
const QString FindingPort = QStringLiteral("Finding Port - Please wait");

// The whole text is the tooltip; the status bar shows its start whole, and as much of the
// path as fits.
void expectFitted(WindowRig &rig, const QString &head, const QString &path)
{
    const QString shown = rig.statusBar()->currentMessage();
    const QString whole = rig.statusBar()->toolTip().section(QLatin1Char('\n'), 0, 0);
    QCOMPARE(whole, head + path);
    QVERIFY2(shown.startsWith(head), qPrintable(shown));
    const QFontMetrics metrics(rig.statusBar()->font());
    const int room = rig.window().width() - 24;
    QVERIFY(metrics.horizontalAdvance(shown) <= room);
    QCOMPARE(shown == whole, metrics.horizontalAdvance(whole) <= room);
}

QString completeText(const BootTest *engine)
{
    return QStringLiteral("Update complete in %1 s").arg(double(engine->elapsedMs()) / 1000.0, 0, 'f', 1);
}

// A window with one engine on an FTDI pty, image of the given size (-1: none).
BootTest *started(WindowRig &rig, int imageSize = 40000)
{
    if (imageSize >= 0)
        rig.writeImage(imageSize);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    return rig.engines().last();
}

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
    void followsTheLatestPress();
    void completedFillsTheBar_data();
    void completedFillsTheBar();

    void refusedImage_data();
    void refusedImage();
    void imageReadFails();
    void statusTextsAreTranslated();
};

void TestProgressDisplay::noEngines()
{
    WindowRig rig;
    masterAddress = 20000;
    rig.tickWindow(5);
    QCOMPARE(rig.bar()->maximum(), 65536);
    QCOMPARE(rig.bar()->value(), 16383);
    QCOMPARE(rig.statusBar()->currentMessage(), QString());
}

void TestProgressDisplay::latch_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<bool>("latches");
    QTest::newRow("image loaded, no block yet") << 16384 << false;
    QTest::newRow("first block accepted") << 16416 << true;
    QTest::newRow("inside the image") << 39968 << true;
    QTest::newRow("past the image") << 45056 << true;
    QTest::newRow("last that latches") << 65534 << true;
    QTest::newRow("65535") << 65535 << false;
    QTest::newRow("end of flash") << 65536 << false;
}

void TestProgressDisplay::latch()
{
    QFETCH(int, address);
    QFETCH(bool, latches);
    WindowRig rig;
    started(rig);
    QCOMPARE(int(masterAddress), 16384);
    masterAddress = quint32(address);

    rig.tickWindow();
    QCOMPARE(rig.bar()->maximum(), latches ? 40000 : 65536);
    QCOMPARE(rig.bar()->value(), 16383); // the latching tick sets only the maximum
    rig.tickWindow();
    // A value outside the range leaves the bar where it was.
    QCOMPARE(rig.bar()->value(), latches && address <= 40000 ? address : 16383);
    QCOMPARE(rig.bar()->maximum(), latches ? 40000 : 65536);
    QCOMPARE(rig.bar()->minimum(), 16384);
}

void TestProgressDisplay::followsTheLatestPress()
{
    WindowRig rig;
    BootTest *first = started(rig);
    masterAddress = 16416;
    rig.tickWindow(2);
    QCOMPARE(rig.bar()->value(), 16416);
    QVERIFY(stallUnanswered(first));
    rig.pty().drain(5);

    // A press that finds nothing leaves the bar on the engine it follows.
    rig.offerPorts({});
    rig.pressStart();
    masterAddress = 24000;
    rig.tickWindow(3);
    QCOMPARE(rig.bar()->value(), 24000);
    QCOMPARE(rig.bar()->maximum(), 40000);

    // Started afresh with another image: the bar follows the new engine and its size.
    BootTest *second = started(rig, 30000);
    QVERIFY(second != first);
    rig.tickWindow(2);
    QCOMPARE(rig.bar()->maximum(), 40000); // back at 16384: no latch yet
    masterAddress = 16448;
    rig.tickWindow();
    QCOMPARE(rig.bar()->maximum(), 30000);
    QCOMPARE(progressEngineIndex, 1);
    rig.tickWindow();
    QCOMPARE(rig.bar()->value(), 16448);
}

void TestProgressDisplay::completedFillsTheBar_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<bool>("watched"); // the window ticks along during the transfer
    // Not a multiple of 32: the last address inside the range is short of the end.
    QTest::newRow("100 bytes beyond 0x4000") << 16384 + 100 << true;
    QTest::newRow("64 bytes beyond 0x4000") << 16384 + 64 << true;
    // Ends at 65536, where the bar never latches.
    QTest::newRow("whole flash, unwatched") << 65536 << false;
}

void TestProgressDisplay::completedFillsTheBar()
{
    QFETCH(int, imageSize);
    QFETCH(bool, watched);
    WindowRig rig;
    BootTest *engine = started(rig, imageSize);
    DevicePlayer device(rig.pty());
    WindowRig *window = watched ? &rig : nullptr;
    QVERIFY(device.run(
        engine, [&] { return int(masterAddress) >= imageSize; }, window, 20000));
    if (watched) {
        rig.tickWindow(2);
        QCOMPARE(rig.bar()->maximum(), imageSize);
        QCOMPARE(rig.bar()->value() < imageSize, (imageSize - 16384) % 32 != 0);
    }
    QVERIFY(device.run(
        engine, [&] { return engine->condition() == BootTest::Completed; }, window));
    QCOMPARE(device.startApplicationCommands, 1);
    rig.tickWindow(2);
    QCOMPARE(rig.bar()->maximum(), imageSize);
    QCOMPARE(rig.bar()->value(), imageSize);
    QCOMPARE(rig.statusBar()->currentMessage(), completeText(engine));
}

void TestProgressDisplay::refusedImage_data()
{
    QTest::addColumn<int>("imageSize");  // -1: no file
    QTest::addColumn<QString>("folder"); // empty: the rig's own
    QTest::newRow("missing") << -1 << QString();
    QTest::newRow("nothing beyond 0x4000") << 16384 << QString();
    QTest::newRow("larger than the flash") << 65537 << QString();
    // Too long for the status bar: shortened in its middle.
    QTest::newRow("long path") << -1 << "/no/such/" + QString(200, 'f') + "/folder/";
}

void TestProgressDisplay::refusedImage()
{
    QFETCH(int, imageSize);
    QFETCH(QString, folder);
    WindowRig rig;
    if (!folder.isEmpty())
        QVERIFY(placeDirectory(folder));
    BootTest *engine = started(rig, imageSize);
    QCOMPARE(engine->condition(), BootTest::ImageRefused);
    QVERIFY(!engine->imageProblem().isEmpty());
    // Told on the display tick, not before.
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
    rig.tickWindow();
    expectFitted(rig, QStringLiteral("Firmware image %1: ").arg(engine->imageProblem()), engine->imagePath());
    QVERIFY(rig.statusBar()->currentMessage().endsWith(QStringLiteral("_full.bin")));
    QCOMPARE(engine->imagePath(), (folder.isEmpty() ? rig.directory() : folder) + Protocol::ImageFileName);
    QCOMPARE(rig.bar()->value(), 16383);

    // It stays, also once the engine has closed its port; nothing was sent.
    WindowRig::tickEngine(engine, 10);
    rig.tickWindow(2);
    QVERIFY(rig.statusBar()->currentMessage().startsWith("Firmware image " + engine->imageProblem()));
    QVERIFY(rig.pty().drain(5).isEmpty());
}

void TestProgressDisplay::imageReadFails()
{
    WindowRig rig;
    BootTest *engine = started(rig, 16384 + 100);
    DevicePlayer device(rig.pty());
    device.programAnswersLeft = 2;
    QVERIFY(device.run(
        engine, [&] { return device.programCommands == 3; }, &rig));
    // The address falls behind the file: the next block comes up short (4 bytes left, 32 wanted).
    masterAddress = 16384;
    rig.pty().write(framedMessage("$MPRGA"));
    QTRY_COMPARE_WITH_TIMEOUT(engine->condition(), BootTest::ImageReadFailed, 2000);
    // It winds up without starting the application.
    QVERIFY(device.run(engine, [&] { return tickCountdown == 0; }));
    QCOMPARE(device.startApplicationCommands, 0);
    rig.tickWindow();
    QVERIFY(!engine->imageProblem().isEmpty());
    expectFitted(rig, QStringLiteral("Update stopped, firmware image %1: ").arg(engine->imageProblem()),
                 rig.imagePath());
    QVERIFY(rig.bar()->value() < rig.bar()->maximum());
}

void TestProgressDisplay::statusTextsAreTranslated()
{
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    {
        WindowRig rig;
        BootTest *engine = started(rig);
        QCOMPARE(rig.statusBar()->currentMessage(), "<" + FindingPort + ">");
        QVERIFY(stallUnanswered(engine));
        rig.tickWindow();
        QVERIFY(rig.statusBar()->toolTip().startsWith("<Erase not answered for "));
    }
    {
        WindowRig rig;
        BootTest *engine = started(rig, 16384 + 64);
        DevicePlayer device(rig.pty());
        QVERIFY(device.run(
            engine, [&] { return engine->condition() == BootTest::Completed; }, &rig));
        rig.tickWindow();
        QCOMPARE(rig.statusBar()->currentMessage(), "<" + completeText(engine) + ">");
    }
    {
        WindowRig rig;
        BootTest *engine = started(rig, -1);
        rig.tickWindow();
        QVERIFY(rig.statusBar()->toolTip().startsWith(QStringLiteral("<Firmware image %1: %2>\n<Log of this update: ")
                                                          .arg(engine->imageProblem(), rig.imagePath())));
    }
    QCoreApplication::removeTranslator(&translator);
}

QTEST_MAIN(TestProgressDisplay)
#include "tst_progressdisplay.moc"
