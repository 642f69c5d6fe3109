// A main window on pseudo-terminal "FTDI" ports, with its image in a temporary folder and
// every timer driven from the test.
#pragma once

#include "modaldriver.h"
#include "portenumeration.h"
#include "ptylink.h"
#include "velmorithupdate.h"

#include <QList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

class BootTest;
class QProgressBar;
class QStatusBar;

class WindowRig
{
public:
    // Points appDirectory at a fresh temporary folder (unless told to leave it) and opens ptys.
    explicit WindowRig(int ptyCount = 1, bool setDirectory = true);
    ~WindowRig();
    WindowRig(const WindowRig &) = delete;
    WindowRig &operator=(const WindowRig &) = delete;

    // The temporary folder, with its trailing '/'.
    QString directory() const;
    QString imagePath() const;
    void writeImage(int size);

    PtyLink &pty(int index = 0) { return *ptys.at(size_t(index)); }
    // A free FTDI port on the given pty.
    PortRecord ftdiPort(int index = 0) const;
    void offerPorts(const QList<PortRecord> &ports);

    // Builds the window (its display timer stopped) and shows it.
    VelmorithUpdate &window();
    QProgressBar *bar();
    QStatusBar *statusBar();
    QList<BootTest *> engines() { return window().engineList(); }

    // Clicks Start; the script answers the dialogs it brings up. Engines created by the press
    // get their tick timers stopped at once.
    QList<SeenDialog> pressStart(const QList<ModalDriver::Action> &script = {}, bool *stuck = nullptr);
    void tickWindow(int count = 1);
    static void tickEngine(BootTest *engine, int count = 1);

private:
    QTemporaryDir temporary;
    std::vector<std::unique_ptr<PtyLink>> ptys;
    std::unique_ptr<VelmorithUpdate> built;
    QList<BootTest *> created;
};

// Plays the bootloader on a pty master: answers erase and program commands.
class DevicePlayer
{
public:
    explicit DevicePlayer(PtyLink &link) : pty(link) {}

    // Answers every complete line waiting (waiting up to timeoutMs for the first one).
    // Returns the number of lines read.
    int serve(int timeoutMs);
    // Runs the engine until done() holds: lines are answered as they come, the window (if
    // given) gets a display tick every round, and when the link is quiet the engine gets one.
    template <typename Done> bool run(BootTest *engine, Done done, WindowRig *rig = nullptr, int maxRounds = 5000)
    {
        for (int round = 0; round < maxRounds; ++round) {
            if (done())
                return true;
            if (rig)
                rig->tickWindow();
            // An answer the engine has not picked up yet costs at most a tick of its wait: harmless.
            if (serve(awaitingEngine ? 50 : 2) > 0)
                continue;
            awaitingEngine = false;
            WindowRig::tickEngine(engine);
        }
        return done();
    }

    bool answering = true;
    // Program commands still to be answered; negative: all of them.
    int programAnswersLeft = -1;
    int programCommands = 0;
    int startApplicationCommands = 0;

private:
    PtyLink &pty;
    bool awaitingEngine = false;
};
