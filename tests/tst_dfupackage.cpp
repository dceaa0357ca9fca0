// Update packages: the built-in ones, malformed ones, and where unpacking may write.
#include "dfu.h"

#include <QBuffer>
#include <QResource>
#include <QTemporaryDir>
#include <QtTest>

#include <private/qzipwriter_p.h>

using Entries = QList<QPair<QString, QByteArray>>;

static const QByteArray binData = QByteArray("0123456789").repeated(100), datData = QByteArray::fromHex("ffffffffffffffff0100feff1234");

// An archive of the entries; a name "link:x" makes x a symbolic link to the content.
static QByteArray zip(const Entries &entries, QZipWriter::CompressionPolicy policy = QZipWriter::NeverCompress)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QZipWriter writer(&buffer);
    writer.setCompressionPolicy(policy);
    for (const auto &entry : entries)
        entry.first.startsWith("link:") ? writer.addSymLink(entry.first.mid(5), entry.second) : writer.addFile(entry.first, entry.second);
    writer.close();
    return buffer.data();
}

static Entries package(const char *key, const char *members)
{
    return {{"manifest.json", QString(R"({"manifest": {"dfu_version": 0.5, "%1": {%2}}})").arg(key, members).toUtf8()},
            {"a.bin", binData}, {"a.dat", datData}};
}

class DfuTest : public QObject
{
    Q_OBJECT

    QTemporaryDir sandbox; // tmp/ is the temporary location, pkg/ holds the package under test
    QString tmp = sandbox.filePath("tmp");

private slots:
    void initTestCase()
    {
        QVERIFY(QDir(sandbox.path()).mkpath("tmp") && QDir(sandbox.path()).mkpath("pkg"));
        qputenv("TMPDIR", QFile::encodeName(tmp));
    }

    // Also the guard for a maintainer dropping in real packages: the init
    // packet carries the image's CRC and the announced sizes add up to it.
    void builtInPackagesAreConsistent()
    {
        for (const auto &[path, type, size] : {std::make_tuple(":/upgrade/ble_orvik_hx7315_bl_sd.zip", Dfu::SoftDeviceBootloader, qint64(125484)),
                                               std::make_tuple(":/upgrade/ble_orvik_hx7315_app.zip", Dfu::Application, qint64(60080))}) {
            const Dfu::UpdateImage image = Dfu::loadPackage(type, path);
            QCOMPARE(image.initPacket.mid(12), Dfu::littleEndian16(Dfu::crc16(image.image)));
            QCOMPARE(image.sdSize + image.blSize + image.appSize, image.image.size());
            QCOMPARE(QFile(path).size(), size);
            QCOMPARE(QResource(path).compressionAlgorithm(), QResource::NoCompression);
        }
    }

    // Expected: image and init packet ("-" when empty), then sdSize blSize appSize.
    void packageLoadsWhatItCan_data()
    {
        const Entries good = package("softdevice_bootloader", R"("bin_file": "a.bin", "dat_file": "a.dat", "sd_size": 600, "bl_size": 400)");
        const int sd = Dfu::SoftDeviceBootloader;
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QString>("expected");
        QTest::addRow("storedEntries") << sd << zip(good) << "bin dat 600 400 0";
        QTest::addRow("deflatedEntries") << sd << zip(good, QZipWriter::AlwaysCompress) << "bin dat 600 400 0";
        QTest::addRow("applicationSizeFromImageSdSizeIgnored") << int(Dfu::Application)
            << zip(package("application", R"("bin_file": "a.bin", "dat_file": "a.dat", "sd_size": 600)")) << "bin dat 0 0 1000";
        QTest::addRow("sdSizeAsString") << sd << zip(package("softdevice_bootloader",
            R"("bin_file": "a.bin", "dat_file": "a.dat", "sd_size": "600", "bl_size": 400)")) << "bin dat 0 400 0";
        QTest::addRow("sizesAsFractionAndBeyond32Bits") << sd << zip(package("softdevice_bootloader",
            R"("bin_file": "a.bin", "dat_file": "a.dat", "sd_size": 100.5, "bl_size": 4294967296)")) << "bin dat 0 0 0";
        QTest::addRow("noBinFile") << sd << zip(package("softdevice_bootloader", R"("dat_file": "a.dat")")) << "- dat 0 0 0";
        QTest::addRow("binFileOutsideTheArchive") << sd << zip(package("softdevice_bootloader",
            R"("bin_file": "../../pkg/package.zip", "dat_file": "a.dat")")) << "- dat 0 0 0";
        QTest::addRow("noManifest") << sd << zip(good.mid(1)) << "- - 0 0 0";
        QTest::addRow("notAZipArchive") << sd << QByteArray("manifest.json a.bin a.dat") << "- - 0 0 0";
        QTest::addRow("entryClimbingOut") << sd << zip(good + Entries{{"../evil", "x"}}) << "- - 0 0 0";
        QTest::addRow("entryClimbingOutMidPath") << sd << zip(good + Entries{{"a/../../evil", "x"}}) << "- - 0 0 0";
        QTest::addRow("entryWithAbsoluteName") << sd << zip(good + Entries{{sandbox.filePath("evil"), "x"}}) << "- - 0 0 0";
        QTest::addRow("linkEntry") << sd << zip(good + Entries{{"link:evil", sandbox.path().toUtf8()}}) << "- - 0 0 0";
    }
    // Each load unpacks into a directory of its own, removed before it returns;
    // nothing is written anywhere else.
    void packageLoadsWhatItCan()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, archive);
        QFETCH(QString, expected);
        QFile file(sandbox.filePath("pkg/package.zip"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(archive) == archive.size());
        file.close();
        const Dfu::UpdateImage image = Dfu::loadPackage(Dfu::ImageType(type), file.fileName());
        const QString first = Dfu::lastExtractionPath;
        QCOMPARE(Dfu::loadPackage(Dfu::ImageType(type), file.fileName()).image, image.image);
        QVERIFY(first.startsWith(tmp + '/') && Dfu::lastExtractionPath.startsWith(tmp + '/') && first != Dfu::lastExtractionPath);
        const QStringList got{image.image == binData ? "bin" : image.image.isEmpty() ? "-" : "?",
                              image.initPacket == datData ? "dat" : image.initPacket.isEmpty() ? "-" : "?",
                              QString::number(image.sdSize), QString::number(image.blSize), QString::number(image.appSize)};
        QCOMPARE(got.join(' '), expected);
        QCOMPARE(QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
        QCOMPARE(QDir(sandbox.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList({"pkg", "tmp"}));
    }
};

QTEST_GUILESS_MAIN(DfuTest)
#include "tst_dfupackage.moc"
