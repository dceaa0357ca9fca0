#include "stationjob.h"

#include "orvikdevice.h"
#include "portmatch.h"
#include "revisions.h"
#include "versionpolicy.h"

#include <QFileInfo>
#include <QSerialPortInfo>
#include <QTimer>

namespace {

// The window's timing: the information request 2000 ms after the port opens,
// the first attach 2000 ms after an update, retries every 1000 ms.
constexpr int SettleMs = 2000;
constexpr int ReattachDelayMs = 2000;
constexpr int RetryMs = 1000;
// Long enough for the frame being written to leave at 9600 baud.
constexpr int DrainMs = 2000;

QTimer *singleShotTimer(QObject *parent, int ms)
{
    auto *timer = new QTimer(parent);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(ms);
    return timer;
}

bool isOrvikPort(const QSerialPortInfo &info)
{
    return !findOrvikPorts({ { info.hasVendorIdentifier(), info.vendorIdentifier(), info.hasProductIdentifier(),
                               info.productIdentifier(), info.systemLocation() } })
                    .isEmpty();
}

// The system's description of a port given by name or through a link; ptys
// have none.
QSerialPortInfo describe(const QString &port)
{
    const QString target = QFileInfo(port).canonicalFilePath();
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (info.portName() == port || info.systemLocation() == port || info.systemLocation() == target)
            return info;
    }
    return QSerialPortInfo();
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

StationJob::StationJob(const QString &port, const JobSettings &settings, QObject *parent)
    : QObject(parent),
      settings(settings),
      device(new OrvikDevice(this)),
      replyTimer(singleShotTimer(this, settings.replyTimeoutMs)),
      settleTimer(singleShotTimer(this, SettleMs)),
      retryTimer(singleShotTimer(this, RetryMs)),
      restartDeadline(singleShotTimer(this, settings.restartTimeoutMs))
{
    rec.port = port;
    connect(replyTimer, &QTimer::timeout, this, &StationJob::onReplyTimeout);
    connect(settleTimer, &QTimer::timeout, this, [this] { send(Request::Info); });
    connect(retryTimer, &QTimer::timeout, this, &StationJob::tryAttach);
    connect(restartDeadline, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("the device did not come back within %1 ms of its restart")
                     .arg(this->settings.restartTimeoutMs));
    });
    connect(device, &OrvikDevice::getInfoComplete, this, &StationJob::onInfo);
    connect(device, &OrvikDevice::getHwRevComplete, this, &StationJob::onHwRev);
    connect(device, &OrvikDevice::getFwRevComplete, this, &StationJob::onFwRev);
    connect(device, &OrvikDevice::getSwRevComplete, this, &StationJob::onSwRev);
    connect(device, &OrvikDevice::getBattComplete, this, &StationJob::onBattery);
    connect(device, &OrvikDevice::upgradeReady, this, &StationJob::onUpgradeReady);
    connect(device, &OrvikDevice::upgradeStarted, this, &StationJob::onUpgradeStarted);
    connect(device, &OrvikDevice::upgradeProgress, this, &StationJob::onUpgradeProgress);
    connect(device, &OrvikDevice::upgradeFinished, this, &StationJob::onUpgradeFinished);
    connect(device, &OrvikDevice::resetComplete, this, &StationJob::onResetComplete);
    connect(device, &QSerialPort::errorOccurred, this, &StationJob::onPortError);
    connect(device, &OrvikDevice::frameSent, this, [this](const QByteArray &frame) {
        if (current == Phase::Transfer)
            rec.bytesSent += frame.size();
        emit frameSent(frame, current == Phase::Transfer);
    });
    connect(device, &OrvikDevice::frameReceived, this,
            [this](const QByteArray &frame) { emit frameReceived(frame, current == Phase::Transfer); });
    device->setDfuTiming(settings.timing);
}

void StationJob::start()
{
    if (current != Phase::Waiting)
        return;
    rec.started = QDateTime::currentDateTimeUtc();
    rec.usbSerial = describe(rec.port).serialNumber();
    setPhase(Phase::Attach);
    tryAttach();
}

