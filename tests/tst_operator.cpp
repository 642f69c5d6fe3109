// As the operator meets it: whole updates through the window, the programs started as from a
// desktop, and the rehearsal against its simulated device.
#include "rig.h"

namespace {
// A program's first debug lines, started through the shell; then it is ended as from a terminal.
QStringList started(const QString &command, int count, const QString &path = qgetenv("PATH"))
{
    QProcess process;
    process.setReadChannel(QProcess::StandardError);
    process.start("/bin/sh", {"-c", "QT_QPA_PLATFORM=offscreen QT_MESSAGE_PATTERN='%{type}|%{message}' PATH='" + path +
                                        "' exec " + command});
    QStringList lines;
    for (QDeadlineTimer deadline(10000); lines.size() < count && process.waitForReadyRead(deadline.remainingTime());) {
        while (lines.size() < count && process.canReadLine()) {
            const QString line = QString::fromUtf8(process.readLine()).chopped(1);
            if (line.startsWith("debug|"))
                lines << line.mid(6);
        }
    }
    process.terminate();
    process.waitForFinished(5000);
    return lines;
}
} // namespace

class TestOperator : public QObject
{
    Q_OBJECT

private slots:
    void unpluggedThenReplugged()
    {
        Rig rig;
        const QByteArray image = rig.writeImage(0x4000 + 32 * 1024, 7);
        DeviceConfig config;
        config.fault(FaultKind::Unplug).atMessages = {300}; // 1 is the erase: the cable goes at block 299
        config.unplugClosesLink = true;
        SimDevice &first = rig.plugIn(config);
        rig.pressStart();
        BootTest *lost = rig.latest();
        QVERIFY(rig.run(lost, [&] { return lost->condition() == BootTest::LinkLost; }));
        rig.tickWindow(); // the bar stands where the device went away
        QCOMPARE(first.counters().blocksProgrammed, qint64(298));
        QCOMPARE(rig.bar()->value(), 0x4000 + 32 * 298);
        // Whole in the tooltip: the status bar is too narrow for all of it.
        QCOMPARE(
            rig.window().statusBar()->toolTip().section('\n', 0, 0),
            QStringLiteral("Connection to the device lost - plug the USB cable back in; the update goes on by itself"));

        // Re-plugged on a new port, and the operator would rather start over: Start still does, and
        // the window lets go of the engine it replaces.
        SimDevice &second = rig.plugIn();
        QFile log(lost->logPath());
        rig.pressStart();
        QCOMPARE(rig.window().engineList().size(), 1);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY2(log.readAll().trimmed().split('\n').last().contains(
                     " Outcome: connection to the device lost; update stopped by a new Start after "),
                 qPrintable(log.fileName()));
        QVERIFY(rig.runToEnd(rig.latest()));
        rig.tickWindow();
        QVERIFY(rig.status().startsWith("Update complete in "));
        QVERIFY2(checkFlash(second.flash(), image).ok, qPrintable(checkFlash(second.flash(), image).description));
        QCOMPARE(second.counters().applicationStarts, qint64(1));
        QCOMPARE(QList<int>({rig.bar()->value(), rig.bar()->maximum()}),
                 QList<int>({int(image.size()), int(image.size())}));
    }

    // The cable pulled mid-update and plugged back: no press, the window says the connection is
    // back (even when the device answers at once) and the whole image goes again to its end.
    void pluggedBackWithoutPress()
    {
        Rig rig;
        const QByteArray image = rig.writeImage(0x4000 + 32 * 32 + 5, 8);
        DeviceConfig config;
        config.fault(FaultKind::Unplug).atMessages = {20};
        config.unplugClosesLink = true;
        SimDevice &first = rig.plugIn(config);
        const QString port = rig.folder() + "ttyUSB0";
        QVERIFY(first.linkAs(port));
        rig.offered = {Rig::ftdiPort(port)};
        rig.pressStart();
        BootTest *engine = rig.latest();
        QVERIFY(rig.run(engine, [&] { return engine->condition() == BootTest::LinkLost; }));
        QVERIFY(rig.status().startsWith("Connection to the device lost - plug the USB cable back in"));
        DeviceConfig back;
        back.initialFlash = first.flash();
        QVERIFY(rig.plugIn(back).linkAs(port));
        QVERIFY(rig.run(engine, [&] { return engine->restartCount() == 1; }));
        QCOMPARE(rig.status(), QStringLiteral("Connection back - writing the whole image again"));
        QVERIFY(rig.runToEnd(engine));
        rig.tickWindow();
        QVERIFY2(rig.status().startsWith("Update complete in "), qPrintable(rig.status()));
        QVERIFY(checkFlash(rig.devices.back()->flash(), image).ok);
    }

