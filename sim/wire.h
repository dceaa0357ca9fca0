#ifndef SIM_WIRE_H
#define SIM_WIRE_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Byte-level helpers of the simulated bootloader's link layer. Written apart
// from the tool's own encoder on purpose, so that a fault there shows up here.
namespace SimWire {

constexpr char Delimiter = char(0xC0);
constexpr char Escape = char(0xDB);
constexpr char EscapedDelimiter = char(0xDC);
constexpr char EscapedEscape = char(0xDD);

// CRC-16/CCITT-FALSE: poly 0x1021, init 0xFFFF, no reflection, no final XOR.
// Pass the CRC so far to continue it over more data.
quint16 crc16(const QByteArray &data, quint16 crc = 0xFFFF);

// SLIP body without delimiters.
QByteArray slipEncode(const QByteArray &packet);
// Strict: any 0xDB not followed by 0xDC or 0xDD, and any raw 0xC0, fails.
bool slipDecode(const QByteArray &escaped, QByteArray *packet);

// Acknowledgement as the bootloader sends it: an unreliable header-only packet
// (type 0, no payload, no CRC) whose bits 3-5 carry the acknowledge number.
//   ack 4 -> C0 20 00 00 E0 C0
QByteArray ackFrame(int ackNumber);
// Same frame with an invalid escape sequence in place of header byte 1.
//   ack 4 -> C0 20 DB 41 00 E0 C0
QByteArray badEscapeAckFrame(int ackNumber);

quint32 readLe32(const QByteArray &data, int offset);
quint16 readLe16(const QByteArray &data, int offset);

QByteArray hex(const QByteArray &data);
// "0xDB37"
QString hex16(quint16 value);

} // namespace SimWire

#endif // SIM_WIRE_H
