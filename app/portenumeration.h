// Where the Start sequence learns which serial ports there are. The program asks Qt
// SerialPort; tests and rehearsals hand in their own ports (pseudo-terminals are not listed
// by the system enumeration).
#pragma once

#include <QList>
#include <QString>

#include <functional>

// What the Start sequence needs to know about one serial port.
struct PortRecord
{
    QString name; // as the enumeration gives it (COM5 on Windows); what the engine opens
    bool valid = false;
    bool busy = false; // held open by another program
    QString manufacturer;
    QString description;
    QString serialNumber;
    int latencyMs = -1; // the FTDI latency timer, where the system shows it
    int vendorId = -1;  // USB ids, where the system reports them
    int productId = -1;
    QString stableName = QString(); // a name that follows the adapter, not the socket (/dev/serial/by-id/...)
};

using PortEnumerator = std::function<QList<PortRecord>()>;

// The system's serial ports, in Qt SerialPort's order.
QList<PortRecord> systemSerialPorts();

// A port the device can be on: valid, not busy, and made by exactly "FTDI", tested in that order.
bool qualifiesForUpdate(const PortRecord &port);
