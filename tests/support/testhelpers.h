#ifndef TESTHELPERS_H
#define TESTHELPERS_H

#include "dfu.h"

#include <QByteArray>

inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// Start, init, one data packet per 512 bytes of the image, stop.
inline int packetsFor(qint64 imageBytes)
{
    return int(3 + (imageBytes + Dfu::MaxDataChunk - 1) / Dfu::MaxDataChunk);
}

#endif // TESTHELPERS_H
