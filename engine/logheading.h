// The first lines of an update's log: which program wrote which image to which unit, what
// support asks first.
#pragma once

#include <QSerialPortInfo>
#include <QStringList>

class FirmwareImage;

// The port as the system lists it, by its name, its path or a link to it; null when not listed.
QSerialPortInfo listedPort(const QString &portName);

QStringList logHeading(const QString &portName, const QSerialPortInfo &listed, const FirmwareImage &image);
