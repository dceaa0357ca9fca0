// The simulator's strict DFU receiver, fed bytes and arrival times directly:
// the documented frames are accepted, every kind of broken packet is reported
// with a reason of its own, and injected faults replace the acknowledgement.
#include "bootloader.h"
#include "wire.h"

#include <QtTest>

namespace {

constexpr qint64 Second = 1000000;
constexpr qint64 Gap = Second + Second / 10; // comfortably past every pause

// Frames given byte for byte in the protocol description.
const QByteArray bootloaderStart =
    QByteArray::fromHex("C0 D1 4E 01 E0 03 00 00 00 03 00 00 00 B4 A6 01 00 08 40 00 00 00 00 00 00 26 47 C0");
const QByteArray applicationStart =
    QByteArray::fromHex("C0 D1 4E 01 E0 03 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 4C E7 00 00 64 AB C0");
const QByteArray applicationInit =
    QByteArray::fromHex("C0 DA 4E 01 D7 01 00 00 00 FF FF FF FF FF FF FF FF 01 00 FE FF 05 51 00 00 6D 40 C0");
const QByteArray stopOfSequence3 = QByteArray::fromHex("C0 E3 4E 00 CF 05 00 00 00 12 8C C0");
const QByteArray stopOfSequence7 = QByteArray::fromHex("C0 C7 4E 00 EB 05 00 00 00 A5 79 C0");
const QByteArray escapedDataOfSequence5 = QByteArray::fromHex("C0 F5 6E 00 9D 04 00 00 00 DB DC DB DD C5 8F C0");

QByteArray ack(int number)
{
    const int byte0 = (number & 7) << 3;
    return QByteArray::fromHex("C0") + char(byte0) + QByteArray(2, '\0') + char((256 - byte0) & 0xFF)
        + QByteArray::fromHex("C0");
}

QByteArray le32(quint32 v)
{
    QByteArray bytes;
    for (int i = 0; i < 4; ++i)
        bytes.append(char((v >> (8 * i)) & 0xFF));
    return bytes;
}

// Header, payload and CRC; each field can be spoilt by the caller afterwards.
QByteArray packet(int seq, const QByteArray &payload, int type = 14, int flags = 0xC0)
{
    QByteArray p;
    p.append(char(flags | (((seq + 1) % 8) << 3) | seq));
    p.append(char(((payload.size() & 15) << 4) | type));
    p.append(char(payload.size() >> 4));
    p.append(char(-(quint8(p[0]) + quint8(p[1]) + quint8(p[2]))));
    p.append(payload);
    const quint16 crc = SimWire::crc16(p);
    return p + char(crc & 0xFF) + char(crc >> 8);
}

QByteArray frame(const QByteArray &packet)
{
    QByteArray escaped = packet;
    escaped.replace("\xDB", "\xDB\xDD").replace("\xC0", "\xDB\xDC");
    return '\xC0' + escaped + '\xC0';
}

QByteArray startPayload(int type, quint32 sd, quint32 bl, quint32 app)
{
    return le32(3) + le32(type) + le32(sd) + le32(bl) + le32(app);
}

QByteArray initPayload(quint16 crc)
{
    return le32(1) + QByteArray::fromHex("FFFFFFFFFFFFFFFF0100FEFF") + char(crc & 0xFF) + char(crc >> 8)
        + QByteArray(2, '\0');
}

QByteArray image(int size, int seed)
{
    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes.append(char((i * 7 + seed) & 0xFF));
    return bytes;
}

// Start, init and data packets of one package; returns the next sequence number.
int queuePackage(QList<QByteArray> *frames, int type, const QByteArray &data, quint32 sd = 0, quint32 bl = 0)
{
    frames->append(frame(packet(1, startPayload(type, sd, bl, type == 4 ? quint32(data.size()) : 0))));
    frames->append(frame(packet(2, initPayload(SimWire::crc16(data)))));
    int seq = 3;
    for (int offset = 0; offset < data.size(); offset += 512, seq = (seq + 1) % 8)
        frames->append(frame(packet(seq, le32(4) + data.mid(offset, 512))));
    frames->append(frame(packet(seq, le32(5))));
    return seq;
}

struct Receiver
{
    Bootloader boot;
    QByteArray replies;
    QStringList violations;
    int runCompletes = 0;
    int unplugs = 0;
    qint64 now = 0;

