// The Start press: instruction boxes, the search for the device's port, the engine it
// creates, and what a further press does.
#include "boottest.h"
#include "debugcapture.h"
#include "enginestate.h"
#include "velmorithupdate.h"
#include "windowrig.h"

#include <QMessageBox>
#include <QStatusBar>
#include <QtTest>

#include <algorithm>

Q_DECLARE_METATYPE(PortRecord)

namespace {
const QString FindingPort = QStringLiteral("Finding Port - Please wait");
const QString NoDeviceFound = QStringLiteral("No device found - check the USB cable, then press Start");

using Script = QList<ModalDriver::Action>;
const Script BothOk{ModalDriver::click("OK"), ModalDriver::click("OK")};

// The window's debug lines after a press that created an engine on the given port: the
// engine's port and image lines, then the number of engines.
QStringList linesOfAnEngine(WindowRig &rig, int pty, int engines)
{
    return {QStringLiteral("Test Port  \"%1\"").arg(rig.pty(pty).slavePath()), rig.imagePath(),
            QString::number(engines)};
}

QStringList windowLines(const DebugCapture &debug)
{
    return debug.linesWithout({"d", "String Len:"});
}

// Ticks the engine until its first command reaches the far end of the link.
QByteArray firstCommand(BootTest *engine, PtyLink &pty)
{
    for (int tick = 0; tick < 20; ++tick) {
        WindowRig::tickEngine(engine);
        const QByteArray line = pty.readLine(5);
        if (!line.isEmpty())
            return line;
    }
    return QByteArray();
}

void verifyBox(const SeenDialog &box, const QString &text, const QString &informative, int button)
{
    QCOMPARE(box.className, QStringLiteral("QMessageBox"));
    QCOMPARE(box.text, text);
    QCOMPARE(box.informativeText, informative);
    QCOMPARE(box.standardButtons, button);
    QCOMPARE(box.buttons.size(), 1);
    QCOMPARE(box.icon, int(QMessageBox::NoIcon));
    QCOMPARE(box.windowTitle, QString());
}

void verifyInstructionBoxes(const QList<SeenDialog> &seen)
{
    QVERIFY(seen.size() >= 2);
    verifyBox(seen.at(0), "With USB Unplugged", "Turn on unit and hold Power button down until LEDS show Red Blue Red",
              QMessageBox::Ok);
    verifyBox(seen.at(1), "Plug USB cable from Autoloader To PC",
              "Wait until USB has chance to install Driver (about 1 minute) and press OK", QMessageBox::Ok);
}

void verifyNoDevice(const QList<SeenDialog> &seen)
{
    QCOMPARE(seen.size(), 3);
    verifyInstructionBoxes(seen);
    verifyBox(seen.at(2), "No Device Connected", QString(), QMessageBox::Cancel);
}

PortRecord port(const QString &name, bool valid, bool busy, const QString &manufacturer)
{
    PortRecord record;
    record.name = name;
    record.valid = valid;
    record.busy = busy;
    record.manufacturer = manufacturer;
    return record;
}
} // namespace

class TestStartSequence : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        resetEngineState();
        resetWindowState();
    }

    void oneFreePort_data();
    void oneFreePort();
    void noQualifyingPort_data();
    void noQualifyingPort();
    void systemEnumerationByDefault();
    void severalPorts_data();
    void severalPorts();
    void pressWhileRunning();
    void pressAfterEnd_data();
    void pressAfterEnd();
};

void TestStartSequence::oneFreePort_data()
{
    QTest::addColumn<Script>("script");
    QTest::newRow("OK clicked") << BothOk;
    QTest::newRow("Enter") << Script{ModalDriver::key(Qt::Key_Enter), ModalDriver::key(Qt::Key_Enter)};
    QTest::newRow("Escape") << Script{ModalDriver::key(Qt::Key_Escape), ModalDriver::key(Qt::Key_Escape)};
    QTest::newRow("close button") << Script{ModalDriver::closeButton(), ModalDriver::closeButton()};
}

// However the boxes are closed, the search goes on: one engine on the one free FTDI port.
void TestStartSequence::oneFreePort()
{
    QFETCH(Script, script);
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort()});
    DebugCapture debug;
    bool stuck = true;
    const QList<SeenDialog> seen = rig.pressStart(script, &stuck);
    QVERIFY(!stuck);
    QCOMPARE(seen.size(), 2); // no third box
    verifyInstructionBoxes(seen);
    QCOMPARE(rig.engines().size(), 1);
    QCOMPARE(rig.window().foundPorts(), QStringList{rig.pty().slavePath()});
    QCOMPARE(windowLines(debug), linesOfAnEngine(rig, 0, 1));
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
    QVERIFY(firstCommand(rig.engines().first(), rig.pty()).startsWith("$MERASE,4000,C000*"));
}

