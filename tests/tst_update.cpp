// Whole updates against the simulated device, where one moment matters: the image file changed
// mid-update, the cable pulled and another unit plugged in, the adapter followed by its serial
// number; the log, the latency timer and the time left. Mixed faults are tst_explore's.
#include "rig.h"
#include "updatestatus.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace {
// The engine's clock, moved as a 38400-baud link would move it: every message from the engine and
// the device's answer to it take their wire time, the answer held `heldMs` more; a tick, 200 ms.
struct LinkClock
{
    qint64 now = 0;
    LinkClock()
    {
        EngineClock::setSource([this] { return now; });
    }
    void carried(const QByteArray &fromEngine, int heldMs)
    {
        const qint64 lines = fromEngine.count('\n');
        const qint64 bytes = fromEngine.size() + lines * qint64(sizeof "$MPRGA*3670\r\n" - 1);
        now += bytes * Protocol::LinkBitsPerByte * 1000000000 / Protocol::LinkBaud + lines * heldMs * 1000000;
    }
    void tick(BootTest *engine, SimDevice &device)
    {
        now += Protocol::TickMs * 1000000;
        Rig::tick(engine);
        device.tick();
        device.settle();
    }
};

} // namespace

class TestUpdate : public QObject
{
    Q_OBJECT

private slots:
    void replugged_data()
    {
        QTest::addColumn<qint64>("unplugAt");  // the message the device goes with (1 is the erase); 0: in the
                                               // pause before the start command, every block answered
        QTest::addColumn<bool>("anotherUnit"); // the adapter comes back on a unit with other firmware
        // 65 image blocks (messages 2 to 66), then the fill up to 0x5000 (67 to 129), then "$MJAPP".
        QTest::newRow("during the erase") << qint64(1) << false;
        QTest::newRow("mid-image, the same unit back") << qint64(30) << false;
        QTest::newRow("mid-image, another unit back") << qint64(30) << true;
        QTest::newRow("during the fill, another unit back") << qint64(100) << true;
        // The start command never reached a unit: it is not called complete until one has it.
        QTest::newRow("before the start command") << qint64(0) << false;
    }

    // The cable pulled, and plugged back a second later, maybe into another unit: the port behind
    // the same name is opened again and, since nothing tells the units apart, the whole image goes
    // again from the erase; no new Start.
    void replugged()
    {
        QFETCH(qint64, unplugAt);
        QFETCH(bool, anotherUnit);
        Rig rig;
        const QByteArray image = rig.writeImage(0x4000 + 0x800 + 5, 19);
        DeviceConfig config;
        if (unplugAt) {
            config.fault(FaultKind::Unplug).atMessages = {unplugAt};
            config.unplugClosesLink = true;
        }
        SimDevice &first = rig.plugIn(config);
        const QString port = rig.folder() + "ttyUSB0"; // the name the system gives the adapter
        QVERIFY(first.linkAs(port));
        BootTest *engine = rig.engine(port);
        if (unplugAt) {
            QVERIFY(rig.run(
                engine, [&] { return first.counters().messagesReceived >= unplugAt; }, 400));
        } else {
            QVERIFY(rig.run(
                engine, [&] { return sequencerStage == StageStartApplication; }, 400));
            first.pullCable();
        }
        // Told at once, not by the next write; and the port closed at once, so that the system
        // can give the adapter its name back.
        QVERIFY(rig.run(
            engine, [&] { return engine->condition() == BootTest::LinkLost; }, unplugAt ? 1 : 12));
        QTRY_VERIFY(!EngineProbe::port(engine)->isOpen());
        // Out for longer than a block's wait: nothing under the name, nothing opened, nothing resent.
        Rig::tick(engine, 2 * Protocol::BlockAnswerTicks);
        QVERIFY(!EngineProbe::port(engine)->isOpen());
        DeviceConfig back;
        // Another unit holds older firmware where the image goes.
        back.initialFlash = anotherUnit ? QByteArray(0x4000, '\xff') + rehearsalImage(0xC000, 77) : first.flash();
        SimDevice &second = rig.plugIn(back);
        QVERIFY(second.linkAs(port));
        QVERIFY(rig.runToEnd(engine, 1000));
        QCOMPARE(engine->condition(), BootTest::Completed);
        QVERIFY2(checkFlash(second.flash(), image).ok, qPrintable(checkFlash(second.flash(), image).description));
        QCOMPARE(QList<qint64>({second.counters().eraseCount, first.counters().applicationStarts,
                                second.counters().applicationStarts}),
                 QList<qint64>({1, 0, 1}));
        QFile log(engine->logPath());
        QVERIFY(log.open(QIODevice::ReadOnly | QIODevice::Text));
        const QString text = QString::fromUtf8(log.readAll());
        // The erase goes as soon as the port is back.
        QVERIFY2(text.contains(QRegularExpression(
                     "  Port reopened after \\d+\\.\\d s: the unit behind the cable may have changed, so the update "
                     "starts again from the erase\n *\\d+  String Len: 23\n")),
                 qPrintable(text));
        QCOMPARE(
            text.section("Port closed: the connection is lost", 1).section("Port reopened", 0, 0).count(" sent again"),
            0);
        QVERIFY2(text.contains(QRegularExpression("; the connection was lost once, for \\d+\\.\\d s in all; the image "
                                                  "was written again from the start once the connection was back\n$")),
                 qPrintable(text));
    }

