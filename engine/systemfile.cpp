#include "systemfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#if QT_VERSION < QT_VERSION_CHECK(5, 11, 0) && defined(Q_OS_WIN)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif
#if defined(Q_OS_LINUX)
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QFileInfo>
#endif

namespace SystemFile {

bool createNew(QFile &file, QString &error)
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 11, 0)
    if (file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::NewOnly | QIODevice::Unbuffered))
        return true;
    error = file.errorString();
    return false;
#else
    // Qt before 5.11 has no exclusive create: the system's own, then Qt on the descriptor.
#if defined(Q_OS_WIN)
    const int fd = _wopen(reinterpret_cast<const wchar_t *>(file.fileName().utf16()),
                          _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd =
        ::open(QFile::encodeName(file.fileName()).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (file.open(fd, QIODevice::WriteOnly | QIODevice::Text | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        return true;
    error = file.errorString();
#if defined(Q_OS_WIN)
    _close(fd);
#else
    ::close(fd);
#endif
    return false;
#endif
}

#if defined(Q_OS_LINUX)

StreamRead readStream(const QString &path, qint64 maxBytes, const std::function<bool()> &cancelled)
{
    StreamRead result;
    // Non-blocking: a FIFO nobody writes to yet would hold a plain open() for good.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        result.error = QString::fromLocal8Bit(std::strerror(errno));
        return result;
    }
    result.opened = true;
    char buffer[4096];
    while (!result.complete && result.error.isEmpty()) {
        if (cancelled && cancelled()) {
            result.error = QStringLiteral("interrupted");
            break;
        }
        // A FIFO reports its end only once a writer has come and gone; until then it waits.
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, 100);
        if (ready < 0 && errno != EINTR)
            result.error = QString::fromLocal8Bit(std::strerror(errno));
        if (ready <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer, size_t(qMin<qint64>(sizeof buffer, maxBytes - result.bytes.size())));
        if (n > 0)
            result.bytes.append(buffer, int(n));
        else if (n == 0)
            result.complete = true;
        else if (errno != EAGAIN && errno != EINTR)
            result.error = QString::fromLocal8Bit(std::strerror(errno));
        if (result.bytes.size() >= maxBytes)
            result.complete = true;
    }
    ::close(fd);
    return result;
}

PlainRead readPlain(const QString &path, qint64 maxBytes)
{
    PlainRead result;
    // Opened without waiting, then looked at through the descriptor: what is read is what was looked at.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        result.error = QString::fromLocal8Bit(std::strerror(errno));
        return result;
    }
    struct stat info = {};
    result.plain = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    char buffer[4096];
    while (result.plain && result.bytes.size() < maxBytes) {
        const ssize_t n = ::read(fd, buffer, size_t(qMin<qint64>(sizeof buffer, maxBytes - result.bytes.size())));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            result.error = QString::fromLocal8Bit(std::strerror(errno));
        if (n <= 0)
            break;
        result.bytes.append(buffer, int(n));
    }
    ::close(fd);
    return result;
}

#else

StreamRead readStream(const QString &path, qint64 maxBytes, const std::function<bool()> &)
{
    StreamRead result;
    QFile file(path);
    result.opened = file.open(QIODevice::ReadOnly);
    if (!result.opened) {
        result.error = file.errorString();
        return result;
    }
    result.bytes = file.read(maxBytes);
    result.complete = file.error() == QFileDevice::NoError;
    if (!result.complete)
        result.error = file.errorString();
    return result;
}

PlainRead readPlain(const QString &path, qint64 maxBytes)
{
    PlainRead result;
    // Pipes on these systems have names of their own, never a file's.
    result.plain = QFileInfo(path).isFile();
    QFile file(path);
    if (!result.plain)
        return result;
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = file.errorString();
        return result;
    }
    result.bytes = file.read(maxBytes);
    if (file.error() != QFileDevice::NoError)
        result.error = file.errorString();
    return result;
}

#endif

} // namespace SystemFile