void StationJob::setPhase(Phase phase)
{
    if (current == phase)
        return;
    current = phase;
    emit phaseChanged(phase);
}

// After a restart a USB device may come back under another name; its serial
// number finds it again. Without one, the name given is all there is.
QString StationJob::portToOpen() const
{
    if (current == Phase::Restart && !rec.usbSerial.isEmpty()) {
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
            if (isOrvikPort(info) && info.serialNumber() == rec.usbSerial)
                return info.systemLocation();
        }
    }
    return rec.port;
}

void StationJob::tryAttach()
{
    const QString port = portToOpen();
    if (device->attach(port)) {
        onAttached(describe(port).serialNumber());
        return;
    }
    if (current == Phase::Attach)
        fail(QStringLiteral("cannot open the port: %1").arg(device->errorString()));
    else
        retryTimer->start(RetryMs);
}

void StationJob::onAttached(const QString &usbSerial)
{
    portLost = false;
    if (current != Phase::Restart) {
        setPhase(Phase::Identify);
        settleTimer->start();
        return;
    }
    setPhase(Phase::Verify);
    // The flashed device was not listed by its serial number; another one holds the port.
    if (!rec.usbSerial.isEmpty() && !usbSerial.isEmpty() && usbSerial != rec.usbSerial) {
        fail(QStringLiteral("after the restart the port holds the USB device with serial number %1, not the "
                            "flashed one's %2")
                     .arg(quoted(usbSerial), quoted(rec.usbSerial)));
        return;
    }
    settleTimer->start();
}

void StationJob::send(Request request)
{
    pending = request;
    replyTimer->start();
    switch (request) {
    case Request::Info:
        device->getInfo();
        break;
    case Request::HwRev:
        device->getHwRev();
        break;
    case Request::FwRev:
        device->getFwRev();
        break;
    case Request::SwRev:
        device->getSwRev();
        break;
    case Request::Battery:
        device->getBatt();
        break;
    case Request::UpgradeMode:
        device->enterUpgradeMode();
        break;
    case Request::Reset:
        device->resetDevice();
        break;
    case Request::None:
        replyTimer->stop();
        break;
    }
}

// Answers count only for the request outstanding: a late or unasked reply
// must not move the job on.
bool StationJob::expect(Request request)
{
    if (pending != request || current == Phase::Finished)
        return false;
    pending = Request::None;
    replyTimer->stop();
    return true;
}

Revisions &StationJob::revisions()
{
    return current == Phase::Verify ? rec.after : rec.before;
}

void StationJob::onReplyTimeout()
{
    static const char *const names[] = {
        "",     "information", "hardware revision", "firmware revision", "software revision", "battery", "upgrade mode",
        "reset"
    };
    const Request request = pending;
    // A device waiting in its bootloader after a cut transfer does not speak
    // the device protocol at all.
    if (request == Request::Info && current == Phase::Identify && settings.recover) {
        pending = Request::None;
        rec.recovered = true;
        startTransfer();
        return;
    }
    fail(QStringLiteral("no answer to the %1 request within %2 ms")
                 .arg(QLatin1String(names[int(request)]))
                 .arg(settings.replyTimeoutMs));
}

void StationJob::onInfo(uchar position, const QString &name)
{
    if (!expect(Request::Info))
        return;
    restartDeadline->stop();
    // A device pulled during its restart and another plugged in must not pass for the flashed one.
    if (current == Phase::Verify && rec.identified && (name != rec.name || position != rec.position)) {
        fail(QStringLiteral("after the restart another device answers: %1 at position %2, not the flashed %3 at "
                            "position %4")
                     .arg(quoted(name), QString::number(position), quoted(rec.name), QString::number(rec.position)));
        return;
    }
    rec.identified = true;
    rec.name = name;
    rec.position = position;
    send(Request::HwRev);
}

