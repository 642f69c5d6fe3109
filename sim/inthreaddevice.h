// The simulated device inside the caller's Qt event loop, for deterministic tests: it reads
// the pty master through a QSocketNotifier and answers at once, without pacing. Time only
// moves when the test calls tick(), once per engine tick it drives, so a reply held "past
// the engine's timeout" (FaultKind::DelayReply) costs no wall time.
//
// End-to-end use, all on one thread:
//     InThreadDevice device(config);               // opens its own pty
//     BootTest *engine = new BootTest(device.slavePath());
//     engine->findChild<QTimer *>()->stop();
//     for (;;) {                                    // one engine tick
//         QMetaObject::invokeMethod(engine, "on_Timer");
//         device.tick();
//         device.settle();                          // let replies and commands cross
//         ...
//     }
//     device.counters(); device.flash(); checkFlash(device.flash(), image);
#pragma once

#include "devicemodel.h"
#include "ptypair.h"

#include <QByteArray>
#include <QObject>

#include <deque>

class QSocketNotifier;
class QTimer;

class InThreadDevice : public QObject
{
    Q_OBJECT

public:
    // Opens a pty of its own; see isOpen() and slavePath().
    explicit InThreadDevice(const DeviceConfig &config = DeviceConfig(), QObject *parent = nullptr);
    // Plays the device on a master opened elsewhere (e.g. PtyLink::masterFd()); the fd is not
    // closed here: with unplugClosesLink the owner must close it on linkClosed().
    InThreadDevice(int masterFd, const DeviceConfig &config, QObject *parent = nullptr);
    ~InThreadDevice() override;

    bool isOpen() const { return pty.isOpen(); }
    QString slavePath() const { return pty.slavePath(); }

    DeviceModel &model() { return device; }
    const DeviceModel &model() const { return device; }
    const DeviceCounters &counters() const { return device.counters(); }
    QByteArray flash() const { return device.flash(); }

    // One engine tick has passed: held replies come one tick nearer to release, and a split
    // reply whose previous piece the engine has not read yet (its port closed) goes on anyway.
    void tick();
    // Pumps the event loop until nothing moves any more between device and engine (no byte
    // waiting on either side for a few passes), at most maxMs milliseconds. Returns false on
    // timeout.
    bool settle(int maxMs = 2000);
    // Replies (or pieces of them) not yet on the wire: held, split, or blocked by a full link.
    int pendingReplies() const { return int(queue.size()); }
    // Hangs up now, as FaultKind::Unplug with unplugClosesLink would.
    void unplug();
    // Bytes the device sends unasked, behind whatever replies are queued.
    void inject(const QByteArray &bytes);

signals:
    void messageHandled(qint64 number);
    void applicationStarted(qint64 count);
    // The device hung up: the master is closed (or, when adopted, must now be closed by its owner).
    void linkClosed();

private:
    void setUp();
    void onReadable();
    void onWritable();
    void pump();
    bool writeOut(const char *data, int size);
    void hangUp();

    struct Pending
    {
        QByteArray bytes;
        std::vector<int> cuts; // piece boundaries still to come
        int written = 0;       // bytes of `bytes` already on the wire
        int ticksLeft = 0;
    };

    DeviceModel device;
    PtyPair pty;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    QTimer *drainPoll = nullptr; // waits for the engine to read a piece of a split reply
    std::deque<Pending> queue;
    QByteArray unwritten;            // accepted for the wire but refused by a full pty
    std::vector<Emission> emissions; // reused between reads
    bool pieceForced = false;        // a tick passed: the next piece goes even if the last is unread
    bool pieceSettling = false;      // a piece was just written: give the kernel a moment
};
