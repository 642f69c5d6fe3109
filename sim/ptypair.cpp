#include "ptypair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PtyPair::~PtyPair()
{
    closeMaster();
    if (slave >= 0)
        ::close(slave);
}

bool PtyPair::open()
{
    char name[256] = {};
    if (master >= 0)
        return false;
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        master = slave = -1;
        return false;
    }
    // No echo, no line discipline: bytes pass unchanged both ways.
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    path = QString::fromLocal8Bit(name);
    return true;
}

int PtyPair::pendingForSlave() const
{
    int count = 0;
    if (slave < 0)
        return -1;
    // Bytes cross a pty through a kernel work item, which poll() runs at once: after it the
    // count holds every byte written so far.
    pollfd slaveEnd{slave, POLLIN, 0};
    ::poll(&slaveEnd, 1, 0);
    if (ioctl(slave, FIONREAD, &count) != 0)
        return -1;
    return count;
}

bool PtyPair::masterReadable() const
{
    // As above: the poll itself carries over whatever the engine has written.
    pollfd masterEnd{master, POLLIN, 0};
    return master >= 0 && ::poll(&masterEnd, 1, 0) > 0 && (masterEnd.revents & POLLIN);
}

void PtyPair::closeMaster()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}
