// The simulated device on a thread of its own, in real time: for the command-line program,
// the benchmark and rehearsals. Unpaced it answers as fast as the pty carries bytes; paced,
// it holds every byte in either direction for its time on a UART wire.
//
//     LinkPacing pacing;                 // off by default
//     pacing.enabled = true;             // 38400 baud, 10 bits a byte
//     ThreadedDevice device(config, pacing);
//     device.start();                    // opens the pty, starts the thread
//     BootTest engine(device.slavePath());
//     device.waitForApplicationStarts(1, 60000);
//     device.counters(); device.flash(); device.stop();
//
// Pacing, by absolute deadlines on CLOCK_MONOTONIC: bytes read from the master at time t
// occupy the inbound wire from max(t, inbound free) for bitsPerByte/baud seconds each; a
// message is complete when its line feed has crossed, is processed (one at a time) for
// processingDelayUs (plus eraseDelayUs for an erase), and its reply then occupies the
// outbound wire from max(processed, outbound free) for its bytes' time and is written when
// its last byte has crossed (a split reply piece by piece as each piece has crossed).
// A held reply (FaultKind::DelayReply) goes out delayTicks * 200 ms after it was ready;
// replies behind it wait for it.
#pragma once

#include "devicemodel.h"
#include "ptypair.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

struct LinkPacing
{
    bool enabled = false;
    int baud = 38400;
    int bitsPerByte = 10;         // start bit, 8 data bits, stop bit
    qint64 processingDelayUs = 0; // per message the device carries out
    qint64 eraseDelayUs = 0;      // on top, for an erase
    qint64 splitGapUs = 2000;     // unpaced: time between the pieces of a split reply
};

class ThreadedDevice
{
public:
    explicit ThreadedDevice(const DeviceConfig &config = DeviceConfig(), const LinkPacing &pacing = LinkPacing());
    ~ThreadedDevice();
    ThreadedDevice(const ThreadedDevice &) = delete;
    ThreadedDevice &operator=(const ThreadedDevice &) = delete;

    // Opens the pty (start() does it when needed); slavePath() is valid from then on.
    bool open();
    QString slavePath() const { return pty.slavePath(); }
    // Starts the device thread. False when the pty cannot be opened or it already runs.
    bool start();
    // Stops and joins the thread; counters and flash stay readable.
    void stop();
    bool isRunning() const { return running.load(); }
    // The device hung up (FaultKind::Unplug with unplugClosesLink); the thread has ended.
    bool linkClosed() const { return hungUp.load(); }

    // Snapshots, safe from any thread.
    DeviceCounters counters() const;
    QByteArray flash() const;
    std::vector<quint32> programmedAddresses() const;

    // Called on the device thread each time "$MJAPP" arrives, with the count and the flash.
    // Set it before start().
    void setStartHandler(std::function<void(qint64 count, const QByteArray &flash)> handler);
    // Blocks until "$MJAPP" has arrived `count` times in all, or the timeout ran out.
    bool waitForApplicationStarts(qint64 count, int timeoutMs);

private:
    struct Piece
    {
        qint64 dueNs; // when it is written (monotonic clock); never earlier than the one before
        QByteArray bytes;
        bool closeLink;
    };

    void run();
    void readInput(qint64 nowNs);
    void schedule(const std::vector<Emission> &emissions, qint64 readNs);
    void queuePiece(qint64 dueNs, QByteArray bytes, bool closeLink);
    void writeDue(qint64 nowNs);
    void writeOut(const char *data, int size);
    qint64 wireNs(qint64 bytes) const;

    mutable std::mutex lock; // guards device, startHandler, starts
    std::condition_variable startsChanged;
    DeviceModel device;
    LinkPacing pace;
    PtyPair pty;
    std::thread thread;
    int wakeFd = -1;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> hungUp{false};
    std::function<void(qint64, const QByteArray &)> startHandler;

    // Device thread only.
    std::vector<Emission> emissions;
    std::deque<Piece> pieces;
    QByteArray unwritten;
    QByteArray batch; // unpaced replies of one read, written together
    qint64 inboundFreeNs = 0;
    qint64 processorFreeNs = 0;
    qint64 outboundFreeNs = 0;
    qint64 lastDueNs = 0;
};
