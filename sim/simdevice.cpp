#include "simdevice.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QMetaMethod>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <tuple>
#include <unistd.h>
#include <utility>

SimDevice::SimDevice(const DeviceConfig &config, const LinkPacing &pacing, QObject *parent)
    : QObject(parent), device(config), pace(pacing)
{
    clock.start();
    due = new QTimer(this);
    due->setSingleShot(true);
    due->setTimerType(Qt::PreciseTimer);
    connect(due, &QTimer::timeout, this, &SimDevice::pump);
    if (!pty.open())
        return;
    path = pty.slavePath();
    reader = new QSocketNotifier(pty.masterFd(), QSocketNotifier::Read, this);
    connect(reader, &QSocketNotifier::activated, this, &SimDevice::onReadable);
}

SimDevice::~SimDevice()
{
    delete reader; // before its descriptor goes
    unlinkName();
}

bool SimDevice::linkAs(const QString &linkPath)
{
    // Made aside and renamed over: the name never leads nowhere while it is being replaced.
    const QString made = linkPath + QStringLiteral(".new");
    QFile::remove(made);
    if (path.isEmpty() || !QFile::link(path, made) ||
        ::rename(QFile::encodeName(made).constData(), QFile::encodeName(linkPath).constData()) != 0) {
        QFile::remove(made);
        return false;
    }
    linkName = linkPath;
    return true;
}

void SimDevice::unlinkName()
{
    // Only while it is still this device's: a device plugged in since may have taken the name.
    if (!linkName.isEmpty() && QFileInfo(linkName).symLinkTarget() == path)
        QFile::remove(linkName);
    linkName.clear();
}

void SimDevice::onReadable()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pty.masterFd(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (isSignalConnected(QMetaMethod::fromSignal(&SimDevice::received)))
            emit received(QByteArray(buffer, int(n)));
        emissions.clear();
        device.receive(buffer, int(n), emissions);
        schedule(emissions, clock.nsecsElapsed(), n);
        for (const Emission &e : emissions) {
            if (e.kind == CommandKind::StartApplication)
                emit applicationStarted(device.counters().applicationStarts);
        }
        if (n < ssize_t(sizeof buffer)) // all there was: no need to ask again
            break;
    }
    pump();
}

void SimDevice::schedule(const std::vector<Emission> &list, qint64 readNs, qint64 readBytes)
{
    // Paced, the bytes of this read crossed the inbound wire one after another from `start`.
    const qint64 start = pace.enabled ? qMax(readNs, inboundFreeNs) : readNs;
    inboundFreeNs = start + wireNs(readBytes);
    for (const Emission &e : list) {
        Piece piece;
        piece.dueNs = pace.enabled ? start + wireNs(e.inputEnd) : readNs;
        if (e.closeLink) {
            piece.closeLink = true;
            queue(piece);
            continue;
        }
        if (e.bytes.isEmpty())
            continue;
        if (pace.enabled)
            piece.dueNs += pace.replyDelayUs * 1000 + qint64(e.delayTicks) * Sim::TickMs * 1000000;
        else
            piece.ticksLeft = e.delayTicks;
        const qint64 wireStart = qMax(piece.dueNs, outboundFreeNs);
        int from = 0;
        for (size_t i = 0; i <= e.cuts.size(); ++i) {
            const int to = i < e.cuts.size() ? e.cuts[i] : e.bytes.size();
            Piece part = piece;
            part.bytes = e.bytes.mid(from, to - from);
            part.afterRead = i > 0;
            part.ticksLeft = i > 0 ? 0 : piece.ticksLeft;
            // Paced, a piece is written when its last byte has crossed the wire.
            if (pace.enabled)
                part.dueNs = wireStart + wireNs(to);
            queue(part);
            from = to;
        }
        if (pace.enabled)
            outboundFreeNs = wireStart + wireNs(e.bytes.size());
    }
}

void SimDevice::queue(Piece piece)
{
    // The wire keeps order: nothing overtakes what is queued before it.
    piece.dueNs = lastDueNs = qMax(piece.dueNs, lastDueNs);
    pieces.push_back(std::move(piece));
}

