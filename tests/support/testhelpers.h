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

// The packages the tool carries; tests count from them, so that real firmware can replace the stand-ins.
inline const QString BuiltInBootloader = QStringLiteral(":/upgrade/ble_orvik_hx7315_bl_sd.zip");
inline const QString BuiltInApplication = QStringLiteral(":/upgrade/ble_orvik_hx7315_app.zip");

inline int packetsOf(Dfu::ImageType type, const QString &package)
{
    return packetsFor(Dfu::readPackage(type, package).image.size());
}

inline int builtInPackets()
{
    return packetsOf(Dfu::SoftDeviceBootloader, BuiltInBootloader) + packetsOf(Dfu::Application, BuiltInApplication);
}

#endif // TESTHELPERS_H
