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
    void cutKeepsTheBuffersTail();

    void separator_data();
    void separator();

    void record_data();
    void record();
    void recordReplacesEarlierText();

    void place_data();
    void place();
};

void TestProgramPath::cut_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("directory");

    QTest::newRow("backslashes") << QByteArray("C:\\Tools\\Update\\app.exe") << QByteArray("C:\\Tools\\Update\\");
    QTest::newRow("slashes") << QByteArray("C:/Tools/app.exe") << QByteArray("C:/Tools/");
    QTest::newRow("last is backslash") << QByteArray("C:\\a/b\\app.exe") << QByteArray("C:\\a/b\\");
    QTest::newRow("last is slash") << QByteArray("C:\\a\\b/app.exe") << QByteArray("C:\\a\\b/");
    QTest::newRow("ends in separator") << QByteArray("C:\\Tools\\") << QByteArray("C:\\Tools\\");
    QTest::newRow("ends in slash") << QByteArray("/opt/velmorith/") << QByteArray("/opt/velmorith/");
    QTest::newRow("empty") << QByteArray("") << QByteArray("");
    QTest::newRow("unix") << QByteArray("/usr/local/bin/VelmorithUpdate") << QByteArray("/usr/local/bin/");
    QTest::newRow("root") << QByteArray("/VelmorithUpdate") << QByteArray("/");
    QTest::newRow("relative") << QByteArray("./VelmorithUpdate") << QByteArray("./");
    QTest::newRow("separator only") << QByteArray("\\") << QByteArray("\\");
    // Position 0 is never examined: a bare name keeps its first character.
    QTest::newRow("bare name") << QByteArray("app.exe") << QByteArray("a");
    QTest::newRow("one character") << QByteArray("x") << QByteArray("x");
    QTest::newRow("two characters") << QByteArray("xy") << QByteArray("x");
    QTest::newRow("separator first") << QByteArray("\\app.exe") << QByteArray("\\");
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

void TestProgramPath::cutKeepsTheBuffersTail()
{
    // The cut clears only up to the old terminator: bytes behind it are not its business.
    char buffer[16];
    std::memset(buffer, 'Z', sizeof buffer);
    std::memcpy(buffer, "a/bc", 5);
    cutToDirectory(buffer);
    QCOMPARE(QByteArray(buffer), QByteArray("a/"));
    QCOMPARE(QByteArray(buffer + 2, 3), QByteArray(3, '\0'));
    QCOMPARE(buffer[5], 'Z');
}

void TestProgramPath::separator_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("expected");
    QTest::newRow("bare") << QByteArray("VelmorithUpdate") << false;
    QTest::newRow("empty") << QByteArray("") << false;
    QTest::newRow("slash") << QByteArray("bin/app") << true;
    QTest::newRow("backslash") << QByteArray("bin\\app") << true;
    QTest::newRow("trailing") << QByteArray("C:") << false;
}

void TestProgramPath::separator()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, expected);
    QCOMPARE(hasPathSeparator(text.constData()), expected);
}

void TestProgramPath::record_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("fits");

    QTest::newRow("ordinary") << QByteArray("C:\\Tools\\Update\\app.exe") << true;
    QTest::newRow("empty") << QByteArray("") << true;
    QTest::newRow("399 characters") << QByteArray("/") + QByteArray(398, 'p') << true;
    QTest::newRow("400 characters") << QByteArray("/") + QByteArray(399, 'p') << false;
    QTest::newRow("1000 characters") << QByteArray("/") + QByteArray(999, 'p') << false;
    // 8-bit text: it is the bytes that must fit.
    QTest::newRow("399 bytes") << QByteArray("/") + QByteArray(396, 'p') + QByteArray("\xc3\xbc") << true;
    QTest::newRow("400 bytes") << QByteArray("/") + QByteArray(397, 'p') + QByteArray("\xc3\xbc") << false;
}

void TestProgramPath::record()
{
    QFETCH(QByteArray, path);
    QFETCH(bool, fits);

    QCOMPARE(recordProgramPath(path.constData()), fits);
    QCOMPARE(appDirectoryOverflow, !fits);
    // Never a cut-short copy: all of it or nothing.
    QCOMPARE(QByteArray(appDirectory), fits ? path : QByteArray());
    QCOMPARE(appDirectory[sizeof appDirectory - 1], '\0');
}

void TestProgramPath::recordReplacesEarlierText()
{
    QVERIFY(recordProgramPath("/a/much/longer/path/to/the/program"));
    QVERIFY(recordProgramPath("/b/app"));
    QCOMPARE(QByteArray(appDirectory), QByteArray("/b/app"));
    QCOMPARE(QByteArray(appDirectory + 7, 20), QByteArray(20, '\0'));

    QVERIFY(!recordProgramPath(QByteArray(500, 'x').constData()));
    QCOMPARE(QByteArray(appDirectory), QByteArray());

    // No program path at all (an empty argument vector).
    resetEngineState();
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
    QTest::newRow("root") << QStringLiteral("/") << QDir::toNativeSeparators(QStringLiteral("/")).toUtf8();
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
