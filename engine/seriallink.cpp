#include "seriallink.h"

#include "portaccess.h"
#include "protocol.h"

#include <QSerialPort>

SerialLink::SerialLink(std::function<void(const QString &)> noteLine, std::function<qint64()> nowMs)
    : note(std::move(noteLine)), now(std::move(nowMs))
{
}

void SerialLink::configure(QSerialPort *serialPort, const ListedPort &listed)
{
    port = serialPort;
    name = port->portName();
    serialNumber = listed.serialNumber;
    port->setBaudRate(Protocol::LinkBaud, QSerialPort::AllDirections);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
}

bool SerialLink::open()
{
    refusal.clear();
    if (!port->open(QIODevice::ReadWrite)) {
        refusal = PortAccess::openProblem(*port);
        return false;
    }
    QString heldBy;
    if (!PortAccess::claim(*port, heldBy)) {
        port->close();
        refusal = QStringLiteral("another program is updating through it (%1)").arg(heldBy);
        return false;
    }
    checkLatency(); // a re-plugged adapter comes back with its default
    return true;
}

void SerialLink::checkLatency()
{
    found = lowerLatency(*port);
    restored = false;
    const QString line = found.logLine();
    if (line != latencyLogged)
        note(line);
    latencyLogged = line;
}

void SerialLink::close()
{
    if (!port->isOpen())
        return;
    // Whichever open lowered it: a later open must find the adapter as the system had it.
    if (found.outcome == LatencyTimer::Lowered && !restored)
        restoreLatency(*port, found);
    restored = true;
    PortAccess::release(*port);
    port->close();
}

void SerialLink::lost()
{
    if (!isDown()) {
        downSinceMs = now();
        downTicks = 0;
        otherAdapterSaid = false;
        ++lossCount;
    }
    if (!port->isOpen())
        return;
    // Held open, the dead port keeps its name: a re-plugged adapter would come back under another.
    close();
    note(QStringLiteral("Port closed: the connection is lost; it is opened again once the device is back"));
}

bool SerialLink::retry()
{
    return isDown() && ++downTicks % RetryTicks == 0 && reopen();
}

QString SerialLink::whereNow()
{
    if (serialNumber.isEmpty())
        return name;
    // The adapter the update began on, or none: a name the system hands to another adapter may
    // lead to another unit, which this update has not erased.
    const QList<ListedPort> ports = PortListing::available();
    const ListedPort atName = PortListing::find(ports, name);
    if (!atName.isNull() && atName.serialNumber == serialNumber)
        return name;
    if (!atName.isNull() && !otherAdapterSaid) {
        otherAdapterSaid = true;
        note(QStringLiteral("%1 is now another adapter (serial number %2); waiting for %3")
                 .arg(name, atName.serialNumber.isEmpty() ? QStringLiteral("not reported") : atName.serialNumber,
                      serialNumber));
    }
    for (const ListedPort &each : ports) {
        if (each.serialNumber == serialNumber)
            return each.location.isEmpty() ? each.name : each.location;
    }
    return QString();
}

bool SerialLink::reopen()
{
    if (!isDown())
        return port->isOpen() || open();
    // A name that leads nowhere (the node goes with the adapter) is not tried: opening it every
    // second would only take and drop the system's lock file each time.
    const QString where = whereNow();
    if (where.isEmpty() || !PortAccess::present(where))
        return false;
    port->setPortName(where);
    if (!open()) {
        port->setPortName(name);
        return false;
    }
    // Timed once open: looking for the adapter and opening it may take a while on a busy machine.
    const qint64 nowMs = now();
    const QString after = QString::number(double(nowMs - downSinceMs) / 1000.0, 'f', 1);
    reopenedLine = where == name ? QStringLiteral("Port reopened after %1 s").arg(after)
                                 : QStringLiteral("Port reopened after %1 s as %2 (was %3; the same adapter, serial "
                                                  "number %4)")
                                       .arg(after, port->portName(), name, serialNumber);
    downTotalMs += nowMs - downSinceMs;
    downSinceMs = -1;
    return true;
}

QString SerialLink::lossSummary() const
{
    if (lossCount == 0)
        return QString();
    const QString times = lossCount == 1   ? QStringLiteral("once")
                          : lossCount == 2 ? QStringLiteral("twice")
                                           : QStringLiteral("%1 times").arg(lossCount);
    return QStringLiteral("; the connection was lost %1, for %2 s in all")
        .arg(times, QString::number(double(downMs()) / 1000.0, 'f', 1));
}
