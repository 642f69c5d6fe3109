#include "flashcommand.h"

#include "boottest.h"
#include "latencytimer.h"
#include "portaccess.h"
#include "updatestatus.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QSerialPort>
#include <QTimer>

namespace {

constexpr int TickMs = 200;
constexpr double MaxGiveUpSeconds = 86400;

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

FlashCommand::FlashCommand(Output output, PortEnumerator ports, std::function<bool()> cancelledBy, QObject *parent)
    : QObject(parent), io(std::move(output)), enumerate(std::move(ports)), cancelled(std::move(cancelledBy))
{
}

FlashCommand::~FlashCommand() = default; // an engine still running logs its outcome as it goes

QString FlashCommand::usage()
{
    // Fits an 80-column console.
    return QStringLiteral("Usage: velmorith-flash [--port NAME] [--image FILE] [--give-up-after SECONDS]\n"
                          "                       [--verbose]\n"
                          "       velmorith-flash --list\n"
                          "\n"
                          "Writes new firmware into the Autoloader through its bootloader, as the\n"
                          "VelmorithUpdate window does. First bring the unit into its bootloader: switch it\n"
                          "on holding its Power button until the LEDs show red, blue, red; then plug in the\n"
                          "USB cable.\n"
                          "\n"
                          "Options:\n"
                          "  --port NAME              the serial port (COM7, ttyUSB0, /dev/ttyUSB0);\n"
                          "                           without it, the one free FTDI port\n"
                          "  --image FILE             the firmware image; without it, VelmorithAL_full.bin\n"
                          "                           beside this program\n"
                          "  --give-up-after SECONDS  give up once the device has not answered for this\n"
                          "                           long (default 60)\n"
                          "  --verbose                the update's debug lines on stderr too (they are in\n"
                          "                           its log in any case)\n"
                          "  --list                   list the serial ports and whether each qualifies\n"
                          "  --help, --version\n"
                          "\n"
                          "Progress goes to stderr; the outcome is the last line on stdout. Exit codes:\n"
                          "  0    update complete\n"
                          "  1    usage error\n"
                          "  2    port: none found, several found, or the one named cannot be opened\n"
                          "  3    firmware image refused\n"
                          "  4    gave up: the device did not answer\n"
                          "  5    gave up: the connection to the device was lost\n"
                          "  130  interrupted (Ctrl+C, a kill, the console window closed)\n");
}

int FlashCommand::usageError(const QString &problem)
{
    // The error in sight, not under the whole usage.
    io.err(QStringLiteral("velmorith-flash: %1\nTry 'velmorith-flash --help' for the options.\n").arg(problem));
    return UsageError;
}

int FlashCommand::prepare(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption list(QStringLiteral("list"));
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption image(QStringLiteral("image"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption giveUp(QStringLiteral("give-up-after"), QString(), QStringLiteral("SECONDS"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({list, port, image, giveUp, verboseOption, help, version});
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        io.out(usage());
        return Complete;
    }
    if (parser.isSet(version)) {
        io.out(QStringLiteral("velmorith-flash " VELMORITH_VERSION "\n"));
        return Complete;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first()));
    if (parser.isSet(list))
        return listPorts();
    verbose = parser.isSet(verboseOption);
    if (parser.isSet(giveUp)) {
        bool ok = false;
        const double seconds = parser.value(giveUp).toDouble(&ok);
        if (!ok || !(seconds > 0) || seconds > MaxGiveUpSeconds)
            return usageError(QStringLiteral("--give-up-after: '%1' is not a number of seconds above 0 and up to %2.")
                                  .arg(parser.value(giveUp), QString::number(MaxGiveUpSeconds)));
        giveUpMs = qMax<qint64>(1, qint64(seconds * 1000));
    }
    if (parser.isSet(port) && parser.value(port).isEmpty())
        return usageError(QStringLiteral("--port: no port named."));
    if (parser.isSet(image) && parser.value(image).isEmpty())
        return usageError(QStringLiteral("--image: no file named."));

    // The image first: one that would be refused never gets a port opened.
    // Read once, here: the update sends these bytes, whatever happens to the file afterwards.
    const QString imagePath =
        parser.isSet(image) ? QFileInfo(parser.value(image)).absoluteFilePath() : FirmwareImage::besideProgram();
    firmware = FirmwareImage::load(imagePath, cancelled);
    if (stoppedBeforeStart())
        return Interrupted;
    if (const QString problem = firmware.problem(); !problem.isEmpty()) {
        io.out(imagePath.isNull() ? QStringLiteral("Firmware image %1\n").arg(problem)
                                  : QStringLiteral("Firmware image %1: %2\n").arg(problem, native(imagePath)));
        return ImageProblem;
    }

    if (parser.isSet(port)) {
        portName = parser.value(port);
        return checkPort();
    }
    // As the window searches: exactly one free FTDI port.
    QList<PortRecord> qualifying;
    for (const PortRecord &each : enumerate()) {
        if (qualifiesForUpdate(each))
            qualifying << each;
    }
    if (qualifying.isEmpty()) {
        io.out(QStringLiteral("No device found - check the USB cable and that the unit is in its bootloader, "
                              "or name the port with --port\n"));
        return PortProblem;
    }
    if (qualifying.size() > 1) {
        QStringList names;
        for (const PortRecord &each : qualifying)
            names << QStringLiteral("%1 (serial number %2)").arg(each.name, each.serialNumber);
        io.out(
            QStringLiteral("Several devices found: %1 - name one with --port\n").arg(names.join(QStringLiteral(", "))));
        return PortProblem;
    }
    portName = qualifying.first().name;
    return checkPort();
}

int FlashCommand::checkPort()
{
    // Opened and closed again at once: nothing is written, and what is wrong is the system's to say.
    QSerialPort probe(portName);
    if (!probe.open(QIODevice::ReadWrite)) {
        io.out(QStringLiteral("Port %1 cannot be opened: %2\n").arg(portName, PortAccess::openProblem(probe)));
        return PortProblem;
    }
    // Another update may hold the same device under another name.
    QString heldBy;
    const bool free = PortAccess::claim(probe, heldBy);
    if (free)
        PortAccess::release(probe);
    probe.close();
    if (!free) {
        io.out(QStringLiteral("Port %1 cannot be opened: another program is updating through it (%2)\n")
                   .arg(portName, heldBy));
        return PortProblem;
    }
    return stoppedBeforeStart() ? Interrupted : -1;
}

bool FlashCommand::stoppedBeforeStart()
{
    // Ctrl+C while the checks ran (a pipe given as the image may keep them waiting): no update.
    if (!cancelled || !cancelled())
        return false;
    io.out(QStringLiteral("Stopped by the user before anything was sent\n"));
    return true;
}

int FlashCommand::listPorts()
{
    const QList<PortRecord> ports = enumerate();
    for (const PortRecord &each : ports) {
        const QString verdict = !each.valid ? QStringLiteral("does not qualify: not valid")
                                : each.busy ? QStringLiteral("does not qualify: busy, held by another program")
                                : !qualifiesForUpdate(each) ? QStringLiteral("does not qualify: not made by FTDI")
                                                            : QStringLiteral("qualifies");
        const QString latency = each.latencyMs < 0 ? QString()
                                                   : QStringLiteral(", latency timer %1 ms (%2)")
                                                         .arg(QString::number(each.latencyMs),
                                                              each.latencyMs > LatencyTimer::LowestWorthIt
                                                                  ? QStringLiteral("at 1 ms updates run faster")
                                                                  : QStringLiteral("nothing to gain"));
        QString adapter;
        if (each.vendorId >= 0)
            adapter += QStringLiteral(", USB %1:%2")
                           .arg(each.vendorId, 4, 16, QLatin1Char('0'))
                           .arg(each.productId, 4, 16, QLatin1Char('0'));
        if (!each.serialNumber.isEmpty())
            adapter += QStringLiteral(", serial number ") + each.serialNumber;
        // For scripts: the name that stays with the adapter when the system numbers it anew.
        const QString stable = each.stableName.isEmpty() ? QString() : QStringLiteral("; by id: ") + each.stableName;
        io.out(QStringLiteral("%1: %2, %3%4 - %5%6%7\n")
                   .arg(each.name,
                        each.manufacturer.isEmpty() ? QStringLiteral("(no manufacturer)") : each.manufacturer,
                        each.description.isEmpty() ? QStringLiteral("(no description)") : each.description, adapter,
                        verdict, latency, stable));
    }
    if (ports.isEmpty())
        io.out(QStringLiteral("No serial ports found\n"));
    return Complete;
}

void FlashCommand::start()
{
    engine.reset(new BootTest(portName, firmware));
    ticker = new QTimer(this);
    connect(ticker, &QTimer::timeout, this, &FlashCommand::onTick);
    ticker->start(TickMs);
    sayLogProblem();
    showProgress();
}

void FlashCommand::interrupt()
{
    if (ended || !engine)
        return;
    engine->stop(QStringLiteral("stopped by the user"));
    // In the final pause the work is done: the unit is starting its new firmware.
    if (engine->condition() == BootTest::Completed)
        end(Complete, completeLine() + QStringLiteral(" (stopped in its final second: the start command had gone out, "
                                                      "the unit is starting its new firmware)"));
    else
        end(Interrupted, QStringLiteral("Update stopped by the user - the device stays in its bootloader until it is "
                                        "updated"));
}

QString FlashCommand::completeLine() const
{
    return QStringLiteral("Update complete: %1 bytes in %2 s%3")
        .arg(UpdateStatus::imageBytes(*engine))
        .arg(QString::number(double(engine->elapsedMs()) / 1000.0, 'f', 1), engine->linkSummary());
}

void FlashCommand::onTick()
{
    if (ended)
        return;
    sayLogProblem();
    if (!engine->isRunning()) {
        if (engine->condition() == BootTest::Completed)
            end(Complete, completeLine());
        else // nothing was sent: the image or the port
            end(engine->condition() == BootTest::PortFailed ? PortProblem : ImageProblem, UpdateStatus::text(*engine));
        return;
    }
    // The window waits for the operator without end; a script needs an end.
    if (engine->silentForMs() >= giveUpMs) {
        const QString silence = UpdateStatus::duration(engine->silentForMs());
        if (engine->condition() == BootTest::LinkLost) {
            // Every block answered, but the start command never reached a unit.
            const bool beforeStart = engine->awaitingStartCommand();
            engine->stop(QStringLiteral("gave up: no answer for %1").arg(silence));
            end(ConnectionLost,
                beforeStart ? QStringLiteral("Gave up: the connection to the device was lost before the start command "
                                             "went out, no answer for %1 - the unit did not get it and stays in its "
                                             "bootloader; reconnect it and run again")
                                  .arg(silence)
                            : QStringLiteral("Gave up: the connection to the device was lost, no answer for %1 - "
                                             "reconnect it and run again")
                                  .arg(silence));
        } else {
            engine->stop(QStringLiteral("gave up: the device did not answer for %1").arg(silence));
            end(NotAnswering, QStringLiteral("Gave up: the device did not answer for %1 - check the cable and that "
                                             "the unit is in its bootloader (LEDs red, blue, red)")
                                  .arg(silence));
        }
        return;
    }
    showProgress();
}

QString FlashCommand::progressLine() const
{
    const BootTest &e = *engine;
    QString what;
    if (e.condition() == BootTest::NotAnswering) {
        what = UpdateStatus::text(e).section(QLatin1Char('\n'), 0, 0);
    } else if (e.condition() == BootTest::LinkLost) {
        // The update goes on once the adapter is back; until the give-up time has run out.
        what = QStringLiteral("Connection lost - plug the USB cable back in (giving up in %1)")
                   .arg(UpdateStatus::duration(qMax<qint64>(0, giveUpMs - e.silentForMs())));
    } else {
        switch (e.phase()) {
        case BootTest::Erasing:
            what = e.restartCount() > 0 ? QStringLiteral("Connection back - writing the whole image again")
                                        : QStringLiteral("Erasing the device");
            break;
        case BootTest::Writing:
            what = QStringLiteral("Writing firmware: %1 of %2 bytes")
                       .arg(UpdateStatus::bytesWritten(e))
                       .arg(UpdateStatus::imageBytes(e));
            break;
        case BootTest::Filling:
            what = QStringLiteral("Clearing the rest of the flash");
            break;
        case BootTest::Starting:
            what = QStringLiteral("Starting the new firmware");
            break;
        }
        const qint64 left = e.estimatedMsLeft();
        if (left >= 0 && (e.phase() == BootTest::Writing || e.phase() == BootTest::Filling))
            what += QStringLiteral(" - about %1 left").arg(UpdateStatus::duration(left));
    }
    return QStringLiteral("%1 %  %2").arg(UpdateStatus::percent(e), 3).arg(what);
}

void FlashCommand::showProgress()
{
    const QString line = progressLine();
    if (io.terminal) {
        if (line != drawn)
            io.err(QLatin1Char('\r') + line + QString(qMax(0, drawn.size() - line.size()), QLatin1Char(' ')));
        drawn = line;
        return;
    }
    // In a pipe or a CI log: a line when the phase or the condition changes, and at every tenth;
    // while the link is lost, once.
    const QString said = engine->condition() == BootTest::LinkLost ? QStringLiteral("lost")
                                                                   : QStringLiteral("%1 %2 %3")
                                                                         .arg(int(engine->phase()))
                                                                         .arg(int(engine->condition()))
                                                                         .arg(UpdateStatus::percent(*engine) / 10);
    if (said != lastShown)
        io.err(line + QLatin1Char('\n'));
    lastShown = said;
}

void FlashCommand::clearProgress()
{
    if (io.terminal && !drawn.isEmpty())
        io.err(QLatin1Char('\r') + QString(drawn.size(), QLatin1Char(' ')) + QLatin1Char('\r'));
    drawn.clear();
}

void FlashCommand::sayLogProblem()
{
    // The log is what support asks for after a failed update: its absence is said, --verbose or not.
    const QString problem = engine->logProblem();
    if (logProblemSaid || problem.isEmpty())
        return;
    logProblemSaid = true;
    clearProgress();
    io.err((engine->logPath().isEmpty() ? QStringLiteral("No log written: ")
                                        : QStringLiteral("Log of this update incomplete: ")) +
           problem + QLatin1Char('\n'));
}

void FlashCommand::debugLine(const QString &line)
{
    if (!verbose)
        return;
    clearProgress();
    io.err(line + QLatin1Char('\n'));
}

void FlashCommand::end(int exitCode, const QString &outcome)
{
    ended = true;
    ticker->stop();
    // The last progress stays in sight.
    if (io.terminal && !drawn.isEmpty())
        io.err(QStringLiteral("\n"));
    drawn.clear();
    // Once, where the update's time is known: what a lower latency timer would save.
    const QString hint = exitCode == Complete ? UpdateStatus::latencyHint(*engine) : QString();
    if (!hint.isEmpty())
        io.err(hint + QLatin1Char('\n'));
    if (!engine->logPath().isEmpty())
        io.out(QStringLiteral("Log of this update: %1\n").arg(native(engine->logPath())));
    io.out(outcome + UpdateStatus::imageChanged(*engine) + QLatin1Char('\n'));
    emit finished(exitCode);
}
