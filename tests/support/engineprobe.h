// Test access to an engine's internals, for what the wire and the debug stream do not show.
#pragma once

#include "boottest.h"

#include <QMetaObject>
#include <QSerialPort>
#include <QTimer>

struct EngineProbe
{
    static QSerialPort *port(BootTest *engine) { return engine->serialPort; }
    static QTimer *timer(BootTest *engine) { return engine->tickTimer; }
    static qint16 lineLength(const BootTest *engine) { return engine->lineLength; }
    static qint32 retryCount(const BootTest *engine) { return engine->retryCount; }
};

// Runs the engine's tick slot n times, as its 200 ms timer would.
inline void tickEngine(BootTest *engine, int n = 1)
{
    for (int i = 0; i < n; ++i)
        QMetaObject::invokeMethod(engine, "on_Timer", Qt::DirectConnection);
}

// The reference CRC: Qt's ISO 3309 CRC-16 with its final XOR undone.
inline quint16 referenceChecksum(const QByteArray &body)
{
    return quint16(qChecksum(body.constData(), uint(body.size())) ^ 0xFFFF);
}

// A reply line as the device sends it: "$", body, "*", checksum, CR LF.
inline QByteArray deviceReply(const QByteArray &body)
{
    return "$" + body + "*" + QByteArray::number(referenceChecksum(body), 16).toUpper() + "\r\n";
}
