#include "bootloader.h"

#include "wire.h"

using SimWire::hex16;

namespace {

QString hex8(int value)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

const char *codeName(qint64 code)
{
    switch (code) {
    case Bootloader::StartPacket:
        return "start";
    case Bootloader::InitPacket:
        return "init";
    case Bootloader::DataPacket:
        return "data";
    case Bootloader::StopDataPacket:
        return "stop";
    default:
        return "unknown";
    }
}

// Which of the three sizes each image type must announce (true: non-zero).
bool sizesFitType(int type, quint32 sd, quint32 bl, quint32 app)
{
    switch (type) {
    case Bootloader::SoftDevice:
        return sd && !bl && !app;
    case Bootloader::BootloaderImage:
        return !sd && bl && !app;
    case Bootloader::SoftDeviceBootloader:
        return sd && bl && !app;
    case Bootloader::Application:
        return !sd && !bl && app;
    default:
        return false;
    }
}

} // namespace

Bootloader::Bootloader(QObject *parent) : QObject(parent) { }

bool Bootloader::awaitingFollowUp() const
{
    return !done && state == State::Stopped && !imageList.isEmpty() && imageList.last().type != Application;
}

bool Bootloader::installable(QString *reason) const
{
    if (violations > 0) {
        *reason = QStringLiteral("%1 protocol violation(s) during the transfer").arg(violations);
        return false;
    }
    if (imageList.isEmpty()) {
        *reason = QStringLiteral("no image received");
        return false;
    }
    for (int i = 0; i < imageList.size(); ++i) {
        if (!imageList.at(i).crcOk()) {
            *reason = QStringLiteral("image %1 incomplete or failed its CRC check").arg(i);
            return false;
        }
    }
    return true;
}

void Bootloader::report(int index, const QString &reason)
{
    ++violations;
    emit violation(index, reason);
}

SimImage *Bootloader::currentImage()
{
    if (state == State::Idle || imageList.isEmpty())
        return nullptr;
    return &imageList.last();
}

void Bootloader::feed(const QByteArray &bytes, qint64 nowUs)
{
    for (char c : bytes) {
        if (unplugged)
            return;
        if (!synced) {
            if (c == SimWire::Delimiter) {
                synced = true;
                if (garbage > 0)
                    report(-1, QStringLiteral("%1 byte(s) before the first frame delimiter").arg(garbage));
                garbage = 0;
            } else {
                ++garbage;
            }
            continue;
        }
        if (c == SimWire::Delimiter) {
            // Back-to-back delimiters enclose nothing and are not a frame.
            if (!oversized && !current.isEmpty())
                handleFrame(current, currentStartUs, nowUs);
            current.clear();
            oversized = false;
            continue;
        }
        if (oversized)
            continue;
        if (current.isEmpty())
            currentStartUs = nowUs;
        if (current.size() >= MaxEscapedBytes) {
            report(-1, QStringLiteral("oversized frame: more than %1 bytes without a delimiter").arg(MaxEscapedBytes));
            current.clear();
            oversized = true;
            continue;
        }
        current.append(c);
    }
    if (garbage > 0 && !synced) {
        report(-1, QStringLiteral("%1 byte(s) before the first frame delimiter").arg(garbage));
        garbage = 0;
    }
}

