#include "rehearsal.h"

#include "flashcheck.h"
#include "protocol.h"

#include <QDir>
#include <QFile>

QByteArray rehearsalImage(int size, quint32 seed)
{
    QByteArray bytes(qMax(size, 0), '\0');
    quint32 state = seed * 2654435761u + 1u;
    for (char &byte : bytes) {
        // xorshift: cheap, and no two blocks alike, so a block in the wrong place shows.
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = char(state >> 24);
    }
    return bytes;
}

Rehearsal::Rehearsal(const RehearsalOptions &options, QObject *parent)
    : QObject(parent), settings(options), folder(QDir::tempPath() + QStringLiteral("/VelmorithUpdateDemo-XXXXXX"))
{
}

Rehearsal::~Rehearsal() = default;

bool Rehearsal::start()
{
    if (!folder.isValid()) {
        problem = QStringLiteral("cannot make a temporary folder: %1").arg(folder.errorString());
        return false;
    }
    sample = rehearsalImage(settings.imageSize, settings.seed);
    if (settings.writeImage) {
        QFile file(imagePath());
        if (!file.open(QIODevice::WriteOnly) || file.write(sample) != sample.size()) {
            problem = QStringLiteral("cannot write %1: %2").arg(imagePath(), file.errorString());
            return false;
        }
    }
    DeviceConfig config;
    config.eraseUnanswered = settings.silentErases;
    if (settings.unplugAtMessage > 0) {
        config.fault(FaultKind::Unplug).atMessages = {settings.unplugAtMessage};
        config.unplugClosesLink = true;
    }
    return plug(config);
}

bool Rehearsal::plug(const DeviceConfig &config)
{
    LinkPacing pacing;
    pacing.enabled = settings.paced;
    pacing.baud = settings.baud;
    // Made while the old one still holds its pty, so that it comes on a new one, as a real
    // re-plug gives a new port.
    auto fresh = std::make_unique<SimDevice>(config, pacing);
    SimDevice *device = fresh.get();
    connect(device, &SimDevice::applicationStarted, this, [this, device](qint64 starts) {
        const FlashCheck check = checkFlash(device->flash(), sample);
        emit applicationStarted(starts, check.ok, check.description);
    });
    plugged = std::move(fresh);
    if (!plugged->isOpen()) {
        problem = QStringLiteral("no pseudo-terminal for the simulated device");
        return false;
    }
    ++plugs;
    return true;
}

QString Rehearsal::imageFolder() const
{
    return folder.path() + QLatin1Char('/');
}

QString Rehearsal::imagePath() const
{
    return imageFolder() + QLatin1String(Protocol::ImageFileName);
}

QString Rehearsal::portName() const
{
    return plugged ? plugged->slavePath() : QString();
}

QList<PortRecord> Rehearsal::ports()
{
    if (plugged && !plugged->isOpen())
        plug(DeviceConfig());
    PortRecord port;
    port.name = portName();
    port.valid = plugged && plugged->isOpen();
    // Never reported busy: a stalled engine that still holds it lets go when the next one starts.
    port.busy = false;
    port.manufacturer = QStringLiteral("FTDI");
    port.description = QStringLiteral("Simulated Autoloader");
    port.serialNumber = QStringLiteral("SIM%1").arg(plugs, 4, 10, QLatin1Char('0'));
    return {port};
}

PortEnumerator Rehearsal::enumerator()
{
    return [this] { return ports(); };
}

QString Rehearsal::verdictLine(qint64 starts, bool ok, const QString &description)
{
    return QStringLiteral("Rehearsal flash check after start %1: %2 - %3")
        .arg(starts)
        .arg(ok ? QStringLiteral("OK") : QStringLiteral("WRONG"), description);
}
