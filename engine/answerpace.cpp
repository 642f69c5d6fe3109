#include "answerpace.h"

#include "enginestate.h"

#include <algorithm>
#include <iterator>

using namespace Protocol;

void AnswerPace::blockSent(int bytes, qint64 ns, bool resent)
{
    sentAtNs = ns;
    sentBytes = bytes;
    blockResent = resent;
}

QString AnswerPace::answered(int replyBytes, qint64 ns, qint64 ms, bool timerLow)
{
    answerTimes[answerCount++ % Samples] = ms;
    // What the wire cannot account for is held on the way: an FTDI chip's latency timer, as a
    // rule. Only blocks sent once are timed, and only the first ones, before anything has settled.
    if (blockResent || heldCount >= Samples)
        return QString();
    const qint64 wireUs = qint64(sentBytes + replyBytes) * LinkBitsPerByte * 1000000 / LinkBaud;
    heldSamplesUs[heldCount++] = (ns - sentAtNs) / 1000 - wireUs;
    if (heldCount < Samples)
        return QString();
    qint64 sorted[Samples];
    std::copy(std::begin(heldSamplesUs), std::end(heldSamplesUs), sorted);
    std::nth_element(sorted, sorted + Samples / 2, sorted + Samples);
    const qint64 median = sorted[Samples / 2];
    if (median <= HeldWorthItUs)
        return QString();
    const QString held = QString::number(double(median) / 1000.0, 'f', 1);
    // The driver says its timer is low already: lowering it would gain nothing.
    if (timerLow)
        return QStringLiteral(
                   "Answers held %1 ms beyond the wire time (median of the first %2 blocks), with the port's "
                   "latency timer low already: a busy PC or a slow driver, most likely")
            .arg(held, QString::number(Samples));
    measuredHeldUs = median;
    return QStringLiteral("Answers held %1 ms beyond the wire time (median of the first %2 blocks): the port's latency "
                          "timer, most likely")
        .arg(held, QString::number(Samples));
}

qint64 AnswerPace::msLeft(qint32 imageFileSize) const
{
    const int samples = qMin(answerCount, Samples);
    if (samples < 4)
        return -1;
    const qint64 newest = answerTimes[(answerCount - 1) % Samples];
    const qint64 oldest = answerTimes[(answerCount - samples) % Samples];
    const double msPerBlock = double(newest - oldest) / (samples - 1);
    const quint32 fillEnd = (quint32(imageFileSize) + FillBoundary - 1) / FillBoundary * FillBoundary;
    const qint64 blocksLeft = masterAddress < fillEnd ? (fillEnd - masterAddress) / BlockSize : 0;
    // The fixed pauses still ahead: after the image, after the boundary, after "$MJAPP".
    int pauseTicks = 0;
    switch (sequencerStage) {
    case StageProgram:
        pauseTicks = 2 * BlockAnswerTicks + StartApplicationTicks;
        break;
    case StageFill:
        pauseTicks = BlockAnswerTicks + StartApplicationTicks + (suppressResend ? tickCountdown : 0);
        break;
    case StageStartApplication:
        pauseTicks = tickCountdown + StartApplicationTicks;
        break;
    case StageFinish:
        pauseTicks = tickCountdown;
        break;
    default:
        return -1;
    }
    return qint64(double(blocksLeft) * msPerBlock) + qint64(pauseTicks) * TickMs;
}
