// A pseudo-terminal for the simulated device: the device plays the master, the engine opens
// the slave by its path. A slave descriptor is kept open for the pair's life, so that the
// master never sees a hang-up while the engine closes and reopens its port, and so that the
// bytes still waiting for the engine can be counted.
#pragma once

#include <QString>

class PtyPair
{
public:
    PtyPair() = default;
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    // Opens a new pair (raw mode, non-blocking master). False when the system has none to give.
    bool open();
    bool isOpen() const { return master >= 0; }
    int masterFd() const { return master; }
    // The held slave descriptor: for poll() only (reading it would take the engine's bytes).
    int heldSlaveFd() const { return slave; }
    QString slavePath() const { return path; }
    // Bytes written by the device that the engine has not read yet, exactly; -1 when unknown.
    int pendingForSlave() const;
    // Whether bytes the engine wrote wait to be read, exactly.
    bool masterReadable() const;
    // Hangs up: the engine's port then reports the device gone.
    void closeMaster();

private:
    int master = -1;
    int slave = -1;
    QString path;
};
