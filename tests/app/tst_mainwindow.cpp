// The main window as built: widgets, slots, instruction lines, and the program's directory.
#include "boottest.h"
#include "debugcapture.h"
#include "enginestate.h"
#include "markingtranslator.h"
#include "programpath.h"
#include "velmorithupdate.h"
#include "windowrig.h"

#include <QLabel>
#include <QMenuBar>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QToolBar>
#include <QtTest>

#include <cstring>

namespace {
void setAppDirectory(const QByteArray &text)
{
    std::memset(appDirectory, 0, sizeof appDirectory);
    std::memcpy(appDirectory, text.constData(), size_t(text.size()));
}

QStringList namedChildren(const QObject *parent, const QStringList &names)
{
    QStringList order;
    for (const QObject *child : parent->children()) {
        if (names.contains(child->objectName()))
            order << child->objectName();
    }
    return order;
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        resetEngineState();
        resetWindowState();
        setAppDirectory("/opt/velmorith/VelmorithUpdate");
    }

    void widgets_data();
    void widgets();
    void creationOrder();
    void widgetSettings();
    void windowItself();
    void translatedTexts();
    void declaredSlots();
    void instructionLines();
    void startsQuiet();
    void displayTimer();
    void displayTimerDrivesTheDisplay();
    void serialGotDataDoesNothing();

    void directoryCut_data();
    void directoryCut();
    void bareProgramName_data();
    void bareProgramName();
    void programPathTooLong();
    void programPathTooLongFromTheEntry();
};

void TestMainWindow::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry"); // null: none given

    QTest::newRow("centralWidget") << "centralWidget"
                                   << "QWidget"
                                   << "VelmorithUpdate" << QRect();
    QTest::newRow("pushButton") << "pushButton"
                                << "QPushButton"
                                << "centralWidget" << QRect(170, 10, 91, 31);
    QTest::newRow("textEdit") << "textEdit"
                              << "QTextEdit"
                              << "centralWidget" << QRect(30, 200, 371, 161);
    QTest::newRow("label") << "label"
                           << "QLabel"
                           << "centralWidget" << QRect(190, 70, 47, 13);
    QTest::newRow("progressBarMain") << "progressBarMain"
                                     << "QProgressBar"
                                     << "centralWidget" << QRect(10, 90, 411, 23);
    QTest::newRow("menuBar") << "menuBar"
                             << "QMenuBar"
                             << "VelmorithUpdate" << QRect(0, 0, 431, 21);
    QTest::newRow("mainToolBar") << "mainToolBar"
                                 << "QToolBar"
                                 << "VelmorithUpdate" << QRect();
    QTest::newRow("statusBar") << "statusBar"
                               << "QStatusBar"
                               << "VelmorithUpdate" << QRect();
}

void TestMainWindow::widgets()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);

    // Not shown: the geometry is the form's own, before any layout has run.
    VelmorithUpdate window;
    const QList<QWidget *> found = window.findChildren<QWidget *>(name);
    QCOMPARE(found.size(), 1);
    QWidget *widget = found.first();
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QVERIFY(widget->parentWidget());
    QCOMPARE(widget->parentWidget()->objectName(), parentName);
    if (!geometry.isNull())
        QCOMPARE(widget->geometry(), geometry);
}

void TestMainWindow::creationOrder()
{
    VelmorithUpdate window;
    const QStringList windowLevel{"centralWidget", "menuBar", "mainToolBar", "statusBar"};
    QCOMPARE(namedChildren(&window, windowLevel), windowLevel);
    const QStringList inside{"pushButton", "textEdit", "label", "progressBarMain"};
    auto *central = window.findChild<QWidget *>("centralWidget");
    QCOMPARE(namedChildren(central, inside), inside);
    // Nothing else was built into the central widget.
    int widgets = 0;
    for (QObject *child : central->children())
        widgets += child->isWidgetType() ? 1 : 0;
    QCOMPARE(widgets, inside.size());

    QCOMPARE(window.centralWidget(), central);
    QCOMPARE(window.menuBar(), window.findChild<QMenuBar *>("menuBar"));
    QCOMPARE(window.statusBar(), window.findChild<QStatusBar *>("statusBar"));
    auto *toolBar = window.findChild<QToolBar *>("mainToolBar");
    QCOMPARE(window.toolBarArea(toolBar), Qt::TopToolBarArea);
    QVERIFY(toolBar->actions().isEmpty());
    QVERIFY(window.menuBar()->actions().isEmpty());
}

