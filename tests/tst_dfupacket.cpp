// Packet framing and reply judging of the serial DFU link; the test plays the
// bootloader on the master side of a pty.
#include "dfu.h"
#include "ptypair.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

// An updater on a pty; DfuTest::start queues the packets of sequence numbers 3
// and 4 and writes the first one.
struct Link
{
    Link() : port(pty.slavePath()), dfu(&port) {}
    PtyPair pty;
    QSerialPort port;
    Dfu dfu;
    QByteArray firstFrame;
};

class DfuTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<Dfu::ErrorType>(); }
    void packetFrameIsExact_data();
    void packetFrameIsExact();
    void headerCarriesLengthAndChecksum_data();
    void headerCarriesLengthAndChecksum();
    void crcMatchesCheckValue();
    void slipDecodeHandlesEscapes_data();
    void slipDecodeHandlesEscapes();
    void slipRoundTripsEveryByte();
    void replyIsJudgedByAcknowledgeBits_data();
    void replyIsJudgedByAcknowledgeBits();
    void secondFrameWaitsForNextRead();

private:
    static void start(Link &link)
    {
        Dfu::sequenceNumber = 2;
        const QByteArray stop = QByteArray::fromHex("05000000");
        link.dfu.packets << Dfu::makeHciPacket(stop, 0) << Dfu::makeHciPacket(stop, 0);
        if (link.pty.isValid() && link.port.open(QIODevice::ReadWrite)) {
            link.dfu.sendNextPacket();
            link.firstFrame = link.pty.read(12);
        }
    }
};

void DfuTest::packetFrameIsExact_data()
{
    QTest::addColumn<int>("previousSequence");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("frame");
    QTest::addRow("stop packet of sequence 3") << 2 << QByteArray::fromHex("05000000")
        << QByteArray::fromHex("C0 E3 4E 00 CF 05 00 00 00 12 8C C0");
    QTest::addRow("data packet of sequence 5 escapes C0 and DB") << 4 << QByteArray::fromHex("04000000C0DB")
        << QByteArray::fromHex("C0 F5 6E 00 9D 04 00 00 00 DB DC DB DD C5 8F C0");
    QTest::addRow("stop packet of sequence 7") << 6 << QByteArray::fromHex("05000000")
        << QByteArray::fromHex("C0 C7 4E 00 EB 05 00 00 00 A5 79 C0");
    QTest::addRow("sequence wraps from 7 to 0") << 7 << QByteArray::fromHex("05000000")
        << QByteArray::fromHex("C0 C8 4E 00 EA 05 00 00 00 36 0A C0");
    QTest::addRow("start packet of the built-in bootloader package") << 0
        << QByteArray::fromHex("03000000 03000000 B4A60100 08400000 00000000")
        << QByteArray::fromHex("C0 D1 4E 01 E0 03 00 00 00 03 00 00 00 B4 A6 01 00 08 40 00 00 00 00 00 00 26 47 C0");
    QTest::addRow("start packet of the built-in application package") << 0
        << QByteArray::fromHex("03000000 04000000 00000000 00000000 4CE70000")
        << QByteArray::fromHex("C0 D1 4E 01 E0 03 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 4C E7 00 00 64 AB C0");
    QTest::addRow("init packet of the built-in application package") << 1
        << QByteArray::fromHex("01000000 FFFFFFFFFFFFFFFF0100FEFF0551 0000")
        << QByteArray::fromHex("C0 DA 4E 01 D7 01 00 00 00 FF FF FF FF FF FF FF FF 01 00 FE FF 05 51 00 00 6D 40 C0");
}

void DfuTest::packetFrameIsExact()
{
    QFETCH(int, previousSequence);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, frame);
    Dfu::sequenceNumber = previousSequence;
    const DfuPacket packet = Dfu::makeHciPacket(payload, 1);
    QCOMPARE(packet.frame.toHex(' '), frame.toHex(' '));
    QCOMPARE(packet.delaySeconds, 1);
    QCOMPARE(Dfu::sequenceNumber, (previousSequence + 1) % 8);
}

void DfuTest::headerCarriesLengthAndChecksum_data()
{
    QTest::addColumn<int>("sequence");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("header");
    QTest::addRow("full data packet") << 2 << 516 << QByteArray::fromHex("DA 4E 20 B8");
    QTest::addRow("longest payload") << 0 << 4095 << QByteArray::fromHex("C8 FE FF 3B");
}

void DfuTest::headerCarriesLengthAndChecksum()
{
    QFETCH(int, sequence);
    QFETCH(int, length);
    QFETCH(QByteArray, header);
    QCOMPARE(Dfu::makeHciHeader(sequence, 1, 1, 14, length).toHex(' '), header.toHex(' '));
}

void DfuTest::crcMatchesCheckValue()
{
    QCOMPARE(Dfu::crc16("123456789"), quint16(0x29B1));
    QCOMPARE(Dfu::crc16(QByteArray()), quint16(0xFFFF));
}

