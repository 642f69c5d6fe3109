#include "portaccess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>

#if defined(Q_OS_LINUX)
#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace PortAccess {

#if defined(Q_OS_LINUX)

namespace {

// Where the holder of a device writes the name it uses, for the one it refuses: a folder every
// program on the machine can write to.
QString holderFile(int fd)
{
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        return QString();
    const QString name = QStringLiteral("/velmorith-port-%1.%2").arg(major(info.st_rdev)).arg(minor(info.st_rdev));
    const QFileInfo runLock(QStringLiteral("/run/lock"));
    return (runLock.isDir() && runLock.isWritable() ? runLock.filePath() : QDir::tempPath()) + name;
}

} // namespace

bool claim(QSerialPort &port, QString &heldBy)
{
    const int fd = int(port.handle());
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        QFile holder(holderFile(fd));
        if (holder.open(QIODevice::WriteOnly | QIODevice::Truncate))
            holder.write(QStringLiteral("%1, process %2, as %3")
                             .arg(QCoreApplication::instance()
                                      ? QFileInfo(QCoreApplication::applicationFilePath()).fileName()
                                      : QStringLiteral("a program"))
                             .arg(QCoreApplication::applicationPid())
                             .arg(port.portName())
                             .toUtf8());
        return true;
    }
    if (errno != EWOULDBLOCK)
        return true; // a device without locks: the system's exclusive open is all there is
    QFile holder(holderFile(fd));
    heldBy = holder.open(QIODevice::ReadOnly) ? QString::fromUtf8(holder.read(1000)) : QString();
    if (heldBy.isEmpty())
        heldBy = QStringLiteral("another program");
    return false;
}

void release(QSerialPort &port)
{
    const int fd = int(port.handle());
    if (fd < 0)
        return;
    // Only what this program wrote: another may have the device by now.
    QFile holder(holderFile(fd));
    if (holder.open(QIODevice::ReadOnly) &&
        QString::fromUtf8(holder.readAll())
            .contains(QStringLiteral(", process %1, ").arg(QCoreApplication::applicationPid())))
        holder.remove();
    ::flock(fd, LOCK_UN);
}

bool present(const QString &portName)
{
    return QFileInfo::exists(portName.startsWith(QLatin1Char('/')) ? portName : QStringLiteral("/dev/") + portName);
}

QString openProblem(const QSerialPort &port)
{
    const QString reason = port.errorString();
    if (port.error() != QSerialPort::PermissionError || ::geteuid() == 0)
        return reason;
    // A refusal the user can lift: the device's group (dialout on Debian) may read and write it.
    const QString path =
        port.portName().startsWith(QLatin1Char('/')) ? port.portName() : QStringLiteral("/dev/") + port.portName();
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 ||
        (info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return reason;
    // Already in it (a lock, another program): joining would change nothing.
    gid_t groups[256];
    const int count = ::getgroups(256, groups);
    if (::getegid() == info.st_gid ||
        std::find(groups, groups + qMax(count, 0), info.st_gid) != groups + qMax(count, 0))
        return reason;
    const group *owner = ::getgrgid(info.st_gid);
    if (!owner)
        return reason;
    return QStringLiteral("%1 - the port belongs to the group %2: join it with sudo usermod -aG %2 $USER, then "
                          "log in again")
        .arg(reason, QString::fromLocal8Bit(owner->gr_name));
}

#else

// Windows opens a COM port for one program at a time, administrators included.
bool claim(QSerialPort &, QString &)
{
    return true;
}

void release(QSerialPort &) {}

bool present(const QString &)
{
    return true;
}

QString openProblem(const QSerialPort &port)
{
    return port.errorString();
}

#endif

} // namespace PortAccess
