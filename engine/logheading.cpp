#include "logheading.h"

#include "firmwareimage.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSysInfo>

#include <algorithm>

namespace {

QString portLine(const QString &portName, const QSerialPortInfo &listed)
{
    if (listed.isNull())
        return QStringLiteral("Port: %1 (not listed by the system: no manufacturer, serial number or USB ids)")
            .arg(portName);
    const auto reported = [](const QString &value) {
        return value.isEmpty() ? QStringLiteral("(not reported)") : value;
    };
    const auto hex4 = [](quint16 id) { return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')); };
    return QStringLiteral("Port: %1, manufacturer %2, serial number %3, USB %4")
        .arg(portName, reported(listed.manufacturer()), reported(listed.serialNumber()),
             listed.hasVendorIdentifier() && listed.hasProductIdentifier()
                 ? hex4(listed.vendorIdentifier()) + QLatin1Char(':') + hex4(listed.productIdentifier())
                 : QStringLiteral("ids (not reported)"));
}

} // namespace

QSerialPortInfo listedPort(const QString &portName)
{
    // A path may be a link to the device (/dev/serial/by-id/...): the device it leads to counts.
    const QString device = portName.contains(QLatin1Char('/')) ? QFileInfo(portName).canonicalFilePath() : QString();
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    const auto listed = std::find_if(ports.begin(), ports.end(), [&](const QSerialPortInfo &info) {
        return info.portName() == portName || info.systemLocation() == portName ||
               (!device.isEmpty() && info.systemLocation() == device);
    });
    return listed == ports.end() ? QSerialPortInfo() : *listed;
}

QStringList logHeading(const QString &portName, const QSerialPortInfo &listed, const FirmwareImage &image)
{
    const QDateTime now = QDateTime::currentDateTime();
    QStringList lines{QStringLiteral("VelmorithUpdate: update started %1 on port %2; times in ms since then")
                          .arg(now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate), portName)};
    const QString program = QCoreApplication::instance() ? QFileInfo(QCoreApplication::applicationFilePath()).fileName()
                                                         : QStringLiteral("(unknown program)");
    lines << QStringLiteral("Program: %1 %2, Qt %3, %4")
                 .arg(program, QStringLiteral(VELMORITH_VERSION), QString::fromLatin1(qVersion()),
                      QSysInfo::prettyProductName());
    lines << portLine(portName, listed);
    lines << QStringLiteral("Image: ") + image.description();
    return lines;
}
