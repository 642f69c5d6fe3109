#include "velmorithupdate.h"
#include "ui_velmorithupdate.h"

#include "boottest.h"
#include "enginestate.h"
#include "programpath.h"
#include "updatestatus.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFontMetrics>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

bool progressEngineFound = false;
int progressEngineIndex = 0;
QList<PortRecord> availableSerialPorts;

void resetWindowState()
{
    progressEngineFound = false;
    progressEngineIndex = 0;
    availableSerialPorts.clear();
}

namespace {
constexpr int DisplayTickMs = 200;
// The master address while the bar may latch: past the first block, inside the flash.
constexpr int LatchAbove = 0x4000;
constexpr int LatchUpTo = 0xFFFE;
} // namespace

VelmorithUpdate::VelmorithUpdate(QWidget *parent) : QMainWindow(parent), ui(new Ui::VelmorithUpdate)
{
    ui->setupUi(this);

    displayTimer = new QTimer(this);
    displayTimer->setObjectName(QStringLiteral("displayTimer"));
    connect(displayTimer, SIGNAL(timeout()), this, SLOT(on_Timer()));
    displayTimer->setInterval(DisplayTickMs);
    displayTimer->start();

    qDebug().noquote() << appDirectory;
    settleProgramDirectory();
    qDebug().noquote() << appDirectory;

    ui->textEdit->append(QStringLiteral("Before attaching Brastel to the PC"));
    ui->textEdit->append(QStringLiteral("Press the Start button"));
}

VelmorithUpdate::~VelmorithUpdate()
{
    // However the program ends: each update's log gets its outcome, its port's flags go back.
    dropEngines(QStringLiteral("program closed during the update"));
    delete ui;
}

void VelmorithUpdate::dropEngines(const QString &outcome)
{
    for (BootTest *engine : qAsConst(engines)) {
        engine->stop(outcome);
        delete engine;
    }
    engines.clear();
    progressEngineIndex = 0;
}

void VelmorithUpdate::setPortEnumerator(PortEnumerator enumerator)
{
    portEnumerator = std::move(enumerator);
}

const BootTest *VelmorithUpdate::followedEngine() const
{
    return engines.isEmpty() ? nullptr : engines.last();
}

bool VelmorithUpdate::updateRunning() const
{
    const BootTest *engine = followedEngine();
    return engine && engine->condition() == BootTest::Working;
}

void VelmorithUpdate::on_pushButton_clicked()
{
    QMessageBox box;

    // A new engine would retire the running one halfway through its image. A stalled one
    // (not answering, link lost) is not protected: starting afresh is how the operator
    // recovers, e.g. after re-plugging the cable, and the new engine frees the old port first.
    if (updateRunning()) {
        box.setText(QStringLiteral("An update is already running"));
        box.setInformativeText(QStringLiteral("Wait until it has finished before pressing Start again."));
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
        return;
    }

    // However the operator closes these boxes, the sequence goes on.
    box.setText(QStringLiteral("With USB Unplugged"));
    box.setInformativeText(QStringLiteral("Turn on unit and hold Power button down until LEDS show Red Blue Red"));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    box.setText(QStringLiteral("Plug USB cable from Autoloader To PC"));
    box.setInformativeText(QStringLiteral("Wait until USB has chance to install Driver (about 1 minute) and press OK"));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();

    availableSerialPorts = portEnumerator ? portEnumerator() : systemSerialPorts();
    // Each press searches afresh: names from earlier presses would start engines on ports
    // that are gone or already held.
    foundPortNames.clear();
    QList<PortRecord> qualifying;
    // The first FTDI port passed over only because another program holds it: the operator can free it.
    QString busyPort;
    for (const PortRecord &port : qAsConst(availableSerialPorts)) {
        PortRecord freed = port;
        freed.busy = false;
        if (qualifiesForUpdate(port)) {
            foundPortNames << port.name;
            qualifying << port;
        } else if (port.busy && busyPort.isEmpty() && qualifiesForUpdate(freed)) {
            busyPort = port.name;
        }
    }

    // The transfer state is shared, so one engine per press: with several devices the
    // operator picks one.
    int chosen = -1;
    if (qualifying.size() == 1)
        chosen = 0;
    else if (qualifying.size() > 1)
        chosen = askWhichPort(qualifying);
    if (chosen >= 0) {
        // Only a press that starts an engine changes what the bar and the status follow: an
        // earlier engine, stalled but not given up, may still finish.
        progressEngineFound = false;
        // The window keeps only the engine it shows: earlier ones (ended, or stalled and now
        // replaced) go, each having let go of its port first.
        dropEngines(QStringLiteral("update stopped by a new Start"));
        pressNote.clear();
        engines.append(new BootTest(foundPortNames.at(chosen)));
    } else {
        const BootTest *engine = followedEngine();
        noteCovers = statusKind(engine);
        if (!foundPortNames.isEmpty())
            pressNote =
                QCoreApplication::translate("VelmorithUpdate", "No device chosen - press Start again to choose one");
        else if (!busyPort.isEmpty())
            pressNote = QCoreApplication::translate("VelmorithUpdate",
                                                    "%1 is in use by another program - close it, then press Start")
                            .arg(busyPort);
        else
            pressNote = QCoreApplication::translate("VelmorithUpdate",
                                                    "No device found - check the USB cable, then press Start");
    }
    qDebug() << engines.size();

    box.setInformativeText(QString());
    if (foundPortNames.isEmpty()) {
        box.setText(QStringLiteral("No Device Connected"));
        box.setStandardButtons(QMessageBox::Cancel);
        box.exec();
    }

    ui->statusBar->showMessage(QCoreApplication::translate("VelmorithUpdate", "Finding Port - Please wait"), 0);
}