void Bootloader::handleFrame(const QByteArray &escaped, qint64 startUs, qint64 nowUs)
{
    const int index = frames++;
    emit frameReceived(index, escaped);
    if (index == unplugAt) {
        unplugged = true;
        emit unplugRequested();
        return;
    }
    if (done) {
        report(index, QStringLiteral("frame after the end of the transfer"));
        return;
    }
    if (pauseAfter != Pause::None) {
        const qint64 gapUs = startUs - lastAckUs;
        if (gapUs < PauseUs) {
            const char *what = pauseAfter == Pause::Start ? "start" : pauseAfter == Pause::Init ? "init" : "stop";
            report(index,
                   QStringLiteral("pause too short: %1 ms after the acknowledgement of the %2 packet, 1000 ms required")
                           .arg(double(gapUs) / 1000.0, 0, 'f', 1)
                           .arg(QLatin1String(what)));
        }
        pauseAfter = Pause::None;
    }

    QByteArray packet;
    if (!SimWire::slipDecode(escaped, &packet)) {
        report(index, QStringLiteral("bad SLIP escape"));
        return;
    }
    if (packet.size() < 6) {
        report(index, QStringLiteral("frame of %1 byte(s) is shorter than a header and a CRC").arg(packet.size()));
        return;
    }
    const quint8 b0 = static_cast<quint8>(packet.at(0));
    const quint8 b1 = static_cast<quint8>(packet.at(1));
    const quint8 b2 = static_cast<quint8>(packet.at(2));
    const quint8 b3 = static_cast<quint8>(packet.at(3));
    if (quint8(b0 + b1 + b2 + b3) != 0) {
        report(index,
               QStringLiteral("bad header checksum %1, expected %2").arg(hex8(b3), hex8(quint8(-(b0 + b1 + b2)))));
        return;
    }
    if (!(b0 & 0x80)) {
        report(index, QStringLiteral("reliable flag not set"));
        return;
    }
    if (!(b0 & 0x40)) {
        report(index, QStringLiteral("data integrity flag not set"));
        return;
    }
    if ((b1 & 0x0F) != 14) {
        report(index, QStringLiteral("packet type %1, expected 14").arg(b1 & 0x0F));
        return;
    }
    const int length = (b1 >> 4) | (b2 << 4);
    const int payloadSize = packet.size() - 6;
    if (length != payloadSize) {
        report(index,
               QStringLiteral("length field %1 does not match the %2-byte payload").arg(length).arg(payloadSize));
        return;
    }
    const quint16 crc = SimWire::crc16(packet.left(packet.size() - 2));
    const quint16 sent = SimWire::readLe16(packet, packet.size() - 2);
    if (crc != sent) {
        report(index, QStringLiteral("bad CRC %1, expected %2").arg(hex16(sent), hex16(crc)));
        return;
    }
    const int seq = b0 & 7;
    const int ackField = (b0 >> 3) & 7;
    if (ackField != (seq + 1) % 8) {
        report(index,
               QStringLiteral("acknowledge number %1 in a packet of sequence %2, expected %3")
                       .arg(ackField)
                       .arg(seq)
                       .arg((seq + 1) % 8));
        return;
    }

    const QByteArray payload = packet.mid(4, length);
    const qint64 code = payload.size() >= 4 ? qint64(SimWire::readLe32(payload, 0)) : -1;
    const int expectedSeq = code == StartPacket ? 1 : nextSeq;
    if (seq != expectedSeq) {
        report(index, QStringLiteral("sequence %1, expected %2").arg(seq).arg(expectedSeq));
        // Like any three-wire receiver: drop it and repeat what is still expected.
        acknowledge(index, expectedSeq, nowUs);
        return;
    }

    ++accepted;
    nextSeq = (seq + 1) % 8;
    emit packetAccepted(index, seq, code, length);
    handlePayload(index, code, payload);
    acknowledge(index, nextSeq, nowUs);
    if (state == State::Stopped && !imageList.isEmpty() && imageList.last().type == Application
        && code == StopDataPacket) {
        done = true;
        emit runComplete();
    }
}

