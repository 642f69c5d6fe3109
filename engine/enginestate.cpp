#include "enginestate.h"
#include "portlisting.h"
#include "updatelog.h"

#include <QElapsedTimer>

#include <cstring>

namespace {
std::function<qint64()> clockSource;
} // namespace

qint64 EngineClock::now()
{
    if (clockSource)
        return clockSource();
    static QElapsedTimer system = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return system.nsecsElapsed();
}

void EngineClock::setSource(const std::function<qint64()> &source)
{
    clockSource = source;
}

char appDirectory[400];
bool appDirectoryOverflow = false;

qint32 sequencerStage = 0;
qint32 tickCountdown = 0;
quint32 masterAddress = 0;
qint32 chainStep = 0;
quint8 chainCount = 0;
bool suppressResend = false;
char txBuffer[Protocol::TxBufferSize];
QByteArray currentBlock;
BootTest *activeEngine = nullptr;

void resetEngineState()
{
    std::memset(appDirectory, 0, sizeof appDirectory);
    appDirectoryOverflow = false;
    sequencerStage = 0;
    tickCountdown = 0;
    masterAddress = 0;
    chainStep = 0;
    chainCount = 0;
    suppressResend = false;
    std::memset(txBuffer, 0, sizeof txBuffer);
    currentBlock.clear();
    activeEngine = nullptr;
    UpdateLog::setFolder(QString());
    UpdateLog::setClock(nullptr);
    PortListing::setSeam(nullptr);
    EngineClock::setSource(nullptr);
}
