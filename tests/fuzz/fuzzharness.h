// Shared by the libFuzzer targets and tst_fuzzregressions: each check drives
// one reader or the package loader with one input, without a serial port, and
// returns the first rule the code broke (empty when none). Memory errors are
// the sanitizers' to report.
#ifndef FUZZHARNESS_H
#define FUZZHARNESS_H

#include "dfu.h"
#include "orvikdevice.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cstddef>
#include <cstdint>

// Befriended by OrvikDevice and Dfu: the readers' byte seam and the state the
// checks look at.
struct ReplyFeeder
{
    static void feed(OrvikDevice &device, const QByteArray &bytes) { device.processReplyBytes(bytes); }
    static const QByteArray &buffer(const OrvikDevice &device) { return device.replyBuffer; }

    // Queues image (nothing at all when queue is false) and writes packet 0,
    // as upgrade() does after loading.
    static void start(Dfu &dfu, const Dfu::UpdateImage &image, bool queue)
    {
        dfu.upgradeStarted = true;
        if (queue)
            dfu.queueImage(image, 0);
        dfu.currentPacket = -1;
        dfu.sendNextPacket();
    }
    static void feed(Dfu &dfu, const QByteArray &bytes) { dfu.processReplyBytes(bytes); }
    static bool advancePending(const Dfu &dfu) { return dfu.advanceTimer->isActive(); }
    static bool awaitingReply(const Dfu &dfu) { return dfu.responseTimer->isActive(); }
    // What the timers would do, without waiting for them.
    static void advance(Dfu &dfu)
    {
        dfu.advanceTimer->stop();
        dfu.sendNextPacket();
    }
    static void timeOut(Dfu &dfu)
    {
        dfu.responseTimer->stop();
        dfu.onResponseTimeout();
    }
    static int queued(const Dfu &dfu) { return dfu.packets.size(); }
    static int current(const Dfu &dfu) { return dfu.currentPacket; }

    static Dfu::UpdateImage load(Dfu::ImageType type, const QString &path) { return Dfu::loadPackage(type, path); }
    static QString lastExtractionPath() { return Dfu::lastExtractionPath; }
};

