// The Start press: instruction boxes, the search for the device's port, the engine it
// creates, and what a further press does.
#include "boottest.h"
#include "debugcapture.h"
#include "enginestate.h"
#include "protocol.h"
#include "velmorithupdate.h"
#include "windowrig.h"

#include <QMessageBox>
#include <QProgressBar>
#include <QStatusBar>
#include <QtTest>

Q_DECLARE_METATYPE(PortRecord)

namespace {
const QString FindingPort = QStringLiteral("Finding Port - Please wait");

using Script = QList<ModalDriver::Action>;

QString testPortLine(const QString &portName)
{
    return QStringLiteral("Test Port  \"%1\"").arg(portName);
}

// The engine's debug lines that do not concern the window.
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

void verifyInstructionBoxes(const QList<SeenDialog> &seen)
{
    QVERIFY(seen.size() >= 2);
    const SeenDialog &first = seen.at(0);
    QCOMPARE(first.className, QStringLiteral("QMessageBox"));
    QCOMPARE(first.text, QStringLiteral("With USB Unplugged"));
    QCOMPARE(first.informativeText,
             QStringLiteral("Turn on unit and hold Power button down until LEDS show Red Blue Red"));
    QCOMPARE(first.standardButtons, int(QMessageBox::Ok));
    QCOMPARE(first.buttons.size(), 1);
    QCOMPARE(first.icon, int(QMessageBox::NoIcon));
    QCOMPARE(first.windowTitle, QString());

    const SeenDialog &second = seen.at(1);
    QCOMPARE(second.className, QStringLiteral("QMessageBox"));
    QCOMPARE(second.text, QStringLiteral("Plug USB cable from Autoloader To PC"));
    QCOMPARE(second.informativeText,
             QStringLiteral("Wait until USB has chance to install Driver (about 1 minute) and press OK"));
    QCOMPARE(second.standardButtons, int(QMessageBox::Ok));
    QCOMPARE(second.buttons.size(), 1);
    QCOMPARE(second.icon, int(QMessageBox::NoIcon));
    QCOMPARE(second.windowTitle, QString());
}

void verifyNoDeviceBox(const SeenDialog &box)
{
    QCOMPARE(box.className, QStringLiteral("QMessageBox"));
    QCOMPARE(box.text, QStringLiteral("No Device Connected"));
    QCOMPARE(box.informativeText, QString());
    QCOMPARE(box.standardButtons, int(QMessageBox::Cancel));
    QCOMPARE(box.buttons.size(), 1);
    QCOMPARE(box.icon, int(QMessageBox::NoIcon));
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

    void oneFreePort();
    void boxesClosedAnyWay_data();
    void boxesClosedAnyWay();
    void noQualifyingPort_data();
    void noQualifyingPort();
    void qualifyingPortAmongOthers();
    void pressAfterNothingFound();
    void systemEnumerationByDefault();

    void severalPorts_data();
    void severalPorts();

    void pressWhileRunning();
    void pressAfterEnd_data();
    void pressAfterEnd();
    void pressAfterEndFindsNothing();
    void pressWhileNotAnswering();
    void pressAfterLinkLost();
};

void TestStartSequence::oneFreePort()
{
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort()});
    DebugCapture debug;
    bool stuck = true;
    const QList<SeenDialog> seen =
        rig.pressStart({ModalDriver::key(Qt::Key_Enter), ModalDriver::key(Qt::Key_Enter)}, &stuck);
    QVERIFY(!stuck);
    QCOMPARE(seen.size(), 2); // no third box
    verifyInstructionBoxes(seen);
    QCOMPARE(rig.engines().size(), 1);
    QCOMPARE(rig.window().foundPorts(), QStringList{rig.pty().slavePath()});
    QCOMPARE(windowLines(debug), QStringList({testPortLine(rig.pty().slavePath()), rig.imagePath(), "1"}));
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
    QCOMPARE(availableSerialPorts.size(), 1);

    // The engine is on that port: its erase arrives at the far end.
    BootTest *engine = rig.engines().first();
    QCOMPARE(engine->condition(), BootTest::Working);
    QVERIFY(firstCommand(engine, rig.pty()).startsWith("$MERASE,4000,C000*"));
}

