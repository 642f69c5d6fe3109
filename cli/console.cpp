#include "console.h"

#include <QByteArray>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
HANDLE consoleOf(FILE *stream)
{
    const HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}
#endif

} // namespace

namespace Console {

void ignoreClosedReaders()
{
#ifndef Q_OS_WIN
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

void write(FILE *stream, const QString &text)
{
#ifdef Q_OS_WIN
    if (const HANDLE console = consoleOf(stream)) {
        std::fflush(stream);
        DWORD written = 0;
        WriteConsoleW(console, reinterpret_cast<const wchar_t *>(text.utf16()), DWORD(text.size()), &written, nullptr);
        return;
    }
#endif
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

bool isTerminal(FILE *stream)
{
#ifdef Q_OS_WIN
    return consoleOf(stream) != nullptr;
#else
    return isatty(fileno(stream)) == 1;
#endif
}

} // namespace Console
