// Wire protocol of the Autoloader bootloader: constants and the pure pieces
// (checksum, composition, framing, reply recognition) that need no port.
#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace Protocol {

// Flash layout.
constexpr quint32 ImageStart = 0x4000;   // first flash address (and file offset) that is sent
constexpr int BlockSize = 32;            // data bytes in one program block
constexpr quint32 FillBoundary = 0x1000; // zero blocks run up to a multiple of this
constexpr quint32 FlashEnd = 0x10000;    // 64 KiB of flash

constexpr char ImageFileName[] = "VelmorithAL_full.bin";

// Commands.
constexpr char EraseCommand[] = "$MERASE,4000,C000";
constexpr char StartApplicationCommand[] = "$MJAPP";
constexpr char ProgramCommand[] = "$MPRG";

// Timing, in engine ticks.
constexpr int TickMs = 200;              // one tick
constexpr int StartDelayTicks = 5;       // construction to the first step
constexpr int PrepareTicks = 2;          // prepare to erase
constexpr int EraseAnswerTicks = 50;     // wait for "$MERASEA" after the first erase of a cycle
constexpr int EraseRetryStepTicks = 5;   // second erase, port close, port reopen
constexpr int ReplyArmTicks = 10;        // set by "$MERASEA" and "$MPRGA" before the reply step
constexpr int BlockAnswerTicks = 12;     // wait for "$MPRGA"; pauses at image end and boundary
constexpr int StartApplicationTicks = 5; // "$MJAPP" to the final stage

// The link.
constexpr int LinkBaud = 38400;
constexpr int LinkBitsPerByte = 10; // start bit, 8 data bits, stop bit
// Answers held longer than this beyond their wire time (median, in µs) are worth a hint.
constexpr int HeldWorthItUs = 8000;

// Buffers.
constexpr int TxBufferSize = 1000;
constexpr int LineBufferSize = 1000;
constexpr int MaxMessageText = 247;   // longest text sendMessage frames
constexpr int ReplyStartWindow = 998; // "$" of a reply must lie in positions 0..997
constexpr int ChecksumFieldChars = 5;
constexpr int ReplyNameChars = 64;

} // namespace Protocol

// Replies the engine recognises, in the order they are tested.
enum class Reply {
    None,             // not a valid reply, or a name nobody knows
    EraseAck,         // "$MERASEA"
    ProgramAck,       // "$MPRGA"
    MasterBootloader, // "$MBL"
    SlaveEraseAck,    // "$SERASEA"
    SlaveProgramAck,  // "$SPRGA"
    AppBootloader,    // "$ABL"
    ConnectRequest,   // "$CONR"
};

// CRC-16/MCRF4XX: reflected 0x1021, initial 0xFFFF, no final XOR.
quint16 messageChecksum(const char *data, int length);
inline quint16 messageChecksum(const QByteArray &data)
{
    return messageChecksum(data.constData(), data.size());
}

// printf into the process-wide txBuffer; an argument may point into txBuffer itself.
int composeMessage(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The program-block message into txBuffer, unframed: "$MPRG", the address and eight data
// words (little-endian groups of four bytes; a block shorter than 32 bytes is padded with zeros).
void composeProgramBlock(const QByteArray &block, quint32 address);

// Frames text in place: "*", checksum in upper-case hex without leading zeros, line feed.
// The buffer needs room for 6 more characters. Returns the framed length, or 0 when the
// text has no "$" or is longer than MaxMessageText (nothing is changed then).
int frameMessage(char *text);

// Same, on a copy: returns the framed bytes, or an empty array when the text is refused.
QByteArray framedMessage(const QByteArray &text);

// Copies from `from` until NUL, ',', CR, LF or '*', at most maxChars characters, and terminates.
void copyField(const char *from, char *to, int maxChars);

// Recognises the line in buffer[0..length-1]; writes a NUL at buffer[length], so the buffer
// must hold length + 1 bytes. When nameOut is given (ReplyNameChars + 1 bytes) it receives
// the reply name of a line whose checksum verified, else an empty text.
Reply recogniseReply(char *buffer, int length, char *nameOut = nullptr);

// The name a reply token has on the wire ("$MPRGA" for Reply::ProgramAck); nullptr for None.
const char *replyName(Reply reply);