void TestStartSequence::boxesClosedAnyWay_data()
{
    QTest::addColumn<Script>("script");
    QTest::newRow("OK clicked") << Script{ModalDriver::click("OK"), ModalDriver::click("OK")};
    QTest::newRow("Return") << Script{ModalDriver::key(Qt::Key_Return), ModalDriver::key(Qt::Key_Return)};
    QTest::newRow("Escape") << Script{ModalDriver::key(Qt::Key_Escape), ModalDriver::key(Qt::Key_Escape)};
    QTest::newRow("close button") << Script{ModalDriver::closeButton(), ModalDriver::closeButton()};
    QTest::newRow("mixed") << Script{ModalDriver::closeButton(), ModalDriver::key(Qt::Key_Escape)};
}

void TestStartSequence::boxesClosedAnyWay()
{
    QFETCH(Script, script);

    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort()});
    bool stuck = true;
    const QList<SeenDialog> seen = rig.pressStart(script, &stuck);
    QVERIFY(!stuck);
    QCOMPARE(seen.size(), 2);
    verifyInstructionBoxes(seen);
    QCOMPARE(rig.engines().size(), 1);
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
}

void TestStartSequence::noQualifyingPort_data()
{
    QTest::addColumn<QList<PortRecord>>("ports");
    QTest::addColumn<Script>("script");

    const Script escape{ModalDriver::key(Qt::Key_Escape)};
    const Script cancel{ModalDriver::click("Cancel")};
    const Script enter{ModalDriver::key(Qt::Key_Enter)};
    QTest::newRow("busy FTDI and another maker")
        << QList<PortRecord>{port("ttyUSB0", true, true, "FTDI"), port("ttyUSB1", true, false, "Prolific")} << cancel;
    QTest::newRow("FTDI with a trailing blank") << QList<PortRecord>{port("ttyUSB0", true, false, "FTDI ")} << escape;
    QTest::newRow("ftdi in lower case") << QList<PortRecord>{port("ttyUSB0", true, false, "ftdi")} << enter;
    QTest::newRow("FTDI not valid") << QList<PortRecord>{port("ttyUSB0", false, false, "FTDI")} << cancel;
    QTest::newRow("FTDI in a longer name") << QList<PortRecord>{port("ttyUSB0", true, false, "FTDI Ltd")} << cancel;
    QTest::newRow("no maker") << QList<PortRecord>{port("ttyS0", true, false, QString())} << cancel;
    QTest::newRow("no ports at all") << QList<PortRecord>{} << cancel;
}

void TestStartSequence::noQualifyingPort()
{
    QFETCH(QList<PortRecord>, ports);
    QFETCH(Script, script);

    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts(ports);
    DebugCapture debug;
    bool stuck = true;
    const QList<SeenDialog> seen =
        rig.pressStart(Script{ModalDriver::key(Qt::Key_Enter), ModalDriver::key(Qt::Key_Enter)} + script, &stuck);
    QVERIFY(!stuck);
    QCOMPARE(seen.size(), 3);
    verifyInstructionBoxes(seen);
    verifyNoDeviceBox(seen.at(2));
    QVERIFY(rig.engines().isEmpty());
    QVERIFY(rig.window().foundPorts().isEmpty());
    QCOMPARE(debug.lines(), QStringList{"0"});
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
    QCOMPARE(availableSerialPorts.size(), ports.size());
}

void TestStartSequence::qualifyingPortAmongOthers()
{
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({port("ttyS0", true, false, "Prolific"), port("ttyUSB7", true, true, "FTDI"), rig.ftdiPort(),
                    port("ttyUSB8", true, false, "ftdi")});
    DebugCapture debug;
    const QList<SeenDialog> seen = rig.pressStart();
    QCOMPARE(seen.size(), 2);
    QCOMPARE(rig.window().foundPorts(), QStringList{rig.pty().slavePath()});
    QCOMPARE(rig.engines().size(), 1);
    QCOMPARE(windowLines(debug), QStringList({testPortLine(rig.pty().slavePath()), rig.imagePath(), "1"}));
}

void TestStartSequence::pressAfterNothingFound()
{
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({port("ttyUSB0", true, true, "FTDI")});
    for (int press = 0; press < 2; ++press) {
        DebugCapture debug;
        const QList<SeenDialog> seen = rig.pressStart();
        QCOMPARE(seen.size(), 3);
        verifyInstructionBoxes(seen);
        verifyNoDeviceBox(seen.at(2));
        QCOMPARE(debug.lines(), QStringList{"0"});
        QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
    }
    // The device turns up: the third press finds it like a first one would.
    rig.offerPorts({rig.ftdiPort()});
    DebugCapture debug;
    QCOMPARE(rig.pressStart().size(), 2);
    QCOMPARE(rig.engines().size(), 1);
    QCOMPARE(windowLines(debug), QStringList({testPortLine(rig.pty().slavePath()), rig.imagePath(), "1"}));
}

