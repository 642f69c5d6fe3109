#include "ptypair.h"

#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

void makeRaw(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return;
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
}

} // namespace

PtyPair::~PtyPair()
{
    close();
}

bool PtyPair::open()
{
    close();
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        master = slave = -1;
        return false;
    }
    // No echo, no line discipline: bytes pass unchanged both ways.
    makeRaw(slave);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    owned = true;
    path = QString::fromLocal8Bit(name);
    return true;
}

bool PtyPair::adopt(int masterFd)
{
    close();
    char name[256] = {};
    if (masterFd < 0 || ptsname_r(masterFd, name, sizeof name) != 0)
        return false;
    const int fd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    master = masterFd;
    slave = fd;
    owned = false;
    makeRaw(slave);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
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
    if (master >= 0 && owned)
        ::close(master);
    master = -1;
}

void PtyPair::close()
{
    closeMaster();
    if (slave >= 0)
        ::close(slave);
    slave = -1;
    path.clear();
}
