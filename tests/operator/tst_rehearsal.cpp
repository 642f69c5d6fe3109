// The rehearsal program's simulated device: the one port it offers, its own sample image,
// re-plugging, the flash verdict, and the program itself started as an operator would.
#include "boottest.h"
#include "debugcapture.h"
#include "enginestate.h"
#include "programpath.h"
#include "protocol.h"
#include "rehearsal.h"
#include "velmorithupdate.h"
#include "windowrig.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString DemoExecutable = QStringLiteral(VELMORITH_DEMO_EXECUTABLE);

RehearsalOptions unpaced(int imageSize = RehearsalOptions::DefaultImageSize)
{
    RehearsalOptions options;
    options.paced = false;
    options.imageSize = imageSize;
    return options;
}

// A pseudo-terminal: opens, and is a terminal.
bool opensAsTerminal(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool terminal = ::isatty(fd);
    ::close(fd);
    return terminal;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestRehearsal : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { silenceDebugOutput(); }
    void init()
    {
        resetEngineState();
        resetWindowState();
    }

    void portAndImage();
    void replugsAfterHangUp();
    void updateThroughTheWindow_data();
    void updateThroughTheWindow();
    void programStartsOnTheSimulatedDevice();
};

void TestRehearsal::portAndImage()
{
    QString folder;
    {
        Rehearsal rehearsal(unpaced());
        QVERIFY2(rehearsal.start(), qPrintable(rehearsal.errorString()));
        const QList<PortRecord> ports = rehearsal.enumerator()();
        QCOMPARE(ports.size(), 1);
        QVERIFY(qualifiesForUpdate(ports.first()));
        QCOMPARE(ports.first().name, rehearsal.portName());
        QVERIFY(opensAsTerminal(rehearsal.portName()));
        // As the engine opens it; and again, as after a finished update.
        for (int i = 0; i < 2; ++i) {
            QSerialPort serial(rehearsal.portName());
            QVERIFY2(serial.open(QIODevice::ReadWrite), qPrintable(serial.errorString()));
        }
        // A second press is offered the same device while it stays plugged in.
        QCOMPARE(rehearsal.ports().first().name, rehearsal.portName());
        QCOMPARE(rehearsal.plugCount(), 1);

        // The sample image, never where the program lies (where an operator's real image would be).
        folder = rehearsal.imageFolder();
        QCOMPARE(rehearsal.imagePath(), folder + QStringLiteral("VelmorithAL_full.bin"));
        QVERIFY(QDir(folder) != QDir(QCoreApplication::applicationDirPath()));
        const QByteArray onDisk = fileBytes(rehearsal.imagePath());
        QCOMPARE(onDisk.size(), 0x4000 + 32 * 1024);
        QCOMPARE(onDisk, rehearsal.image());
        // Not a constant: a block landing in the wrong place must show in the flash check.
        QVERIFY(onDisk.mid(0x4000, 32) != onDisk.mid(0x4020, 32));
    }
    QVERIFY(!QFileInfo::exists(folder));

    RehearsalOptions none = unpaced();
    none.writeImage = false;
    Rehearsal missing(none);
    QVERIFY(missing.start());
    QVERIFY(!QFileInfo::exists(missing.imagePath()));
}