    Receiver()
    {
        QObject::connect(&boot, &Bootloader::reply, [this](const QByteArray &f) { replies += f; });
        QObject::connect(&boot, &Bootloader::violation, [this](int, const QString &r) { violations << r; });
        QObject::connect(&boot, &Bootloader::runComplete, [this]() { ++runCompletes; });
        QObject::connect(&boot, &Bootloader::unplugRequested, [this]() { ++unplugs; });
    }
    // Feeds bytes gapUs after the previous chunk; returns the replies they caused.
    QByteArray feed(const QByteArray &bytes, qint64 gapUs = Gap)
    {
        const int before = replies.size();
        now += gapUs;
        boot.feed(bytes, now);
        return replies.mid(before);
    }
};

struct Step
{
    QByteArray bytes;
    qint64 gapUs;
};

} // namespace

Q_DECLARE_METATYPE(Step)

class SimBootloaderTest : public QObject
{
    Q_OBJECT

private slots:
    void crcMatchesCheckValue() { QCOMPARE(SimWire::crc16("123456789"), quint16(0x29B1)); }
    void documentedFramesAreAcknowledged_data();
    void documentedFramesAreAcknowledged();
    void twoPackageRunIsInstallable();
    void brokenPacketsAreReportedWithTheirReason_data();
    void brokenPacketsAreReportedWithTheirReason();
    void pauseCountsFromTheAcknowledgementsLastByte();
    void faultsReplaceOneAcknowledgement_data();
    void faultsReplaceOneAcknowledgement();
    void unplugReplacesThePacketsAcknowledgement();
    void splitFrameCompletesLater();
};

void SimBootloaderTest::documentedFramesAreAcknowledged_data()
{
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<QStringList>("violations");

    const QByteArray tiny = QByteArray::fromHex("01020304");
    const QByteArray tinyStart = frame(packet(1, startPayload(4, 0, 0, 4)));
    const QByteArray tinyInit = frame(packet(2, initPayload(SimWire::crc16(tiny))));
    QList<QByteArray> tinyData;
    for (int i = 0; i < 4; ++i)
        tinyData << frame(packet(3 + i, le32(4) + tiny.mid(i, 1)));

    QTest::addRow("bootloader package start") << QList<QByteArray>{bootloaderStart} << ack(2) << QStringList();
    QTest::addRow("application start and init") << QList<QByteArray>{applicationStart, applicationInit}
                                                 << ack(2) + ack(3) << QStringList();
    QTest::addRow("stop of sequence 3 ends an empty image")
        << QList<QByteArray>{applicationStart, applicationInit, stopOfSequence3} << ack(2) + ack(3) + ack(4)
        << QStringList{QStringLiteral("image of 0 bytes, announced 59212")};
    QTest::addRow("escaped data of sequence 5")
        << QList<QByteArray>{applicationStart, applicationInit, frame(packet(3, le32(4) + "a")),
                             frame(packet(4, le32(4) + "b")), escapedDataOfSequence5}
        << ack(2) + ack(3) + ack(4) + ack(5) + ack(6) << QStringList();
    QTest::addRow("stop of sequence 7 acknowledged with 0")
        << QList<QByteArray>{tinyStart, tinyInit} + tinyData + QList<QByteArray>{stopOfSequence7}
        << ack(2) + ack(3) + ack(4) + ack(5) + ack(6) + ack(7) + ack(0) << QStringList();
}

void SimBootloaderTest::documentedFramesAreAcknowledged()
{
    QFETCH(QList<QByteArray>, frames);
    QFETCH(QByteArray, replies);
    QFETCH(QStringList, violations);
    Receiver r;
    for (const QByteArray &f : frames)
        r.feed(f);
    QCOMPARE(r.replies.toHex(' '), replies.toHex(' '));
    QCOMPARE(r.violations, violations);
}

void SimBootloaderTest::twoPackageRunIsInstallable()
{
    const QByteArray firmware = image(1000, 1);
    const QByteArray application = image(3000, 2); // six data packets: the sequence wraps
    QList<QByteArray> first;
    QList<QByteArray> second;
    queuePackage(&first, 3, firmware, 700, 300);
    queuePackage(&second, 4, application);

    Receiver r;
    for (const QByteArray &f : first)
        r.feed(f);
    QVERIFY(r.boot.awaitingFollowUp());
    for (const QByteArray &f : second)
        r.feed(f);
    QCOMPARE(r.violations, QStringList());
    QCOMPARE(r.replies.toHex(' '), (ack(2) + ack(3) + ack(4) + ack(5) + ack(6) + ack(2) + ack(3) + ack(4) + ack(5)
                                    + ack(6) + ack(7) + ack(0) + ack(1) + ack(2))
                                       .toHex(' '));
    QCOMPARE(r.runCompletes, 1);
    QVERIFY(!r.boot.awaitingFollowUp());
    QCOMPARE(r.boot.packetCount(), 14);
    QCOMPARE(r.boot.images().size(), 2);
    QCOMPARE(r.boot.images().at(0).data, firmware);
    QCOMPARE(r.boot.images().at(1).data, application);
    QVERIFY(r.boot.images().at(0).crcOk() && r.boot.images().at(1).crcOk());
    QString reason;
    QVERIFY(r.boot.installable(&reason));
}

