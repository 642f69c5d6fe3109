// The operator's window: the program's folder, the Start press, the progress bar,
// the status texts and closing during an update. Devices are simulated, ticks driven here.
#include "rig.h"

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void programPath_data()
    {
        QTest::addColumn<QByteArray>("programPath"); // DIR/: a folder of the test's; LONG/: one of 397 bytes
        QTest::addColumn<QByteArray>("cut");         // what the cut leaves
        QTest::addColumn<QByteArray>("directory");   // the folder taken; "*": the one Qt knows the executable in
        const auto row = [](const char *name, const QByteArray &path, const QByteArray &cut, const QByteArray &dir) {
            QTest::newRow(name) << path << cut << dir;
        };
        // Folders that do not exist here, as a mangled name arrives on Windows: the cut, then Qt's folder.
        row("backslashes", "C:\\Tools\\Update\\app.exe", "C:\\Tools\\Update\\", "*");
        row("slashes", "C:/Tools/app.exe", "C:/Tools/", "*");
        row("slash last", "C:\\a\\b/app.exe", "C:\\a\\b/", "*");
        row("ends in a separator", "C:\\Tools\\", "C:\\Tools\\", "*");
        row("folder that exists", "DIR/VelmorithUpdate", "DIR/", "DIR/");
        row("relative", "./VelmorithUpdate", "./", "./");
        row("399 bytes", "LONG/\xc3\xbc", "LONG/", "LONG/");
        // A bare name leaves no folder to cut to; a path too long is never cut short.
        row("bare name", "VelmorithUpdate.exe", "V", "*");
        row("empty", "", "", "*");
        row("400 bytes", "LONG/\xc3\xbc!", "", "");
    }

    void programPath()
    {
        QFETCH(QByteArray, programPath);
        QFETCH(QByteArray, cut);
        QFETCH(QByteArray, directory);
        Rig rig;
        const QByteArray base = rig.folder().toUtf8();
        // 397 bytes in two levels, each within a name's limit.
        const QByteArray folder = programPath.startsWith("LONG/")
                                      ? base + QByteArray(200, 'p') + '/' + QByteArray(195 - base.size(), 'q') + '/'
                                      : base + "Pr\xc3\xbc"
                                               "fstand/";
        QVERIFY(QDir().mkpath(QString::fromUtf8(folder)));
        for (QByteArray *text : {&programPath, &cut, &directory})
            if (text->startsWith("DIR/") || text->startsWith("LONG/")) // a prefix only: not in the folder's own name
                *text = folder + text->mid(text->indexOf('/') + 1);
        if (directory == "*")
            directory = (QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) + QDir::separator()).toUtf8();

        QCOMPARE(recordProgramPath(programPath.constData()), !directory.isEmpty());
        QByteArray text = appDirectory;
        cutToDirectory(text.data());
        QCOMPARE(QByteArray(text.constData()), cut);
        DebugCapture debug;
        VelmorithUpdate window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Autoloader Update"));
        QCOMPARE(QByteArray(appDirectory), directory);
        // What was recorded, then the folder taken.
        QCOMPARE(debug.lines, QStringList({directory.isEmpty() ? QString() : programPath, directory}));
    }

    void startPress_data()
    {
        QTest::addColumn<QStringList>("ports"); // ftdiN: a free FTDI port on pty N; others as named
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<int>("chosen"); // the pty the engine works on; -1: none
        QTest::addColumn<QString>("status");
        const QStringList ok{"OK", "OK"};
        const QString finding = "Finding Port - Please wait";
        const QString noDevice = "No device found - check the USB cable, then press Start";
        QTest::newRow("OK clicked") << QStringList{"ftdi0"} << ok << 0 << finding;
        QTest::newRow("Escape") << QStringList{"ftdi0"} << QStringList{"Escape", "Escape"} << 0 << finding;
        QTest::newRow("close button") << QStringList{"ftdi0"} << QStringList{"close", "close"} << 0 << finding;
        // A busy FTDI port (ttySbusy) is named: the operator can close what holds it.
        QTest::newRow("busy FTDI and another maker")
            << QStringList{"busy", "Prolific"} << ok << -1
            << "ttySbusy is in use by another program - close it, then press Start";
        QTest::newRow("busy port of another maker") << QStringList{"busyProlific"} << ok << -1 << noDevice;
        QTest::newRow("busy FTDI, then a free one") << QStringList{"busy", "ftdi0"} << ok << 0 << finding;
        QTest::newRow("FTDI with a trailing blank") << QStringList{"FTDI "} << ok << -1 << noDevice;
        QTest::newRow("ftdi in lower case") << QStringList{"ftdi"} << ok << -1 << noDevice;
        QTest::newRow("FTDI not valid") << QStringList{"invalid"} << ok << -1 << noDevice;
        QTest::newRow("no ports at all") << QStringList{} << ok << -1 << noDevice;
        // Several devices: the operator picks one; the Prolific port is not among the choices.
        const QStringList several{"ftdi0", "Prolific", "ftdi1", "ftdi2"};
        QTest::newRow("several, second chosen") << several << ok + QStringList{"#1"} << 1 << finding;
        QTest::newRow("several, third chosen") << several << ok + QStringList{"#2"} << 2 << finding;
        QTest::newRow("several, choice cancelled")
            << several << ok << -1 << "No device chosen - press Start again to choose one";
    }

    void startPress()
    {
        QFETCH(QStringList, ports);
        QFETCH(QStringList, answers);
        QFETCH(int, chosen);
        QFETCH(QString, status);
        Rig rig;
        rig.writeImage(40000);
        PtyLink links[3];
        QList<PortRecord> offered;
        for (const QString &name : ports) {
            PortRecord port = Rig::ftdiPort(
                name.startsWith("ftdi") && name.size() == 5 ? links[name.right(1).toInt()].path() : "ttyS" + name);
            port.valid = name != "invalid";
            port.busy = name.startsWith("busy");
            if (port.name.startsWith("ttyS") && name != "invalid" && name != "busy")
                port.manufacturer = name;
            offered << port;
        }
        rig.offered = offered;
        DebugCapture debug;
        const QStringList seen = rig.pressStart(answers);
        QCOMPARE(
            seen.mid(0, 2),
            QStringList({"|With USB Unplugged|Turn on unit and hold Power button down until LEDS show Red Blue Red|OK|",
                         "|Plug USB cable from Autoloader To PC|Wait until USB has chance to install Driver (about 1 "
                         "minute) and press OK|OK|"}));
        QStringList items;
        for (const PtyLink &link : links)
            items << QStringList{link.path(), "USB Serial Port", Rig::ftdiPort(link.path()).serialNumber}.join(" - ");
        const int qualifying = ports.filter(QRegularExpression("^ftdi\\d$")).size();
        QCOMPARE(seen.mid(2),
                 qualifying == 1 ? QStringList()
                 : qualifying == 0
                     ? QStringList{"|No Device Connected||Cancel|"}
                     : QStringList{"Autoloader Update|More than one device found. Which one to update?|||" +
                                   items.join(',')});
        QCOMPARE(debug.lines.last(), QString::number(chosen < 0 ? 0 : 1));
        QCOMPARE(rig.status(), QStringLiteral("Finding Port - Please wait"));
        rig.tickWindow();
        // One engine at most, and it works on the chosen port.
        QCOMPARE(rig.window().engineList().size(), chosen < 0 ? 0 : 1);
        if (chosen < 0) {
            // Whole in the tooltip; the bar may cut a long port name's text at its end.
            QCOMPARE(rig.window().statusBar()->toolTip(), status);
            const QString shown = rig.status();
            QVERIFY2(shown == status ||
                         (shown.endsWith(QChar(0x2026)) && status.startsWith(shown.left(shown.size() - 1))),
                     qPrintable(shown));
            return;
        }
        Rig::tick(rig.latest(), 7);
        QVERIFY(links[chosen].readLine().startsWith("$MERASE,4000,C000*"));
    }

    void latch_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<bool>("latches");
        QTest::newRow("image loaded, no block yet") << 16384 << false;
        QTest::newRow("first block accepted") << 16416 << true;
        QTest::newRow("past the image") << 45056 << true;
        QTest::newRow("last that latches") << 65534 << true;
        QTest::newRow("65535") << 65535 << false;
    }

    void latch()
    {
        QFETCH(int, address);
        QFETCH(bool, latches);
        Rig rig;
        rig.writeImage(40000);
        rig.plugIn();
        rig.pressStart();
        masterAddress = quint32(address);
        rig.tickWindow();
        QCOMPARE(rig.bar()->maximum(), latches ? 40000 : 65536);
        QCOMPARE(rig.bar()->value(), 16383); // the latching tick sets only the maximum
        rig.tickWindow();
        // A value outside the range leaves the bar where it was.
        QCOMPARE(rig.bar()->value(), latches && address <= 40000 ? address : 16383);
    }

    void statusTexts_data()
    {
        QTest::addColumn<QList<qint64>>("lost"); // replies lost: the transfer waits there
        QTest::addColumn<int>("silentErases");
        QTest::addColumn<QString>("text"); // a pattern the status bar must come to show
        using L = QList<qint64>;
        // Message 1 is the erase, 2 to 261 the image's 260 blocks, then the fill blocks.
        QTest::newRow("erasing") << L{} << 0 << "Erasing the device - Please wait";
        QTest::newRow("first blocks, no pace yet") << L{4} << 0 << "Writing firmware: 0 %";
        QTest::newRow("half way") << L{132} << 0 << "Writing firmware: 50 % - about \\d+ s left";
        QTest::newRow("filling") << L{265} << 0 << "Clearing the rest of the flash - about \\d+ s left";
        QTest::newRow("starting") << L{} << 0 << "Starting the new firmware - Please wait";
        // 50 ticks since the first erase; two resends of a block: 24 ticks since the last answer.
        QTest::newRow("erase not answered") << L{} << 2 << "Erase not answered for 10 s - check the cable";
        QTest::newRow("block not answered") << L{5, 6, 7} << 0 << "Device not answering for 5 s - check the cable";
        QTest::newRow("its second line, 3 s on")
            << L{5, 6, 7, 8} << 0 << "Unit LEDs Red Blue Red\\? The update resumes once it answers";
        QTest::newRow("complete") << L{} << 0 << "Update complete in \\d+\\.\\d s";
        // The reason first; a path too long for the bar is shortened in its middle.
        QTest::newRow("image missing") << L{} << 0 << "Firmware image missing: /.*_full\\.bin";
        // Nothing sent: the port's own reason, not a silent device.
        QTest::newRow("port cannot be opened")
            << L{} << 0 << "Port ttyGONE cannot be opened: No such file or directory";
    }

    void statusTexts()
    {
        QFETCH(QList<qint64>, lost);
        QFETCH(int, silentErases);
        QFETCH(QString, text);
        Rig rig;
        if (!text.startsWith("Firmware image missing"))
            rig.writeImage(0x4000 + 0x2000 + 100);
        DeviceConfig config;
        config.eraseUnanswered = silentErases;
        config.fault(FaultKind::LoseReply).atMessages = std::vector<qint64>(lost.begin(), lost.end());
        rig.plugIn(config);
        if (text.startsWith("Port "))
            rig.offered = {Rig::ftdiPort("ttyGONE")};
        rig.pressStart();
        BootTest *engine = rig.latest();
        QVERIFY2(rig.run(
                     engine, [&] { return QRegularExpression("^" + text + "$").match(rig.status()).hasMatch(); }, 2000),
                 qPrintable(rig.status()));
        // Whole in the tooltip, and at the end with where the log is.
        const QStringList tip = rig.window().statusBar()->toolTip().split('\n');
        QVERIFY(!tip.filter(QRegularExpression("^" + text + "$")).isEmpty());
        if (!engine->isRunning())
            QCOMPARE(tip.last(), "Log of this update: " + engine->logPath());
    }

    void whileRunning_data()
    {
        QTest::addColumn<QString>("stage");   // "writing", "started" ("$MJAPP" out), "ended"
        QTest::addColumn<QString>("act");     // "Start", or the answer to the box on closing ("": no box)
        QTest::addColumn<QString>("outcome"); // the log's, once the program has ended
        QTest::newRow("Start pressed") << "writing"
                                       << "Start"
                                       << "update complete";
        QTest::newRow("closed, no update running") << "ended"
                                                   << ""
                                                   << "update complete";
        QTest::newRow("closed, go back") << "writing"
                                         << "Go back"
                                         << "program closed during the update";
        // The keys an operator presses without reading: neither may stop the update.
        QTest::newRow("closed, Enter") << "writing"
                                       << "Enter"
                                       << "program closed during the update";
        QTest::newRow("closed, Escape") << "writing"
                                        << "Escape"
                                        << "program closed during the update";
        QTest::newRow("closed anyway") << "writing"
                                       << "Close anyway"
                                       << "program closed during the update";
        // The unit is starting its new firmware: nothing to ask, nothing lost.
        QTest::newRow("closed after the start command")
            << "started"
            << ""
            << "update complete, the start command sent; then program closed during the update";
    }

    void whileRunning()
    {
        QFETCH(QString, stage);
        QFETCH(QString, act);
        QFETCH(QString, outcome);
        const bool running = stage != "ended";
        Rig rig;
        FakeDriver driver;
        rig.writeImage(0x5000);
        rig.plugIn();
        rig.pressStart();
        BootTest *engine = rig.latest();
        QVERIFY(stage == "writing"   ? rig.run(engine, [] { return masterAddress > 0x4000; })
                : stage == "started" ? rig.run(engine, [&] { return engine->startCommandSent(); })
                                     : rig.runToEnd(engine));
        QVERIFY(driver.lowLatency() == running);
        const QString log = engine->logPath();
        // However the program ends, once the window has gone: the outcome logged, the port as found.
        const auto ended = [&] {
            rig.built.reset();
            QFile file(log);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QStringList lines = QString::fromUtf8(file.readAll()).trimmed().split('\n');
            QVERIFY2(lines.last().contains(" Outcome: " + outcome + " after "), qPrintable(lines.last()));
            QVERIFY(!driver.lowLatency());
        };
        ModalDriver modal({act == "Start" ? "Enter" : act});
        DebugCapture debug;
        if (act == "Start") {
            QTest::mouseClick(rig.window().findChild<QPushButton *>("pushButton"), Qt::LeftButton);
            QCOMPARE(modal.seen, QStringList{"|An update is already running|Wait until it has finished before pressing "
                                             "Start again.|OK|"});
            QCOMPARE(debug.said(), QStringList()); // no search, no engine: the update goes on to its end
            QVERIFY(rig.runToEnd(engine) && engine->condition() == BootTest::Completed);
            ended();
            return;
        }
        QCOMPARE(rig.window().close(), act.isEmpty() || act == "Close anyway");
        QCOMPARE(modal.seen, act.isEmpty()
                                 ? QStringList()
                                 : QStringList{"Autoloader Update|An update is running|If you close now, the "
                                               "update stops: the device stays in its bootloader without "
                                               "working firmware and needs a new update.|Go back,Close anyway|"});
        QCOMPARE(engine->isRunning(), running);
        ended();
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
