// The program itself: started as an operator would, it records where it was started from.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString Executable = QStringLiteral(VELMORITH_EXECUTABLE);

// Starts the program through the shell (so argv[0] is exactly what the shell was given),
// collects its first two debug lines and ends it.
QStringList firstTwoLines(const QString &workingDirectory, const QString &command, const QString &path = QString())
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("qt.*=false"));
    // Tagged, so the program's own debug lines stand out from whatever else Qt says.
    environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{type}|%{category}|%{message}"));
    if (!path.isEmpty())
        environment.insert(QStringLiteral("PATH"), path);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exec ") + command});
    if (!process.waitForStarted(5000))
        return {};
    const QString tag = QStringLiteral("debug|default|");
    QStringList lines;
    QByteArray pending;
    QDeadlineTimer deadline(10000);
    while (lines.size() < 2 && !deadline.hasExpired() && process.state() == QProcess::Running) {
        process.waitForReadyRead(100);
        pending += process.readAllStandardError();
        int newline;
        while ((newline = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(newline));
            pending.remove(0, newline + 1);
            if (line.startsWith(tag))
                lines << line.mid(tag.size());
        }
    }
    // Still running with its window up: the event loop took over after the two lines.
    const bool running = process.state() == QProcess::Running;
    process.kill();
    process.waitForFinished(5000);
    if (!running)
        return {QStringLiteral("(the program ended early)")};
    return lines.mid(0, 2);
}
} // namespace

class TestProgramEntry : public QObject
{
    Q_OBJECT

private slots:
    void startedByPath();
    void startedByBareName();
    void startedByLongPath();
};

void TestProgramEntry::startedByPath()
{
    const QFileInfo info(Executable);
    QCOMPARE(firstTwoLines(QDir::rootPath(), info.absoluteFilePath()),
             QStringList({info.absoluteFilePath(), info.absolutePath() + QLatin1Char('/')}));
    // A relative path keeps its own directory part.
    QCOMPARE(firstTwoLines(info.absolutePath(), QStringLiteral("./") + info.fileName()),
             QStringList({QStringLiteral("./") + info.fileName(), QStringLiteral("./")}));
}

void TestProgramEntry::startedByBareName()
{
    // Found on the PATH: argv[0] has no directory, so the program asks Qt where it lives.
    const QFileInfo info(Executable);
    QCOMPARE(firstTwoLines(QDir::rootPath(), info.fileName(), info.absolutePath()),
             QStringList({info.fileName(), info.canonicalPath() + QLatin1Char('/')}));
}

void TestProgramEntry::startedByLongPath()
{
    // A folder path that does not fit the directory buffer: nothing is recorded, nothing cut short.
    QTemporaryDir temporary;
    QString deep = temporary.path();
    while (deep.size() < 420)
        deep += QStringLiteral("/a-rather-long-folder-name");
    QVERIFY(QDir().mkpath(deep));
    const QString link = deep + QStringLiteral("/VelmorithUpdate");
    QVERIFY(QFile::link(QFileInfo(Executable).absoluteFilePath(), link));
    QCOMPARE(firstTwoLines(QDir::rootPath(), link), QStringList({QString(), QString()}));
}

QTEST_GUILESS_MAIN(TestProgramEntry)
#include "tst_programentry.moc"
