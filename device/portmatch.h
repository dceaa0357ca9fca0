#ifndef PORTMATCH_H
#define PORTMATCH_H

#include <QString>
#include <QVector>
#include <QtGlobal>

// The USB bridge that the Orvik device sits behind.
constexpr quint16 OrvikVendorId = 0x0403;
constexpr quint16 OrvikProductId = 0x6015;

// What the serial library tells about one listed port's USB identity; the
// flags say whether each identifier is known at all. The location is what
// opens it.
struct PortIds
{
    bool hasVendorId = false;
    quint16 vendorId = 0;
    bool hasProductId = false;
    quint16 productId = 0;
    QString location;
};

// The serial library's ports, in its order.
QVector<PortIds> availablePortIds();

// Indices of the ports that carry both Orvik identifiers, in list order. The
// bridge's ids are generic: another adapter of the same kind may match too.
QVector<int> findOrvikPorts(const QVector<PortIds> &ports);

#endif // PORTMATCH_H
