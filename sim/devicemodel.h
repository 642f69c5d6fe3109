// The Autoloader's bootloader as a pure state machine: bytes from the engine go in, flash
// changes and reply bytes (with the faults to play) come out. No I/O and no clock; SimDevice
// puts it on a pseudo-terminal.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <map>
#include <vector>

namespace Sim {
constexpr int FlashSize = 0x10000;    // 64 KiB, erased state 0xFF
constexpr int LineCapacity = 256;     // the bootloader's receive buffer; longer lines are dropped
constexpr int DefaultDelayTicks = 13; // one past the engine's 12-tick block timeout
constexpr int TickMs = 200;           // the engine's tick
} // namespace Sim

enum class FaultKind {
    LoseCommand,    // the device never sees the message (it still gets a number)
    LoseReply,      // carried out, but the reply never arrives
    CorruptReply,   // one byte of the reply changed so that the engine must drop it
    NoiseBytes,     // bytes of line noise (no "$", no line feed) in front of the reply
    NoiseLine,      // a whole line of garbage (no "$") before the reply
    SplitReply,     // the reply reaches the wire in several writes
    DelayReply,     // the reply is held for DeviceConfig::delayTicks engine ticks
    Unplug,         // from this message on nothing is seen or answered
    DuplicateReply, // the reply goes twice, back to back
};
constexpr int FaultKindCount = 9;

struct FaultRule
{
    double rate = 0.0;              // chance per message, 0..1, drawn from the seed
    std::vector<qint64> atMessages; // message numbers (from 1) that get the fault for sure
};

struct DeviceConfig
{
    QByteArray lineEnd = "\r\n"; // written after every reply
    quint64 seed = 1;            // same seed, same faults
    std::array<FaultRule, FaultKindCount> faults;
    int eraseUnanswered = 0;       // the first N erase commands are carried out but not answered
    bool unplugClosesLink = false; // Unplug also hangs up: the pty master is closed
    bool hangUpAfterStart = false; // hangs up once "$MJAPP" has arrived, as the application takes the line
    int delayTicks = Sim::DefaultDelayTicks;
    std::map<qint64, int> delayTicksAt; // a delay of its own for a message, where given
    QByteArray initialFlash; // the flash at the start, from address 0 (a device updated before); empty: erased

    FaultRule &fault(FaultKind kind) { return faults[size_t(kind)]; }
    const FaultRule &fault(FaultKind kind) const { return faults[size_t(kind)]; }
};

enum class CommandKind { None, Erase, Program, StartApplication };

// What one received line leads to, in the order lines came; a driver never reorders them.
struct Emission
{
    qint64 message = 0; // its number, counting every line received from 1
    int inputEnd = 0;   // offset just past the line's line feed in the bytes given to receive()
    CommandKind kind = CommandKind::None;
    QByteArray bytes;       // noise and reply as they go on the wire; empty: nothing answers
    std::vector<int> cuts;  // split reply: offsets into bytes where a new write starts, rising
    int delayTicks = 0;     // > 0: hold the bytes this many engine ticks
    bool closeLink = false; // unplugged with a hang-up: close the link now
};

struct DeviceCounters
{
    qint64 bytesReceived = 0;
    qint64 messagesReceived = 0; // lines, valid or not, lost or not
    qint64 badMessages = 0;      // dropped for framing or checksum, as the device does silently
    qint64 refused = 0;          // well framed but not carried out: bad address or field, unknown
    qint64 eraseCount = 0;       // erases carried out
    qint64 blocksProgrammed = 0;
    qint64 applicationStarts = 0;                      // "$MJAPP" received
    std::array<qint64, FaultKindCount> faultsPlayed{}; // by FaultKind
    std::vector<CommandKind> executed;                 // every command carried out, in order
};

class DeviceModel
{
public:
    explicit DeviceModel(const DeviceConfig &config = DeviceConfig());

    // Bytes from the engine, in arrival order; appends one Emission per completed line.
    void receive(const char *data, int size, std::vector<Emission> &out);

    const DeviceCounters &counters() const { return stats; }
    QByteArray flash() const { return QByteArray(reinterpret_cast<const char *>(memory.data()), Sim::FlashSize); }
    // Whether the fault is played on the given message (a pure function of seed and number).
    bool faultHits(FaultKind kind, qint64 message) const;

private:
    void handleLine(const char *text, int length, Emission &e);
    bool execute(const char *body, int length, CommandKind &kind);
    void shapeReply(Emission &e, QByteArray bytes);
    quint64 draw(FaultKind kind, qint64 message, quint64 salt) const;
    bool play(FaultKind kind, qint64 message);

    DeviceConfig cfg;
    std::array<quint8, Sim::FlashSize> memory;
    DeviceCounters stats;
    char line[Sim::LineCapacity];
    int lineLength = 0;
    bool lineOverflow = false;
    bool unplugged = false;
};
