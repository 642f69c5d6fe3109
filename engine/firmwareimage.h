// The firmware image: read whole, once, and checked before anything is sent. What the device
// receives and what the update's log names (its SHA-256) are these bytes, whatever happens to
// the file on disk meanwhile.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

class FirmwareImage
{
public:
    // The image beside the program (appDirectory); null when its path does not fit.
    static QString besideProgram();

    // Reads the file (a null path: none) and checks that it can be sent. A pipe or FIFO is read
    // to its end without blocking the caller for good: cancelled() is asked while it waits.
    static FirmwareImage load(const QString &path, const std::function<bool()> &cancelled = {});

    QString path() const { return filePath; }
    // Why it cannot be sent, short, to follow "Firmware image "; empty when it can.
    QString problem() const { return refusal; }
    // The debug line that says why; empty when it can be sent.
    QString detail() const { return detailLine; }
    // The file's size in bytes, as read (as the system gives it where it was not read).
    qint64 fileSize() const { return bytesInFile; }
    // What the log heading says of it, after "Image: ".
    QString description() const { return heading; }
    // Of the whole file as read; empty when it was not read.
    QByteArray sha256() const { return digest; }

    // What the sequencer takes, from 0x4000 on: as a file read in order, block by block.
    bool atEnd() const { return position >= bytes.size(); }
    qint64 size() const { return bytesInFile; }
    qint64 pos() const;
    QByteArray read(qint64 maxBytes);
    // Done with for now: at its end. The bytes stay, for the whole image to go again.
    void close();
    // Back to 0x4000, as after the read before the erase.
    void rewind() { position = 0; }

    // How the file on disk now differs from what was read, for the log; empty when it does not
    // (or when it cannot be read again, as a pipe).
    QString changeOnDisk() const;

private:
    QString filePath;
    QString refusal;
    QString detailLine;
    QString heading;
    bool regular = false; // a plain file, which can be looked at again afterwards
    qint64 bytesInFile = 0;
    QDateTime modified;
    QByteArray digest;
    QByteArray bytes; // the file from 0x4000 on
    int position = 0; // in bytes
};
