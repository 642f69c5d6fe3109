// File access that the Qt releases the programs are built with do not offer alike everywhere.
// The system calls are all in systemfile.cpp.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QFile;

namespace SystemFile {

// Opens the file named in `file` for writing text, creating it; fails, with the reason in
// `error`, when the name exists already, so that a name another process has just taken is never
// opened over. Unbuffered: each write reaches the system, and a refusal comes with its reason.
bool createNew(QFile &file, QString &error);

struct StreamRead
{
    bool opened = false;
    bool complete = false; // read to its end, or to maxBytes
    QByteArray bytes;
    QString error; // why it could not be opened or read
};

// Reads a file that is no plain file (a pipe, a FIFO, a device) to its end, at most maxBytes.
// Opening and waiting never block for good: cancelled(), where given, is asked between waits.
StreamRead readStream(const QString &path, qint64 maxBytes, const std::function<bool()> &cancelled);

// Reads a plain file again, at most maxBytes: never anything else its name may lead to by now (a
// FIFO put in its place would hold the read for good), and never waiting on one.
struct PlainRead
{
    bool plain = false; // a plain file was found under the name
    QByteArray bytes;
    QString error; // why it could not be opened or read
};
PlainRead readPlain(const QString &path, qint64 maxBytes);

} // namespace SystemFile
