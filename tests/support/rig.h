// What the tests share: the process-wide state reset for each test, a temporary folder as the
// program's folder, debug capture, engine ticks driven from the test, a scripted link, whole
// updates against the simulated device, and the window with its Start press.
#pragma once

#include "boottest.h"
#include "flashcheck.h"
#include "programpath.h"
#include "ptypair.h"
#include "rehearsal.h"
#include "velmorithupdate.h"

#include <QtSerialPort>
#include <QtTest>
#include <QtWidgets>

#include <cstring>
#include <functional>
#include <linux/serial.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Answers the modal dialogs a slot shows, as an operator would, and records what each said.
// One answer per dialog, in order: the text of the button to click, "Enter" or "Escape" for a
// key, "close" for the title bar's close button, "#2" to pick an input dialog's third item.
// Dialogs beyond the script get Escape.
class ModalDriver : public QObject
{
public:
    QStringList seen; // each: title|text|informative text|buttons|an input dialog's items
    explicit ModalDriver(const QStringList &answers) : script(answers) { qApp->installEventFilter(this); }
    ~ModalDriver() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *dialog = qobject_cast<QDialog *>(watched);
        if (event->type() != QEvent::Show || !dialog || !dialog->isWindow())
            return false;
        auto *box = qobject_cast<QMessageBox *>(dialog);
        auto *input = qobject_cast<QInputDialog *>(dialog);
        QStringList buttons;
        for (QAbstractButton *button : box ? box->buttons() : QList<QAbstractButton *>())
            buttons << button->text();
        seen << QStringList{dialog->windowTitle(), box ? box->text() : input->labelText(),
                            box ? box->informativeText() : QString(), buttons.join(','),
                            input ? input->comboBoxItems().join(',') : QString()}
                    .join('|');
        const QString answer = script.isEmpty() ? "Escape" : script.takeFirst();
        // Once the dialog runs its own event loop, as a person would.
        QTimer::singleShot(0, dialog, [dialog, box, answer] {
            if (answer == "close")
                dialog->close();
            else if (answer.startsWith('#'))
                dialog->findChild<QComboBox *>()->setCurrentIndex(answer.mid(1).toInt()), dialog->accept();
            else if (answer == "Enter" || answer == "Escape")
                QTest::keyClick(dialog, answer == "Enter" ? Qt::Key_Enter : Qt::Key_Escape);
            for (QAbstractButton *button : box ? box->buttons() : QList<QAbstractButton *>())
                if (button->text() == answer)
                    QTest::mouseClick(button, Qt::LeftButton);
            // An answer that did not close it would hang the test: out of the way, and said.
            QTimer::singleShot(2000, [guarded = QPointer<QDialog>(dialog)] {
                if (guarded && guarded->isVisible())
                    qWarning("a dialog stayed open after its answer"), guarded->reject();
            });
        });
        return false;
    }

private:
    QStringList script;
};

// The FTDI driver's serial settings behind every port the engine opens, played through the
// program's own calls: what it holds, as the program left it.
struct FakeDriver
{
    serial_struct held{};
    FakeDriver()
    {
        LatencySeam::set(
            [this](int, unsigned long request, void *serial) {
                if (request == TIOCGSERIAL)
                    *static_cast<serial_struct *>(serial) = held;
                else
                    held = *static_cast<const serial_struct *>(serial);
                return 0;
            },
            QString());
    }
    ~FakeDriver() { LatencySeam::reset(); }
    bool lowLatency() const { return held.flags & ASYNC_LOW_LATENCY; }
};

// Test access to what the wire and the debug stream do not show.
struct EngineProbe
{
    static QSerialPort *port(BootTest *engine) { return engine->serialPort; }
    static QTimer *timer(BootTest *engine) { return engine->tickTimer; }
    static qint16 lineLength(const BootTest *engine) { return engine->lineLength; }
};

