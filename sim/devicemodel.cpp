#include "devicemodel.h"

#include "protocol.h"

#include <algorithm>
#include <cstring>

namespace {

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

// A field of 1 to maxDigits hex digits, either case, as the bootloader's parser takes it.
bool parseHex(const char *text, int length, int maxDigits, quint32 &value)
{
    if (length < 1 || length > maxDigits)
        return false;
    quint32 v = 0;
    for (int i = 0; i < length; ++i) {
        const int digit = hexValue(text[i]);
        if (digit < 0)
            return false;
        v = v << 4 | quint32(digit);
    }
    value = v;
    return true;
}

// Splits body at commas into at most maxFields fields; returns the count, or -1 when there
// are more.
int splitFields(const char *body, int length, const char **starts, int *lengths, int maxFields)
{
    int count = 0;
    int start = 0;
    for (int i = 0; i <= length; ++i) {
        if (i == length || body[i] == ',') {
            if (count == maxFields)
                return -1;
            starts[count] = body + start;
            lengths[count] = i - start;
            ++count;
            start = i + 1;
        }
    }
    return count;
}

bool fieldIs(const char *field, int length, const char *word)
{
    return int(std::strlen(word)) == length && std::memcmp(field, word, size_t(length)) == 0;
}

QByteArray replyWithLineEnd(const char *text, const QByteArray &lineEnd)
{
    QByteArray framed = framedMessage(QByteArray(text));
    framed.chop(1); // framing ends in a bare line feed; the device uses its own line end
    return framed + lineEnd;
}

} // namespace

DeviceModel::DeviceModel(const DeviceConfig &config)
{
    setConfig(config);
    powerUp();
}

void DeviceModel::setConfig(const DeviceConfig &config)
{
    cfg = config;
    eraseAck = replyWithLineEnd("$MERASEA", cfg.lineEnd);
    programAck = replyWithLineEnd("$MPRGA", cfg.lineEnd);
}

void DeviceModel::powerUp()
{
    flash_.fill(0xFF);
    stats = DeviceCounters();
    programmed.clear();
    lineLength = 0;
    lineOverflow = false;
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
    if (rule.rate <= 0.0)
        return false;
    // 53 random bits as a double in [0, 1).
    const double u = double(draw(kind, message, 0) >> 11) * (1.0 / 9007199254740992.0);
    return u < rule.rate;
}

void DeviceModel::receive(const char *data, int size, std::vector<Emission> &out)
{
    stats.bytesReceived += size;
    int i = 0;
    while (i < size) {
        const char *newline = static_cast<const char *>(std::memchr(data + i, '\n', size_t(size - i)));
        const int end = newline ? int(newline - data) : size;
        const int take = end - i;
        if (!lineOverflow) {
            if (lineLength + take > Sim::LineCapacity) {
                lineOverflow = true;
            } else {
                std::memcpy(line + lineLength, data + i, size_t(take));
                lineLength += take;
            }
        }
        if (!newline)
            break;
        out.emplace_back();
        Emission &e = out.back();
        e.inputEnd = end + 1;
        handleLine(line, lineOverflow ? -1 : lineLength, e);
        lineLength = 0;
        lineOverflow = false;
        i = end + 1;
    }
}

QByteArray DeviceModel::receive(const QByteArray &bytes)
{
    std::vector<Emission> out;
    receive(bytes.constData(), bytes.size(), out);
    QByteArray all;
    for (const Emission &e : out)
        all += e.bytes;
    return all;
}

