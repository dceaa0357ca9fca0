#include "dfu.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSerialPort>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <private/qzipreader_p.h>

#include <zlib.h>

#include <cmath>
#include <limits>

// The resource collection lives in the static core library; registering it here
// means no program or test has to remember to. Must stay outside any namespace.
static void initDfuResources()
{
    static bool registered = false;
    if (registered)
        return;
    registered = true;
    Q_INIT_RESOURCE(resources);
}

namespace {

const char *const BuiltInBootloaderPackage = ":/upgrade/ble_orvik_hx7315_bl_sd.zip";
const char *const BuiltInApplicationPackage = ":/upgrade/ble_orvik_hx7315_app.zip";

const int ResponseTimeoutMs = 1000;
const int MaxDataChunk = 512;
const int HciPacketType = 14;
const char SlipEnd = char(0xC0);
const char SlipEsc = char(0xDB);
const char SlipEscEnd = char(0xDC);
const char SlipEscEsc = char(0xDD);

// The nRF52832 has 512 KiB of flash; packages far beyond that are not firmware.
const qint64 MaxPackageSize = 32 * 1024 * 1024;
const qint64 MaxEntrySize = 16 * 1024 * 1024;
const int MaxEntries = 64;

quint16 readLe16(const QByteArray &data, qint64 offset)
{
    return quint16(quint8(data.at(int(offset))) | quint8(data.at(int(offset) + 1)) << 8);
}

quint32 readLe32(const QByteArray &data, qint64 offset)
{
    return quint32(readLe16(data, offset)) | quint32(readLe16(data, offset + 2)) << 16;
}

// One archive entry as its central directory record has it, before the zip
// reader tidies the name up (it silently strips leading "/" and "." characters,
// so its names cannot tell whether an entry meant to escape).
struct RawEntry
{
    QByteArray name;
    quint16 flags = 0;
    quint16 method = 0;
    qint64 compressedSize = 0;
    qint64 uncompressedSize = 0;
    qint64 dataOffset = 0;
};

// Walks the end record, the central directory and each local header, bounds
// checked at every step. No multi-disk, ZIP64 or archive comments that hide
// the end record.
bool readRawEntries(const QByteArray &zip, QVector<RawEntry> *entries)
{
    const qint64 size = zip.size();
    const qint64 EndRecordSize = 22;
    qint64 end = -1;
    for (qint64 pos = size - EndRecordSize; pos >= 0 && pos >= size - EndRecordSize - 0xFFFF; --pos) {
        if (readLe32(zip, pos) == 0x06054b50u) {
            end = pos;
            break;
        }
    }
    if (end < 0 || readLe16(zip, end + 4) != 0 || readLe16(zip, end + 6) != 0)
        return false;
    const int count = readLe16(zip, end + 10);
    const qint64 directorySize = readLe32(zip, end + 12);
    qint64 pos = readLe32(zip, end + 16);
    if (count == 0 || count > MaxEntries || readLe16(zip, end + 8) != count || pos + directorySize > end)
        return false;
    for (int i = 0; i < count; ++i) {
        if (pos + 46 > end || readLe32(zip, pos) != 0x02014b50u)
            return false;
        RawEntry entry;
        entry.flags = readLe16(zip, pos + 8);
        entry.method = readLe16(zip, pos + 10);
        entry.compressedSize = readLe32(zip, pos + 20);
        entry.uncompressedSize = readLe32(zip, pos + 24);
        const int nameLength = readLe16(zip, pos + 28);
        const qint64 recordSize = 46 + nameLength + readLe16(zip, pos + 30) + readLe16(zip, pos + 32);
        const qint64 local = readLe32(zip, pos + 42);
        if (pos + recordSize > end)
            return false;
        entry.name = zip.mid(int(pos + 46), nameLength);
        if (local + 30 > size || readLe32(zip, local) != 0x04034b50u)
            return false;
        entry.dataOffset = local + 30 + readLe16(zip, local + 26) + readLe16(zip, local + 28);
        if (entry.dataOffset + entry.compressedSize > size)
            return false;
        entries->append(entry);
        pos += recordSize;
    }
    return true;
}

// A deflated entry may inflate far beyond what its header claims; run the
// stream into a scratch buffer first so that the reader is only ever asked for
// data of the declared size.
bool inflatesToDeclaredSize(const QByteArray &zip, const RawEntry &entry)
{
    z_stream stream = {};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return false;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zip.constData() + entry.dataOffset));
    stream.avail_in = uInt(entry.compressedSize);
    unsigned char scratch[16384];
    qint64 produced = 0;
    int result = Z_OK;
    while (result == Z_OK && produced <= entry.uncompressedSize) {
        stream.next_out = scratch;
        stream.avail_out = sizeof scratch;
        result = inflate(&stream, Z_NO_FLUSH);
        produced += qint64(sizeof scratch - stream.avail_out);
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END && produced == entry.uncompressedSize;
}

