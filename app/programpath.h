// The program's own directory in appDirectory: where the firmware image is looked for.
#pragma once

#include <QString>

// Copies the program path (argv[0], may be null) into appDirectory. A path that does not
// fit is not copied at all: appDirectory stays empty and appDirectoryOverflow is set.
// Returns whether the path was copied.
bool recordProgramPath(const char *programPath);

// Cuts text back to its directory: everything behind the last '/' or '\' goes, the
// separator stays. The first character is never examined, so a bare name keeps it.
void cutToDirectory(char *text);

// Cuts appDirectory back to the program's directory. Where that leaves no folder that exists
// (a bare name; or on Windows a folder name outside the ANSI code page, which argv[0] hands
// over mangled), takes the one Qt knows the executable lives in. Needs the application object.
void settleProgramDirectory();

// Whether text holds a '/' or a '\'.
bool hasPathSeparator(const char *text);

// Puts a directory into appDirectory, UTF-8, with native separators and one trailing
// separator. One that does not fit leaves appDirectory empty and sets appDirectoryOverflow.
bool placeDirectory(const QString &directory);
