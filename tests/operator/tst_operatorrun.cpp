// Whole updates as the operator sees them: Start, the progress bar and the status text,
// against the simulated Autoloader on a pseudo-terminal. Every 200 ms tick (engine and
// window) is driven from here, so time-outs cost no wall time.
#include "boottest.h"
#include "debugcapture.h"
#include "devicemodel.h"
#include "enginestate.h"
#include "flashcheck.h"
#include "inthreaddevice.h"
#include "velmorithupdate.h"
#include "windowrig.h"

#include <QFile>
#include <QProgressBar>
#include <QRegularExpression>
#include <QStatusBar>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

constexpr int ImageStart = 0x4000;
constexpr int SampleSize = 0x4000 + 32 * 1024;

QByteArray seededImage(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    for (char &byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = char(seed >> 16);
    }
    return bytes;
}

// What a status text tells the operator, so that runs can be compared as a story.
QString meaning(const QString &text)
{
    static const QRegularExpression complete(QStringLiteral("^Update complete in \\d+\\.\\d s$"));
    static const QRegularExpression working(
        QStringLiteral("^(Finding Port|Erasing the device|Writing firmware|Clearing the rest|Starting the new) "));
    static const QRegularExpression silent(
        QStringLiteral("^(Erase not answered for|Device not answering for|Unit LEDs) "));
    if (working.match(text).hasMatch())
        return QStringLiteral("working");
    if (silent.match(text).hasMatch())
        return QStringLiteral("not answering");
    if (text == QLatin1String("Connection to the device lost - reconnect it and press Start"))
        return QStringLiteral("link lost");
    if (complete.match(text).hasMatch())
        return QStringLiteral("complete");
    return QStringLiteral("other: ") + text;
}

// The operator at the window, with the simulated device on the end of the cable. Devices are
// declared before the rig, so the engines close their ports before the devices go.
class Operator
{
public:
    Operator() : rig(0)
    {
        rig.window().setPortEnumerator([this] { return offered; });
    }

    // Plugs a fresh device in on a new pseudo-terminal; the next Start finds it there.
    InThreadDevice &plugIn(const DeviceConfig &config = DeviceConfig())
    {
        devices.push_back(std::make_unique<InThreadDevice>(config));
        PortRecord port;
        port.name = devices.back()->slavePath();
        port.valid = true;
        port.manufacturer = QStringLiteral("FTDI");
        offered = {port};
        return *devices.back();
    }

    void writeImage(const QByteArray &image)
    {
        QFile file(rig.imagePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(image), qint64(image.size()));
    }

    // Start, both instruction boxes answered with OK; the device is found: no third box.
    void pressStart()
    {
        QCOMPARE(rig.pressStart({ModalDriver::click("OK"), ModalDriver::click("OK")}).size(), 2);
        note();
    }

    // The cable pulled, or not yet seen by the system: Start finds no port.
    void unplugAll() { offered.clear(); }

    BootTest *engine() { return rig.engines().last(); }

    // One 200 ms tick: the engine's, the device's, then the window's.
    template <typename Done> bool runUntil(Done done)
    {
        for (int i = 0; i < 400 && !done(); ++i) {
            WindowRig::tickEngine(engine());
            devices.back()->tick();
            devices.back()->settle(10000);
            rig.tickWindow();
            note();
        }
        return done();
    }

    // Until the engine has ended, then two more window ticks: one to latch, one to show.
    bool runToEnd()
    {
        const bool ended = runUntil([this] { return !engine()->isRunning(); });
        rig.tickWindow(2);
        note();
        return ended;
    }

    QProgressBar *bar() { return rig.bar(); }
    QString status() { return rig.statusBar()->currentMessage(); }

    QStringList story; // what the status bar said, repeats dropped
    bool barWentBack = false;

private:
    void note()
    {
        const QString now = meaning(status());
        if (story.isEmpty() || story.last() != now)
            story << now;
        barWentBack = barWentBack || bar()->value() < lastValue;
        lastValue = bar()->value();
    }

