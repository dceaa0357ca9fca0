#include "appdevice.h"

#include "wire.h"

namespace {

enum Request {
    Scan = 0x01,
    Pair = 0x02,
    PassKeyAnswer = 0x03,
    UpgradeMode = 0x04,
    UpperGpio = 0x05,
    LowerGpio = 0x06,
    Reset = 0x07,
    Info = 0x08,
    HwRev = 0x09,
    FwRev = 0x0A,
    SwRev = 0x0B,
    Battery = 0x0C,
    NextLog = 0x0D,
};

QString codeText(int code)
{
    return QStringLiteral("0x%1").arg(code, 2, 16, QLatin1Char('0'));
}

} // namespace

AppDevice::AppDevice(const SimOptions &options, int installs, QObject *parent)
    : QObject(parent), options(options), installs(installs)
{
}

int AppDevice::requestLength(int code)
{
    switch (code) {
    case Pair:
    case PassKeyAnswer:
        return 9;
    case UpperGpio:
    case LowerGpio:
        return 3;
    case Scan:
    case UpgradeMode:
    case Reset:
    case Info:
    case HwRev:
    case FwRev:
    case SwRev:
    case Battery:
    case NextLog:
        return 2;
    default:
        return 0;
    }
}

void AppDevice::feed(const QByteArray &bytes)
{
    buffer.append(bytes);
    while (!stopped && buffer.size() >= 2) {
        const int length = static_cast<quint8>(buffer.at(0));
        const int code = static_cast<quint8>(buffer.at(1));
        const int expected = requestLength(code);
        // There is no way to find the next frame after a bad one, so everything
        // received so far goes with it.
        if (expected == 0) {
            emit violation(QStringLiteral("unknown request code %1 (bytes %2)")
                                   .arg(codeText(code), QString::fromLatin1(SimWire::hex(buffer))));
            buffer.clear();
            return;
        }
        if (length != expected) {
            emit violation(QStringLiteral("request %1 with length byte %2, expected %3 (bytes %4)")
                                   .arg(codeText(code))
                                   .arg(length)
                                   .arg(expected)
                                   .arg(QString::fromLatin1(SimWire::hex(buffer))));
            buffer.clear();
            return;
        }
        if (buffer.size() < length)
            return;
        const QByteArray frame = buffer.left(length);
        buffer.remove(0, length);
        emit requestReceived(frame);
        handle(frame);
    }
}

QByteArray AppDevice::takeRemainder()
{
    QByteArray rest;
    rest.swap(buffer);
    return rest;
}

void AppDevice::send(int code, const QByteArray &payload)
{
    // Option parsing keeps every text short enough for one length byte.
    const QByteArray body = payload.left(253);
    QByteArray frame;
    frame.append(char(body.size() + 2));
    frame.append(char(code));
    frame.append(body);
    if (cutting)
        cutAnswer += frame;
    else
        emit reply(frame);
}

void AppDevice::handle(const QByteArray &frame)
{
    const int code = static_cast<quint8>(frame.at(1));
    if (code == unplugCode) {
        stopped = true;
        emit unplugRequested();
        return;
    }
    if (options.silent.contains(code))
        return;
    // The answer is gathered whole, then only its start goes out: the device
    // goes with the rest, so it neither restarts nor enters its bootloader.
    cutting = code == cutCode;

    const int status = options.statusFor(code, installs);
    switch (code) {
    case Scan:
        if (status == 0) {
            for (const SimRadio &radio : options.radios)
                send(0x82, radio.address + radio.classOfDevice + radio.name);
        }
        sendStatus(0x81, status);
        break;
    case Pair: {
        const QByteArray address = frame.mid(2, 6);
        bool known = false;
        for (const SimRadio &radio : options.radios)
            known = known || radio.address == address;
        if (status != 0) {
            sendStatus(0x83, status);
        } else if (!known) {
            sendStatus(0x83, 1);
        } else if (options.passkey) {
            pairingAddress = address;
            QByteArray key(4, '\0');
            for (int i = 0; i < 4; ++i)
                key[i] = char((options.passkeyValue >> (8 * i)) & 0xFF);
            send(0x84, address + key);
        } else {
            sendStatus(0x83, 0);
        }
        break;
    }
    case PassKeyAnswer: {
        const QByteArray address = frame.mid(2, 6);
        if (pairingAddress.isEmpty() || address != pairingAddress) {
            emit violation(QStringLiteral("pass-key answer without a pending pairing (bytes %1)")
                                   .arg(QString::fromLatin1(SimWire::hex(frame))));
            break;
        }
        pairingAddress.clear();
        sendStatus(0x83, frame.at(8) == 0 ? 0 : 1);
        break;
    }
    case UpgradeMode:
        sendStatus(0x85, status);
        if (status == 0 && !cutting) {
            stopped = true;
            emit enterBootloader();
        }
        break;
    case UpperGpio:
    case LowerGpio:
        if (static_cast<quint8>(frame.at(2)) > 1)
            emit violation(QStringLiteral("input state %1 in request %2, expected 0 or 1")
                                   .arg(static_cast<quint8>(frame.at(2)))
                                   .arg(codeText(code)));
        sendStatus(code == UpperGpio ? 0x86 : 0x87, status);
        break;
    case Reset:
        sendStatus(0x88, status);
        if (status == 0 && !cutting) {
            stopped = true;
            emit resetRequested();
        }
        break;
    case Info:
        send(0x89,
             char(options.position)
                     + (installs > 0 && !options.afterName.isEmpty() ? options.afterName : options.name));
        break;
    case HwRev:
        send(0x8A, options.hwRevAfter(installs));
        break;
    case FwRev:
        send(0x8B, options.fwRevAfter(installs));
        break;
    case SwRev:
        send(0x8C, options.swRevAfter(installs));
        break;
    case Battery:
        send(0x8D, QByteArray(1, char(options.battery)));
        break;
    case NextLog:
        if (nextLog < options.logs.size()) {
            const QByteArray entry = options.logs.at(nextLog++);
            // An empty entry still needs one byte, or it would read as the end.
            send(0x8E, entry.isEmpty() ? QByteArray(1, '\0') : entry);
        } else {
            nextLog = 0;
            send(0x8E, QByteArray());
        }
        break;
    }
    if (cutting) {
        cutting = false;
        stopped = true;
        if (!cutAnswer.isEmpty())
            emit reply(cutAnswer.left(cutBytes));
        emit replyCut();
    }
}
