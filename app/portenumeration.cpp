#include "portenumeration.h"

#include "latencytimer.h"

#include <QDir>
#include <QSerialPort>
#include <QSerialPortInfo>

namespace {

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
// Qt 6 has neither isValid() nor isBusy(): a port the system lists is valid, and one another
// program holds refuses to be opened. Tried on FTDI ports only, the only ones the search takes.
bool valid(const QSerialPortInfo &info)
{
    return !info.isNull();
}

bool busy(const QSerialPortInfo &info)
{
    if (info.manufacturer() != QLatin1String("FTDI"))
        return false;
    QSerialPort port(info);
    if (port.open(QIODevice::ReadWrite)) {
        port.close();
        return false;
    }
    return port.error() == QSerialPort::PermissionError;
}
#else
// Deprecated in later Qt 5 releases, but the plain test the device search was built on.
#if QT_VERSION >= QT_VERSION_CHECK(5, 9, 0)
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
#endif
bool valid(const QSerialPortInfo &info)
{
    return info.isValid();
}

bool busy(const QSerialPortInfo &info)
{
    return info.isBusy();
}
#if QT_VERSION >= QT_VERSION_CHECK(5, 9, 0)
QT_WARNING_POP
#endif
#endif

// Linux names each USB adapter by its own ids and serial number too: a name that stays the same
// when the kernel numbers the adapter anew (a re-plug while another program held the old name).
QString stableNameOf(const QString &systemLocation)
{
    const QFileInfoList links = QDir(QStringLiteral("/dev/serial/by-id"))
                                    .entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &link : links) {
        if (link.canonicalFilePath() == systemLocation)
            return link.absoluteFilePath();
    }
    return QString();
}

} // namespace

QList<PortRecord> systemSerialPorts()
{
    QList<PortRecord> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        PortRecord port;
        port.name = info.portName();
        port.valid = valid(info);
        // The busy test may try to open the port, so it is made only where it can matter.
        port.busy = port.valid && busy(info);
        port.manufacturer = info.manufacturer();
        port.description = info.description();
        port.serialNumber = info.serialNumber();
        port.latencyMs = latencyTimerMs(port.name);
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            port.vendorId = info.vendorIdentifier();
            port.productId = info.productIdentifier();
        }
        port.stableName = stableNameOf(info.systemLocation());
        ports << port;
    }
    return ports;
}

bool qualifiesForUpdate(const PortRecord &port)
{
    return port.valid && !port.busy && port.manufacturer == QLatin1String("FTDI");
}