void DfuTest::slipDecodeHandlesEscapes_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<bool>("clean");
    QTest::addRow("escaped delimiter") << QByteArray::fromHex("20 DB DC 21") << QByteArray::fromHex("20 C0 21") << true;
    QTest::addRow("escaped escape") << QByteArray::fromHex("DB DD") << QByteArray::fromHex("DB") << true;
    QTest::addRow("bare delimiter is copied") << QByteArray::fromHex("C0 20") << QByteArray::fromHex("C0 20") << true;
    QTest::addRow("nothing") << QByteArray() << QByteArray() << true;
    QTest::addRow("escape before another byte drops both") << QByteArray::fromHex("20 DB 41 00")
                                                          << QByteArray::fromHex("20 00") << false;
    QTest::addRow("escape at the end is dropped") << QByteArray::fromHex("20 DB") << QByteArray::fromHex("20") << false;
    QTest::addRow("escape before an escape") << QByteArray::fromHex("DB DB DC") << QByteArray::fromHex("DC") << false;
}

void DfuTest::slipDecodeHandlesEscapes()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);
    QFETCH(bool, clean);
    bool ok = !clean;
    QCOMPARE(Dfu::slipDecode(input, &ok).toHex(' '), output.toHex(' '));
    QCOMPARE(ok, clean);
}

void DfuTest::slipRoundTripsEveryByte()
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    const QByteArray encoded = Dfu::slipEncode(all);
    QCOMPARE(encoded.size(), 258);
    QVERIFY(!encoded.contains(char(0xC0)));
    bool ok = false;
    QCOMPARE(Dfu::slipDecode(encoded, &ok), all);
    QVERIFY(ok);
}

// The packet of sequence number 3 is outstanding; a second one (sequence 4)
// follows it. Outcome 0 means the reply acknowledged the first packet.
void DfuTest::replyIsJudgedByAcknowledgeBits_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<int>("outcome");
    const auto hex = [](const char *text) { return QByteArray::fromHex(text); };
    QTest::addRow("acknowledge number 4") << QList<QByteArray>{hex("C0 20 00 00 E0 C0")} << 0;
    QTest::addRow("only bits 3-5 count") << QList<QByteArray>{hex("C0 27 C0")} << 0;
    QTest::addRow("noise before the frame is discarded") << QList<QByteArray>{hex("00 7F C0 20 00 00 E0 C0")} << 0;
    QTest::addRow("reply in pieces") << QList<QByteArray>{hex("C0 20"), hex("00 00"), hex("E0 C0")} << 0;
    QTest::addRow("acknowledge number 3") << QList<QByteArray>{hex("C0 18 00 00 E8 C0")}
                                          << int(Dfu::IncorrectResponseError);
    QTest::addRow("empty frame") << QList<QByteArray>{hex("C0 C0")} << int(Dfu::InvalidResponseError);
    QTest::addRow("lone escape") << QList<QByteArray>{hex("C0 DB C0")} << int(Dfu::InvalidResponseError);
    QTest::addRow("bad escape") << QList<QByteArray>{hex("C0 20 DB 41 00 C0")} << int(Dfu::InvalidResponseError);
    QTest::addRow("silence") << QList<QByteArray>() << int(Dfu::NoResponseError);
    QTest::addRow("half a frame, then silence") << QList<QByteArray>{hex("C0 20 00")} << int(Dfu::NoResponseError);
}

void DfuTest::replyIsJudgedByAcknowledgeBits()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(int, outcome);
    Link link;
    start(link);
    PtyPair &pty = link.pty;
    Dfu &dfu = link.dfu;
    QCOMPARE(link.firstFrame, dfu.packets.at(0).frame);
    QSignalSpy progress(&dfu, &Dfu::updateProgress);
    QSignalSpy finished(&dfu, &Dfu::updateFinished);

    QByteArray sent;
    for (int i = 0; i < pieces.size(); ++i) {
        QVERIFY(pty.write(pieces.at(i)));
        sent += pieces.at(i);
        if (i + 1 < pieces.size() || !sent.endsWith(char(0xC0))) {
            // An incomplete frame is kept and the response timer keeps running.
            QTRY_COMPARE(dfu.replyBuffer, sent);
            QVERIFY(dfu.responseTimer->isActive());
        }
    }
    if (outcome == 0) {
        QCOMPARE(pty.read(12), dfu.packets.at(1).frame);
        QCOMPARE(progress.count(), 1);
        QCOMPARE(finished.count(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QCOMPARE(finished.at(0).at(0).value<Dfu::ErrorType>(), Dfu::ErrorType(outcome));
        QCOMPARE(pty.read(1, 300), QByteArray());
        QCOMPARE(progress.count(), 0);
    }
}

void DfuTest::secondFrameWaitsForNextRead()
{
    Link link;
    start(link);
    PtyPair &pty = link.pty;
    Dfu &dfu = link.dfu;
    QCOMPARE(link.firstFrame, dfu.packets.at(0).frame);
    QSignalSpy finished(&dfu, &Dfu::updateFinished);

    // Acknowledgements of both packets in one read: only the first is taken now.
    QVERIFY(pty.write(QByteArray::fromHex("C0 20 00 00 E0 C0 C0 28 00 00 D8 C0")));
    QCOMPARE(pty.read(12), dfu.packets.at(1).frame);
    QCOMPARE(dfu.replyBuffer, QByteArray::fromHex("C0 28 00 00 D8 C0"));
    QCOMPARE(finished.count(), 0);

    // The next notification brings it up: it acknowledges the last packet.
    QVERIFY(pty.write(QByteArray::fromHex("00")));
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).value<Dfu::ErrorType>(), Dfu::Success);
}

QTEST_MAIN(DfuTest)
#include "tst_dfupacket.moc"