void TestMainWindow::widgetSettings()
{
    VelmorithUpdate window;
    auto *button = window.findChild<QPushButton *>("pushButton");
    QCOMPARE(button->text(), QStringLiteral("Start"));
    QVERIFY(button->isEnabled());

    auto *label = window.findChild<QLabel *>("label");
    QVERIFY(label->isEnabled());
    QCOMPARE(label->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);
    QCOMPARE(label->text(), QStringLiteral("MAIN"));

    auto *bar = window.findChild<QProgressBar *>("progressBarMain");
    QVERIFY(bar->isEnabled());
    QCOMPARE(bar->minimum(), 16384);
    QCOMPARE(bar->maximum(), 65536);
    QCOMPARE(bar->value(), 16383);
    QVERIFY(!bar->isTextVisible());

    auto *edit = window.findChild<QTextEdit *>("textEdit");
    QVERIFY(!edit->isReadOnly());
}

void TestMainWindow::windowItself()
{
    VelmorithUpdate window;
    QCOMPARE(window.objectName(), QStringLiteral("VelmorithUpdate"));
    QCOMPARE(window.size(), QSize(431, 434));
    QCOMPARE(window.windowTitle(), QStringLiteral("Autoloader Update"));
    QVERIFY(!window.parent());

    // A name given beforehand is kept.
    VelmorithUpdate named;
    named.setObjectName("other");
    QCOMPARE(named.objectName(), QStringLiteral("other"));
}

void TestMainWindow::translatedTexts()
{
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    {
        VelmorithUpdate window;
        QCOMPARE(window.windowTitle(), QStringLiteral("<Autoloader Update>"));
        QCOMPARE(window.findChild<QPushButton *>("pushButton")->text(), QStringLiteral("<Start>"));
        QCOMPARE(window.findChild<QLabel *>("label")->text(), QStringLiteral("<MAIN>"));
        // The instruction lines are plain text.
        QCOMPARE(window.findChild<QTextEdit *>("textEdit")->toPlainText(),
                 QStringLiteral("Before attaching Brastel to the PC\nPress the Start button"));
    }
    QCoreApplication::removeTranslator(&translator);
}

void TestMainWindow::declaredSlots()
{
    const QMetaObject &meta = VelmorithUpdate::staticMetaObject;
    QCOMPARE(meta.className(), "VelmorithUpdate");
    QCOMPARE(meta.superClass(), &QMainWindow::staticMetaObject);
    QStringList declared;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
        declared << QString::fromLatin1(method.methodSignature());
    }
    QCOMPARE(declared, QStringList({"on_pushButton_clicked()", "on_Timer()", "SerialGotData()"}));
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
}

void TestMainWindow::instructionLines()
{
    VelmorithUpdate window;
    auto *edit = window.findChild<QTextEdit *>("textEdit");
    QCOMPARE(edit->document()->blockCount(), 2);
    QCOMPARE(edit->document()->firstBlock().text(), QStringLiteral("Before attaching Brastel to the PC"));
    QCOMPARE(edit->document()->lastBlock().text(), QStringLiteral("Press the Start button"));
}

void TestMainWindow::startsQuiet()
{
    WindowRig rig;
    rig.writeImage(40000);
    VelmorithUpdate &window = rig.window();
    QCOMPARE(rig.statusBar()->currentMessage(), QString());
    // Ticks before the first press change nothing, even with the master address in range.
    masterAddress = 16416;
    rig.tickWindow(3);
    QCOMPARE(rig.bar()->maximum(), 65536);
    QCOMPARE(rig.bar()->value(), 16383);
    QCOMPARE(rig.statusBar()->currentMessage(), QString());
    QVERIFY(window.engineList().isEmpty());
    QVERIFY(window.foundPorts().isEmpty());
    QCOMPARE(window.findChild<QTextEdit *>("textEdit")->toPlainText(),
             QStringLiteral("Before attaching Brastel to the PC\nPress the Start button"));
}

void TestMainWindow::displayTimer()
{
    VelmorithUpdate window;
    QTimer *timer = window.displayTimerObject();
    QVERIFY(timer);
    QCOMPARE(timer->parent(), &window);
    QCOMPARE(timer->interval(), 200);
    QVERIFY(timer->isActive());
    QVERIFY(!timer->isSingleShot());
}

void TestMainWindow::displayTimerDrivesTheDisplay()
{
    // No image: the engine refuses at once, and the next display tick says so.
    WindowRig rig;
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    QCOMPARE(rig.engines().size(), 1);
    QCOMPARE(rig.statusBar()->currentMessage(), QStringLiteral("Finding Port - Please wait"));
    rig.window().displayTimerObject()->start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.statusBar()->currentMessage().startsWith("Firmware image missing"), 2000);
}

