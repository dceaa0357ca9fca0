// The serial DFU packet link's reader: how a reply is judged. The frames the updater writes are checked byte by byte by
// the simulator's strict receiver (tst_simfirmware, tst_dfutransfer); unescaping is checked for round trips by
// tst_fuzzregressions, and what a bad escape decodes to is never used.
#include "dfu.h"
#include "testhelpers.h"

#include <QtTest>

class DfuPacketTest : public QObject
{
    Q_OBJECT

private slots:
    // Packets of sequence 3 and 4; the reads arrive while the first is out, the second gets its own acknowledgement
    // (Success: both acknowledged). "left" waits for the next read.
    void replyJudgedByAcknowledgeBits_data()
    {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<Dfu::ErrorType>("result");
        QTest::addColumn<QByteArray>("left");
        const auto row = [](const char *name, const char *reads, Dfu::ErrorType result, const char *left = "") {
            QByteArrayList split; // reads apart at "|"
            for (const QByteArray &read : QByteArray(reads).split('|'))
                if (!read.isEmpty())
                    split << QByteArray::fromHex(read);
            QTest::addRow("%s", name) << split << result << hex(left);
        };
        row("acknowledgeNumber4", "c0 20 00 00 e0 c0", Dfu::Success);
        row("onlyBits3To5Count", "c0 e7 c0", Dfu::Success);
        row("noiseBeforeFrameDiscarded", "00 7f c0 20 00 00 e0 c0", Dfu::Success);
        row("replyInPieces", "c0 20|00 00|e0 c0", Dfu::Success);
        // A frame that arrived before a packet was written is never its reply.
        row("duplicateInTheSameRead", "c0 20 00 00 e0 c0 c0 20 00 00 e0 c0", Dfu::Success);
        row("duplicateInALaterRead", "c0 20 00 00 e0 c0|c0 20 00 00 e0 c0", Dfu::Success);
        row("emptyFrameAfterTheAcknowledgement", "c0 20 00 00 e0 c0 c0 c0", Dfu::Success);
        row("partialFrameBeforeTheNextPacketDropped", "c0 20 00 00 e0 c0|c0 20", Dfu::Success);
        row("acknowledgeNumber3", "c0 18 00 00 e8 c0", Dfu::IncorrectResponseError);
        row("emptyFrame", "c0 c0", Dfu::InvalidResponseError);
        row("loneEscape", "c0 db c0", Dfu::InvalidResponseError);
        row("badEscape", "c0 20 db 41 00 c0", Dfu::InvalidResponseError);
        row("echoOfTheFrameJustWritten", "c0 e3 4e 00 cf 05 00 00 00 12 8c c0", Dfu::InvalidResponseError);
        row("silence", "", Dfu::NoResponseError);
        row("halfAFrameKeepsTimerRunning", "c0 20 00", Dfu::NoResponseError, "c0 20 00");
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

QTEST_GUILESS_MAIN(DfuPacketTest)
#include "tst_dfupacket.moc"
