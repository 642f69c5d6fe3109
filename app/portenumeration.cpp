#include "portenumeration.h"

#include <QSerialPortInfo>

QList<PortRecord> systemSerialPorts()
{
    QList<PortRecord> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        PortRecord port;
        port.name = info.portName();
        // Deprecated in later Qt releases, but the plain test the device search was built on.
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        port.valid = info.isValid();
        // The busy test may try to open the port, so it is made only where it can matter.
        port.busy = port.valid && info.isBusy();
        QT_WARNING_POP
        port.manufacturer = info.manufacturer();
        port.description = info.description();
        port.serialNumber = info.serialNumber();
        ports << port;
    }
    return ports;
}

bool qualifiesForUpdate(const PortRecord &port)
{
    return port.valid && !port.busy && port.manufacturer == QLatin1String("FTDI");
}
