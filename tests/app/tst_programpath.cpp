// The program path in appDirectory: copying it, cutting it to its directory, and putting
// the executable's directory there instead.
#include "enginestate.h"
#include "programpath.h"

#include <QDir>
#include <QtTest>

#include <cstring>

class TestProgramPath : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetEngineState(); }

    void cut_data();
    void cut();
    void record_data();
    void record();
    void recordNoPath();

    void place_data();
    void place();
};

// Ordinary paths are the window's tests; these are the cut's own corner cases.
void TestProgramPath::cut_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("directory");
    QTest::newRow("empty") << QByteArray("") << QByteArray("");
    QTest::newRow("separator only") << QByteArray("\\") << QByteArray("\\");
    QTest::newRow("separator first") << QByteArray("\\app.exe") << QByteArray("\\");
    // Position 0 is never examined: a bare name keeps its first character.
    QTest::newRow("bare name") << QByteArray("app.exe") << QByteArray("a");
    QTest::newRow("one character") << QByteArray("x") << QByteArray("x");
}

void TestProgramPath::cut()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, directory);
    char buffer[400] = {};
    std::memcpy(buffer, path.constData(), size_t(path.size()));
    cutToDirectory(buffer);
    QCOMPARE(QByteArray(buffer), directory);
}

void TestProgramPath::record_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("fits");

    QTest::newRow("empty") << QByteArray("") << true;
    QTest::newRow("399 characters") << QByteArray("/") + QByteArray(398, 'p') << true;
    QTest::newRow("400 characters") << QByteArray("/") + QByteArray(399, 'p') << false;
    // 8-bit text: it is the bytes that must fit.
    QTest::newRow("399 bytes") << QByteArray("/") + QByteArray(396, 'p') + QByteArray("\xc3\xbc") << true;
    QTest::newRow("400 bytes") << QByteArray("/") + QByteArray(397, 'p') + QByteArray("\xc3\xbc") << false;
}

void TestProgramPath::record()
{
    QFETCH(QByteArray, path);
    QFETCH(bool, fits);
    std::memcpy(appDirectory, "/a/much/longer/path/left/over", 30);
    QCOMPARE(recordProgramPath(path.constData()), fits);
    QCOMPARE(appDirectoryOverflow, !fits);
    // Never a cut-short copy: all of it or nothing.
    QCOMPARE(QByteArray(appDirectory), fits ? path : QByteArray());
}

// An empty argument vector: no program path at all.
void TestProgramPath::recordNoPath()
{
    std::memcpy(appDirectory, "left over", 10);
    QVERIFY(recordProgramPath(nullptr));
    QCOMPARE(QByteArray(appDirectory), QByteArray());
    QVERIFY(!appDirectoryOverflow);
}

void TestProgramPath::place_data()
{
    const QString sep = QDir::separator();
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QByteArray>("expected"); // empty: does not fit

    QTest::newRow("no trailing separator")
        << QStringLiteral("/opt/velmorith") << (QStringLiteral("/opt/velmorith") + sep).toUtf8();
    QTest::newRow("trailing separator") << QStringLiteral("/opt/velmorith/")
                                        << QDir::toNativeSeparators(QStringLiteral("/opt/velmorith/")).toUtf8();
    QTest::newRow("not ASCII") << QStringLiteral("/home/J\u00fcrgen/bin")
                               << (QStringLiteral("/home/J\u00fcrgen/bin") + sep).toUtf8();
    QTest::newRow("399 bytes with separator")
        << QString(QLatin1Char('d')).repeated(398) << QByteArray(398, 'd') + sep.toUtf8();
    QTest::newRow("400 bytes with separator") << QString(QLatin1Char('d')).repeated(399) << QByteArray();
    // 398 characters with the separator, but 400 bytes once encoded.
    QTest::newRow("400 bytes in UTF-8") << QString(QLatin1Char('d')).repeated(395) + QStringLiteral("\u00fc\u00fc")
                                        << QByteArray();
}

void TestProgramPath::place()
{
    QFETCH(QString, directory);
    QFETCH(QByteArray, expected);
    std::memcpy(appDirectory, "left over", 10);
    const bool fits = !expected.isEmpty();
    QCOMPARE(placeDirectory(directory), fits);
    QCOMPARE(QByteArray(appDirectory), expected);
    QCOMPARE(appDirectoryOverflow, !fits);
}

QTEST_GUILESS_MAIN(TestProgramPath)
#include "tst_programpath.moc"