// A name is extracted only if it stays inside the directory it is extracted to:
// relative, no "..", no empty or "." components, plain printable ASCII without
// backslashes that another platform would read as separators.
bool isSafeEntryName(const QByteArray &name)
{
    if (name.isEmpty() || name.startsWith('/'))
        return false;
    for (const char c : name) {
        const quint8 byte = quint8(c);
        if (byte < 0x20 || byte > 0x7E || c == '\\' || c == ':')
            return false;
    }
    const QList<QByteArray> parts = name.split('/');
    for (const QByteArray &part : parts) {
        if (part.isEmpty() || part == "." || part == "..")
            return false;
    }
    return true;
}

// Checks every entry before anything is written, then writes the files itself
// inside dirPath; returns the names of the regular files written. Links, unsafe
// names, encryption, unknown methods or sizes that do not add up make the whole
// package unreadable.
bool extractPackage(const QByteArray &zip, const QZipReader &reader, const QString &dirPath, QSet<QString> *files)
{
    QVector<RawEntry> raw;
    const QVector<QZipReader::FileInfo> entries = reader.fileInfoList();
    if (!readRawEntries(zip, &raw) || raw.size() != entries.size())
        return false;
    QSet<QString> seen;
    for (int i = 0; i < raw.size(); ++i) {
        const RawEntry &rawEntry = raw.at(i);
        const QZipReader::FileInfo &entry = entries.at(i);
        QByteArray name = rawEntry.name;
        if (entry.isDir && name.endsWith('/'))
            name.chop(1);
        if (entry.isSymLink || entry.isDir == entry.isFile || !isSafeEntryName(name)
            || entry.filePath != QString::fromLatin1(name) || seen.contains(entry.filePath)
            || (rawEntry.flags & 0x1) || rawEntry.uncompressedSize > MaxEntrySize
            || entry.size != rawEntry.uncompressedSize)
            return false;
        if (rawEntry.method == 0) {
            if (rawEntry.compressedSize != rawEntry.uncompressedSize)
                return false;
        } else if (rawEntry.method != 8 || !inflatesToDeclaredSize(zip, rawEntry)) {
            return false;
        }
        seen.insert(entry.filePath);
    }
    const QDir dir(dirPath);
    for (const QZipReader::FileInfo &entry : entries) {
        if (entry.isDir) {
            if (!dir.mkpath(entry.filePath))
                return false;
            continue;
        }
        const QByteArray data = reader.fileData(entry.filePath);
        if (data.size() != entry.size)
            return false;
        const int slash = entry.filePath.lastIndexOf(QLatin1Char('/'));
        if (slash > 0 && !dir.mkpath(entry.filePath.left(slash)))
            return false;
        QFile file(dir.filePath(entry.filePath));
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(data) != data.size())
            return false;
        files->insert(entry.filePath);
    }
    return true;
}

QByteArray readExtracted(const QString &dirPath, const QSet<QString> &files, const QString &name)
{
    if (!files.contains(name))
        return QByteArray();
    QFile file(dirPath + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Integral JSON numbers that fit 32 bits count; strings, fractions and the rest give 0.
qint32 manifestSize(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number
        || number < double(std::numeric_limits<qint32>::min())
        || number > double(std::numeric_limits<qint32>::max()))
        return 0;
    return static_cast<qint32>(number);
}

} // namespace

int Dfu::sequenceNumber = 0;
QString Dfu::lastExtractionPath;

Dfu::Dfu(QSerialPort *port, QObject *parent)
    : QObject(parent)
    , port(port)
    , responseTimer(new QTimer(this))
    , advanceTimer(new QTimer(this))
{
    initDfuResources();
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
    }
}

// The timers are children and go with the object; the port is borrowed.
Dfu::~Dfu() = default;

