#include "logheading.h"

#include "firmwareimage.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QSysInfo>

namespace {

QString portLine(const QString &portName, const ListedPort &listed)
{
    if (listed.isNull())
        return QStringLiteral("Port: %1 (not listed by the system: no manufacturer, serial number or USB ids)")
            .arg(portName);
    const auto reported = [](const QString &value) {
        return value.isEmpty() ? QStringLiteral("(not reported)") : value;
    };
    const auto hex4 = [](quint16 id) { return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')); };
    return QStringLiteral("Port: %1, manufacturer %2, serial number %3, USB %4")
        .arg(portName, reported(listed.manufacturer), reported(listed.serialNumber),
             listed.vendorId >= 0 && listed.productId >= 0
                 ? hex4(quint16(listed.vendorId)) + QLatin1Char(':') + hex4(quint16(listed.productId))
                 : QStringLiteral("ids (not reported)"));
}

} // namespace

QStringList logHeading(const QString &portName, const ListedPort &listed, const FirmwareImage &image)
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
