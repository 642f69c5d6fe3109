// How fast the device answers: the time an update has left at that pace, and how long the port
// holds each answer beyond its wire time (an FTDI chip's latency timer, as a rule).
#pragma once

#include <QString>
#include <QtGlobal>

class AnswerPace
{
public:
    static constexpr int Samples = 32;

    // A block went out; the answer to one sent again says nothing about the port.
    void blockSent(int bytes, qint64 ns, bool resent);
    // Its answer arrived, at ns (the same clock) and ms. Returns the line for the log once the
    // first blocks show the answers held longer than is worth a word; empty otherwise. Where the
    // port's latency timer is known to be low already, what holds them is not worth a hint.
    QString answered(int replyBytes, qint64 ns, qint64 ms, bool timerLow);

    int answers() const { return answerCount; }
    // The median hold of the first blocks in ms, where it is worth lowering the timer; -1 otherwise.
    int heldMs() const { return measuredHeldUs > 0 ? int((measuredHeldUs + 500) / 1000) : -1; }
    // Milliseconds to the end of the update at the pace of the latest answers, the fixed pauses
    // still ahead included (from the shared transfer state); -1 while there is no pace to go by.
    qint64 msLeft(qint32 imageFileSize) const;

private:
    qint64 answerTimes[Samples] = {}; // ms, of the latest answers, a ring
    int answerCount = 0;
    qint64 sentAtNs = 0;
    int sentBytes = 0;
    bool blockResent = false;
    qint64 heldSamplesUs[Samples] = {}; // beyond the wire time, the first blocks sent once
    int heldCount = 0;
    qint64 measuredHeldUs = -1;
};
