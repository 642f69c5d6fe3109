#include "explorer.h"

#include "flashcommand.h"
#include "rig.h"

#include <algorithm>
#include <map>
#include <sys/stat.h>

const char *const StrayNames[7] = {"$MBL", "$SERASEA", "$SPRGA", "$ABL", "$CONR", "$MPRGA", "$MERASEA"};

// Test access to the console command: its engine, and its tick driven from here.
struct CommandProbe
{
    static BootTest *engine(FlashCommand &command) { return command.engine.get(); }
    static void stopTicker(FlashCommand &command) { command.ticker->stop(); }
    static void tick(FlashCommand &command) { command.onTick(); }
};

namespace {

const char *const KindNames[ScheduleEventKinds] = {
    "lose-command",    "lose-reply",  "corrupt-reply", "noise-bytes", "noise-line", "split-reply",
    "duplicate-reply", "delay-reply", "stray",         "pull",        "file"};
const char *const BackNames[3] = {"nothing back", "the same unit back", "another unit back"};
const char *const FileChanges[4] = {"overwritten", "truncated", "grown", "a FIFO"};
constexpr int StaleAnswers[] = {5, 6}; // "$MPRGA", "$MERASEA": an answer to something sent before
// The device's faults for the message events, in their order.
constexpr FaultKind Faults[] = {FaultKind::LoseCommand,    FaultKind::LoseReply, FaultKind::CorruptReply,
                                FaultKind::NoiseBytes,     FaultKind::NoiseLine, FaultKind::SplitReply,
                                FaultKind::DuplicateReply, FaultKind::DelayReply};
constexpr int ResendTicks = 12;
constexpr qint64 TickNs = qint64(Protocol::TickMs) * 1000000;
// After the last fault a clean update must end within this: an erase cycle to wait out, a
// reopen, and the whole update's own pauses, with room to spare.
constexpr int QuietTicks = 2 * 67 + 2 * 12 + 5 + 7 + 2 * 12 + 5 + 40;

// splitmix64: the same schedules from the same seed, whatever the platform.
struct Draw
{
    quint64 state;
    quint64 next()
    {
        quint64 z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return n <= 1 ? 0 : int(next() % quint64(n)); }
    bool chance(int percent) { return below(100) < percent; }
};

int blocksOf(int imageSize)
{
    const int bytes = imageSize - 0x4000;
    const int blocks = (bytes + 31) / 32;
    const int fillEnd = (imageSize + 0xFFF) / 0x1000 * 0x1000;
    return blocks + (fillEnd - 0x4000 - blocks * 32) / 32;
}

} // namespace

namespace {
QString eventText(const ScheduleEvent &e)
{
    QString part = e.onMessage() ? QStringLiteral("u%1 m%2 %3").arg(e.unit).arg(e.at).arg(KindNames[e.kind])
                                 : QStringLiteral("t%1 %2").arg(e.at).arg(KindNames[e.kind]);
    if (e.kind == ScheduleEvent::DelayReply)
        part += QStringLiteral(" %1").arg(e.value);
    else if (e.kind == ScheduleEvent::Stray)
        part += QLatin1Char(' ') + QLatin1String(StrayNames[e.value]);
    else if (e.kind == ScheduleEvent::Pull)
        part += QStringLiteral(", %1 after %2").arg(BackNames[e.back]).arg(e.value);
    else if (e.kind == ScheduleEvent::FileChange)
        part += QLatin1Char(' ') + QLatin1String(FileChanges[e.value]);
    return part;
}
} // namespace

QString Schedule::text() const
{
    QStringList parts{QStringLiteral("seed %1, size 0x%2, give up %3 s")
                          .arg(seed)
                          .arg(imageSize, 0, 16)
                          .arg(QString::number(giveUpTicks * Protocol::TickMs / 1000.0))};
    for (const ScheduleEvent &e : events)
        parts << eventText(e);
    return parts.join(QStringLiteral("; "));
}

