#include "wire.h"

namespace SimWire {

quint16 crc16(const QByteArray &data, quint16 crc)
{
    for (char c : data) {
        crc ^= quint16(static_cast<quint8>(c)) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

QByteArray slipEncode(const QByteArray &packet)
{
    QByteArray out;
    out.reserve(packet.size() + 8);
    for (char c : packet) {
        if (c == Delimiter) {
            out.append(Escape);
            out.append(EscapedDelimiter);
        } else if (c == Escape) {
            out.append(Escape);
            out.append(EscapedEscape);
        } else {
            out.append(c);
        }
    }
    return out;
}

bool slipDecode(const QByteArray &escaped, QByteArray *packet)
{
    packet->clear();
    packet->reserve(escaped.size());
    for (int i = 0; i < escaped.size(); ++i) {
        const char c = escaped.at(i);
        if (c == Delimiter)
            return false;
        if (c != Escape) {
            packet->append(c);
            continue;
        }
        if (i + 1 >= escaped.size())
            return false;
        const char next = escaped.at(++i);
        if (next == EscapedDelimiter)
            packet->append(Delimiter);
        else if (next == EscapedEscape)
            packet->append(Escape);
        else
            return false;
    }
    return true;
}

static QByteArray ackHeader(int ackNumber)
{
    const quint8 byte0 = quint8((ackNumber & 7) << 3);
    QByteArray header(4, '\0');
    header[0] = char(byte0);
    header[3] = char(quint8(256 - byte0));
    return header;
}

QByteArray ackFrame(int ackNumber)
{
    return Delimiter + slipEncode(ackHeader(ackNumber)) + Delimiter;
}

QByteArray badEscapeAckFrame(int ackNumber)
{
    const QByteArray header = ackHeader(ackNumber);
    return Delimiter + header.left(1) + Escape + char(0x41) + header.mid(2) + Delimiter;
}

quint32 readLe32(const QByteArray &data, int offset)
{
    if (offset < 0 || offset + 4 > data.size())
        return 0;
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<quint8>(data.at(offset + i));
    return value;
}

quint16 readLe16(const QByteArray &data, int offset)
{
    if (offset < 0 || offset + 2 > data.size())
        return 0;
    return quint16(static_cast<quint8>(data.at(offset)) | (static_cast<quint8>(data.at(offset + 1)) << 8));
}

QByteArray hex(const QByteArray &data)
{
    return data.toHex();
}

QString hex16(quint16 value)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace SimWire
