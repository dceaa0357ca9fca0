#ifndef DFU_H
#define DFU_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QSerialPort;
class QTimer;

// One queued outgoing DFU packet: the frame exactly as written, and the pause
// to keep after its acknowledgement before the next packet goes out.
struct DfuPacket
{
    QByteArray frame;
    int delaySeconds = 0;
};

// Sends firmware packages to the device's bootloader over the legacy serial
// DFU protocol: SLIP-framed, stop-and-wait, one result per run.
class Dfu : public QObject
{
    Q_OBJECT

public:
    enum ErrorType {
        Success = 1,
        NoResponseError = 2,
        IncorrectResponseError = 3,
        InvalidResponseError = 4,
    };
    Q_ENUM(ErrorType)

    enum ImageType {
        SoftDevice = 1,
        Bootloader = 2,
        SoftDeviceBootloader = 3,
        Application = 4,
    };
    Q_ENUM(ImageType)

    enum PacketCode {
        InitPacket = 1,
        StartPacket = 3,
        DataPacket = 4,
        StopDataPacket = 5,
    };
    Q_ENUM(PacketCode)

    struct UpdateImage
    {
        ImageType type = Application;
        QByteArray image;
        QByteArray initPacket;
        qint32 sdSize = 0;
        qint32 blSize = 0;
        qint32 appSize = 0;
    };

    // Link timing. The defaults are the window's; a bootloader that erases
    // flash before it acknowledges may need longer.
    struct Timing
    {
        int responseTimeoutMs = 1000;
        int startPauseMs = 1000;
        int initPauseMs = 1000;
        int stopPauseMs = 1000;
    };

    explicit Dfu(QSerialPort *port, QObject *parent = nullptr);
    ~Dfu() override;

    // The packet header's length field has 12 bits.
    static constexpr int MaxPayloadBytes = 0xFFF;
    // Image bytes per data packet, whose payload is the packet code and these.
    static constexpr int MaxDataChunk = 512;

    // Before upgrade(); applies to the whole run.
    void setTiming(const Timing &timing);
    // The package reader on its own, for checks made before any transfer.
    // *problem says why the image or the init packet is empty: the rule the
    // package broke, or what it lacks; empty when both were read.
    static UpdateImage readPackage(ImageType type, const QString &packagePath, QString *problem = nullptr);

    void upgrade();
    void upgrade(const QString &bootloader, const QString &application);

    // A payload longer than MaxPayloadBytes gets no frame.
    static DfuPacket makeHciPacket(const QByteArray &payload, int delaySeconds);
    static QByteArray makeHciHeader(int sequenceNumber, int dataIntegrity, int reliable, int packetType,
                                    int payloadLength);
    static QByteArray slipEncode(const QByteArray &data);
    static QByteArray slipDecode(const QByteArray &data, bool *ok);
    static quint16 crc16(const QByteArray &data);

signals:
    void updateStarted(int total);
    void updateProgress(int current);
    void updateFinished(Dfu::ErrorType error);
    // Every frame as written, and every reply frame as cut from the stream.
    void updateFrameSent(QByteArray frame);
    void updateFrameReceived(QByteArray frame);

public slots:
    void readReply();

private slots:
    void onResponseTimeout();

private:
    friend class DfuPacketTest;
    friend class DfuTransferTest;
    // Feeds the reader and the loader straight from fuzzers and their regression tests.
    friend struct FuzzHarness;

    static UpdateImage loadPackage(ImageType type, const QString &packagePath, QString *problem = nullptr);
    void queueImage(const UpdateImage &image, int stopDelaySeconds);
    void queueStartPacket(ImageType type, int sdSize, int blSize, int appSize);
    void queueInitPacket(const QByteArray &initPacket);
    void queueDataPackets(const QByteArray &image, int stopDelaySeconds);
    void sendNextPacket();
    // The reader without the port: bytes as readAll() would have returned them.
    void processReplyBytes(const QByteArray &bytes);
    static QByteArray littleEndian32(quint32 value);
    static QByteArray littleEndian16(quint16 value);

    QSerialPort *port;
    QList<DfuPacket> packets;
    int currentPacket = -1;
    QTimer *responseTimer;
    QByteArray replyBuffer;

    static int sequenceNumber;

    // Beyond the link state above: the pause after an acknowledgement is a child
    // timer, so it can be stopped and dies with the object.
    void finish(ErrorType error);
    void halt();
    void onPortDestroyed();
    void onPortLost();
    QTimer *advanceTimer;
    bool upgradeStarted = false;
    bool awaitingReply = false;
    bool finished = false;

    int pauseAfter(const DfuPacket &packet) const;
    Timing timing;
};

#endif // DFU_H
