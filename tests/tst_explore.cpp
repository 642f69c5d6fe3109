// The program's word against the unit's flash under schedules of faults drawn from seeds: lost,
// garbled, split, duplicated and held answers, answers nobody asked for, the cable pulled and
// another unit plugged in, the image file changed, short and long give-up times. A failing
// schedule is shrunk and printed; bench/run --explore --schedule '...' replays it.
#include "explorer.h"
#include "rig.h"

namespace {
constexpr quint64 SeedsPerPart = 520;
int playedSchedules = 0;
double seconds = 0;
std::array<qint64, ScheduleEventKinds> played{};
} // namespace

class TestExplore : public QObject
{
    Q_OBJECT

private slots:
    void schedules_data()
    {
        QTest::addColumn<QString>("fixed"); // one schedule, as text; empty: a part of the seeds
        QTest::addColumn<quint64>("firstSeed");
        // What the explorer found, shrunk: a stale erase answer in the two ticks before the erase
        // went out started the image on a flash nobody had erased.
        QTest::newRow("stale erase answer before the erase")
            << "seed 557, size 0x4001, give up 8 s; t5 stray $MERASEA" << quint64(0);
        for (quint64 part = 0; part < 4; ++part)
            QTest::addRow("seeds %llu-%llu", part * SeedsPerPart + 1, (part + 1) * SeedsPerPart)
                << QString() << part * SeedsPerPart + 1;
    }

    void schedules()
    {
        QFETCH(QString, fixed);
        QFETCH(quint64, firstSeed);
        Rig rig;
        Explorer explorer(rig.dir.path());
        QElapsedTimer clock;
        clock.start();
        const quint64 count = fixed.isEmpty() ? SeedsPerPart : 1;
        for (quint64 i = 0; i < count; ++i) {
            Schedule schedule;
            if (fixed.isEmpty())
                schedule = Schedule::draw(firstSeed + i);
            else
                QVERIFY2(Schedule::parse(fixed, schedule), qPrintable(fixed));
            const Verdict verdict = explorer.play(schedule);
            ++playedSchedules;
            for (int kind = 0; kind < ScheduleEventKinds; ++kind)
                played[size_t(kind)] += verdict.played[size_t(kind)];
            if (verdict.ok())
                continue;
            const Schedule least = explorer.shrink(schedule);
            const Verdict again = explorer.play(least);
            QFAIL(qPrintable(QStringLiteral("%1\nshrunk to: %2\n%3\nwhat it did:\n  %4")
                                 .arg(schedule.text(), least.text(), again.failures.join('\n'),
                                      again.trail.join(QStringLiteral("\n  ")))));
        }
        seconds += clock.nsecsElapsed() / 1e9;
    }

    void cleanupTestCase()
    {
        static const char *const names[ScheduleEventKinds] = {
            "lost commands", "lost replies",  "corrupted replies",  "noise bytes",
            "noise lines",   "split replies", "duplicated replies", "delayed replies",
            "stray replies", "pulled cables", "file changes"};
        QStringList kinds;
        for (int kind = 0; kind < ScheduleEventKinds; ++kind)
            kinds << QStringLiteral("%1 %2").arg(names[kind]).arg(played[size_t(kind)]);
        qInfo("explored: %d schedules in %.1f s (%.0f a second); faults played: %s", playedSchedules, seconds,
              playedSchedules / qMax(seconds, 1e-9), qPrintable(kinds.join(", ")));
    }
};

QTEST_GUILESS_MAIN(TestExplore)
#include "tst_explore.moc"
