#include "threadeddevice.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

qint64 monotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

constexpr qint64 TickNs = qint64(Sim::TickMs) * 1000000;

} // namespace

ThreadedDevice::ThreadedDevice(const DeviceConfig &config, const LinkPacing &pacing) : device(config), pace(pacing)
{
    if (pace.baud <= 0)
        pace.baud = 38400;
    if (pace.bitsPerByte <= 0)
        pace.bitsPerByte = 10;
    emissions.reserve(64);
}

ThreadedDevice::~ThreadedDevice()
{
    stop();
    if (wakeFd >= 0)
        ::close(wakeFd);
}

bool ThreadedDevice::open()
{
    return pty.isOpen() || pty.open();
}

bool ThreadedDevice::start()
{
    if (running.load() || hungUp.load() || !open())
        return false;
    if (thread.joinable())
        thread.join();
    if (wakeFd < 0)
        wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0)
        return false;
    stopping = false;
    running = true;
    thread = std::thread([this] { run(); });
    return true;
}

void ThreadedDevice::stop()
{
    if (!thread.joinable())
        return;
    stopping = true;
    const quint64 one = 1;
    ssize_t ignored = ::write(wakeFd, &one, sizeof one);
    (void)ignored;
    thread.join();
}

DeviceCounters ThreadedDevice::counters() const
{
    std::lock_guard<std::mutex> guard(lock);
    return device.counters();
}

QByteArray ThreadedDevice::flash() const
{
    std::lock_guard<std::mutex> guard(lock);
    return device.flash();
}

std::vector<quint32> ThreadedDevice::programmedAddresses() const
{
    std::lock_guard<std::mutex> guard(lock);
    return device.programmedAddresses();
}

void ThreadedDevice::setStartHandler(std::function<void(qint64, const QByteArray &)> handler)
{
    std::lock_guard<std::mutex> guard(lock);
    startHandler = std::move(handler);
}

bool ThreadedDevice::waitForApplicationStarts(qint64 count, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock);
    return startsChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                  [&] { return device.counters().applicationStarts >= count; });
}

qint64 ThreadedDevice::wireNs(qint64 bytes) const
{
    return bytes * pace.bitsPerByte * 1000000000 / pace.baud;
}

void ThreadedDevice::run()
{
    // Deadlines are meant to the microsecond; the default 50 us timer slack would blur them.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    while (!stopping.load()) {
        qint64 now = monotonicNs();
        writeDue(now);
        if (hungUp.load())
            break;

        pollfd fds[2] = {{pty.masterFd(), short(POLLIN | (unwritten.isEmpty() ? 0 : POLLOUT)), 0}, {wakeFd, POLLIN, 0}};
        // The timeout is taken from the absolute deadline just before waiting, and ppoll never
        // returns early on a timeout, so no write goes out before its time.
        timespec timeout{};
        timespec *wait = nullptr;
        if (!pieces.empty()) {
            const qint64 left = qMax<qint64>(0, pieces.front().dueNs - now);
            timeout.tv_sec = time_t(left / 1000000000);
            timeout.tv_nsec = long(left % 1000000000);
            wait = &timeout;
        }
        const int ready = ppoll(fds, 2, wait, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents & POLLIN) {
            quint64 drained;
            ssize_t ignored = ::read(wakeFd, &drained, sizeof drained);
            (void)ignored;
            continue;
        }
        now = monotonicNs();
        if (fds[0].revents & POLLOUT && !unwritten.isEmpty()) {
            QByteArray rest;
            rest.swap(unwritten);
            writeOut(rest.constData(), rest.size());
        }
        if (fds[0].revents & POLLIN)
            readInput(now);
        else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            break; // the link is gone for good (the slave is held, so this is not the engine)
    }
    running = false;
}