void TestStartSequence::systemEnumerationByDefault()
{
    // Without a seam set, the window searches the system's ports. Ptys are never listed
    // there, so whatever this machine has, nothing qualifies unless an FTDI adapter is plugged in.
    WindowRig rig;
    const QList<PortRecord> system = systemSerialPorts();
    bool anyFtdi = false;
    for (const PortRecord &record : system)
        anyFtdi = anyFtdi || qualifiesForUpdate(record);
    if (anyFtdi)
        QSKIP("an FTDI adapter is attached to this machine");
    const QList<SeenDialog> seen = rig.pressStart();
    QCOMPARE(seen.size(), 3);
    QCOMPARE(availableSerialPorts.size(), system.size());
    QVERIFY(rig.engines().isEmpty());
}

void TestStartSequence::severalPorts_data()
{
    QTest::addColumn<Script>("choice");
    QTest::addColumn<int>("chosen"); // -1: cancelled

    QTest::newRow("first") << Script{ModalDriver::choose(0)} << 0;
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
    const QList<SeenDialog> seen =
        rig.pressStart(Script{ModalDriver::key(Qt::Key_Enter), ModalDriver::key(Qt::Key_Enter)} + choice, &stuck);
    QVERIFY(!stuck);
    // A cancelled choice is no missing device: no "No Device Connected".
    QCOMPARE(seen.size(), 3);
    verifyInstructionBoxes(seen);
    const SeenDialog &question = seen.at(2);
    QCOMPARE(question.className, QStringLiteral("QInputDialog"));
    QStringList items;
    for (int i = 0; i < 3; ++i) {
        items << QStringLiteral("%1 - USB Serial Port %2 - FT%2X").arg(rig.pty(i).slavePath()).arg(i);
    }
    QCOMPARE(question.items, items);
    QVERIFY(!question.text.isEmpty());

    QCOMPARE(rig.window().foundPorts(),
             QStringList({rig.pty(0).slavePath(), rig.pty(1).slavePath(), rig.pty(2).slavePath()}));
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
    if (chosen < 0) {
        QVERIFY(rig.engines().isEmpty());
        QCOMPARE(debug.lines(), QStringList{"0"});
        return;
    }
    QCOMPARE(rig.engines().size(), 1);
    QCOMPARE(windowLines(debug), QStringList({testPortLine(rig.pty(chosen).slavePath()), rig.imagePath(), "1"}));
    QVERIFY(firstCommand(rig.engines().first(), rig.pty(chosen)).startsWith("$MERASE,4000,C000*"));
    for (int i = 0; i < 3; ++i) {
        if (i != chosen)
            QVERIFY(rig.pty(i).drain(5).isEmpty());
    }
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
    // Let the last answer land; the block it brings stays unanswered for now.
    rig.pty().drain(50);
    rig.tickWindow(2);
    QCOMPARE(rig.bar()->maximum(), 40000);
    const quint32 address = masterAddress;
    const qint32 stage = sequencerStage;
    const qint32 countdown = tickCountdown;
    const QString status = rig.statusBar()->currentMessage();

    DebugCapture debug;
    bool stuck = true;
    const QList<SeenDialog> seen = rig.pressStart({ModalDriver::key(Qt::Key_Enter)}, &stuck);
    QVERIFY(!stuck);
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen.first().className, QStringLiteral("QMessageBox"));
    QCOMPARE(seen.first().text, QStringLiteral("An update is already running"));
    QCOMPARE(seen.first().standardButtons, int(QMessageBox::Ok));
    // No search and no engine: the engine's own traffic during the box is all there is.
    QCOMPARE(windowLines(debug), QStringList());
    QCOMPARE(rig.engines().size(), 1);
    QCOMPARE(masterAddress, address);
    QCOMPARE(sequencerStage, stage);
    QCOMPARE(tickCountdown, countdown);
    QCOMPARE(activeEngine, engine);
    QCOMPARE(rig.statusBar()->currentMessage(), status);
    QCOMPARE(engine->condition(), BootTest::Working);

    // Undisturbed: the update goes on, and the bar with it.
    const int before = device.programCommands;
    QVERIFY(device.run(
        engine, [&] { return device.programCommands >= before + 3; }, &rig));
    rig.tickWindow();
    QCOMPARE(rig.bar()->maximum(), 40000);
    QCOMPARE(rig.bar()->value(), int(masterAddress));
}

void TestStartSequence::pressAfterEnd_data()
{
    QTest::addColumn<int>("imageSize"); // 0: no image, the engine refuses it
    QTest::addColumn<int>("outcome");
    QTest::newRow("refused") << 0 << int(BootTest::ImageRefused);
    QTest::newRow("completed") << 16384 + 64 << int(BootTest::Completed);
}

