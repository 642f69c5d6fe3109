// What the flash must hold after a complete update with a given image file.
#pragma once

#include <QByteArray>
#include <QString>

struct FlashCheck
{
    bool ok = false;
    int firstDifference = -1; // flash address of the first wrong byte; -1 when none (or no image)
    int differences = 0;      // wrong bytes in all
    int expected = -1;        // at firstDifference
    int actual = -1;
    QString description; // one line for a test failure or the program's report
};

// The 64 KiB the device should hold after updating with `image` (the file's bytes, offset =
// flash address): 0xFF below 0x4000 (never programmed), the image from 0x4000 to its end,
// 0x00 up to the next multiple of 4096, 0xFF to 0xFFFF. An image the engine refuses (no
// byte beyond 0x4000, or larger than the flash) gives an empty array.
QByteArray expectedFlash(const QByteArray &image);

FlashCheck checkFlash(const QByteArray &flash, const QByteArray &image);
