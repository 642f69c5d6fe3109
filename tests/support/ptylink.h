// A pseudo-terminal pair: the program opens the slave by its path, the test (or the
// simulated device) plays the far end on the master.
#pragma once

#include <QByteArray>
#include <QString>

class PtyLink
{
public:
    PtyLink();
    ~PtyLink();
    PtyLink(const PtyLink &) = delete;
    PtyLink &operator=(const PtyLink &) = delete;

    bool isOpen() const { return master >= 0; }
    QString slavePath() const { return path; }
    int masterFd() const { return master; }

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

    int master = -1;
    int slave = -1;
    QString path;
    QByteArray pending;
};
