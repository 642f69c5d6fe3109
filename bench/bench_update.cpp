// Whole updates between the engine and the simulated device, timed from the engine's side:
// block round trips per second unpaced and the engine's own CPU time a block, the paced time
// against the link's own wire time, the peak memory of an update, several units at once.
#include "boottest.h"
#include "enginestate.h"
#include "flashcheck.h"
#include "procstat.h"
#include "rig.h"
#include "simdevice.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Watches the engine's debug lines: the block that "$MERASEA" brings starts the clock, the
// line with the image's end position stops it; the bytes sent in between are counted.
struct Trace
{
    QElapsedTimer clock;
    QString endLine;
    bool eraseSent = false;
    qint64 startNs = -1;
    qint64 endNs = -1;
    qint64 commandBytes = 0;
    int blocks = 0;
} trace;

void watch(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg || trace.endNs >= 0)
        return;
    if (message.startsWith(QLatin1String("String Len: "))) {
        const int length = message.mid(12).toInt();
        if (!trace.eraseSent) {
            trace.eraseSent = true;
            return;
        }
        if (trace.startNs < 0)
            trace.startNs = trace.clock.nsecsElapsed();
        trace.commandBytes += length;
        ++trace.blocks;
    } else if (message == trace.endLine) {
        trace.endNs = trace.clock.nsecsElapsed();
    }
}

struct Result
{
    double cpuSeconds = 0; // the thread's, from the erase to the end of the image
    double seconds = 0;
    int blocks = 0;
    qint64 commandBytes = 0;
    bool flashOk = false;
    bool latencyHint = false; // the engine found the answers held back
};

QByteArray makeImage(int size)
{
    QRandomGenerator random(4242);
    QByteArray image(size, Qt::Uninitialized);
    for (char &c : image)
        c = char(random.bounded(256));
    return image;
}

// A fresh engine state, with `image` beside the program in `dir` and the logs there too.
void beside(const QTemporaryDir &dir, const QByteArray &image)
{
    QFile file(dir.path() + QStringLiteral("/VelmorithAL_full.bin"));
    file.open(QIODevice::WriteOnly);
    file.write(image);
    file.close();
    resetEngineState();
    UpdateLog::setFolder(dir.path() + QStringLiteral("/logs"));
    const QByteArray directory = dir.path().toUtf8() + '/';
    std::memcpy(appDirectory, directory.constData(), size_t(directory.size()) + 1);
}

Result runOnce(const QByteArray &image, const LinkPacing &pacing)
{
    QTemporaryDir dir;
    beside(dir, image);

    SimDevice device(DeviceConfig(), pacing);
    trace = Trace();
    trace.endLine = QString::number(image.size());
    trace.clock.start();
    Result result;
    {
        BootTest engine(device.slavePath());
        EngineProbe::timer(&engine)->stop();
        const double cpuBefore = cpuSeconds(RUSAGE_THREAD);
        Rig::tick(&engine, 7); // to the erase
        while (trace.endNs < 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        // The rest of the update: fill blocks and the start. The pauses' ticks go by at once,
        // but none while an answer is on its way, which would make it a resend.
        result.cpuSeconds = cpuSeconds(RUSAGE_THREAD) - cpuBefore;
        while (engine.isRunning() || device.pendingReplies() > 0) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (device.pendingReplies() == 0)
                Rig::tick(&engine);
        }
        result.flashOk = device.counters().applicationStarts == 1 && checkFlash(device.flash(), image).ok;
        result.latencyHint = engine.heldAnswerMs() >= 0;
    }
    result.seconds = double(trace.endNs - trace.startNs) / 1e9;
    result.blocks = trace.blocks;
    result.commandBytes = trace.commandBytes;
    return result;
}

