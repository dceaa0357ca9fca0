// The serial DFU packet link: what the updater queues and puts on the wire,
// and how a reply is judged. Unescaping is checked for round trips by
// tst_fuzzregressions; what a bad escape decodes to is never used.
#include "dfu.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <private/qzipwriter_p.h>

enum Run { Pair, BootloaderAlone };
Q_DECLARE_METATYPE(Run)

namespace {

// The documented example packages: their sizes and CRCs give the documented frames.
const int SdSize = 108212, BlSize = 16392, AppSize = 59212;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QString writePackage(const QTemporaryDir &dir, Dfu::ImageType type, const char *crc)
{
    const bool sdBl = type == Dfu::SoftDeviceBootloader;
    QJsonObject entry{ { "bin_file", "image.bin" }, { "dat_file", "image.dat" } };
    if (sdBl)
        entry.insert("sd_size", SdSize), entry.insert("bl_size", BlSize);
    const QJsonObject manifest{ { "manifest",
                                  QJsonObject{ { sdBl ? "softdevice_bootloader" : "application", entry } } } };
    const QString path = dir.filePath(sdBl ? "sd_bl.zip" : "app.zip");
    QZipWriter zip(path);
    zip.addFile("manifest.json", QJsonDocument(manifest).toJson());
    zip.addFile("image.bin", QByteArray(sdBl ? SdSize + BlSize : AppSize, 'x'));
    zip.addFile("image.dat", hex("FFFFFFFFFFFFFFFF0100FEFF") + hex(crc));
    return path;
}

} // namespace

class DfuTest : public QObject
{
    Q_OBJECT

private slots:
    // A packet of a package is counted from its start; -1 is its stop packet.
    // "frame" is the whole frame, or the header of a data packet.
    void queuedFramesAreExact_data()
    {
        QTest::addColumn<Run>("run");
        QTest::addColumn<int>("package");
        QTest::addColumn<int>("packet");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("delaySeconds");
        const auto row = [](const char *name, Run run, int package, int packet, const char *frame, int delay) {
            QTest::addRow("%s", name) << run << package << packet << hex(frame) << delay;
        };
        row("bootloaderStart", Pair, 0, 0,
            "c0 d1 4e 01 e0 03 00 00 00 03 00 00 00 b4 a6 01 00 08 40 00 00 00 00 00 00 26 47 c0", 1);
        row("fullDataPacketHeader", Pair, 0, 2, "c0 e3 4e 20 af", 0);
        row("bootloaderStopIsSequence7AndPausesBeforeApplication", Pair, 0, -1, "c0 c7 4e 00 eb 05 00 00 00 a5 79 c0",
            1);
        row("applicationStart", Pair, 1, 0,
            "c0 d1 4e 01 e0 03 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 4c e7 00 00 64 ab c0", 1);
        row("applicationInit", Pair, 1, 1,
            "c0 da 4e 01 d7 01 00 00 00 ff ff ff ff ff ff ff ff 01 00 fe ff 05 51 00 00 6d 40 c0", 1);
        row("applicationStopIsSequence7", Pair, 1, -1, "c0 c7 4e 00 eb 05 00 00 00 a5 79 c0", 0);
        row("bootloaderAloneEndsWithoutPause", BootloaderAlone, 0, -1, "c0 c7 4e 00 eb 05 00 00 00 a5 79 c0", 0);
    }
    void queuedFramesAreExact()
    {
        QFETCH(Run, run);
        QFETCH(int, package);
        QFETCH(int, packet);
        QFETCH(QByteArray, frame);
        QFETCH(int, delaySeconds);
        QTemporaryDir dir;
        Dfu dfu(nullptr); // queues, and has no port to write to
        dfu.upgrade(writePackage(dir, Dfu::SoftDeviceBootloader, "37DB"),
                    run == Pair ? writePackage(dir, Dfu::Application, "0551") : QString());
        const int bootloaderPackets = 3 + (SdSize + BlSize + 511) / 512;
        QCOMPARE(dfu.packets.size(), bootloaderPackets + (run == Pair ? 3 + (AppSize + 511) / 512 : 0));
        const int begin = package ? bootloaderPackets : 0, end = package ? dfu.packets.size() : bootloaderPackets;
        const DfuPacket queued = dfu.packets.at(packet >= 0 ? begin + packet : end - 1);
        QCOMPARE(queued.frame.left(frame.size()), frame);
        QCOMPARE(queued.delaySeconds, delaySeconds);
    }

