#include "inthreaddevice.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <poll.h>
#include <unistd.h>

InThreadDevice::InThreadDevice(const DeviceConfig &config, QObject *parent) : QObject(parent), device(config)
{
    if (pty.open())
        setUp();
}

InThreadDevice::InThreadDevice(int masterFd, const DeviceConfig &config, QObject *parent)
    : QObject(parent), device(config)
{
    if (pty.adopt(masterFd))
        setUp();
}

InThreadDevice::~InThreadDevice()
{
    // Notifiers go before their descriptor does.
    delete readNotifier;
    delete writeNotifier;
}

void InThreadDevice::setUp()
{
    readNotifier = new QSocketNotifier(pty.masterFd(), QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &InThreadDevice::onReadable);
    writeNotifier = new QSocketNotifier(pty.masterFd(), QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, &InThreadDevice::onWritable);
    drainPoll = new QTimer(this);
    drainPoll->setInterval(1);
    drainPoll->setSingleShot(true);
    connect(drainPoll, &QTimer::timeout, this, [this] {
        pieceSettling = false;
        pump();
    });
}

void InThreadDevice::onReadable()
{
    char buffer[4096];
    for (;;) {
        if (!pty.isOpen())
            return;
        const ssize_t n = ::read(pty.masterFd(), buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        emissions.clear();
        device.receive(buffer, int(n), emissions);
        for (Emission &e : emissions) {
            if (e.closeLink) {
                hangUp();
                return;
            }
            if (!e.bytes.isEmpty()) {
                if (queue.empty() && e.cuts.empty() && e.delayTicks == 0) {
                    writeOut(e.bytes.constData(), e.bytes.size());
                } else {
                    Pending p;
                    p.bytes = e.bytes;
                    p.cuts = std::move(e.cuts);
                    p.ticksLeft = e.delayTicks;
                    queue.push_back(std::move(p));
                }
            }
            emit messageHandled(e.message);
            if (e.kind == CommandKind::StartApplication)
                emit applicationStarted(device.counters().applicationStarts);
        }
        pump();
    }
}

void InThreadDevice::pump()
{
    while (!queue.empty() && pty.isOpen()) {
        Pending &p = queue.front();
        if (p.ticksLeft > 0)
            return;
        // Each piece of a split reply waits until the engine has taken the one before, so
        // that it really sees the reply in parts. A pty hands bytes over through a kernel
        // work item, so the count on the slave side is only looked at a moment after a write.
        if (p.written > 0 && !pieceForced && (pieceSettling || !unwritten.isEmpty() || pty.pendingForSlave() > 0)) {
            if (!drainPoll->isActive())
                drainPoll->start();
            return;
        }
        pieceForced = false;
        const int end = p.cuts.empty() ? p.bytes.size() : p.cuts.front();
        if (!writeOut(p.bytes.constData() + p.written, end - p.written))
            return;
        p.written = end;
        if (!p.cuts.empty()) {
            p.cuts.erase(p.cuts.begin());
            pieceSettling = true;
            continue;
        }
        queue.pop_front();
    }
}

bool InThreadDevice::writeOut(const char *data, int size)
{
    if (!pty.isOpen())
        return false;
    if (!unwritten.isEmpty()) {
        unwritten.append(data, size);
        return true;
    }
    while (size > 0) {
        const ssize_t n = ::write(pty.masterFd(), data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                return false;
            // The engine is not reading (port closed?): keep the rest until it does.
            unwritten.append(data, size);
            writeNotifier->setEnabled(true);
            return true;
        }
        data += n;
        size -= int(n);
    }
    return true;
}

void InThreadDevice::onWritable()
{
    while (!unwritten.isEmpty() && pty.isOpen()) {
        const ssize_t n = ::write(pty.masterFd(), unwritten.constData(), size_t(unwritten.size()));
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return;
        }
        unwritten.remove(0, int(n));
    }
    writeNotifier->setEnabled(false);
    pump();
}

void InThreadDevice::tick()
{
    for (Pending &p : queue) {
        if (p.ticksLeft > 0)
            --p.ticksLeft;
    }
    if (!queue.empty() && queue.front().written > 0)
        pieceForced = true;
    pump();
}

bool InThreadDevice::settle(int maxMs)
{
    QDeadlineTimer deadline(maxMs);
    struct Snapshot
    {
        qint64 bytesIn;
        int forSlave;
        size_t queued;
        int written;
        int unwritten;
        bool operator==(const Snapshot &o) const
        {
            return bytesIn == o.bytesIn && forSlave == o.forSlave && queued == o.queued && written == o.written &&
                   unwritten == o.unwritten;
        }
    };
    auto take = [this] {
        return Snapshot{device.counters().bytesReceived, pty.pendingForSlave(), queue.size(),
                        queue.empty() ? 0 : queue.front().written, unwritten.size()};
    };
    Snapshot last = take();
    int quiet = 0;
    // Bytes cross a pty through a kernel work item, so "nothing moved" must hold over a few
    // passes with a short wait for the master in between.
    while (quiet < 3) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        // Wait briefly for bytes to either side (the engine's side included, so that a reply
        // on its way costs no full wait).
        bool readable = false;
        if (pty.isOpen()) {
            pollfd pfd[2] = {{pty.masterFd(), POLLIN, 0}, {pty.heldSlaveFd(), POLLIN, 0}};
            // Bytes already waiting for the engine need an event-loop pass, not a wait.
            ::poll(pfd, 2, pty.pendingForSlave() > 0 ? 0 : 1);
            readable = pfd[0].revents & POLLIN;
        }
        const Snapshot now = take();
        quiet = (!readable && !pieceSettling && now == last) ? quiet + 1 : 0;
        last = now;
    }
    return true;
}

void InThreadDevice::inject(const QByteArray &bytes)
{
    Pending p;
    p.bytes = bytes;
    queue.push_back(std::move(p));
    pump();
}

void InThreadDevice::unplug()
{
    hangUp();
}

void InThreadDevice::hangUp()
{
    if (!pty.isOpen())
        return;
    readNotifier->setEnabled(false);
    writeNotifier->setEnabled(false);
    drainPoll->stop();
    queue.clear();
    unwritten.clear();
    pty.closeMaster();
    emit linkClosed();
}
