// Update packages: the built-in ones, malformed ones, and where unpacking may write.
#include "dfu.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QResource>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <private/qzipwriter_p.h>

using Entries = QList<QPair<QString, QByteArray>>;

static QByteArray zipOf(const Entries &entries, QZipWriter::CompressionPolicy policy = QZipWriter::NeverCompress)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QZipWriter writer(&buffer);
    writer.setCompressionPolicy(policy);
    for (const auto &entry : entries) {
        if (entry.first.startsWith(QLatin1String("link:")))
            writer.addSymLink(entry.first.mid(5), QString::fromUtf8(entry.second));
        else
            writer.addFile(entry.first, entry.second);
    }
    writer.close();
    return buffer.data();
}

// Makes the archive claim that `name` holds fewer bytes than it inflates to.
static QByteArray understated(QByteArray zip, const QByteArray &name, quint32 size)
{
    const struct { const char *signature; int nameAt; int sizeAt; } headers[] = {{"PK\x01\x02", 46, 24},
                                                                                 {"PK\x03\x04", 30, 22}};
    for (const auto &header : headers) {
        for (int at = zip.indexOf(header.signature); at >= 0; at = zip.indexOf(header.signature, at + 4)) {
            if (zip.mid(at + header.nameAt, name.size()) == name)
                qToLittleEndian(size, zip.data() + at + header.sizeAt);
        }
    }
    return zip;
}

class DfuTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void builtInPackageIsConsistent_data();
    void builtInPackageIsConsistent();
    void logoIs240x80WithAlpha();
    void packageLoadsWhatItCan_data();
    void packageLoadsWhatItCan();
    void twoLoadsUseTwoDirectories();

private:
    QTemporaryDir sandbox;
    QString tmp;
    QString packagePath;
};

void DfuTest::initTestCase()
{
    QVERIFY(sandbox.isValid());
    QVERIFY(QDir(sandbox.path()).mkpath(QStringLiteral("tmp")) && QDir(sandbox.path()).mkpath(QStringLiteral("pkg")));
    tmp = sandbox.filePath(QStringLiteral("tmp"));
    packagePath = sandbox.filePath(QStringLiteral("pkg/package.zip"));
    // Every unpacking directory now lands where the test can see it.
    qputenv("TMPDIR", QFile::encodeName(tmp));
    QCOMPARE(QDir::tempPath(), tmp);
}

void DfuTest::builtInPackageIsConsistent_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("type");
    QTest::addColumn<qint64>("packageSize");
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<QByteArray>("init");
    QTest::addColumn<QList<int>>("sizes");
    QTest::addRow("softdevice and bootloader") << ":/upgrade/ble_orvik_hx7315_bl_sd.zip" << int(Dfu::SoftDeviceBootloader)
        << qint64(125484) << 124604 << QByteArray::fromHex("FFFFFFFFFFFFFFFF0100FEFF37DB") << QList<int>{108212, 16392, 0};
    QTest::addRow("application") << ":/upgrade/ble_orvik_hx7315_app.zip" << int(Dfu::Application) << qint64(60080)
        << 59212 << QByteArray::fromHex("FFFFFFFFFFFFFFFF0100FEFF0551") << QList<int>{0, 0, 59212};
}

// Also the guard for a maintainer dropping in real packages: the init packet's
// CRC must be the image's, and the announced parts must add up to the image.
void DfuTest::builtInPackageIsConsistent()
{
    QFETCH(QString, path);
    QFETCH(int, type);
    QFETCH(qint64, packageSize);
    QFETCH(int, imageSize);
    QFETCH(QByteArray, init);
    QFETCH(QList<int>, sizes);
    const Dfu::UpdateImage image = Dfu::loadPackage(Dfu::ImageType(type), path);
    QCOMPARE(image.type, Dfu::ImageType(type));
    QCOMPARE(image.image.size(), imageSize);
    QCOMPARE(image.initPacket.toHex(' '), init.toHex(' '));
    QCOMPARE((QList<int>{image.sdSize, image.blSize, image.appSize}), sizes);
    QCOMPARE(Dfu::crc16(image.image), qFromLittleEndian<quint16>(image.initPacket.constData() + 12));
    if (image.type == Dfu::SoftDeviceBootloader)
        QCOMPARE(image.sdSize + image.blSize, image.image.size());
    QCOMPARE(QFile(path).size(), packageSize);
    QCOMPARE(QResource(path).compressionAlgorithm(), QResource::NoCompression);
}

void DfuTest::logoIs240x80WithAlpha()
{
    const QImage logo(QStringLiteral(":/CorvaneLogo240x80.png"));
    QCOMPARE(logo.size(), QSize(240, 80));
    QVERIFY(logo.hasAlphaChannel());
    QCOMPARE(QResource(QStringLiteral(":/CorvaneLogo240x80.png")).compressionAlgorithm(), QResource::NoCompression);
}