    // The CRC covers the packet as it is; the escaping comes after it.
    void dataPacketOfSequence5EscapesC0AndDb()
    {
        Dfu::sequenceNumber = 4;
        QCOMPARE(Dfu::makeHciPacket(hex("04000000c0db"), 0).frame,
                 hex("c0 f5 6e 00 9d 04 00 00 00 db dc db dd c5 8f c0"));
    }

    // Two packets are queued, of sequence numbers 3 and 4; the reads arrive
    // while the first is outstanding and the second, once written, gets its
    // own acknowledgement: Success means both were acknowledged. "left" waits
    // for the next read.
    void replyJudgedByAcknowledgeBits_data()
    {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<Dfu::ErrorType>("result");
        QTest::addColumn<QByteArray>("left");
        QTest::addRow("acknowledgeNumber4")
                << QByteArrayList{ hex("c0 20 00 00 e0 c0") } << Dfu::Success << QByteArray();
        QTest::addRow("onlyBits3To5Count") << QByteArrayList{ hex("c0 e7 c0") } << Dfu::Success << QByteArray();
        QTest::addRow("noiseBeforeFrameDiscarded")
                << QByteArrayList{ hex("00 7f c0 20 00 00 e0 c0") } << Dfu::Success << QByteArray();
        QTest::addRow("replyInPieces") << QByteArrayList{ hex("c0 20"), hex("00 00"), hex("e0 c0") } << Dfu::Success
                                       << QByteArray();
        // A frame that arrived before a packet was written is never its reply.
        QTest::addRow("duplicateInTheSameRead")
                << QByteArrayList{ hex("c0 20 00 00 e0 c0 c0 20 00 00 e0 c0") } << Dfu::Success << QByteArray();
        QTest::addRow("duplicateInALaterRead")
                << QByteArrayList{ hex("c0 20 00 00 e0 c0"), hex("c0 20 00 00 e0 c0") } << Dfu::Success << QByteArray();
        QTest::addRow("emptyFrameAfterTheAcknowledgement")
                << QByteArrayList{ hex("c0 20 00 00 e0 c0 c0 c0") } << Dfu::Success << QByteArray();
        QTest::addRow("partialFrameBeforeTheNextPacketDropped")
                << QByteArrayList{ hex("c0 20 00 00 e0 c0"), hex("c0 20") } << Dfu::Success << QByteArray();
        QTest::addRow("acknowledgeNumber3")
                << QByteArrayList{ hex("c0 18 00 00 e8 c0") } << Dfu::IncorrectResponseError << QByteArray();
        QTest::addRow("emptyFrame") << QByteArrayList{ hex("c0 c0") } << Dfu::InvalidResponseError << QByteArray();
        QTest::addRow("loneEscape") << QByteArrayList{ hex("c0 db c0") } << Dfu::InvalidResponseError << QByteArray();
        QTest::addRow("badEscape") << QByteArrayList{ hex("c0 20 db 41 00 c0") } << Dfu::InvalidResponseError
                                   << QByteArray();
        QTest::addRow("echoOfTheFrameJustWritten") << QByteArrayList{ hex("c0 e3 4e 00 cf 05 00 00 00 12 8c c0") }
                                                   << Dfu::InvalidResponseError << QByteArray();
        QTest::addRow("silence") << QByteArrayList() << Dfu::NoResponseError << QByteArray();
        QTest::addRow("halfAFrameKeepsTimerRunning")
                << QByteArrayList{ hex("c0 20 00") } << Dfu::NoResponseError << hex("c0 20 00");
    }
    void replyJudgedByAcknowledgeBits()
    {
        QFETCH(QByteArrayList, reads);
        QFETCH(Dfu::ErrorType, result);
        QFETCH(QByteArray, left);
        Dfu dfu(nullptr); // the transfer tests read from a real port
        Dfu::sequenceNumber = 2;
        dfu.packets << Dfu::makeHciPacket(hex("05000000"), 0) << Dfu::makeHciPacket(hex("05000000"), 0);
        QList<Dfu::ErrorType> results;
        connect(&dfu, &Dfu::updateFinished, [&](Dfu::ErrorType error) { results << error; });
        dfu.sendNextPacket();
        for (const QByteArray &read : reads)
            dfu.processReplyBytes(read);
        QTRY_VERIFY_WITH_TIMEOUT(dfu.currentPacket == 1 || !results.isEmpty(), 10000);
        if (results.isEmpty())
            dfu.processReplyBytes(hex("c0 28 00 00 d8 c0"));
        QTRY_COMPARE_WITH_TIMEOUT(results, QList<Dfu::ErrorType>{ result }, 10000);
        QCOMPARE(dfu.replyBuffer, left);
    }
};

QTEST_GUILESS_MAIN(DfuTest)
#include "tst_dfupacket.moc"
