#include "latencytimer.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>

#if defined(Q_OS_LINUX)
#include <cerrno>
#include <cstring>
#include <linux/serial.h>
#include <sys/ioctl.h>
#elif defined(Q_OS_WIN)
#include <windows.h>

#include <string>
#endif

namespace {
#if defined(Q_OS_LINUX)
LatencySeam::SerialIoctl seamIoctl;
const QString SystemSysfs = QStringLiteral("/sys/bus/usb-serial/devices");
QString sysfs = SystemSysfs;

int serialIoctl(int fd, unsigned long request, serial_struct *serial)
{
    if (seamIoctl)
        return seamIoctl(fd, request, serial);
    return ::ioctl(fd, request, serial) == 0 ? 0 : errno;
}

QString sysfsFile(const QString &portName)
{
    // "ttyUSB0" from "/dev/ttyUSB0", "ttyUSB0" or a link to it ("/dev/serial/by-id/...", which the
    // port calls "serial/by-id/...").
    const QString path = portName.startsWith(QLatin1Char('/')) ? portName : QStringLiteral("/dev/") + portName;
    const QString device = QFileInfo(path).canonicalFilePath();
    return sysfs + QLatin1Char('/') + (device.isEmpty() ? portName : device).section(QLatin1Char('/'), -1) +
           QStringLiteral("/latency_timer");
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
#endif
} // namespace

QString LatencyTimer::logLine() const
{
    const QString value = ms >= 0 ? QStringLiteral("%1 ms").arg(ms) : QStringLiteral("unknown");
    switch (outcome) {
    case NoSetting:
        return QStringLiteral("Latency timer: none, the port has no such setting (%1)").arg(reason);
    case Lowered:
        return ms >= 0 ? QStringLiteral("Latency timer: %1 (set)").arg(value)
                       : QStringLiteral("Latency timer: low-latency mode set (the driver shows no figure)");
    case Low:
        return QStringLiteral("Latency timer: %1 (nothing to gain)").arg(value);
    case High:
    case Unknown:
        break;
    }
    return QStringLiteral("Latency timer: %1 (cannot be changed: %2)").arg(value, reason);
}

#if defined(Q_OS_LINUX)

LatencyTimer lowerLatency(QSerialPort &port)
{
    LatencyTimer result;
    const int fd = int(port.handle());
    serial_struct serial{};
    if (const int error = serialIoctl(fd, TIOCGSERIAL, &serial)) {
        result.reason = errorText(error);
        return result;
    }
    if (!(serial.flags & ASYNC_LOW_LATENCY)) {
        // Exactly what was read, with the flag added: a caller without root may change nothing
        // else (the USB-serial layer refuses a new close_delay or closing_wait).
        serial.flags |= ASYNC_LOW_LATENCY;
        if (const int error = serialIoctl(fd, TIOCSSERIAL, &serial)) {
            result.ms = latencyTimerMs(port.portName());
            result.outcome = result.ms < 0                              ? LatencyTimer::Unknown
                             : result.ms <= LatencyTimer::LowestWorthIt ? LatencyTimer::Low
                                                                        : LatencyTimer::High;
            result.reason = errorText(error);
            return result;
        }
        result.outcome = LatencyTimer::Lowered;
    } else {
        result.outcome = LatencyTimer::Low;
    }
    result.ms = latencyTimerMs(port.portName());
    return result;
}

void restoreLatency(QSerialPort &port, const LatencyTimer &lowered)
{
    if (lowered.outcome != LatencyTimer::Lowered)
        return;
    // As when it was lowered: exactly what is read, the one flag taken back out.
    serial_struct serial{};
    if (serialIoctl(int(port.handle()), TIOCGSERIAL, &serial) != 0 || !(serial.flags & ASYNC_LOW_LATENCY))
        return;
    serial.flags &= ~ASYNC_LOW_LATENCY;
    serialIoctl(int(port.handle()), TIOCSSERIAL, &serial);
}

int latencyTimerMs(const QString &portName)
{
    QFile file(sysfsFile(portName));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const int ms = file.readAll().trimmed().toInt(&ok);
    return ok ? ms : -1;
}

QString lowerLatencyHowTo(const QString &portName)
{
    if (QFile::exists(sysfsFile(portName)))
        return QStringLiteral("as root: echo 1 > %1").arg(sysfsFile(portName));
    return QStringLiteral("set the USB-serial adapter's latency timer to 1 ms");
}

void LatencySeam::set(const SerialIoctl &ioctl, const QString &sysfsFolder)
{
    seamIoctl = ioctl;
    sysfs = sysfsFolder;
}

void LatencySeam::reset()
{
    seamIoctl = nullptr;
    sysfs = SystemSysfs;
}

#elif defined(Q_OS_WIN)

LatencyTimer lowerLatency(QSerialPort &port)
{
    LatencyTimer result;
    result.ms = latencyTimerMs(port.portName());
    if (result.ms < 0) {
        result.reason = QStringLiteral("no FTDI driver entry for %1").arg(port.portName());
        return result;
    }
    result.outcome = result.ms <= LatencyTimer::LowestWorthIt ? LatencyTimer::Low : LatencyTimer::High;
    result.reason = QStringLiteral("the FTDI driver's setting, which only an administrator may change");
    return result;
}

int latencyTimerMs(const QString &portName)
{
    // FTDIBUS\<VID+PID+serial>\0000\Device Parameters holds PortName (COMn) and LatencyTimer (ms);
    // a normal user may read it.
    HKEY bus = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS", 0, KEY_READ, &bus) !=
        ERROR_SUCCESS)
        return -1;
    int found = -1;
    wchar_t device[256];
    DWORD length = 256;
    for (DWORD i = 0;
         found < 0 && RegEnumKeyExW(bus, i, device, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, length = 256) {
        const std::wstring parameters = std::wstring(device) + L"\\0000\\Device Parameters";
        HKEY key = nullptr;
        if (RegOpenKeyExW(bus, parameters.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            continue;
        wchar_t name[64] = {};
        DWORD nameSize = sizeof name - sizeof name[0]; // room for the end a value may lack
        DWORD latency = 0;
        DWORD latencySize = sizeof latency;
        DWORD type = 0;
        if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE *>(name), &nameSize) ==
                ERROR_SUCCESS &&
            type == REG_SZ && portName.compare(QString::fromWCharArray(name), Qt::CaseInsensitive) == 0 &&
            RegQueryValueExW(key, L"LatencyTimer", nullptr, &type, reinterpret_cast<BYTE *>(&latency), &latencySize) ==
                ERROR_SUCCESS &&
            type == REG_DWORD)
            found = int(latency);
        RegCloseKey(key);
    }
    RegCloseKey(bus);
    return found;
}

void restoreLatency(QSerialPort &, const LatencyTimer &) {}

QString lowerLatencyHowTo(const QString &portName)
{
    return QStringLiteral("Device Manager: Ports (COM & LPT) > USB Serial Port (%1) > Properties > Port Settings > "
                          "Advanced > Latency Timer (msec): 1")
        .arg(portName);
}

void LatencySeam::set(const SerialIoctl &, const QString &) {}
void LatencySeam::reset() {}

#else

LatencyTimer lowerLatency(QSerialPort &)
{
    LatencyTimer result;
    result.reason = QStringLiteral("not known on this system");
    return result;
}

void restoreLatency(QSerialPort &, const LatencyTimer &) {}

int latencyTimerMs(const QString &)
{
    return -1;
}

QString lowerLatencyHowTo(const QString &)
{
    return QStringLiteral("set the USB-serial adapter's latency timer to 1 ms");
}

void LatencySeam::set(const SerialIoctl &, const QString &) {}
void LatencySeam::reset() {}

#endif
