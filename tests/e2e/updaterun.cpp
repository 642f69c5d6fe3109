#include "updaterun.h"

#include "debugcapture.h"
#include "engineprobe.h"
#include "enginestate.h"
#include "inthreaddevice.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstring>

QString runLogFolder;

QByteArray sampleImage(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray image(size, Qt::Uninitialized);
    for (char &c : image)
        c = char(random.bounded(256));
    return image;
}

UpdateOutcome runUpdate(const QByteArray &image, const DeviceConfig &config, int maxTicks,
                        const QList<StrayBytes> &strays)
{
    UpdateOutcome outcome;
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/VelmorithAL_full.bin");
    if (image == "<folder>") {
        QDir(dir.path()).mkdir(QStringLiteral("VelmorithAL_full.bin"));
    } else if (!image.isNull()) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return outcome;
        file.write(image);
    }
    resetEngineState();
    UpdateLog::setFolder(runLogFolder.isEmpty() ? dir.path() + QStringLiteral("/logs") : runLogFolder);
    DebugCapture debug;
    const QByteArray directory = dir.path().toUtf8() + '/';
    std::memcpy(appDirectory, directory.constData(), size_t(directory.size()) + 1);

    InThreadDevice device(config);
    if (!device.isOpen())
        return outcome;
    BootTest engine(device.slavePath());
    EngineProbe::timer(&engine)->stop();

    while (outcome.ticks < maxTicks) {
        int nextStray = maxTicks;
        for (const StrayBytes &stray : strays) {
            if (stray.beforeTick > outcome.ticks)
                nextStray = qMin(nextStray, stray.beforeTick - 1);
        }
        // While nothing is on its way, the ticks before the next step only count down.
        if (device.pendingReplies() == 0 && tickCountdown > 1) {
            const int idle = qMin(qMin(tickCountdown - 1, maxTicks - outcome.ticks - 1), nextStray - outcome.ticks);
            for (int i = 0; i < idle; ++i) {
                tickEngine(&engine);
                device.tick();
            }
            outcome.ticks += idle;
        }
        for (const StrayBytes &stray : strays) {
            if (stray.beforeTick == outcome.ticks + 1) {
                device.inject(stray.bytes);
                device.settle();
            }
        }
        tickEngine(&engine);
        device.tick();
        ++outcome.ticks;
        device.settle();
        if (!engine.isRunning() && !EngineProbe::port(&engine)->isOpen())
            break;
        // The final stage leaves the port open after some replies; nothing more will happen.
        if (!engine.isRunning() && tickCountdown == 0 && device.pendingReplies() == 0)
            break;
    }
    outcome.finished = !engine.isRunning();
    outcome.condition = engine.condition();
    outcome.portClosed = !EngineProbe::port(&engine)->isOpen();
    outcome.device = device.counters();
    outcome.lastMessage = outcome.device.messagesReceived;
    outcome.startCommandLost = device.model().faultHits(FaultKind::LoseCommand, outcome.lastMessage) &&
                               outcome.device.applicationStarts == 0 && outcome.condition == BootTest::Completed;
    outcome.debug = debug.lines();
    QFile log(engine.logPath());
    if (log.open(QIODevice::ReadOnly | QIODevice::Text))
        outcome.log = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    outcome.flash = checkFlash(device.flash(), image.isNull() || image == "<folder>" ? QByteArray() : image);
    return outcome;
}
