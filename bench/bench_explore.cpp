// The schedule explorer for long runs: bench/run --explore N plays N schedules drawn from seeds
// and prints schedules per second (wall and CPU), the faults played by kind and the failures;
// --explore --seed S, or --schedule 'TEXT' (as a failure prints it), replays one and says what it did.
#include "explorer.h"
#include "rig.h"

#include <sys/resource.h>

#include <cstdio>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int replay(Explorer &explorer, const Schedule &schedule)
{
    const Verdict verdict = explorer.play(schedule);
    std::printf("%s\n%s after %d ticks, exit %d%s\n", qPrintable(schedule.text()), verdict.ok() ? "held" : "FAILED",
                verdict.ticks, verdict.exitCode, verdict.ambiguous ? " (ambiguous: the flash is not asserted)" : "");
    for (const QString &failure : verdict.failures)
        std::printf("  %s\n", qPrintable(failure));
    for (const QString &line : verdict.trail)
        std::printf("    %s\n", qPrintable(line));
    return verdict.ok() ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions(
        {{QStringLiteral("explore"), QStringLiteral("Schedules to play."), QStringLiteral("N")},
         {QStringLiteral("first"), QStringLiteral("The seed of the first (default 1)."), QStringLiteral("S")},
         {QStringLiteral("seed"), QStringLiteral("Replay the schedule of this seed."), QStringLiteral("S")},
         {QStringLiteral("schedule"), QStringLiteral("Replay this schedule."), QStringLiteral("TEXT")},
         {QStringLiteral("unasserted"),
          QStringLiteral("Also answers held past the resend, which the contract cannot tell from "
                         "others: counted, not asserted.")}});
    parser.process(app);
    Rig rig;
    qInstallMessageHandler(quiet);
    Explorer explorer(rig.dir.path());
    const bool unasserted = parser.isSet(QStringLiteral("unasserted"));
    if (parser.isSet(QStringLiteral("seed")))
        return replay(explorer, Schedule::draw(parser.value(QStringLiteral("seed")).toULongLong(), unasserted));
    if (parser.isSet(QStringLiteral("schedule"))) {
        Schedule schedule;
        if (!Schedule::parse(parser.value(QStringLiteral("schedule")), schedule)) {
            std::fprintf(stderr, "bench_explore: not a schedule: %s\n",
                         qPrintable(parser.value(QStringLiteral("schedule"))));
            return 2;
        }
        return replay(explorer, schedule);
    }
    const quint64 count = parser.value(QStringLiteral("explore")).toULongLong();
    const quint64 first =
        parser.isSet(QStringLiteral("first")) ? parser.value(QStringLiteral("first")).toULongLong() : 1;
    QElapsedTimer wall;
    wall.start();
    const double cpuBefore = cpuSeconds();
    std::array<qint64, ScheduleEventKinds> played{};
    qint64 failures = 0, ambiguous = 0, fooled = 0, complete = 0, blocks = 0;
    for (quint64 seed = first; seed < first + count; ++seed) {
        const Schedule schedule = Schedule::draw(seed, unasserted);
        const Verdict verdict = explorer.play(schedule);
        for (int kind = 0; kind < ScheduleEventKinds; ++kind)
            played[size_t(kind)] += verdict.played[size_t(kind)];
        complete += verdict.complete;
        blocks += verdict.blocks;
        ambiguous += verdict.ambiguous;
        fooled += verdict.ambiguous && verdict.wrongFlash;
        if (!verdict.ok()) {
            ++failures;
            std::printf("FAILED: %s\n  %s\n", qPrintable(schedule.text()), qPrintable(verdict.failures.join("\n  ")));
        }
        if ((seed - first + 1) % 10000 == 0)
            std::printf("%llu schedules, %.0f a second\n", seed - first + 1,
                        (seed - first + 1) / (wall.nsecsElapsed() / 1e9));
    }
    const double secondsTaken = wall.nsecsElapsed() / 1e9, cpu = cpuSeconds() - cpuBefore;
    static const char *const names[ScheduleEventKinds] = {
        "lost commands",      "lost replies",    "corrupted replies", "noise bytes",   "noise lines", "split replies",
        "duplicated replies", "delayed replies", "stray replies",     "pulled cables", "file changes"};
    QStringList kinds;
    for (int kind = 0; kind < ScheduleEventKinds; ++kind)
        kinds << QStringLiteral("%1 %2").arg(names[kind]).arg(played[size_t(kind)]);
    std::printf("faults played: %s\n", qPrintable(kinds.join(QStringLiteral(", "))));
    std::printf("explore_schedules: %llu in %.1f s: %.0f a second, %.0f per CPU second (%.2f ms of CPU each); "
                "%lld complete, %lld blocks taken\n",
                count, secondsTaken, count / secondsTaken, count / cpu, 1000 * cpu / count, complete, blocks);
    std::printf("explore_ambiguous: %lld schedules the contract cannot tell apart, %lld of them fooled the engine\n",
                ambiguous, fooled);
    std::printf("explore_failures: %lld\n", failures);
    return failures ? 1 : 0;
}