// The debug lines of the "default" category while it lives; other debug lines go nowhere.
struct DebugCapture
{
    static inline QStringList *lines_ = nullptr;
    QStringList lines;
    DebugCapture() { lines_ = &lines; }
    ~DebugCapture() { lines_ = nullptr; }
    // Without the traffic's "d" and "String Len:" lines.
    QStringList said() const { return lines.filter(QRegularExpression("^(?!d$|String Len: )")); }
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type != QtDebugMsg)
            fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
        else if (lines_ && qstrcmp(context.category, "default") == 0)
            *lines_ << message;
    }
};

// The far end of a pseudo-terminal, played by the test: exact bytes both ways.
struct PtyLink
{
    PtyPair pair;
    QByteArray pending;
    PtyLink() { pair.open(); }
    QString path() const { return pair.slavePath(); }
    // At most a few KiB, which the pty takes at once.
    void write(const QByteArray &bytes)
    {
        QCOMPARE(::write(pair.masterFd(), bytes, size_t(bytes.size())), ssize_t(bytes.size()));
    }
    void fill()
    {
        QCoreApplication::processEvents();
        pollfd pfd{pair.masterFd(), POLLIN, 0};
        char buffer[4096];
        for (ssize_t n; ::poll(&pfd, 1, 1) > 0 && (n = ::read(pair.masterFd(), buffer, sizeof buffer)) > 0;)
            pending.append(buffer, int(n));
    }
    // The next line the engine sends, events pumped meanwhile; empty on timeout.
    QByteArray readLine(int timeoutMs = 3000)
    {
        for (QDeadlineTimer deadline(timeoutMs); !pending.contains('\n') && !deadline.hasExpired();)
            fill();
        const QByteArray line = pending.left(pending.indexOf('\n') + 1);
        pending.remove(0, line.size());
        return line;
    }
    // Everything the engine has sent, once it has taken what was written to it. No time limit
    // decides it: the pty's own order does (a mark written at the engine's end arrives after
    // whatever the engine wrote before it).
    QByteArray drain()
    {
        QDeadlineTimer deadline(10000);
        while (pair.pendingForSlave() > 0 && !deadline.hasExpired())
            QCoreApplication::processEvents();
        if (pair.pendingForSlave() > 0)
            QTest::qFail("the engine did not read what was written to it", __FILE__, __LINE__);
        QCoreApplication::processEvents();
        const char mark = '\xff'; // never sent by the engine: its lines are ASCII
        if (::write(pair.heldSlaveFd(), &mark, 1) != 1)
            QTest::qFail("no mark written to the pty", __FILE__, __LINE__);
        for (pollfd pfd{pair.masterFd(), POLLIN, 0}; !pending.contains(mark) && !deadline.hasExpired();) {
            char buffer[4096];
            const ssize_t n = ::poll(&pfd, 1, 100) > 0 ? ::read(pair.masterFd(), buffer, sizeof buffer) : 0;
            if (n > 0)
                pending.append(buffer, int(n));
        }
        if (!pending.contains(mark))
            QTest::qFail("the pty's mark never arrived", __FILE__, __LINE__);
        const QByteArray sent = pending.left(pending.indexOf(mark));
        pending.remove(0, sent.size() + 1);
        return sent;
    }
};

struct Rig
{
    QTemporaryDir dir;
    std::vector<std::unique_ptr<SimDevice>> devices;
    std::unique_ptr<VelmorithUpdate> built;         // deleted before the ptys, with its engines
    std::vector<std::unique_ptr<BootTest>> engines; // the rig's own, deleted before the window
    QList<PortRecord> offered;
    int ticks = 0;

    Rig()
    {
        resetEngineState();
        resetWindowState();
        LatencySeam::reset();
        std::strcpy(appDirectory, folder().toUtf8().constData());
        UpdateLog::setFolder(folder() + "logs");
        QStandardPaths::setTestModeEnabled(true);
        qInstallMessageHandler(DebugCapture::handle);
    }
    QString folder() const { return dir.path() + '/'; }
    QString imagePath() const { return folder() + Protocol::ImageFileName; }
    QByteArray writeImage(int size, quint32 seed = 1) { return writeImage(rehearsalImage(size, seed)); }
    QByteArray writeImage(const QByteArray &image)
    {
        QFile file(imagePath());
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
            qFatal("cannot write the image");
        return image;
    }

