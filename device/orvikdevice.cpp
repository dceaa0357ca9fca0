#include "orvikdevice.h"
#include "lowlatency.h"
#include "portmatch.h"

#include <QTimer>
#include <QtEndian>

namespace {

// Request codes; each frame is [length][code][arguments], length counting itself.
enum RequestCode : quint8 {
    ScanRequest = 0x01,
    PairRequest = 0x02,
    PassKeyAnswer = 0x03,
    UpgradeModeRequest = 0x04,
    UpperGpioRequest = 0x05,
    LowerGpioRequest = 0x06,
    ResetRequest = 0x07,
    InfoRequest = 0x08,
    HwRevRequest = 0x09,
    FwRevRequest = 0x0A,
    SwRevRequest = 0x0B,
    BattRequest = 0x0C,
    NextLogRequest = 0x0D,
};

// Reply codes that carry something other than a lone status byte.
enum ReplyCode : quint8 {
    RadioFoundReply = 0x82,
    PassKeyReply = 0x84,
    InfoReply = 0x89,
    HwRevReply = 0x8A,
    FwRevReply = 0x8B,
    SwRevReply = 0x8C,
    BattReply = 0x8D,
    LogReply = 0x8E,
};

constexpr int HeaderSize = 2; // length byte and code byte
constexpr int AddressSize = 6;
constexpr int ClassOfDeviceSize = 3;
constexpr int StatusReplySize = 3;
constexpr int RadioFoundMinSize = 11;
constexpr int PassKeyReplySize = 12;
constexpr int NestedReadPollMs = 20;
// The longest frame (255 bytes) takes 266 ms at 9600 baud: a frame that has
// been silent for far longer will not be completed.
constexpr int StalePartialFrameMs = 1000;
// The device answers the information request within milliseconds.
constexpr int AdapterReplyTimeoutMs = 3000;

// Replies whose payload is one status byte at offset 2; 0 means success.
struct StatusReply
{
    quint8 code;
    void (OrvikDevice::*signal)(bool);
};
const StatusReply statusReplies[] = {
    { 0x81, &OrvikDevice::scanComplete },      { 0x83, &OrvikDevice::pairComplete },
    { 0x85, &OrvikDevice::upgradeReady },      { 0x86, &OrvikDevice::upperGpioComplete },
    { 0x87, &OrvikDevice::lowerGpioComplete }, { 0x88, &OrvikDevice::resetComplete },
    { 0x8F, &OrvikDevice::setSerialComplete },
};

// Text from offset to the end of the frame, cut at the first zero byte: the
// device pads fixed-size fields with zeros. Callers keep offset <= size.
QString textField(const QByteArray &frame, int offset)
{
    const char *begin = frame.constData() + offset;
    return QString::fromUtf8(begin, int(qstrnlen(begin, uint(frame.size() - offset))));
}

} // namespace

OrvikDevice::OrvikDevice(QObject *parent)
    : QSerialPort(parent), nestedReadPoll(new QTimer(this)), adapterReplyTimer(new QTimer(this))
{
    nestedReadPoll->setInterval(NestedReadPollMs);
    connect(nestedReadPoll, &QTimer::timeout, this, &OrvikDevice::pollWhileNested);
    adapterReplyTimer->setSingleShot(true);
    adapterReplyTimer->setInterval(AdapterReplyTimeoutMs);
    connect(adapterReplyTimer, &QTimer::timeout, this, &OrvikDevice::onAdapterSilent);
    connect(this, &QSerialPort::readyRead, this, &OrvikDevice::readReply);
    // Connected before anyone else can connect, so that a vanished device is
    // dealt with before other receivers see the port's error.
    connect(this, &QSerialPort::errorOccurred, this, &OrvikDevice::onPortError);
}

OrvikDevice::~OrvikDevice()
{
    // The updater goes first: none of its timers or readers may act on a port
    // that is being torn down.
    releaseUpdater();
    close();
}

bool OrvikDevice::attach(const QString &portName)
{
    // A new connection hears nothing of the last one: half a reply cut by an
    // unplug would otherwise swallow the first reply after the replug.
    if (!isOpen()) {
        replyBuffer.clear();
        logs.clear();
    }
    adapterReplyTimer->stop();
    probing = false;
    if (!portName.isEmpty()) {
        setPortName(portName);
        return openWithLowLatency(*this);
    }

    const QVector<PortIds> ports = listPorts();
    const QVector<int> matches = findOrvikPorts(ports);
    if (matches.isEmpty())
        return false;
    // Round robin: the match after the one that last failed us, else the first.
    int next = 0;
    for (int i = 0; i < matches.size(); ++i) {
        if (ports.at(matches.at(i)).location == silentPort)
            next = (i + 1) % matches.size();
    }
    probedPort = ports.at(matches.at(next)).location;
    // A match known to be silent keeps giving way, also while it is the only
    // one listed: the device may come back beside it. One that never had a
    // rival may stay open, there is nothing better to try.
    probing = matches.size() > 1 || probedPort == silentPort;
    setPortName(probedPort);
    const bool opened = openWithLowLatency(*this);
    // A match held by another program cannot be the device we wait for either.
    if (!opened && probing)
        silentPort = probedPort;
    return opened;
}

