// The simulated Autoloader on a pseudo-terminal, in the caller's Qt event loop: the engine
// opens slavePath() like any serial port.
//
// Unpaced (tests): it answers at once, and time moves only when the test calls tick(), once
// per engine tick it drives, so a reply held past the engine's timeout costs no wall time;
// settle() pumps events until nothing moves between device and engine.
//
// Paced (rehearsal, benchmark): every byte takes its time on a UART wire in either direction,
// by due times on the monotonic clock, and held replies their ticks in real time. A message is
// carried out once its line feed has crossed; its reply crosses the outbound wire after it.
#pragma once

#include "devicemodel.h"
#include "ptypair.h"

#include <QElapsedTimer>
#include <QObject>

#include <deque>

class QSocketNotifier;
class QTimer;

struct LinkPacing
{
    bool enabled = false;
    int baud = 38400;
    int bitsPerByte = 10;    // start bit, 8 data bits, stop bit
    qint64 replyDelayUs = 0; // before each answer leaves, e.g. an FTDI latency timer
};

class SimDevice : public QObject
{
    Q_OBJECT

public:
    explicit SimDevice(const DeviceConfig &config = DeviceConfig(), const LinkPacing &pacing = LinkPacing(),
                       QObject *parent = nullptr);
    ~SimDevice() override;

    // False when there was no pty to be had, or once the device has hung up.
    bool isOpen() const { return pty.isOpen(); }
    QString slavePath() const { return path; }
    const DeviceModel &model() const { return device; }
    const DeviceCounters &counters() const { return device.counters(); }
    QByteArray flash() const { return device.flash(); }

    // One engine tick has passed: held replies come a tick nearer, and the next piece of a
    // split reply goes even if the engine has not read the last one (its port may be closed).
    void tick();
    // Pumps events until nothing moves between device and engine (told exactly, not by waiting
    // a while); false after maxMs.
    bool settle(int maxMs = 2000);
    // Replies (or pieces of them) not yet on the wire.
    int pendingReplies() const { return int(pieces.size()); }
    // Bytes the device sends unasked, behind whatever is queued.
    void inject(const QByteArray &bytes);
    // The cable pulled now: the device hangs up.
    void pullCable() { hangUp(); }
    // Names the device's pty as linkPath too (a link, replacing one there), as the system names a
    // plugged adapter: the name goes when the device hangs up or goes away, so that it never
    // leads to a pty the system has handed to someone else since.
    bool linkAs(const QString &linkPath);

signals:
    void applicationStarted(qint64 count);
    // Bytes from the engine as they were read, before they are carried out.
    void received(const QByteArray &bytes);

private:
    struct Piece
    {
        qint64 dueNs = 0;
        int ticksLeft = 0;      // held for engine ticks (unpaced)
        bool afterRead = false; // a split reply's later piece: waits until the engine read
        bool closeLink = false;
        QByteArray bytes;
    };

    void onReadable();
    void schedule(const std::vector<Emission> &list, qint64 readNs, qint64 readBytes);
    void queue(Piece piece);
    void pump();
    bool writeOut(const QByteArray &bytes);
    void hangUp();
    void unlinkName();
    qint64 wireNs(qint64 bytes) const { return bytes * pace.bitsPerByte * 1000000000 / pace.baud; }

    DeviceModel device;
    LinkPacing pace;
    PtyPair pty;
    QString path;
    QString linkName;
    QSocketNotifier *reader = nullptr;
    QTimer *due = nullptr;
    QElapsedTimer clock;
    std::deque<Piece> pieces;
    std::vector<Emission> emissions; // reused between reads
    QByteArray unwritten;            // refused by a full pty for now
    bool forced = false;             // a tick passed: the next piece goes even if the last is unread
    qint64 inboundFreeNs = 0;
    qint64 outboundFreeNs = 0;
    qint64 lastDueNs = 0;
};
