// velmorith-sim: the simulated Autoloader bootloader on a pseudo-terminal of its own, paced like
// the 38400-baud cable, for a program outside this process (the Windows package under wine).
// Prints the pty's slave path, runs until stdin closes or a signal comes, then prints a summary.
#include "devicemodel.h"
#include "flashcheck.h"
#include "interruption.h"
#include "simdevice.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QStringList>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <unistd.h>

namespace {

// --lose-reply-every: messages numbered this far are covered, far beyond a whole 64 KiB update.
constexpr qint64 LossHorizon = 100000;

bool number(const QCommandLineParser &parser, const QString &name, qint64 low, qint64 &value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    value = parser.value(name).toLongLong(&ok);
    if (ok && value >= low)
        return true;
    std::fprintf(stderr, "velmorith-sim: --%s: '%s' is not a whole number of at least %lld\n", qPrintable(name),
                 qPrintable(parser.value(name)), low);
    return false;
}

bool readFile(const QString &path, QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "velmorith-sim: %s: %s\n", qPrintable(path), qPrintable(file.errorString()));
        return false;
    }
    bytes = file.readAll();
    return true;
}

QString summary(const SimDevice &device, const QString &flashVerdict)
{
    static const char *const faultNames[FaultKindCount] = {
        "lost commands", "lost replies",    "corrupted replies", "noise bytes",        "noise lines",
        "split replies", "delayed replies", "unplugs",           "duplicated replies",
    };
    const DeviceCounters &c = device.counters();
    QStringList faults;
    for (int kind = 0; kind < FaultKindCount; ++kind) {
        if (c.faultsPlayed[size_t(kind)] > 0)
            faults << QStringLiteral("%1 %2").arg(QLatin1String(faultNames[kind])).arg(c.faultsPlayed[size_t(kind)]);
    }
    return QStringLiteral("erases %1, blocks programmed %2, application starts %3, bytes received %4, messages %5 "
                          "(bad %6, refused %7), faults played: %8, hung up: %9; %10")
        .arg(c.eraseCount)
        .arg(c.blocksProgrammed)
        .arg(c.applicationStarts)
        .arg(c.bytesReceived)
        .arg(c.messagesReceived)
        .arg(c.badMessages)
        .arg(c.refused)
        .arg(faults.isEmpty() ? QStringLiteral("none") : faults.join(QStringLiteral(", ")),
             device.isOpen() ? QStringLiteral("no") : QStringLiteral("yes"), flashVerdict);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velmorith-sim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The simulated Autoloader bootloader on a new pseudo-terminal, paced at 38400 baud. The first line\n"
        "on stdout is the pseudo-terminal's path for the program to open. Once stdin closes (or on SIGTERM,\n"
        "SIGINT, SIGHUP) one line sums up what the device did, and it exits."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("silent-erases"), QStringLiteral("Carry out the first N erases without answering them."),
         QStringLiteral("N")},
        {QStringLiteral("lose-reply-every"),
         QStringLiteral("Carry out every Nth message (N, 2N, ...) without answering it."), QStringLiteral("N")},
        {QStringLiteral("unplug-at"), QStringLiteral("From the Nth message on (1 is the first erase), see nothing."),
         QStringLiteral("N")},
        {QStringLiteral("hang-up"), QStringLiteral("With --unplug-at: close the link there, as a pulled cable.")},
        {QStringLiteral("hang-up-after-start"),
         QStringLiteral("Close the link once the start command has arrived, as the application takes the line.")},
        {QStringLiteral("silent"), QStringLiteral("See no message at all: nothing is carried out or answered.")},
        {QStringLiteral("flash"),
         QStringLiteral("Start from the 64 KiB flash in FILE (erased when it does not exist); written back at the "
                        "end, so that a later run goes on with the same device."),
         QStringLiteral("FILE")},
        {QStringLiteral("image"),
         QStringLiteral("At the end, say whether the flash is exactly what a complete update with FILE gives."),
         QStringLiteral("FILE")},
        {QStringLiteral("record"), QStringLiteral("Append every byte received to FILE."), QStringLiteral("FILE")},
        {QStringLiteral("link"),
         QStringLiteral("Name the pseudo-terminal LINK too (a symbolic link, e.g. a wine prefix's dosdevices/com5), "
                        "as the system names a plugged adapter: the name goes as soon as the device hangs up or "
                        "ends."),
         QStringLiteral("LINK")},
    });
    parser.process(application);
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "velmorith-sim: unexpected argument '%s'\n", qPrintable(parser.positionalArguments()[0]));
        return 1;
    }

    DeviceConfig config;
    qint64 silentErases = 0, loseEvery = 0, unplugAt = 0;
    if (!number(parser, QStringLiteral("silent-erases"), 0, silentErases) ||
        !number(parser, QStringLiteral("lose-reply-every"), 1, loseEvery) ||
        !number(parser, QStringLiteral("unplug-at"), 1, unplugAt))
        return 1;
    if (parser.isSet(QStringLiteral("hang-up")) && unplugAt == 0) {
        std::fprintf(stderr, "velmorith-sim: --hang-up needs --unplug-at\n");
        return 1;
    }
    config.eraseUnanswered = int(qMin<qint64>(silentErases, INT_MAX));
    for (qint64 m = loseEvery; loseEvery > 0 && m <= LossHorizon; m += loseEvery)
        config.fault(FaultKind::LoseReply).atMessages.push_back(m);
    if (unplugAt > 0)
        config.fault(FaultKind::Unplug).atMessages.push_back(unplugAt);
    config.unplugClosesLink = parser.isSet(QStringLiteral("hang-up"));
    config.hangUpAfterStart = parser.isSet(QStringLiteral("hang-up-after-start"));
    if (parser.isSet(QStringLiteral("silent")))
        config.fault(FaultKind::LoseCommand).rate = 1.0;

    const QString flashPath = parser.value(QStringLiteral("flash"));
    if (!flashPath.isEmpty() && QFile::exists(flashPath)) {
        if (!readFile(flashPath, config.initialFlash))
            return 2;
        if (config.initialFlash.size() != Sim::FlashSize) {
            std::fprintf(stderr, "velmorith-sim: %s holds %d bytes, not a 64 KiB flash\n", qPrintable(flashPath),
                         int(config.initialFlash.size()));
            return 2;
        }
    }
    QByteArray image;
    const bool checking = parser.isSet(QStringLiteral("image"));
    if (checking && !readFile(parser.value(QStringLiteral("image")), image))
        return 2;
    QFile record(parser.value(QStringLiteral("record")));
    if (parser.isSet(QStringLiteral("record")) && !record.open(QIODevice::Append | QIODevice::Unbuffered)) {
        std::fprintf(stderr, "velmorith-sim: %s: %s\n", qPrintable(record.fileName()),
                     qPrintable(record.errorString()));
        return 2;
    }

    LinkPacing pacing;
    pacing.enabled = true;
    SimDevice device(config, pacing);
    if (!device.isOpen()) {
        std::fprintf(stderr, "velmorith-sim: no pseudo-terminal to be had\n");
        return 2;
    }
    if (record.isOpen())
        QObject::connect(&device, &SimDevice::received, &record,
                         [&record](const QByteArray &bytes) { record.write(bytes); });
    if (parser.isSet(QStringLiteral("link")) && !device.linkAs(parser.value(QStringLiteral("link")))) {
        std::fprintf(stderr, "velmorith-sim: cannot link %s to %s\n", qPrintable(parser.value(QStringLiteral("link"))),
                     qPrintable(device.slavePath()));
        return 2;
    }
    std::printf("%s\n", qPrintable(device.slavePath()));
    std::fflush(stdout);

    bool ending = false;
    const auto end = [&] {
        if (ending)
            return;
        ending = true;
        // The program on the other end is gone: take in what it wrote last.
        device.settle(5000);
        QString verdict = QStringLiteral("flash not checked");
        if (checking)
            verdict = checkFlash(device.flash(), image).description;
        std::printf("%s\n", qPrintable(summary(device, verdict)));
        std::fflush(stdout);
        int code = 0;
        if (!flashPath.isEmpty()) {
            QSaveFile out(flashPath);
            if (!out.open(QIODevice::WriteOnly) || out.write(device.flash()) != Sim::FlashSize || !out.commit()) {
                std::fprintf(stderr, "velmorith-sim: %s: %s\n", qPrintable(flashPath), qPrintable(out.errorString()));
                code = 2;
            }
        }
        QCoreApplication::exit(code);
    };
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &input, [&] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            input.setEnabled(false);
            end();
        }
    });
    Interruption interruption(end);
    return application.exec();
}
