#ifndef ORVIKDEVICE_H
#define ORVIKDEVICE_H

#include "dfu.h"
#include "portmatch.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QSerialPort>
#include <QString>
#include <QStringList>

class QTimer;

#include <functional>

// The serial link to the Orvik device. The object is the port itself: requests
// are written to it, replies are cut from it, and during a firmware upgrade a
// Dfu object borrows it as its transport.
class OrvikDevice : public QSerialPort
{
    Q_OBJECT

public:
    explicit OrvikDevice(QObject *parent = nullptr);
    ~OrvikDevice() override;

    bool attach(const QString &portName);
    // Closing a port that is not open would report NotOpenError, which reads
    // as one more port error to whoever listens; so only an open port closes.
    void close() override;

    void enterUpgradeMode();
    void upperGpio(bool emergency);
    void lowerGpio(bool emergency);
    void resetDevice();
    void getInfo();
    void getHwRev();
    void getFwRev();
    void getSwRev();
    void getBatt();
    void getLogs();
    void getNextLog();

    // Link timing for the upgrades started from now on; the window keeps the defaults.
    void setDfuTiming(const Dfu::Timing &timing) { dfuTiming = timing; }

signals:
    void radioFound(QByteArray bdAddr, QByteArray classOfDevice, QString radio);
    void scanComplete(bool status);
    void verifyPassKey(QByteArray bdAddr, uint passKey);
    void pairComplete(bool status);
    void upgradeReady(bool status);
    void upperGpioComplete(bool status);
    void lowerGpioComplete(bool status);
    void resetComplete(bool status);
    void getInfoComplete(uchar position, QString serial);
    void getHwRevComplete(QString hwRev);
    void getFwRevComplete(QString fwRev);
    void getSwRevComplete(QString swRev);
    void getBattComplete(uchar battPercent);
    void getLogsComplete(QStringList log);
    void upgradeStarted(int total);
    void upgradeProgress(int current);
    void upgradeFinished(Dfu::ErrorType error);
    void setSerialComplete(bool status);
    // Every frame of either protocol, as written and as cut from the stream.
    void frameSent(QByteArray frame);
    void frameReceived(QByteArray frame);

public slots:
    void doScan();
    void doPair(QByteArray bdAddr, uchar position);
    void onPassKeyVerified(QByteArray bdAddr, bool status);
    void readReply();
    void doDfuUpgrade();
    void doDfuUpgrade(QString bootloader, QString application);
    void dfuUpgradeStarted(int total);
    void dfuUpgradeProgress(int current);
    void dfuUpgradeFinished(Dfu::ErrorType error);

private:
    void sendRequest(quint8 code, const QByteArray &arguments = QByteArray());
    void sendAddressRequest(quint8 code, const QByteArray &bdAddr, quint8 last);
    // The reader without the port: bytes as readAll() would have returned them.
    void processReplyBytes(const QByteArray &bytes);
    void takeFrames();
    bool actOnFrame(const QByteArray &frame);
    void onPortError(QSerialPort::SerialPortError error);
    void onAdapterSilent();
    void reportLost();
    void startUpgrade(const std::function<void(Dfu *)> &upgrade);
    void releaseUpdater();
    void pollWhileNested();

    // Feeds the reader straight from fuzzers and their regression tests.
    friend struct FuzzHarness;
    // Lists ports of its own and shortens the wait for an answer.
    friend class OrvikDeviceTest;

    QStringList logs;
    QByteArray replyBuffer;
    Dfu *dfu = nullptr;
    bool inUpgradeCall = false;
    QTimer *nestedReadPoll;
    int readDepth = 0;
    Dfu::Timing dfuTiming;
    // When replyBuffer last grew: a partial frame that hears nothing for
    // StalePartialFrameMs is noise or the rest of a lost reply.
    QElapsedTimer lastByte;
    std::function<QVector<PortIds>()> listPorts = availablePortIds;
    // With several ports matching, the one opened (probedPort) must answer the
    // information request in time or make way for the next match after it;
    // silentPort is the last one that did not, and is held to that from then on.
    QTimer *adapterReplyTimer;
    bool probing = false;
    QString probedPort;
    QString silentPort;
};

#endif // ORVIKDEVICE_H