    std::vector<std::unique_ptr<InThreadDevice>> devices;
    QList<PortRecord> offered;
    int lastValue = 0;

public:
    WindowRig rig;
};

void verifyUpdated(InThreadDevice &device, const QByteArray &image, QProgressBar *bar)
{
    const FlashCheck check = checkFlash(device.flash(), image);
    QVERIFY2(check.ok, qPrintable(check.description));
    QCOMPARE(device.counters().applicationStarts, qint64(1));
    QCOMPARE(device.counters().badMessages, qint64(0));
    QCOMPARE(bar->minimum(), ImageStart);
    QCOMPARE(bar->maximum(), image.size());
    QCOMPARE(bar->value(), image.size());
}

} // namespace

class TestOperatorRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        silenceDebugOutput();
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

    void completeRun_data();
    void completeRun();
    void unpluggedMidTransferThenReplugged();
    void pressWithoutDeviceWhileStalled();
    void statusTexts_data();
    void statusTexts();
    void closeDuringUpdate_data();
    void closeDuringUpdate();
};

void TestOperatorRun::completeRun_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<int>("silentErases");
    QTest::addColumn<QStringList>("story");
    const QStringList plain{"working", "complete"};
    QTest::newRow("sample image, 0x4000 + 32 KiB") << SampleSize << 0 << plain;
    QTest::newRow("length beyond 0x4000 not a multiple of 32") << ImageStart + 20007 << 0 << plain;
    QTest::newRow("erase unanswered at first")
        << 40000 << 2 << QStringList{"working", "not answering", "working", "complete"};
}

void TestOperatorRun::completeRun()
{
    QFETCH(int, imageSize);
    QFETCH(int, silentErases);
    QFETCH(QStringList, story);
    Operator op;
    const QByteArray image = seededImage(imageSize, quint32(imageSize));
    op.writeImage(image);
    DeviceConfig config;
    config.eraseUnanswered = silentErases;
    InThreadDevice &device = op.plugIn(config);
    QCOMPARE(op.bar()->value(), ImageStart - 1);
    op.pressStart();

    QVERIFY(op.runToEnd());
    QCOMPARE(op.engine()->condition(), BootTest::Completed);
    verifyUpdated(device, image, op.bar());
    QCOMPARE(device.counters().erasesUnanswered, qint64(silentErases));
    QVERIFY(!op.barWentBack);
    QCOMPARE(op.story, story);
}

void TestOperatorRun::unpluggedMidTransferThenReplugged()
{
    Operator op;
    const QByteArray image = seededImage(SampleSize, 7);
    op.writeImage(image);
    // Message 1 is the erase, 2 on the program blocks: the cable goes at block 299.
    const qint64 unplugAt = 300;
    const int accepted = int(unplugAt) - 2;
    DeviceConfig config;
    config.fault(FaultKind::Unplug).atMessages = {unplugAt};
    config.unplugClosesLink = true;
    InThreadDevice &first = op.plugIn(config);
    op.pressStart();
    BootTest *lost = op.engine();

    QVERIFY(op.runUntil([&] { return lost->condition() == BootTest::LinkLost; }));
    // The bar (one tick later) stands where the device went away.
    op.rig.tickWindow();
    QCOMPARE(first.counters().blocksProgrammed, qint64(accepted));
    QCOMPARE(op.bar()->maximum(), SampleSize);
    QCOMPARE(op.bar()->value(), ImageStart + 32 * accepted);

    // Re-plugged: the device comes back on a new port, and Start is pressed again.
    InThreadDevice &second = op.plugIn();
    op.pressStart();
    QCOMPARE(op.rig.engines().size(), 2);
    QCOMPARE(lost->condition(), BootTest::Retired);

    QVERIFY(op.runToEnd());
    QCOMPARE(op.engine()->condition(), BootTest::Completed);
    verifyUpdated(second, image, op.bar());
    QCOMPARE(op.story, QStringList({"working", "link lost", "working", "complete"}));
    QCOMPARE(first.counters().blocksProgrammed, qint64(accepted));
}