bool Schedule::parse(const QString &text, Schedule &schedule)
{
    const QStringList parts = text.split(QStringLiteral("; "));
    const QRegularExpressionMatch head =
        QRegularExpression(QStringLiteral("^seed (\\d+), size 0x([0-9a-f]+), give up ([0-9.]+) s$"))
            .match(parts.value(0));
    if (!head.hasMatch())
        return false;
    Schedule s;
    s.seed = head.captured(1).toULongLong();
    s.imageSize = head.captured(2).toInt(nullptr, 16);
    s.giveUpTicks = qRound(head.captured(3).toDouble() * 1000 / Protocol::TickMs);
    // The kind and the numbers; the names after them are found among what text() writes, and the
    // event must read back as it was written.
    const QRegularExpression event(QStringLiteral("^(?:u(\\d+) m|t)(\\d+) ([a-z-]+)(?:,? (.*?))?(?: after (\\d+))?$"));
    for (const QString &part : parts.mid(1)) {
        const QRegularExpressionMatch m = event.match(part);
        ScheduleEvent e;
        e.kind = ScheduleEvent::Kind(std::find(KindNames, KindNames + ScheduleEventKinds, m.captured(3)) - KindNames);
        e.unit = m.captured(1).toInt();
        e.at = m.captured(2).toLongLong();
        const QString rest = m.captured(4);
        e.value = e.kind == ScheduleEvent::Stray ? int(std::find(StrayNames, StrayNames + 7, rest) - StrayNames)
                  : e.kind == ScheduleEvent::FileChange
                      ? int(std::find(FileChanges, FileChanges + 4, rest) - FileChanges)
                  : e.kind == ScheduleEvent::Pull ? m.captured(5).toInt()
                                                  : rest.toInt();
        if (e.kind == ScheduleEvent::Pull)
            e.back = ScheduleEvent::Back(std::find(BackNames, BackNames + 3, rest) - BackNames);
        if (!m.hasMatch() || e.kind >= ScheduleEventKinds || e.back > ScheduleEvent::AnotherUnit ||
            (e.kind == ScheduleEvent::Stray && e.value > 6) || (e.kind == ScheduleEvent::FileChange && e.value > 3) ||
            eventText(e) != part)
            return false;
        s.events.push_back(e);
    }
    schedule = s;
    return true;
}

Schedule Schedule::draw(quint64 seed, bool unasserted)
{
    Draw r{seed * 0x2545F4914F6CDD1Dull + 1};
    Schedule s;
    s.seed = seed;
    // Mostly a few blocks (the fill makes them 128 at least); now and then the whole flash. Ending
    // mid-block, on a block, or on 4 KiB.
    const int size = r.below(100);
    const int blocks = size < 65   ? 1 + r.below(40)
                       : size < 90 ? 41 + r.below(216)
                       : size < 98 ? 257 + r.below(1279)
                                   : 1536;
    int bytes = blocks * 32;
    const int shape = r.below(4);
    if (shape == 0)
        bytes -= 1 + r.below(31);
    else if (shape == 1)
        bytes = qMin(0xC000, (bytes + 0xFFF) / 0x1000 * 0x1000);
    s.imageSize = 0x4000 + bytes;
    s.giveUpTicks = r.chance(25) ? 5 * (1 + r.below(8)) : 1500;
    // Faults only up to a point, so that every schedule has a quiet tail.
    const int messages = 2 + blocksOf(s.imageSize);
    const int quietMessage = 1 + r.below(messages + 10);
    const int quietTick = 1 + r.below(150);
    static const int Counts[] = {0, 1, 1, 2, 2, 3, 3, 4, 5, 7};
    const int count = Counts[r.below(10)];
    int units = 1;
    for (int i = 0; i < count; ++i) {
        ScheduleEvent e;
        const int kind = r.below(100);
        e.kind = kind < 60   ? ScheduleEvent::Kind(r.below(8))
                 : kind < 75 ? ScheduleEvent::Stray
                 : kind < 92 ? ScheduleEvent::Pull
                             : ScheduleEvent::FileChange;
        if (e.onMessage()) {
            e.at = 1 + r.below(quietMessage);
            if (e.kind == ScheduleEvent::DelayReply)
                e.value = unasserted && r.chance(50) ? ResendTicks + r.below(8) : 1 + r.below(ResendTicks - 1);
        } else {
            e.at = 1 + r.below(quietTick);
            if (e.kind == ScheduleEvent::Stray)
                e.value = r.below(7);
            else if (e.kind == ScheduleEvent::FileChange)
                e.value = r.below(4);
            else {
                e.value = 1 + r.below(40);
                const int back = r.below(100);
                e.back = back < 15   ? ScheduleEvent::Nothing
                         : back < 55 ? ScheduleEvent::SameUnit
                                     : ScheduleEvent::AnotherUnit;
                units += e.back != ScheduleEvent::Nothing;
            }
        }
        s.events.push_back(e);
    }
    // A message fault may fall on any unit plugged in, the first most often.
    for (ScheduleEvent &e : s.events) {
        if (e.onMessage() && units > 1 && r.chance(40))
            e.unit = 1 + r.below(units - 1);
    }
    return s;
}