void TestStartSequence::noQualifyingPort_data()
{
    QTest::addColumn<QList<PortRecord>>("ports");
    QTest::newRow("busy FTDI and another maker")
        << QList<PortRecord>{port("ttyUSB0", true, true, "FTDI"), port("ttyUSB1", true, false, "Prolific")};
    QTest::newRow("FTDI with a trailing blank") << QList<PortRecord>{port("ttyUSB0", true, false, "FTDI ")};
    QTest::newRow("ftdi in lower case") << QList<PortRecord>{port("ttyUSB0", true, false, "ftdi")};
    QTest::newRow("FTDI not valid") << QList<PortRecord>{port("ttyUSB0", false, false, "FTDI")};
    QTest::newRow("no ports at all") << QList<PortRecord>{};
}

void TestStartSequence::noQualifyingPort()
{
    QFETCH(QList<PortRecord>, ports);
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts(ports);
    DebugCapture debug;
    bool stuck = true;
    verifyNoDevice(rig.pressStart(BothOk + Script{ModalDriver::click("Cancel")}, &stuck));
    QVERIFY(!stuck);
    QVERIFY(rig.engines().isEmpty());
    QVERIFY(rig.window().foundPorts().isEmpty());
    QCOMPARE(debug.lines(), QStringList{"0"});
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
    QCOMPARE(availableSerialPorts.size(), ports.size());

    // The device turns up: the next press finds it like a first one would.
    rig.offerPorts({rig.ftdiPort()});
    debug.clear();
    verifyInstructionBoxes(rig.pressStart());
    QCOMPARE(windowLines(debug), linesOfAnEngine(rig, 0, 1));
}

// Without ports handed in, the window searches the system's. Ptys are never listed there.
void TestStartSequence::systemEnumerationByDefault()
{
    WindowRig rig;
    const QList<PortRecord> system = systemSerialPorts();
    if (std::any_of(system.begin(), system.end(), qualifiesForUpdate))
        QSKIP("an FTDI adapter is attached to this machine");
    verifyNoDevice(rig.pressStart());
    QCOMPARE(availableSerialPorts.size(), system.size());
}

void TestStartSequence::severalPorts_data()
{
    QTest::addColumn<Script>("choice");
    QTest::addColumn<int>("chosen"); // -1: cancelled
    // The second FTDI port is the third port listed: the choice must not pick the Prolific one.
    QTest::newRow("second") << Script{ModalDriver::choose(1)} << 1;
    QTest::newRow("third") << Script{ModalDriver::choose(2)} << 2;
    QTest::newRow("cancel") << Script{ModalDriver::key(Qt::Key_Escape)} << -1;
}

void TestStartSequence::severalPorts()
{
    QFETCH(Script, choice);
    QFETCH(int, chosen);
    WindowRig rig(3);
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort(0), port("ttyS0", true, false, "Prolific"), rig.ftdiPort(1), rig.ftdiPort(2)});
    DebugCapture debug;
    bool stuck = true;
    const QList<SeenDialog> seen = rig.pressStart(BothOk + choice, &stuck);
    QVERIFY(!stuck);
    // A cancelled choice is no missing device: no "No Device Connected".
    QCOMPARE(seen.size(), 3);
    verifyInstructionBoxes(seen);
    QCOMPARE(seen.at(2).className, QStringLiteral("QInputDialog"));
    QStringList items;
    for (int i = 0; i < 3; ++i)
        items << QStringLiteral("%1 - USB Serial Port %2 - FT%2X").arg(rig.pty(i).slavePath()).arg(i);
    QCOMPARE(seen.at(2).items, items);
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
    if (chosen < 0) {
        QVERIFY(rig.engines().isEmpty());
        QCOMPARE(debug.lines(), QStringList{"0"});
        rig.tickWindow();
        QCOMPARE(rig.statusBar()->toolTip(), QStringLiteral("No device chosen - press Start again to choose one"));
        return;
    }
    QCOMPARE(rig.engines().size(), 1);
    QCOMPARE(windowLines(debug), linesOfAnEngine(rig, chosen, 1));
    QVERIFY(firstCommand(rig.engines().first(), rig.pty(chosen)).startsWith("$MERASE,4000,C000*"));
    for (int i = 0; i < 3; ++i)
        QVERIFY(i == chosen || rig.pty(i).drain(5).isEmpty());
}

