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

QStringList widgetChildren(const QObject *parent)
{
    QStringList names;
    for (const QObject *child : parent->children()) {
        if (child->isWidgetType() && !child->objectName().startsWith(QLatin1String("qt_")))
            names << child->objectName();
    }
    return names;
}

void addWidget(const char *name, const char *className, const char *parent, const QRect &geometry = QRect())
{
    QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(className) << QString::fromLatin1(parent)
                        << geometry;
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
    void settingsAndTexts_data();
    void settingsAndTexts();
    void declaredSlots();
    void displayTimerDrivesTheDisplay();

    void directoryCut_data();
    void directoryCut();
    void bareProgramName_data();
    void bareProgramName();
    void programPathTooLong();
};

void TestMainWindow::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry"); // null: none given
    addWidget("centralWidget", "QWidget", "VelmorithUpdate");
    addWidget("pushButton", "QPushButton", "centralWidget", QRect(170, 10, 91, 31));
    addWidget("textEdit", "QTextEdit", "centralWidget", QRect(30, 200, 371, 161));
    addWidget("label", "QLabel", "centralWidget", QRect(190, 70, 47, 13));
    addWidget("progressBarMain", "QProgressBar", "centralWidget", QRect(10, 90, 411, 23));
    addWidget("menuBar", "QMenuBar", "VelmorithUpdate", QRect(0, 0, 431, 21));
    addWidget("mainToolBar", "QToolBar", "VelmorithUpdate");
    addWidget("statusBar", "QStatusBar", "VelmorithUpdate");
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
    QCOMPARE(QString::fromLatin1(found.first()->metaObject()->className()), className);
    QCOMPARE(found.first()->parentWidget()->objectName(), parentName);
    if (!geometry.isNull())
        QCOMPARE(found.first()->geometry(), geometry);
}

void TestMainWindow::creationOrder()
{
    VelmorithUpdate window;
    QCOMPARE(widgetChildren(&window), QStringList({"centralWidget", "menuBar", "mainToolBar", "statusBar"}));
    auto *central = window.findChild<QWidget *>("centralWidget");
    QCOMPARE(widgetChildren(central), QStringList({"pushButton", "textEdit", "label", "progressBarMain"}));

    QCOMPARE(window.centralWidget(), central);
    QCOMPARE(window.menuBar(), window.findChild<QMenuBar *>("menuBar"));
    QCOMPARE(window.statusBar(), window.findChild<QStatusBar *>("statusBar"));
    auto *toolBar = window.findChild<QToolBar *>("mainToolBar");
    QCOMPARE(window.toolBarArea(toolBar), Qt::TopToolBarArea);
    QVERIFY(toolBar->actions().isEmpty());
    QVERIFY(window.menuBar()->actions().isEmpty());
}

void TestMainWindow::settingsAndTexts_data()
{
    QTest::addColumn<bool>("translated");
    QTest::newRow("no translator") << false;
    // A translator shows which texts go through the lookup, under the window's context.
    QTest::newRow("marking translator") << true;
}

void TestMainWindow::settingsAndTexts()
{
    QFETCH(bool, translated);
    MarkingTranslator translator;
    if (translated)
        QCoreApplication::installTranslator(&translator);
    auto shown = [&](const QString &text) { return translated ? "<" + text + ">" : text; };
    VelmorithUpdate window;
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(window.objectName(), QStringLiteral("VelmorithUpdate"));
    QCOMPARE(window.size(), QSize(431, 434));
    QCOMPARE(window.windowTitle(), shown("Autoloader Update"));
    QCOMPARE(window.findChild<QPushButton *>("pushButton")->text(), shown("Start"));

    auto *label = window.findChild<QLabel *>("label");
    QVERIFY(label->isEnabled());
    QCOMPARE(label->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);
    QCOMPARE(label->text(), shown("MAIN"));

    auto *bar = window.findChild<QProgressBar *>("progressBarMain");
    QVERIFY(bar->isEnabled());
    QCOMPARE(bar->minimum(), 16384);
    QCOMPARE(bar->maximum(), 65536);
    QCOMPARE(bar->value(), 16383);
    QVERIFY(!bar->isTextVisible());
    QCOMPARE(window.statusBar()->currentMessage(), QString());

    auto *edit = window.findChild<QTextEdit *>("textEdit");
    QVERIFY(!edit->isReadOnly());
    QCOMPARE(edit->document()->blockCount(), 2);
    QCOMPARE(edit->document()->firstBlock().text(), QStringLiteral("Before attaching Brastel to the PC"));
    QCOMPARE(edit->document()->lastBlock().text(), QStringLiteral("Press the Start button")); // plain text

    QTimer *timer = window.displayTimerObject();
    QCOMPARE(timer->parent(), &window);
    QCOMPARE(timer->interval(), 200);
    QVERIFY(timer->isActive() && !timer->isSingleShot());
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
}

void TestMainWindow::displayTimerDrivesTheDisplay()
{
    // No image: the engine refuses at once, and the running display timer's next tick says so.
    WindowRig rig;
    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    QCOMPARE(rig.statusBar()->currentMessage(), QStringLiteral("Finding Port - Please wait"));
    rig.window().displayTimerObject()->start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.statusBar()->currentMessage().startsWith("Firmware image missing"), 2000);
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
    QTest::newRow("root") << QByteArray("/VelmorithUpdate") << QByteArray("/");
    QTest::newRow("relative") << QByteArray("./VelmorithUpdate") << QByteArray("./");
    QTest::newRow("399 characters") << "/" + QByteArray(390, 'd') + "/app.exe"
                                    << "/" + QByteArray(390, 'd') + "/";
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
}

void TestMainWindow::bareProgramName_data()
{
    QTest::addColumn<QByteArray>("programPath");
    QTest::newRow("bare name") << QByteArray("VelmorithUpdate.exe");
    QTest::newRow("one character") << QByteArray("v");
    QTest::newRow("empty") << QByteArray();
}

// No directory in the path: the executable's own directory stands in.
void TestMainWindow::bareProgramName()
{
    QFETCH(QByteArray, programPath);
    setAppDirectory(programPath);
    DebugCapture debug;
    VelmorithUpdate window;
    const QString executableDirectory =
        QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) + QDir::separator();
    QCOMPARE(QString::fromUtf8(appDirectory), executableDirectory);
    QCOMPARE(debug.lines(), QStringList({QString::fromUtf8(programPath), executableDirectory}));
}

// A path that did not fit: nothing recorded, so nothing to cut and nothing put in its place.
// The engine then has no image path, and the operator is told so.
void TestMainWindow::programPathTooLong()
{
    QVERIFY(!recordProgramPath(("/" + QByteArray(420, 'd') + "/VelmorithUpdate").constData()));
    WindowRig rig(1, false);
    DebugCapture debug;
    rig.window();
    QCOMPARE(QByteArray(appDirectory), QByteArray());
    QVERIFY(appDirectoryOverflow);
    QCOMPARE(debug.lines(), QStringList({QString(), QString()}));

    rig.offerPorts({rig.ftdiPort()});
    rig.pressStart();
    BootTest *engine = rig.engines().first();
    QCOMPARE(engine->condition(), BootTest::ImageRefused);
    QVERIFY(engine->imagePath().isEmpty());
    QVERIFY(!engine->imageProblem().isEmpty());
    rig.tickWindow();
    QVERIFY(rig.statusBar()->toolTip().startsWith(QStringLiteral("Firmware image %1\n").arg(engine->imageProblem())));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