// `length` is -1 for a line that overflowed the receive buffer. The line feed is not included.
void DeviceModel::handleLine(const char *text, int length, Emission &e)
{
    const qint64 n = ++stats.messagesReceived;
    e.message = n;

    if (stats.unpluggedAt == 0) {
        const FaultRule &unplug = cfg.fault(FaultKind::Unplug);
        bool from = false;
        for (const qint64 at : unplug.atMessages)
            from = from || (at > 0 && at <= n);
        if (from || faultHits(FaultKind::Unplug, n)) {
            stats.unpluggedAt = n;
            e.closeLink = cfg.unplugClosesLink;
        }
    }
    if (stats.unpluggedAt != 0) {
        ++stats.messagesAfterUnplug;
        return;
    }
    if (faultHits(FaultKind::LoseCommand, n)) {
        ++stats.commandsLost;
        return;
    }

    // Framing: "$", body of printable characters, "*", 1 to 4 hex digits, line feed (a
    // carriage return before it is tolerated). Anything else is dropped without a word,
    // as the real bootloader does; the engine's timeouts resend.
    if (length > 0 && text[length - 1] == '\r')
        --length;
    const char *star = length > 1 && text[0] == '$'
                           ? static_cast<const char *>(std::memchr(text + 1, '*', size_t(length - 1)))
                           : nullptr;
    quint32 sum = 0;
    bool framed = star != nullptr;
    if (framed) {
        const int bodyLength = int(star - text) - 1;
        for (int i = 1; i <= bodyLength && framed; ++i)
            framed = text[i] >= 0x20 && text[i] <= 0x7E;
        framed = framed && parseHex(star + 1, int(text + length - star) - 1, 4, sum) &&
                 sum == messageChecksum(text + 1, bodyLength);
    }
    if (!framed) {
        ++stats.badMessages;
        return;
    }

    bool refused = false;
    e.kind = execute(text + 1, int(star - text) - 1, refused);
    e.refused = refused;
    if (refused) {
        // A block or range the part cannot take is not written. There is no negative reply
        // the engine knows, and an "$MPRGA" would move it on as if the block had been taken,
        // so the real bootloader stays silent and lets the engine's timeout resend.
        ++stats.protocolErrors;
        return;
    }

    QByteArray reply;
    switch (e.kind) {
    case CommandKind::Erase:
        if (stats.erasesReceived <= cfg.eraseUnanswered) {
            ++stats.erasesUnanswered;
            return;
        }
        reply = eraseAck;
        break;
    case CommandKind::Program:
        reply = programAck;
        break;
    case CommandKind::StartApplication: // the application runs: nothing to answer
    case CommandKind::Unknown:          // not understood: ignored, like noise
    case CommandKind::None:
        return;
    }
    if (faultHits(FaultKind::LoseReply, n)) {
        ++stats.repliesLost;
        return;
    }
    shapeReply(e, reply);
}

CommandKind DeviceModel::execute(const char *body, int length, bool &refused)
{
    constexpr int maxFields = 10;
    const char *field[maxFields];
    int size[maxFields];
    const int count = splitFields(body, length, field, size, maxFields);
    quint32 value[maxFields] = {};
    bool numeric = count > 1;
    for (int i = 1; i < count && numeric; ++i)
        numeric = parseHex(field[i], size[i], 8, value[i]);

    if (count == 3 && numeric && fieldIs(field[0], size[0], "MERASE")) {
        ++stats.erasesReceived;
        const quint32 start = value[1];
        const quint32 span = value[2];
        // Outside the part there is nothing to erase; the bootloader refuses the whole range.
        if (span == 0 || start >= quint32(Sim::FlashSize) || span > quint32(Sim::FlashSize) - start) {
            refused = true;
            return CommandKind::Erase;
        }
        std::fill(flash_.begin() + start, flash_.begin() + start + span, quint8(0xFF));
        ++stats.eraseCount;
        return CommandKind::Erase;
    }
    if (count == 10 && numeric && fieldIs(field[0], size[0], "MPRG")) {
        ++stats.programsReceived;
        const quint32 address = value[1];
        // Flash is written in aligned rows of one block; a misaligned or outside address
        // would straddle rows or miss the part.
        if (address % Protocol::BlockSize != 0 || address > quint32(Sim::FlashSize - Protocol::BlockSize)) {
            refused = true;
            return CommandKind::Program;
        }
        // Flash bits only go from 1 to 0: programming ANDs. Words are little-endian.
        // Below 0x4000 a real part would protect its bootloader; here a stray block is taken
        // so that it shows in the flash.
        quint8 *row = flash_.data() + address;
        for (int w = 0; w < 8; ++w) {
            const quint32 word = value[2 + w];
            for (int b = 0; b < 4; ++b)
                row[4 * w + b] &= quint8(word >> (8 * b));
        }
        ++stats.blocksProgrammed;
        programmed.push_back(address);
        return CommandKind::Program;
    }
    if (count == 1 && fieldIs(field[0], size[0], "MJAPP")) {
        // The device keeps its flash and (for the next rehearsal) stays a bootloader.
        ++stats.applicationStarts;
        return CommandKind::StartApplication;
    }
    ++stats.unknownReceived;
    refused = true;
    return CommandKind::Unknown;
}