    // A press that finds nothing leaves the stalled update in view: when the device answers again,
    // the bar and the status follow it to its end.
    void pressWithoutDeviceWhileStalled()
    {
        Rig rig;
        const QByteArray image = rig.writeImage(0x4000 + 4096 + 100, 5);
        DeviceConfig config;
        config.fault(FaultKind::LoseReply).atMessages = {40, 41, 42}; // the third resend is answered
        SimDevice &device = rig.plugIn(config);
        rig.pressStart();
        BootTest *engine = rig.latest();
        QVERIFY(rig.run(engine, [&] { return engine->condition() == BootTest::NotAnswering; }));
        rig.offered.clear();
        QCOMPARE(rig.pressStart().last(), QStringLiteral("|No Device Connected||Cancel|"));
        Rig::tick(engine, 5); // a second on, still silent: the note stays
        rig.tickWindow();
        QCOMPARE(rig.status(), QStringLiteral("No device found - check the USB cable, then press Start"));
        QVERIFY(rig.runToEnd(engine));
        rig.tickWindow();
        QVERIFY(rig.status().startsWith("Update complete in "));
        QVERIFY(checkFlash(device.flash(), image).ok);
        QCOMPARE(rig.bar()->value(), image.size());
    }

    // As from a desktop or a shell: the program path first, then the folder it found for itself.
    void programStarted()
    {
        const QFileInfo program(VELMORITH_EXECUTABLE);
        QCOMPARE(started(program.absoluteFilePath(), 2),
                 QStringList({program.absoluteFilePath(), program.absolutePath() + "/"}));
        QCOMPARE(started(program.fileName(), 2, program.absolutePath()),
                 QStringList({program.fileName(), program.canonicalPath() + "/"}));
    }

    void rehearsal_data()
    {
        QTest::addColumn<bool>("replaced");
        QTest::newRow("its sample image") << false;
        // The verdict really looks at the flash: an image swapped behind its back fails it.
        QTest::newRow("image replaced") << true;
    }

    // The real window on the rehearsal's port and folder, unpaced, ticks driven from here.
    void rehearsal()
    {
        QFETCH(bool, replaced);
        Rig rig;
        RehearsalOptions options;
        options.paced = false;
        options.imageSize = 0x4000 + 2048 + 12;
        Rehearsal rehearsal(options);
        QVERIFY2(rehearsal.start(), qPrintable(rehearsal.errorString()));
        QFile image(rehearsal.imagePath());
        QCOMPARE(image.size(), qint64(options.imageSize));
        if (replaced)
            QVERIFY(image.open(QIODevice::WriteOnly) && image.write(rehearsalImage(options.imageSize, 99)) > 0);
        image.close();
        QSignalSpy verdicts(&rehearsal, &Rehearsal::applicationStarted);
        QVERIFY(placeDirectory(rehearsal.imageFolder()));
        rig.window().setPortEnumerator(rehearsal.enumerator());
        rig.pressStart();
        QVERIFY(rig.run(rig.latest(), [&] { return rehearsal.device().settle() && !rig.latest()->isRunning(); }));
        QCOMPARE(verdicts.size(), 1);
        QCOMPARE(verdicts[0][1].toBool(), !replaced);
    }

    // Started from a terminal: its port, its own folder for the image and the logs, and all of it
    // gone once it is ended.
    void rehearsalProgram()
    {
        const QString demo = VELMORITH_DEMO_EXECUTABLE;
        const QStringList lines = started(demo + " --unpaced", 5);
        QCOMPARE(lines.mid(0, 2), QStringList({demo, QFileInfo(demo).path() + "/"}));
        const QString folder = QRegularExpression("^Rehearsal: the image is taken from (/\\S+/) \\(not the program's "
                                                  "folder\\): a sample of 49152 bytes$")
                                   .match(lines.value(2))
                                   .captured(1);
        QVERIFY2(!folder.isEmpty() && folder != QFileInfo(demo).path() + "/", qPrintable(lines.value(2)));
        QCOMPARE(lines.value(3), "Rehearsal: update logs go to " + folder + "logs");
        QVERIFY2(
            lines.value(4).contains(QRegularExpression("^Rehearsal: simulated Autoloader on /dev/pts/\\d+ unpaced$")),
            qPrintable(lines.value(4)));
        QVERIFY(!QFileInfo::exists(folder));
    }
};

QTEST_MAIN(TestOperator)
#include "tst_operator.moc"