void OrvikDevice::close()
{
    if (isOpen())
        QSerialPort::close();
}

void OrvikDevice::sendRequest(quint8 code, const QByteArray &arguments)
{
    QByteArray frame(HeaderSize, '\0');
    frame[0] = char(HeaderSize + arguments.size());
    frame[1] = char(code);
    frame += arguments;
    write(frame);
    emit frameSent(frame);
}

// [09][code][6 address bytes as received][last]; a shorter address is a caller
// error and sends nothing rather than a frame with made-up address bytes.
void OrvikDevice::sendAddressRequest(quint8 code, const QByteArray &bdAddr, quint8 last)
{
    if (bdAddr.size() < AddressSize)
        return;
    sendRequest(code, bdAddr.left(AddressSize) + char(last));
}

void OrvikDevice::doScan()
{
    sendRequest(ScanRequest);
}

void OrvikDevice::doPair(QByteArray bdAddr, uchar position)
{
    sendAddressRequest(PairRequest, bdAddr, position);
}

// The device's own result convention: 0 confirms, 1 rejects.
void OrvikDevice::onPassKeyVerified(QByteArray bdAddr, bool status)
{
    sendAddressRequest(PassKeyAnswer, bdAddr, status ? 0 : 1);
}

void OrvikDevice::enterUpgradeMode()
{
    sendRequest(UpgradeModeRequest);
}

void OrvikDevice::upperGpio(bool emergency)
{
    sendRequest(UpperGpioRequest, QByteArray(1, emergency ? 1 : 0));
}

void OrvikDevice::lowerGpio(bool emergency)
{
    sendRequest(LowerGpioRequest, QByteArray(1, emergency ? 1 : 0));
}

void OrvikDevice::resetDevice()
{
    sendRequest(ResetRequest);
}

void OrvikDevice::getInfo()
{
    sendRequest(InfoRequest);
    if (probing)
        adapterReplyTimer->start();
}

void OrvikDevice::getHwRev()
{
    sendRequest(HwRevRequest);
}

void OrvikDevice::getFwRev()
{
    sendRequest(FwRevRequest);
}

void OrvikDevice::getSwRev()
{
    sendRequest(SwRevRequest);
}

void OrvikDevice::getBatt()
{
    sendRequest(BattRequest);
}

void OrvikDevice::getLogs()
{
    logs.clear();
    getNextLog();
}

void OrvikDevice::getNextLog()
{
    sendRequest(NextLogRequest);
}

void OrvikDevice::readReply()
{
    // The port never emits readyRead from inside its own readyRead, so bytes
    // that reach it while a receiver runs a nested event loop (a message box)
    // get no notification of their own: poll for them while the receivers run,
    // and pick up what is left before returning.
    if (readDepth++ == 0)
        nestedReadPoll->start();
    do {
        processReplyBytes(readAll());
    } while (!dfu && bytesAvailable() > 0);
    if (--readDepth == 0)
        nestedReadPoll->stop();
}

void OrvikDevice::pollWhileNested()
{
    // Once an updater owns the port, its bytes are not replies.
    if (!dfu && isOpen() && bytesAvailable() > 0)
        readReply();
}

void OrvikDevice::processReplyBytes(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    if (!replyBuffer.isEmpty() && lastByte.hasExpired(StalePartialFrameMs))
        replyBuffer.clear();
    lastByte.start();
    replyBuffer.append(bytes);
    takeFrames();
}

void OrvikDevice::takeFrames()
{
    // Each frame leaves the buffer before its signal goes out: a receiver's
    // nested event loop may run readReply again, and that call must only see
    // bytes nobody has consumed yet.
    while (replyBuffer.size() >= HeaderSize) {
        const int length = quint8(replyBuffer.at(0));
        if (length < HeaderSize) {
            // Cannot describe a frame; nothing after it can be trusted either.
            replyBuffer.clear();
            return;
        }
        if (length > replyBuffer.size())
            return; // the rest comes with a later read
        const QByteArray frame = replyBuffer.left(length);
        replyBuffer.remove(0, length);
        emit frameReceived(frame);
        if (!actOnFrame(frame)) {
            replyBuffer.clear();
            return;
        }
    }
}