void DeviceModel::shapeReply(Emission &e, const QByteArray &reply)
{
    const qint64 n = e.message;
    QByteArray bytes = reply;

    if (faultHits(FaultKind::CorruptReply, n)) {
        // One byte between "$" and the last checksum digit, changed so that the engine's
        // check must fail: a checksum digit becomes another digit value (a case change or
        // a non-digit could still read the same), any other byte avoids "*" and line feed
        // (which would move the checksum or cut the line).
        const int text = bytes.size() - cfg.lineEnd.size();
        const int star = bytes.indexOf('*');
        const quint64 r = draw(FaultKind::CorruptReply, n, 1);
        const int at = int(r % quint64(text));
        char &c = bytes.data()[at];
        if (at > star) {
            static const char digits[] = "0123456789ABCDEF";
            c = digits[(hexValue(c) + 1 + int((r >> 32) % 15)) % 16];
        } else {
            int mask = 1 + int((r >> 32) % 255);
            while ((c ^ mask) == '*' || (c ^ mask) == '\n')
                mask = mask % 255 + 1;
            c = char(c ^ mask);
        }
        ++stats.repliesCorrupted;
    }

    // Noise holds neither "$" (it would start a false reply) nor a line feed.
    auto noise = [&](int count, quint64 salt) {
        QByteArray junk(count, Qt::Uninitialized);
        for (int i = 0; i < count; ++i) {
            char b = char(draw(FaultKind::NoiseBytes, n, salt + quint64(i)) & 0xFF);
            if (b == '$' || b == '\n')
                b = char(b ^ 0x80);
            junk[i] = b;
        }
        return junk;
    };
    if (faultHits(FaultKind::NoiseBytes, n) && cfg.noiseBytes > 0) {
        bytes.prepend(noise(cfg.noiseBytes, 0x1000));
        ++stats.noiseInsertions;
    }
    if (faultHits(FaultKind::NoiseLine, n)) {
        bytes.prepend(noise(qMax(0, cfg.noiseLineBytes), 0x2000) + '\n');
        ++stats.noiseLines;
    }

    const int pieces = qMin(cfg.splitPieces, bytes.size());
    if (pieces >= 2 && faultHits(FaultKind::SplitReply, n)) {
        quint64 salt = 1;
        while (int(e.cuts.size()) < pieces - 1) {
            const int cut = 1 + int(draw(FaultKind::SplitReply, n, salt++) % quint64(bytes.size() - 1));
            if (std::find(e.cuts.begin(), e.cuts.end(), cut) == e.cuts.end())
                e.cuts.push_back(cut);
        }
        std::sort(e.cuts.begin(), e.cuts.end());
        ++stats.repliesSplit;
    }
    if (faultHits(FaultKind::DelayReply, n) && cfg.delayTicks > 0) {
        e.delayTicks = cfg.delayTicks;
        ++stats.repliesDelayed;
    }
    e.bytes = bytes;
    ++stats.repliesSent;
}
