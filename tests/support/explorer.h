// Whole updates under schedules of faults drawn from a seed: the console program's update against
// simulated units over a pseudo-terminal, ticks and the engine's clock moved here, so that a
// schedule runs in milliseconds and a seed replays the same run. After each schedule the
// program's word is checked against the unit's flash, and a failing schedule shrinks to the few
// events that matter.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <vector>

struct ScheduleEvent
{
    enum Kind {
        // On a message of a unit, by its number there (1 is the first message the unit receives).
        LoseCommand,
        LoseReply,
        CorruptReply,
        NoiseBytes,
        NoiseLine,
        SplitReply,
        DuplicateReply,
        DelayReply, // value: ticks
        // At a tick.
        Stray,      // value: which reply (StrayNames)
        Pull,       // the cable; value: ticks until it is back, back: what comes back
        FileChange, // value: how (FileChanges)
    };
    enum Back { Nothing, SameUnit, AnotherUnit };

    Kind kind = LoseCommand;
    int unit = 0;  // message events: the unit, in the order they were plugged in (0 the first)
    qint64 at = 0; // the message number, or the tick
    int value = 0;
    Back back = Nothing;

    bool onMessage() const { return kind <= DelayReply; }
};
constexpr int ScheduleEventKinds = 11;

struct Schedule
{
    quint64 seed = 0;
    int imageSize = 0x4000 + 32; // the file's bytes, the first 0x4000 included
    int giveUpTicks = 1500;      // the console's give-up time
    std::vector<ScheduleEvent> events;

    // One line: "size 0x4425, give up 300 s; u0 m12 lose-command; t40 pull, another unit back after 7".
    QString text() const;
    // The schedule a text() gives; false when it is none.
    static bool parse(const QString &text, Schedule &schedule);
    // Drawn from the seed. `unasserted`: also faults that the update's contract cannot tell from
    // others (an answer held past the resend).
    static Schedule draw(quint64 seed, bool unasserted = false);
    // Whether histories that answers without addresses cannot tell apart may be played: a stale
    // answer (a stray one, or one held past the resend) together with a lost command. The flash is
    // then not asserted, only counted.
    bool ambiguous() const;
};

struct Verdict
{
    QStringList failures; // the invariants that did not hold, each with what was seen
    bool complete = false;
    bool wrongFlash = false; // reported complete, the unit's flash not the image
    bool ambiguous = false;
    int exitCode = -1;
    int ticks = 0;
    qint64 blocks = 0;                               // program blocks the units took
    std::array<qint64, ScheduleEventKinds> played{}; // events that really happened, by kind
    QStringList trail;                               // what the run did, for a reader
    bool ok() const { return failures.isEmpty(); }
};

class Explorer
{
public:
    // Logs, images and the units' names in `folder`, which must exist.
    explicit Explorer(const QString &folder);
    ~Explorer();

    Verdict play(const Schedule &schedule);
    // The smallest schedule found that still fails as `schedule` does (fewer events, earlier ones,
    // a smaller image); `tries` caps the runs.
    Schedule shrink(const Schedule &schedule, int tries = 400);

private:
    QString folder;
};

// "$MBL", ... the replies a stray event sends, in value order.
extern const char *const StrayNames[7];
