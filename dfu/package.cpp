#include "dfu.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QTemporaryDir>

#include <private/qzipreader_p.h>

#include <zlib.h>

#include <cmath>
#include <limits>

// The resource collection lives in this static library; registering it here
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

QString Dfu::lastExtractionPath;

Dfu::UpdateImage Dfu::readPackage(ImageType type, const QString &packagePath)
{
    return loadPackage(type, packagePath);
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
