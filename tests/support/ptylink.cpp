#include "ptylink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <cerrno>
#include <poll.h>
#include <unistd.h>

PtyLink::PtyLink()
{
    pair.open();
}

PtyLink::~PtyLink() = default;

void PtyLink::closeMaster()
{
    pair.closeMaster();
}

void PtyLink::write(const QByteArray &bytes)
{
    const char *p = bytes.constData();
    int left = bytes.size();
    while (left > 0 && pair.isOpen()) {
        const ssize_t n = ::write(pair.masterFd(), p, size_t(left));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                pollfd pfd{pair.masterFd(), POLLOUT, 0};
                ::poll(&pfd, 1, 100);
                continue;
            }
            return;
        }
        p += n;
        left -= int(n);
    }
}

QByteArray PtyLink::readAvailable()
{
    fill(0);
    QByteArray out;
    out.swap(pending);
    return out;
}

void PtyLink::fill(int timeoutMs)
{
    if (!pair.isOpen())
        return;
    pollfd pfd{pair.masterFd(), POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) <= 0 || !(pfd.revents & POLLIN))
        return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pair.masterFd(), buffer, sizeof buffer);
        if (n <= 0)
            break;
        pending.append(buffer, int(n));
    }
}

QByteArray PtyLink::readLine(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        fill(0);
        const int newline = pending.indexOf('\n');
        if (newline >= 0) {
            const QByteArray line = pending.left(newline + 1);
            pending.remove(0, newline + 1);
            return line;
        }
        if (deadline.hasExpired())
            return QByteArray();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        fill(1);
    }
}

QByteArray PtyLink::drain(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        fill(1);
    }
    return readAvailable();
}
