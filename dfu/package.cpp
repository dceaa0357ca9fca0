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

#include <algorithm>
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

// The nRF52832's flash: no firmware image comes near it.
const qint64 FlashBytes = 512 * 1024;
const qint64 MaxPackageSize = 32 * 1024 * 1024;
// All that one package may unpack, a few times the largest image there can be.
const qint64 MaxExtractedBytes = 4 * FlashBytes;
const int MaxEntries = 64;

quint16 readLe16(const QByteArray &data, qint64 offset)
{
    return quint16(quint8(data.at(int(offset))) | quint8(data.at(int(offset) + 1)) << 8);
}

quint32 readLe32(const QByteArray &data, qint64 offset)
{
    return quint32(readLe16(data, offset)) | quint32(readLe16(data, offset + 2)) << 16;
}

// One archive entry as its central directory record and local header have
// it, before the zip reader tidies the name up (it silently strips leading "/"
// and "." characters, so its names cannot tell whether an entry meant to escape).
struct RawEntry
{
    QByteArray name;
    quint16 flags = 0;
    quint16 method = 0;
    quint32 crc = 0;
    qint64 compressedSize = 0;
    qint64 uncompressedSize = 0;
    qint64 localOffset = 0;
    quint16 localFlags = 0;
    quint16 localMethod = 0;
    qint64 dataOffset = 0;
};

