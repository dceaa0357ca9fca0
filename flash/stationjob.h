#ifndef STATIONJOB_H
#define STATIONJOB_H

#include "dfu.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>

class OrvikDevice;
class QTimer;

// How every job of one station run behaves. The defaults are the window's.
struct JobSettings
{
    int replyTimeoutMs = 3000;
    int restartTimeoutMs = 60000;
    bool force = false;
    bool recover = false;
    // Package files to send; both empty: the built-in pair.
    QString bootloaderPackage;
    QString applicationPackage;
    Dfu::Timing timing;
};

struct Revisions
{
    bool known = false;
    QString hw;
    QString fw;
    QString sw;
};

// One device on one port, from attach to the reset after its update: the
// window's workflow without the window, with a time limit on every answer.
class StationJob : public QObject
{
    Q_OBJECT

public:
    enum class Phase { Waiting, Attach, Identify, EnterUpgrade, Transfer, Restart, Verify, Reset, Finished };
    Q_ENUM(Phase)
    enum class Result { Pending, Updated, UpToDate, Refused, Failed, Interrupted };
    Q_ENUM(Result)

    // What the report says about the job; filled in as the job goes.
    struct Record
    {
        QString port;
        QString usbSerial; // empty: the system does not describe the port
        bool identified = false;
        QString name;
        int position = -1;
        Revisions before;
        Revisions after;
        int battery = -1;
        Result result = Result::Pending;
        QString reason;
        Phase failedIn = Phase::Waiting;
        bool recovered = false;
        bool transferStarted = false;
        int packetsTotal = 0;
        // Packets written, the last included: "packet 151 of 366" is the
        // 151st, written after 150 were acknowledged.
        int packetReached = 0;
        qint64 bytesSent = 0;
        qint64 transferMs = 0;
        QDateTime started;
        QDateTime ended;
    };

    StationJob(const QString &port, const JobSettings &settings, QObject *parent = nullptr);

    void start();
    // Stops at once; a frame being written goes out whole first.
    void interrupt();

    const Record &record() const { return rec; }
    Phase phase() const { return current; }
    bool isFinished() const { return current == Phase::Finished; }
    // Milliseconds since the transfer began (0 before).
    qint64 transferElapsedMs() const;

    static QString phaseName(Phase phase);
    static QString resultName(Result result);

signals:
    void phaseChanged(StationJob::Phase phase);
    void progressed();
    void finished();
    void frameSent(const QByteArray &frame, bool dfu);
    void frameReceived(const QByteArray &frame, bool dfu);

private:
    enum class Request { None, Info, HwRev, FwRev, SwRev, Battery, UpgradeMode, Reset };

    void setPhase(Phase phase);
    void tryAttach();
    void onAttached(const QString &usbSerial);
    void send(Request request);
    void onReplyTimeout();
    void onInfo(uchar position, const QString &name);
    void onHwRev(const QString &hwRev);
    void onFwRev(const QString &fwRev);
    void onSwRev(const QString &swRev);
    void onBattery(uchar percent);
    void decide();
    void onUpgradeReady(bool status);
    void startTransfer();
    void onUpgradeStarted(int total);
    void onUpgradeProgress(int current);
    void onUpgradeFinished(Dfu::ErrorType error);
    void onResetComplete(bool status);
    void onPortError(QSerialPort::SerialPortError error);
    bool expect(Request request);
    Revisions &revisions();
    void fail(const QString &reason, Result result = Result::Failed);
    void succeed(Result result);
    void finish();
    QString packetText() const;
    QString portToOpen() const;

    const JobSettings settings;
    Record rec;
    Phase current = Phase::Waiting;
    Request pending = Request::None;
    OrvikDevice *device;
    QTimer *replyTimer;
    QTimer *settleTimer;
    QTimer *retryTimer;
    QTimer *restartDeadline;
    QElapsedTimer transferClock;
    bool portLost = false;
};

#endif // STATIONJOB_H
