// Ctrl+C, a kill (SIGTERM, SIGHUP) or, on Windows, the console window closed: the callback runs
// in the event loop, so that what is under way can be stopped and logged before the program ends.
#pragma once

#include <QObject>

#include <functional>

class Interruption : public QObject
{
    Q_OBJECT

public:
    // One at a time: it takes over the process's handlers while it lives.
    explicit Interruption(std::function<void()> onInterrupt, QObject *parent = nullptr);
    ~Interruption() override;

    // Whether an interruption has come, already before the event loop has passed it on: for
    // work that waits outside the event loop.
    static bool requested();

    // Windows ends a process whose console was closed as soon as the handler returns: the
    // handler waits for this (a few seconds at most), to be called once all is written.
    static void finished();

private slots:
    void raise();

private:
    std::function<void()> callback;
    bool raised = false;
};