void TestMainWindow::serialGotDataDoesNothing()
{
    WindowRig rig;
    rig.writeImage(40000);
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    masterAddress = 16416;
    const int stage = sequencerStage;
    const int countdown = tickCountdown;
    QVERIFY(QMetaObject::invokeMethod(&rig.window(), "SerialGotData"));
    QCOMPARE(rig.bar()->maximum(), 65536);
    QCOMPARE(rig.bar()->value(), 16383);
    QCOMPARE(int(masterAddress), 16416);
    QCOMPARE(sequencerStage, stage);
    QCOMPARE(tickCountdown, countdown);
    QCOMPARE(rig.statusBar()->currentMessage(), QStringLiteral("Finding Port - Please wait"));
    QVERIFY(rig.pty().drain(20).isEmpty());
}

void TestMainWindow::directoryCut_data()
{
    QTest::addColumn<QByteArray>("programPath");
    QTest::addColumn<QByteArray>("directory");

    QTest::newRow("backslashes") << QByteArray("C:\\Tools\\Update\\app.exe") << QByteArray("C:\\Tools\\Update\\");
    QTest::newRow("slashes") << QByteArray("C:/Tools/app.exe") << QByteArray("C:/Tools/");
    QTest::newRow("backslash last") << QByteArray("C:\\a/b\\app.exe") << QByteArray("C:\\a/b\\");
    QTest::newRow("slash last") << QByteArray("C:\\a\\b/app.exe") << QByteArray("C:\\a\\b/");
    QTest::newRow("ends in separator") << QByteArray("C:\\Tools\\") << QByteArray("C:\\Tools\\");
    QTest::newRow("unix") << QByteArray("/usr/local/bin/VelmorithUpdate") << QByteArray("/usr/local/bin/");
    QTest::newRow("399 characters") << QByteArray("/") + QByteArray(390, 'd') + QByteArray("/app.exe")
                                    << QByteArray("/") + QByteArray(390, 'd') + QByteArray("/");
}

void TestMainWindow::directoryCut()
{
    QFETCH(QByteArray, programPath);
    QFETCH(QByteArray, directory);

    setAppDirectory(programPath);
    DebugCapture debug;
    VelmorithUpdate window;
    QCOMPARE(QByteArray(appDirectory), directory);
    QCOMPARE(debug.lines(), QStringList({QString::fromUtf8(programPath), QString::fromUtf8(directory)}));
    QVERIFY(!appDirectoryOverflow);
}

void TestMainWindow::bareProgramName_data()
{
    QTest::addColumn<QByteArray>("programPath");
    QTest::newRow("bare name") << QByteArray("VelmorithUpdate");
    QTest::newRow("bare name with extension") << QByteArray("VelmorithUpdate.exe");
    QTest::newRow("one character") << QByteArray("v");
    QTest::newRow("empty") << QByteArray();
}

void TestMainWindow::bareProgramName()
{
    QFETCH(QByteArray, programPath);

    setAppDirectory(programPath);
    DebugCapture debug;
    VelmorithUpdate window;
    const QString executableDirectory =
        QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) + QDir::separator();
    QCOMPARE(QString::fromUtf8(appDirectory), executableDirectory);
    QVERIFY(QDir(QString::fromUtf8(appDirectory)).exists());
    QCOMPARE(debug.lines(), QStringList({QString::fromUtf8(programPath), executableDirectory}));
    QVERIFY(!appDirectoryOverflow);
}

void TestMainWindow::programPathTooLong()
{
    // What the entry leaves when the path did not fit: nothing to cut, nothing to replace.
    setAppDirectory(QByteArray());
    appDirectoryOverflow = true;
    DebugCapture debug;
    VelmorithUpdate window;
    QCOMPARE(QByteArray(appDirectory), QByteArray());
    QVERIFY(appDirectoryOverflow);
    QCOMPARE(debug.lines(), QStringList({QString(), QString()}));
}

void TestMainWindow::programPathTooLongFromTheEntry()
{
    const QByteArray longPath = "/" + QByteArray(420, 'd') + "/VelmorithUpdate";
    QVERIFY(!recordProgramPath(longPath.constData()));
    DebugCapture debug;
    {
        VelmorithUpdate window;
        QCOMPARE(QByteArray(appDirectory), QByteArray());
    }
    // Nor does an engine make some other path of it.
    WindowRig rig(1, false);
    rig.offerPorts({rig.ftdiPort()});
    debug.clear();
    rig.pressStart();
    QCOMPARE(rig.engines().size(), 1);
    QVERIFY(rig.engines().first()->imagePath().isEmpty());
    QCOMPARE(rig.engines().first()->condition(), BootTest::ImageRefused);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
