#include "portmatch.h"

#include <QSerialPortInfo>

QVector<PortIds> availablePortIds()
{
    QVector<PortIds> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports.append({ info.hasVendorIdentifier(), info.vendorIdentifier(), info.hasProductIdentifier(),
                       info.productIdentifier(), info.systemLocation() });
    return ports;
}

QVector<int> findOrvikPorts(const QVector<PortIds> &ports)
{
    QVector<int> matches;
    for (int i = 0; i < ports.size(); ++i) {
        const PortIds &port = ports.at(i);
        if (port.hasVendorId && port.hasProductId && port.vendorId == OrvikVendorId && port.productId == OrvikProductId)
            matches.append(i);
    }
    return matches;
}
