// velmorith-sim: the Autoloader's bootloader on a pseudo-terminal. Prints the slave's path
// as its first line on stdout; point the updater (or a test) at that path.
#include "flashcheck.h"
#include "threadeddevice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>

namespace {

struct FaultOption
{
    FaultKind kind;
    const char *name;
    const char *what;
};

const FaultOption faultOptions[] = {
    {FaultKind::LoseCommand, "lose-command", "Lose commands: the device never sees them"},
    {FaultKind::LoseReply, "lose-reply", "Lose replies: processed, but the reply never arrives"},
    {FaultKind::CorruptReply, "corrupt-reply", "Corrupt one byte of replies so that the updater must drop them"},
    {FaultKind::NoiseBytes, "noise-bytes", "Put noise bytes (see --noise-count) in front of replies"},
    {FaultKind::NoiseLine, "noise-line", "Put a line of garbage (see --noise-line-length) before replies"},
    {FaultKind::SplitReply, "split-reply", "Write replies in several pieces (see --split-pieces)"},
    {FaultKind::DelayReply, "delay-reply", "Hold replies past the updater's timeout (see --delay-ticks)"},
    {FaultKind::Unplug, "unplug", "Stop answering altogether from then on (see --unplug-hangs-up)"},
};

// "0.05", "@7", "@7,@12", "0.01,@3": a rate and/or message numbers.
bool parseFaultRule(const QString &text, FaultRule &rule)
{
    for (const QString &item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        if (item.startsWith(QLatin1Char('@'))) {
            const qint64 n = item.mid(1).toLongLong(&ok);
            if (!ok || n < 1)
                return false;
            rule.atMessages.push_back(n);
        } else {
            rule.rate = item.toDouble(&ok);
            if (!ok || rule.rate < 0 || rule.rate > 1)
                return false;
        }
    }
    return true;
}

bool writeFlashFile(const QString &path, const QByteArray &flash)
{
    // Replaced whole, so a reader never sees half a flash.
    const QString temporary = path + QStringLiteral(".part");
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(flash) != flash.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(temporary));
        return false;
    }
    file.close();
    QFile::remove(path);
    return QFile::rename(temporary, path);
}

