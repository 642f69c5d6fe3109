#include "firmwareimage.h"

#include "debugtext.h"
#include "enginestate.h"
#include "systemfile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>

using namespace Protocol;

QString FirmwareImage::besideProgram()
{
    // Never cut a path short into some other path: a directory that does not fit is no image.
    char path[sizeof appDirectory];
    const size_t directoryLength = qstrnlen(appDirectory, sizeof appDirectory);
    if (appDirectoryOverflow || directoryLength + sizeof ImageFileName > sizeof path)
        return QString();
    std::memcpy(path, appDirectory, directoryLength);
    std::memcpy(path + directoryLength, ImageFileName, sizeof ImageFileName);
    return QString::fromUtf8(path);
}

FirmwareImage FirmwareImage::load(const QString &path, const std::function<bool()> &cancelled)
{
    FirmwareImage image;
    image.filePath = path;
    const auto refuse = [&image](const QString &problem, const QString &detail) {
        image.refusal = problem;
        image.detailLine = detail;
        return image;
    };
    if (path.isNull()) {
        image.heading = QStringLiteral("none, the program's folder path is too long");
        return refuse(QStringLiteral("not loaded: the program's folder path is too long"),
                      QStringLiteral("Image path too long, not loaded"));
    }
    const QFileInfo info(path);
    const QString shown = QDir::toNativeSeparators(info.absoluteFilePath());
    if (!info.exists()) {
        image.heading = QStringLiteral("%1 (missing)").arg(shown);
        return refuse(QStringLiteral("missing"), debugText("File Does not Exist "));
    }

    // One read of the whole file, before anything is sent: at most the flash's size, and one byte
    // more to tell a stream that does not fit.
    QByteArray all;
    QString unread;
    image.regular = info.isFile();
    image.modified = info.lastModified();
    if (image.regular || info.isDir()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            image.heading = info.isDir() ? QStringLiteral("%1 (a folder)").arg(shown)
                                         : QStringLiteral("%1, %2 bytes (cannot be read: %3)")
                                               .arg(shown, QString::number(info.size()), file.errorString());
            return refuse(info.isDir() ? QStringLiteral("is a folder") : QStringLiteral("cannot be opened"),
                          debugText("Image cannot be opened:", file.errorString()));
        }
        image.bytesInFile = file.size();
        if (image.bytesInFile <= qint64(FlashEnd)) {
            all = file.read(image.bytesInFile);
            if (all.size() != image.bytesInFile)
                unread = file.errorString();
        }
    } else {
        const SystemFile::StreamRead stream = SystemFile::readStream(path, qint64(FlashEnd) + 1, cancelled);
        if (!stream.opened) {
            image.heading = QStringLiteral("%1 (cannot be read: %2)").arg(shown, stream.error);
            return refuse(QStringLiteral("cannot be opened"), debugText("Image cannot be opened:", stream.error));
        }
        all = stream.bytes;
        image.bytesInFile = all.size();
        unread = stream.error;
    }

    const QString size = QString::number(image.bytesInFile);
    // One arg() call for all: a path may hold a "%2" of its own.
    if (image.bytesInFile > qint64(FlashEnd))
        image.heading = QStringLiteral("%1, %2 bytes (larger than the flash, not hashed)").arg(shown, size);
    else if (!unread.isEmpty())
        image.heading = QStringLiteral("%1, %2 bytes (cannot be read: %3)").arg(shown, size, unread);
    else {
        image.digest = QCryptographicHash::hash(all, QCryptographicHash::Sha256);
        image.heading =
            QStringLiteral("%1, %2 bytes, SHA-256 %3").arg(shown, size, QString::fromLatin1(image.digest.toHex()));
    }

    if (image.bytesInFile <= qint64(ImageStart))
        return refuse(QStringLiteral("too small (%1 bytes)").arg(size),
                      debugText("Image holds nothing beyond 0x4000:", image.bytesInFile, "bytes"));
    // Blocks beyond the flash would land who knows where in the device.
    if (image.bytesInFile > qint64(FlashEnd))
        return refuse(QStringLiteral("too large (%1 bytes)").arg(image.regular ? size : QStringLiteral("over 65536")),
                      debugText("Image larger than the flash:", image.bytesInFile, "bytes"));
    if (!unread.isEmpty())
        return refuse(QStringLiteral("cannot be read"), debugText("Image cannot be read:", unread));
    image.bytes = all.mid(int(ImageStart));
    return image;
}

qint64 FirmwareImage::pos() const
{
    return qint64(ImageStart) + position;
}

QByteArray FirmwareImage::read(qint64 maxBytes)
{
    const QByteArray block = bytes.mid(position, int(qMax<qint64>(0, maxBytes)));
    position += block.size();
    return block;
}

void FirmwareImage::close()
{
    position = bytes.size();
}

QString FirmwareImage::changeOnDisk() const
{
    // A pipe cannot be read again; an image never read has nothing to compare with.
    if (!regular || digest.isEmpty())
        return QString();
    const QFileInfo now(filePath);
    if (!now.exists())
        return QStringLiteral("it is gone");
    const SystemFile::PlainRead read = SystemFile::readPlain(filePath, qint64(FlashEnd) + 1);
    if (!read.plain && read.error.isEmpty())
        return QStringLiteral("it is no longer a plain file");
    if (!read.error.isEmpty())
        return QStringLiteral("it cannot be read again: %1").arg(read.error);
    // The bytes decide; size and time say what to look for when they differ.
    const QByteArray again = QCryptographicHash::hash(read.bytes, QCryptographicHash::Sha256);
    if (now.size() == bytesInFile && now.lastModified() == modified && again == digest)
        return QString();
    return QStringLiteral("now %1 bytes, modified %2, SHA-256 %3")
        .arg(QString::number(now.size()), now.lastModified().toString(Qt::ISODateWithMs),
             now.size() > qint64(FlashEnd) ? QStringLiteral("not taken (larger than the flash)")
                                           : QString::fromLatin1(again.toHex()));
}