bool Schedule::ambiguous() const
{
    bool stale = false, lost = false;
    for (const ScheduleEvent &e : events) {
        stale =
            stale ||
            (e.kind == ScheduleEvent::Stray && std::count(std::begin(StaleAnswers), std::end(StaleAnswers), e.value)) ||
            (e.kind == ScheduleEvent::DelayReply && e.value >= ResendTicks);
        lost = lost || e.kind == ScheduleEvent::LoseCommand;
    }
    return stale && lost;
}

Explorer::Explorer(const QString &where) : folder(where) {}

Explorer::~Explorer() = default;

Verdict Explorer::play(const Schedule &s)
{
    Verdict v;
    v.ambiguous = s.ambiguous();
    resetEngineState();
    UpdateLog::setFolder(folder + QStringLiteral("/logs"));
    PortListing::setSeam([] { return QList<ListedPort>(); }); // the system lists no pseudo-terminal
    qint64 now = 0;
    EngineClock::setSource([&now] { return now; });
    FakeDriver driver;
    const QString imagePath = folder + QStringLiteral("/image.bin");
    const QString port = folder + QStringLiteral("/ttyUSB0");
    QFile::remove(imagePath);
    const QByteArray image = rehearsalImage(s.imageSize, quint32(s.seed));
    {
        QFile file(imagePath);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
            v.failures << QStringLiteral("setup: cannot write %1").arg(imagePath);
            return v;
        }
    }

    // The units, in the order they are plugged in, each with the faults of its messages.
    std::vector<std::unique_ptr<SimDevice>> units;
    const auto plug = [&](const QByteArray &flash) {
        DeviceConfig config;
        config.initialFlash = flash;
        for (const ScheduleEvent &e : s.events) {
            if (!e.onMessage() || e.unit != int(units.size()))
                continue;
            config.fault(Faults[e.kind]).atMessages.push_back(e.at);
            if (e.kind == ScheduleEvent::DelayReply)
                config.delayTicksAt[e.at] = e.value;
        }
        units.push_back(std::make_unique<SimDevice>(config));
        units.back()->linkAs(port);
    };
    plug(QByteArray());

    QString out, err;
    int exitCode = -1;
    FlashCommand command({[&out](const QString &t) { out += t; }, [&err](const QString &t) { err += t; }, false}, {});
    const double giveUpSeconds = s.giveUpTicks * Protocol::TickMs / 1000.0;
    if (command.prepare({QStringLiteral("velmorith-flash"), QStringLiteral("--port"), port, QStringLiteral("--image"),
                         imagePath, QStringLiteral("--give-up-after"), QString::number(giveUpSeconds)}) != -1) {
        v.failures << QStringLiteral("setup: the console refused to start: %1").arg(out.trimmed());
        return v;
    }
    QObject::connect(&command, &FlashCommand::finished, [&exitCode](int code) { exitCode = code; });
    command.start();
    CommandProbe::stopTicker(command);
    BootTest *engine = CommandProbe::engine(command);
    EngineProbe::timer(engine)->stop();

    std::multimap<qint64, const ScheduleEvent *> timed;
    for (const ScheduleEvent &e : s.events) {
        if (!e.onMessage())
            timed.emplace(e.at, &e);
    }
    int lastFault = 0;
    int backAt = -1;
    ScheduleEvent::Back backKind = ScheduleEvent::Nothing;
    bool absent = false;           // the cable out, nothing plugged back
    bool pulledAfterStart = false; // "$MJAPP" written, then the cable: the unit may never have got it
    bool fileChanged = false;      // before the update ended
    qint64 playedBefore = 0;
    const qint64 lastTimed = timed.empty() ? 0 : timed.rbegin()->first;
    const auto faultsPlayed = [&] {
        qint64 sum = 0;
        for (const auto &unit : units)
            for (qint64 each : unit->counters().faultsPlayed)
                sum += each;
        return sum;
    };
    int tick = 1;
    for (; exitCode < 0 && tick <= lastTimed + lastFault + s.giveUpTicks + QuietTicks + 60; ++tick) {
        for (auto [at, end] = timed.equal_range(tick); at != end; ++at) {
            const ScheduleEvent &e = *at->second;
            SimDevice &unit = *units.back();
            lastFault = tick;
            if (e.kind == ScheduleEvent::Stray && !absent && unit.isOpen()) {
                unit.inject(framedMessage(StrayNames[e.value]));
                ++v.played[e.kind];
                v.trail << QStringLiteral("t%1: %2 sent unasked").arg(tick).arg(StrayNames[e.value]);
            } else if (e.kind == ScheduleEvent::Pull && !absent && unit.isOpen()) {
                pulledAfterStart = pulledAfterStart || engine->startCommandSent();
                unit.pullCable();
                absent = true;
                backAt = e.back == ScheduleEvent::Nothing ? -1 : tick + e.value;
                backKind = e.back;
                ++v.played[e.kind];
                v.trail << QStringLiteral("t%1: cable pulled from unit %2 after %3 messages")
                               .arg(tick)
                               .arg(units.size() - 1)
                               .arg(unit.counters().messagesReceived);
            } else if (e.kind == ScheduleEvent::FileChange) {
                QFile file(imagePath);
                if (e.value == 3) {
                    const QByteArray fifo = QFile::encodeName(folder + QStringLiteral("/fifo"));
                    ::mkfifo(fifo, 0600);
                    ::rename(fifo, QFile::encodeName(imagePath));
                } else if (QFileInfo(imagePath).isFile() && file.open(QIODevice::ReadWrite)) { // not a FIFO put there
                    if (e.value == 0)
                        file.write(rehearsalImage(s.imageSize, quint32(s.seed) + 1));
                    else if (e.value == 1)
                        file.resize(qMax(0, s.imageSize / 2));
                    else if (file.seek(s.imageSize))
                        file.write(rehearsalImage(0x100, quint32(s.seed) + 2));
                }
                fileChanged = fileChanged || engine->isRunning();
                ++v.played[e.kind];
                v.trail << QStringLiteral("t%1: image file %2").arg(tick).arg(FileChanges[e.value]);
            }
        }
        if (tick == backAt) {
            // A unit that comes back keeps its flash; another one holds older firmware of its own.
            plug(backKind == ScheduleEvent::SameUnit
                     ? units.back()->flash()
                     : QByteArray(0x4000, '\xff') + rehearsalImage(0xC000, quint32(s.seed) + 3));
            absent = false;
            lastFault = tick;
            v.trail << QStringLiteral("t%1: %2 plugged in as unit %3")
                           .arg(tick)
                           .arg(BackNames[backKind])
                           .arg(units.size() - 1);
        }
        now += TickNs;
        Rig::tick(engine);
        CommandProbe::tick(command);
        units.back()->tick();
        units.back()->settle();
        if (const qint64 played = faultsPlayed(); played != playedBefore) {
            playedBefore = played;
            lastFault = tick;
        }
    }
    v.ticks = tick - 1;
    v.exitCode = exitCode;
    for (const auto &unit : units) {
        v.blocks += unit->counters().blocksProgrammed;
        for (int kind = 0; kind < 8; ++kind) {
            v.played[kind] += unit->counters().faultsPlayed[size_t(Faults[kind])];
        }
    }
    QStringList log;
    if (QFile logFile(engine->logPath()); logFile.open(QIODevice::ReadOnly))
        log = QString::fromUtf8(logFile.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : log.mid(4)) {
        if (!line.endsWith(QLatin1String("  d")) && !line.contains(QLatin1String("  String Len: ")))
            v.trail << line.trimmed();
    }
    const QString outcome = log.isEmpty() ? QString() : log.last().section(QStringLiteral("  Outcome: "), 1);
    const QStringList said = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QString last = said.value(said.size() - 1);
    v.complete = exitCode == FlashCommand::Complete;

    // The word: complete means the unit the update ended with holds exactly the image as it was
    // read, and took "$MJAPP" once, after its last block, since its last erase.
    if (exitCode < 0)
        v.failures << QStringLiteral("live: no end after %1 ticks").arg(v.ticks);
    SimDevice *unit = nullptr;
    for (const auto &each : units) {
        if (each->counters().bytesReceived > 0)
            unit = each.get();
    }
    // Every command the engine wrote was well framed and carried out.
    for (const auto &each : units) {
        if (each->counters().badMessages + each->counters().refused > 0)
            v.failures << QStringLiteral("wire: a unit dropped %1 and refused %2 of the engine's messages")
                              .arg(each->counters().badMessages)
                              .arg(each->counters().refused);
    }
    if (v.complete && unit) {
        const FlashCheck flash = checkFlash(unit->flash(), image);
        const std::vector<CommandKind> &done = unit->counters().executed;
        const auto erase = std::find(done.rbegin(), done.rend(), CommandKind::Erase);
        const std::vector<CommandKind> since(erase.base(), done.end());
        const qint64 starts = std::count(since.begin(), since.end(), CommandKind::StartApplication);
        const bool startLast = !since.empty() && since.back() == CommandKind::StartApplication;
        const bool startLost =
            unit->model().faultHits(FaultKind::LoseCommand, unit->counters().messagesReceived) || pulledAfterStart;
        v.wrongFlash = !flash.ok;
        if (!flash.ok && !v.ambiguous)
            v.failures << QStringLiteral("word: reported complete, unit %1's flash: %2")
                              .arg(units.size() - 1)
                              .arg(flash.description);
        if (erase == done.rend() || !(starts == 1 ? startLast : starts == 0 && startLost)) {
            // What the unit carried out from its last erase on: E, then P for a block, S for "$MJAPP".
            QString taken;
            for (const CommandKind kind : since)
                taken += kind == CommandKind::Program ? QLatin1Char('P')
                         : kind == CommandKind::Erase ? QLatin1Char('E')
                                                      : QLatin1Char('S');
            v.failures << QStringLiteral("word: reported complete, unit %1 took %2 start commands since its last erase "
                                         "(%3)")
                              .arg(units.size() - 1)
                              .arg(starts)
                              .arg(taken.size() > 12 ? taken.left(4) + QStringLiteral("...") + taken.right(8) : taken);
        }
    }
    // One story: the engine's condition, the log's outcome and the console's exit code and last line.
    const bool storyOk = exitCode == FlashCommand::Complete
                             ? engine->condition() == BootTest::Completed &&
                                   outcome.startsWith(QLatin1String("update complete")) &&
                                   last.startsWith(QLatin1String("Update complete: "))
                         : exitCode == FlashCommand::NotAnswering
                             ? engine->condition() == BootTest::Retired &&
                                   outcome.startsWith(QLatin1String("gave up: the device did not answer")) &&
                                   last.startsWith(QLatin1String("Gave up: the device did not answer"))
                         : exitCode == FlashCommand::ConnectionLost
                             ? engine->condition() == BootTest::Retired &&
                                   outcome.startsWith(QLatin1String("connection to the device lost; gave up")) &&
                                   last.startsWith(QLatin1String("Gave up: the connection to the device was lost"))
                             : exitCode < 0;
    if (!storyOk)
        v.failures << QStringLiteral("story: exit %1, condition %2, log '%3', stdout '%4'")
                          .arg(exitCode)
                          .arg(engine->condition())
                          .arg(outcome, last);
    // A file changed on disk is said, with what the device got instead.
    const QString sha = QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
    const QRegularExpression changeLine(QStringLiteral("^ *\\d+  Image file changed during the update \\((now \\d+ "
                                                       "bytes, modified .+|it is no longer a plain file)\\); what "
                                                       "was sent is the image as it was at the start, SHA-256 ") +
                                        sha + QLatin1Char('$'));
    if (v.complete && fileChanged &&
        (!last.endsWith(QStringLiteral("; the image file changed during the update; the device has the image as it "
                                       "was at the start (SHA-256 %1)")
                            .arg(sha)) ||
         log.filter(changeLine).size() != 1))
        v.failures << QStringLiteral("story: the image file changed, and the outcome does not say so: '%1'").arg(last);
    if (v.complete && engine->restartCount() > 0 &&
        !last.contains(QLatin1String("the image was written again from the start")))
        v.failures << QStringLiteral("story: the image went again, and the outcome does not say so: '%1'").arg(last);
    // Left clean: the port closed, its flags as found, the log closed.
    units.back()->settle();
    if (exitCode >= 0) {
        if (EngineProbe::port(engine)->isOpen())
            v.failures << QStringLiteral("clean: the port is still open");
        if (driver.lowLatency())
            v.failures << QStringLiteral("clean: the port's low-latency flag is left set");
        QDirIterator fds(QStringLiteral("/proc/self/fd"), QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        while (fds.hasNext()) {
            if (QFileInfo(fds.next()).symLinkTarget() == QFileInfo(engine->logPath()).absoluteFilePath())
                v.failures << QStringLiteral("clean: the log is still open");
        }
    }
    // Without a fault, the update keeps its pace: 1 s to the first step, 0.4 s to the erase, the two
    // pauses of 2.4 s, 1 s after the start command; every block goes as soon as the last is answered.
    if (s.events.empty() && v.ticks != 36)
        v.failures << QStringLiteral("pace: a clean update took %1 ticks, not 36").arg(v.ticks);
    // Live: with a quiet tail long enough for a whole update, a unit there and time to wait for it,
    // the update completes.
    const bool live = s.giveUpTicks >= 1500 && !absent;
    if (live && exitCode >= 0 && !v.complete)
        v.failures << QStringLiteral("live: ended with exit %1 though a unit answered in a quiet tail").arg(exitCode);
    if (live && v.complete && v.ticks > lastFault + QuietTicks + blocksOf(s.imageSize) / 50)
        v.failures << QStringLiteral("live: took %1 ticks after the last fault").arg(v.ticks - lastFault);
    QFile::remove(engine->logPath()); // read: a folder kept small is pruned quickly
    return v;
}

