// velmorith-flash: the update from the command line, for service benches, scripts and
// production lines. One process, one port, one update.
#include "console.h"
#include "flashcommand.h"
#include "interruption.h"
#include "programpath.h"

#include <QCoreApplication>

namespace {

FlashCommand *command = nullptr;

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg) {
        if (command)
            command->debugLine(message);
        return;
    }
    Console::write(stderr, qFormatLogMessage(type, context, message) + QLatin1Char('\n'));
}

} // namespace

int main(int argc, char *argv[])
{
    // As the window does: the default image lies beside the program.
    recordProgramPath(argc > 0 ? argv[0] : nullptr);
    QCoreApplication application(argc, argv);
    // The window's name: both programs keep their update logs in the same folder.
    QCoreApplication::setApplicationName(QStringLiteral("VelmorithUpdate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMORITH_VERSION));
    settleProgramDirectory();

    Console::ignoreClosedReaders();
    FlashCommand::Output output;
    output.out = [](const QString &text) { Console::write(stdout, text); };
    output.err = [](const QString &text) { Console::write(stderr, text); };
    output.terminal = Console::isTerminal(stderr);
    int exitCode = 0;
    {
        FlashCommand flash(output, systemSerialPorts, Interruption::requested);
        command = &flash;
        qInstallMessageHandler(handleMessage);
        // Before the image is read: a pipe given as the image may keep it waiting.
        Interruption interruption([&flash] { flash.interrupt(); });
        exitCode = flash.prepare(QCoreApplication::arguments());
        if (exitCode < 0) {
            QObject::connect(&flash, &FlashCommand::finished, &application, &QCoreApplication::exit);
            flash.start();
            exitCode = application.exec();
        }
        command = nullptr; // its engine's last lines are for the log only
    }
    qInstallMessageHandler(nullptr);
    Interruption::finished();
    return exitCode;
}