int VelmorithUpdate::askWhichPort(const QList<PortRecord> &ports)
{
    QStringList items;
    for (const PortRecord &port : ports)
        items << QStringLiteral("%1 - %2 - %3").arg(port.name, port.description, port.serialNumber);
    bool ok = false;
    const QString item =
        QInputDialog::getItem(this, QStringLiteral("Autoloader Update"),
                              QStringLiteral("More than one device found. Which one to update?"), items, 0, false, &ok);
    return ok ? items.indexOf(item) : -1;
}

void VelmorithUpdate::on_Timer()
{
    ++displayTicks;
    for (int i = 0; i < engines.size(); ++i) {
        const BootTest *engine = engines.at(i);
        if (progressEngineFound) {
            if (i == progressEngineIndex) {
                // The fill blocks carry the address past the image end, out of the bar's
                // range: a finished update is shown full rather than just short of it.
                const bool completed = engine->condition() == BootTest::Completed;
                ui->progressBarMain->setValue(completed ? ui->progressBarMain->maximum()
                                                        : engine->currentMasterAddress());
            }
            continue;
        }
        const int address = engine->currentMasterAddress();
        if ((address > LatchAbove && address <= LatchUpTo) || engine->condition() == BootTest::Completed) {
            progressEngineFound = true;
            progressEngineIndex = i;
            ui->progressBarMain->setMaximum(engine->imageSize());
        }
    }
    showStatus();
}

void VelmorithUpdate::showStatus()
{
    const BootTest *engine = followedEngine();
    QString text = engine ? UpdateStatus::text(*engine) : QString();
    if (!pressNote.isNull()) {
        if (statusKind(engine) == noteCovers)
            text = pressNote;
        else
            pressNote.clear();
    }
    if (text.isNull())
        return;
    // The whole text stays in the tooltip, and once the update has ended, where its log is.
    QString tip = text;
    // Said without holding the update up; a complete one says it in its text.
    const QString hint = engine && engine->isRunning() ? UpdateStatus::latencyHint(*engine) : QString();
    if (!hint.isEmpty())
        tip += QLatin1Char('\n') + hint;
    if (pressNote.isNull() && engine && !engine->isRunning() && !engine->logPath().isEmpty())
        tip += QLatin1Char('\n') + QCoreApplication::translate("VelmorithUpdate", "Log of this update: %1")
                                       .arg(QDir::toNativeSeparators(engine->logPath()));
    ui->statusBar->setToolTip(tip);
    // The status bar holds one line: several take turns, three seconds each, the first first.
    const QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() == 1)
        turnsSince = -1;
    else if (turnsSince < 0)
        turnsSince = displayTicks;
    const QString line = lines.at(int((displayTicks - qMax<qint64>(turnsSince, 0)) / 15 % lines.size()));
    const QString shown = fitted(line, engine ? QDir::toNativeSeparators(engine->imagePath()) : QString());
    if (shown != ui->statusBar->currentMessage())
        ui->statusBar->showMessage(shown, 0);
}

QString VelmorithUpdate::fitted(const QString &text, const QString &path) const
{
    // A long image path would push the rest out of sight: shorten the path in its middle,
    // so that both its start and the file name stay readable.
    const QFontMetrics metrics(ui->statusBar->font());
    // The status bar spans the window; its own geometry lags behind until it is laid out.
    const int room = width() - 24; // margins and size grip
    const auto widthOf = [&metrics](const QString &s) {
#if QT_VERSION >= QT_VERSION_CHECK(5, 11, 0)
        return metrics.horizontalAdvance(s);
#else
        return metrics.width(s);
#endif
    };
    if (widthOf(text) <= room)
        return text;
    if (path.isEmpty() || !text.endsWith(path))
        return metrics.elidedText(text, Qt::ElideRight, room);
    const QString head = text.left(text.size() - path.size());
    return head + metrics.elidedText(path, Qt::ElideMiddle, qMax(0, room - widthOf(head)));
}

int VelmorithUpdate::statusKind(const BootTest *engine)
{
    return engine ? int(engine->condition()) * 10 + int(engine->phase()) : -1;
}

void VelmorithUpdate::closeEvent(QCloseEvent *event)
{
    const BootTest *engine = followedEngine();
    // Once "$MJAPP" is out the unit is starting its new firmware: nothing left to lose.
    if (!engine || !engine->isRunning() || engine->startCommandSent()) {
        event->accept();
        return;
    }
    QMessageBox box(this);
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(windowTitle());
    box.setText(QStringLiteral("An update is running"));
    box.setInformativeText(QStringLiteral("If you close now, the update stops: the device stays in its bootloader "
                                          "without working firmware and needs a new update."));
    QPushButton *closeAnyway = box.addButton(QStringLiteral("Close anyway"), QMessageBox::DestructiveRole);
    QPushButton *goBack = box.addButton(QStringLiteral("Go back"), QMessageBox::RejectRole);
    box.setDefaultButton(goBack);
    box.setEscapeButton(goBack);
    box.exec();
    if (box.clickedButton() == closeAnyway)
        event->accept();
    else
        event->ignore();
}

void VelmorithUpdate::SerialGotData() {}