Schedule Explorer::shrink(const Schedule &failing, int tries)
{
    const QString kind = play(failing).failures.value(0).section(QLatin1Char(':'), 0, 0);
    const auto stillFails = [&](const Schedule &candidate) {
        --tries;
        const Verdict v = play(candidate);
        return std::any_of(v.failures.begin(), v.failures.end(),
                           [&](const QString &f) { return f.startsWith(kind + QLatin1Char(':')); });
    };
    Schedule best = failing;
    for (bool progress = true; progress && tries > 0;) {
        progress = false;
        for (size_t i = 0; i < best.events.size() && tries > 0;) {
            Schedule fewer = best;
            fewer.events.erase(fewer.events.begin() + long(i));
            if (stillFails(fewer)) {
                best = fewer;
                progress = true;
            } else {
                ++i;
            }
        }
        for (size_t i = 0; i < best.events.size() && tries > 0; ++i) {
            for (const qint64 at : {best.events[i].at / 2, best.events[i].at - 1}) {
                if (at < 1 || at >= best.events[i].at)
                    continue;
                Schedule earlier = best;
                earlier.events[i].at = at;
                if (stillFails(earlier)) {
                    best = earlier;
                    progress = true;
                    break;
                }
            }
        }
        const int bytes = best.imageSize - 0x4000;
        for (const int smaller : {bytes / 2, bytes - 32, bytes - 1}) {
            if (tries <= 0 || smaller < 1 || smaller >= bytes)
                continue;
            Schedule less = best;
            less.imageSize = 0x4000 + smaller;
            if (stillFails(less)) {
                best = less;
                progress = true;
                break;
            }
        }
    }
    return best;
}
