// Arbitrary bytes from the device, through line assembly and the recogniser into a live engine.
// The first byte picks the stage the transfer is in; the rest arrives as received bytes.
#include "boottest.h"
#include "enginestate.h"
#include "rig.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {
QCoreApplication *app;
FirmwareImage *image;
PtyLink *pty;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qInstallMessageHandler(quiet);
    app = new QCoreApplication(*argc, *argv);
    pty = new PtyLink;
    // Read once, here; its folder goes at once (the fuzzer ends the process without destructors).
    QTemporaryDir dir;
    QFile file(dir.path() + QStringLiteral("/VelmorithAL_full.bin"));
    check(file.open(QIODevice::WriteOnly) && file.write(QByteArray(0x4000 + 100, '\x5A')) > 0);
    file.close();
    image = new FirmwareImage(FirmwareImage::load(file.fileName()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    resetEngineState();
    // No log files: one per input would slow the fuzzer down to the disk's pace.
    UpdateLog::setFolder(QStringLiteral("/dev/null/logs"));
    BootTest engine(pty->path(), *image);
    EngineProbe::timer(&engine)->stop();
    if (size > 0) {
        // Stages 0..5 and a few beyond; a block outstanding or not.
        sequencerStage = data[0] % 8;
        suppressResend = data[0] & 0x80;
        tickCountdown = (data[0] >> 3) & 0x0F;
        ++data;
        --size;
    }
    // Hand the bytes over in pieces, as notifications would.
    size_t offset = 0;
    while (offset < size) {
        const size_t piece = std::min<size_t>(size - offset, 1 + data[offset] % 97);
        engine.receiveBytes(QByteArray(reinterpret_cast<const char *>(data + offset), int(piece)));
        offset += piece;
        check(EngineProbe::lineLength(&engine) >= 0 && EngineProbe::lineLength(&engine) < 1000);
        check(masterAddress >= 0x4000 && masterAddress % 32 == 0);
        check(tickCountdown >= 0);
    }
    pty->drain();
    return 0;
}