    // An engine of the rig's own, its timer stopped: time moves by tick().
    BootTest *engine(const QString &port)
    {
        engines.push_back(std::make_unique<BootTest>(port));
        EngineProbe::timer(engines.back().get())->stop();
        return engines.back().get();
    }
    static void tick(BootTest *engine, int n = 1)
    {
        for (int i = 0; i < n; ++i)
            invoke(engine, "on_Timer");
    }
    // A slot renamed away would leave every "nothing happened" check passing untested.
    static void invoke(QObject *object, const char *slot)
    {
        if (!QMetaObject::invokeMethod(object, slot))
            qFatal("%s has no slot %s() to drive", object->metaObject()->className(), slot);
    }

    static PortRecord ftdiPort(const QString &name)
    {
        return {name, true, false, "FTDI", "USB Serial Port", "FT" + name.section('/', -1)};
    }
    // A simulated device on a new pty; from now on Start finds it as the one FTDI port.
    SimDevice &plugIn(const DeviceConfig &config = DeviceConfig())
    {
        devices.push_back(std::make_unique<SimDevice>(config));
        offered = {ftdiPort(devices.back()->slavePath())};
        return *devices.back();
    }

    // Ticks of the engine, then the latest device's, the traffic they cause, and the window's
    // display tick once it is built, until done() holds (at most maxTicks).
    bool run(BootTest *engine, const std::function<bool()> &done, int maxTicks = 20000)
    {
        SimDevice *device = devices.empty() ? nullptr : devices.back().get();
        const auto oneTick = [&](bool traffic) {
            tick(engine);
            if (device)
                device->tick();
            if (device && traffic)
                device->settle();
            if (built)
                tickWindow();
            ++ticks;
        };
        // A tick before the engine's next step, with nothing on its way, causes no traffic; one
        // while the link is lost may open the port again and send.
        for (int left = maxTicks; left > 0 && !done(); --left)
            oneTick(tickCountdown <= 1 || (device && device->pendingReplies()) ||
                    engine->condition() == BootTest::LinkLost);
        return done();
    }
    // Ended, and the final stage has run (some replies leave the port open after it).
    bool runToEnd(BootTest *engine, int maxTicks = 20000)
    {
        const auto ended = [&] {
            return !engine->isRunning() && (!EngineProbe::port(engine)->isOpen() || !tickCountdown);
        };
        return run(engine, ended, maxTicks);
    }

    // The window, built on first use: display timer stopped, shown, with a desktop's font size.
    VelmorithUpdate &window()
    {
        if (!built) {
            QFont font = QApplication::font();
            font.setPointSize(9);
            QApplication::setFont(font);
            built = std::make_unique<VelmorithUpdate>();
            built->displayTimerObject()->stop();
            built->setPortEnumerator([this] { return offered; });
            built->show();
            if (!QTest::qWaitForWindowExposed(built.get()))
                qWarning("window not exposed");
        }
        return *built;
    }
    QProgressBar *bar() { return window().findChild<QProgressBar *>("progressBarMain"); }
    QString status() { return window().statusBar()->currentMessage(); }
    BootTest *latest() { return window().engineList().value(window().engineList().size() - 1); }
    void tickWindow(int n = 1)
    {
        for (int i = 0; i < n; ++i)
            invoke(&window(), "on_Timer");
    }
    // Start, the dialogs answered; an engine it creates has its timer stopped (the window owns it).
    QStringList pressStart(const QStringList &answers = {"OK", "OK"})
    {
        ModalDriver driver(answers);
        QTest::mouseClick(window().findChild<QPushButton *>("pushButton"), Qt::LeftButton);
        if (latest()) // every engine's timer is stopped at once: time moves by tick()
            EngineProbe::timer(latest())->stop();
        return driver.seen;
    }
};
