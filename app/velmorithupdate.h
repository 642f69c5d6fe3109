// The operator's window: Start button, instructions, progress bar and status text.
#pragma once

#include "portenumeration.h"

#include <QList>
#include <QMainWindow>
#include <QStringList>

class BootTest;
class QTimer;

namespace Ui {
class VelmorithUpdate;
}

// Which engine the progress bar follows; a Start press clears the latch.
extern bool progressEngineFound;
extern int progressEngineIndex;
// The ports found by the latest search.
extern QList<PortRecord> availableSerialPorts;
// Back to the state of a fresh process.
void resetWindowState();

class VelmorithUpdate : public QMainWindow
{
    Q_OBJECT

public:
    explicit VelmorithUpdate(QWidget *parent = nullptr);
    ~VelmorithUpdate() override;

    // Where Start looks for ports: the system's serial ports unless something else is set
    // (a rehearsal offers the simulated device's pseudo-terminal here).
    void setPortEnumerator(PortEnumerator enumerator);

    // For tests and rehearsals, which drive the window from outside.
    const QList<BootTest *> &engineList() const { return engines; }
    const QStringList &foundPorts() const { return foundPortNames; }
    QTimer *displayTimerObject() const { return displayTimer; }

protected:
    // While an update runs, closing asks first: the device would be left half-written.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_pushButton_clicked();
    void on_Timer();
    void SerialGotData();

private:
    bool updateRunning() const;
    // Stops and destroys every engine; the log of one still running gets `outcome`.
    void dropEngines(const QString &outcome);
    int askWhichPort(const QList<PortRecord> &ports);
    const BootTest *followedEngine() const;
    void showStatus();
    static int statusKind(const BootTest *engine);
    QString fitted(const QString &text, const QString &path) const;

    Ui::VelmorithUpdate *ui;
    QStringList foundPortNames;
    QTimer *displayTimer;
    QList<BootTest *> engines;
    PortEnumerator portEnumerator;
    // What a press that created no engine has to say; shown until the followed engine has news
    // of its own: its condition or phase differs from noteCovers, taken at that press.
    QString pressNote;
    int noteCovers = -1;
    qint64 displayTicks = 0;
    qint64 turnsSince = -1; // the display tick from which the lines of a text take turns
};
