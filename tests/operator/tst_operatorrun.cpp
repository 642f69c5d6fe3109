// Whole updates as the operator sees them: Start, the two instruction boxes, the progress bar
// and the status text, against the simulated Autoloader on a pseudo-terminal. Every 200 ms
// tick (engine and window) is driven from here, so time-outs cost no wall time.
#include "boottest.h"
#include "debugcapture.h"
#include "devicemodel.h"
#include "enginestate.h"
#include "flashcheck.h"
#include "inthreaddevice.h"
#include "protocol.h"
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

const QString FindingPort = QStringLiteral("Finding Port - Please wait");
const QString NotAnsweringText = QStringLiteral("Device not answering - check the cable");
const QString LinkLostText = QStringLiteral("Connection to the device lost - reconnect it and press Start");

constexpr int ImageStart = 0x4000;
constexpr int SampleSize = 0x4000 + 32 * 1024;

QByteArray seededImage(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    quint32 state = seed;
    for (char &byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = char(state >> 16);
    }
    return bytes;
}

// What a status text tells the operator, so that runs can be compared as a story.
QString meaning(const QString &text)
{
    static const QRegularExpression complete(QStringLiteral("^Update complete in \\d+\\.\\d s$"));
    if (text.isEmpty())
        return QStringLiteral("empty");
    if (text == FindingPort)
        return QStringLiteral("working");
    if (text == NotAnsweringText)
        return QStringLiteral("not answering");
    if (text == LinkLostText)
        return QStringLiteral("link lost");
    if (complete.match(text).hasMatch())
        return QStringLiteral("complete");
    return QStringLiteral("other: ") + text;
}

// Blocks the device writes for an image: the image from 0x4000, then zeros to a 4096 boundary.
int blocksFor(int imageSize)
{
    const int fillEnd = (imageSize + 4095) / 4096 * 4096;
    return (fillEnd - ImageStart) / 32;
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
        port.description = QStringLiteral("USB Serial Port");
        offered = {port};
        return *devices.back();
    }
    InThreadDevice &device() { return *devices.back(); }

    void writeImage(const QByteArray &image)
    {
        QFile file(rig.imagePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(image), qint64(image.size()));
    }

    // Start, both instruction boxes answered with OK.
    QList<SeenDialog> pressStart()
    {
        const QList<SeenDialog> seen =
            rig.pressStart({ModalDriver::click(QStringLiteral("OK")), ModalDriver::click(QStringLiteral("OK"))});
        note();
        return seen;
    }

    BootTest *engine() { return rig.engines().last(); }

    // One 200 ms tick: the engine's, the device's, then the window's.
    void tick()
    {
        WindowRig::tickEngine(engine());
        device().tick();
        device().settle(10000);
        rig.tickWindow();
        note();
    }

    template <typename Done> bool runUntil(Done done, int maxTicks = 400)
    {
        for (int i = 0; i < maxTicks && !done(); ++i)
            tick();
        return done();
    }

    // Until the engine has ended, then two more window ticks: one to latch, one to show.
    bool runToEnd(int maxTicks = 400)
    {
        const bool ended = runUntil([this] { return !engine()->isRunning(); }, maxTicks);
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
        if (bar()->value() < lastValue)
            barWentBack = true;
        lastValue = bar()->value();
    }

    std::vector<std::unique_ptr<InThreadDevice>> devices;
    QList<PortRecord> offered;
    int lastValue = 0;

public:
    WindowRig rig;
};

void verifyInstructionBoxes(const QList<SeenDialog> &seen)
{
    // Two boxes and no third: the device was found.
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen.at(0).text, QStringLiteral("With USB Unplugged"));
    QCOMPARE(seen.at(0).informativeText,
             QStringLiteral("Turn on unit and hold Power button down until LEDS show Red Blue Red"));
    QCOMPARE(seen.at(1).text, QStringLiteral("Plug USB cable from Autoloader To PC"));
    QCOMPARE(seen.at(1).informativeText,
             QStringLiteral("Wait until USB has chance to install Driver (about 1 minute) and press OK"));
}

void verifyUpdated(InThreadDevice &device, const QByteArray &image)
{
    const FlashCheck check = checkFlash(device.flash(), image);
    QVERIFY2(check.ok, qPrintable(check.description));
    QCOMPARE(device.counters().applicationStarts, qint64(1));
    QCOMPARE(device.counters().blocksProgrammed, qint64(blocksFor(image.size())));
    QCOMPARE(device.counters().badMessages, qint64(0));
}

void verifyBarFull(QProgressBar *bar, int imageSize)
{
    QCOMPARE(bar->minimum(), ImageStart);
    QCOMPARE(bar->maximum(), imageSize);
    QCOMPARE(bar->value(), imageSize);
}

} // namespace

class TestOperatorRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { silenceDebugOutput(); }
    void init()
    {
        resetEngineState();
        resetWindowState();
    }

    void completeRun_data();
    void completeRun();
    void imageMissing();
    void unpluggedMidTransferThenReplugged();
};

void TestOperatorRun::completeRun_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<int>("silentErases");
    QTest::addColumn<QStringList>("story");

    const QStringList plain{"working", "complete"};
    QTest::newRow("sample image, 0x4000 + 32 KiB") << SampleSize << 0 << plain;
    QTest::newRow("length beyond 0x4000 not a multiple of 32") << ImageStart + 20007 << 0 << plain;
    QTest::newRow("one byte beyond 0x4000") << ImageStart + 1 << 0 << plain;
    QTest::newRow("whole flash") << 0x10000 << 0 << plain;
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

    QCOMPARE(op.status(), QString());
    QCOMPARE(op.bar()->value(), ImageStart - 1);
    verifyInstructionBoxes(op.pressStart());
    QCOMPARE(op.rig.engines().size(), 1);
    QCOMPARE(op.status(), FindingPort);

    QVERIFY(op.runToEnd());
    QCOMPARE(op.engine()->condition(), BootTest::Completed);
    verifyUpdated(device, image);
    QCOMPARE(device.counters().erasesUnanswered, qint64(silentErases));
    verifyBarFull(op.bar(), imageSize);
    QVERIFY(!op.barWentBack);
    QCOMPARE(op.story, story);
}

void TestOperatorRun::imageMissing()
{
    Operator op;
    InThreadDevice &device = op.plugIn();
    verifyInstructionBoxes(op.pressStart());
    QCOMPARE(op.rig.engines().size(), 1);

    QVERIFY(op.runToEnd());
    // Long enough for an erase to have gone out, had the engine sent one.
    for (int i = 0; i < 60; ++i)
        op.tick();
    QCOMPARE(op.engine()->condition(), BootTest::ImageRefused);
    const QString text = op.status();
    QVERIFY2(text.contains(QStringLiteral("missing")), qPrintable(text));
    // The whole path in the tooltip; the bar shows as much of it as fits.
    QCOMPARE(op.rig.statusBar()->toolTip(), QStringLiteral("Firmware image missing: %1").arg(op.rig.imagePath()));
    QVERIFY2(text.endsWith(QStringLiteral("_full.bin")), qPrintable(text));
    QCOMPARE(op.story.size(), 2);
    QCOMPARE(op.story.first(), QStringLiteral("working"));
    QCOMPARE(device.counters().bytesReceived, qint64(0));
    QCOMPARE(op.bar()->value(), ImageStart - 1);
}

void TestOperatorRun::unpluggedMidTransferThenReplugged()
{
    Operator op;
    const QByteArray image = seededImage(SampleSize, 7);
    op.writeImage(image);
    // Message 1 is the erase, 2 on the program blocks: the cable goes at block 299.
    const qint64 unplugAt = 300;
    DeviceConfig config;
    config.fault(FaultKind::Unplug).atMessages = {unplugAt};
    config.unplugClosesLink = true;
    InThreadDevice &first = op.plugIn(config);
    verifyInstructionBoxes(op.pressStart());
    BootTest *lost = op.engine();

    QVERIFY(op.runUntil([&] { return lost->condition() == BootTest::LinkLost; }));
    op.tick();
    QCOMPARE(op.status(), LinkLostText);
    const int accepted = int(unplugAt) - 2;
    QCOMPARE(first.counters().blocksProgrammed, qint64(accepted));
    // The bar stands where the device went away.
    QCOMPARE(op.bar()->maximum(), SampleSize);
    QCOMPARE(op.bar()->value(), ImageStart + 32 * accepted);

    // Re-plugged: the device comes back on a new port, and Start is pressed again.
    InThreadDevice &second = op.plugIn();
    QVERIFY(second.slavePath() != first.slavePath());
    verifyInstructionBoxes(op.pressStart());
    QCOMPARE(op.rig.engines().size(), 2);
    QCOMPARE(lost->condition(), BootTest::Retired);
    QCOMPARE(op.status(), FindingPort);

    QVERIFY(op.runToEnd());
    QCOMPARE(op.engine()->condition(), BootTest::Completed);
    verifyUpdated(second, image);
    verifyBarFull(op.bar(), SampleSize);
    QCOMPARE(op.story, QStringList({"working", "link lost", "working", "complete"}));
    // Nothing more reached the unplugged device.
    QCOMPARE(first.counters().blocksProgrammed, qint64(accepted));
}

QTEST_MAIN(TestOperatorRun)
#include "tst_operatorrun.moc"
