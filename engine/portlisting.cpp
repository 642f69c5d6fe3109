#include "portlisting.h"

#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

namespace {
std::function<QList<ListedPort>()> seam;
} // namespace

namespace PortListing {

QList<ListedPort> available()
{
    if (seam)
        return seam();
    QList<ListedPort> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        ListedPort port;
        port.name = info.portName();
        port.location = info.systemLocation();
        port.manufacturer = info.manufacturer();
        port.serialNumber = info.serialNumber();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            port.vendorId = info.vendorIdentifier();
            port.productId = info.productIdentifier();
        }
        ports << port;
    }
    return ports;
}

ListedPort find(const QList<ListedPort> &ports, const QString &portName)
{
    // A path may be a link to the device (/dev/serial/by-id/...): the device it leads to counts. The
    // port calls such a name "serial/by-id/...", relative to /dev.
    QString device;
    if (portName.contains(QLatin1Char('/')))
        device = QFileInfo(portName.startsWith(QLatin1Char('/')) ? portName : QStringLiteral("/dev/") + portName)
                     .canonicalFilePath();
    const auto listed = std::find_if(ports.begin(), ports.end(), [&](const ListedPort &port) {
        return port.name == portName || port.location == portName || (!device.isEmpty() && port.location == device);
    });
    return listed == ports.end() ? ListedPort() : *listed;
}

ListedPort find(const QString &portName)
{
    return find(available(), portName);
}

void setSeam(const std::function<QList<ListedPort>()> &list)
{
    seam = list;
}

} // namespace PortListing
