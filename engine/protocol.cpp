#include "protocol.h"
#include "enginestate.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

inline quint16 crcStep(quint16 r, quint8 b)
{
    quint8 x = quint8(b ^ quint8(r & 0xFF));
    x = quint8(x ^ (x << 4));
    return quint16((quint16(x) << 8 | r >> 8) ^ (x >> 4) ^ (quint16(x) << 3));
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return 0; // anything else counts as 0
}

inline bool endsField(char c)
{
    return c == '\0' || c == ',' || c == '\r' || c == '\n' || c == '*';
}

struct Token
{
    const char *name;
    Reply reply;
};

// Tested in this order.
constexpr Token tokens[] = {
    {"$MERASEA", Reply::EraseAck},      {"$MPRGA", Reply::ProgramAck},      {"$MBL", Reply::MasterBootloader},
    {"$SERASEA", Reply::SlaveEraseAck}, {"$SPRGA", Reply::SlaveProgramAck}, {"$ABL", Reply::AppBootloader},
    {"$CONR", Reply::ConnectRequest},
};

} // namespace

quint16 messageChecksum(const char *data, int length)
{
    quint16 r = 0xFFFF;
    for (int i = 0; i < length; ++i)
        r = crcStep(r, quint8(data[i]));
    return r;
}

int composeMessage(const char *format, ...)
{
    // The arguments may point into txBuffer, so format into a copy first.
    char scratch[Protocol::TxBufferSize];
    scratch[0] = '\0';
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(scratch, sizeof scratch, format, args);
    va_end(args);
    std::memcpy(txBuffer, scratch, size_t(qBound(0, written, int(sizeof scratch) - 1)) + 1);
    return written;
}

void composeProgramBlock(const QByteArray &block, quint32 address)
{
    quint8 data[Protocol::BlockSize] = {};
    std::memcpy(data, block.constData(), size_t(qBound(0, block.size(), Protocol::BlockSize)));
    unsigned words[Protocol::BlockSize / 4];
    for (int i = 0; i < Protocol::BlockSize / 4; ++i) {
        const quint8 *b = data + 4 * i;
        words[i] = unsigned(b[0]) | unsigned(b[1]) << 8 | unsigned(b[2]) << 16 | unsigned(b[3]) << 24;
    }
    // One pass: the same text as appending ",%X" field by field, without copying it ten times.
    composeMessage("%s,%X,%X,%X,%X,%X,%X,%X,%X,%X", Protocol::ProgramCommand, unsigned(address), words[0], words[1],
                   words[2], words[3], words[4], words[5], words[6], words[7]);
}

int frameMessage(char *text)
{
    const char *dollar = std::strchr(text, '$');
    if (!dollar)
        return 0;
    // One pass: checksum the body while looking for its end.
    quint16 crc = 0xFFFF;
    const char *end = dollar + 1;
    for (; *end; ++end)
        crc = crcStep(crc, quint8(*end));
    const int length = int(end - text);
    if (length > Protocol::MaxMessageText)
        return 0;
    char *out = text + length;
    *out++ = '*';
    // Upper-case hex without leading zeros; 0 is the single digit 0.
    int shift = 12;
    while (shift > 0 && (crc >> shift) == 0)
        shift -= 4;
    for (; shift >= 0; shift -= 4)
        *out++ = "0123456789ABCDEF"[(crc >> shift) & 0xF];
    *out++ = '\n';
    *out = '\0';
    return int(out - text);
}

QByteArray framedMessage(const QByteArray &text)
{
    if (text.size() > Protocol::MaxMessageText || text.contains('\0'))
        return QByteArray();
    char buffer[Protocol::MaxMessageText + 7];
    std::memcpy(buffer, text.constData(), size_t(text.size()));
    buffer[text.size()] = '\0';
    const int length = frameMessage(buffer);
    return QByteArray(buffer, length);
}

void copyField(const char *from, char *to, int maxChars)
{
    int n = 0;
    while (n < maxChars && !endsField(from[n])) {
        to[n] = from[n];
        ++n;
    }
    to[n] = '\0';
}

Reply recogniseReply(char *buffer, int length, char *nameOut)
{
    if (nameOut)
        nameOut[0] = '\0';
    buffer[length] = '\0';

    const int window = qMin(length, Protocol::ReplyStartWindow);
    const char *dollar = static_cast<const char *>(std::memchr(buffer, '$', size_t(qMax(window, 0))));
    if (!dollar)
        return Reply::None;

    quint16 crc = 0xFFFF;
    const char *p = dollar + 1;
    for (; *p != '*' && *p != '\0'; ++p)
        crc = crcStep(crc, quint8(*p));
    if (*p == '\0')
        return Reply::None; // no checksum mark

    char field[Protocol::ChecksumFieldChars + 1];
    copyField(p + 1, field, Protocol::ChecksumFieldChars);
    unsigned value = 0;
    for (const char *c = field; *c; ++c)
        value = value * 16 + unsigned(hexDigit(*c));
    if (quint16(value) != crc)
        return Reply::None;

    char name[Protocol::ReplyNameChars + 1];
    copyField(dollar, name, Protocol::ReplyNameChars);
    if (nameOut)
        std::memcpy(nameOut, name, sizeof name);
    for (const Token &token : tokens) {
        if (std::strcmp(name, token.name) == 0)
            return token.reply;
    }
    return Reply::None;
}

const char *replyName(Reply reply)
{
    for (const Token &token : tokens) {
        if (token.reply == reply)
            return token.name;
    }
    return nullptr;
}
