#ifndef SIM_BOOTLOADER_H
#define SIM_BOOTLOADER_H

#include "options.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>

// One firmware image as the bootloader received it.
struct SimImage
{
    int type = 0;
    quint32 sdSize = 0;
    quint32 blSize = 0;
    quint32 appSize = 0;
    QByteArray data; // stored bytes, at most the announced size
    qint64 received = 0; // all data bytes, also those beyond the announced size
    bool haveInit = false;
    quint16 initCrc = 0;
    bool stopped = false;
    // Of the stored bytes, kept up to date as they arrive: a whole image is too
    // much to go over again at every stop packet and summary.
    quint16 crcSoFar = 0xFFFF;

    quint64 announced() const { return quint64(sdSize) + blSize + appSize; }
    bool complete() const { return stopped && quint64(received) == announced(); }
    quint16 crc() const { return crcSoFar; }
    bool crcOk() const { return complete() && haveInit && crc() == initCrc; }
};

// The strict legacy serial DFU receiver. It is fed bytes with the time (in
// microseconds) they arrived, checks every layer of every frame and answers
// each acceptable packet with an acknowledgement frame.
//
// Link-layer faults (escape, header checksum, flags, type, length, CRC, ack
// field) drop the frame unanswered, as the real bootloader does. A packet out
// of sequence is answered with the acknowledge number still expected. Every
// other fault is acknowledged but recorded, and keeps the firmware from being
// installed.
class Bootloader : public QObject
{
    Q_OBJECT

public:
    enum PacketCode { InitPacket = 1, StartPacket = 3, DataPacket = 4, StopDataPacket = 5 };
    enum ImageType { SoftDevice = 1, BootloaderImage = 2, SoftDeviceBootloader = 3, Application = 4 };

    static constexpr qint64 PauseUs = 1000000;
    // Longest possible packet (4095-byte payload), every byte escaped.
    static constexpr int MaxEscapedBytes = 2 * (4 + 4095 + 2);
    static constexpr quint32 FlashBytes = 512 * 1024;

    explicit Bootloader(QObject *parent = nullptr);

    void setFaults(const QMap<int, SimFault> &faults) { this->faults = faults; }
    void setUnplugAtPacket(int index) { unplugAt = index; }

    void feed(const QByteArray &bytes, qint64 nowUs);
    // When the last acknowledgement's last byte left; pauses count from here.
    void ackSent(qint64 whenUs) { lastAckUs = whenUs; }

    // The last image was not an application: another package may follow.
    bool awaitingFollowUp() const;
    bool finished() const { return done; }
    void finish() { done = true; }
    bool installable(QString *reason) const;

    const QList<SimImage> &images() const { return imageList; }
    int packetCount() const { return accepted; }
    int frameCount() const { return frames; }
    int partialFrameBytes() const { return current.size(); }

signals:
    // The frame as received, without its delimiters.
    void frameReceived(int index, const QByteArray &escaped);
    void packetAccepted(int index, int seq, qint64 code, int length);
    void reply(const QByteArray &frame);
    void violation(int index, const QString &reason);
    void faultInjected(int index, const QString &mode);
    void unplugRequested();
    // The stop packet of an application image has been acknowledged.
    void runComplete();

private:
    enum class State { Idle, Started, Receiving, Stopped };
    enum class Pause { None, Start, Init, Stop };

    void handleFrame(const QByteArray &escaped, qint64 startUs, qint64 nowUs);
    void handlePayload(int index, qint64 code, const QByteArray &payload);
    void acknowledge(int index, int ackNumber, qint64 nowUs);
    void report(int index, const QString &reason);
    SimImage *currentImage();

    QMap<int, SimFault> faults;
    int unplugAt = -1;
    bool unplugged = false;
    bool done = false;

    // Framing.
    bool synced = false;
    bool oversized = false;
    int garbage = 0;
    QByteArray current;
    qint64 currentStartUs = 0;

    // Link and transfer state.
    int frames = 0;
    int accepted = 0;
    int nextSeq = 1;
    int violations = 0;
    State state = State::Idle;
    Pause pauseAfter = Pause::None;
    qint64 lastAckUs = 0;
    bool overflowReported = false;
    QList<SimImage> imageList;
};

#endif // SIM_BOOTLOADER_H