    void followsItsAdapter_data()
    {
        QTest::addColumn<bool>("otherAtName"); // another adapter now answers to the old name
        QTest::newRow("its name taken by another adapter") << true;
        QTest::newRow("its name gone") << false;
    }

    // An adapter the system lists with a serial number is opened again only where the system
    // lists that serial number: never under its old name once another adapter has it.
    void followsItsAdapter()
    {
        QFETCH(bool, otherAtName);
        Rig rig;
        const QByteArray image = rig.writeImage(0x4000 + 0x400, 23);
        const QString usb0 = rig.folder() + "ttyUSB0", usb1 = rig.folder() + "ttyUSB1";
        QList<ListedPort> listed{{"ttyUSB0", usb0, "FTDI", "VELM0024"}};
        PortListing::setSeam([&] { return listed; });
        DeviceConfig config;
        config.fault(FaultKind::Unplug).atMessages = {10};
        config.unplugClosesLink = true;
        SimDevice &first = rig.plugIn(config);
        QVERIFY(first.linkAs(usb0));
        BootTest *engine = rig.engine(usb0);
        QVERIFY(rig.run(
            engine, [&] { return engine->condition() == BootTest::LinkLost; }, 400));
        SimDevice other; // a unit on another adapter
        listed.clear();
        if (otherAtName) {
            QVERIFY(other.linkAs(usb0));
            listed << ListedPort{"ttyUSB0", usb0, "FTDI", "OTHER0001"};
        }
        Rig::tick(engine, 3 * SerialLink::RetryTicks);
        QVERIFY(!EngineProbe::port(engine)->isOpen());
        SimDevice &back = rig.plugIn(DeviceConfig());
        QVERIFY(back.linkAs(usb1));
        listed << ListedPort{"ttyUSB1", usb1, "FTDI", "VELM0024"};
        QVERIFY(rig.runToEnd(engine, 1000));
        QCOMPARE(engine->condition(), BootTest::Completed);
        QVERIFY2(checkFlash(back.flash(), image).ok, qPrintable(checkFlash(back.flash(), image).description));
        QCOMPARE(other.counters().bytesReceived, qint64(0));
        QFile log(engine->logPath());
        QVERIFY(log.open(QIODevice::ReadOnly | QIODevice::Text));
        QStringList lines = QString::fromUtf8(log.readAll()).split('\n');
        lines.replaceInStrings(QRegularExpression("^ *\\d+  "), "").replaceInStrings(rig.folder(), "");
        QCOMPARE(lines.filter(" is now another adapter").join('|'),
                 otherAtName ? "ttyUSB0 is now another adapter (serial number OTHER0001); waiting for VELM0024" : "");
        QCOMPARE(lines.filter(QRegularExpression("^Port reopened after \\d+\\.\\d s as ")).size(), 1);
        QVERIFY2(
            lines.filter(QRegularExpression("^Port reopened "))
                .first()
                .endsWith(
                    " as ttyUSB1 (was ttyUSB0; the same adapter, serial number VELM0024): the unit behind the cable "
                    "may have changed, so the update starts again from the erase"),
            qPrintable(lines.join('\n')));
    }

