// What the operator is told about an update: the window's status bar and the console program
// say the same things in the same words.
#pragma once

#include <QString>

class BootTest;

namespace UpdateStatus {

// The status of an engine: one line, or several (separated by '\n') that take turns; null for
// an engine that a newer one stopped.
QString text(const BootTest &engine);

// What the port's latency timer costs, and what to do about it, one line: while the update runs,
// and once it is complete what it would have taken; empty when there is nothing to gain.
QString latencyHint(const BootTest &engine);

// Once an update has ended with its image file changed on disk: "; the image file changed ...",
// to follow what it says of the outcome; empty otherwise.
QString imageChanged(const BootTest &engine);

// Bytes of the image beyond 0x4000, and how many of them the device has taken.
int imageBytes(const BootTest &engine);
int bytesWritten(const BootTest &engine);
// How far the image has got, 0 to 100.
int percent(const BootTest &engine);

// "41 s" or "2 min 5 s", rounded up.
QString duration(qint64 ms);

} // namespace UpdateStatus