void printCounters(const DeviceCounters &c)
{
    std::fprintf(stderr,
                 "messages %lld (bad %lld, protocol errors %lld); erase %lld, program %lld, start %lld, "
                 "unknown %lld; erased %lld times, %lld blocks written, %lld replies sent\n"
                 "faults: commands lost %lld, replies lost %lld, corrupted %lld, noise %lld, noise lines %lld, "
                 "split %lld, delayed %lld, erases unanswered %lld, unplugged at %lld\n",
                 c.messagesReceived, c.badMessages, c.protocolErrors, c.erasesReceived, c.programsReceived,
                 c.applicationStarts, c.unknownReceived, c.eraseCount, c.blocksProgrammed, c.repliesSent,
                 c.commandsLost, c.repliesLost, c.repliesCorrupted, c.noiseInsertions, c.noiseLines, c.repliesSplit,
                 c.repliesDelayed, c.erasesUnanswered, c.unpluggedAt);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velmorith-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays the Autoloader's bootloader on a pseudo-terminal. The first line on stdout is the\n"
                       "path of the terminal to open as the serial port. 64 KiB of flash, 0xFF at start;\n"
                       "answers \"$MERASE\" with \"$MERASEA\" and \"$MPRG\" with \"$MPRGA\", silently drops\n"
                       "messages with bad framing or checksum. Runs until SIGINT, SIGTERM or SIGHUP.\n"
                       "Faults take RULE: a rate from 0 to 1 (seeded), and/or message numbers as @N\n"
                       "(counting every line received, from 1), comma-separated, e.g. 0.02 or @5,@9 or 0.01,@3."));
    parser.addHelpOption();

    const QCommandLineOption flashFile(QStringLiteral("flash-file"),
                                       QStringLiteral("Write the whole flash (64 KiB) to FILE when \"$MJAPP\" "
                                                      "arrives and again on exit."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption image(QStringLiteral("image"),
                                   QStringLiteral("Check the flash against the image FILE when \"$MJAPP\" "
                                                  "arrives and on exit; exit status 1 if it is wrong at exit."),
                                   QStringLiteral("FILE"));
    const QCommandLineOption exitAfterStart(QStringLiteral("exit-after-start"),
                                            QStringLiteral("Exit once \"$MJAPP\" has arrived."));
    const QCommandLineOption lineEnd(QStringLiteral("line-end"),
                                     QStringLiteral("Line end after each reply: crlf (default), lf, cr or none."),
                                     QStringLiteral("END"), QStringLiteral("crlf"));
    const QCommandLineOption pace(QStringLiteral("pace"),
                                  QStringLiteral("Deliver bytes both ways at the baud rate (10 bits a byte) "
                                                 "and wait the processing delays, as a real bench does."));
    const QCommandLineOption baud(QStringLiteral("baud"),
                                  QStringLiteral("Baud rate for --pace (default 38400); implies --pace."),
                                  QStringLiteral("RATE"), QStringLiteral("38400"));
    const QCommandLineOption processing(QStringLiteral("processing-delay-us"),
                                        QStringLiteral("With --pace: time the device takes per message before "
                                                       "it answers, in microseconds (default 0)."),
                                        QStringLiteral("US"), QStringLiteral("0"));
    const QCommandLineOption eraseDelay(QStringLiteral("erase-delay-ms"),
                                        QStringLiteral("With --pace: extra time an erase takes, in milliseconds "
                                                       "(default 0)."),
                                        QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("Seed of the fault rates; the same seed plays the same "
                                                 "faults (default 1)."),
                                  QStringLiteral("N"), QStringLiteral("1"));
    parser.addOptions({flashFile, image, exitAfterStart, lineEnd, pace, baud, processing, eraseDelay, seed});

    QList<QCommandLineOption> faults;
    for (const FaultOption &f : faultOptions) {
        faults.append(QCommandLineOption(QString::fromLatin1(f.name), QString::fromLatin1(f.what) + QStringLiteral("."),
                                         QStringLiteral("RULE")));
        parser.addOption(faults.last());
    }
    const QCommandLineOption noiseCount(QStringLiteral("noise-count"),
                                        QStringLiteral("Bytes per --noise-bytes insertion (default 8)."),
                                        QStringLiteral("N"), QStringLiteral("8"));
    const QCommandLineOption noiseLineLength(QStringLiteral("noise-line-length"),
                                             QStringLiteral("Bytes of a --noise-line, before its line feed "
                                                            "(default 24)."),
                                             QStringLiteral("N"), QStringLiteral("24"));
    const QCommandLineOption splitPieces(QStringLiteral("split-pieces"),
                                         QStringLiteral("Writes per --split-reply reply (default 3); unpaced "
                                                        "they are 2 ms apart, paced each goes when it has "
                                                        "crossed the wire."),
                                         QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption delayTicks(QStringLiteral("delay-ticks"),
                                        QStringLiteral("How long --delay-reply holds a reply, in 200 ms ticks "
                                                       "(default 13, just past the updater's 12-tick timeout)."),
                                        QStringLiteral("N"), QStringLiteral("13"));
    const QCommandLineOption eraseUnanswered(QStringLiteral("erase-unanswered"),
                                             QStringLiteral("Carry out but do not answer the first N erase "
                                                            "commands (default 0)."),
                                             QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption unplugHangsUp(QStringLiteral("unplug-hangs-up"),
                                           QStringLiteral("With --unplug: also close the terminal, so that the "
                                                          "updater's port reports the device gone; the program "
                                                          "then exits."));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("Print no counters on exit and nothing when \"$MJAPP\" arrives."));
    parser.addOptions({noiseCount, noiseLineLength, splitPieces, delayTicks, eraseUnanswered, unplugHangsUp, quiet});
    parser.process(app);

    auto fail = [](const QString &text) {
        std::fprintf(stderr, "velmorith-sim: %s\n", qPrintable(text));
        return 2;
    };
    auto integer = [&](const QCommandLineOption &option, qint64 low, bool &ok) {
        const qint64 v = parser.value(option).toLongLong(&ok);
        ok = ok && v >= low;
        return v;
    };

    DeviceConfig config;
    LinkPacing pacing;
    bool ok = true;
    const QString end = parser.value(lineEnd);
    if (end == QLatin1String("crlf"))
        config.lineEnd = "\r\n";
    else if (end == QLatin1String("lf"))
        config.lineEnd = "\n";
    else if (end == QLatin1String("cr"))
        config.lineEnd = "\r";
    else if (end == QLatin1String("none"))
        config.lineEnd.clear();
    else
        return fail(QStringLiteral("--line-end takes crlf, lf, cr or none"));
    config.seed = parser.value(seed).toULongLong(&ok);
    if (!ok)
        return fail(QStringLiteral("--seed takes a number"));
    for (int i = 0; i < faults.size(); ++i) {
        if (parser.isSet(faults[i]) && !parseFaultRule(parser.value(faults[i]), config.fault(faultOptions[i].kind)))
            return fail(QStringLiteral("--%1 takes a rate from 0 to 1 and/or @N message numbers")
                            .arg(QString::fromLatin1(faultOptions[i].name)));
    }
    const struct
    {
        const QCommandLineOption &option;
        qint64 low;
        qint64 *target64;
        int *target;
    } numbers[] = {
        {baud, 1, nullptr, &pacing.baud},
        {processing, 0, &pacing.processingDelayUs, nullptr},
        {eraseDelay, 0, &pacing.eraseDelayUs, nullptr},
        {noiseCount, 0, nullptr, &config.noiseBytes},
        {noiseLineLength, 0, nullptr, &config.noiseLineBytes},
        {splitPieces, 2, nullptr, &config.splitPieces},
        {delayTicks, 0, nullptr, &config.delayTicks},
        {eraseUnanswered, 0, nullptr, &config.eraseUnanswered},
    };
    for (const auto &n : numbers) {
        const qint64 v = integer(n.option, n.low, ok);
        if (!ok || v > INT32_MAX)
            return fail(QStringLiteral("--%1 takes a whole number from %2").arg(n.option.names().first()).arg(n.low));
        if (n.target)
            *n.target = int(v);
        else
            *n.target64 = v;
    }
    pacing.eraseDelayUs *= 1000;
    pacing.enabled = parser.isSet(pace) || parser.isSet(baud);
    config.unplugClosesLink = parser.isSet(unplugHangsUp);

    QByteArray imageBytes;
    if (parser.isSet(image)) {
        QFile file(parser.value(image));
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read the image %1").arg(file.fileName()));
        imageBytes = file.readAll();
    }
    const QString flashPath = parser.value(flashFile);
    const bool verbose = !parser.isSet(quiet);

    // Signals are taken by sigtimedwait below, on this thread only.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ThreadedDevice device(config, pacing);
    std::atomic<qint64> starts{0};
    device.setStartHandler([&](qint64 count, const QByteArray &flash) {
        if (!flashPath.isEmpty())
            writeFlashFile(flashPath, flash);
        if (verbose) {
            std::fprintf(stderr, "application started (%lld)%s%s\n", count, imageBytes.isEmpty() ? "" : ": ",
                         imageBytes.isEmpty() ? "" : qPrintable(checkFlash(flash, imageBytes).description));
        }
        starts = count;
    });
    if (!device.start())
        return fail(QStringLiteral("no pseudo-terminal to be had"));
    std::printf("%s\n", qPrintable(device.slavePath()));
    std::fflush(stdout);

    const timespec poll{0, 100 * 1000 * 1000};
    for (;;) {
        const int signal = sigtimedwait(&stopSignals, nullptr, &poll);
        if (signal > 0)
            break;
        if (parser.isSet(exitAfterStart) && starts.load() > 0)
            break;
        if (device.linkClosed())
            break;
    }
    device.stop();

    const QByteArray flash = device.flash();
    if (!flashPath.isEmpty())
        writeFlashFile(flashPath, flash);
    if (verbose)
        printCounters(device.counters());
    if (!imageBytes.isEmpty()) {
        const FlashCheck check = checkFlash(flash, imageBytes);
        if (verbose)
            std::fprintf(stderr, "%s\n", qPrintable(check.description));
        return check.ok ? 0 : 1;
    }
    return 0;
}