    void updateLog_data()
    {
        QTest::addColumn<bool>("image");
        QTest::addColumn<int>("silentErases");
        // "blocked": cannot be made; "crowded": 105 older logs, named as if from a later date (the
        // clock set back since), the latest-named the oldest; "ahead": 100 logs dated tomorrow (the
        // clock was ahead, and has been set right) and one from an hour ago
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QStringList>("notes");
        const QString outcome = "Outcome: update complete after T s; image PATH, 16484 bytes";
        // A pty has no latency timer: said once, and the update goes on as on any port.
        const QString latency = "Latency timer: none, the port has no such setting (Inappropriate ioctl for device)";
        QTest::newRow("erase cycle and a lost answer")
            << true << 2 << QString() << QStringList{latency,
                                                     "Erase sent again: no answer within 10 s",
                                                     "Port closed, to be reopened for a fresh start",
                                                     "Port reopened",
                                                     "Block 4040 sent again: no answer within 2.4 s",
                                                     outcome};
        QTest::newRow("missing image") << false << 0 << QString()
                                       << QStringList{
                                              latency,
                                              "Outcome: image refused (missing) after T s; image PATH, 0 bytes"};
        QTest::newRow("folder cannot be made") << true << 0 << "blocked" << QStringList();
        QTest::newRow("the newest 100 kept")
            << true << 0 << "crowded" << QStringList{latency, "Block 4080 sent again: no answer within 2.4 s", outcome};
        QTest::newRow("logs dated ahead go first")
            << true << 0 << "ahead" << QStringList{latency, "Block 4080 sent again: no answer within 2.4 s", outcome};
    }

