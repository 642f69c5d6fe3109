// The console the program writes to: UTF-8 where output goes to a file or pipe, and a Windows
// console's own wide-character output there, so that paths outside the ANSI code page read right.
#pragma once

#include <QString>

#include <cstdio>

namespace Console {

void write(FILE *stream, const QString &text);
// Whether the stream is a terminal (or a Windows console) a line can be redrawn on.
bool isTerminal(FILE *stream);

} // namespace Console
