// The console program: a whole update as a script runs it, against the simulated device; ending
// without a device (giving up, or killed); bad input refused before any port is opened.
#include "flashcommand.h"
#include "rig.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>

namespace {

struct Run
{
    int exitCode = -1;
    QStringList out;
    QStringList err;
};

// In the child, before the program runs: its stderr a pipe whose reader has gone.
void readerGone()
{
    int ends[2];
    if (::pipe(ends) == 0) {
        ::close(ends[0]);
        ::dup2(ends[1], STDERR_FILENO);
        ::close(ends[1]);
    }
}

// In the child, before the program runs: an ordinary user's rights (nobody's).
void asNobody()
{
    const gid_t none = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setgid(none) != 0 || ::setuid(65534) != 0)
        ::_exit(99);
}

struct Process : QProcess
{
    bool stderrGone = false;
    bool nobody = false;
    void inChild()
    {
        if (stderrGone)
            readerGone();
        if (nobody)
            asNobody();
    }
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    Process()
    {
        setChildProcessModifier([this] { inChild(); });
    }
#else
    void setupChildProcess() override
    {
        inChild();
    }
#endif
};

// The log folder on a disk of its own, 8 KiB with `room` bytes left: a tmpfs in a mount namespace of
// the program's own, gone with it.
const QStringList SmallDisk{"unshare",
                            "--mount",
                            "--propagation",
                            "private",
                            "sh",
                            "-c",
                            "mount -t tmpfs -o size=8k tmpfs \"$0\" && head -c \"$1\" /dev/zero >\"$0/fill\" "
                            "2>/dev/null; shift; exec \"$@\""};

bool smallDiskPossible()
{
    QProcess probe;
    probe.start(SmallDisk.first(), SmallDisk.mid(1) + QStringList{QDir::tempPath(), "8192", "true"});
    return probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
}

// velmorith-flash as a real process, its logs in `data` (with `logRoom` bytes left there, where it
// is not -1); the test's event loop (and the simulated device in it) runs meanwhile, and so does
// `meanwhile`.
Run flash(const QStringList &arguments, const QString &data, const std::function<void(QProcess &)> &meanwhile = {},
          bool stderrGone = false, int logRoom = -1, bool nobody = false)
{
    Process process;
    process.stderrGone = stderrGone;
    process.nobody = nobody;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", data);
    process.setProcessEnvironment(environment);
    if (logRoom >= 0)
        process.start(SmallDisk.first(), SmallDisk.mid(1) + QStringList{data, QString::number(8192 - logRoom)} +
                                             QStringList{VELMORITH_FLASH} + arguments);
    else
        process.start(VELMORITH_FLASH, arguments);
    qRegisterMetaType<QProcess::ExitStatus>();
    QSignalSpy finished(&process, SIGNAL(finished(int, QProcess::ExitStatus)));
    if (meanwhile)
        meanwhile(process);
    if (finished.isEmpty() && !finished.wait(30000))
        process.kill();
    const auto lines = [](const QByteArray &bytes) { return QString::fromUtf8(bytes).split('\n', Qt::SkipEmptyParts); };
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            lines(process.readAllStandardOutput()), lines(process.readAllStandardError())};
}

// Writes bytes into a FIFO once the program has opened it for reading, then closes it.
bool feedFifo(const QString &path, const QByteArray &bytes)
{
    int fd = -1;
    // Without a reader a non-blocking open fails: a bounded wait for the program to open it.
    for (QDeadlineTimer deadline(10000); fd < 0 && !deadline.hasExpired(); QThread::msleep(20))
        fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
    if (fd < 0 || ::fcntl(fd, F_SETFL, 0) != 0)
        return false;
    const bool written = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    ::close(fd);
    return written;
}

