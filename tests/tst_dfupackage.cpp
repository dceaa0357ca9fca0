// Update packages: the built-in ones, and what loading gives for the package
// loader's fuzz seeds (tst_fuzzregressions replays the same files through the
// check that nothing is left behind or written outside the temporary location).
#include "dfu.h"

#include <QtTest>

class DfuTest : public QObject
{
    Q_OBJECT

private slots:
    // Also the guard for a maintainer dropping in real packages: the init
    // packet carries the image's CRC and the announced sizes add up to it.
    void builtInPackagesAreConsistent()
    {
        for (const auto &[path, type] : {std::make_pair(":/upgrade/ble_orvik_hx7315_bl_sd.zip", Dfu::SoftDeviceBootloader),
                                         std::make_pair(":/upgrade/ble_orvik_hx7315_app.zip", Dfu::Application)}) {
            const Dfu::UpdateImage image = Dfu::loadPackage(type, path);
            QCOMPARE(image.initPacket.mid(12), Dfu::littleEndian16(Dfu::crc16(image.image)));
            QCOMPARE(image.sdSize + image.blSize + image.appSize, image.image.size());
        }
    }

    // Rows are seed files. Expected: the CRC of the image (ffff when empty,
    // d51a for the seeds' image), the last two bytes of the init packet ("-"
    // when empty), then sdSize blSize appSize.
    void packageLoadsWhatItCan_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("expected");
        QTest::addRow("application.zip") << int(Dfu::Application) << "d51a 0551 0 0 768";
        QTest::addRow("softdevice-bootloader.zip") << int(Dfu::SoftDeviceBootloader) << "d51a 0551 512 256 0";
        QTest::addRow("deflated.zip") << int(Dfu::Application) << "d51a 0551 0 0 768";
        QTest::addRow("in-subfolder.zip") << int(Dfu::Application) << "d51a 0551 0 0 768";
        QTest::addRow("sizes-as-text-and-fraction.zip") << int(Dfu::SoftDeviceBootloader) << "d51a 0551 0 0 0";
        QTest::addRow("no-bin-file.zip") << int(Dfu::Application) << "ffff 0551 0 0 0";
        QTest::addRow("broken-json.zip") << int(Dfu::Application) << "ffff - 0 0 0";
        QTest::addRow("no-manifest.zip") << int(Dfu::Application) << "ffff - 0 0 0";
        QTest::addRow("not-a-zip") << int(Dfu::Application) << "ffff - 0 0 0";
        QTest::addRow("parent-path.zip") << int(Dfu::Application) << "ffff - 0 0 0";
        QTest::addRow("absolute-path.zip") << int(Dfu::Application) << "ffff - 0 0 0";
        QTest::addRow("symlink.zip") << int(Dfu::Application) << "ffff - 0 0 0";
        QTest::addRow("duplicate-name.zip") << int(Dfu::Application) << "ffff - 0 0 0";
        QTest::addRow("extra-entry-not-ascii.zip") << int(Dfu::Application) << "d51a 0551 0 0 768";
        QTest::addRow("manifest-names-dot-slash.zip") << int(Dfu::Application) << "d51a 0551 0 0 768";
        QTest::addRow("overlapping-entries.zip") << int(Dfu::Application) << "ffff - 0 0 0";
        QTest::addRow("crc-mismatch.zip") << int(Dfu::Application) << "ffff - 0 0 0";
        QTest::addRow("over-the-cap.zip") << int(Dfu::Application) << "ffff - 0 0 0";
    }
    void packageLoadsWhatItCan()
    {
        QFETCH(int, type);
        QFETCH(QString, expected);
        const QString path = QFINDTESTDATA(QString("fuzz/corpus/loadpackage/") + QTest::currentDataTag());
        const Dfu::UpdateImage image = Dfu::loadPackage(Dfu::ImageType(type), path);
        const QString first = Dfu::lastExtractionPath;
        Dfu::loadPackage(Dfu::ImageType(type), path);
        QVERIFY(first != Dfu::lastExtractionPath && !QFileInfo::exists(first) && !QFileInfo::exists(Dfu::lastExtractionPath));
        const QStringList got{QString::number(Dfu::crc16(image.image), 16),
                              image.initPacket.isEmpty() ? "-" : image.initPacket.toHex().right(4),
                              QString::number(image.sdSize), QString::number(image.blSize), QString::number(image.appSize)};
        QCOMPARE(got.join(' '), expected);
    }
};

QTEST_GUILESS_MAIN(DfuTest)
#include "tst_dfupackage.moc"
