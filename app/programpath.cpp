#include "programpath.h"

#include "enginestate.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstring>

bool recordProgramPath(const char *programPath)
{
    std::memset(appDirectory, 0, sizeof appDirectory);
    const char *path = programPath ? programPath : "";
#ifdef Q_OS_WIN
    // The command line arrives in the ANSI code page; the image path is read back as UTF-8,
    // so a folder name such as "Jürgen" must be converted to stay the same folder.
    const QByteArray utf8 = QString::fromLocal8Bit(path).toUtf8();
    path = utf8.constData();
#endif
    const size_t length = std::strlen(path);
    // A cut-short path would name some other folder: better no folder at all.
    if (length >= sizeof appDirectory) {
        appDirectoryOverflow = true;
        return false;
    }
    std::memcpy(appDirectory, path, length + 1);
    return true;
}

void cutToDirectory(char *text)
{
    size_t position = std::strlen(text);
    if (position == 0)
        return;
    for (; position >= 1; --position) {
        if (text[position] == '/' || text[position] == '\\')
            return;
        text[position] = '\0';
    }
}

void settleProgramDirectory()
{
    // Started by a bare name the cut leaves one stray character, which would put the image
    // in the working directory at best.
    const bool bareName = !hasPathSeparator(appDirectory);
    cutToDirectory(appDirectory);
    if (appDirectoryOverflow)
        return; // no folder at all rather than some other one
    if (bareName || !QFileInfo(QString::fromUtf8(appDirectory)).isDir())
        placeDirectory(QCoreApplication::applicationDirPath());
}

bool hasPathSeparator(const char *text)
{
    return std::strpbrk(text, "/\\") != nullptr;
}

bool placeDirectory(const QString &directory)
{
    QString native = QDir::toNativeSeparators(directory);
    if (!native.endsWith(QDir::separator()))
        native += QDir::separator();
    const QByteArray bytes = native.toUtf8();
    std::memset(appDirectory, 0, sizeof appDirectory);
    if (size_t(bytes.size()) >= sizeof appDirectory) {
        appDirectoryOverflow = true;
        return false;
    }
    std::memcpy(appDirectory, bytes.constData(), size_t(bytes.size()));
    return true;
}
