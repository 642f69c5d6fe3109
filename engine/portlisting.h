// The serial ports as the system lists them: what the log heading says of the adapter, and
// where a lost link looks for the same adapter again (by its serial number). Tests stand in
// for the system's list (pseudo-terminals are not listed).
#pragma once

#include <QList>
#include <QString>

#include <functional>

struct ListedPort
{
    QString name;     // as the system names it: COM5, ttyUSB0
    QString location; // its path: \\.\COM5, /dev/ttyUSB0
    QString manufacturer;
    QString serialNumber;
    int vendorId = -1; // USB ids, where the system reports them
    int productId = -1;

    bool isNull() const { return name.isEmpty(); }
};

namespace PortListing {

QList<ListedPort> available();

// The port by its name, its path or a link to it (/dev/serial/by-id/...); null when not listed.
ListedPort find(const QString &portName);
ListedPort find(const QList<ListedPort> &ports, const QString &portName);

// Tests: the list to give instead of the system's; an empty function brings the system's back.
void setSeam(const std::function<QList<ListedPort>()> &list);

} // namespace PortListing