void SimBootloaderTest::brokenPacketsAreReportedWithTheirReason_data()
{
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QByteArray>("lastReply");

    const QByteArray data = image(600, 3);
    const QList<Step> base{{frame(packet(1, startPayload(4, 0, 0, 600))), Gap},
                           {frame(packet(2, initPayload(SimWire::crc16(data)))), Gap}};
    const QByteArray first = packet(3, le32(4) + data.left(512));
    auto then = [&](const QByteArray &bytes, qint64 gap = Gap) { return base + QList<Step>{{bytes, gap}}; };
    auto spoilt = [](QByteArray p, int at, int delta) {
        p[at] = char(p[at] + delta);
        return frame(p);
    };
    QByteArray longer = packet(3, le32(4) + data.left(512)).left(4 + 516);
    longer[1] = char(((517 & 15) << 4) | 14);
    longer[3] = char(-(quint8(longer[0]) + quint8(longer[1]) + quint8(longer[2])));
    const quint16 crc = SimWire::crc16(longer);
    longer = longer + char(crc & 0xFF) + char(crc >> 8);

    QTest::addRow("bad CRC") << then(spoilt(first, first.size() - 1, 1)) << "bad CRC" << QByteArray();
    QTest::addRow("bad header checksum") << then(spoilt(first, 3, 1)) << "bad header checksum" << QByteArray();
    QTest::addRow("bad escape") << then('\xC0' + first.left(8) + "\xDB\x41\xC0") << "bad SLIP escape" << QByteArray();
    QTest::addRow("too short for a header") << then(QByteArray::fromHex("C0 D3 4E C0"))
                                            << "frame of 2 byte(s) is shorter than a header and a CRC" << QByteArray();
    QTest::addRow("not reliable") << then(frame(packet(3, le32(4) + "x", 14, 0x40))) << "reliable flag not set"
                                  << QByteArray();
    QTest::addRow("no integrity check") << then(frame(packet(3, le32(4) + "x", 14, 0x80)))
                                        << "data integrity flag not set" << QByteArray();
    QTest::addRow("wrong packet type") << then(frame(packet(3, le32(4) + "x", 15))) << "packet type 15, expected 14"
                                       << QByteArray();
    QTest::addRow("length field longer than the payload") << then(frame(longer))
                                                          << "length field 517 does not match the 516-byte payload"
                                                          << QByteArray();
    QTest::addRow("wrong sequence") << then(frame(packet(4, le32(4) + "x"))) << "sequence 4, expected 3" << ack(3);
    QTest::addRow("start packet of sequence 2")
        << QList<Step>{{frame(packet(2, startPayload(4, 0, 0, 600))), Gap}} << "sequence 2, expected 1" << ack(1);
    QTest::addRow("pause after the start packet too short")
        << QList<Step>{base.at(0), {base.at(1).bytes, Second / 2}}
        << "pause too short: 500.0 ms after the acknowledgement of the start packet" << ack(3);
    QTest::addRow("pause after the init packet too short") << then(frame(first), Second / 2)
                                                           << "pause too short: 500.0 ms after the acknowledgement of the init packet"
                                                           << ack(4);
    QTest::addRow("data packet before the init packet")
        << QList<Step>{base.at(0), {frame(packet(2, le32(4) + "x")), Gap}} << "data packet before the init packet"
        << ack(3);
    QTest::addRow("init packet without a start packet") << QList<Step>{{frame(packet(1, initPayload(0))), Gap}}
                                                        << "init packet without a start packet" << ack(2);
    QTest::addRow("oversized data payload") << then(frame(packet(3, le32(4) + data.left(513))))
                                            << "data packet payload of 517 bytes, expected 5 to 516" << ack(4);
    QTest::addRow("unknown packet code") << then(frame(packet(3, le32(2)))) << "unknown packet code 2" << ack(4);
    QTest::addRow("sizes that do not fit the type")
        << QList<Step>{{frame(packet(1, startPayload(4, 100, 0, 600))), Gap}}
        << "sizes 100/0/600 do not fit image type 4" << ack(2);
    QTest::addRow("image shorter than announced")
        << base + QList<Step>{{frame(first), Gap}, {frame(packet(4, le32(5))), Gap}}
        << "image of 512 bytes, announced 600" << ack(5);
    QTest::addRow("image CRC mismatch")
        << QList<Step>{base.at(0), {frame(packet(2, initPayload(0x1234))), Gap}, {frame(first), Gap},
                       {frame(packet(4, le32(4) + data.mid(512))), Gap}, {frame(packet(5, le32(5))), Gap}}
        << QStringLiteral("image CRC %1 does not match the init packet's 0x1234").arg(SimWire::hex16(SimWire::crc16(data)))
        << ack(6);
    QTest::addRow("garbage before the first delimiter") << QList<Step>{{QByteArray::fromHex("00 7F"), Gap}}
                                                        << "2 byte(s) before the first frame delimiter" << QByteArray();
    QTest::addRow("oversized frame") << QList<Step>{{'\xC0' + QByteArray(9000, '\x11') + '\xC0', Gap}}
                                     << "oversized frame: more than 8202 bytes without a delimiter" << QByteArray();
}

