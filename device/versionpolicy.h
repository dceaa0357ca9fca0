#ifndef ORVIK_VERSIONPOLICY_H
#define ORVIK_VERSIONPOLICY_H

#include <QString>

// What the tools do with a device, given the revisions it reports. Each is
// compared as a whole string with the expected one (revisions.h): no trimming,
// no numeric order, so a newer revision is flashed like an older one.
namespace VersionPolicy {

// Another hardware revision is refused and never flashed.
bool hardwareServed(const QString &hwRev);
bool firmwareCurrent(const QString &fwRev);
bool softwareCurrent(const QString &swRev);

enum class Verdict { Accept, RefuseHardware, Flash };

// The decision on all three, hardware first: the window and the station ask
// in that order and stop at the first that fails.
Verdict judge(const QString &hwRev, const QString &fwRev, const QString &swRev);

} // namespace VersionPolicy

#endif // ORVIK_VERSIONPOLICY_H