// The engine's own CPU time a block, user and system: the device answers from a thread of its own,
// and only the engine's thread is timed, from the erase's answer to the image's last block.
double engineCpuPerBlockUs(const QByteArray &image)
{
    QTemporaryDir dir;
    beside(dir, image);
    QThread thread;
    QObject anchor;
    anchor.moveToThread(&thread);
    thread.start();
    SimDevice *device = nullptr;
    QMetaObject::invokeMethod(
        &anchor, [&device] { device = new SimDevice(); }, Qt::BlockingQueuedConnection);
    trace = Trace();
    trace.endLine = QString::number(image.size());
    trace.clock.start();
    double cpu = 0;
    {
        BootTest engine(device->slavePath());
        EngineProbe::timer(&engine)->stop();
        Rig::tick(&engine, 7); // to the erase
        while (trace.startNs < 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double before = cpuSeconds(RUSAGE_THREAD);
        while (trace.endNs < 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        cpu = cpuSeconds(RUSAGE_THREAD) - before;
    }
    QMetaObject::invokeMethod(
        &anchor, [device] { delete device; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    return 1e6 * cpu / qMax(1, trace.blocks - 1);
}

double wireSeconds(const Result &r, const LinkPacing &pacing)
{
    const qint64 replyBytes = qint64(r.blocks) * qint64(std::strlen("$MPRGA*3670\r\n"));
    return double(r.commandBytes + replyBytes) * pacing.bitsPerByte / pacing.baud;
}

// Several units at once, one console program per port, as a production line runs them: the wall
// time from the first start to the last exit.
double flashAtOnce(int units, const QByteArray &image, bool &allCorrect)
{
    QTemporaryDir dir;
    const QString imagePath = dir.path() + QStringLiteral("/image.bin");
    QFile file(imagePath);
    file.open(QIODevice::WriteOnly);
    file.write(image);
    file.close();
    LinkPacing paced;
    paced.enabled = true;
    std::vector<std::unique_ptr<SimDevice>> devices;
    std::vector<std::unique_ptr<QProcess>> processes;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.path()); // their logs
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < units; ++i) {
        devices.push_back(std::make_unique<SimDevice>(DeviceConfig(), paced));
        processes.push_back(std::make_unique<QProcess>());
        processes.back()->setProcessEnvironment(environment);
        processes.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        processes.back()->start(QStringLiteral(VELMORITH_FLASH),
                                {QStringLiteral("--port"), devices.back()->slavePath(), QStringLiteral("--image"),
                                 imagePath, QStringLiteral("--give-up-after"), QStringLiteral("30")});
    }
    const auto running = [&processes] {
        return std::any_of(processes.begin(), processes.end(),
                           [](const std::unique_ptr<QProcess> &p) { return p->state() != QProcess::NotRunning; });
    };
    while (running())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    for (int i = 0; i < units; ++i) {
        const bool ok = processes[i]->exitCode() == 0 && devices[i]->counters().applicationStarts == 1 &&
                        checkFlash(devices[i]->flash(), image).ok;
        allCorrect = allCorrect && ok;
        if (!ok)
            std::printf("unit %d: exit code %d, flash %s\n", i + 1, processes[i]->exitCode(),
                        qPrintable(checkFlash(devices[i]->flash(), image).description));
    }
    return seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(watch);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));

    // Unpaced: 64 KiB image, 1536 program blocks, median of several runs.
    const QByteArray full = makeImage(0x10000);
    std::vector<double> rates;
    std::vector<double> cpuPerBlock;
    bool allCorrect = true;
    for (int run = 0; run < (quick ? 2 : 7); ++run) {
        const Result r = runOnce(full, LinkPacing());
        allCorrect = allCorrect && r.flashOk && r.blocks == 1536;
        rates.push_back(r.blocks / r.seconds);
        cpuPerBlock.push_back(1e6 * r.cpuSeconds / r.blocks);
        std::printf("unpaced run %d: %d blocks in %.4f s, %.0f round trips/s, CPU %.1f us a block, flash %s\n", run + 1,
                    r.blocks, r.seconds, r.blocks / r.seconds, cpuPerBlock.back(), r.flashOk ? "correct" : "WRONG");
    }
    std::sort(rates.begin(), rates.end());
    const double medianRate = rates[rates.size() / 2];
    std::sort(cpuPerBlock.begin(), cpuPerBlock.end());
    std::printf("CPU per round trip, engine and simulated device on one thread (median): %.1f us; the rest is "
                "the pseudo-terminal's wake-ups\n",
                cpuPerBlock[cpuPerBlock.size() / 2]);
    const long rss = statusKib("VmHWM");
    std::vector<double> engineCpu;
    for (int run = 0; run < (quick ? 2 : 5); ++run)
        engineCpu.push_back(engineCpuPerBlockUs(full));
    std::sort(engineCpu.begin(), engineCpu.end());

    // Paced at 38400 baud: the engine's time against the wire time of the same messages.
    LinkPacing paced;
    paced.enabled = true;
    const QByteArray small = makeImage(0x4000 + (quick ? 0x800 : 0x2000));
    const Result p = runOnce(small, paced);
    const double ratio = p.seconds / wireSeconds(p, paced);
    std::printf("paced 38400 baud: %d blocks in %.3f s, wire %.3f s, %.2f ms a block, flash %s\n", p.blocks, p.seconds,
                wireSeconds(p, paced), 1000 * p.seconds / p.blocks, p.flashOk ? "correct" : "WRONG");

    // The FTDI chip's latency timer (16 ms by default) holds every short reply back.
    LinkPacing latency = paced;
    latency.replyDelayUs = 16000;
    const Result l = runOnce(makeImage(0x4000 + 0x800), latency);
    const double latencyRatio = l.seconds / wireSeconds(l, latency);
    std::printf("paced 38400 baud + 16 ms reply latency: %d blocks in %.3f s, %.2f ms a block (%.2f x wire), "
                "hint %s\n",
                l.blocks, l.seconds, 1000 * l.seconds / l.blocks, latencyRatio, l.latencyHint ? "given" : "NOT given");
    allCorrect = allCorrect && l.latencyHint && !p.latencyHint;
    // Bytes, not blocks, set the wire time: a 64 KiB image at the same pace.
    std::printf("64 KiB image estimate: %.1f s at 38400 baud, %.1f s with 16 ms latency\n", 1536 * p.seconds / p.blocks,
                1536 * l.seconds / l.blocks);

    allCorrect = allCorrect && p.flashOk && l.flashOk;

    // One console program per unit: four at once should take no longer than one alone.
    const QByteArray unitImage = makeImage(0x4000 + (quick ? 0x800 : 0x2000));
    const double one = flashAtOnce(1, unitImage, allCorrect);
    const double four = flashAtOnce(4, unitImage, allCorrect);
    std::printf("velmorith-flash at 38400 baud, %d bytes: one unit %.2f s, four at once %.2f s\n",
                int(unitImage.size()) - 0x4000, one, four);

    std::printf("roundtrips_per_s: %.0f engine_cpu_per_block_us: %.1f\n", medianRate, engineCpu[engineCpu.size() / 2]);
    std::printf("paced_ratio: %.4f\n", ratio);
    std::printf("latency16_ratio: %.4f hint_shown: %s\n", latencyRatio, l.latencyHint ? "yes" : "no");
    std::printf("peak_rss_kib: %ld\n", rss);
    std::printf("parallel_4_ratio: %.3f\n", four / one);
    return allCorrect ? 0 : 1;
}
