#include "ptylink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyLink::PtyLink()
{
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        master = slave = -1;
        return;
    }
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    path = QString::fromLocal8Bit(name);
    // Our slave descriptor stays open so the master never sees a hang-up while the
    // program closes and reopens its port.
}

PtyLink::~PtyLink()
{
    closeMaster();
    if (slave >= 0)
        ::close(slave);
}

void PtyLink::closeMaster()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}

void PtyLink::write(const QByteArray &bytes)
{
    const char *p = bytes.constData();
    int left = bytes.size();
    while (left > 0 && master >= 0) {
        const ssize_t n = ::write(master, p, size_t(left));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                pollfd pfd{master, POLLOUT, 0};
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
    if (master < 0)
        return;
    pollfd pfd{master, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) <= 0 || !(pfd.revents & POLLIN))
        return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
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
