// Compose and frame an arbitrary body, then read it back as a reply: the checksum must
// verify and the name must come back.
#include "enginestate.h"
#include "protocol.h"

#include <QList>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
void check(bool condition)
{
    if (!condition)
        std::abort();
}

// A program block made of the input's first bytes: its fields must give back address and data.
void checkProgramBlock(const uint8_t *data, size_t size)
{
    if (size < 4)
        return;
    const quint32 address = quint32(data[0]) | quint32(data[1]) << 8 | quint32(data[2]) << 16 | quint32(data[3]) << 24;
    const QByteArray block(reinterpret_cast<const char *>(data + 4), int(std::min<size_t>(size - 4, 32)));
    composeProgramBlock(block, address);
    const int framed = frameMessage(txBuffer);
    check(framed > 0);
    char line[Protocol::LineBufferSize];
    std::memcpy(line, txBuffer, size_t(framed));
    char name[Protocol::ReplyNameChars + 1];
    check(recogniseReply(line, framed, name) == Reply::None);
    check(QByteArray(name) == "$MPRG");

    const QList<QByteArray> fields = QByteArray(txBuffer, framed).split('*').first().split(',');
    check(fields.size() == 10);
    bool ok = false;
    check(fields[1].toUInt(&ok, 16) == address && ok);
    QByteArray padded = block;
    padded.append(QByteArray(32 - block.size(), '\0'));
    for (int i = 0; i < 8; ++i) {
        const quint32 word = fields[2 + i].toUInt(&ok, 16);
        check(ok && fields[2 + i] == QByteArray::number(word, 16).toUpper());
        for (int b = 0; b < 4; ++b)
            check(quint8(padded[4 * i + b]) == quint8(word >> (8 * b)));
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    checkProgramBlock(data, size);

    // A C text: the body ends at the first NUL, and is at most what sendMessage frames.
    size_t length = 0;
    while (length < size && data[length] != 0 && length < 300)
        ++length;
    const QByteArray body(reinterpret_cast<const char *>(data), int(length));

    composeMessage("$%s", body.constData());
    const int framed = frameMessage(txBuffer);
    if (body.size() + 1 > Protocol::MaxMessageText) {
        check(framed == 0);
        return 0;
    }
    check(framed > 0 && framed <= 253);
    check(txBuffer[framed - 1] == '\n' && txBuffer[framed] == '\0');
    check(QByteArray(txBuffer, framed) == framedMessage("$" + body));

    // A '*' or a newline in the body changes what a reader sees as the body; skip those.
    if (body.contains('*') || body.contains('\n'))
        return 0;
    char line[Protocol::LineBufferSize];
    std::memcpy(line, txBuffer, size_t(framed));
    char name[Protocol::ReplyNameChars + 1];
    const Reply reply = recogniseReply(line, framed, name);

    // The name: "$" and the body up to the first ',' or CR, at most 64 characters.
    QByteArray expected = "$" + body;
    for (int i = 1; i < expected.size(); ++i) {
        if (expected[i] == ',' || expected[i] == '\r') {
            expected.truncate(i);
            break;
        }
    }
    expected.truncate(Protocol::ReplyNameChars);
    check(QByteArray(name) == expected); // empty only when the checksum failed
    const char *token = replyName(reply);
    check(reply == Reply::None || (token && expected == token));
    return 0;
}