// Emits the frame's signal. Returns false for a code outside the protocol. A
// frame too short for its code's layout is dropped silently: its fields are
// not there to read.
bool OrvikDevice::actOnFrame(const QByteArray &frame)
{
    const int size = frame.size();
    const quint8 code = quint8(frame.at(1));
    const auto byteAt = [&frame](int offset) { return quint8(frame.at(offset)); };

    for (const StatusReply &reply : statusReplies) {
        if (reply.code == code) {
            if (size >= StatusReplySize)
                emit(this->*reply.signal)(byteAt(2) == 0);
            return true;
        }
    }

    switch (code) {
    case RadioFoundReply:
        if (size >= RadioFoundMinSize)
            emit radioFound(frame.mid(2, AddressSize), frame.mid(2 + AddressSize, ClassOfDeviceSize),
                            textField(frame, RadioFoundMinSize));
        return true;
    case PassKeyReply:
        if (size >= PassKeyReplySize)
            emit verifyPassKey(frame.mid(2, AddressSize),
                               qFromLittleEndian<quint32>(frame.constData() + 2 + AddressSize));
        return true;
    case InfoReply:
        adapterReplyTimer->stop();
        if (probing && probedPort == silentPort)
            silentPort.clear(); // it was the device after all
        probing = false;
        if (size >= 3)
            emit getInfoComplete(byteAt(2), textField(frame, 3));
        return true;
    case HwRevReply:
        emit getHwRevComplete(textField(frame, HeaderSize));
        return true;
    case FwRevReply:
        emit getFwRevComplete(textField(frame, HeaderSize));
        return true;
    case SwRevReply:
        emit getSwRevComplete(textField(frame, HeaderSize));
        return true;
    case BattReply:
        if (size >= 3)
            emit getBattComplete(byteAt(2));
        return true;
    case LogReply:
        // The length byte alone ends the log: an entry that decodes to an
        // empty string still asks for the next one.
        if (size == HeaderSize) {
            emit getLogsComplete(logs);
        } else {
            logs.append(textField(frame, HeaderSize));
            getNextLog();
        }
        return true;
    default:
        return false;
    }
}

// On Linux a device that has gone can read end-of-file instead of failing with
// ResourceError, and the port then repeats ReadError in a busy loop until it is
// closed. Closing at the first ReadError stops that; the window learns of the
// loss the one way it understands, a single ResourceError, delivered from the
// event loop rather than nested inside the ReadError emission.
void OrvikDevice::onPortError(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ReadError || !isOpen())
        return;
    reportLost();
}

// Another adapter with the bridge's generic ids that lets the information
// request go unanswered is not the device: it is given up like a lost one, and
// the next attach tries the next match.
void OrvikDevice::onAdapterSilent()
{
    if (!isOpen() || dfu)
        return;
    silentPort = probedPort;
    reportLost();
}

void OrvikDevice::reportLost()
{
    close();
    QMetaObject::invokeMethod(
            this, [this] { emit errorOccurred(QSerialPort::ResourceError); }, Qt::QueuedConnection);
}

void OrvikDevice::doDfuUpgrade()
{
    startUpgrade([](Dfu *updater) { updater->upgrade(); });
}

void OrvikDevice::doDfuUpgrade(QString bootloader, QString application)
{
    startUpgrade([&](Dfu *updater) { updater->upgrade(bootloader, application); });
}

void OrvikDevice::startUpgrade(const std::function<void(Dfu *)> &upgrade)
{
    if (dfu)
        return; // one upgrade at a time; the running one keeps the port

    // Owned through dfu, not by a parent: it is destroyed as soon as it reports.
    Dfu *updater = new Dfu(this, nullptr);
    dfu = updater;
    disconnect(this, &QSerialPort::readyRead, this, &OrvikDevice::readReply);
    connect(updater, &Dfu::updateStarted, this, &OrvikDevice::dfuUpgradeStarted);
    connect(updater, &Dfu::updateProgress, this, &OrvikDevice::dfuUpgradeProgress);
    connect(updater, &Dfu::updateFinished, this, &OrvikDevice::dfuUpgradeFinished);
    connect(updater, &Dfu::updateFrameSent, this, &OrvikDevice::frameSent);
    connect(updater, &Dfu::updateFrameReceived, this, &OrvikDevice::frameReceived);
    updater->setTiming(dfuTiming);

    // The updater may report its end before upgrade() returns (nothing to
    // send); it is then destroyed here, once it is no longer on the stack.
    inUpgradeCall = true;
    upgrade(updater);
    inUpgradeCall = false;
    if (dfu != updater)
        delete updater;
}

void OrvikDevice::dfuUpgradeStarted(int total)
{
    emit upgradeStarted(total);
}

void OrvikDevice::dfuUpgradeProgress(int current)
{
    emit upgradeProgress(current);
}

void OrvikDevice::dfuUpgradeFinished(Dfu::ErrorType error)
{
    if (dfu) {
        if (inUpgradeCall) {
            disconnect(dfu, nullptr, this, nullptr);
            dfu = nullptr; // startUpgrade destroys it when upgrade() returns
        } else {
            releaseUpdater();
        }
    }
    // A partial frame kept across the upgrade waited for the updater, not the device.
    lastByte.start();
    connect(this, &QSerialPort::readyRead, this, &OrvikDevice::readReply, Qt::UniqueConnection);
    emit upgradeFinished(error);
}

// Safe from within the updater's updateFinished: that emission is the last
// thing its handler does.
void OrvikDevice::releaseUpdater()
{
    if (!dfu)
        return;
    Dfu *updater = dfu;
    dfu = nullptr;
    disconnect(updater, nullptr, this, nullptr);
    delete updater;
}