void ThreadedDevice::readInput(qint64 nowNs)
{
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(pty.masterFd(), buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        emissions.clear();
        bool started = false;
        {
            std::lock_guard<std::mutex> guard(lock);
            device.receive(buffer, int(n), emissions);
            for (const Emission &e : emissions)
                started = started || e.kind == CommandKind::StartApplication;
        }
        if (pace.enabled) {
            const qint64 start = qMax(nowNs, inboundFreeNs);
            inboundFreeNs = start + wireNs(n);
            schedule(emissions, start);
        } else {
            schedule(emissions, nowNs);
        }
        if (started) {
            std::function<void(qint64, const QByteArray &)> handler;
            qint64 count;
            QByteArray image;
            {
                std::lock_guard<std::mutex> guard(lock);
                handler = startHandler;
                count = device.counters().applicationStarts;
                if (handler)
                    image = device.flash();
            }
            startsChanged.notify_all();
            if (handler)
                handler(count, image);
        }
        if (n < qint64(sizeof buffer))
            break;
    }
    if (!batch.isEmpty()) {
        writeOut(batch.constData(), batch.size());
        batch.clear();
    }
}

// `startNs`: paced, when the first byte of this read began to cross the inbound wire;
// unpaced, when it was read.
void ThreadedDevice::schedule(const std::vector<Emission> &list, qint64 startNs)
{
    for (const Emission &e : list) {
        if (!pace.enabled) {
            if (e.closeLink) {
                queuePiece(startNs, QByteArray(), true);
                continue;
            }
            if (e.bytes.isEmpty())
                continue;
            // Nothing held or in pieces ahead: goes out with the others of this read.
            if (pieces.empty() && e.cuts.empty() && e.delayTicks == 0) {
                batch += e.bytes;
                continue;
            }
            const qint64 base = startNs + e.delayTicks * TickNs;
            int from = 0;
            qint64 k = 0;
            for (size_t i = 0; i <= e.cuts.size(); ++i, ++k) {
                const int to = i < e.cuts.size() ? e.cuts[i] : e.bytes.size();
                queuePiece(base + k * pace.splitGapUs * 1000, e.bytes.mid(from, to - from), false);
                from = to;
            }
            continue;
        }

        const qint64 lineDone = startNs + wireNs(e.inputEnd);
        qint64 ready = lineDone;
        if (e.kind != CommandKind::None) {
            ready = qMax(lineDone, processorFreeNs) + pace.processingDelayUs * 1000;
            if (e.kind == CommandKind::Erase)
                ready += pace.eraseDelayUs * 1000;
            processorFreeNs = ready;
        }
        if (e.closeLink) {
            queuePiece(ready, QByteArray(), true);
            continue;
        }
        if (e.bytes.isEmpty())
            continue;
        ready += e.delayTicks * TickNs;
        const qint64 wireStart = qMax(ready, outboundFreeNs);
        int from = 0;
        for (size_t i = 0; i <= e.cuts.size(); ++i) {
            const int to = i < e.cuts.size() ? e.cuts[i] : e.bytes.size();
            queuePiece(wireStart + wireNs(to), e.bytes.mid(from, to - from), false);
            from = to;
        }
        outboundFreeNs = wireStart + wireNs(e.bytes.size());
    }
}

void ThreadedDevice::queuePiece(qint64 dueNs, QByteArray bytes, bool closeLink)
{
    // The wire keeps order: nothing overtakes what is queued before it.
    dueNs = qMax(dueNs, lastDueNs);
    lastDueNs = dueNs;
    pieces.push_back(Piece{dueNs, std::move(bytes), closeLink});
}

void ThreadedDevice::writeDue(qint64 nowNs)
{
    while (!pieces.empty() && pieces.front().dueNs <= nowNs) {
        if (pieces.front().closeLink) {
            pieces.clear();
            unwritten.clear();
            pty.closeMaster();
            hungUp = true;
            return;
        }
        writeOut(pieces.front().bytes.constData(), pieces.front().bytes.size());
        pieces.pop_front();
    }
}

void ThreadedDevice::writeOut(const char *data, int size)
{
    if (!unwritten.isEmpty()) {
        unwritten.append(data, size);
        return;
    }
    while (size > 0) {
        const ssize_t n = ::write(pty.masterFd(), data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // EAGAIN: the engine is not reading (its port closed?); keep it for later.
            if (errno == EAGAIN)
                unwritten.append(data, size);
            return;
        }
        data += n;
        size -= int(n);
    }
}
