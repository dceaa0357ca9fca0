// The simulator's firmware fed bytes and arrival times directly: the application's reply to every request and the
// options that change it, then the strict DFU receiver on the documented frames and every kind of broken packet.
#include "appdevice.h"
#include "bootloader.h"
#include "wire.h"

#include <QProcess>
#include <QtEndian>
#include <QtTest>

namespace {

constexpr qint64 Second = 1000000;
constexpr qint64 Gap = Second + Second / 10; // comfortably past every pause

const char *const AppStart = "C0 D1 4E 01 E0 03 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00 4C E7 00 00 64 AB C0";
const char *const AppInit = "C0 DA 4E 01 D7 01 00 00 00 FF FF FF FF FF FF FF FF 01 00 FE FF 05 51 00 00 6D 40 C0";
const char *const StopOfSequence3 = "C0 E3 4E 00 CF 05 00 00 00 12 8C C0";

// Bytes arriving `gap` us after the previous step; none: the last acknowledgement has just finished leaving.
struct Step
{
    Step(const QByteArray &bytes = QByteArray(), qint64 gap = Gap) : bytes(bytes), gap(gap) { }
    Step(const char *hex, qint64 gap = Gap) : bytes(QByteArray::fromHex(hex)), gap(gap) { }
    QByteArray bytes;
    qint64 gap;
};
using Steps = QList<Step>;

QByteArray le(quint32 value, int size = 4)
{
    const quint32 bytes = qToLittleEndian(value);
    return QByteArray(reinterpret_cast<const char *>(&bytes), size);
}

// A framed DFU packet: reliable, with integrity check, type 14.
QByteArray frame(int seq, const QByteArray &payload)
{
    const int n = payload.size();
    QByteArray p = le(0xC0 | (((seq + 1) % 8) << 3) | seq, 1) + le(((n & 15) << 4) | 14, 1) + le(n >> 4, 1);
    p += le(-(quint8(p[0]) + quint8(p[1]) + quint8(p[2])), 1) + payload;
    p += le(SimWire::crc16(p), 2);
    return '\xC0' + p.replace("\xDB", "\xDB\xDD").replace("\xC0", "\xDB\xDC") + '\xC0';
}

// Acknowledgement frames, written out apart from the simulator's own.
QByteArray acks(std::initializer_list<int> numbers)
{
    QByteArray frames;
    for (int n : numbers)
        frames += QByteArray::fromHex(
                QString::asprintf("C0 %02X 00 00 %02X C0", n << 3, (256 - (n << 3)) & 0xFF).toLatin1());
    return frames;
}

} // namespace

Q_DECLARE_METATYPE(Step)

class SimFirmwareTest : public QObject
{
    Q_OBJECT

private slots:
    void bytesGetTheirAnswers_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QByteArray>("replies");
        QTest::addColumn<QStringList>("events"); // violations, the hand-over, bytes left unread, an installable update
        const auto app = [](const char *name, const QStringList &args, const char *requests, const QByteArray &replies,
                            const QStringList &events = {}) {
            QTest::addRow("%s", name) << args << Steps{ requests } << QByteArray::fromHex(replies) << events;
        };
        // From the upgrade request on, the bootloader's.
        const auto dfu = [](const char *name, const Steps &steps, const QByteArray &replies,
                            const QStringList &events = {}, const QStringList &args = {}) {
            QTest::addRow("%s", name) << args << Steps{ "0204" } + steps << QByteArray::fromHex("038500") + replies
                                      << QStringList{ "bootloader" } + events;
        };
        const QByteArray info = "0B89 01 4F52562D30303031";
        const QByteArray x = frame(3, le(4) + "x");
        const auto start = [](quint32 size) { return le(3) + le(4) + le(0) + le(0) + le(size); };
        const auto init = [](quint16 crc) {
            return le(1) + QByteArray::fromHex("FFFFFFFFFFFFFFFF0100FEFF") + le(crc, 2) + le(0, 2);
        };
        const Steps open{ frame(1, start(600)), frame(2, init(0)) };
        // A whole application image "xx" in two data packets.
        Steps run{ frame(1, start(2)), frame(2, init(SimWire::crc16("xx"))), x, frame(4, le(4) + "x"),
                   frame(5, le(5)) };

        app("failure statuses from the command line",
            { "--status", "0x01=1", "--status", "0x02=3", "--status", "4=1", "--status", "6=2", "--status", "0x07=1" },
            "0201 0902A0A1A2A3A4A501 0204 030501 030601 0207", "038101 038303 038501 038600 038702 038801");
        app("silent request", { "--silent", "0x08" }, "0208 0209", "068A37333135");
        app("unknown request code is dropped, the next request answered", {}, "020E 0208", info,
            { "unknown request code 0x0e (bytes 020e)" });
        app("length that does not fit the code", {}, "0301 02", "",
            { "request 0x01 with length byte 3, expected 2 (bytes 0301)", "left 02" });
        app("pass-key answer without a pairing", {}, "0903A0A1A2A3A4A500", "",
            { "pass-key answer without a pending pairing (bytes 0903a0a1a2a3a4a500)" });
        app("input state other than 0 or 1", {}, "030502", "038600",
            { "input state 2 in request 0x05, expected 0 or 1" });

