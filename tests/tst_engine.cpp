// The engine: framing and reply recognition on their own, then the engine over a real
// pseudo-terminal, the test playing the device byte for byte and driving every tick: the worked
// example, every wait, the hand-over to a new engine, reception, and every image refused before anything
// is erased.
#include "rig.h"

#include <cerrno>
#include <climits>
#include <dlfcn.h>

Q_DECLARE_METATYPE(Reply)

namespace {
// Reads of this file that reach this offset fail with EIO.
long long failFrom = LLONG_MAX;
QByteArray failPath;
} // namespace

// Interposes the C library's read() in this test program, so that image reads really fail.
extern "C" ssize_t read(int fd, void *buffer, size_t count)
{
    static const auto real = reinterpret_cast<ssize_t (*)(int, void *, size_t)>(dlsym(RTLD_NEXT, "read"));
    if (failFrom != LLONG_MAX) {
        char link[PATH_MAX];
        const ssize_t n = readlink(("/proc/self/fd/" + QByteArray::number(fd)).constData(), link, sizeof link);
        if (n > 0 && QByteArray(link, int(n)) == failPath && lseek(fd, 0, SEEK_CUR) + qint64(count) > failFrom) {
            errno = EIO;
            return -1;
        }
    }
    return real(fd, buffer, count);
}

namespace {
const QByteArray Erase = "$MERASE,4000,C000*5DCA\n";
const QByteArray Start = "$MJAPP*9A1F\n";
const QByteArray Ack = "$MPRGA*3670\r\n";
const QByteArray EraseAck = "$MERASEA*E2A2\r\n";

// Qt's ISO 3309 CRC-16 with its final XOR undone is the same CRC, written independently.
QByteArray crc(const QByteArray &body)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const quint16 iso = qChecksum(QByteArrayView(body));
#else
    const quint16 iso = qChecksum(body.constData(), uint(body.size()));
#endif
    return QByteArray::number(quint16(iso ^ 0xFFFF), 16).toUpper();
}

// A program block as it must go out, built apart from the engine's own composer.
QByteArray blockLine(quint32 address, QByteArray data)
{
    data.append(QByteArray(32 - data.size(), '\0'));
    QByteArray body = "MPRG," + QByteArray::number(address, 16).toUpper();
    for (int i = 0; i < 32; i += 4)
        body += "," + QByteArray::number(qFromLittleEndian<quint32>(data.constData() + i), 16).toUpper();
    return "$" + body + "*" + crc(body) + "\n";
}

// The engine on a pty, the test at the far end.
struct Wire
{
    Rig rig;
    PtyLink link;
    QByteArray image;
    BootTest *engine = nullptr;

