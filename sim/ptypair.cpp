#include "ptypair.h"

#include <fcntl.h>
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
    if (slave < 0 || ioctl(slave, FIONREAD, &count) != 0)
        return -1;
    return count;
}

void PtyPair::closeMaster()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}
