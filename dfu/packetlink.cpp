#include "dfu.h"

#include <QSerialPort>
#include <QTimer>

namespace {

const int HciPacketType = 14;
const char SlipEnd = char(0xC0);
const char SlipEsc = char(0xDB);
const char SlipEscEnd = char(0xDC);
const char SlipEscEsc = char(0xDD);

} // namespace

int Dfu::sequenceNumber = 0;

// Header of the three-wire UART kind:
//   byte 0: reliable<<7 | integrity<<6 | ack<<3 | seq, with ack = seq + 1 mod 8
//   byte 1: length bits 0-3 <<4 | packet type
//   byte 2: length bits 4-11
//   byte 3: two's complement of the sum of bytes 0-2
QByteArray Dfu::makeHciHeader(int sequenceNumber, int dataIntegrity, int reliable, int packetType, int payloadLength)
{
    const int seq = sequenceNumber & 7;
    const int ack = (seq + 1) & 7;
    const int length = payloadLength & 0xFFF;
    const quint8 b0 = quint8(((reliable & 1) << 7) | ((dataIntegrity & 1) << 6) | (ack << 3) | seq);
    const quint8 b1 = quint8(((length & 0xF) << 4) | (packetType & 0xF));
    const quint8 b2 = quint8(length >> 4);
    const quint8 b3 = quint8(-(b0 + b1 + b2));
    QByteArray header;
    header.append(char(b0)).append(char(b1)).append(char(b2)).append(char(b3));
    return header;
}

// Frame: C0, SLIP(header, payload, CRC-16 low byte first), C0. A longer
// payload than the length field can describe would reach the bootloader with
// a length that is not its own: it is refused, and numbers nothing.
DfuPacket Dfu::makeHciPacket(const QByteArray &payload, int delaySeconds)
{
    if (payload.size() > MaxPayloadBytes)
        return DfuPacket{ QByteArray(), delaySeconds };
    sequenceNumber = (sequenceNumber + 1) % 8;
    QByteArray packet = makeHciHeader(sequenceNumber, 1, 1, HciPacketType, payload.size());
    packet.append(payload);
    packet.append(littleEndian16(crc16(packet)));
    DfuPacket result;
    result.frame = SlipEnd + slipEncode(packet) + SlipEnd;
    result.delaySeconds = delaySeconds;
    return result;
}

QByteArray Dfu::slipEncode(const QByteArray &data)
{
    QByteArray encoded;
    encoded.reserve(data.size() + data.size() / 8 + 2);
    for (const char byte : data) {
        if (byte == SlipEnd)
            encoded.append(SlipEsc).append(SlipEscEnd);
        else if (byte == SlipEsc)
            encoded.append(SlipEsc).append(SlipEscEsc);
        else
            encoded.append(byte);
    }
    return encoded;
}

// A bad escape drops the escape byte and the byte after it, flags the result and
// carries on; the caller decides what a flagged frame is worth.
QByteArray Dfu::slipDecode(const QByteArray &data, bool *ok)
{
    bool clean = true;
    QByteArray decoded;
    decoded.reserve(data.size());
    for (int i = 0; i < data.size(); ++i) {
        const char byte = data.at(i);
        if (byte != SlipEsc) {
            decoded.append(byte);
            continue;
        }
        if (i + 1 < data.size() && data.at(i + 1) == SlipEscEnd)
            decoded.append(SlipEnd);
        else if (i + 1 < data.size() && data.at(i + 1) == SlipEscEsc)
            decoded.append(SlipEsc);
        else
            clean = false;
        ++i;
    }
    if (ok)
        *ok = clean;
    return decoded;
}

// CRC-16/CCITT-FALSE: polynomial 0x1021, start 0xFFFF, no reflection, no final XOR.
quint16 Dfu::crc16(const QByteArray &data)
{
    quint16 crc = 0xFFFF;
    for (const char byte : data) {
        crc ^= quint16(quint16(quint8(byte)) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

void Dfu::readReply()
{
    if (finished || !port)
        return;
    processReplyBytes(port->readAll());
}

// Every complete frame is taken out of the buffer as it arrives, and only one
// that comes while a reply is awaited is judged: a duplicate acknowledgement
// or an empty frame after it, in the same read or a later one, is dropped. It
// must not wait in the buffer, to be taken for the reply to the next packet.
void Dfu::processReplyBytes(const QByteArray &bytes)
{
    if (finished)
        return;
    replyBuffer.append(bytes);
    for (;;) {
        const int first = replyBuffer.indexOf(SlipEnd);
        if (first < 0)
            return;
        const int second = replyBuffer.indexOf(SlipEnd, first + 1);
        if (second < 0)
            return;
        const QByteArray inner = replyBuffer.mid(first + 1, second - first - 1);
        emit updateFrameReceived(replyBuffer.mid(first, second - first + 1));
        replyBuffer.remove(0, second + 1);
        // Nothing outstanding (pausing after an acknowledgement, or nothing was
        // queued): a stray frame must neither advance the queue nor fail it.
        if (!awaitingReply || currentPacket < 0 || currentPacket >= packets.size())
            continue;

        awaitingReply = false;
        responseTimer->stop();
        const QByteArray &frame = packets.at(currentPacket).frame;
        bool ok = false;
        const QByteArray reply = slipDecode(inner, &ok);
        // A line that echoes (a loop-back plug, a wrong adapter) returns the
        // frame itself, whose first byte carries the very acknowledge number
        // expected; no acknowledgement is that long.
        if (!ok || reply.isEmpty() || inner == frame.mid(1, frame.size() - 2)) {
            finish(InvalidResponseError);
            return;
        }
        const int expectedAck = (quint8(frame.at(1)) >> 3) & 7;
        const int ack = (quint8(reply.at(0)) >> 3) & 7;
        if (ack != expectedAck) {
            finish(IncorrectResponseError);
            return;
        }
        advanceTimer->start(pauseAfter(packets.at(currentPacket)));
    }
}

void Dfu::onResponseTimeout()
{
    if (finished || !awaitingReply)
        return;
    awaitingReply = false;
    finish(NoResponseError);
}

QByteArray Dfu::littleEndian32(quint32 value)
{
    QByteArray bytes;
    for (int i = 0; i < 4; ++i)
        bytes.append(char((value >> (8 * i)) & 0xFF));
    return bytes;
}

QByteArray Dfu::littleEndian16(quint16 value)
{
    QByteArray bytes;
    bytes.append(char(value & 0xFF)).append(char(value >> 8));
    return bytes;
}
