// The link to the device as the engine keeps it: the port opened with the link's settings and
// its latency timer lowered; closed the moment the adapter is gone, so that the system frees its
// name, and opened again once it is back: by its name, or where the system now lists the same
// adapter under another, never where another adapter now answers to the name. Held by this program
// alone, whatever other names the device has; every close puts back the port's flags as they were
// found.
#pragma once

#include "latencytimer.h"
#include "portlisting.h"

#include <QString>

#include <functional>

class QSerialPort;

class SerialLink
{
public:
    static constexpr int RetryTicks = 5; // a closed link is tried again about once a second

    // note() receives the lines for the update's log; nowMs() is the update's clock.
    SerialLink(std::function<void(const QString &)> note, std::function<qint64()> nowMs);

    // The port the link goes through, given its settings here, and the adapter it is (as the
    // system lists it; may be null).
    void configure(QSerialPort *serialPort, const ListedPort &listed);
    // Opens the port for this program alone and lowers its latency timer; false with the reason in
    // openProblem().
    bool open();
    QString openProblem() const { return refusal; }
    // Puts back what was changed on the port, then closes it.
    void close();

    // The port reported the device gone: it is closed at once, and tried again by retry().
    void lost();
    bool isDown() const { return downSinceMs >= 0; }
    // While down, on every tick: every RetryTicks-th tries to open it again. True once it is open.
    bool retry();
    // Opens it again now (after the erase cycle's close, or while down). True once it is open.
    bool reopen();
    // What the latest reopen after a loss was: "Port reopened after 3.6 s", and where and why
    // when the adapter was found under another name.
    QString reopened() const { return reopenedLine; }
    // How long the link was down, in all.
    qint64 downMs() const { return downTotalMs + (isDown() ? now() - downSinceMs : 0); }
    int losses() const { return lossCount; }
    // How often and how long it was down, "; the connection was lost once, for 3.2 s in all" for
    // the log's outcome; empty if never.
    QString lossSummary() const;

    const LatencyTimer &latency() const { return found; }

private:
    void checkLatency();
    // Where the adapter is now, by the system's list: the name to open, empty while it is not back.
    QString whereNow();

    QSerialPort *port = nullptr;
    std::function<void(const QString &)> note;
    std::function<qint64()> now;
    QString name;         // the name it was opened by first
    QString serialNumber; // of the adapter, where the system lists it: only it is opened again
    LatencyTimer found;   // at the latest open
    bool restored = true; // what that open changed is put back
    QString latencyLogged;
    QString reopenedLine;
    QString refusal; // why the latest open failed
    qint64 downSinceMs = -1;
    qint64 downTotalMs = 0;
    int lossCount = 0;
    int downTicks = 0;
    bool otherAdapterSaid = false; // once per loss
};