// A press that finds nothing leaves the stalled update in view: when the device answers
// again, the bar and the status follow it to its end.
void TestOperatorRun::pressWithoutDeviceWhileStalled()
{
    Operator op;
    const QByteArray image = seededImage(ImageStart + 4096 + 100, 5);
    op.writeImage(image);
    DeviceConfig config;
    // A block and its first two resends go unanswered; the third resend is answered.
    config.fault(FaultKind::LoseReply).atMessages = {40, 41, 42};
    InThreadDevice &device = op.plugIn(config);
    op.pressStart();
    BootTest *engine = op.engine();
    QVERIFY(op.runUntil([&] { return engine->condition() == BootTest::NotAnswering; }));

    op.unplugAll();
    const QList<SeenDialog> seen = op.rig.pressStart({ModalDriver::click("OK"), ModalDriver::click("OK")});
    QCOMPARE(seen.size(), 3);
    QCOMPARE(seen.last().text, QStringLiteral("No Device Connected"));
    QCOMPARE(op.rig.engines().size(), 1);
    op.rig.tickWindow();
    QVERIFY2(op.status().startsWith("No device found - "), qPrintable(op.status()));

    QVERIFY(op.runToEnd());
    QCOMPARE(engine->condition(), BootTest::Completed);
    verifyUpdated(device, image, op.bar());
    QCOMPARE(meaning(op.status()), QStringLiteral("complete"));
}

enum class Until { Pressed, Erasing, FirstBlocks, Half, Filling, Starting, Silent, SilentLonger, Done, NoDevice };
Q_DECLARE_METATYPE(Until)

void TestOperatorRun::statusTexts_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<int>("silentErases");
    QTest::addColumn<QList<qint64>>("lostReplies");
    QTest::addColumn<Until>("until");
    QTest::addColumn<QString>("text"); // a pattern
    const int size = ImageStart + 0x2000 + 100;
    QTest::newRow("pressed") << size << 0 << QList<qint64>{} << Until::Pressed << "Finding Port - Please wait";
    QTest::newRow("erasing") << size << 0 << QList<qint64>{} << Until::Erasing << "Erasing the device - Please wait";
    // A lost answer holds the transfer where the row looks at it: message 1 is the erase,
    // 2 to 261 are the 260 image blocks, the fill blocks follow.
    QTest::newRow("first blocks, no pace yet")
        << size << 0 << QList<qint64>{4} << Until::FirstBlocks << "Writing firmware: 0 %";
    QTest::newRow("half way") << size << 0 << QList<qint64>{132} << Until::Half
                              << "Writing firmware: 50 % - about \\d+ s left";
    QTest::newRow("filling") << size << 0 << QList<qint64>{265} << Until::Filling
                             << "Clearing the rest of the flash - about \\d+ s left";
    QTest::newRow("starting") << size << 0 << QList<qint64>{} << Until::Starting
                              << "Starting the new firmware - Please wait";
    // 50 ticks since the first erase; three answers lost after the third block: 24 ticks.
    QTest::newRow("erase not answered") << size << 2 << QList<qint64>{} << Until::Silent
                                        << "Erase not answered for 10 s - check the cable";
    QTest::newRow("block not answered") << size << 0 << QList<qint64>{5, 6, 7} << Until::Silent
                                        << "Device not answering for 5 s - check the cable";
    QTest::newRow("not answered, second line") << size << 0 << QList<qint64>{5, 6, 7, 8} << Until::SilentLonger
                                               << "Unit LEDs Red Blue Red\\? The update resumes once it answers";
    QTest::newRow("complete") << size << 0 << QList<qint64>{} << Until::Done << "Update complete in \\d+\\.\\d s";
    QTest::newRow("no device") << size << 0 << QList<qint64>{} << Until::NoDevice
                               << "No device found - check the USB cable, then press Start";
}

