#include "interruption.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

Interruption *current = nullptr;
std::atomic<bool> interrupted{false}; // lock-free: set in a signal handler, or another thread

#ifdef Q_OS_WIN
HANDLE allWritten = nullptr;

BOOL WINAPI onConsoleEvent(DWORD type)
{
    // Runs on a thread of its own: the event loop is only told.
    interrupted = true;
    if (current)
        QMetaObject::invokeMethod(current, "raise", Qt::QueuedConnection);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(allWritten, 4000); // the system allows about five seconds
    return TRUE;
}
#else
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    // Only what is safe in a signal handler: a flag, and one byte for the event loop to read.
    interrupted = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}
#endif

} // namespace

Interruption::Interruption(std::function<void()> onInterrupt, QObject *parent)
    : QObject(parent), callback(std::move(onInterrupt))
{
    current = this;
#ifdef Q_OS_WIN
    if (!allWritten)
        allWritten = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    if (signalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &byte, 1);
        raise();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
#endif
}

Interruption::~Interruption()
{
#ifdef Q_OS_WIN
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
#else
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
#endif
    current = nullptr;
}

bool Interruption::requested()
{
    return interrupted;
}

void Interruption::finished()
{
#ifdef Q_OS_WIN
    if (allWritten)
        SetEvent(allWritten);
#endif
}

void Interruption::raise()
{
    // A second Ctrl+C while the first is handled changes nothing.
    if (raised)
        return;
    raised = true;
    callback();
}
