#include "portmatch.h"

int findOrvikPort(const QVector<PortIds> &ports)
{
    for (int i = 0; i < ports.size(); ++i) {
        const PortIds &port = ports.at(i);
        if (port.hasVendorId && port.hasProductId && port.vendorId == OrvikVendorId
            && port.productId == OrvikProductId)
            return i;
    }
    return -1;
}
