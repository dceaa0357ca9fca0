#ifndef PORTMATCH_H
#define PORTMATCH_H

#include <QVector>
#include <QtGlobal>

// The USB bridge that the Orvik device sits behind.
constexpr quint16 OrvikVendorId = 0x0403;
constexpr quint16 OrvikProductId = 0x6015;

// What the serial library tells about one listed port's USB identity; the
// flags say whether each identifier is known at all.
struct PortIds
{
    bool hasVendorId = false;
    quint16 vendorId = 0;
    bool hasProductId = false;
    quint16 productId = 0;
};

// Index of the first port that carries both Orvik identifiers, or -1. Only
// the first match counts: later ones are never tried, even if it fails to open.
int findOrvikPort(const QVector<PortIds> &ports);

#endif // PORTMATCH_H