void StationJob::onHwRev(const QString &hwRev)
{
    if (!expect(Request::HwRev))
        return;
    revisions().known = true;
    revisions().hw = hwRev;
    if (!VersionPolicy::hardwareServed(hwRev)) {
        // Refused means untouched; after a transfer the device was flashed all the same.
        if (current == Phase::Verify)
            fail(QStringLiteral("after the update the device reports hardware revision %1; this station serves %2 "
                                "only")
                         .arg(quoted(hwRev), QLatin1String(RequiredHwRev)));
        else
            fail(QStringLiteral("hardware revision %1; this station serves %2 only")
                         .arg(quoted(hwRev), QLatin1String(RequiredHwRev)),
                 Result::Refused);
        return;
    }
    send(Request::FwRev);
}

void StationJob::onFwRev(const QString &fwRev)
{
    if (!expect(Request::FwRev))
        return;
    revisions().fw = fwRev;
    send(Request::SwRev);
}

void StationJob::onSwRev(const QString &swRev)
{
    if (!expect(Request::SwRev))
        return;
    revisions().sw = swRev;
    if (current == Phase::Identify) {
        send(Request::Battery);
        return;
    }
    if (VersionPolicy::judge(rec.after.hw, rec.after.fw, swRev) != VersionPolicy::Verdict::Accept) {
        fail(QStringLiteral("after the update the device reports firmware %1 and software %2")
                     .arg(quoted(rec.after.fw), quoted(swRev)));
        return;
    }
    // As the window completes an update: the device is reset once.
    setPhase(Phase::Reset);
    send(Request::Reset);
}

void StationJob::onBattery(uchar percent)
{
    if (!expect(Request::Battery))
        return;
    rec.battery = percent;
    decide();
}

// The hardware was checked on the way; any other firmware or software
// revision, newer ones too, is flashed.
void StationJob::decide()
{
    if (VersionPolicy::judge(rec.before.hw, rec.before.fw, rec.before.sw) == VersionPolicy::Verdict::Accept
        && !settings.force) {
        succeed(Result::UpToDate);
        return;
    }
    setPhase(Phase::EnterUpgrade);
    send(Request::UpgradeMode);
}

void StationJob::onUpgradeReady(bool status)
{
    if (!expect(Request::UpgradeMode))
        return;
    if (!status) {
        fail(QStringLiteral("the device refused to enter upgrade mode"));
        return;
    }
    startTransfer();
}

void StationJob::startTransfer()
{
    setPhase(Phase::Transfer);
    rec.transferStarted = true;
    transferClock.start();
    if (settings.bootloaderPackage.isEmpty() && settings.applicationPackage.isEmpty())
        device->doDfuUpgrade();
    else
        device->doDfuUpgrade(settings.bootloaderPackage, settings.applicationPackage);
}

qint64 StationJob::transferElapsedMs() const
{
    if (!transferClock.isValid())
        return 0;
    return current == Phase::Transfer ? transferClock.elapsed() : rec.transferMs;
}

void StationJob::onUpgradeStarted(int total)
{
    rec.packetsTotal = total;
    rec.packetReached = 0;
    emit progressed();
}

void StationJob::onUpgradeProgress(int packet)
{
    rec.packetReached = packet + 1;
    emit progressed();
}

QString StationJob::packetText() const
{
    return QStringLiteral("packet %1 of %2").arg(rec.packetReached).arg(rec.packetsTotal);
}

void StationJob::onUpgradeFinished(Dfu::ErrorType error)
{
    if (current != Phase::Transfer)
        return;
    rec.transferMs = transferClock.elapsed();
    switch (error) {
    case Dfu::Success:
        break;
    case Dfu::NoResponseError:
        fail(portLost ? QStringLiteral("port lost at %1").arg(packetText())
                      : QStringLiteral("no acknowledgement within %1 ms of %2")
                                .arg(settings.timing.responseTimeoutMs)
                                .arg(packetText()));
        return;
    case Dfu::IncorrectResponseError:
        fail(QStringLiteral("wrong acknowledgement number for %1").arg(packetText()));
        return;
    case Dfu::InvalidResponseError:
        fail(QStringLiteral("malformed reply to %1").arg(packetText()));
        return;
    }
    // The device restarts into its new firmware; attach again as the window does.
    device->close();
    setPhase(Phase::Restart);
    restartDeadline->start();
    retryTimer->start(ReattachDelayMs);
}

