#include "seriallink.h"

#include "protocol.h"

#include <QSerialPort>
#include <QSerialPortInfo>

SerialLink::SerialLink(std::function<void(const QString &)> noteLine) : note(std::move(noteLine)) {}

void SerialLink::configure(QSerialPort *serialPort, const QSerialPortInfo &listed)
{
    port = serialPort;
    name = port->portName();
    serialNumber = listed.serialNumber();
    port->setBaudRate(Protocol::LinkBaud, QSerialPort::AllDirections);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
}

bool SerialLink::open()
{
    if (!port->open(QIODevice::ReadWrite))
        return false;
    checkLatency(); // a re-plugged adapter comes back with its default
    return true;
}

void SerialLink::checkLatency()
{
    found = lowerLatency(*port);
    const QString line = found.logLine();
    if (line != latencyLogged)
        note(line);
    latencyLogged = line;
}

void SerialLink::closeForGood()
{
    if (!port->isOpen())
        return;
    restoreLatency(*port, found);
    port->close();
}

void SerialLink::lost(qint64 nowMs)
{
    if (!isDown()) {
        downSinceMs = nowMs;
        downTicks = 0;
        ++lossCount;
    }
    if (!port->isOpen())
        return;
    // Held open, the dead port keeps its name: a re-plugged adapter would come back under another.
    port->close();
    note(QStringLiteral("Port closed: the connection is lost; it is opened again once the device is back"));
}

bool SerialLink::retry(qint64 nowMs)
{
    return isDown() && ++downTicks % RetryTicks == 0 && reopen(nowMs);
}

bool SerialLink::reopen(qint64 nowMs)
{
    if (!isDown())
        return port->isOpen() || open();
    const QString after = QString::number(double(nowMs - downSinceMs) / 1000.0, 'f', 1);
    bool opened = port->isOpen();
    if (!opened) {
        port->setPortName(name);
        opened = open();
    }
    if (!opened && !serialNumber.isEmpty()) {
        // The old name may still be held (by another program, say): the same adapter under a new one.
        const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : ports) {
            if (info.serialNumber() != serialNumber || info.portName() == name || info.systemLocation() == name)
                continue;
            port->setPortName(info.systemLocation());
            if ((opened = open())) {
                note(QStringLiteral("Port reopened after %1 s as %2 (was %3): the same adapter, serial number %4")
                         .arg(after, info.portName(), name, serialNumber));
                break;
            }
        }
        if (!opened)
            port->setPortName(name);
    } else if (opened) {
        note(QStringLiteral("Port reopened after %1 s").arg(after));
    }
    if (opened) {
        downTotalMs += nowMs - downSinceMs;
        downSinceMs = -1;
    }
    return opened;
}

QString SerialLink::lossSummary(qint64 nowMs) const
{
    if (lossCount == 0)
        return QString();
    const QString times = lossCount == 1   ? QStringLiteral("once")
                          : lossCount == 2 ? QStringLiteral("twice")
                                           : QStringLiteral("%1 times").arg(lossCount);
    return QStringLiteral("; the connection was lost %1, for %2 s in all")
        .arg(times, QString::number(double(downMs(nowMs)) / 1000.0, 'f', 1));
}
