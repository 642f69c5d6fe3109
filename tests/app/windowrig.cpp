#include "windowrig.h"

#include "boottest.h"
#include "enginestate.h"
#include "protocol.h"

#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <cstring>

WindowRig::WindowRig(int ptyCount, bool setDirectory)
{
    if (setDirectory) {
        const QByteArray path = directory().toUtf8();
        std::memset(appDirectory, 0, sizeof appDirectory);
        std::memcpy(appDirectory, path.constData(), size_t(qMin(path.size(), int(sizeof appDirectory) - 1)));
    }
    for (int i = 0; i < ptyCount; ++i)
        ptys.push_back(std::make_unique<PtyLink>());
}

WindowRig::~WindowRig()
{
    // Engines are the window's to keep, never to delete; a test tidies them up itself,
    // window first, so their ports close before the ptys go.
    built.reset();
    qDeleteAll(created);
}

QString WindowRig::directory() const
{
    return temporary.path() + QLatin1Char('/');
}

QString WindowRig::imagePath() const
{
    return directory() + QLatin1String(Protocol::ImageFileName);
}

void WindowRig::writeImage(int size)
{
    QFile file(imagePath());
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + 3) & 0xFF);
    file.write(bytes);
}

PortRecord WindowRig::ftdiPort(int index) const
{
    PortRecord port;
    port.name = ptys.at(size_t(index))->slavePath();
    port.valid = true;
    port.busy = false;
    port.manufacturer = QStringLiteral("FTDI");
    port.description = QStringLiteral("USB Serial Port %1").arg(index);
    port.serialNumber = QStringLiteral("FT%1X").arg(index);
    return port;
}

void WindowRig::offerPorts(const QList<PortRecord> &ports)
{
    window().setPortEnumerator([ports] { return ports; });
}

VelmorithUpdate &WindowRig::window()
{
    if (!built) {
        built = std::make_unique<VelmorithUpdate>();
        built->displayTimerObject()->stop();
        built->show();
        if (!QTest::qWaitForWindowExposed(built.get()))
            qWarning("window not exposed");
    }
    return *built;
}

QProgressBar *WindowRig::bar()
{
    return window().findChild<QProgressBar *>(QStringLiteral("progressBarMain"));
}

QStatusBar *WindowRig::statusBar()
{
    return window().findChild<QStatusBar *>(QStringLiteral("statusBar"));
}

QList<SeenDialog> WindowRig::pressStart(const QList<ModalDriver::Action> &script, bool *stuck)
{
    auto *start = window().findChild<QPushButton *>(QStringLiteral("pushButton"));
    const int before = window().engineList().size();
    ModalDriver driver(script);
    QTest::mouseClick(start, Qt::LeftButton);
    const QList<BootTest *> engines = window().engineList();
    for (int i = before; i < engines.size(); ++i) {
        engines.at(i)->findChild<QTimer *>()->stop();
        created << engines.at(i);
    }
    if (stuck)
        *stuck = driver.stuck();
    return driver.seen();
}

void WindowRig::tickWindow(int count)
{
    for (int i = 0; i < count; ++i)
        QMetaObject::invokeMethod(&window(), "on_Timer");
}

void WindowRig::tickEngine(BootTest *engine, int count)
{
    for (int i = 0; i < count; ++i)
        QMetaObject::invokeMethod(engine, "on_Timer");
}

int DevicePlayer::serve(int timeoutMs)
{
    int lines = 0;
    for (;;) {
        const QByteArray line = pty.readLine(lines == 0 ? timeoutMs : 0);
        if (line.isEmpty())
            return lines;
        ++lines;
        QByteArray reply;
        if (line.startsWith("$MERASE,")) {
            reply = "$MERASEA";
        } else if (line.startsWith("$MPRG,")) {
            ++programCommands;
            if (programAnswersLeft != 0)
                reply = "$MPRGA";
            if (programAnswersLeft > 0)
                --programAnswersLeft;
        } else if (line.startsWith("$MJAPP")) {
            ++startApplicationCommands;
        }
        if (answering && !reply.isEmpty()) {
            pty.write(framedMessage(reply));
            awaitingEngine = true;
        }
    }
}
