// The Autoloader's bootloader as a pure state machine: bytes from the engine go in, flash
// changes and reply bytes (with the faults to play) come out. No I/O, no clock, no Qt event
// loop: tests and fuzzers use it directly, the drivers (InThreadDevice, ThreadedDevice) put
// it on a pseudo-terminal.
//
// Typical use:
//     DeviceConfig config;
//     config.fault(FaultKind::LoseReply).atMessages = {3};   // third message: no answer
//     DeviceModel device(config);
//     std::vector<Emission> out;
//     device.receive(bytes.constData(), bytes.size(), out);  // one Emission per line received
//     device.counters().programsReceived; device.flash();
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <vector>

namespace Sim {

constexpr int FlashSize = 0x10000;    // 64 KiB, erased state 0xFF
constexpr int LineCapacity = 256;     // the bootloader's receive buffer; longer lines are dropped
constexpr int DefaultDelayTicks = 13; // one past the engine's 12-tick block timeout
constexpr int TickMs = 200;           // the engine's tick, used to count delays in real time

} // namespace Sim

enum class FaultKind {
    LoseCommand,  // the device never sees the message (it still gets a number)
    LoseReply,    // processed, but the reply never arrives
    CorruptReply, // one byte of the reply changed so that the engine must drop it
    NoiseBytes,   // bytes of line noise (no "$", no line feed) in front of the reply
    NoiseLine,    // a whole line of garbage (no "$"), ending in a line feed, before the reply
    SplitReply,   // the reply (with its noise) reaches the wire in several writes
    DelayReply,   // the reply is held for DeviceConfig::delayTicks engine ticks
    Unplug,       // from this message on nothing is seen or answered (see unplugClosesLink)
};
constexpr int FaultKindCount = 8;

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
    bool unplugClosesLink = false; // Unplug also hangs up: the driver closes the pty master
    int noiseBytes = 8;            // bytes per NoiseBytes insertion
    int noiseLineBytes = 24;       // bytes per NoiseLine, line feed not counted
    int splitPieces = 3;           // writes per split reply (fewer when the reply is shorter)
    int delayTicks = Sim::DefaultDelayTicks;

    FaultRule &fault(FaultKind kind) { return faults[size_t(kind)]; }
    const FaultRule &fault(FaultKind kind) const { return faults[size_t(kind)]; }
};

enum class CommandKind {
    None,             // nothing processed: lost, unplugged, or not a valid message
    Erase,            // "$MERASE,<start>,<length>"
    Program,          // "$MPRG,<address>,<8 words>"
    StartApplication, // "$MJAPP"
    Unknown,          // well framed, but no command of this bootloader
};

// What one received line leads to. Drivers write `bytes` (when not empty) to the link in
// the order emissions come, never reordering: a held reply holds back the ones after it.
struct Emission
{
    qint64 message = 0; // its number, counting every line received from 1
    int inputEnd = 0;   // offset just past the line's line feed in the bytes given to receive()
    CommandKind kind = CommandKind::None;
    bool refused = false;   // well framed but not carried out (bad address, malformed field)
    QByteArray bytes;       // noise and reply as they go on the wire; empty: nothing answers
    std::vector<int> cuts;  // split reply: offsets into bytes where a new write starts, rising
    int delayTicks = 0;     // > 0: hold the bytes this many engine ticks
    bool closeLink = false; // unplugged with a hang-up: close the link now, write nothing more
};

struct DeviceCounters
{
    qint64 bytesReceived = 0;
    qint64 messagesReceived = 0; // lines (ended by a line feed), valid or not, lost or not
    qint64 badMessages = 0;      // dropped for framing or checksum, as the device does silently
    qint64 protocolErrors = 0;   // well framed, not carried out: bad address, bad field, unknown
    // Well-framed commands by kind (lost and unplugged ones not included).
    qint64 erasesReceived = 0;
    qint64 programsReceived = 0;
    qint64 applicationStarts = 0; // "$MJAPP" received
    qint64 unknownReceived = 0;
    qint64 eraseCount = 0;       // erases carried out
    qint64 blocksProgrammed = 0; // program blocks written into the flash
    qint64 repliesSent = 0;      // replies handed to the link (lost ones not included)
    // Faults played.
    qint64 commandsLost = 0;
    qint64 repliesLost = 0;
    qint64 repliesCorrupted = 0;
    qint64 noiseInsertions = 0;
    qint64 noiseLines = 0;
    qint64 repliesSplit = 0;
    qint64 repliesDelayed = 0;
    qint64 erasesUnanswered = 0;
    qint64 unpluggedAt = 0;         // message number at which the device went away; 0: never
    qint64 messagesAfterUnplug = 0; // lines that arrived while unplugged (not processed)
};

class DeviceModel
{
public:
    explicit DeviceModel(const DeviceConfig &config = DeviceConfig());

    const DeviceConfig &config() const { return cfg; }
    // Takes effect for the next message; counters and flash stay.
    void setConfig(const DeviceConfig &config);
    // Power cycle: flash all 0xFF, counters and message numbering back to zero.
    void powerUp();

    // Bytes from the engine, in arrival order; appends one Emission per completed line.
    void receive(const char *data, int size, std::vector<Emission> &out);
    // Convenience for tests: the bytes of every emission, concatenated, ignoring timing.
    QByteArray receive(const QByteArray &bytes);

    const DeviceCounters &counters() const { return stats; }
    const quint8 *flashData() const { return flash_.data(); }
    QByteArray flash() const { return QByteArray(reinterpret_cast<const char *>(flash_.data()), Sim::FlashSize); }
    bool isUnplugged() const { return stats.unpluggedAt != 0; }
    // Addresses of the program blocks written, in order (resends included).
    const std::vector<quint32> &programmedAddresses() const { return programmed; }

    // The exact reply texts with this configuration's line end.
    QByteArray eraseReply() const { return eraseAck; }
    QByteArray programReply() const { return programAck; }

    // Whether the fault is played on the given message (pure function of seed and number).
    bool faultHits(FaultKind kind, qint64 message) const;

private:
    void handleLine(const char *line, int length, Emission &e);
    CommandKind execute(const char *body, int length, bool &refused);
    void shapeReply(Emission &e, const QByteArray &reply);
    quint64 draw(FaultKind kind, qint64 message, quint64 salt) const;

    DeviceConfig cfg;
    QByteArray eraseAck;
    QByteArray programAck;
    std::array<quint8, Sim::FlashSize> flash_;
    DeviceCounters stats;
    std::vector<quint32> programmed;
    char line[Sim::LineCapacity];
    int lineLength = 0;
    bool lineOverflow = false;
};