// Whether the process has the file open, as the system says.
bool holds(qint64 pid, const QString &path)
{
    QDirIterator fds(QString("/proc/%1/fd").arg(pid), QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    while (fds.hasNext())
        if (QFileInfo(fds.next()).symLinkTarget() == path)
            return true;
    return false;
}

QStringList logOf(const Run &run)
{
    QFile log(run.out.value(run.out.size() - 2).section("Log of this update: ", 1));
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts)
                                         : QStringList();
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void update_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("plain") << "plain";
        // The reader of the progress has gone: the update and its outcome go on regardless.
        QTest::newRow("stderr's reader gone") << "pipe";
        QTest::newRow("image through a FIFO") << "fifo";
        // The log is cut short by a full disk: said with the system's reason; the update goes on.
        QTest::newRow("log folder fills up") << "full";
        // A kill in the final second, "$MJAPP" out: the update has done its work.
        QTest::newRow("stopped after the start command") << "stop";
    }

    // As a script runs it: the flash exact, "$MJAPP" once, exit 0, the outcome last.
    void update()
    {
        QFETCH(QString, how);
        Rig rig;
        const QByteArray image = rig.writeImage(0x4000 + 32 * 32 + 5, 21); // a short last block, fill blocks
        SimDevice &device = rig.plugIn();
        if (how == "full" && !smallDiskPossible())
            QSKIP("no tmpfs of the test's own to be had here (unshare --mount needs root)");
        QString imagePath = rig.imagePath();
        if (how == "fifo") {
            imagePath = rig.folder() + "image.fifo";
            QCOMPARE(mkfifo(QFile::encodeName(imagePath).constData(), 0600), 0);
        }
        const QString data = rig.folder() + (how == "full" ? "disk" : ""); // its own disk: not over the image
        QVERIFY(QDir().mkpath(data));
        const Run run = flash(
            {"--port", device.slavePath(), "--image", imagePath, "--give-up-after", "3"}, data,
            [&](QProcess &process) {
                if (how == "fifo")
                    QVERIFY(feedFifo(imagePath, image));
                if (how == "stop")
                    connect(&device, &SimDevice::applicationStarted, &process, &QProcess::terminate);
            },
            how == "pipe", how == "full" ? 4096 : -1);
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(checkFlash(device.flash(), image).ok, qPrintable(checkFlash(device.flash(), image).description));
        QCOMPARE(device.counters().applicationStarts, qint64(1));
        const QString stopped = how == "stop"
                                    ? " \\(stopped in its final second: the start command had gone out, the unit "
                                      "is starting its new firmware\\)"
                                    : "";
        QVERIFY2(
            run.out.last().contains(QRegularExpression("^Update complete: 1029 bytes in \\d+\\.\\d s" + stopped + "$")),
            qPrintable(run.out.join('\n')));
        QVERIFY(run.out.first().startsWith("Log of this update: " + rig.folder()));
        if (how == "full") { // the log itself was on a disk of the program's own
            QCOMPARE(run.err.filter(QRegularExpression("log", QRegularExpression::CaseInsensitiveOption)).join('|'),
                     "Log of this update incomplete: No space left on device");
            return;
        }
        const QStringList log = logOf(run);
        QVERIFY2(log.last().contains(how == "stop" ? " Outcome: update complete, the start command sent; then stopped "
                                                     "by the user after "
                                                   : " Outcome: update complete after "),
                 qPrintable(log.join('\n')));
        if (how != "plain")
            return;
        // Not a terminal: a line when the phase changes and at every tenth, never beyond 100 %.
        QCOMPARE(run.err.first(), "  0 %  Erasing the device");
        QCOMPARE(run.err.last(), "100 %  Starting the new firmware");
        int last = -1;
        for (const QString &line : run.err) {
            const int percent = line.left(3).toInt();
            QVERIFY2(percent >= last && percent <= 100 && line.mid(3, 3) == " % ", qPrintable(run.err.join('\n')));
            last = percent;
        }
        QVERIFY2(run.err.indexOf(QRegularExpression("^100 %  Clearing the rest of the flash - about \\d+ s left$")) > 0,
                 qPrintable(run.err.join('\n')));
    }

    // A hub reset with two units: both links lost, and the adapters come back with their names
    // swapped. Each run writes the whole image again into whichever unit it finds, so that both
    // end exact (resuming would leave a hole in one of them).
    void namesSwapped()
    {
        Rig rig;
        const QByteArray image = rig.writeImage(0x4000 + 32 * 32 + 5, 22);
        const QString port[2] = {rig.folder() + "ttyUSB0", rig.folder() + "ttyUSB1"};
        SimDevice *unit[2];
        for (int i : {0, 1}) {
            DeviceConfig config;
            config.fault(FaultKind::Unplug).atMessages = {30 + 30 * i};
            config.unplugClosesLink = true;
            unit[i] = &rig.plugIn(config);
            QVERIFY(unit[i]->linkAs(port[i]));
        }
        std::unique_ptr<SimDevice> back[2];
        const auto args = [&](int i) {
            return QStringList{"--port", port[i], "--image", rig.imagePath(), "--give-up-after", "20"};
        };
        Run second;
        const Run first = flash(args(0), rig.folder(), [&](QProcess &) {
            second = flash(args(1), rig.folder(), [&](QProcess &) {
                QTRY_VERIFY_WITH_TIMEOUT(!unit[0]->isOpen() && !unit[1]->isOpen(), 20000);
                for (int i : {0, 1}) {
                    DeviceConfig config;
                    config.initialFlash = unit[i]->flash();
                    back[i] = std::make_unique<SimDevice>(config);
                    QVERIFY(back[i]->linkAs(port[1 - i]));
                }
            });
        });
        for (const Run &run : {first, second}) {
            QCOMPARE(run.exitCode, 0);
            QVERIFY2(
                run.out.last().contains(QRegularExpression(
                    "^Update complete: 1029 bytes in \\d+\\.\\d s; the connection was lost once, for \\d+\\.\\d s in "
                    "all; the image was written again from the start once the connection was back$")),
                qPrintable(run.out.join('\n')));
            QCOMPARE(
                run.err.filter(QRegularExpression("^  0 %  Connection back - writing the whole image again$")).size(),
                1);
        }
        for (int i : {0, 1}) {
            QVERIFY2(checkFlash(back[i]->flash(), image).ok,
                     qPrintable(checkFlash(back[i]->flash(), image).description));
            QCOMPARE(QList<qint64>({back[i]->counters().eraseCount, back[i]->counters().applicationStarts}),
                     QList<qint64>({1, 1}));
        }
    }

    void portRefused_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("held by another update under another name") << "held";
        QTest::newRow("no permission") << "denied";
    }

    // Refused before anything is sent, with what to do: another update holds the adapter (under
    // another name: the system's exclusive open does not bind root, and lock files go by name), or
    // an ordinary user is not in the device's group.
    void portRefused()
    {
        QFETCH(QString, how);
        if (::geteuid() != 0)
            QSKIP("run as an ordinary user, the system refuses the second name itself");
        Rig rig;
        const QByteArray image = rig.writeImage(0x4000 + 32 * 32 + 5, 24);
        SimDevice &device = rig.plugIn();
        const QString first = rig.folder() + "ttyUSB0", second = rig.folder() + "by-id";
        QVERIFY(device.linkAs(first) && QFile::link(device.slavePath(), second));
        const QStringList args{"--image", rig.imagePath(), "--give-up-after", "5", "--port"};
        Run refused;
        if (how == "denied") {
            for (QDir up(rig.folder() + ".."); !up.isRoot(); up.cdUp()) {
                if (!(QFile::permissions(up.path()) & QFile::ExeOther))
                    QSKIP(qPrintable("an ordinary user cannot reach the image through " + up.path()));
            }
            // As /dev/ttyUSB0 is: the owner and the group may read and write it.
            QVERIFY(::chmod(QFile::encodeName(device.slavePath()), 0660) == 0);
            QVERIFY(QFile::setPermissions(rig.folder(), QFile::permissions(rig.folder()) | QFile::ExeOther) &&
                    QFile::setPermissions(rig.imagePath(), QFile::permissions(rig.imagePath()) | QFile::ReadOther));
            refused = flash(args + QStringList{second}, rig.folder(), {}, false, -1, true);
            struct stat node = {};
            QVERIFY(::stat(QFile::encodeName(device.slavePath()), &node) == 0);
            const QString group = QString::fromLocal8Bit(::getgrgid(node.st_gid)->gr_name);
            QCOMPARE(refused.out.join('|'), "Port " + second +
                                                " cannot be opened: Permission denied - the port belongs "
                                                "to the group " +
                                                group + ": join it with sudo usermod -aG " + group +
                                                " $USER, then log in again");
            QCOMPARE(refused.exitCode, 2);
            QCOMPARE(device.counters().bytesReceived, qint64(0));
            return;
        }
        qint64 holder = 0;
        const Run run = flash(args + QStringList{first}, rig.folder(), [&](QProcess &process) {
            holder = process.processId();
            QTRY_VERIFY_WITH_TIMEOUT(device.counters().messagesReceived > 0, 20000);
            refused = flash(args + QStringList{second}, rig.folder());
        });
        QCOMPARE(refused.out.join('|'), QString("Port %1 cannot be opened: another program is updating through it "
                                                "(velmorith-flash, process %2, as %3)")
                                            .arg(second)
                                            .arg(holder)
                                            .arg(first));
        QCOMPARE(QList<int>({refused.exitCode, run.exitCode}), QList<int>({2, 0}));
        QVERIFY2(checkFlash(device.flash(), image).ok, qPrintable(checkFlash(device.flash(), image).description));
        QCOMPARE(QList<qint64>({device.counters().eraseCount, device.counters().applicationStarts}),
                 QList<qint64>({1, 1}));
    }

    void endsWithoutDevice_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("outcome"); // the last line on stdout, then the log's
        QTest::newRow("the device never answers")
            << "silent" << 4
            << "Gave up: the device did not answer for 1 s - check the cable and that the unit is in its bootloader "
               "(LEDs red, blue, red)|gave up: the device did not answer for 1 s";
        // Told when the block is sent again, 2.4 s after the erase's answer.
        QTest::newRow("the connection is lost")
            << "unplugged" << 5
            << "Gave up: the connection to the device was lost, no answer for 3 s - reconnect it and run "
               "again|connection to the device lost; gave up: no answer for 3 s";
        // Said without --verbose; the exit code stays the update's.
        QTest::newRow("no log can be written")
            << "no log" << 4
            << "Gave up: the device did not answer for 1 s - check the cable and that the unit is in its bootloader "
               "(LEDs red, blue, red)|No log written: cannot make the folder DATA/VelmorithUpdate/logs";
        // Not even its heading fits: no log is named, no empty one is left.
        QTest::newRow("log folder full")
            << "full" << 4
            << "Gave up: the device did not answer for 1 s - check the cable and that the unit is in its bootloader "
               "(LEDs red, blue, red)|No log written: No space left on device";
        // Every block answered, then the cable: the unit never got the start command.
        QTest::newRow("the connection is lost before the start command")
            << "before start" << 5
            << "Gave up: the connection to the device was lost before the start command went out, no answer for 3 s - "
               "the unit did not get it and stays in its bootloader; reconnect it and run again|connection to the "
               "device lost; gave up: no answer for 3 s";
        QTest::newRow("stopped by a kill")
            << "interrupted" << 130
            << "Update stopped by the user - the device stays in its bootloader until it is updated|stopped by the "
               "user";
        // A FIFO nobody writes to holds the image's read, not the program: a kill still ends it.
        QTest::newRow("stopped while the image is awaited")
            << "fifo" << 130 << "Stopped by the user before anything was sent|";
    }

    // A script's update always ends: a short silence is all it waits here.
    void endsWithoutDevice()
    {
        QFETCH(QString, how);
        QFETCH(int, exitCode);
        QFETCH(QString, outcome);
        if (how == "full" && !smallDiskPossible())
            QSKIP("no tmpfs of the test's own to be had here (unshare --mount needs root)");
        Rig rig;
        rig.writeImage(how == "before start" ? 0x4FC0 : 0x5000); // two fill blocks: their last answer ends the pause
        PtyLink link;
        DeviceConfig config;
        config.fault(FaultKind::Unplug).atMessages = {2};
        config.unplugClosesLink = true;
        const QString port = how == "unplugged"      ? rig.plugIn(config).slavePath()
                             : how == "before start" ? rig.plugIn().slavePath()
                                                     : link.path();
        QByteArray wire;
        // A file, no folder; or a disk of its own, not over the image.
        const QString data = how == "no log" ? rig.imagePath() : rig.folder() + (how == "full" ? "disk" : "");
        QVERIFY(QDir().mkpath(how == "no log" ? rig.folder() : data));
        const QString image = how == "fifo" ? rig.folder() + "image.fifo" : rig.imagePath();
        if (how == "fifo")
            QCOMPARE(mkfifo(QFile::encodeName(image).constData(), 0600), 0);
        const Run run = flash(
            {"--port", port, "--image", image, "--give-up-after",
             how == "unplugged" || how == "before start" ? "3"
             : how == "interrupted"                      ? "30"
                                                         : "1"},
            data,
            [&](QProcess &process) {
                if (how == "interrupted") // once the erase is out
                    wire = link.readLine(10000);
                if (how == "before start") { // the engine pauses 2.4 s after the last fill block's answer
                    SimDevice &device = *rig.devices.back();
                    QTRY_VERIFY_WITH_TIMEOUT(device.counters().blocksProgrammed == 128, 20000);
                    device.pullCable();
                }
                if (how == "fifo")
                    QTRY_VERIFY_WITH_TIMEOUT(holds(process.processId(), image), 10000);
                if (how == "interrupted" || how == "fifo")
                    process.terminate();
            },
            false, how == "full" ? 0 : -1);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.out.last(), outcome.section('|', 0, 0));
        if (how == "fifo") {
            QCOMPARE(run.out.size(), 1); // no log: nothing was started
        } else if (how == "no log" || how == "full") {
            QCOMPARE(run.out.size(), 1);
            QCOMPARE(run.err.filter("log").join('|'), outcome.section('|', 1).replace("DATA", data));
        } else {
            QVERIFY2(
                logOf(run).value(logOf(run).size() - 1).contains(" Outcome: " + outcome.section('|', 1) + " after "),
                qPrintable(logOf(run).join('\n')));
        }
        // While lost, one line says what to do and how long it waits for it.
        if (how == "unplugged" || how == "before start")
            QCOMPARE(run.err
                         .filter(QRegularExpression("^ *\\d+ %  Connection lost - plug the USB cable back in \\(giving "
                                                    "up in [123] s\\)$"))
                         .size(),
                     1);
        if (how == "before start") // never written to the closed port
            QCOMPARE(rig.devices.back()->counters().applicationStarts, qint64(0));
        else if (how != "unplugged") // the erase, byte for byte, and nothing after it; without an image, nothing
            QCOMPARE(wire + link.drain(), how == "fifo" ? QByteArray() : QByteArray("$MERASE,4000,C000*5DCA\n"));
    }

    // The port passed the check, then another program took it (or it went) before the update
    // opened it: said as the port's problem, with the system's reason, and nothing sent.
    void portGoneAfterCheck()
    {
        Rig rig;
        rig.writeImage(0x5000);
        PtyLink link;
        const QString port = rig.folder() + "port";
        QVERIFY(QFile::link(link.path(), port));
        QString out;
        FlashCommand command({[&out](const QString &s) { out += s; }, [](const QString &) {}, false}, {});
        QCOMPARE(command.prepare({"velmorith-flash", "--port", port, "--image", rig.imagePath()}), -1);
        QVERIFY(QFile::remove(port) && QDir().mkdir(port));
        QSignalSpy finished(&command, &FlashCommand::finished);
        command.start();
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.first().first().toInt(), int(FlashCommand::PortProblem));
        QCOMPARE(out.section('\n', -2, -2), "Port " + port + " cannot be opened: Is a directory");
        QCOMPARE(link.drain(), QByteArray());
    }

    void badInput_data()
    {
        QTest::addColumn<QStringList>("arguments"); // IMAGE: a file of `imageSize` bytes; LINK: a pty
        QTest::addColumn<int>("imageSize");         // -1: no file; -2: a folder
        QTest::addColumn<QStringList>("ports");     // offered: ftdiN on pty N, others by manufacturer
        QTest::addColumn<int>("exitCode");          // -1: the update may start
        QTest::addColumn<QString>("said");          // how the first line starts
        const QStringList image{"--image", "IMAGE"};
        const QStringList ftdi{"ftdi0"};
        const QString usage = "velmorith-flash: ";
        QTest::newRow("unknown option") << QStringList{"--frob"} << 0x5000 << ftdi << 1
                                        << usage + "Unknown option 'frob'.";
        QTest::newRow("no value") << QStringList{"--port"} << 0x5000 << ftdi << 1
                                  << usage + "Missing value after '--port'.";
        QTest::newRow("give up after -1") << image + QStringList{"--give-up-after", "-1"} << 0x5000 << ftdi << 1
                                          << usage + "--give-up-after: '-1' is not a number of seconds";
        QTest::newRow("give up after abc") << image + QStringList{"--give-up-after", "abc"} << 0x5000 << ftdi << 1
                                           << usage + "--give-up-after: 'abc' is not a number of seconds";
        QTest::newRow("an argument") << QStringList{"COM5"} << 0x5000 << ftdi << 1
                                     << usage + "Unexpected argument 'COM5'.";
        QTest::newRow("no image beside the program")
            << QStringList{} << -1 << ftdi << 3 << "Firmware image missing: DIR/VelmorithAL_full.bin";
        QTest::newRow("image a folder") << image << -2 << ftdi << 3 << "Firmware image is a folder: IMAGE";
        QTest::newRow("image empty") << image << 0 << ftdi << 3 << "Firmware image too small (0 bytes): IMAGE";
        QTest::newRow("image of 1 GiB") << image << (1 << 30) << ftdi << 3
                                        << "Firmware image too large (1073741824 bytes): IMAGE";
        QTest::newRow("image refused, port named") << image + QStringList{"--port", "LINK"} << 0x4000 << ftdi << 3
                                                   << "Firmware image too small (16384 bytes): IMAGE";
        QTest::newRow("no FTDI port") << image << 0x5000 << QStringList{"Prolific", "FTDI "} << 2
                                      << "No device found - check the USB cable";
        QTest::newRow("several FTDI ports")
            << image << 0x5000 << QStringList{"ftdi0", "Prolific", "ftdi1"} << 2
            << "Several devices found: LINK (serial number SN), LINK1 (serial number SN1) - name one with --port";
        QTest::newRow("port does not exist") << image + QStringList{"--port", "/dev/ttyNONE"} << 0x5000 << ftdi << 2
                                             << "Port /dev/ttyNONE cannot be opened: No such file or directory";
        QTest::newRow("port a folder") << image + QStringList{"--port", "DIR"} << 0x5000 << ftdi << 2
                                       << "Port DIR cannot be opened: Is a directory";
        QTest::newRow("one FTDI port") << image << 0x5000 << ftdi << -1 << "";
        QTest::newRow("list") << QStringList{"--list"} << -1 << QStringList{"ftdi0", "Prolific"} << 0
                              << "LINK: FTDI, USB Serial Port, serial number SN - qualifies";
    }

    // Checked before anything is opened or sent: nothing reaches any port.
    void badInput()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, imageSize);
        QFETCH(QStringList, ports);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        Rig rig;
        const QString dir = rig.folder().chopped(1);
        const QString imagePath = rig.folder() + "image.bin";
        if (imageSize == -2)
            QVERIFY(QDir().mkdir(imagePath));
        QFile file(imagePath);
        if (imageSize >= 0)
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(imageSize));
        file.close();
        PtyLink links[2];
        QList<PortRecord> offered;
        for (const QString &name : ports) {
            PortRecord port = Rig::ftdiPort(name.startsWith("ftdi") ? links[name.right(1).toInt()].path() : name);
            port.manufacturer = name.startsWith("ftdi") ? "FTDI" : name;
            offered << port;
        }
        // In one pass: a folder's random name may itself hold "DIR" or "SN".
        const QHash<QString, QString> values{{"LINK", links[0].path()},
                                             {"LINK1", links[1].path()},
                                             {"SN", Rig::ftdiPort(links[0].path()).serialNumber},
                                             {"SN1", Rig::ftdiPort(links[1].path()).serialNumber},
                                             {"IMAGE", imagePath},
                                             {"DIR", dir}};
        const auto fill = [&](const QString &text) {
            QString filled;
            int from = 0;
            for (auto m = QRegularExpression("LINK1?|SN1?|IMAGE|DIR").globalMatch(text); m.hasNext();) {
                const QRegularExpressionMatch found = m.next();
                filled += text.mid(from, found.capturedStart() - from) + values.value(found.captured());
                from = found.capturedEnd();
            }
            return filled + text.mid(from);
        };
        QString out, err;
        FlashCommand command({[&out](const QString &s) { out += s; }, [&err](const QString &s) { err += s; }, false},
                             [&offered] { return offered; });
        QStringList args{"velmorith-flash"};
        for (const QString &argument : arguments)
            args << fill(argument);
        QCOMPARE(command.prepare(args), exitCode);
        const QString first = (exitCode == 1 ? err : out).section('\n', 0, 0);
        QCOMPARE(first.left(fill(said).size()), fill(said));
        QCOMPARE(activeEngine, nullptr);
        for (PtyLink &link : links)
            QCOMPARE(link.drain(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