    // Every debug line in order, each with its time; besides them the retries and the outcome.
    void updateLog()
    {
        QFETCH(bool, image);
        QFETCH(int, silentErases);
        QFETCH(QString, folder);
        QFETCH(QStringList, notes);
        Rig rig;
        QDir logs(rig.folder() + "logs");
        if (folder == "blocked") {
            QVERIFY(QFile(logs.path()).open(QIODevice::WriteOnly)); // a file where the folder should be
            UpdateLog::setFolder(logs.filePath("logs"));
        }
        for (int i = 0; !folder.isEmpty() && folder != "blocked" && i < (folder == "crowded" ? 105 : 101); ++i) {
            QFile seeded(logs.filePath(QString::asprintf("update-20991231-0000%02d-000.log", i)));
            QVERIFY(logs.mkpath(".") && seeded.open(QIODevice::WriteOnly));
            const QDateTime now = QDateTime::currentDateTime();
            QVERIFY(seeded.setFileTime(folder == "crowded" ? now.addDays(-1).addSecs(-i)
                                       : i < 100           ? now.addDays(1).addSecs(i)
                                                           : now.addSecs(-3600),
                                       QFileDevice::FileModificationTime));
        }
        DeviceConfig config;
        config.eraseUnanswered = silentErases;
        config.fault(FaultKind::LoseReply).atMessages = {6};
        const QByteArray bytes = rehearsalImage(0x4000 + 100, 12);
        if (image)
            rig.writeImage(bytes);
        DebugCapture debug;
        BootTest *engine = rig.engine(rig.plugIn(config).slavePath());
        QVERIFY(rig.runToEnd(engine));
        QCOMPARE(engine->condition(), image ? BootTest::Completed : BootTest::ImageRefused);
        struct
        {
            QStringList debug, log;
            QString logPath;
        } run{debug.lines, {}, engine->logPath()};
        if (QFile file(run.logPath); file.open(QIODevice::ReadOnly | QIODevice::Text))
            run.log = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        // Said once, and the update is not held up by it.
        QCOMPARE(run.debug.filter("Update log not written: ").size(), folder == "blocked" ? 1 : 0);
        QCOMPARE(run.log.isEmpty(), folder == "blocked");
        if (folder == "blocked")
            return;
        // Which program wrote which image to which unit.
        const QRegularExpressionMatch first =
            QRegularExpression("^VelmorithUpdate: update started \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\S* on port "
                               "(/dev/pts/\\d+); times in ms since then$")
                .match(run.log[0]);
        QVERIFY2(first.hasMatch(), qPrintable(run.log[0]));
        QCOMPARE(run.log.mid(1, 3),
                 QStringList({QString("Program: tst_update " VELMORITH_VERSION ", Qt ") + qVersion() + ", " +
                                  QSysInfo::prettyProductName(),
                              "Port: " + first.captured(1) +
                                  " (not listed by the system: no manufacturer, serial number or USB ids)",
                              image ? "Image: " + rig.imagePath() + ", 16484 bytes, SHA-256 " +
                                          QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()
                                    : "Image: " + rig.imagePath() + " (missing)"}));
        QStringList left; // what is not a debug line, in order
        int next = 0;
        qint64 last = 0;
        for (const QString &line : run.log.mid(4)) {
            const QRegularExpressionMatch timed = QRegularExpression("^ *(\\d+)  (.*)$").match(line);
            QVERIFY2(timed.hasMatch() && timed.captured(1).toLongLong() >= last, qPrintable(line));
            last = timed.captured(1).toLongLong();
            if (next < run.debug.size() && timed.captured(2) == run.debug[next])
                ++next;
            else
                left << timed.captured(2).replace(QRegularExpression("after \\d+\\.\\d s"), "after T s");
        }
        QCOMPARE(next, run.debug.size());
        QCOMPARE(left.replaceInStrings(rig.imagePath(), "PATH"), notes);
        // The update has ended: its engine holds the log no longer.
        QDirIterator fds("/proc/self/fd", QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        while (fds.hasNext())
            QVERIFY(QFileInfo(fds.next()).symLinkTarget() != QFileInfo(run.logPath).canonicalFilePath());
        // The newest 100 by the files' own times: this update's and the 99 seeded last; logs dated
        // ahead count as the oldest.
        if (folder == "ahead")
            QCOMPARE(QStringList({QString::number(logs.count() - 2),
                                  QString::number(QFile::exists(logs.filePath("update-20991231-0000100-000.log")))}),
                     QStringList({"100", "1"}));
        if (folder == "crowded")
            QCOMPARE(QStringList({logs.entryList(QDir::Files, QDir::Name).first(),
                                  logs.entryList(QDir::Files, QDir::Name).last(), QString::number(logs.count() - 2)}),
                     QStringList({QFileInfo(run.logPath).fileName(), "update-20991231-000098-000.log", "100"}));
    }

    // Two updates starting in the same millisecond, in two programs: the second name taken is never
    // opened over, even where it only leads elsewhere (a link the first update's file is behind).
    void logNameTaken()
    {
        Rig rig;
        UpdateLog::setClock([] { return QDateTime(QDate(2026, 12, 8), QTime(14, 25, 1, 123)); });
        const QString logs = rig.folder() + "logs/";
        QVERIFY(QDir().mkpath(logs));
        QVERIFY(QFile::link(rig.folder() + "elsewhere.log", logs + "update-20261208-142501-123.log"));
        UpdateLog log;
        QVERIFY(log.open([] { return QStringList{"heading"}; }));
        QCOMPARE(log.path(), logs + "update-20261208-142501-123-2.log");
        QVERIFY(!QFile::exists(rig.folder() + "elsewhere.log"));
    }

    // The time left it gives along the way against the time the rest really took, on a clock that
    // moves as the 38400-baud link would: each message and its answer take their wire time, each
    // tick 200 ms.
    void timeLeftEstimate()
    {
        Rig rig;
        const int span = rig.writeImage(0x4000 + 0x1000 - 0x200, 13).size() - 0x4000;
        LinkClock link;
        SimDevice &device = rig.plugIn();
        BootTest *engine = rig.engine(device.slavePath());
        QList<QPair<qint64, qint64>> samples; // when, the estimate then
        connect(&device, &SimDevice::received, this, [&](const QByteArray &bytes) {
            link.carried(bytes, 0);
            if (engine->phase() == BootTest::Writing && (engine->currentMasterAddress() - 0x4000) * 10 >= span)
                samples << qMakePair(engine->elapsedMs(), engine->estimatedMsLeft());
        });
        for (int tick = 0; tick < 1000 && engine->isRunning(); ++tick)
            link.tick(engine, device);
        QCOMPARE(engine->condition(), BootTest::Completed);
        double worst = 0;
        for (const auto &sample : samples)
            worst = qMax(worst, qAbs(double(sample.second) / double(engine->elapsedMs() - sample.first) - 1));
        qInfo("time_left_worst_error: %.1f %% over %d samples", worst * 100, int(samples.size()));
        QVERIFY(samples.size() > 5 && worst <= 0.1);
    }

    void latencyTimer_data()
    {
        QTest::addColumn<int>("flags");   // as the driver reads them
        QTest::addColumn<int>("refusal"); // errno of the write; 0: taken, and the driver shows 1 ms
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("silentErases"); // 2: the port closed and opened again by the erase cycle
        QTest::newRow("lowered") << int(ASYNC_SKIP_TEST) << 0 << "Latency timer: 1 ms (set)" << 0;
        QTest::newRow("lowered, through an erase cycle")
            << int(ASYNC_SKIP_TEST) << 0 << "Latency timer: 1 ms (set)" << 2;
        QTest::newRow("refused") << int(ASYNC_SKIP_TEST) << EPERM
                                 << "Latency timer: 16 ms (cannot be changed: Operation not permitted)" << 0;
        QTest::newRow("already low") << int(ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY) << 0
                                     << "Latency timer: 1 ms (nothing to gain)" << 0;
    }

    // The driver stands in for an FTDI adapter's: the flags go back as read, with low latency
    // added, and a refusal holds nothing up.
    void latencyTimer()
    {
        QFETCH(int, flags);
        QFETCH(int, refusal);
        QFETCH(QString, line);
        QFETCH(int, silentErases);
        Rig rig;
        const QByteArray image = rig.writeImage(0x4000 + 100, 14);
        DeviceConfig config;
        config.eraseUnanswered = silentErases;
        SimDevice &device = rig.plugIn(config);
        const QString timer = rig.folder() + device.slavePath().section('/', -1) + "/latency_timer";
        const auto show = [&timer](const char *ms) {
            QFile file(timer);
            return QDir().mkpath(QFileInfo(timer).path()) && file.open(QIODevice::WriteOnly) && file.write(ms) > 0;
        };
        QVERIFY(show(flags & ASYNC_LOW_LATENCY ? "1\n" : "16\n"));
        serial_struct read{};
        read.flags = flags;
        read.close_delay = 50;
        read.closing_wait = 3000;
        read.baud_base = 24000000;
        read.xmit_fifo_size = 64;
        QList<serial_struct> written;
        serial_struct driver = read; // what the driver holds
        LatencySeam::set(
            [&](int, unsigned long request, void *serial) {
                if (request == TIOCGSERIAL) {
                    *static_cast<serial_struct *>(serial) = driver;
                    return 0;
                }
                written << *static_cast<const serial_struct *>(serial);
                if (refusal)
                    return refusal;
                driver = written.last();
                return show(driver.flags & ASYNC_LOW_LATENCY ? "1\n" : "16\n") ? 0 : EIO;
            },
            rig.folder().chopped(1));
        BootTest *engine = rig.engine(device.slavePath());
        QVERIFY(rig.runToEnd(engine));
        QCOMPARE(engine->condition(), BootTest::Completed);
        QVERIFY(checkFlash(device.flash(), image).ok);
        QFile log(engine->logPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(log.readAll())
                     .split('\n')
                     .filter("Latency timer: ")
                     .replaceInStrings(QRegularExpression("^ *\\d+  "), ""),
                 QStringList{line});
        // Lowered as read, the flag added; put back as found (where it was taken) whenever the port
        // closes, the erase cycle's own close too.
        serial_struct lowered = read;
        lowered.flags |= ASYNC_LOW_LATENCY;
        const int each = flags & ASYNC_LOW_LATENCY ? 0 : refusal ? 1 : 2; // writes an open brings
        QCOMPARE(written.size(), each * (silentErases ? 2 : 1));
        for (int i = 0; i < written.size(); ++i)
            QVERIFY(std::memcmp(&written[i], i % each == 0 ? &lowered : &read, sizeof read) == 0);
        QVERIFY(std::memcmp(&driver, &read, sizeof read) == 0);
        // The driver's 16 ms, not lowered: the operator is told, once the update is done.
        const QString hint = UpdateStatus::text(*engine).section('\n', 1);
        QCOMPARE(hint.isEmpty(), refusal == 0);
        QVERIFY2(hint.isEmpty() || (hint.startsWith("The update took ") &&
                                    hint.endsWith("it would take about 0 s (as root: echo 1 > " + timer + ")")),
                 qPrintable(hint));
    }

    void heldAnswers_data()
    {
        QTest::addColumn<int>("heldMs");    // each answer, before it leaves, as an FTDI chip holds it
        QTest::addColumn<bool>("timerLow"); // the driver says its latency timer is low already
        QTest::newRow("held 16 ms") << 16 << false;
        // A device or driver a little slow is no latency timer: nothing to gain from lowering it.
        QTest::newRow("3 ms late") << 3 << false;
        // Nor is a busy PC, where the driver's timer is low already.
        QTest::newRow("held 16 ms, the timer at 1 ms") << 16 << true;
    }

    // What the wire cannot account for is measured over the first blocks, and only a real hold is
    // worth a word. The clock moves as the link would: each message and its answer their wire time,
    // and the answer held as an FTDI chip holds it.
    void heldAnswers()
    {
        QFETCH(int, heldMs);
        QFETCH(bool, timerLow);
        Rig rig;
        rig.writeImage(0x4000 + 0x800, 15);
        LinkClock link;
        std::optional<FakeDriver> driver; // otherwise a pty's: no such setting
        if (timerLow)
            driver.emplace().held.flags = ASYNC_LOW_LATENCY;
        SimDevice &device = rig.plugIn();
        connect(&device, &SimDevice::received, this, [&](const QByteArray &bytes) { link.carried(bytes, heldMs); });
        BootTest *engine = rig.engine(device.slavePath());
        for (int tick = 0; tick < 100 && engine->currentMasterAddress() < 0x4000 + 33 * 32; ++tick)
            link.tick(engine, device);
        QFile log(engine->logPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QStringList said = QString::fromUtf8(log.readAll()).split('\n').filter(" Answers held ");
        const bool held = heldMs * 1000 > Protocol::HeldWorthItUs, worthIt = held && !timerLow;
        QCOMPARE(said.size(), held ? 1 : 0);
        QCOMPARE(engine->heldAnswerMs(), worthIt ? heldMs : -1);
        QCOMPARE(UpdateStatus::latencyHint(*engine).isEmpty(), !worthIt);
        if (timerLow)
            QVERIFY2(said.first().endsWith(" ms beyond the wire time (median of the first 32 blocks), with the port's "
                                           "latency timer low already: a busy PC or a slow driver, most likely"),
                     qPrintable(said.first()));
        if (!worthIt)
            return;
        QVERIFY2(said.first().endsWith(QString(" Answers held %1.0 ms beyond the wire time (median of the first 32 "
                                               "blocks): the port's latency timer, most likely")
                                           .arg(heldMs)),
                 qPrintable(said.first()));
        QVERIFY2(UpdateStatus::latencyHint(*engine).startsWith(
                     QString("The port holds each of the device's answers about %1 ms (its latency timer): at 1 ms "
                             "updates run faster (")
                         .arg(heldMs)),
                 qPrintable(UpdateStatus::latencyHint(*engine)));
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