void SimBootloaderTest::brokenPacketsAreReportedWithTheirReason()
{
    QFETCH(QList<Step>, steps);
    QFETCH(QString, reason);
    QFETCH(QByteArray, lastReply);
    Receiver r;
    QByteArray reply;
    for (const Step &step : steps)
        reply = r.feed(step.bytes, step.gapUs);
    QCOMPARE(r.violations.size(), 1);
    QVERIFY2(r.violations.first().startsWith(reason), qPrintable(r.violations.first()));
    QCOMPARE(reply.toHex(' '), lastReply.toHex(' '));
    QString why;
    QVERIFY(!r.boot.installable(&why));
}

void SimBootloaderTest::pauseCountsFromTheAcknowledgementsLastByte()
{
    Receiver r;
    r.feed(bootloaderStart, 0);
    r.boot.ackSent(r.now + Second / 5); // a slow line: the acknowledgement left 200 ms later
    r.feed(frame(packet(2, initPayload(0))), Second);
    QCOMPARE(r.violations.size(), 1);
    QVERIFY2(r.violations.first().startsWith("pause too short: 800.0 ms"), qPrintable(r.violations.first()));
}

void SimBootloaderTest::faultsReplaceOneAcknowledgement_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QByteArray>("reply");
    QTest::addRow("no reply") << int(SimFault::NoReply) << QByteArray();
    QTest::addRow("wrong acknowledge number") << int(SimFault::WrongAck) << QByteArray::fromHex("C0 08 00 00 F8 C0");
    QTest::addRow("bad escape") << int(SimFault::BadEscape) << QByteArray::fromHex("C0 10 DB 41 00 F0 C0");
}

void SimBootloaderTest::faultsReplaceOneAcknowledgement()
{
    QFETCH(int, fault);
    QFETCH(QByteArray, reply);
    Receiver r;
    r.boot.setFaults({{0, SimFault(fault)}});
    QCOMPARE(r.feed(applicationStart).toHex(' '), reply.toHex(' '));
    QCOMPARE(r.feed(applicationInit).toHex(' '), ack(3).toHex(' '));
    QCOMPARE(r.violations, QStringList());
}

void SimBootloaderTest::unplugReplacesThePacketsAcknowledgement()
{
    Receiver r;
    r.boot.setUnplugAtPacket(1);
    QCOMPARE(r.feed(applicationStart + applicationInit + stopOfSequence3).toHex(' '), ack(2).toHex(' '));
    QCOMPARE(r.unplugs, 1);
    QCOMPARE(r.boot.packetCount(), 1);
}

void SimBootloaderTest::splitFrameCompletesLater()
{
    Receiver r;
    QCOMPARE(r.feed(applicationStart.left(9)), QByteArray());
    QCOMPARE(r.feed(applicationStart.mid(9), 1000).toHex(' '), ack(2).toHex(' '));
    QCOMPARE(r.boot.partialFrameBytes(), 0);
}

QTEST_GUILESS_MAIN(SimBootloaderTest)
#include "tst_simbootloader.moc"