void Dfu::setTiming(const Timing &value)
{
    timing = value;
    responseTimer->setInterval(timing.responseTimeoutMs);
}

Dfu::UpdateImage Dfu::readPackage(ImageType type, const QString &packagePath)
{
    return loadPackage(type, packagePath);
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
        : code == InitPacket               ? timing.initPauseMs
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
    if (!bootloader.isEmpty())
        queueImage(loadPackage(SoftDeviceBootloader, bootloader), application.isEmpty() ? 0 : 1);
    if (!application.isEmpty())
        queueImage(loadPackage(Application, application), 0);
    currentPacket = -1;
    sendNextPacket();
}

// Header of the three-wire UART kind:
//   byte 0: reliable<<7 | integrity<<6 | ack<<3 | seq, with ack = seq + 1 mod 8
//   byte 1: length bits 0-3 <<4 | packet type
//   byte 2: length bits 4-11
//   byte 3: two's complement of the sum of bytes 0-2
QByteArray Dfu::makeHciHeader(int sequenceNumber, int dataIntegrity, int reliable, int packetType, int payloadLength)
{
    const int seq = sequenceNumber & 7;
    const int ack = (seq + 1) & 7;
    const int length = payloadLength & 0xFFF;
    const quint8 b0 = quint8(((reliable & 1) << 7) | ((dataIntegrity & 1) << 6) | (ack << 3) | seq);
    const quint8 b1 = quint8(((length & 0xF) << 4) | (packetType & 0xF));
    const quint8 b2 = quint8(length >> 4);
    const quint8 b3 = quint8(-(b0 + b1 + b2));
    QByteArray header;
    header.append(char(b0)).append(char(b1)).append(char(b2)).append(char(b3));
    return header;
}

// Frame: C0, SLIP(header, payload, CRC-16 low byte first), C0.
DfuPacket Dfu::makeHciPacket(const QByteArray &payload, int delaySeconds)
{
    sequenceNumber = (sequenceNumber + 1) % 8;
    QByteArray packet = makeHciHeader(sequenceNumber, 1, 1, HciPacketType, payload.size());
    packet.append(payload);
    packet.append(littleEndian16(crc16(packet)));
    DfuPacket result;
    result.frame = SlipEnd + slipEncode(packet) + SlipEnd;
    result.delaySeconds = delaySeconds;
    return result;
}

QByteArray Dfu::slipEncode(const QByteArray &data)
{
    QByteArray encoded;
    encoded.reserve(data.size() + data.size() / 8 + 2);
    for (const char byte : data) {
        if (byte == SlipEnd)
            encoded.append(SlipEsc).append(SlipEscEnd);
        else if (byte == SlipEsc)
            encoded.append(SlipEsc).append(SlipEscEsc);
        else
            encoded.append(byte);
    }
    return encoded;
}

// A bad escape drops the escape byte and the byte after it, flags the result and
// carries on; the caller decides what a flagged frame is worth.
QByteArray Dfu::slipDecode(const QByteArray &data, bool *ok)
{
    bool clean = true;
    QByteArray decoded;
    decoded.reserve(data.size());
    for (int i = 0; i < data.size(); ++i) {
        const char byte = data.at(i);
        if (byte != SlipEsc) {
            decoded.append(byte);
            continue;
        }
        if (i + 1 < data.size() && data.at(i + 1) == SlipEscEnd)
            decoded.append(SlipEnd);
        else if (i + 1 < data.size() && data.at(i + 1) == SlipEscEsc)
            decoded.append(SlipEsc);
        else
            clean = false;
        ++i;
    }
    if (ok)
        *ok = clean;
    return decoded;
}