void StationJob::onResetComplete(bool status)
{
    if (!expect(Request::Reset))
        return;
    if (status)
        succeed(Result::Updated);
    else
        fail(QStringLiteral("the device refused the reset that completes the update"));
}

void StationJob::onPortError(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ResourceError || current == Phase::Finished)
        return;
    portLost = true;
    switch (current) {
    case Phase::Transfer:
        // The updater reports the end of the run itself.
        return;
    case Phase::Restart:
    case Phase::Verify:
        // Still on the way back from the restart: the old port may vanish
        // under a first attach.
        device->close();
        pending = Request::None;
        replyTimer->stop();
        settleTimer->stop();
        setPhase(Phase::Restart);
        retryTimer->start(RetryMs);
        return;
    default:
        fail(QStringLiteral("port lost while waiting for the %1 phase").arg(phaseName(current)));
        return;
    }
}

void StationJob::fail(const QString &reason, Result result)
{
    if (current == Phase::Finished)
        return;
    rec.result = result;
    rec.reason = reason;
    // Such a device no longer answers the device protocol; the operator must know how to get it back.
    if (current == Phase::Transfer)
        rec.reason += QStringLiteral("; left in its bootloader: run again with --recover to bring it back");
    else if (current == Phase::EnterUpgrade && pending == Request::UpgradeMode)
        rec.reason += QStringLiteral("; it may be waiting in its bootloader: run again with --recover to bring it "
                                     "back");
    rec.failedIn = current;
    finish();
}

void StationJob::succeed(Result result)
{
    rec.result = result;
    finish();
}

void StationJob::interrupt()
{
    if (current == Phase::Finished)
        return;
    // The frame in hand leaves whole, so that the device never sees half a
    // packet; the report then tells which packet was the last.
    if (device->isOpen() && device->bytesToWrite() > 0)
        device->waitForBytesWritten(DrainMs);
    fail(current == Phase::Transfer          ? QStringLiteral("interrupted at %1").arg(packetText())
                 : current == Phase::Waiting ? QStringLiteral("interrupted before the port was opened")
                                             : QStringLiteral("interrupted"),
         Result::Interrupted);
}

void StationJob::finish()
{
    pending = Request::None;
    for (QTimer *timer : { replyTimer, settleTimer, retryTimer, restartDeadline })
        timer->stop();
    if (current == Phase::Transfer)
        rec.transferMs = transferClock.elapsed();
    rec.ended = QDateTime::currentDateTimeUtc();
    // Nothing of the device may act on this job any more; it may be inside
    // one of its own signals, so it goes later. Its destructor ends an
    // updater that still runs.
    disconnect(device, nullptr, this, nullptr);
    device->close();
    device->deleteLater();
    device = nullptr;
    setPhase(Phase::Finished);
    emit finished();
}

QString StationJob::phaseName(Phase phase)
{
    switch (phase) {
    case Phase::Waiting:
        return QStringLiteral("waiting");
    case Phase::Attach:
        return QStringLiteral("attach");
    case Phase::Identify:
        return QStringLiteral("identify");
    case Phase::EnterUpgrade:
        return QStringLiteral("upgrade-mode");
    case Phase::Transfer:
        return QStringLiteral("transfer");
    case Phase::Restart:
        return QStringLiteral("restart");
    case Phase::Verify:
        return QStringLiteral("verify");
    case Phase::Reset:
        return QStringLiteral("reset");
    case Phase::Finished:
        return QStringLiteral("finished");
    }
    return QString();
}

QString StationJob::resultName(Result result)
{
    switch (result) {
    case Result::Pending:
        return QStringLiteral("pending");
    case Result::Updated:
        return QStringLiteral("updated");
    case Result::UpToDate:
        return QStringLiteral("up-to-date");
    case Result::Refused:
        return QStringLiteral("refused");
    case Result::Failed:
        return QStringLiteral("failed");
    case Result::Interrupted:
        return QStringLiteral("interrupted");
    }
    return QString();
}