void TestRehearsal::replugsAfterHangUp()
{
    RehearsalOptions options = unpaced();
    options.unplugAtMessage = 1;
    Rehearsal rehearsal(options);
    QVERIFY(rehearsal.start());
    const QString before = rehearsal.portName();

    const int fd = ::open(QFile::encodeName(before).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    const QByteArray erase = framedMessage("$MERASE,4000,C000");
    QCOMPARE(::write(fd, erase.constData(), size_t(erase.size())), ssize_t(erase.size()));
    QTRY_VERIFY(rehearsal.device().linkClosed());
    ::close(fd);

    const QList<PortRecord> ports = rehearsal.ports();
    QCOMPARE(ports.size(), 1);
    // Plugged in afresh on a pty of its own.
    QVERIFY(ports.first().name != before);
    QVERIFY(qualifiesForUpdate(ports.first()));
    QVERIFY(opensAsTerminal(ports.first().name));
    QCOMPARE(rehearsal.plugCount(), 2);
    // The new device is a healthy one.
    QVERIFY(rehearsal.device().isRunning());
    QVERIFY(!rehearsal.device().linkClosed());
}

void TestRehearsal::updateThroughTheWindow_data()
{
    QTest::addColumn<bool>("replaceImage");
    QTest::addColumn<bool>("flashOk");
    QTest::newRow("sample image") << false << true;
    // The verdict really looks at the flash: an image swapped behind the rehearsal's back fails it.
    QTest::newRow("image replaced") << true << false;
}

// The real window on the rehearsal's port and folder, the way the program wires them, against
// the device on its own thread (unpaced); engine ticks driven from here.
void TestRehearsal::updateThroughTheWindow()
{
    QFETCH(bool, replaceImage);
    QFETCH(bool, flashOk);

    const int size = 0x4000 + 2048 + 12;
    Rehearsal rehearsal(unpaced(size));
    QVERIFY(rehearsal.start());
    if (replaceImage) {
        QFile file(rehearsal.imagePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(rehearsalImage(size, 99));
    }
    QSignalSpy verdicts(&rehearsal, &Rehearsal::applicationStarted);

    WindowRig rig(0, false);
    rig.window();
    QVERIFY(placeDirectory(rehearsal.imageFolder()));
    rig.window().setPortEnumerator(rehearsal.enumerator());
    rig.pressStart({ModalDriver::click(QStringLiteral("OK")), ModalDriver::click(QStringLiteral("OK"))});
    QCOMPARE(rig.engines().size(), 1);
    BootTest *engine = rig.engines().first();
    QCOMPARE(engine->imagePath(), rehearsal.imagePath());

    // Replies come on their own (real) time; a tick only after the link has been quiet a moment.
    for (int tick = 0; tick < 200 && engine->isRunning(); ++tick) {
        qint64 bytes = -1;
        while (bytes != rehearsal.device().counters().bytesReceived) {
            bytes = rehearsal.device().counters().bytesReceived;
            QTest::qWait(15);
        }
        WindowRig::tickEngine(engine);
        rig.tickWindow();
    }
    QCOMPARE(engine->condition(), BootTest::Completed);

    QTRY_COMPARE(verdicts.size(), 1);
    const QList<QVariant> verdict = verdicts.first();
    QCOMPARE(verdict.at(0).toLongLong(), 1);
    QCOMPARE(verdict.at(1).toBool(), flashOk);
    const QString line =
        Rehearsal::verdictLine(verdict.at(0).toLongLong(), verdict.at(1).toBool(), verdict.at(2).toString());
    QVERIFY2(line.startsWith(flashOk ? QStringLiteral("Rehearsal flash check after start 1: OK - ")
                                     : QStringLiteral("Rehearsal flash check after start 1: WRONG - ")),
             qPrintable(line));
    QVERIFY(!line.contains(QLatin1Char('\n')));
}

void TestRehearsal::programStartsOnTheSimulatedDevice()
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("qt.*=false"));
    environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{type}|%{message}"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(DemoExecutable, {QStringLiteral("--unpaced")});
    QVERIFY(process.waitForStarted(5000));
    QStringList lines;
    QDeadlineTimer deadline(10000);
    while (lines.size() < 5 && !deadline.hasExpired() && process.state() == QProcess::Running) {
        process.waitForReadyRead(100);
        while (process.canReadLine()) {
            const QString line = QString::fromUtf8(process.readLine()).trimmed();
            if (line.startsWith(QStringLiteral("debug|")))
                lines << line.mid(6);
        }
    }
    QCOMPARE(lines.size(), 5);
    // The window's own two lines first: the program path, then its folder.
    QCOMPARE(lines.at(0), DemoExecutable);
    QCOMPARE(lines.at(1), QFileInfo(DemoExecutable).path() + QLatin1Char('/'));
    const QString folder =
        QRegularExpression(
            QStringLiteral("^Rehearsal: the image is taken from (/\\S+/) \\(not the program's folder\\): "
                           "a sample of 49152 bytes$"))
            .match(lines.at(2))
            .captured(1);
    const QString port = QRegularExpression(QStringLiteral("^Rehearsal: simulated Autoloader on (\\S+) unpaced$"))
                             .match(lines.at(4))
                             .captured(1);
    QVERIFY2(!folder.isEmpty() && QDir(folder) != QDir(QFileInfo(DemoExecutable).path()), qPrintable(lines.at(2)));
    QCOMPARE(fileBytes(folder + QStringLiteral("VelmorithAL_full.bin")).size(), 49152);
    QVERIFY2(!port.isEmpty() && opensAsTerminal(port), qPrintable(lines.at(4)));
    QCOMPARE(lines.at(3), QStringLiteral("Rehearsal: update logs go to %1logs").arg(folder));

    // Ended as from a terminal: it tidies up after itself.
    process.terminate();
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(!QFileInfo::exists(folder), qPrintable(folder));
}

QTEST_MAIN(TestRehearsal)
#include "tst_rehearsal.moc"
