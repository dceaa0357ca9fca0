#include "dfu.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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

// Entry names and manifest text are the package's data, shown escaped: a
// terminal that prints a reason must not take part of it for a command.
QString shown(const QByteArray &text)
{
    QString out;
    for (const char c : text) {
        const quint8 byte = quint8(c);
        out += byte >= 0x20 && byte < 0x7F && c != '\\' ? QString(QLatin1Char(c))
                                                        : QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return out;
}

// The zip reader says what it dislikes with qWarning; the caller gets the
// reason instead, so those lines stay off the terminal. One thread loads.
class ZipWarningsMuted
{
public:
    ZipWarningsMuted() { previous = qInstallMessageHandler(&filter); }
    ~ZipWarningsMuted() { qInstallMessageHandler(previous); }
    ZipWarningsMuted(const ZipWarningsMuted &) = delete;
    ZipWarningsMuted &operator=(const ZipWarningsMuted &) = delete;

private:
    static void filter(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (!message.startsWith(QLatin1String("QZip:")) && previous)
            previous(type, context, message);
    }
    static QtMessageHandler previous;
};
QtMessageHandler ZipWarningsMuted::previous = nullptr;

// The whole file, if it is a regular file within the size cap. The size comes
// first because read(MaxPackageSize) would allocate the whole cap; a file that
// grew meanwhile is still refused. A device or a FIFO would never end.
QByteArray readArchive(const QString &path, QString *problem)
{
    const QFileInfo info(path);
    QFile file(path);
    if (!info.exists())
        *problem = QStringLiteral("no such file");
    else if (!info.isFile())
        *problem = QStringLiteral("not a regular file");
    else if (!file.open(QIODevice::ReadOnly))
        *problem = QStringLiteral("cannot be read: %1").arg(file.errorString());
    if (!problem->isEmpty())
        return QByteArray();
    QByteArray zip = file.size() <= MaxPackageSize ? file.read(MaxPackageSize + 1) : QByteArray();
    if (file.size() > MaxPackageSize || zip.size() > MaxPackageSize)
        *problem = QStringLiteral("larger than %1 bytes").arg(MaxPackageSize);
    else if (file.error() != QFileDevice::NoError)
        *problem = QStringLiteral("cannot be read: %1").arg(file.errorString());
    return problem->isEmpty() ? zip : QByteArray();
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

// Whether an extra field block (within the archive's bounds) holds a ZIP64 record.
bool hasZip64Field(const QByteArray &zip, qint64 offset, qint64 length)
{
    for (qint64 pos = offset; pos + 4 <= offset + length; pos += 4 + readLe16(zip, pos + 2)) {
        if (readLe16(zip, pos) == 0x0001)
            return true;
    }
    return false;
}

// Walks the end record, the central directory and each local header, bounds
// checked at every step. No multi-disk, ZIP64 or archive comments that hide
// the end record. Every entry's data lies before the directory, and no two
// entries share bytes: overlapping entries let a small archive unpack to many
// times its size. On failure *problem says which rule the archive broke.
bool readRawEntries(const QByteArray &zip, QVector<RawEntry> *entries, QString *problem)
{
    const auto fail = [problem](const QString &why) {
        *problem = why;
        return false;
    };
    const QString zip64 = QStringLiteral("ZIP64 archive, not supported");
    const qint64 size = zip.size();
    const qint64 EndRecordSize = 22;
    qint64 end = -1;
    for (qint64 pos = size - EndRecordSize; pos >= 0 && pos >= size - EndRecordSize - 0xFFFF; --pos) {
        if (readLe32(zip, pos) == 0x06054b50u) {
            end = pos;
            break;
        }
    }
    if (end < 0)
        return fail(QStringLiteral("not a zip archive"));
    const int count = readLe16(zip, end + 10);
    const qint64 directorySize = readLe32(zip, end + 12);
    const qint64 directoryStart = readLe32(zip, end + 16);
    if ((end >= 20 && readLe32(zip, end - 20) == 0x07064b50u) || count == 0xFFFF || directorySize == 0xFFFFFFFF
        || directoryStart == 0xFFFFFFFF)
        return fail(zip64);
    if (readLe16(zip, end + 4) != 0 || readLe16(zip, end + 6) != 0)
        return fail(QStringLiteral("archive spans several disks"));
    if (count == 0)
        return fail(QStringLiteral("no entries"));
    if (count > MaxEntries)
        return fail(QStringLiteral("too many entries: %1, at most %2").arg(count).arg(MaxEntries));
    if (readLe16(zip, end + 8) != count)
        return fail(QStringLiteral("the end record's entry counts disagree"));
    qint64 pos = directoryStart;
    if (pos + directorySize > end)
        return fail(QStringLiteral("central directory runs past its end record"));
    for (int i = 0; i < count; ++i) {
        if (pos + 46 > end || readLe32(zip, pos) != 0x02014b50u)
            return fail(QStringLiteral("central directory record %1 damaged").arg(i + 1));
        RawEntry entry;
        const int versionNeeded = readLe16(zip, pos + 6);
        entry.flags = readLe16(zip, pos + 8);
        entry.method = readLe16(zip, pos + 10);
        entry.crc = readLe32(zip, pos + 16);
        entry.compressedSize = readLe32(zip, pos + 20);
        entry.uncompressedSize = readLe32(zip, pos + 24);
        const int nameLength = readLe16(zip, pos + 28);
        const int extraLength = readLe16(zip, pos + 30);
        const qint64 recordSize = 46 + nameLength + extraLength + readLe16(zip, pos + 32);
        entry.localOffset = readLe32(zip, pos + 42);
        if (pos + recordSize > end)
            return fail(QStringLiteral("central directory record %1 damaged").arg(i + 1));
        entry.name = zip.mid(int(pos + 46), nameLength);
        const QString name = shown(entry.name);
        const qint64 local = entry.localOffset;
        if (local + 30 > directoryStart || readLe32(zip, local) != 0x04034b50u)
            return fail(QStringLiteral("no local header for %1").arg(name));
        entry.localFlags = readLe16(zip, local + 6);
        entry.localMethod = readLe16(zip, local + 8);
        const int localNameLength = readLe16(zip, local + 26);
        const int localExtraLength = readLe16(zip, local + 28);
        entry.dataOffset = local + 30 + localNameLength + localExtraLength;
        if (entry.dataOffset > directoryStart)
            return fail(QStringLiteral("local header of %1 runs into the central directory").arg(name));
        if (entry.compressedSize == 0xFFFFFFFF || entry.uncompressedSize == 0xFFFFFFFF || local == 0xFFFFFFFF
            || readLe32(zip, local + 18) == 0xFFFFFFFF || readLe32(zip, local + 22) == 0xFFFFFFFF
            || hasZip64Field(zip, pos + 46 + nameLength, extraLength)
            || hasZip64Field(zip, local + 30 + localNameLength, localExtraLength))
            return fail(zip64);
        // The zip reader unpacks what version 2.0 can describe, nothing newer.
        if (versionNeeded > 20)
            return fail(QStringLiteral("%1 needs zip version %2.%3 to unpack")
                                .arg(name)
                                .arg(versionNeeded / 10)
                                .arg(versionNeeded % 10));
        if (entry.dataOffset + entry.compressedSize > directoryStart)
            return fail(QStringLiteral("data of %1 runs into the central directory").arg(name));
        entries->append(entry);
        pos += recordSize;
    }
    QVector<RawEntry> byOffset = *entries;
    std::sort(byOffset.begin(), byOffset.end(),
              [](const RawEntry &a, const RawEntry &b) { return a.localOffset < b.localOffset; });
    for (int i = 1; i < byOffset.size(); ++i) {
        if (byOffset.at(i).localOffset < byOffset.at(i - 1).dataOffset + byOffset.at(i - 1).compressedSize)
            return fail(QStringLiteral("entries overlap"));
    }
    return true;
}

// How many bytes a deflated entry inflates to, counted no further than one
// byte past its declared size, so that the reader is only ever asked for data
// of the declared size; -1 when the stream is damaged.
qint64 inflatedSize(const QByteArray &zip, const RawEntry &entry)
{
    z_stream stream = {};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return -1;
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
    return result == Z_STREAM_END || produced > entry.uncompressedSize ? produced : -1;
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
// makes the whole package unreadable; problem() says which.
class PackageExtractor
{
public:
    PackageExtractor(const QByteArray &zip, const QVector<RawEntry> &raw, const QZipReader &reader,
                     const QString &dirPath)
        : zip(zip), raw(raw), reader(reader), dir(dirPath), entries(reader.fileInfoList())
    {
        if (entries.size() != raw.size())
            fail(QStringLiteral("the zip reader lists %1 of the %2 entries").arg(entries.size()).arg(raw.size()));
    }
    bool isReadable() const { return readable; }
    QString problem() const { return firstProblem; }

    // The bytes of the entry that a manifest names, both names cleaned; empty
    // when no entry has the name. One name for two entries is ambiguous.
    QByteArray extract(const QString &name)
    {
        const QString wanted = QDir::cleanPath(name);
        int found = -1;
        for (int i = 0; readable && !wanted.isEmpty() && i < raw.size(); ++i) {
            if (QDir::cleanPath(QString::fromUtf8(raw.at(i).name)) != wanted)
                continue;
            if (found >= 0) // which of the two would be meant?
                fail(QStringLiteral("two entries named %1").arg(shown(wanted.toUtf8())));
            found = i;
        }
        if (readable && found < 0)
            note(QStringLiteral("%1 is not in the archive").arg(shown(name.toUtf8())));
        if (!readable || found < 0)
            return QByteArray();
        if (!written.contains(wanted))
            extractEntry(found);
        written.insert(wanted);
        QFile file(dir.filePath(wanted));
        return readable && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Something missing that leaves the package readable; the first one counts.
    void note(const QString &why)
    {
        if (firstProblem.isEmpty())
            firstProblem = why;
    }

private:
    bool fail(const QString &why)
    {
        if (readable)
            firstProblem = why;
        readable = false;
        return false;
    }

    bool extractEntry(int index)
    {
        const RawEntry &entry = raw.at(index);
        const QZipReader::FileInfo &info = entries.at(index);
        const QString name = shown(entry.name);
        QString path;
        if (!isSafeEntryName(entry.name, &path))
            return fail(QStringLiteral("unsafe entry name %1").arg(name));
        if (info.isSymLink)
            return fail(QStringLiteral("%1 is a link").arg(name));
        if (!info.isFile || info.isDir)
            return fail(QStringLiteral("%1 is not a file").arg(name));
        if ((entry.flags | entry.localFlags) & 0x1)
            return fail(QStringLiteral("%1 is encrypted").arg(name));
        if (entry.method != entry.localMethod)
            return fail(QStringLiteral("%1 has one compression method in its local header, another in the "
                                       "central directory")
                                .arg(name));
        if (entry.method != 0 && entry.method != 8)
            return fail(QStringLiteral("%1 uses compression method %2").arg(name).arg(entry.method));
        if (entry.uncompressedSize > MaxExtractedBytes - extractedBytes)
            return fail(QStringLiteral("unpacks to more than %1 bytes").arg(MaxExtractedBytes));
        if (entry.method == 0 && entry.compressedSize != entry.uncompressedSize)
            return fail(QStringLiteral("%1 is stored with two different sizes").arg(name));
        const qint64 inflated = entry.method == 8 ? inflatedSize(zip, entry) : entry.uncompressedSize;
        if (inflated > entry.uncompressedSize)
            return fail(
                    QStringLiteral("%1 inflates beyond its declared %2 bytes").arg(name).arg(entry.uncompressedSize));
        if (inflated != entry.uncompressedSize)
            return fail(QStringLiteral("%1 does not inflate to its declared %2 bytes")
                                .arg(name)
                                .arg(entry.uncompressedSize));
        const QByteArray data = reader.fileData(QString::fromLatin1(entry.name));
        if (data.size() != entry.uncompressedSize)
            return fail(QStringLiteral("%1 does not unpack to its declared %2 bytes")
                                .arg(name)
                                .arg(entry.uncompressedSize));
        if (crc32(0, reinterpret_cast<const Bytef *>(data.constData()), uInt(data.size())) != entry.crc)
            return fail(QStringLiteral("CRC-32 of %1 does not match").arg(name));
        extractedBytes += data.size();
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        QFile file(dir.filePath(path));
        if ((slash > 0 && !dir.mkpath(path.left(slash))) || !file.open(QIODevice::WriteOnly | QIODevice::NewOnly)
            || file.write(data) != data.size())
            return fail(QStringLiteral("%1 cannot be unpacked: %2").arg(name, file.errorString()));
        return true;
    }

    const QByteArray &zip;
    const QVector<RawEntry> &raw;
    const QZipReader &reader;
    const QDir dir;
    const QVector<QZipReader::FileInfo> entries;
    QSet<QString> written;
    qint64 extractedBytes = 0;
    bool readable = true;
    QString firstProblem;
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

Dfu::UpdateImage Dfu::readPackage(ImageType type, const QString &packagePath, QString *problem)
{
    return loadPackage(type, packagePath, problem);
}

Dfu::UpdateImage Dfu::loadPackage(ImageType type, const QString &packagePath, QString *problem)
{
    initDfuResources();
    UpdateImage result;
    result.type = type;
    QString why;
    const auto refused = [&](const QString &reason) {
        if (problem)
            *problem = reason;
        return result;
    };

    // The archive is read once into memory, so that the checks and the reader
    // see the same bytes, and walked before the zip reader sees any of it.
    const QByteArray zip = readArchive(packagePath, &why);
    QVector<RawEntry> raw;
    if (!why.isEmpty() || !readRawEntries(zip, &raw, &why))
        return refused(why);
    QTemporaryDir dir;
    if (!dir.isValid())
        return refused(QStringLiteral("no temporary folder: %1").arg(dir.errorString()));
    const ZipWarningsMuted muted;
    QBuffer buffer;
    buffer.setData(zip);
    buffer.open(QIODevice::ReadOnly);
    QZipReader reader(&buffer);
    PackageExtractor extractor(zip, raw, reader, dir.path());

    const QString key =
            type == SoftDeviceBootloader ? QStringLiteral("softdevice_bootloader") : QStringLiteral("application");
    QJsonParseError parsed;
    const QJsonDocument manifest = QJsonDocument::fromJson(extractor.extract(QStringLiteral("manifest.json")), &parsed);
    if (extractor.isReadable() && parsed.error == QJsonParseError::DeepNesting)
        extractor.note(QStringLiteral("manifest.json nests too deeply"));
    else if (extractor.isReadable() && parsed.error != QJsonParseError::NoError)
        extractor.note(QStringLiteral("manifest.json is not valid JSON (at byte %1)").arg(parsed.offset));
    const QJsonObject entry = manifest.object().value(QStringLiteral("manifest")).toObject().value(key).toObject();
    if (entry.isEmpty())
        extractor.note(QStringLiteral("manifest.json has no \"%1\" entry").arg(key));
    QByteArray files[2];
    const QString fileKeys[2] = { QStringLiteral("bin_file"), QStringLiteral("dat_file") };
    for (int i = 0; i < 2; ++i) {
        const QJsonValue name = entry.value(fileKeys[i]);
        if (!name.isString())
            extractor.note(QStringLiteral("the \"%1\" entry has no \"%2\"").arg(key, fileKeys[i]));
        files[i] = extractor.extract(name.toString());
    }
    reader.close();
    // A named entry that failed its checks leaves the package unreadable as a whole.
    if (!extractor.isReadable())
        return refused(extractor.problem());

    result.image = files[0];
    result.initPacket = files[1];
    if (type == SoftDeviceBootloader) {
        result.sdSize = manifestSize(entry.value(QStringLiteral("sd_size")));
        result.blSize = manifestSize(entry.value(QStringLiteral("bl_size")));
    } else {
        result.appSize = result.image.size();
    }
    return refused(extractor.problem());
}
