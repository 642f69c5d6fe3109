// The FTDI chip's latency timer: the chip holds what the device sends for up to this long
// (16 ms by default) before the PC gets it, and the device's answers are too short to fill a USB
// packet, so every answer waits it out. All the platform code is in latencytimer.cpp.
#pragma once

#include <QString>

#include <functional>

class QSerialPort;

struct LatencyTimer
{
    static constexpr int LowestWorthIt = 2; // ms; at or below it there is nothing to gain

    enum Outcome {
        NoSetting, // the port has none: not an FTDI adapter, or a driver without it
        Lowered,   // the program set it to its lowest (Linux)
        Low,       // 2 ms or less already
        High,      // above 2 ms, and the program may not change it
        Unknown,   // the port has one, but its value cannot be read or lowered
    };
    Outcome outcome = NoSetting;
    int ms = -1;    // its value, where the system shows it
    QString reason; // why the port has none, or why it stays as it is

    // One line for the update's log.
    QString logLine() const;
    bool worthLowering() const { return outcome == High && ms > LowestWorthIt; }
};

// Linux: puts the open port into the ftdi_sio driver's low-latency mode (1 ms), which needs no
// root and lasts until the adapter is unplugged. Windows: reads the FTDI driver's setting for
// the port; only an administrator may change it, so it is never written. Never fails an update.
LatencyTimer lowerLatency(QSerialPort &port);

// Puts back what lowerLatency() changed on the port (Linux: the low-latency flag it set), so that
// the setting does not outlive the program on that adapter.
void restoreLatency(QSerialPort &port, const LatencyTimer &lowered);

// The timer of a port by name, as the system shows it; -1 where it shows none.
int latencyTimerMs(const QString &portName);

// What the operator does to set the port's timer to 1 ms.
QString lowerLatencyHowTo(const QString &portName);

// Tests stand in for the Linux driver: `ioctl` answers TIOCGSERIAL and TIOCSSERIAL (0, or an
// errno value), `sysfsFolder` holds <device>/latency_timer. reset() brings the system's back.
namespace LatencySeam {
using SerialIoctl = std::function<int(int fd, unsigned long request, void *serial)>;
void set(const SerialIoctl &ioctl, const QString &sysfsFolder);
void reset();
} // namespace LatencySeam
