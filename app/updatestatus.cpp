#include "updatestatus.h"

#include "boottest.h"

#include <QCoreApplication>
#include <QDir>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("VelmorithUpdate", text);
}

QString progressText(const BootTest &engine)
{
    // Back after a lost connection: the unit behind the cable may be another, so all goes again.
    // Said until the erase is answered, and for a few seconds at least, so that a window's status
    // bar, which looks five times a second, shows it even when the device answers at once.
    if (engine.restartCount() > 0 && (engine.phase() == BootTest::Erasing || engine.msSinceRestart() < 3000))
        return tr("Connection back - writing the whole image again");
    const qint64 left = engine.estimatedMsLeft();
    switch (engine.phase()) {
    case BootTest::Erasing:
        break;
    case BootTest::Writing:
        if (left < 0)
            return tr("Writing firmware: %1 %").arg(UpdateStatus::percent(engine));
        return tr("Writing firmware: %1 % - about %2 left")
            .arg(UpdateStatus::percent(engine))
            .arg(UpdateStatus::duration(left));
    case BootTest::Filling:
        if (left >= 0)
            return tr("Clearing the rest of the flash - about %1 left").arg(UpdateStatus::duration(left));
        return tr("Clearing the rest of the flash - Please wait");
    case BootTest::Starting:
        return tr("Starting the new firmware - Please wait");
    }
    return tr("Erasing the device - Please wait");
}

QString silence(const BootTest &engine)
{
    return (engine.phase() == BootTest::Erasing ? tr("Erase not answered for %1 - check the cable")
                                                : tr("Device not answering for %1 - check the cable"))
        .arg(UpdateStatus::duration(engine.silentForMs()));
}

} // namespace

namespace UpdateStatus {

QString text(const BootTest &engine)
{
    // The reason before the path: if anything is cut, it is part of the path.
    const QString image = QDir::toNativeSeparators(engine.imagePath());
    switch (engine.condition()) {
    case BootTest::Working:
        return progressText(engine);
    case BootTest::NotAnswering:
        // The likeliest causes: the cable, or the unit not in its bootloader.
        return silence(engine) + QLatin1Char('\n') + tr("Unit LEDs Red Blue Red? The update resumes once it answers");
    case BootTest::LinkLost:
        // The port is opened again by itself once the adapter is back: nothing to press.
        return tr("Connection to the device lost - plug the USB cable back in; the update goes on by itself") +
               QLatin1Char('\n') + silence(engine);
    case BootTest::PortFailed:
        return tr("Port %1 cannot be opened: %2").arg(engine.portName(), engine.portProblem());
    case BootTest::ImageRefused:
        if (image.isEmpty())
            return tr("Firmware image %1").arg(engine.imageProblem());
        return tr("Firmware image %1: %2").arg(engine.imageProblem(), image);
    case BootTest::Completed: {
        const QString done =
            tr("Update complete in %1 s").arg(QString::number(double(engine.elapsedMs()) / 1000.0, 'f', 1)) +
            imageChanged(engine);
        const QString hint = latencyHint(engine);
        return hint.isEmpty() ? done : done + QLatin1Char('\n') + hint;
    }
    case BootTest::Retired:
        break;
    }
    return QString();
}

QString latencyHint(const BootTest &engine)
{
    const int held = engine.heldAnswerMs();
    if (held < 0)
        return QString();
    if (engine.isRunning())
        return tr("The port holds each of the device's answers about %1 ms (its latency timer): at 1 ms updates run "
                  "faster (%2)")
            .arg(QString::number(held), engine.lowerLatencyHowTo());
    if (engine.condition() != BootTest::Completed)
        return QString();
    return tr("The update took %1; with the port's latency timer at 1 ms it would take about %2 (%3)")
        .arg(duration(engine.elapsedMs()), duration(engine.msAtLowLatency()), engine.lowerLatencyHowTo());
}

QString imageChanged(const BootTest &engine)
{
    if (engine.imageChangedFrom().isEmpty())
        return QString();
    return tr("; the image file changed during the update; the device has the image as it was at the start "
              "(SHA-256 %1)")
        .arg(engine.imageChangedFrom());
}

int imageBytes(const BootTest &engine)
{
    return qMax(0, engine.imageSize() - int(Protocol::ImageStart));
}

int bytesWritten(const BootTest &engine)
{
    // The fill blocks carry the address past the image's end.
    return qBound(0, engine.currentMasterAddress() - int(Protocol::ImageStart), imageBytes(engine));
}

int percent(const BootTest &engine)
{
    return int(qint64(bytesWritten(engine)) * 100 / qMax(1, imageBytes(engine)));
}

QString duration(qint64 ms)
{
    const qint64 seconds = (ms + 999) / 1000;
    if (seconds < 60)
        return tr("%1 s").arg(seconds);
    return tr("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
}

} // namespace UpdateStatus