void TestOperatorRun::statusTexts()
{
    QFETCH(int, imageSize);
    QFETCH(int, silentErases);
    QFETCH(QList<qint64>, lostReplies);
    QFETCH(Until, until);
    QFETCH(QString, text);
    Operator op;
    op.writeImage(seededImage(imageSize, 3));
    DeviceConfig config;
    config.eraseUnanswered = silentErases;
    config.fault(FaultKind::LoseReply).atMessages = std::vector<qint64>(lostReplies.begin(), lostReplies.end());
    op.plugIn(config);
    if (until == Until::NoDevice) {
        op.unplugAll();
        op.rig.pressStart();
    } else {
        op.pressStart();
    }
    const int span = imageSize - ImageStart;
    switch (until) {
    case Until::Pressed:
    case Until::NoDevice:
        break;
    case Until::Erasing:
        QVERIFY(op.runUntil([] { return sequencerStage == StageErase; }));
        break;
    case Until::FirstBlocks:
        QVERIFY(op.runUntil([] { return masterAddress >= 0x4040; }));
        break;
    case Until::Half:
        QVERIFY(op.runUntil([&] { return int(masterAddress) >= ImageStart + span / 2; }));
        break;
    case Until::Filling:
        QVERIFY(op.runUntil([] { return sequencerStage == StageFill && !suppressResend; }));
        break;
    case Until::Starting:
        QVERIFY(op.runUntil([] { return sequencerStage == StageStartApplication; }));
        break;
    case Until::Silent:
    case Until::SilentLonger:
        QVERIFY(op.runUntil([&] { return op.engine()->condition() == BootTest::NotAnswering; }));
        break;
    case Until::Done:
        QVERIFY(op.runToEnd());
        break;
    }
    // Shown on the next display tick; the second line of a silence 15 ticks (3 s) later.
    if (until != Until::Pressed)
        op.rig.tickWindow(until == Until::SilentLonger ? 15 : 1);
    const QString shown = op.status();
    QVERIFY2(QRegularExpression("^" + text + "$").match(shown).hasMatch(), qPrintable(shown));
    // Whole, also where the status bar is narrow; at the end with where the log is.
    const QStringList tip = op.rig.statusBar()->toolTip().split(QLatin1Char('\n'));
    if (until != Until::Pressed)
        QVERIFY2(tip.contains(shown), qPrintable(tip.join(" | ")));
    if (until == Until::Done) {
        QCOMPARE(tip.size(), 2);
        QCOMPARE(tip.last(), QStringLiteral("Log of this update: %1").arg(op.engine()->logPath()));
        QVERIFY(QFileInfo(op.engine()->logPath()).size() > 0);
    }
}

void TestOperatorRun::closeDuringUpdate_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<QString>("answer"); // empty: no box expected
    QTest::addColumn<bool>("closed");
    QTest::newRow("no update") << false << QString() << true;
    QTest::newRow("running, go back") << true << "Go back" << false;
    QTest::newRow("running, close anyway") << true << "Close anyway" << true;
}

void TestOperatorRun::closeDuringUpdate()
{
    QFETCH(bool, running);
    QFETCH(QString, answer);
    QFETCH(bool, closed);
    Operator op;
    op.writeImage(seededImage(ImageStart + 0x1000, 4));
    op.plugIn();
    op.pressStart();
    if (running)
        QVERIFY(op.runUntil([] { return masterAddress >= 0x4100; }));
    else
        QVERIFY(op.runToEnd());
    ModalDriver driver({ModalDriver::click(answer)});
    QCOMPARE(op.rig.window().close(), closed);
    QCOMPARE(driver.seen().size(), answer.isEmpty() ? 0 : 1);
    if (!answer.isEmpty()) {
        const SeenDialog &box = driver.seen().first();
        QCOMPARE(box.text, QStringLiteral("An update is running"));
        QCOMPARE(box.informativeText, QStringLiteral("If you close now, the update stops: the device stays in its "
                                                     "bootloader without working firmware and needs a new update."));
        QCOMPARE(QSet<QString>(box.buttons.begin(), box.buttons.end()), QSet<QString>({"Close anyway", "Go back"}));
    }
    QCOMPARE(op.rig.window().isVisible(), !closed);
    QCOMPARE(op.engine()->isRunning(), running);
}

QTEST_MAIN(TestOperatorRun)
#include "tst_operatorrun.moc"
