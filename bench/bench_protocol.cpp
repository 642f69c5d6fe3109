// Micro-benchmarks of the per-block work: checksum, block composition with framing, and
// reply recognition.
#include "enginestate.h"
#include "protocol.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

QByteArray sampleBlock()
{
    QByteArray block(32, Qt::Uninitialized);
    for (int i = 0; i < 32; ++i)
        block[i] = char(0x91 + i * 37);
    return block;
}

void checksumOfBlockBody(benchmark::State &state)
{
    const QByteArray body = "MPRG,4000,4030201,8070605,C0B0A09,100F0E0D,14131211,18171615,1C1B1A19,201F1E1D";
    for (auto _ : state)
        benchmark::DoNotOptimize(messageChecksum(body));
    state.SetBytesProcessed(state.iterations() * body.size());
}
BENCHMARK(checksumOfBlockBody);

void composeAndFrameBlock(benchmark::State &state)
{
    const QByteArray block = sampleBlock();
    quint32 address = 0x4000;
    for (auto _ : state) {
        composeProgramBlock(block, address);
        benchmark::DoNotOptimize(frameMessage(txBuffer));
        address = address + 32 < 0x10000 ? address + 32 : 0x4000;
    }
}
BENCHMARK(composeAndFrameBlock);

void recogniseProgramAnswer(benchmark::State &state)
{
    const char reply[] = "$MPRGA*3670\r\n";
    char line[Protocol::LineBufferSize];
    for (auto _ : state) {
        std::memcpy(line, reply, sizeof reply - 1);
        benchmark::DoNotOptimize(recogniseReply(line, int(sizeof reply - 1)));
    }
}
BENCHMARK(recogniseProgramAnswer);

void recogniseNoiseLine(benchmark::State &state)
{
    const QByteArray noise(200, 'q');
    char line[Protocol::LineBufferSize];
    for (auto _ : state) {
        std::memcpy(line, noise.constData(), size_t(noise.size()));
        benchmark::DoNotOptimize(recogniseReply(line, noise.size()));
    }
}
BENCHMARK(recogniseNoiseLine);

} // namespace

BENCHMARK_MAIN();