void Bootloader::handlePayload(int index, qint64 code, const QByteArray &payload)
{
    const int size = payload.size();
    auto sizeViolation = [&](const QString &expected) {
        report(index,
               QStringLiteral("%1 packet payload of %2 bytes, expected %3")
                       .arg(QLatin1String(codeName(code)))
                       .arg(size)
                       .arg(expected));
    };

    switch (code) {
    case StartPacket: {
        if (size != 20)
            sizeViolation(QStringLiteral("20"));
        if (state == State::Started || state == State::Receiving)
            report(index, QStringLiteral("start packet before the stop packet of the previous image"));
        SimImage image;
        image.type = int(SimWire::readLe32(payload, 4));
        image.sdSize = SimWire::readLe32(payload, 8);
        image.blSize = SimWire::readLe32(payload, 12);
        image.appSize = SimWire::readLe32(payload, 16);
        if (image.type < SoftDevice || image.type > Application)
            report(index, QStringLiteral("unknown image type %1").arg(image.type));
        else if (!sizesFitType(image.type, image.sdSize, image.blSize, image.appSize))
            report(index,
                   QStringLiteral("sizes %1/%2/%3 do not fit image type %4")
                           .arg(image.sdSize)
                           .arg(image.blSize)
                           .arg(image.appSize)
                           .arg(image.type));
        if (image.announced() > FlashBytes)
            report(index,
                   QStringLiteral("announced image of %1 bytes exceeds the %2-byte flash")
                           .arg(image.announced())
                           .arg(FlashBytes));
        imageList.append(image);
        overflowReported = false;
        state = State::Started;
        pauseAfter = Pause::Start;
        break;
    }
    case InitPacket: {
        if (state != State::Started)
            report(index,
                   state == State::Receiving ? QStringLiteral("init packet after the image's init or data packets")
                                             : QStringLiteral("init packet without a start packet"));
        pauseAfter = Pause::Init;
        const QByteArray init = payload.mid(4, size - 6);
        if (size < 4 + 12 + 2) {
            report(index, QStringLiteral("init packet of %1 bytes, at least 12 expected").arg(qMax(0, size - 6)));
        } else {
            const int entries = SimWire::readLe16(init, 8);
            if (init.size() != 12 + 2 * entries) {
                report(index,
                       QStringLiteral("init packet of %1 bytes does not fit its %2 SoftDevice entries")
                               .arg(init.size())
                               .arg(entries));
            } else if (SimImage *image = currentImage()) {
                image->haveInit = true;
                image->initCrc = SimWire::readLe16(init, 10 + 2 * entries);
            }
            if (payload.right(2) != QByteArray(2, '\0'))
                report(index, QStringLiteral("init packet does not end in two zero bytes"));
        }
        if (state == State::Started)
            state = State::Receiving;
        break;
    }
    case DataPacket: {
        if (size < 5 || size > 516)
            sizeViolation(QStringLiteral("5 to 516"));
        if (state == State::Idle || state == State::Stopped) {
            report(index, QStringLiteral("data packet without a start packet"));
            break;
        }
        if (state == State::Started) {
            report(index, QStringLiteral("data packet before the init packet"));
            state = State::Receiving;
        }
        SimImage *image = currentImage();
        const int bytes = size - 4;
        image->received += bytes;
        const quint64 room = qMin<quint64>(image->announced(), FlashBytes);
        const int keep = int(qMin<quint64>(quint64(bytes), room - qMin<quint64>(room, quint64(image->data.size()))));
        const QByteArray kept = payload.mid(4, keep);
        image->data.append(kept);
        image->crcSoFar = SimWire::crc16(kept, image->crcSoFar);
        if (quint64(image->received) > image->announced() && !overflowReported) {
            overflowReported = true;
            report(index, QStringLiteral("image data exceeds the announced %1 bytes").arg(image->announced()));
        }
        break;
    }
    case StopDataPacket: {
        if (size != 4)
            sizeViolation(QStringLiteral("4"));
        if (state == State::Idle || state == State::Stopped) {
            report(index, QStringLiteral("stop packet without a start packet"));
            break;
        }
        if (state == State::Started)
            report(index, QStringLiteral("stop packet before the init packet"));
        SimImage *image = currentImage();
        image->stopped = true;
        if (quint64(image->received) != image->announced())
            report(index,
                   QStringLiteral("image of %1 bytes, announced %2").arg(image->received).arg(image->announced()));
        else if (image->haveInit && image->crc() != image->initCrc)
            report(index,
                   QStringLiteral("image CRC %1 does not match the init packet's %2")
                           .arg(hex16(image->crc()), hex16(image->initCrc)));
        state = State::Stopped;
        if (image->type != Application)
            pauseAfter = Pause::Stop;
        break;
    }
    default:
        if (code < 0)
            report(index, QStringLiteral("payload of %1 byte(s) has no packet code").arg(size));
        else
            report(index, QStringLiteral("unknown packet code %1").arg(code));
        break;
    }
}

void Bootloader::acknowledge(int index, int ackNumber, qint64 nowUs)
{
    QByteArray frame = SimWire::ackFrame(ackNumber);
    if (faults.contains(index)) {
        switch (faults.value(index)) {
        case SimFault::NoReply:
            emit faultInjected(index, QStringLiteral("no-reply"));
            return;
        case SimFault::WrongAck:
            emit faultInjected(index, QStringLiteral("wrong-ack"));
            frame = SimWire::ackFrame((ackNumber + 7) % 8);
            break;
        case SimFault::BadEscape:
            emit faultInjected(index, QStringLiteral("bad-escape"));
            frame = SimWire::badEscapeAckFrame(ackNumber);
            break;
        case SimFault::DoubleAck:
            emit faultInjected(index, QStringLiteral("double-ack"));
            frame += frame;
            break;
        case SimFault::AckThenEmpty:
            emit faultInjected(index, QStringLiteral("ack-then-empty"));
            frame += QByteArray(2, SimWire::Delimiter);
            break;
        }
    }
    lastAckUs = nowUs;
    emit reply(frame);
}
