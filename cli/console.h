// The console the program writes to: UTF-8 where output goes to a file or pipe, and a Windows
// console's own wide-character output there, so that paths outside the ANSI code page read right.
#pragma once

#include <QString>

#include <cstdio>

namespace Console {

// Output whose reader has gone (a pipe closed early, a dropped ssh session) fails quietly instead
// of ending the program: the update and its log go on.
void ignoreClosedReaders();

void write(FILE *stream, const QString &text);
// Whether the stream is a terminal (or a Windows console) a line can be redrawn on.
bool isTerminal(FILE *stream);

} // namespace Console
