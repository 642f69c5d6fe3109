// Who may use a port. Two programs must never drive one adapter, whatever name each was given
// (a /dev/serial/by-id/ link, any other link to the same device); the system's exclusive open
// does not bind an administrator, and lock files go by name. All the platform code is in
// portaccess.cpp.
#pragma once

#include <QString>

class QSerialPort;

namespace PortAccess {

// Takes the open port for this program: on Linux an advisory lock on the device itself, which
// every name of it shares. False, with who holds it in `heldBy` ("velmorith-flash, process 1234,
// as /dev/ttyUSB0"), when another program has taken it; the port is left open for the caller to close.
bool claim(QSerialPort &port, QString &heldBy);
// Lets go of what claim() took; before the port is closed.
void release(QSerialPort &port);

// Whether a port by this name is there to be opened (Linux: its device node); true where the
// system cannot say without opening it.
bool present(const QString &portName);

// Why the port could not be opened, the system's words, and where the remedy is the user's to
// take (Linux: a group the device belongs to), what to do.
QString openProblem(const QSerialPort &port);

} // namespace PortAccess