void TestStartSequence::pressAfterEnd()
{
    QFETCH(int, imageSize);
    QFETCH(int, outcome);

    WindowRig rig(2);
    if (imageSize > 0)
        rig.writeImage(imageSize);
    rig.offerPorts({rig.ftdiPort(0)});
    rig.pressStart();
    BootTest *first = rig.engines().first();
    DevicePlayer device(rig.pty(0));
    QVERIFY(device.run(
        first, [&] { return !first->isRunning(); }, &rig));
    QCOMPARE(int(first->condition()), outcome);

    // Afresh, like a first press: both boxes, a new search, names only from this one.
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort(1)});
    DebugCapture debug;
    const QList<SeenDialog> seen = rig.pressStart();
    QCOMPARE(seen.size(), 2);
    verifyInstructionBoxes(seen);
    QCOMPARE(rig.window().foundPorts(), QStringList{rig.pty(1).slavePath()});
    QCOMPARE(rig.engines().size(), 2);
    QCOMPARE(windowLines(debug), QStringList({testPortLine(rig.pty(1).slavePath()), rig.imagePath(), "2"}));
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
    BootTest *second = rig.engines().at(1);
    QCOMPARE(second->condition(), BootTest::Working);
    QCOMPARE(int(first->condition()), outcome);
    QVERIFY(firstCommand(second, rig.pty(1)).startsWith("$MERASE,4000,C000*"));
}

void TestStartSequence::pressAfterEndFindsNothing()
{
    WindowRig rig;
    rig.offerPorts({rig.ftdiPort()});
    QCOMPARE(rig.pressStart().size(), 2);
    QCOMPARE(rig.engines().first()->condition(), BootTest::ImageRefused);

    // The device is gone: this search finds nothing, and says so although an engine exists.
    rig.offerPorts({});
    DebugCapture debug;
    const QList<SeenDialog> seen = rig.pressStart();
    QCOMPARE(seen.size(), 3);
    verifyNoDeviceBox(seen.at(2));
    QVERIFY(rig.window().foundPorts().isEmpty());
    QCOMPARE(rig.engines().size(), 1);
    QCOMPARE(debug.lines(), QStringList{"1"});
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
    // The earlier engine's outcome is no longer this press's to report.
    rig.tickWindow(2);
    QCOMPARE(rig.statusBar()->currentMessage(), FindingPort);
}

void TestStartSequence::pressWhileNotAnswering()
{
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *stalled = rig.engines().first();
    for (int tick = 0; tick < 200 && stalled->condition() != BootTest::NotAnswering; ++tick)
        WindowRig::tickEngine(stalled);
    QCOMPARE(stalled->condition(), BootTest::NotAnswering);
    QVERIFY(stalled->isRunning());
    rig.pty().drain(5);

    // The operator re-plugs the cable and starts again: the stalled engine makes way.
    const QList<SeenDialog> seen = rig.pressStart();
    QCOMPARE(seen.size(), 2);
    verifyInstructionBoxes(seen);
    QCOMPARE(rig.engines().size(), 2);
    QCOMPARE(stalled->condition(), BootTest::Retired);
    BootTest *fresh = rig.engines().at(1);
    QCOMPARE(activeEngine, fresh);
    QCOMPARE(int(masterAddress), 16384);
    // The same port, freed by the stalled engine, carries the new update.
    QVERIFY(firstCommand(fresh, rig.pty()).startsWith("$MERASE,4000,C000*"));
    QCOMPARE(fresh->condition(), BootTest::Working);
}

void TestStartSequence::pressAfterLinkLost()
{
    WindowRig rig(2);
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort(0)});
    rig.pressStart();
    BootTest *lost = rig.engines().first();
    DevicePlayer device(rig.pty(0));
    QVERIFY(device.run(
        lost, [&] { return device.programCommands >= 2; }, &rig));
    rig.pty(0).closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(lost->condition(), BootTest::LinkLost, 3000);

    rig.offerPorts({rig.ftdiPort(1)});
    const QList<SeenDialog> seen = rig.pressStart();
    QCOMPARE(seen.size(), 2);
    QCOMPARE(rig.engines().size(), 2);
    QCOMPARE(lost->condition(), BootTest::Retired);
    QVERIFY(firstCommand(rig.engines().at(1), rig.pty(1)).startsWith("$MERASE,4000,C000*"));
}

QTEST_MAIN(TestStartSequence)
#include "tst_startsequence.moc"
