// Update packages: what loading gives for the package loader's fuzz seeds (tst_fuzzregressions replays the same files
// through the check that nothing is left behind or written outside the temporary location).
#include "testhelpers.h"

#include <QtTest>

enum Read { Nothing, InitOnly, ImageAndInit };
Q_DECLARE_METATYPE(Read)

namespace {

// The temporary location in a folder of its own: what loading leaves behind shows without a hook in the loader.
struct ScratchTemp
{
    QTemporaryDir folder;
    const QByteArray previous = qgetenv("TMPDIR");
    ScratchTemp() { qputenv("TMPDIR", QFile::encodeName(folder.path())); }
    ~ScratchTemp() { previous.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", previous); }
};

} // namespace

class PackageTest : public QObject
{
    Q_OBJECT

private slots:
    // Seed files (or a system path): what was read of image and init packet, why not the rest, sizes sd, bl, app.
    void packageLoadsWhatItCan_data()
    {
        QTest::addColumn<Dfu::ImageType>("type");
        QTest::addColumn<Read>("read");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QVector<int>>("sizes");
        const auto row = [](const char *seed, Dfu::ImageType type, Read read, const char *problem,
                            const QVector<int> &sizes = { 0, 0, 0 }) {
            QTest::addRow("%s", seed) << type << read << QString(problem) << sizes;
        };
        row("application.zip", Dfu::Application, ImageAndInit, "", { 0, 0, 768 });
        row("softdevice-bootloader.zip", Dfu::SoftDeviceBootloader, ImageAndInit, "", { 512, 256, 0 });
        row("deflated.zip", Dfu::Application, ImageAndInit, "", { 0, 0, 768 });
        row("in-subfolder.zip", Dfu::Application, ImageAndInit, "", { 0, 0, 768 });
        row("sizes-as-text-and-fraction.zip", Dfu::SoftDeviceBootloader, ImageAndInit, "");
        row("no-bin-file.zip", Dfu::Application, InitOnly, R"(the "application" entry has no "bin_file")");
        row("broken-json.zip", Dfu::Application, Nothing, "manifest.json is not valid JSON (at byte 29)");
        row("deep-json.zip", Dfu::Application, Nothing, "manifest.json nests too deeply");
        row("no-manifest.zip", Dfu::Application, Nothing, "manifest.json is not in the archive");
        row("not-a-zip", Dfu::Application, Nothing, "not a zip archive");
        row("/dev/zero", Dfu::Application, Nothing, "not a regular file");
        row("parent-path.zip", Dfu::Application, Nothing, "unsafe entry name ../image.bin");
        row("absolute-path.zip", Dfu::Application, Nothing, "unsafe entry name /tmp/orvik-absolute.bin");
        row("symlink.zip", Dfu::Application, Nothing, "image.bin is a link");
        row("duplicate-name.zip", Dfu::Application, Nothing, "two entries named image.bin");
        row("extra-entry-not-ascii.zip", Dfu::Application, ImageAndInit, "", { 0, 0, 768 });
        row("manifest-names-dot-slash.zip", Dfu::Application, ImageAndInit, "", { 0, 0, 768 });
        row("overlapping-entries.zip", Dfu::Application, Nothing, "entries overlap");
        row("crc-mismatch.zip", Dfu::Application, Nothing, "CRC-32 of image.bin does not match");
        row("over-the-cap.zip", Dfu::Application, Nothing, "unpacks to more than 2097152 bytes");
        row("encrypted-flag.zip", Dfu::Application, Nothing, "manifest.json is encrypted"); // in its local header only
        row("method-differs.zip", Dfu::Application, Nothing,
            "image.bin has one compression method in its local header, another in the central directory");
        row("prefixed.zip", Dfu::Application, Nothing, "the zip reader lists 0 of the 3 entries");
        row("stored-sizes-differ.zip", Dfu::Application, Nothing, "image.bin is stored with two different sizes");
        row("inflates-beyond-its-size.zip", Dfu::Application, Nothing,
            "image.bin inflates beyond its declared 512 bytes");
        row("zip64.zip", Dfu::Application, Nothing, "ZIP64 archive, not supported");
        row("too-many-entries.zip", Dfu::Application, Nothing, "too many entries: 65, at most 64");
    }
    // Loading takes away what it unpacked; what the zip reader objects to is said in the reason alone.
    void packageLoadsWhatItCan()
    {
        QFETCH(Dfu::ImageType, type);
        QFETCH(Read, read);
        QFETCH(QString, problem);
        QFETCH(QVector<int>, sizes);
        const QString tag = QTest::currentDataTag();
        const QString path = tag.startsWith('/') ? tag : QFINDTESTDATA("fuzz/corpus/loadpackage/" + tag);
        QVERIFY(QFile::exists(path));
        QByteArray seedImage; // as tests/fuzz/make-corpus writes it
        for (int i = 0; i < 768; ++i)
            seedImage += char(i);
        const ScratchTemp temp;
        static QStringList messages;
        messages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
                [](QtMsgType, const QMessageLogContext &, const QString &text) { messages << text; });
        QString why;
        const Dfu::UpdateImage image = Dfu::readPackage(type, path, &why);
        qInstallMessageHandler(previous);
        QCOMPARE(why, problem);
        QCOMPARE(messages, QStringList());
        QCOMPARE(image.image, read == ImageAndInit ? seedImage : QByteArray());
        QCOMPARE(image.initPacket,
                 read == Nothing ? QByteArray() : QByteArray::fromHex("FFFFFFFFFFFFFFFF0100FEFF0551"));
        QCOMPARE(QVector<int>({ image.sdSize, image.blSize, image.appSize }), sizes);
        QVERIFY(QDir(temp.folder.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
    }
};

QTEST_GUILESS_MAIN(PackageTest)
#include "tst_dfupackage.moc"
