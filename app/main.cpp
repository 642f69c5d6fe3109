#include "interruption.h"
#include "programpath.h"
#include "velmorithupdate.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Before anything else, as the runtime hands it over; the window cuts it to the directory.
    recordProgramPath(argc > 0 ? argv[0] : nullptr);
    QApplication application(argc, argv);
    // Names the per-user folder that holds the update logs, whatever the executable is called.
    QCoreApplication::setApplicationName(QStringLiteral("VelmorithUpdate"));
    // Declared after the application, so it goes first.
    VelmorithUpdate window;
    // A kill, Ctrl+C or a closed terminal ends it as closing the window does: the window stops its
    // update, which logs its outcome and puts the port back as it found it.
    Interruption interruption([&application] { application.quit(); });
    window.show();
    return application.exec();
}