void SimDevice::pump()
{
    const auto again = [this](qint64 ns) {
        due->start(int(qBound(qint64(1), (ns + 999999) / 1000000, qint64(INT_MAX))));
    };
    if (!unwritten.isEmpty() && !writeOut(QByteArray()))
        return again(1); // the engine is not reading (its port closed?): try again shortly
    // What is due at once leaves in one write: bytes back to back on a wire reach the engine
    // together, where separate writes could reach it in separate reads, as the kernel pleases.
    QByteArray batch;
    const auto send = [this, &batch] { return batch.isEmpty() || writeOut(std::exchange(batch, QByteArray())); };
    while (!pieces.empty() && pty.isOpen()) {
        Piece &piece = pieces.front();
        if (piece.ticksLeft > 0)
            break;
        // Timers count whole milliseconds: the last one is waited out here, so that a paced
        // reply is neither early nor a millisecond late.
        const qint64 wait = piece.dueNs - clock.nsecsElapsed();
        if (wait >= 1000000)
            return send() ? again(wait - 999999) : again(1);
        if (wait > 0) {
            const timespec rest{0, long(wait)};
            nanosleep(&rest, nullptr);
        }
        // Each piece of a split reply waits until the engine has taken the one before, so
        // that it really sees the reply in parts.
        if (piece.afterRead && (!send() || (!forced && pty.pendingForSlave() != 0)))
            return again(1);
        forced = false;
        if (piece.closeLink) {
            send();
            return hangUp();
        }
        batch += piece.bytes;
        pieces.pop_front();
    }
    if (!send())
        again(1);
}

bool SimDevice::writeOut(const QByteArray &bytes)
{
    unwritten += bytes;
    while (!unwritten.isEmpty()) {
        const ssize_t n = ::write(pty.masterFd(), unwritten.constData(), size_t(unwritten.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        unwritten.remove(0, int(n));
    }
    return true;
}

void SimDevice::tick()
{
    for (Piece &piece : pieces) {
        if (piece.ticksLeft > 0)
            --piece.ticksLeft;
    }
    forced = !pieces.empty() && pieces.front().afterRead;
    // What arrived meanwhile is answered now, behind what was held, and leaves with it.
    if (pty.isOpen() && pty.masterReadable())
        onReadable();
    else
        pump();
}

bool SimDevice::settle(int maxMs)
{
    QDeadlineTimer deadline(maxMs);
    const auto snapshot = [this] {
        return std::make_tuple(device.counters().bytesReceived, pty.pendingForSlave(), pieces.size(), unwritten.size());
    };
    // A pass looks at both ends of the pty, which carries over whatever is under way, sends what
    // is due and delivers the events that follow. The link is settled once two passes in a row
    // find nothing to read, nothing to send and nothing moved: no time limit decides it.
    auto last = snapshot();
    for (int quiet = 0; quiet < 2;) {
        if (deadline.hasExpired())
            return false;
        // The device first: what it has received it answers at once, behind what it is sending,
        // as a real one does while the engine has yet to look.
        const bool readable = pty.isOpen() && pty.masterReadable();
        if (readable)
            onReadable();
        // A piece that goes without a tick, or without the engine reading the one before.
        const bool going = !pieces.empty() && pieces.front().ticksLeft == 0 &&
                           !(pieces.front().afterRead && !forced && pty.pendingForSlave() > 0);
        if (going && !readable) {
            const qint64 wait = pieces.front().dueNs - clock.nsecsElapsed();
            if (wait > 0) { // paced: until it is due, or the engine writes
                pollfd master{pty.masterFd(), POLLIN, 0};
                ::poll(&master, 1, int(wait / 1000000) + 1);
            }
            pump();
        }
        QCoreApplication::processEvents();
        const auto now = snapshot();
        quiet = !readable && !going && now == last ? quiet + 1 : 0;
        last = now;
    }
    return true;
}

void SimDevice::inject(const QByteArray &bytes)
{
    Piece piece;
    piece.dueNs = clock.nsecsElapsed();
    piece.bytes = bytes;
    queue(piece);
    pump();
}

void SimDevice::hangUp()
{
    delete reader;
    reader = nullptr;
    due->stop();
    pieces.clear();
    unwritten.clear();
    unlinkName();
    pty.closeMaster();
}
