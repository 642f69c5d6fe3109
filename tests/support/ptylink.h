// A pseudo-terminal pair: the program opens the slave by its path, the test (or the
// simulated device) plays the far end on the master.
#pragma once

#include "ptypair.h"

#include <QByteArray>
#include <QString>

class PtyLink
{
public:
    PtyLink();
    ~PtyLink();
    PtyLink(const PtyLink &) = delete;
    PtyLink &operator=(const PtyLink &) = delete;

    bool isOpen() const { return pair.isOpen(); }
    QString slavePath() const { return pair.slavePath(); }
    int masterFd() const { return pair.masterFd(); }

    void write(const QByteArray &bytes);
    // Whatever the master can read now, without waiting.
    QByteArray readAvailable();
    // The next line (up to and including '\n'), pumping the Qt event loop while waiting.
    // Returns an empty array on timeout; bytes of a partial line stay for the next call.
    QByteArray readLine(int timeoutMs = 2000);
    // Pumps events for a while and returns everything that arrived meanwhile.
    QByteArray drain(int ms = 20);
    // The device unplugged: closes the master (the slave side then reports errors).
    void closeMaster();

private:
    void fill(int timeoutMs);

    PtyPair pair;
    QByteArray pending;
};
