#include "packages.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

namespace {

const char *const BuiltInBootloader = ":/upgrade/ble_orvik_hx7315_bl_sd.zip";
const char *const BuiltInApplication = ":/upgrade/ble_orvik_hx7315_app.zip";
// The DFU engine refuses larger archives anyway; the copy must not grow memory beyond that.
constexpr qint64 MaxPackageBytes = 32 * 1024 * 1024;
constexpr int FlashBytes = 512 * 1024;
// Legacy init packet: device type, revision, application version, count n,
// n SoftDevice ids, then the image's CRC-16 in its last two bytes.
constexpr int InitFixedBytes = 12;
// n is a 16-bit field, so the layout alone allows 131,082 bytes, and the
// link's 12-bit length field 4,089 (4,095 less the packet code and the two
// zero bytes after the init packet). A device lists one id per SoftDevice
// release it accepts, a handful. The cap is what fits the payload of a data
// packet (the code and 512 bytes), a packet any bootloader this tool talks to
// takes already: 510 bytes, room for 249 ids.
constexpr int MaxInitPacketBytes = Dfu::MaxDataChunk - 2;

QString hex16(quint16 value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

quint16 le16(const QByteArray &bytes, int offset)
{
    return quint16(quint8(bytes.at(offset)) | quint8(bytes.at(offset + 1)) << 8);
}

QString typeName(Dfu::ImageType type)
{
    return type == Dfu::SoftDeviceBootloader ? QStringLiteral("SoftDevice and bootloader")
                                             : QStringLiteral("application");
}

} // namespace

QString PackageSet::check(Dfu::ImageType type, const Dfu::UpdateImage &image, const QString &problem)
{
    const QString entry =
            type == Dfu::SoftDeviceBootloader ? QStringLiteral("softdevice_bootloader") : QStringLiteral("application");
    if (!problem.isEmpty())
        return QStringLiteral("package: ") + problem;
    if (image.image.isEmpty())
        return QStringLiteral("package: no image file (\"bin_file\" of the \"%1\" entry)").arg(entry);
    if (image.initPacket.isEmpty())
        return QStringLiteral("package: no init packet file (\"dat_file\" of the \"%1\" entry)").arg(entry);
    const int initBytes = image.initPacket.size();
    if (initBytes > MaxInitPacketBytes)
        return QStringLiteral("init packet: %1 bytes, more than the %2 that fit one packet")
                .arg(initBytes)
                .arg(MaxInitPacketBytes);
    if (initBytes < InitFixedBytes + 2 || initBytes != InitFixedBytes + 2 * le16(image.initPacket, 8))
        return QStringLiteral("init packet: %1 bytes do not fit its SoftDevice list").arg(initBytes);
    const int imageBytes = image.image.size();
    if (type == Dfu::SoftDeviceBootloader
        && (image.sdSize <= 0 || image.blSize <= 0 || qint64(image.sdSize) + image.blSize != imageBytes))
        return QStringLiteral("sizes: image of %1 bytes, manifest sd_size %2 + bl_size %3")
                .arg(imageBytes)
                .arg(image.sdSize)
                .arg(image.blSize);
    if (imageBytes % 4 != 0 || image.sdSize % 4 != 0 || image.blSize % 4 != 0)
        return QStringLiteral("word alignment: image %1, sd_size %2, bl_size %3 bytes")
                .arg(imageBytes)
                .arg(image.sdSize)
                .arg(image.blSize);
    if (imageBytes > FlashBytes)
        return QStringLiteral("size: image of %1 bytes exceeds the %2-byte flash").arg(imageBytes).arg(FlashBytes);
    const quint16 expected = le16(image.initPacket, initBytes - 2);
    const quint16 actual = Dfu::crc16(image.image);
    if (actual != expected)
        return QStringLiteral("CRC: image CRC-16 %1, init packet says %2").arg(hex16(actual), hex16(expected));
    return QString();
}

bool PackageSet::prepare(const QString &bootloader, const QString &application, QString *error)
{
    infos.clear();
    if (bootloader.isEmpty() && application.isEmpty()) {
        QString unused;
        return add(Dfu::SoftDeviceBootloader, QString::fromLatin1(BuiltInBootloader), &unused, error)
                && add(Dfu::Application, QString::fromLatin1(BuiltInApplication), &unused, error);
    }
    dir = std::make_unique<QTemporaryDir>();
    if (!dir->isValid()) {
        *error = QStringLiteral("cannot create a temporary directory: %1").arg(dir->errorString());
        return false;
    }
    return add(Dfu::SoftDeviceBootloader, bootloader, &bootloaderCopy, error)
            && add(Dfu::Application, application, &applicationCopy, error);
}

bool PackageSet::add(Dfu::ImageType type, const QString &path, QString *copy, QString *error)
{
    const bool builtIn = path.startsWith(QLatin1String(":/"));
    const auto failed = [&](const QString &what) {
        *error = QStringLiteral("%1 (%2 package): %3").arg(path, typeName(type), what);
        return false;
    };
    QString source = path;
    QFile file(path);
    QByteArray bytes;
    if (builtIn) {
        if (file.open(QIODevice::ReadOnly))
            bytes = file.readAll();
    } else {
        if (!QFileInfo::exists(path))
            return failed(QStringLiteral("readable: no such file"));
        // A folder, a FIFO or a device such as /dev/zero: none has an end to read to.
        if (!QFileInfo(path).isFile())
            return failed(QStringLiteral("readable: not a regular file"));
        if (!file.open(QIODevice::ReadOnly))
            return failed(QStringLiteral("readable: %1").arg(file.errorString()));
        if (file.size() > MaxPackageBytes)
            return failed(QStringLiteral("readable: larger than %1 bytes").arg(MaxPackageBytes));
        bytes = file.readAll();
        if (bytes.size() > MaxPackageBytes)
            return failed(QStringLiteral("readable: larger than %1 bytes").arg(MaxPackageBytes));
        source = dir->filePath(type == Dfu::SoftDeviceBootloader ? QStringLiteral("bootloader.zip")
                                                                 : QStringLiteral("application.zip"));
        QFile out(source);
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly) || out.write(bytes) != bytes.size() || !out.flush())
            return failed(QStringLiteral("copy: %1").arg(out.errorString()));
    }
    QString problem;
    const Dfu::UpdateImage image = Dfu::readPackage(type, source, &problem);
    problem = check(type, image, problem);
    if (!problem.isEmpty())
        return failed(problem);
    *copy = builtIn ? QString() : source;
    infos.append({ QFileInfo(path).fileName(), builtIn ? path : QFileInfo(path).absoluteFilePath(),
                   QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()), type,
                   bytes.size(), int(image.image.size()), Dfu::crc16(image.image) });
    return true;
}