// Walks the end record, the central directory and each local header, bounds
// checked at every step. No multi-disk, ZIP64 or archive comments that hide
// the end record. Every entry's data lies before the directory, and no two
// entries share bytes: overlapping entries let a small archive unpack to many
// times its size.
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
    const qint64 directoryStart = readLe32(zip, end + 16);
    qint64 pos = directoryStart;
    if (count == 0 || count > MaxEntries || readLe16(zip, end + 8) != count || pos + directorySize > end)
        return false;
    for (int i = 0; i < count; ++i) {
        if (pos + 46 > end || readLe32(zip, pos) != 0x02014b50u)
            return false;
        RawEntry entry;
        entry.flags = readLe16(zip, pos + 8);
        entry.method = readLe16(zip, pos + 10);
        entry.crc = readLe32(zip, pos + 16);
        entry.compressedSize = readLe32(zip, pos + 20);
        entry.uncompressedSize = readLe32(zip, pos + 24);
        const int nameLength = readLe16(zip, pos + 28);
        const qint64 recordSize = 46 + nameLength + readLe16(zip, pos + 30) + readLe16(zip, pos + 32);
        entry.localOffset = readLe32(zip, pos + 42);
        if (pos + recordSize > end)
            return false;
        entry.name = zip.mid(int(pos + 46), nameLength);
        const qint64 local = entry.localOffset;
        if (local + 30 > directoryStart || readLe32(zip, local) != 0x04034b50u)
            return false;
        entry.localFlags = readLe16(zip, local + 6);
        entry.localMethod = readLe16(zip, local + 8);
        entry.dataOffset = local + 30 + readLe16(zip, local + 26) + readLe16(zip, local + 28);
        if (entry.dataOffset + entry.compressedSize > directoryStart)
            return false;
        entries->append(entry);
        pos += recordSize;
    }
    QVector<RawEntry> byOffset = *entries;
    std::sort(byOffset.begin(), byOffset.end(),
              [](const RawEntry &a, const RawEntry &b) { return a.localOffset < b.localOffset; });
    for (int i = 1; i < byOffset.size(); ++i) {
        if (byOffset.at(i).localOffset < byOffset.at(i - 1).dataOffset + byOffset.at(i - 1).compressedSize)
            return false;
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

// An entry is extracted only if it stays inside the directory it is extracted
// to: plain printable ASCII without backslashes or colons that another
// platform would read as separators, and once cleaned, relative and free of "..".
bool isSafeEntryName(const QByteArray &name, QString *path)
{
    for (const char c : name) {
        const quint8 byte = quint8(c);
        if (byte < 0x20 || byte > 0x7E || c == '\\' || c == ':')
            return false;
    }
    *path = QDir::cleanPath(QString::fromLatin1(name));
    return !path->isEmpty() && *path != QLatin1String(".") && !path->startsWith(QLatin1Char('/'))
            && !path->split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

// Extracts the entries that the manifest names, one at a time, into its
// directory; the others are never unpacked. An extracted entry that is a
// link, escapes, is encrypted, uses an unknown method, has sizes that do not
// add up or data that fails its CRC-32, or goes beyond the package's budget
// makes the whole package unreadable.
class PackageExtractor
{
public:
    PackageExtractor(const QByteArray &zip, const QZipReader &reader, const QString &dirPath)
        : zip(zip), reader(reader), dir(dirPath), entries(reader.fileInfoList())
    {
        readable = readRawEntries(zip, &raw) && raw.size() == entries.size();
    }
    bool isReadable() const { return readable; }

    // The bytes of the entry that a manifest names, both names cleaned; empty
    // when no entry has the name. One name for two entries is ambiguous.
    QByteArray extract(const QString &name)
    {
        const QString wanted = QDir::cleanPath(name);
        int found = -1;
        for (int i = 0; readable && !wanted.isEmpty() && i < raw.size(); ++i) {
            if (QDir::cleanPath(QString::fromUtf8(raw.at(i).name)) != wanted)
                continue;
            if (found >= 0)
                readable = false; // which of the two would be meant?
            found = i;
        }
        if (!readable || found < 0)
            return QByteArray();
        if (!written.contains(wanted) && !extractEntry(found))
            readable = false;
        written.insert(wanted);
        QFile file(dir.filePath(wanted));
        return readable && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    bool extractEntry(int index)
    {
        const RawEntry &entry = raw.at(index);
        const QZipReader::FileInfo &info = entries.at(index);
        QString path;
        if (!isSafeEntryName(entry.name, &path) || info.isSymLink || !info.isFile || info.isDir
            || ((entry.flags | entry.localFlags) & 0x1) || entry.method != entry.localMethod
            || entry.uncompressedSize > MaxExtractedBytes - extractedBytes)
            return false;
        if (entry.method == 0 ? entry.compressedSize != entry.uncompressedSize
                              : entry.method != 8 || !inflatesToDeclaredSize(zip, entry))
            return false;
        const QByteArray data = reader.fileData(QString::fromLatin1(entry.name));
        if (data.size() != entry.uncompressedSize
            || crc32(0, reinterpret_cast<const Bytef *>(data.constData()), uInt(data.size())) != entry.crc)
            return false;
        extractedBytes += data.size();
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        if (slash > 0 && !dir.mkpath(path.left(slash)))
            return false;
        QFile file(dir.filePath(path));
        return file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && file.write(data) == data.size();
    }

    const QByteArray &zip;
    const QZipReader &reader;
    const QDir dir;
    const QVector<QZipReader::FileInfo> entries;
    QVector<RawEntry> raw;
    QSet<QString> written;
    qint64 extractedBytes = 0;
    bool readable = false;
};

// Integral JSON numbers that fit 32 bits count; strings, fractions and the rest give 0.
qint32 manifestSize(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number || number < double(std::numeric_limits<qint32>::min())
        || number > double(std::numeric_limits<qint32>::max()))
        return 0;
    return static_cast<qint32>(number);
}

} // namespace

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
    PackageExtractor extractor(zip, reader, dir.path());
    if (!reader.isReadable() || reader.status() != QZipReader::NoError || !dir.isValid() || !extractor.isReadable())
        return result;

    const QJsonDocument manifest = QJsonDocument::fromJson(extractor.extract(QStringLiteral("manifest.json")));
    const QString key =
            type == SoftDeviceBootloader ? QStringLiteral("softdevice_bootloader") : QStringLiteral("application");
    const QJsonObject entry = manifest.object().value(QStringLiteral("manifest")).toObject().value(key).toObject();
    const QByteArray image = extractor.extract(entry.value(QStringLiteral("bin_file")).toString());
    const QByteArray initPacket = extractor.extract(entry.value(QStringLiteral("dat_file")).toString());
    reader.close();
    // A named entry that failed its checks leaves the package unreadable as a whole.
    if (!extractor.isReadable())
        return result;

    result.image = image;
    result.initPacket = initPacket;
    if (type == SoftDeviceBootloader) {
        result.sdSize = manifestSize(entry.value(QStringLiteral("sd_size")));
        result.blSize = manifestSize(entry.value(QStringLiteral("bl_size")));
    } else {
        result.appSize = result.image.size();
    }
    return result;
}
