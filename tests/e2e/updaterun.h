// One whole update: the real engine on a pseudo-terminal against the simulated device, in one
// thread, with the engine's 200 ms ticks driven from here so that timeouts cost no wall time.
#pragma once

#include "boottest.h"
#include "devicemodel.h"
#include "flashcheck.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

struct UpdateOutcome
{
    bool finished = false; // the engine ended (completed, refused, failed) within the tick budget
    BootTest::Condition condition = BootTest::Working;
    bool portClosed = false;       // the engine's port, at the end
    int ticks = 0;                 // engine ticks driven
    DeviceCounters device;         // what the device saw and did
    FlashCheck flash;              // the device's flash against the image
    qint64 lastMessage = 0;        // number of the last message the device received
    bool startCommandLost = false; // the device never saw "$MJAPP" because the link lost it
    QStringList debug;             // the engine's debug lines
    QStringList log;               // its log file's lines; empty when it wrote none
};

// Where runUpdate's engine writes its log; empty: a folder of the run's own.
extern QString runLogFolder;

// Bytes the device sends unasked just before the given engine tick (counted from 1).
struct StrayBytes
{
    int beforeTick;
    QByteArray bytes;
};

// Writes `image` as the image file (a null array: no file; "<folder>": a folder in its place),
// runs one update against a device configured by `config` for at most `maxTicks` ticks.
UpdateOutcome runUpdate(const QByteArray &image, const DeviceConfig &config, int maxTicks = 20000,
                        const QList<StrayBytes> &strays = {});

// Seeded image bytes, the first 16 KiB included.
QByteArray sampleImage(int size, quint32 seed);
