#include "versionpolicy.h"

#include "revisions.h"

namespace VersionPolicy {

bool hardwareServed(const QString &hwRev)
{
    return hwRev == QLatin1String(RequiredHwRev);
}

bool firmwareCurrent(const QString &fwRev)
{
    return fwRev == QLatin1String(RequiredFwRev);
}

bool softwareCurrent(const QString &swRev)
{
    return swRev == QLatin1String(RequiredSwRev);
}

Verdict judge(const QString &hwRev, const QString &fwRev, const QString &swRev)
{
    if (!hardwareServed(hwRev))
        return Verdict::RefuseHardware;
    return firmwareCurrent(fwRev) && softwareCurrent(swRev) ? Verdict::Accept : Verdict::Flash;
}

} // namespace VersionPolicy