void DfuTest::packageLoadsWhatItCan_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QByteArray>("init");
    QTest::addColumn<QList<int>>("sizes");

    QByteArray bin;
    for (int i = 0; i < 1000; ++i)
        bin.append(char(i * 7));
    const QByteArray dat = QByteArray::fromHex("FFFFFFFFFFFFFFFF0100FEFF1234");
    const auto manifest = [](const char *key, const char *members) {
        return QStringLiteral("{\"manifest\": {\"dfu_version\": 0.5, \"%1\": {%2}}}")
            .arg(QLatin1String(key), QLatin1String(members)).toUtf8();
    };
    const auto package = [&](const QByteArray &manifestText) {
        return Entries{{"manifest.json", manifestText}, {"a.bin", bin}, {"a.dat", dat}};
    };
    const Entries good = package(manifest("softdevice_bootloader", R"("bin_file": "a.bin", "dat_file": "a.dat",
                                                                     "sd_size": 600, "bl_size": 400)"));
    const int sd = int(Dfu::SoftDeviceBootloader);
    const QByteArray none;
    const QList<int> zero{0, 0, 0};

    QTest::addRow("stored entries") << sd << zipOf(good) << bin << dat << QList<int>{600, 400, 0};
    QTest::addRow("deflated entries") << sd << zipOf(good, QZipWriter::AlwaysCompress) << bin << dat
                                      << QList<int>{600, 400, 0};
    QTest::addRow("application size from the image, sd_size ignored") << int(Dfu::Application)
        << zipOf(package(manifest("application", R"("bin_file": "a.bin", "dat_file": "a.dat", "sd_size": 600)")))
        << bin << dat << QList<int>{0, 0, 1000};
    QTest::addRow("sd_size as a string") << sd << zipOf(package(manifest("softdevice_bootloader",
        R"("bin_file": "a.bin", "dat_file": "a.dat", "sd_size": "600", "bl_size": 400)"))) << bin << dat
        << QList<int>{0, 400, 0};
    QTest::addRow("sizes as a fraction and beyond 32 bits") << sd << zipOf(package(manifest("softdevice_bootloader",
        R"("bin_file": "a.bin", "dat_file": "a.dat", "sd_size": 100.5, "bl_size": 4294967296)"))) << bin << dat
        << zero;
    QTest::addRow("no bin_file") << sd << zipOf(package(manifest("softdevice_bootloader", R"("dat_file": "a.dat")")))
                                 << none << dat << zero;
    QTest::addRow("bin_file not a string") << sd << zipOf(package(manifest("softdevice_bootloader",
        R"("bin_file": 7, "dat_file": "a.dat")"))) << none << dat << zero;
    QTest::addRow("bin_file outside the archive") << sd << zipOf(package(manifest("softdevice_bootloader",
        R"("bin_file": "../../pkg/package.zip", "dat_file": "a.dat")"))) << none << dat << zero;
    QTest::addRow("no image entry for the type") << int(Dfu::Application) << zipOf(good) << none << none << zero;
    QTest::addRow("manifest not JSON") << sd << zipOf(package("{manifest")) << none << none << zero;
    QTest::addRow("no manifest") << sd << zipOf({{"a.bin", bin}, {"a.dat", dat}}) << none << none << zero;
    QTest::addRow("not a zip archive") << sd << QByteArray("manifest.json a.bin a.dat") << none << none << zero;
    QTest::addRow("entry climbing out") << sd << zipOf(good + Entries{{"../evil", "x"}}) << none << none << zero;
    QTest::addRow("entry climbing out mid-path") << sd << zipOf(good + Entries{{"a/../../evil", "x"}}) << none
                                                 << none << zero;
    QTest::addRow("entry with an absolute name") << sd
        << zipOf(good + Entries{{sandbox.filePath(QStringLiteral("evil")), "x"}}) << none << none << zero;
    QTest::addRow("empty entry climbing out") << sd << zipOf(good + Entries{{"../evil", ""}}) << none << none << zero;
    QTest::addRow("link entry") << sd << zipOf(good + Entries{{"link:evil", sandbox.path().toUtf8()}}) << none
                                << none << zero;
    QTest::addRow("entry inflating past its declared size") << sd
        << understated(zipOf(good, QZipWriter::AlwaysCompress), "a.bin", 10) << none << none << zero;
}

void DfuTest::packageLoadsWhatItCan()
{
    QFETCH(int, type);
    QFETCH(QByteArray, package);
    QFETCH(QByteArray, image);
    QFETCH(QByteArray, init);
    QFETCH(QList<int>, sizes);
    QFile file(packagePath);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(package);
    file.close();

    const Dfu::UpdateImage loaded = Dfu::loadPackage(Dfu::ImageType(type), packagePath);
    QCOMPARE(loaded.image, image);
    QCOMPARE(loaded.initPacket, init);
    QCOMPARE((QList<int>{loaded.sdSize, loaded.blSize, loaded.appSize}), sizes);
    // Nothing left in the temporary location, nothing written beside it.
    QCOMPARE(QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    QCOMPARE(QDir(sandbox.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{"pkg", "tmp"}));
}

void DfuTest::twoLoadsUseTwoDirectories()
{
    const QString path = QStringLiteral(":/upgrade/ble_orvik_hx7315_app.zip");
    QCOMPARE(Dfu::loadPackage(Dfu::Application, path).image.size(), 59212);
    const QString first = Dfu::lastExtractionPath;
    QCOMPARE(Dfu::loadPackage(Dfu::Application, path).image.size(), 59212);
    const QString second = Dfu::lastExtractionPath;
    QVERIFY(first.startsWith(tmp + QLatin1Char('/')) && second.startsWith(tmp + QLatin1Char('/')));
    QVERIFY(first != second);
    QCOMPARE(QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
}

QTEST_MAIN(DfuTest)
#include "tst_dfupackage.moc"