// CRC-16/CCITT-FALSE: polynomial 0x1021, start 0xFFFF, no reflection, no final XOR.
quint16 Dfu::crc16(const QByteArray &data)
{
    quint16 crc = 0xFFFF;
    for (const char byte : data) {
        crc ^= quint16(quint16(quint8(byte)) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

void Dfu::readReply()
{
    if (finished || !port)
        return;
    processReplyBytes(port->readAll());
}

void Dfu::processReplyBytes(const QByteArray &bytes)
{
    if (finished)
        return;
    replyBuffer.append(bytes);
    for (;;) {
        const int first = replyBuffer.indexOf(SlipEnd);
        if (first < 0)
            return;
        const int second = replyBuffer.indexOf(SlipEnd, first + 1);
        if (second < 0)
            return;
        const QByteArray inner = replyBuffer.mid(first + 1, second - first - 1);
        emit updateFrameReceived(replyBuffer.mid(first, second - first + 1));
        replyBuffer.remove(0, second + 1);
        // Nothing outstanding (pausing after an acknowledgement, or nothing was
        // queued): a stray frame must neither advance the queue nor fail it.
        if (!awaitingReply || currentPacket < 0 || currentPacket >= packets.size())
            continue;

        awaitingReply = false;
        responseTimer->stop();
        bool ok = false;
        const QByteArray reply = slipDecode(inner, &ok);
        if (!ok || reply.isEmpty()) {
            finish(InvalidResponseError);
            return;
        }
        const QByteArray &frame = packets.at(currentPacket).frame;
        const int expectedAck = (quint8(frame.at(1)) >> 3) & 7;
        const int ack = (quint8(reply.at(0)) >> 3) & 7;
        if (ack != expectedAck) {
            finish(IncorrectResponseError);
            return;
        }
        advanceTimer->start(pauseAfter(packets.at(currentPacket)));
        // Later frames wait for the next readyRead, one frame per notification.
        return;
    }
}

void Dfu::onResponseTimeout()
{
    if (finished || !awaitingReply)
        return;
    awaitingReply = false;
    finish(NoResponseError);
}

Dfu::UpdateImage Dfu::loadPackage(ImageType type, const QString &packagePath)
{
    initDfuResources();
    UpdateImage result;
    result.type = type;

    // The archive is read once into memory, so that the checks and the reader
    // see the same bytes. The size comes first because read(MaxPackageSize)
    // would allocate the whole cap; a file that grew meanwhile is still refused.
    QByteArray zip;
    QFile package(packagePath);
    if (package.open(QIODevice::ReadOnly) && package.size() <= MaxPackageSize)
        zip = package.readAll();
    if (zip.size() > MaxPackageSize)
        zip.clear();
    package.close();
    QBuffer buffer(&zip);
    buffer.open(QIODevice::ReadOnly);
    QZipReader reader(&buffer);
    QTemporaryDir dir;
    lastExtractionPath = dir.path();
    QSet<QString> files;
    const bool extracted = reader.isReadable() && reader.status() == QZipReader::NoError && dir.isValid()
        && extractPackage(zip, reader, dir.path(), &files);
    reader.close();
    // A package that could not be unpacked whole is unreadable: empty record.
    if (!extracted)
        return result;

    const QByteArray manifestText = readExtracted(dir.path(), files, QStringLiteral("manifest.json"));
    const QJsonDocument manifest = QJsonDocument::fromJson(manifestText);
    const QString key = type == SoftDeviceBootloader ? QStringLiteral("softdevice_bootloader")
                                                     : QStringLiteral("application");
    const QJsonObject entry = manifest.object().value(QStringLiteral("manifest")).toObject().value(key).toObject();

    result.image = readExtracted(dir.path(), files, entry.value(QStringLiteral("bin_file")).toString());
    result.initPacket = readExtracted(dir.path(), files, entry.value(QStringLiteral("dat_file")).toString());
    if (type == SoftDeviceBootloader) {
        result.sdSize = manifestSize(entry.value(QStringLiteral("sd_size")));
        result.blSize = manifestSize(entry.value(QStringLiteral("bl_size")));
    } else {
        result.appSize = result.image.size();
    }
    return result;
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

QByteArray Dfu::littleEndian32(quint32 value)
{
    QByteArray bytes;
    for (int i = 0; i < 4; ++i)
        bytes.append(char((value >> (8 * i)) & 0xFF));
    return bytes;
}

QByteArray Dfu::littleEndian16(quint16 value)
{
    QByteArray bytes;
    bytes.append(char(value & 0xFF)).append(char(value >> 8));
    return bytes;
}

// The owner may destroy the object from its handler of updateFinished, so the
// emission is the last thing here and in every caller.
void Dfu::finish(ErrorType error)
{
    if (finished)
        return;
    finished = true;
    awaitingReply = false;
    responseTimer->stop();
    advanceTimer->stop();
    if (port)
        disconnect(port, &QIODevice::readyRead, this, &Dfu::readReply);
    emit updateFinished(error);
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
