// VelmorithUpdateDemo: the operator's program as it is, offered one "FTDI" port on which the
// simulated Autoloader answers, paced like the real 38400-baud cable, with a sample image.
#include "enginestate.h"
#include "interruption.h"
#include "programpath.h"
#include "rehearsal.h"
#include "updatelog.h"
#include "velmorithupdate.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDebug>

#include <cstdio>

namespace {

bool intValue(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 low, qint64 high,
              qint64 &value)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const qint64 v = parser.value(option).toLongLong(&ok, 0);
    if (!ok || v < low || v > high) {
        std::fprintf(stderr, "--%s: %s is not a number from %lld to %lld\n", qPrintable(option.names().first()),
                     qPrintable(parser.value(option)), low, high);
        return false;
    }
    value = v;
    return true;
}

// The rehearsal's options. Read twice: once without a display, so that --help and bad
// values need none, and again once the application has taken its own options out.
struct Options
{
    QCommandLineParser parser;
    QCommandLineOption unpaced{QStringLiteral("unpaced"),
                               QStringLiteral("Answer as fast as the pseudo-terminal carries bytes instead of at "
                                              "the cable's baud rate.")};
    QCommandLineOption baud{QStringLiteral("baud"), QStringLiteral("Baud rate of the pacing (default 38400)."),
                            QStringLiteral("RATE")};
    QCommandLineOption imageSize{QStringLiteral("image-size"),
                                 QStringLiteral("Bytes of the sample image, the first 0x4000 (never sent) included; "
                                                "default 0xC000 (48 KiB, about 30 s paced). Sizes the updater "
                                                "refuses may be given to rehearse that."),
                                 QStringLiteral("BYTES")};
    QCommandLineOption noImage{QStringLiteral("no-image"),
                               QStringLiteral("Write no sample image: rehearse a missing image.")};
    QCommandLineOption silentErases{QStringLiteral("silent-erases"),
                                    QStringLiteral("The device carries out the first N erase commands without "
                                                   "answering them."),
                                    QStringLiteral("N")};
    QCommandLineOption unplugAt{QStringLiteral("unplug-at"),
                                QStringLiteral("The device goes away at its Nth message (1 is the erase); the next "
                                               "Start finds it plugged in again."),
                                QStringLiteral("N")};

    Options()
    {
        parser.setApplicationDescription(
            QStringLiteral("Rehearsal of the Autoloader update: the real window and update engine, offered one\n"
                           "\"FTDI\" port on which a simulated Autoloader bootloader answers. The sample image\n"
                           "\"VelmorithAL_full.bin\" is written into a temporary folder (an image beside this\n"
                           "program is never used or overwritten). Each time the device is told to start its\n"
                           "application, a line on the debug stream says whether its flash holds the image."));
        parser.addHelpOption();
        parser.addOptions({unpaced, baud, imageSize, noImage, silentErases, unplugAt});
    }

    bool read(RehearsalOptions &options)
    {
        options.paced = !parser.isSet(unpaced);
        options.writeImage = !parser.isSet(noImage);
        qint64 value = options.baud;
        if (!intValue(parser, baud, 300, 4000000, value))
            return false;
        options.baud = int(value);
        value = options.imageSize;
        if (!intValue(parser, imageSize, 0, 16 * 1024 * 1024, value))
            return false;
        options.imageSize = int(value);
        value = 0;
        if (!intValue(parser, silentErases, 0, 1000000, value))
            return false;
        options.silentErases = int(value);
        return intValue(parser, unplugAt, 0, 1000000, options.unplugAtMessage);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    // As the real program does; the window cuts it to the folder, the rehearsal then moves it.
    recordProgramPath(argc > 0 ? argv[0] : nullptr);

    RehearsalOptions options;
    {
        QCoreApplication console(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("VelmorithUpdateDemo"));
        Options first;
        // Unknown options may be the GUI's own (-platform, -style): judged in the second pass.
        first.parser.parse(QCoreApplication::arguments());
        if (first.parser.isSet(QStringLiteral("help")))
            first.parser.showHelp(0);
        if (!first.read(options))
            return 2;
    }

    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("VelmorithUpdateDemo"));
    Options second;
    second.parser.process(application);

    // Ctrl+C or a kill ends the event loop, so that the sample image's folder is removed on the way out.
    Interruption interruption([&application] { application.quit(); });
    Rehearsal rehearsal(options);
    if (!rehearsal.start()) {
        std::fprintf(stderr, "VelmorithUpdateDemo: %s\n", qPrintable(rehearsal.errorString()));
        return 1;
    }
    QObject::connect(&rehearsal, &Rehearsal::applicationStarted, &rehearsal,
                     [](qint64 starts, bool ok, const QString &description) {
                         qDebug().noquote() << Rehearsal::verdictLine(starts, ok, description);
                     });

    // Its logs stay with its sample image, never among an operator's real ones.
    UpdateLog::setFolder(rehearsal.imageFolder() + QStringLiteral("logs"));
    VelmorithUpdate window;
    window.setWindowTitle(QStringLiteral("Autoloader Update - Rehearsal with a simulated device"));
    // Away from the program's own folder, so that a real image there is never used or touched.
    if (!placeDirectory(rehearsal.imageFolder())) {
        std::fprintf(stderr, "VelmorithUpdateDemo: temporary folder path too long: %s\n",
                     qPrintable(rehearsal.imageFolder()));
        return 1;
    }
    qDebug().noquote() << "Rehearsal: the image is taken from" << appDirectory << "(not the program's folder):"
                       << (options.writeImage ? QStringLiteral("a sample of %1 bytes").arg(options.imageSize)
                                              : QStringLiteral("none written"));
    qDebug().noquote() << "Rehearsal: update logs go to" << UpdateLog::folder();
    qDebug().noquote() << "Rehearsal: simulated Autoloader on" << rehearsal.portName()
                       << (options.paced ? QStringLiteral("paced at %1 baud").arg(options.baud)
                                         : QStringLiteral("unpaced"));
    window.setPortEnumerator(rehearsal.enumerator());
    window.show();
    return application.exec();
}