void TestStartSequence::pressWhileRunning()
{
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *engine = rig.engines().first();
    DevicePlayer device(rig.pty());
    QVERIFY(device.run(
        engine, [&] { return device.programCommands >= 3; }, &rig));
    rig.pty().drain(50); // the last answer lands; the block it brings stays unanswered for now
    const quint32 address = masterAddress;
    const qint32 stage = sequencerStage;
    const QString status = rig.statusBar()->currentMessage();

    DebugCapture debug;
    bool stuck = true;
    const QList<SeenDialog> seen = rig.pressStart({ModalDriver::key(Qt::Key_Enter)}, &stuck);
    QVERIFY(!stuck);
    QCOMPARE(seen.size(), 1);
    verifyBox(seen.first(), "An update is already running", "Wait until it has finished before pressing Start again.",
              QMessageBox::Ok);
    // No search and no engine: nothing but the engine's own traffic during the box.
    QCOMPARE(windowLines(debug), QStringList());
    QCOMPARE(rig.engines().size(), 1);
    QCOMPARE(masterAddress, address);
    QCOMPARE(sequencerStage, stage);
    QCOMPARE(activeEngine, engine);
    QCOMPARE(rig.statusBar()->currentMessage(), status);

    // Undisturbed: the update goes on.
    const int before = device.programCommands;
    QVERIFY(device.run(
        engine, [&] { return device.programCommands >= before + 3; }, &rig));
    QCOMPARE(engine->condition(), BootTest::Working);
}

void TestStartSequence::pressAfterEnd_data()
{
    QTest::addColumn<int>("imageSize"); // 0: no image, the engine refuses it
    QTest::addColumn<bool>("answering");
    QTest::addColumn<bool>("deviceThere"); // at the second press
    QTest::addColumn<int>("firstAfter");   // the first engine's condition after the second press
    QTest::newRow("refused") << 0 << true << true << int(BootTest::ImageRefused);
    QTest::newRow("completed") << 16384 + 64 << true << true << int(BootTest::Completed);
    QTest::newRow("not answering") << 40000 << false << true << int(BootTest::Retired);
    QTest::newRow("refused, then no device") << 0 << true << false << int(BootTest::ImageRefused);
}

// A press once the first engine is done (or stuck) searches afresh, like a first press.
void TestStartSequence::pressAfterEnd()
{
    QFETCH(int, imageSize);
    QFETCH(bool, answering);
    QFETCH(bool, deviceThere);
    QFETCH(int, firstAfter);
    WindowRig rig;
    if (imageSize > 0)
        rig.writeImage(imageSize);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *first = rig.engines().first();
    DevicePlayer device(rig.pty());
    device.answering = answering;
    QVERIFY(device.run(
        first, [&] { return !first->isRunning() || first->condition() == BootTest::NotAnswering; }, &rig));
    rig.pty().drain(5);

    rig.writeImage(40000);
    rig.offerPorts(deviceThere ? QList<PortRecord>{rig.ftdiPort()} : QList<PortRecord>{});
    DebugCapture debug;
    const QList<SeenDialog> seen = rig.pressStart();
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
    QCOMPARE(int(first->condition()), firstAfter);
    if (!deviceThere) {
        // Said although an engine exists, until that engine has news of its own.
        verifyNoDevice(seen);
        QVERIFY(rig.window().foundPorts().isEmpty());
        QCOMPARE(debug.lines(), QStringList{"1"});
        rig.tickWindow(2);
        QCOMPARE(rig.statusBar()->toolTip(), NoDeviceFound);
        return;
    }
    QCOMPARE(seen.size(), 2);
    verifyInstructionBoxes(seen);
    QCOMPARE(rig.window().foundPorts(), QStringList{rig.pty().slavePath()});
    QCOMPARE(windowLines(debug), linesOfAnEngine(rig, 0, 2));
    BootTest *second = rig.engines().at(1);
    QCOMPARE(activeEngine, second);
    // The same port, freed by the first engine, carries the new update.
    QVERIFY(firstCommand(second, rig.pty()).startsWith("$MERASE,4000,C000*"));
    QCOMPARE(second->condition(), BootTest::Working);
}

QTEST_MAIN(TestStartSequence)
#include "tst_startsequence.moc"
