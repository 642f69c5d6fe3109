// Compose and frame an arbitrary body, then read it back as a reply: the checksum must
// verify and the name must come back.
#include "enginestate.h"
#include "protocol.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
void check(bool condition)
{
    if (!condition)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
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
