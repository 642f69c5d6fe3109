// The link to the device as the engine keeps it: the port opened with the link's settings and
// its latency timer lowered; closed the moment the adapter is gone, so that the system frees its
// name, and opened again once it is back (by its name, or where the system now lists the same
// adapter under another); the port's flags put back as they were found when the engine is done.
#pragma once

#include "latencytimer.h"

#include <QString>

#include <functional>

class QSerialPort;
class QSerialPortInfo;

class SerialLink
{
public:
    static constexpr int RetryTicks = 5; // a closed link is tried again about once a second

    // note() receives the lines for the update's log.
    explicit SerialLink(std::function<void(const QString &)> note);

    // The port the link goes through, given its settings here, and the adapter it is (as the
    // system lists it; may be null).
    void configure(QSerialPort *serialPort, const QSerialPortInfo &listed);
    // Opens the port and lowers its latency timer; false with the system's reason in the port.
    bool open();
    // The engine is done with the port: what was changed goes back as it was, then it closes.
    void closeForGood();

    // The port reported the device gone: it is closed at once, and tried again by retry().
    void lost(qint64 nowMs);
    bool isDown() const { return downSinceMs >= 0; }
    // While down, on every tick: every RetryTicks-th tries to open it again. True once it is open.
    bool retry(qint64 nowMs);
    // Tries to open it again now: by its name, else the same adapter under another. True once open.
    bool reopen(qint64 nowMs);
    // How long the link was down, in all.
    qint64 downMs(qint64 nowMs) const { return downTotalMs + (isDown() ? nowMs - downSinceMs : 0); }
    // How often and how long it was down, "; the connection was lost once, for 3.2 s in all" for the log's outcome;
    // empty if never.
    QString lossSummary(qint64 nowMs) const;

    const LatencyTimer &latency() const { return found; }

private:
    void checkLatency();

    QSerialPort *port = nullptr;
    std::function<void(const QString &)> note;
    QString name;         // the name it was opened by first
    QString serialNumber; // of the adapter, where the system lists it: to find it under a new name
    LatencyTimer found;
    QString latencyLogged;
    qint64 downSinceMs = -1;
    qint64 downTotalMs = 0;
    int lossCount = 0;
    int downTicks = 0;
};