    explicit Wire(const QByteArray &bytes = {}) : image(bytes)
    {
        if (!image.isNull()) {
            rig.writeImage(image);
            engine = rig.engine(link.path());
        }
    }
    void tick(int n = 1) { Rig::tick(engine, n); }
    QByteArray next() { return link.readLine(); }
    QByteArray quiet() { return link.drain(); }
    // What goes out on the nth tick from now, nothing having gone out before it.
    QByteArray after(int ticks)
    {
        tick(ticks - 1);
        const QByteArray early = quiet();
        tick();
        return early.isEmpty() ? next() : "early: " + early;
    }
    // The port over the next ticks: o open, - closed.
    QString portOver(int ticks)
    {
        QString states;
        for (int i = 0; i < ticks; ++i, tick())
            states += EngineProbe::port(engine)->isOpen() ? 'o' : '-';
        return states;
    }
    bool portOpen() { return EngineProbe::port(engine)->isOpen(); }
    QByteArray block(quint32 address) { return blockLine(address, image.mid(int(address), 32)); }
    // The blocks from `from` up to `to` as they must come, each answered.
    void answerBlocks(quint32 from, quint32 to)
    {
        for (quint32 address = from; address < to; address += 32) {
            QCOMPARE(next(), block(address));
            link.write(Ack);
        }
        QCOMPARE(quiet(), QByteArray()); // the last answer lands: the image has ended
    }
};

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { failFrom = LLONG_MAX; }
    void framing_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("framed"); // empty: refused, nothing sent
        QTest::newRow("erase") << QByteArray("$MERASE,4000,C000") << QByteArray("$MERASE,4000,C000*5DCA\n");
        QTest::newRow("start application") << QByteArray("$MJAPP") << QByteArray("$MJAPP*9A1F\n");
        QTest::newRow("published check value") << QByteArray("$123456789") << QByteArray("$123456789*6F91\n");
        QTest::newRow("empty body") << QByteArray("$") << QByteArray("$*FFFF\n");
        QTest::newRow("two-digit checksum")
            << QByteArray("$MPRG,4CE0,0,0,0,0,0,0,0,0") << QByteArray("$MPRG,4CE0,0,0,0,0,0,0,0,0*AD\n");
        QTest::newRow("lead-in not checksummed") << QByteArray("ab$MJAPP") << QByteArray("ab$MJAPP*9A1F\n");
        QTest::newRow("no start mark") << QByteArray("MJAPP") << QByteArray();
        const QByteArray longest = "$" + QByteArray(246, 'A');
        QTest::newRow("247 characters") << longest << longest + "*" + crc(longest.mid(1)) + "\n";
        QTest::newRow("248 characters") << longest + "A" << QByteArray();
    }

    void framing()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, framed);
        char buffer[Protocol::TxBufferSize] = {};
        std::memcpy(buffer, text.constData(), size_t(text.size()));
        QCOMPARE(frameMessage(buffer), framed.size());
        QCOMPARE(QByteArray(buffer), framed.isEmpty() ? text : framed); // a refused text stays as it was
    }

    void recognise_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<Reply>("reply");
        QTest::newRow("program answer") << QByteArray("$MPRGA*3670\r\n") << Reply::ProgramAck;
        QTest::newRow("erase answer") << QByteArray("$MERASEA*E2A2\r\n") << Reply::EraseAck;
        QTest::newRow("lower-case digits") << QByteArray("$MERASEA*e2a2\r\n") << Reply::EraseAck;
        QTest::newRow("leading zero") << QByteArray("$MERASEA*0E2A2\r\n") << Reply::EraseAck;
        QTest::newRow("first of five ignored") << QByteArray("$MERASEA*1E2A2\r\n") << Reply::EraseAck;
        QTest::newRow("field cut after five") << QByteArray("$MERASEA*0E2A2777\r\n") << Reply::EraseAck;
        QTest::newRow("wrong checksum") << QByteArray("$MERASEA*E2A3\r\n") << Reply::None;
        QTest::newRow("sixth digit counts not") << QByteArray("$MERASEA*E2A27\r\n") << Reply::None;
        QTest::newRow("noise before start") << QByteArray("\x01\xfe$MPRGA*3670\r\n") << Reply::ProgramAck;
        QTest::newRow("further fields") << framedMessage("$MPRGA,17,abc") << Reply::ProgramAck;
        QTest::newRow("master bootloader") << framedMessage("$MBL") << Reply::MasterBootloader;
        QTest::newRow("token cut short") << framedMessage("$MPRG") << Reply::None;
        QTest::newRow("token with more") << framedMessage("$MPRGAX") << Reply::None;
        QTest::newRow("lower-case name") << framedMessage("$mprga") << Reply::None;
        QTest::newRow("empty checksum field") << QByteArray("$MPRGA*\r\n") << Reply::None;
        QTest::newRow("no checksum mark") << QByteArray("$MPRGA\r\n") << Reply::None;
        QTest::newRow("NUL inside body") << QByteArray("$MP\0RGA*3670\r\n", 14) << Reply::None;
        QTest::newRow("no start mark") << QByteArray("MPRGA*3670\r\n") << Reply::None;
        QTest::newRow("first start mark counts") << QByteArray("$x$MPRGA*3670\r\n") << Reply::None;
        QTest::newRow("empty line") << QByteArray() << Reply::None;
    }

    void recognise()
    {
        QFETCH(QByteArray, line);
        QFETCH(Reply, reply);
        char buffer[Protocol::LineBufferSize];
        std::memset(buffer, '$', sizeof buffer); // bytes beyond the line must not count
        std::memcpy(buffer, line.constData(), size_t(line.size()));
        QCOMPARE(recogniseReply(buffer, line.size()), reply);
    }

    void workedExample()
    {
        QByteArray image = rehearsalImage(0x4000, 7);
        for (int i = 1; i <= 0x40; ++i)
            image += char(i);
        DebugCapture debug;
        Wire wire(image + "\xAA\xBB\xCC\xDD\xEE\xFF");
        const QSerialPort *port = EngineProbe::port(wire.engine);
        QCOMPARE(QList<int>({port->isOpen(), port->baudRate(), port->dataBits(), port->parity(), port->stopBits(),
                             port->flowControl()}),
                 QList<int>({true, 38400, 8, QSerialPort::NoParity, QSerialPort::OneStop, QSerialPort::NoFlowControl}));
        // The first step five ticks on, the erase two after that.
        QCOMPARE(wire.after(7), Erase);
        wire.link.write(EraseAck);
        QStringList expected{QStringLiteral("Test Port  \"%1\"").arg(wire.link.path()), wire.rig.imagePath(),
                             "String Len: 23"};
        for (const QByteArray &row :
             {QByteArray("$MPRG,4000,4030201,8070605,C0B0A09,100F0E0D,14131211,18171615,1C1B1A19,201F1E1D*5065\n"),
              QByteArray("$MPRG,4020,24232221,28272625,2C2B2A29,302F2E2D,34333231,38373635,3C3B3A39,403F3E3D*8B33\n"),
              QByteArray("$MPRG,4040,DDCCBBAA,FFEE,0,0,0,0,0,0*4200\n")}) {
            QCOMPARE(wire.next(), row);
            expected << QStringLiteral("String Len: %1").arg(row.size());
            wire.link.write(Ack);
        }
        // The end of the image: nothing sent; the fill begins on the timeout 12 ticks later.
        QCOMPARE(wire.quiet(), QByteArray());
        expected << "16454"
                 << "16480";
        for (quint32 address = 0x4060; address < 0x5000; address += 32) {
            const QByteArray line = address == 0x4060 ? wire.after(12) : wire.next();
            QCOMPARE(line, blockLine(address, QByteArray()));
            expected << QStringLiteral("String Len: %1").arg(line.size());
            wire.link.write(Ack);
        }
        QCOMPARE(wire.quiet(), QByteArray());
        QCOMPARE(wire.after(12), Start);
        // A device whose new application takes the line ends it now; Windows reports that (Linux
        // would only on the next write, and none follows): the expected end, not a lost link.
        emit EngineProbe::port(wire.engine)->errorOccurred(QSerialPort::ResourceError);
        QCOMPARE(wire.engine->condition(), BootTest::Working);
        QCOMPARE(wire.portOver(6), QStringLiteral("ooooo-"));
        expected << "20480"
                 << "String Len: 12"
                 << "Chain: 0";
        QCOMPARE(debug.lines.filter(QRegularExpression("^(?!d$)")), expected);
        QCOMPARE(wire.engine->condition(), BootTest::Completed);
        wire.tick(100);
        QCOMPARE(wire.quiet(), QByteArray());
    }

    void waits()
    {
        Wire wire(rehearsalImage(0x5000, 2));
        QCOMPARE(wire.after(7), Erase);
        // Unanswered: the erase again after 50 ticks, the port closed 5 ticks on and reopened 5
        // after that, and the next cycle's erase 7 after that: 67 ticks a cycle.
        QCOMPARE(wire.after(50), Erase);
        QCOMPARE(wire.engine->condition(), BootTest::NotAnswering);
        QCOMPARE(wire.portOver(11), QStringLiteral("ooooo-----o"));
        QCOMPARE(wire.after(6), Erase);
        // The late answer to this cycle's second erase brings an erase at once, and the cycle
        // after it starts afresh: no port reset, a 50-tick wait.
        QCOMPARE(wire.after(50), Erase);
        wire.link.write(EraseAck);
        QCOMPARE(wire.next(), Erase);
        QCOMPARE(wire.after(7), Erase);
        QCOMPARE(wire.portOver(49), QString(49, 'o'));
        QCOMPARE(wire.quiet(), QByteArray());
        wire.link.write(EraseAck);
        QCOMPARE(wire.next(), wire.block(0x4000));
        QCOMPARE(wire.engine->condition(), BootTest::Working);

        // An unanswered block goes out again, the same, every 12 ticks.
        QCOMPARE(wire.after(12), wire.block(0x4000));
        QCOMPARE(wire.after(12), wire.block(0x4000));
        QCOMPARE(wire.engine->condition(), BootTest::NotAnswering);
        wire.link.write(Ack);
        wire.answerBlocks(0x4020, 0x5000);
        // An image that ends on a 4096-byte boundary: no fill, "$MJAPP" 24 ticks after the last answer.
        QCOMPARE(wire.after(24), Start);
    }

    // The bootloader's own "$MBL" brings the erase at once; a second engine (a new Start) takes
    // over, and the first lets go of its port for good.
    void handover()
    {
        Wire wire(rehearsalImage(0x4FC0, 3));
        wire.link.write(framedMessage("$MBL"));
        QCOMPARE(wire.next(), Erase);
        PtyLink other;
        wire.rig.engine(other.path());
        QCOMPARE(wire.engine->condition(), BootTest::Retired);
        QVERIFY(!wire.portOpen());
        wire.tick(20);
        QCOMPARE(wire.quiet(), QByteArray());
    }

    void reception_data()
    {
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<int>("accepted");
        QTest::addColumn<int>("withNewline"); // accepted once a newline follows
        using Writes = QList<QByteArray>;
        // The second arrived before the block the first one's answer sent: it cannot answer it.
        QTest::newRow("two in one write") << Writes{Ack + Ack} << 1 << 1;
        QTest::newRow("without CR") << Writes{"$MPRGA*3670\n"} << 1 << 1;
        QTest::newRow("CR only, no newline") << Writes{"$MPRGA*3670\r"} << 0 << 1;
        QTest::newRow("wraps to the start after 1000 bytes") << Writes{QByteArray(1000, 'x') + Ack} << 1 << 1;
        QTest::newRow("a reply from the 1000th byte on") << Writes{QByteArray(999, 'x') + Ack} << 0 << 0;
        QTest::newRow("wrap cuts a reply") << Writes{QByteArray(990, 'x') + Ack} << 0 << 0;
        QTest::newRow("newline as 1000th byte, then a reply") << Writes{QByteArray(999, 'x') + "\n" + Ack} << 1 << 1;
        QTest::newRow("a newline alone") << Writes{"\n"} << 0 << 0;
    }

    void reception()
    {
        QFETCH(QList<QByteArray>, writes);
        QFETCH(int, accepted);
        QFETCH(int, withNewline);
        Wire wire(rehearsalImage(0x5000, 4));
        QCOMPARE(wire.after(7), Erase);
        wire.link.write(EraseAck);
        QCOMPARE(wire.next(), wire.block(0x4000));
        for (const QByteArray &bytes : writes) {
            wire.link.write(bytes);
            wire.quiet();
        }
        QCOMPARE(masterAddress, quint32(0x4000 + 32 * accepted));
        QCOMPARE(EngineProbe::lineLength(wire.engine) == 0, writes.last().endsWith('\n'));
        // A newline ends whatever partial line there is; the next reply then starts afresh.
        wire.link.write("\n");
        wire.quiet();
        QCOMPARE(masterAddress, quint32(0x4000 + 32 * withNewline));
        wire.link.write(Ack);
        QCOMPARE(wire.next(), wire.block(0x4000 + 32 * (withNewline + 1)));
    }

    void refusedImages_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason"); // how the line after the image path starts
        const auto row = [](const char *name, const char *kind, const char *reason) {
            QTest::newRow(name) << QString(kind) << QString(reason);
        };
        row("missing", "missing", "File Does not Exist ");
        row("a folder in its place", "folder", "Image cannot be opened: ");
        row("exactly 16384 bytes", "16384", "Image holds nothing beyond 0x4000: 16384 bytes");
        row("larger than the flash", "65537", "Image larger than the flash: 65537 bytes");
        // Read whole before anything is sent: a file that fails half-way is refused, not half-written.
        row("unreadable half-way", "unreadable", "Image cannot be read: ");
        // The directory and the file name fit the 400-byte path with 379 characters, not 380.
        row("folder of 379 characters", "379", "File Does not Exist ");
        row("folder of 380 characters", "380", "Image path too long, not loaded");
        row("program path too long", "overflow", "Image path too long, not loaded");
    }

    // Never an erase without a usable image: nothing is sent, the port closes on the first step.
    void refusedImages()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        Wire wire;
        QString path = wire.rig.imagePath();
        if (kind == "folder") {
            QVERIFY(QDir().mkdir(path));
        } else if (kind == "unreadable") {
            wire.rig.writeImage(0x9000);
            failPath = QFileInfo(path).canonicalFilePath().toUtf8();
            failFrom = 0x8000;
        } else if (kind == "379" || kind == "380") {
            path = "/" + QString(kind.toInt() - 2, 'x') + "/";
            std::strcpy(appDirectory, path.toUtf8().constData());
            path += Protocol::ImageFileName;
        } else if (kind == "overflow") {
            appDirectory[0] = '\0';
            appDirectoryOverflow = true;
        } else if (kind != "missing") {
            wire.rig.writeImage(kind.toInt());
        }
        DebugCapture debug;
        wire.engine = wire.rig.engine(wire.link.path());
        QCOMPARE(wire.engine->condition(), BootTest::ImageRefused);
        QCOMPARE(wire.portOver(6), QStringLiteral("ooooo-"));
        wire.tick(300);
        QCOMPARE(wire.quiet(), QByteArray());

        QStringList said = debug.said();
        QCOMPARE(said.takeFirst(), QStringLiteral("Test Port  \"%1\"").arg(wire.link.path()));
        if (!reason.startsWith("Image path too long"))
            QCOMPARE(said.takeFirst(), path); // whole, never cut short
        QVERIFY2(said.size() == 2 && said.first().startsWith(reason), qPrintable(said.join(" | ")));
        QCOMPARE(said.last(), QStringLiteral("Chain: 0"));
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