namespace FuzzHarness {

// One chunk of input: a header byte, then up to (header & mask) bytes.
struct Chunk
{
    quint8 header = 0;
    QByteArray bytes;
};

inline QList<Chunk> chunks(const uint8_t *data, size_t size, quint8 lengthMask)
{
    QList<Chunk> list;
    size_t pos = 0;
    while (pos < size) {
        Chunk chunk;
        chunk.header = data[pos++];
        const size_t length = qMin<size_t>(chunk.header & lengthMask, size - pos);
        chunk.bytes = QByteArray(reinterpret_cast<const char *>(data + pos), int(length));
        pos += length;
        list.append(chunk);
    }
    return list;
}

// A log reply makes the reader ask for the next entry on a port that is not
// open; the warning that write() prints about that is noise here.
inline void quietMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

// Device reply reader. Input: chunks with header h, h & 0x7F bytes long. A
// chunk with bit 7 set arrives while the receiver of the next signal runs, as
// bytes do during a message box's nested event loop; without a signal it
// arrives after the current call. After every outer call the buffer may hold
// only the start of one frame.
inline QString checkDeviceReply(const uint8_t *data, size_t size)
{
    const QtMessageHandler previous = qInstallMessageHandler(quietMessages);
    QString problem;
    {
        OrvikDevice device;
        QList<Chunk> nested;
        int depth = 0;
        int signalCount = 0;
        const auto onSignal = [&]() {
            ++signalCount;
            if (nested.isEmpty() || depth > 8)
                return;
            ++depth;
            ReplyFeeder::feed(device, nested.takeFirst().bytes);
            --depth;
        };
        const auto check = [&](bool ok, const char *what) {
            if (!ok && problem.isEmpty())
                problem = QLatin1String(what);
        };
        QObject::connect(&device, &OrvikDevice::radioFound, [&](QByteArray address, QByteArray cod, QString) {
            check(address.size() == 6 && cod.size() == 3, "radioFound with a short address or class of device");
            onSignal();
        });
        QObject::connect(&device, &OrvikDevice::verifyPassKey, [&](QByteArray address, uint) {
            check(address.size() == 6, "verifyPassKey with a short address");
            onSignal();
        });
        for (auto signal : {&OrvikDevice::scanComplete, &OrvikDevice::pairComplete, &OrvikDevice::upgradeReady,
                            &OrvikDevice::upperGpioComplete, &OrvikDevice::lowerGpioComplete,
                            &OrvikDevice::resetComplete, &OrvikDevice::setSerialComplete})
            QObject::connect(&device, signal, onSignal);
        QObject::connect(&device, &OrvikDevice::getInfoComplete, onSignal);
        QObject::connect(&device, &OrvikDevice::getHwRevComplete, onSignal);
        QObject::connect(&device, &OrvikDevice::getFwRevComplete, onSignal);
        QObject::connect(&device, &OrvikDevice::getSwRevComplete, onSignal);
        QObject::connect(&device, &OrvikDevice::getBattComplete, onSignal);
        QObject::connect(&device, &OrvikDevice::getLogsComplete, onSignal);

        for (const Chunk &chunk : chunks(data, size, 0x7F)) {
            if (chunk.header & 0x80) {
                nested.append(chunk);
                continue;
            }
            ReplyFeeder::feed(device, chunk.bytes);
            while (!nested.isEmpty())
                ReplyFeeder::feed(device, nested.takeFirst().bytes);
            const QByteArray &left = ReplyFeeder::buffer(device);
            check(left.size() < 2 || quint8(left.at(0)) > left.size(), "a complete frame left in the buffer");
            check(left.size() < 2 || quint8(left.at(0)) >= 2, "a frame length below 2 kept in the buffer");
        }
        check(signalCount <= int(size) / 2, "more signals than frames could have produced");
    }
    qInstallMessageHandler(previous);
    return problem;
}

// DFU reply reader and its stop-and-wait state. Input: byte 0 sets up the
// queue (bits 0-2: data packets, bit 3: last one short, bit 7: nothing queued);
// then chunks with header h, h & 0x3F bytes long, fed to the reader, after
// which h >> 6 says what the event loop does: 0 nothing, 1 run a pending
// advance, 2 let the response timer expire, 3 process pending events.
inline QString checkDfuReply(const uint8_t *data, size_t size)
{
    if (size == 0)
        return QString();
    QString problem;
    const auto check = [&](bool ok, const char *what) {
        if (!ok && problem.isEmpty())
            problem = QLatin1String(what);
    };

    for (const Chunk &chunk : chunks(data + 1, size - 1, 0xFF)) {
        bool ok = false;
        const QByteArray decoded = Dfu::slipDecode(chunk.bytes, &ok);
        check(decoded.size() <= chunk.bytes.size(), "unescaping made a frame longer");
        const QByteArray again = Dfu::slipDecode(Dfu::slipEncode(chunk.bytes), &ok);
        check(ok && again == chunk.bytes, "escaping does not round-trip");
    }

    const quint8 setup = data[0];
    Dfu::UpdateImage image;
    const int dataPackets = setup & 7;
    image.image = QByteArray(qMax(0, dataPackets * 512 - ((setup & 8) ? 100 : 0)), char(0xC0));
    image.initPacket = QByteArray::fromHex("FFFFFFFFFFFFFFFF0100FEFF0551");
    image.appSize = image.image.size();
    {
        Dfu dfu(nullptr);
        int total = -1;
        int lastProgress = 0;
        int finishedCount = 0;
        Dfu::ErrorType result = Dfu::Success;
        QObject::connect(&dfu, &Dfu::updateStarted, [&](int count) { total = count; });
        QObject::connect(&dfu, &Dfu::updateProgress, [&](int current) {
            check(finishedCount == 0, "progress after the result");
            check(current == lastProgress + 1 && current < total, "progress out of order");
            lastProgress = current;
        });
        QObject::connect(&dfu, &Dfu::updateFinished, [&](Dfu::ErrorType error) {
            ++finishedCount;
            result = error;
        });
        ReplyFeeder::start(dfu, image, !(setup & 0x80));
        check(total == ReplyFeeder::queued(dfu), "updateStarted without the queue length");

        for (const Chunk &chunk : chunks(data + 1, size - 1, 0x3F)) {
            ReplyFeeder::feed(dfu, chunk.bytes);
            switch (chunk.header >> 6) {
            case 1:
                if (ReplyFeeder::advancePending(dfu))
                    ReplyFeeder::advance(dfu);
                break;
            case 2:
                if (ReplyFeeder::awaitingReply(dfu))
                    ReplyFeeder::timeOut(dfu);
                break;
            case 3:
                QCoreApplication::processEvents();
                break;
            default:
                break;
            }
            check(!(ReplyFeeder::advancePending(dfu) && ReplyFeeder::awaitingReply(dfu)),
                  "awaiting a reply and pausing at once");
            check(finishedCount <= 1, "more than one result");
            if (finishedCount > 0) {
                check(!ReplyFeeder::advancePending(dfu) && !ReplyFeeder::awaitingReply(dfu),
                      "a timer still runs after the result");
                check(result != Dfu::Success || ReplyFeeder::current(dfu) == ReplyFeeder::queued(dfu),
                      "success before the last packet");
            }
        }
    }
    return problem;
}

// Package loader. Input: the archive bytes, written to workDir/package.zip and
// loaded as either package type. workDir also holds tmp/, which must be the
// temporary location (TMPDIR) while this runs: afterwards tmp/ is empty and
// workDir holds nothing new.
inline QString checkLoadPackage(const uint8_t *data, size_t size, const QString &workDir)
{
    const QString path = workDir + QStringLiteral("/package.zip");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        return QStringLiteral("cannot write %1").arg(path);
    file.close();

    for (const Dfu::ImageType type : {Dfu::SoftDeviceBootloader, Dfu::Application}) {
        const Dfu::UpdateImage image = ReplyFeeder::load(type, path);
        if (image.type != type)
            return QStringLiteral("image type changed");
        if (type == Dfu::Application && (image.sdSize || image.blSize || image.appSize != image.image.size()))
            return QStringLiteral("application sizes do not follow the image");
        if (type == Dfu::SoftDeviceBootloader && image.appSize)
            return QStringLiteral("application size in a SoftDevice/bootloader image");
        const QString extraction = ReplyFeeder::lastExtractionPath();
        if (!extraction.isEmpty() && QFileInfo::exists(extraction))
            return QStringLiteral("extraction directory left behind");
        if (!QDir(workDir + QStringLiteral("/tmp")).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden
                                                            | QDir::System))
            return QStringLiteral("something left in the temporary location");
        const QStringList entries =
            QDir(workDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        if (entries != QStringList{QStringLiteral("package.zip"), QStringLiteral("tmp")})
            return QStringLiteral("written outside the temporary location: %1").arg(entries.join(QLatin1Char(' ')));
    }
    return QString();
}

} // namespace FuzzHarness

#endif // FUZZHARNESS_H
