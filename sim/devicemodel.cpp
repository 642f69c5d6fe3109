#include "devicemodel.h"

#include "protocol.h"

#include <QList>

#include <algorithm>
#include <cstring>

namespace {

constexpr int NoiseBytes = 8;      // per NoiseBytes insertion
constexpr int NoiseLineBytes = 24; // per NoiseLine, line feed not counted
constexpr int SplitPieces = 3;     // writes per split reply

// splitmix64: decorrelates (seed, message, kind, salt) into an independent 64-bit draw.
quint64 mix(quint64 x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// 1 to maxDigits hex digits, either case, as the bootloader's parser takes them.
bool parseHex(const char *text, int length, int maxDigits, quint32 &value)
{
    if (length < 1 || length > maxDigits)
        return false;
    value = 0;
    for (int i = 0; i < length; ++i) {
        const int digit = hexValue(text[i]);
        if (digit < 0)
            return false;
        value = value << 4 | quint32(digit);
    }
    return true;
}

// CRC-16/MCRF4XX bit by bit: the device's own, apart from the engine's, so that a fault in one
// shows against the other.
quint16 checksum(const char *data, int length)
{
    quint16 crc = 0xFFFF;
    for (int i = 0; i < length; ++i) {
        crc ^= quint8(data[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
    }
    return crc;
}

// "$", the body, "*", the checksum in upper-case hex without leading zeros, the device's line end.
QByteArray reply(const char *text, const QByteArray &lineEnd)
{
    const QByteArray body(text + 1);
    return '$' + body + '*' + QByteArray::number(checksum(body.constData(), body.size()), 16).toUpper() + lineEnd;
}

} // namespace

DeviceModel::DeviceModel(const DeviceConfig &config) : cfg(config)
{
    memory.fill(0xFF);
    std::memcpy(memory.data(), cfg.initialFlash.constData(), size_t(qMin(cfg.initialFlash.size(), Sim::FlashSize)));
}

quint64 DeviceModel::draw(FaultKind kind, qint64 message, quint64 salt) const
{
    return mix(mix(mix(cfg.seed ^ quint64(message)) ^ quint64(int(kind)) << 56) + salt);
}

bool DeviceModel::faultHits(FaultKind kind, qint64 message) const
{
    const FaultRule &rule = cfg.fault(kind);
    if (std::find(rule.atMessages.begin(), rule.atMessages.end(), message) != rule.atMessages.end())
        return true;
    // 53 random bits as a double in [0, 1).
    return rule.rate > 0.0 && double(draw(kind, message, 0) >> 11) * (1.0 / 9007199254740992.0) < rule.rate;
}

bool DeviceModel::play(FaultKind kind, qint64 message)
{
    const bool hits = faultHits(kind, message);
    stats.faultsPlayed[size_t(kind)] += hits;
    return hits;
}

void DeviceModel::receive(const char *data, int size, std::vector<Emission> &out)
{
    stats.bytesReceived += size;
    int i = 0;
    while (i < size) {
        const char *newline = static_cast<const char *>(std::memchr(data + i, '\n', size_t(size - i)));
        const int end = newline ? int(newline - data) : size;
        if (!lineOverflow && lineLength + (end - i) > Sim::LineCapacity) {
            lineOverflow = true;
        } else if (!lineOverflow) {
            std::memcpy(line + lineLength, data + i, size_t(end - i));
            lineLength += end - i;
        }
        if (!newline)
            break;
        out.emplace_back();
        out.back().inputEnd = end + 1;
        handleLine(line, lineOverflow ? -1 : lineLength, out.back());
        lineLength = 0;
        lineOverflow = false;
        i = end + 1;
    }
}

// `length` is -1 for a line that overflowed the receive buffer; the line feed is not included.
void DeviceModel::handleLine(const char *text, int length, Emission &e)
{
    const qint64 n = e.message = ++stats.messagesReceived;
    if (!unplugged) {
        const std::vector<qint64> &at = cfg.fault(FaultKind::Unplug).atMessages;
        unplugged = std::any_of(at.begin(), at.end(), [n](qint64 m) { return m > 0 && m <= n; }) ||
                    faultHits(FaultKind::Unplug, n);
        if (unplugged) {
            ++stats.faultsPlayed[size_t(FaultKind::Unplug)];
            e.closeLink = cfg.unplugClosesLink;
        }
    }
    if (unplugged || play(FaultKind::LoseCommand, n))
        return;

    // "$", printable body, "*", 1 to 4 hex digits, line feed (a carriage return before it is
    // tolerated). Anything else is dropped without a word, as the real bootloader does.
    if (length > 0 && text[length - 1] == '\r')
        --length;
    const char *star = length > 1 && text[0] == '$'
                           ? static_cast<const char *>(std::memchr(text + 1, '*', size_t(length - 1)))
                           : nullptr;
    const int bodyLength = star ? int(star - text) - 1 : 0;
    bool framed = star != nullptr;
    for (int i = 1; i <= bodyLength && framed; ++i)
        framed = text[i] >= 0x20 && text[i] <= 0x7E;
    quint32 sum = 0;
    if (!framed || !parseHex(star + 1, int(text + length - star) - 1, 4, sum) ||
        sum != checksum(text + 1, bodyLength)) {
        ++stats.badMessages;
        return;
    }
    // There is no negative reply the engine knows, and an answer would move it on as if the
    // command had been carried out: a refused command stays unanswered, the engine resends.
    if (!execute(text + 1, bodyLength, e.kind)) {
        ++stats.refused;
        return;
    }
    stats.executed.push_back(e.kind);
    if (e.kind == CommandKind::StartApplication) {
        e.closeLink = cfg.hangUpAfterStart;
        return; // the application runs: nothing answers
    }
    if (e.kind == CommandKind::Erase && stats.eraseCount <= cfg.eraseUnanswered)
        return;
    if (play(FaultKind::LoseReply, n))
        return;
    shapeReply(e, reply(e.kind == CommandKind::Erase ? "$MERASEA" : "$MPRGA", cfg.lineEnd));
}

bool DeviceModel::execute(const char *body, int length, CommandKind &kind)
{
    // Command word and up to nine hex fields.
    const QList<QByteArray> fields = QByteArray(body, length).split(',');
    quint32 value[10] = {};
    for (int i = 1; i < fields.size(); ++i) {
        if (i >= 10 || !parseHex(fields[i].constData(), fields[i].size(), 8, value[i]))
            return false;
    }
    if (fields[0] == "MERASE" && fields.size() == 3) {
        kind = CommandKind::Erase;
        const quint32 start = value[1], span = value[2];
        if (span == 0 || start >= quint32(Sim::FlashSize) || span > quint32(Sim::FlashSize) - start)
            return false;
        std::fill(memory.begin() + start, memory.begin() + start + span, quint8(0xFF));
        ++stats.eraseCount;
        return true;
    }
    if (fields[0] == "MPRG" && fields.size() == 10) {
        kind = CommandKind::Program;
        // Flash is written in aligned rows of one block; a misaligned or outside address would
        // straddle rows or miss the part. Below 0x4000 a real part protects its bootloader;
        // here a stray block is taken, so that it shows in the flash.
        const quint32 address = value[1];
        if (address % Protocol::BlockSize != 0 || address > quint32(Sim::FlashSize - Protocol::BlockSize))
            return false;
        // Flash bits only go from 1 to 0: programming ANDs. Words are little-endian.
        for (int b = 0; b < Protocol::BlockSize; ++b)
            memory[address + quint32(b)] &= quint8(value[2 + b / 4] >> (8 * (b % 4)));
        ++stats.blocksProgrammed;
        return true;
    }
    if (fields[0] == "MJAPP" && fields.size() == 1) {
        kind = CommandKind::StartApplication;
        ++stats.applicationStarts;
        return true;
    }
    return false;
}

void DeviceModel::shapeReply(Emission &e, QByteArray bytes)
{
    const qint64 n = e.message;
    if (play(FaultKind::CorruptReply, n)) {
        // One byte between "$" and the last checksum digit, changed so that the engine's check
        // must fail: a checksum digit becomes another digit value (a case change could still
        // read the same), any other byte avoids "*" and line feed (which would move the
        // checksum or cut the line).
        const int star = bytes.indexOf('*');
        const quint64 r = draw(FaultKind::CorruptReply, n, 1);
        const int at = int(r % quint64(bytes.size() - cfg.lineEnd.size()));
        char &c = bytes.data()[at];
        if (at > star) {
            c = "0123456789ABCDEF"[(hexValue(c) + 1 + int((r >> 32) % 15)) % 16];
        } else {
            int mask = 1 + int((r >> 32) % 255);
            while ((c ^ mask) == '*' || (c ^ mask) == '\n')
                mask = mask % 255 + 1;
            c = char(c ^ mask);
        }
    }
    // Noise holds neither "$" (it would start a false reply) nor a line feed.
    const auto noise = [&](int count, quint64 salt) {
        QByteArray junk(count, Qt::Uninitialized);
        for (int i = 0; i < count; ++i) {
            const char b = char(draw(FaultKind::NoiseBytes, n, salt + quint64(i)));
            junk[i] = b == '$' || b == '\n' ? char(b ^ 0x80) : b;
        }
        return junk;
    };
    if (play(FaultKind::NoiseBytes, n))
        bytes.prepend(noise(NoiseBytes, 0x1000));
    if (play(FaultKind::NoiseLine, n))
        bytes.prepend(noise(NoiseLineBytes, 0x2000) + '\n');
    if (play(FaultKind::SplitReply, n)) {
        for (quint64 salt = 1; int(e.cuts.size()) < SplitPieces - 1; ++salt) {
            const int cut = 1 + int(draw(FaultKind::SplitReply, n, salt) % quint64(bytes.size() - 1));
            if (std::find(e.cuts.begin(), e.cuts.end(), cut) == e.cuts.end())
                e.cuts.push_back(cut);
        }
        std::sort(e.cuts.begin(), e.cuts.end());
    }
    if (play(FaultKind::DuplicateReply, n))
        bytes += bytes;
    if (play(FaultKind::DelayReply, n)) {
        const auto own = cfg.delayTicksAt.find(n);
        e.delayTicks = own != cfg.delayTicksAt.end() ? own->second : cfg.delayTicks;
    }
    e.bytes = bytes;
}
