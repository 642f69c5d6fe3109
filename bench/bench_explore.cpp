// The schedule explorer for long runs: bench/run --explore N plays N schedules drawn from seeds
// and prints schedules per second (wall and CPU), the faults played by kind and the failures;
// --explore --seed S, or --schedule 'TEXT' (as a failure prints it), replays one and says what it did.
#include "explorer.h"
#include "procstat.h"
#include "rig.h"

#include <cstdio>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// What a run of schedules came to; workers hand theirs over as one line.
struct Tally
{
    qint64 schedules = 0, complete = 0, blocks = 0, ambiguous = 0, fooled = 0, failures = 0;
    double cpu = 0;
    std::array<qint64, ScheduleEventKinds> played{};

    void count(const Verdict &verdict)
    {
        ++schedules;
        complete += verdict.complete;
        blocks += verdict.blocks;
        ambiguous += verdict.ambiguous;
        fooled += verdict.ambiguous && verdict.wrongFlash;
        failures += !verdict.ok();
        for (int kind = 0; kind < ScheduleEventKinds; ++kind)
            played[size_t(kind)] += verdict.played[size_t(kind)];
    }
    QByteArray line() const
    {
        QByteArray text = QByteArray::number(schedules) + ' ' + QByteArray::number(complete) + ' ' +
                          QByteArray::number(blocks) + ' ' + QByteArray::number(ambiguous) + ' ' +
                          QByteArray::number(fooled) + ' ' + QByteArray::number(failures) + ' ' +
                          QByteArray::number(cpu, 'f', 3);
        for (qint64 each : played)
            text += ' ' + QByteArray::number(each);
        return text;
    }
    void add(const QByteArray &text)
    {
        const QList<QByteArray> f = text.trimmed().split(' ');
        if (f.size() != 7 + ScheduleEventKinds)
            return;
        schedules += f[0].toLongLong();
        complete += f[1].toLongLong();
        blocks += f[2].toLongLong();
        ambiguous += f[3].toLongLong();
        fooled += f[4].toLongLong();
        failures += f[5].toLongLong();
        cpu += f[6].toDouble();
        for (int kind = 0; kind < ScheduleEventKinds; ++kind)
            played[size_t(kind)] += f[7 + kind].toLongLong();
    }
};

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
         {QStringLiteral("jobs"), QStringLiteral("Processes to spread them over (default: one per core)."),
          QStringLiteral("J")},
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
    const int jobs = parser.isSet(QStringLiteral("jobs")) ? parser.value(QStringLiteral("jobs")).toInt()
                                                          : QThread::idealThreadCount();
    QElapsedTimer wall;
    wall.start();
    Tally tally;
    if (jobs > 1 && count >= quint64(jobs) * 10) {
        // One process per core, each with a share of the seeds; their tallies add up here.
        std::vector<std::unique_ptr<QProcess>> workers;
        for (int job = 0; job < jobs; ++job) {
            const quint64 from = first + count * quint64(job) / quint64(jobs);
            const quint64 to = first + count * quint64(job + 1) / quint64(jobs);
            QStringList args{QStringLiteral("--explore"), QString::number(to - from), QStringLiteral("--first"),
                             QString::number(from),       QStringLiteral("--jobs"),   QStringLiteral("1")};
            if (unasserted)
                args << QStringLiteral("--unasserted");
            workers.push_back(std::make_unique<QProcess>());
            workers.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            workers.back()->start(QCoreApplication::applicationFilePath(), args);
        }
        for (const auto &worker : workers) {
            worker->waitForFinished(-1);
            for (const QByteArray &line : worker->readAllStandardOutput().split('\n')) {
                if (line.startsWith("FAILED") || line.startsWith("  "))
                    std::printf("%s\n", line.constData());
                else if (line.startsWith("explore_tally: "))
                    tally.add(line.mid(15));
            }
        }
    } else {
        const double cpuBefore = cpuSeconds(RUSAGE_SELF);
        for (quint64 seed = first; seed < first + count; ++seed) {
            const Schedule schedule = Schedule::draw(seed, unasserted);
            const Verdict verdict = explorer.play(schedule);
            tally.count(verdict);
            if (!verdict.ok())
                std::printf("FAILED: %s\n  %s\n", qPrintable(schedule.text()),
                            qPrintable(verdict.failures.join("\n  ")));
        }
        tally.cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;
        std::printf("explore_tally: %s\n", tally.line().constData());
    }
    const double secondsTaken = wall.nsecsElapsed() / 1e9;
    static const char *const names[ScheduleEventKinds] = {
        "lost commands",      "lost replies",    "corrupted replies", "noise bytes",   "noise lines", "split replies",
        "duplicated replies", "delayed replies", "stray replies",     "pulled cables", "file changes"};
    QStringList kinds;
    for (int kind = 0; kind < ScheduleEventKinds; ++kind)
        kinds << QStringLiteral("%1 %2").arg(names[kind]).arg(tally.played[size_t(kind)]);
    std::printf("faults played: %s\n", qPrintable(kinds.join(QStringLiteral(", "))));
    std::printf("explore_schedules: %lld in %.1f s (%d processes): %.0f a second; %.0f per CPU second (%.2f ms of "
                "CPU each); %lld complete, %lld blocks taken\n",
                tally.schedules, secondsTaken, qMax(1, jobs), tally.schedules / secondsTaken,
                tally.schedules / tally.cpu, 1000 * tally.cpu / qMax<qint64>(1, tally.schedules), tally.complete,
                tally.blocks);
    std::printf("explore_ambiguous: %lld schedules the contract cannot tell apart, %lld of them fooled the engine\n",
                tally.ambiguous, tally.fooled);
    std::printf("explore_failures: %lld\n", tally.failures);
    const qint64 failures = tally.failures;
    return failures ? 1 : 0;
}