        dfu("bootloader package start",
            { "C0 D1 4E 01 E0 03 00 00 00 03 00 00 00 B4 A6 01 00 08 40 00 00 00 00 00 00 26 47 C0" }, acks({ 2 }));
        dfu("application start and init", { AppStart, AppInit }, acks({ 2, 3 }));
        dfu("stop of sequence 3 ends an empty image", open + Steps{ StopOfSequence3 }, acks({ 2, 3, 4 }),
            { "image of 0 bytes, announced 600" });
        dfu("escaped data of sequence 5",
            { AppStart, AppInit, frame(3, le(4) + "a"), frame(4, le(4) + "b"),
              "C0 F5 6E 00 9D 04 00 00 00 DB DC DB DD C5 8F C0" },
            acks({ 2, 3, 4, 5, 6 }));
        dfu("whole image installs", run, acks({ 2, 3, 4, 5, 6 }), { "installable" });
        // The transfer tests judge the other faults by their outcome; the link must ignore what these two add.
        dfu("fault: doubled acknowledgement", { AppStart, AppInit }, acks({ 2, 2, 3 }), {},
            { "--fault", "double-ack@0" });
        dfu("fault: acknowledgement and an empty frame", { AppStart, AppInit },
            acks({ 2 }) + QByteArray::fromHex("C0 C0") + acks({ 3 }), {}, { "--fault", "ack-then-empty@0" });
        // Data packets of sequence 3 with payload 04 00 00 00 78, each spoilt in one way.
        dfu("bad CRC", open + Steps{ "C0 E3 5E 00 BF 04 00 00 00 78 E2 70 C0" }, acks({ 2, 3 }),
            { "bad CRC 0x70E2, expected 0x6FE2" });
        dfu("bad header checksum", open + Steps{ "C0 E3 5E 00 DB DC 04 00 00 00 78 E2 6F C0" }, acks({ 2, 3 }),
            { "bad header checksum 0xC0, expected 0xBF" });
        dfu("wrong length field", open + Steps{ "C0 E3 6E 00 AF 04 00 00 00 78 BA 33 C0" }, acks({ 2, 3 }),
            { "length field 6 does not match the 5-byte payload" });
        dfu("bad escape", open + Steps{ "C0 DB 41 C0" }, acks({ 2, 3 }), { "bad SLIP escape" });
        dfu("too short for a header", open + Steps{ "C0 D3 4E C0" }, acks({ 2, 3 }),
            { "frame of 2 byte(s) is shorter than a header and a CRC" });
        dfu("wrong sequence", open + Steps{ frame(4, le(4) + "x") }, acks({ 2, 3, 3 }), { "sequence 4, expected 3" });
        dfu("pause after the start packet too short", { open[0], { open[1].bytes, Second / 2 } }, acks({ 2, 3 }),
            { "pause too short: 500.0 ms after the acknowledgement of the start packet, 1000 ms required" });
        dfu("pause counted from the acknowledgement's last byte",
            { AppStart, { QByteArray(), Second / 5 }, { AppInit, Second * 4 / 5 } }, acks({ 2, 3 }),
            { "pause too short: 800.0 ms after the acknowledgement of the start packet, 1000 ms required" });
        dfu("oversized data payload", open + Steps{ frame(3, le(4) + QByteArray(513, 'x')) }, acks({ 2, 3, 4 }),
            { "data packet payload of 517 bytes, expected 5 to 516" });
        dfu("image shorter than announced", open + Steps{ x, frame(4, le(5)) }, acks({ 2, 3, 4, 5 }),
            { "image of 1 bytes, announced 600" });
        run[1] = frame(2, init(0x1234));
        dfu("image CRC mismatch", run, acks({ 2, 3, 4, 5, 6 }),
            { "image CRC 0x6360 does not match the init packet's 0x1234" });
        dfu("oversized frame", { '\xC0' + QByteArray(9000, '\x11') + '\xC0' }, {},
            { "oversized frame: more than 8202 bytes without a delimiter" });
    }

    void bytesGetTheirAnswers()
    {
        QFETCH(QStringList, args);
        QFETCH(Steps, steps);
        QFETCH(QByteArray, replies);
        QFETCH(QStringList, events);
        SimOptions options;
        QString error;
        QStringList seen = parseSimOptions(args, &options, &error) ? QStringList() : QStringList{ error };
        AppDevice app(options);
        Bootloader boot;
        boot.setFaults(options.faults);
        QByteArray sent;
        connect(&app, &AppDevice::reply, this, [&](const QByteArray &frame) { sent += frame; });
        connect(&boot, &Bootloader::reply, this, [&](const QByteArray &frame) { sent += frame; });
        connect(&app, &AppDevice::violation, this, [&](const QString &reason) { seen << reason; });
        connect(&boot, &Bootloader::violation, this, [&](int, const QString &reason) { seen << reason; });
        connect(&app, &AppDevice::enterBootloader, this, [&] { seen << "bootloader"; });
        qint64 now = 0;
        for (const Step &step : steps) {
            // Byte by byte: a request split over reads is answered once it is complete.
            for (char byte : step.bytes)
                app.feed(QByteArray(1, byte));
            // After handing over, the application leaves everything to the bootloader.
            if (seen.contains("bootloader"))
                step.bytes.isEmpty() ? boot.ackSent(now += step.gap) : boot.feed(app.takeRemainder(), now += step.gap);
        }
        if (const QByteArray rest = app.takeRemainder(); !rest.isEmpty())
            seen << "left " + rest.toHex();
        if (boot.installable(&error))
            seen << "installable";
        QCOMPARE(sent.toHex(' '), replies.toHex(' '));
        QCOMPARE(seen, events);
    }

    void mistakeEndsTheProgram()
    {
        QProcess sim;
        sim.start(ORVIK_SIM_PATH, { "--position", "x" });
        QVERIFY(sim.waitForFinished(60000) && sim.exitCode() == 2);
        QCOMPARE(QString(sim.readAllStandardError()),
                 "orvik-sim: --position: expected a number from 0 to 255, got \"x\"\nTry 'orvik-sim --help'.\n");
    }
};

QTEST_GUILESS_MAIN(SimFirmwareTest)
#include "tst_simfirmware.moc"
