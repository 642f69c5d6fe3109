// Image read errors, made real by failing the read(2) calls on the image file.
#include "boottest.h"
#include "debugcapture.h"
#include "engineprobe.h"
#include "enginestate.h"
#include "ptylink.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <climits>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {
// Reads of the image at or beyond this offset fail with EIO; LLONG_MAX: none fail.
long long failFromOffset = LLONG_MAX;
QByteArray failPath;
int failedReads = 0;
} // namespace

// Interposes the C library's read() for this test program only.
extern "C" ssize_t read(int fd, void *buffer, size_t count)
{
    using ReadFunction = ssize_t (*)(int, void *, size_t);
    static const auto realRead = reinterpret_cast<ReadFunction>(dlsym(RTLD_NEXT, "read"));
    if (failFromOffset != LLONG_MAX && !failPath.isEmpty()) {
        char link[PATH_MAX];
        const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
        const ssize_t n = readlink(proc.constData(), link, sizeof link - 1);
        if (n > 0 && QByteArray(link, int(n)) == failPath && lseek(fd, 0, SEEK_CUR) >= failFromOffset) {
            ++failedReads;
            errno = EIO;
            return -1;
        }
    }
    return realRead(fd, buffer, count);
}

class TestImageRead : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { silenceDebugOutput(); }
    void init();
    void cleanup() { failFromOffset = LLONG_MAX; }
    void unreadableImageIsRefused();
    void readErrorMidTransferStopsWithoutStart();

private:
    QByteArray writeImage(int size);
    QTemporaryDir dir;
};

void TestImageRead::init()
{
    resetEngineState();
    failedReads = 0;
    const QByteArray directory = dir.path().toUtf8() + '/';
    std::memcpy(appDirectory, directory.constData(), size_t(directory.size()) + 1);
}

QByteArray TestImageRead::writeImage(int size)
{
    QByteArray image(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        image[i] = char(i * 13 + 5);
    QFile file(dir.path() + QStringLiteral("/VelmorithAL_full.bin"));
    if (!file.open(QIODevice::WriteOnly))
        return QByteArray();
    file.write(image);
    failPath = QFileInfo(file).canonicalFilePath().toUtf8();
    return image;
}

void TestImageRead::unreadableImageIsRefused()
{
    writeImage(0x9000);
    failFromOffset = 0x4000;
    PtyLink pty;
    DebugCapture debug;
    BootTest engine(pty.slavePath());
    EngineProbe::timer(&engine)->stop();
    QVERIFY(failedReads > 0);
    QCOMPARE(engine.condition(), BootTest::ImageRefused);
    QVERIFY(debug.lines().at(2).startsWith(QStringLiteral("Image cannot be read:")));
    tickEngine(&engine, 300);
    QCOMPARE(pty.drain(30), QByteArray()); // no erase
}

void TestImageRead::readErrorMidTransferStopsWithoutStart()
{
    const QByteArray image = writeImage(0x9000);
    PtyLink pty;
    BootTest engine(pty.slavePath());
    EngineProbe::timer(&engine)->stop();
    QCOMPARE(engine.condition(), BootTest::Working);
    // The disk fails once programming is under way.
    failFromOffset = 0x8000;
    tickEngine(&engine, 7);
    QCOMPARE(pty.readLine(), QByteArray("$MERASE,4000,C000*5DCA\n"));
    pty.write("$MERASEA*E2A2\r\n");
    DebugCapture debug;
    int blocks = 0;
    for (;;) {
        const QByteArray line = pty.readLine(500);
        if (line.isEmpty())
            break;
        QVERIFY(line.startsWith("$MPRG," + QByteArray::number(0x4000 + 32 * blocks, 16).toUpper() + ","));
        ++blocks;
        pty.write("$MPRGA*3670\r\n");
    }
    QVERIFY(failedReads > 0);
    // Every block sent was whole; none was padded out of a failed read.
    QVERIFY(blocks > 0);
    QVERIFY(0x4000 + 32 * blocks <= 0x8000);
    QCOMPARE(engine.condition(), BootTest::ImageReadFailed);
    QVERIFY(engine.imageProblem().contains(QStringLiteral("read failed")));
    QVERIFY(debug.linesWithout({"d", "String Len:"}).first().startsWith(QStringLiteral("Image read failed at")));
    // No "$MJAPP": the port closes and nothing more goes out.
    tickEngine(&engine, 300);
    QCOMPARE(pty.drain(30), QByteArray());
    QVERIFY(!EngineProbe::port(&engine)->isOpen());
    QVERIFY(debug.lines().contains(QStringLiteral("Chain: 0")));
    Q_UNUSED(image);
}

QTEST_GUILESS_MAIN(TestImageRead)
#include "tst_imageread.moc"
