#include "dfu.h"

#include <QSerialPort>
#include <QTimer>
#include <QVector>

#include <algorithm>

namespace {

const char *const BuiltInBootloaderPackage = ":/upgrade/ble_orvik_hx7315_bl_sd.zip";
const char *const BuiltInApplicationPackage = ":/upgrade/ble_orvik_hx7315_app.zip";

const int ResponseTimeoutMs = 1000;

} // namespace

Dfu::Dfu(QSerialPort *port, QObject *parent)
    : QObject(parent), port(port), responseTimer(new QTimer(this)), advanceTimer(new QTimer(this))
{
    responseTimer->setSingleShot(true);
    responseTimer->setInterval(ResponseTimeoutMs);
    responseTimer->setTimerType(Qt::PreciseTimer);
    connect(responseTimer, &QTimer::timeout, this, &Dfu::onResponseTimeout);
    advanceTimer->setSingleShot(true);
    advanceTimer->setTimerType(Qt::PreciseTimer);
    connect(advanceTimer, &QTimer::timeout, this, &Dfu::sendNextPacket);
    if (port) {
        connect(port, &QIODevice::readyRead, this, &Dfu::readReply);
        connect(port, &QObject::destroyed, this, &Dfu::onPortDestroyed);
        connect(port, &QIODevice::aboutToClose, this, &Dfu::onPortLost);
        connect(port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
            if (error != QSerialPort::NoError)
                onPortLost();
        });
    }
}

// The timers are children and go with the object; the port is borrowed.
Dfu::~Dfu() = default;

void Dfu::setTiming(const Timing &value)
{
    timing = value;
    responseTimer->setInterval(timing.responseTimeoutMs);
}

// Packets queued with a pause carry it as a count of seconds; its length per
// kind comes from the timing. The payload code is the byte after the header.
int Dfu::pauseAfter(const DfuPacket &packet) const
{
    if (packet.delaySeconds == 0)
        return 0;
    const QByteArray decoded = slipDecode(packet.frame.mid(1, packet.frame.size() - 2), nullptr);
    const int code = decoded.size() > 4 ? quint8(decoded.at(4)) : 0;
    const int unitMs = code == StartPacket ? timing.startPauseMs
            : code == InitPacket           ? timing.initPauseMs
                                           : timing.stopPauseMs;
    return packet.delaySeconds * unitMs;
}

void Dfu::upgrade()
{
    upgrade(QString::fromLatin1(BuiltInBootloaderPackage), QString::fromLatin1(BuiltInApplicationPackage));
}

void Dfu::upgrade(const QString &bootloader, const QString &application)
{
    // One object carries one run; the queue is never rebuilt.
    if (upgradeStarted)
        return;
    upgradeStarted = true;
    QVector<UpdateImage> images;
    if (!bootloader.isEmpty())
        images.append(loadPackage(SoftDeviceBootloader, bootloader));
    if (!application.isEmpty())
        images.append(loadPackage(Application, application));
    // A package that gives no image (unreadable, or not unpacked for want of
    // a temporary folder) would flash nothing while the bootloader acknowledged
    // every packet, and a packet the link refused to frame would end the run
    // at that packet with the device half flashed: then nothing at all is
    // sent, and the run fails.
    const bool complete = std::none_of(images.cbegin(), images.cend(),
                                       [](const UpdateImage &image) { return image.image.isEmpty(); });
    // The bootloader package pauses before an application package that follows it.
    for (int i = 0; complete && i < images.size(); ++i)
        queueImage(images.at(i), i + 1 < images.size() ? 1 : 0);
    if (std::any_of(packets.cbegin(), packets.cend(), [](const DfuPacket &packet) { return packet.frame.isEmpty(); }))
        packets.clear();
    currentPacket = -1;
    sendNextPacket();
}

void Dfu::queueImage(const UpdateImage &image, int stopDelaySeconds)
{
    queueStartPacket(image.type, image.sdSize, image.blSize, image.appSize);
    queueInitPacket(image.initPacket);
    queueDataPackets(image.image, stopDelaySeconds);
}

// Start payload: code, image type, SoftDevice size, bootloader size, application size.
void Dfu::queueStartPacket(ImageType type, int sdSize, int blSize, int appSize)
{
    sequenceNumber = 0;
    const QByteArray payload = littleEndian32(StartPacket) + littleEndian32(quint32(type))
            + littleEndian32(quint32(sdSize)) + littleEndian32(quint32(blSize)) + littleEndian32(quint32(appSize));
    packets.append(makeHciPacket(payload, 1));
}

// Init payload: code, the package's init bytes unchanged, a 16-bit zero.
void Dfu::queueInitPacket(const QByteArray &initPacket)
{
    packets.append(makeHciPacket(littleEndian32(InitPacket) + initPacket + littleEndian16(0), 1));
}

void Dfu::queueDataPackets(const QByteArray &image, int stopDelaySeconds)
{
    for (int offset = 0; offset < image.size(); offset += MaxDataChunk)
        packets.append(makeHciPacket(littleEndian32(DataPacket) + image.mid(offset, MaxDataChunk), 0));
    packets.append(makeHciPacket(littleEndian32(StopDataPacket), stopDelaySeconds));
}

void Dfu::sendNextPacket()
{
    if (finished)
        return;
    ++currentPacket;
    const int total = packets.size();
    if (currentPacket < total) {
        // What arrived before this packet went out is no reply to it, not even
        // the start of one.
        replyBuffer.clear();
        awaitingReply = true;
        if (port)
            port->write(packets.at(currentPacket).frame);
        responseTimer->start();
        emit updateFrameSent(packets.at(currentPacket).frame);
    }
    if (currentPacket == 0) {
        // Nothing to send means nothing was flashed: end as a failure at the next
        // event-loop pass, after the owner has finished starting the run.
        if (total == 0)
            QTimer::singleShot(0, this, [this] { finish(NoResponseError); });
        emit updateStarted(total);
    } else if (currentPacket < total) {
        emit updateProgress(currentPacket);
    } else {
        finish(Success);
    }
}

// The owner may destroy the object from its handler of updateFinished, so the
// emission is the last thing here and in every caller.
void Dfu::finish(ErrorType error)
{
    if (finished)
        return;
    halt();
    emit updateFinished(error);
}

void Dfu::halt()
{
    finished = true;
    awaitingReply = false;
    responseTimer->stop();
    advanceTimer->stop();
    if (port)
        disconnect(port, &QIODevice::readyRead, this, &Dfu::readReply);
}

// Whatever the port opens next is not the bootloader this run was talking to:
// stop at once, so nothing more is written, and report from the event loop
// rather than from inside the port's close or error emission.
void Dfu::onPortLost()
{
    if (finished)
        return;
    halt();
    QTimer::singleShot(0, this, [this] { emit updateFinished(NoResponseError); });
}

// The port went away under a running update: nobody is left to tell, so just stop.
void Dfu::onPortDestroyed()
{
    port = nullptr;
    finished = true;
    awaitingReply = false;
    responseTimer->stop();
    advanceTimer->stop();
}
