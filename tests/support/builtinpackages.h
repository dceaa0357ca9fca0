#ifndef BUILTINPACKAGES_H
#define BUILTINPACKAGES_H

#include "testhelpers.h"

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

#endif // BUILTINPACKAGES_H
