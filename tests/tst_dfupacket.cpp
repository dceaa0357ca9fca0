// The serial DFU packet link: what the updater queues and puts on the wire,
// unescaping, and how a reply is judged.
#include "dfu.h"
#include <QtTest>

static QByteArray hex(const QString &text) { return QByteArray::fromHex(text.toLatin1()); }

class DfuTest : public QObject
{
    Q_OBJECT

    // The frame of a payload packed right after previousSequence.
    static QString made(int previousSequence, const char *payload)
    {
        Dfu::sequenceNumber = previousSequence;
        return Dfu::makeHciPacket(hex(payload), 0).frame.toHex(' ');
    }
    static QString unescaped(const char *input)
    {
        bool ok = false;
        const QByteArray decoded = Dfu::slipDecode(hex(input), &ok);
        return QString(decoded.toHex(' ')) + (ok ? " clean" : " bad");
    }

private slots:
    void bytesAreExact_data()
    {
        const QString bl = ":/upgrade/ble_orvik_hx7315_bl_sd.zip", app = ":/upgrade/ble_orvik_hx7315_app.zip";
        Dfu builtIn(nullptr), bootloaderAlone(nullptr); // what runs queue, without a port to write to
        builtIn.upgrade(bl, app);
        bootloaderAlone.upgrade(bl, "");
        const auto frame = [&builtIn](int index) { return QString(builtIn.packets.at(index).frame.toHex(' ')); };
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");
        QTest::addRow("builtInBootloaderStopPausesBeforeApplication") << QString::number(builtIn.packets.at(246).delaySeconds) << "1";
        QTest::addRow("bootloaderAloneEndsWithoutPause") << QString::number(bootloaderAlone.packets.last().delaySeconds) << "0";
        QTest::addRow("builtInBootloaderStart")
            << frame(0) << "c0 d1 4e 01 e0 03 00 00 00 03 00 00 00 b4 a6 01 00 08 40 00 00 00 00 00 00 26 47 c0";
        QTest::addRow("fullDataPacketHeader") << frame(2).left(14) << "c0 e3 4e 20 af";
        QTest::addRow("builtInBootloaderStopIsSequence7") << frame(246) << "c0 c7 4e 00 eb 05 00 00 00 a5 79 c0";
        QTest::addRow("builtInApplicationStart")
            << frame(247) << "c0 d1 4e 01 e0 03 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 4c e7 00 00 64 ab c0";
        QTest::addRow("builtInApplicationInit")
            << frame(248) << "c0 da 4e 01 d7 01 00 00 00 ff ff ff ff ff ff ff ff 01 00 fe ff 05 51 00 00 6d 40 c0";
        QTest::addRow("builtInApplicationStopIsSequence7") << frame(365) << "c0 c7 4e 00 eb 05 00 00 00 a5 79 c0";
        QTest::addRow("stopPacketOfSequence3") << made(2, "05000000") << "c0 e3 4e 00 cf 05 00 00 00 12 8c c0";
        QTest::addRow("dataPacketOfSequence5EscapesC0AndDb")
            << made(4, "04000000c0db") << "c0 f5 6e 00 9d 04 00 00 00 db dc db dd c5 8f c0";
        QTest::addRow("sequenceWrapsFrom7To0") << made(7, "05000000") << "c0 c8 4e 00 ea 05 00 00 00 36 0a c0";
        QTest::addRow("crcCheckValueLowByteFirst") << QString(Dfu::littleEndian16(Dfu::crc16("123456789")).toHex(' ')) << "b1 29";
        QTest::addRow("unescapeDelimiter") << unescaped("20 db dc 21") << "20 c0 21 clean";
        QTest::addRow("unescapeEscape") << unescaped("db dd") << "db clean";
        QTest::addRow("bareDelimiterCopied") << unescaped("c0 20") << "c0 20 clean";
        QTest::addRow("unescapeNothing") << unescaped("") << " clean";
        QTest::addRow("escapeBeforeOtherByteDropsBoth") << unescaped("20 db 41 00") << "20 00 bad";
        QTest::addRow("escapeAtTheEndDropped") << unescaped("20 db") << "20 bad";
        QTest::addRow("escapeBeforeEscape") << unescaped("db db dc") << "dc bad";
    }
    void bytesAreExact()
    {
        QFETCH(QString, actual);
        QFETCH(QString, expected);
        QCOMPARE(actual, expected);
    }

    // The packet of sequence number 3 is outstanding, the one of 4 is next.
    // Reads are separated by '|'; "left" is what stays for the next read.
    void replyJudgedByAcknowledgeBits_data()
    {
        QTest::addColumn<QString>("reads");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("left");
        QTest::addRow("acknowledgeNumber4") << "c0 20 00 00 e0 c0" << "progress 1" << "";
        QTest::addRow("onlyBits3To5Count") << "c0 e7 c0" << "progress 1" << "";
        QTest::addRow("noiseBeforeFrameDiscarded") << "00 7f c0 20 00 00 e0 c0" << "progress 1" << "";
        QTest::addRow("replyInPieces") << "c0 20|00 00|e0 c0" << "progress 1" << "";
        QTest::addRow("secondFrameWaitsForNextRead") << "c0 20 00 00 e0 c0 c0 28 00 00 d8 c0" << "progress 1" << "c0 28 00 00 d8 c0";
        QTest::addRow("acknowledgeNumber3") << "c0 18 00 00 e8 c0" << "finished 3" << "";
        QTest::addRow("emptyFrame") << "c0 c0" << "finished 4" << "";
        QTest::addRow("loneEscape") << "c0 db c0" << "finished 4" << "";
        QTest::addRow("badEscape") << "c0 20 db 41 00 c0" << "finished 4" << "";
        QTest::addRow("echoOfTheFrameJustWritten") << "c0 e3 4e 00 cf 05 00 00 00 12 8c c0" << "finished 4" << "";
        QTest::addRow("silence") << "" << "finished 2" << "";
        QTest::addRow("halfAFrameKeepsTimerRunning") << "c0 20 00" << "finished 2" << "c0 20 00";
    }
    void replyJudgedByAcknowledgeBits()
    {
        QFETCH(QString, reads);
        QFETCH(QString, outcome);
        QFETCH(QString, left);
        Dfu dfu(nullptr); // the transfer tests read from a real port
        Dfu::sequenceNumber = 2;
        dfu.packets << Dfu::makeHciPacket(hex("05000000"), 0) << Dfu::makeHciPacket(hex("05000000"), 0);
        QStringList events;
        connect(&dfu, &Dfu::updateProgress, [&](int at) { events << QString("progress %1").arg(at); });
        connect(&dfu, &Dfu::updateFinished, [&](Dfu::ErrorType error) { events << QString("finished %1").arg(int(error)); });
        dfu.sendNextPacket();
        for (const QString &read : reads.split('|', Qt::SkipEmptyParts))
            dfu.processReplyBytes(hex(read));
        QTRY_COMPARE_WITH_TIMEOUT(events.join(", "), outcome, 10000);
        QCOMPARE(dfu.replyBuffer, hex(left));
    }
};

QTEST_GUILESS_MAIN(DfuTest)
#include "tst_dfupacket.moc"
