// The rehearsal: the real window and engine against the simulated Autoloader on a
// pseudo-terminal, with a sample image of its own. Operators practise the Start sequence,
// and screenshots are taken from it, without a device or a real image at hand.
#pragma once

#include "devicemodel.h"
#include "portenumeration.h"
#include "simdevice.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <memory>

struct RehearsalOptions
{
    static constexpr int DefaultImageSize = 0x4000 + 32 * 1024;

    bool paced = true; // bytes cross at the baud rate, as on the real cable
    int baud = 38400;
    int imageSize = DefaultImageSize;
    bool writeImage = true;     // false: rehearse a missing image
    quint32 seed = 1;           // of the sample image's bytes
    int silentErases = 0;       // the first erases are carried out but not answered
    qint64 unplugAtMessage = 0; // the device goes away at this message (0: never)
};

// The sample image: seeded bytes, the first 16 KiB (never sent) included.
QByteArray rehearsalImage(int size, quint32 seed);

class Rehearsal : public QObject
{
    Q_OBJECT

public:
    explicit Rehearsal(const RehearsalOptions &options = RehearsalOptions(), QObject *parent = nullptr);
    ~Rehearsal() override;

    // Writes the sample image into a fresh temporary folder and plugs in the simulated device.
    bool start();
    QString errorString() const { return problem; }

    // Where the sample image lies, with a trailing '/': appDirectory is pointed here, so that an
    // operator's real image beside the program is never touched.
    QString imageFolder() const;
    QString imagePath() const;

    // The device's port as the Start sequence is offered it.
    QString portName() const;
    // Exactly one port, the simulated device's. A device that hung up is re-plugged first: a
    // fresh one (without the unplug) on a new pseudo-terminal, as a real re-plug gives a new port.
    QList<PortRecord> ports();
    PortEnumerator enumerator();
    SimDevice &device() { return *plugged; }

    // One line about the flash after the device was told to start its application.
    static QString verdictLine(qint64 starts, bool ok, const QString &description);

signals:
    // Each time "$MJAPP" arrives; the flash checked against the image.
    void applicationStarted(qint64 starts, bool ok, const QString &description);

private:
    bool plug(const DeviceConfig &config);

    RehearsalOptions settings;
    QTemporaryDir folder;
    QByteArray sample;
    std::unique_ptr<SimDevice> plugged;
    int plugs = 0;
    QString problem;
};
