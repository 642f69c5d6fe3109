// The first lines of an update's log: which program wrote which image to which unit, what
// support asks first.
#pragma once

#include "portlisting.h"

#include <QStringList>

class FirmwareImage;

QStringList logHeading(const QString &portName, const ListedPort &listed, const FirmwareImage &image);
