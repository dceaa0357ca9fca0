// The device link on a pty (the test plays the device on the master): request
// frames, the reply reader, log collection, a vanished device, port matching
// and the hand-off of the port to the updater.
#include "orvikdevice.h"
#include "portmatch.h"
#include "ptypair.h"

#include <QRandomGenerator>
#include <QtTest>

#include <functional>

using Request = std::function<void(OrvikDevice &)>;
using PortList = QVector<PortIds>;
Q_DECLARE_METATYPE(Request)
Q_DECLARE_METATYPE(PortIds)
#define REQUEST(call) Request([=](OrvikDevice &d) { d.call; })

static QByteArray hex(const char *text) { return QByteArray::fromHex(text); }
static QString show(bool b) { return b ? "true" : "false"; }
static QString show(const QByteArray &bytes) { return bytes.toHex(); }
static QString show(const QString &text) { return text; }
static QString show(uint key) { return QString::number(key, 16); }
static QString show(uchar value) { return QString::number(value); }
static QString show(int value) { return QString::number(value); }
static QString show(const QStringList &log) { return log.join('|'); }

// An attached device; every signal of the reader is recorded as one line,
// "name arguments...", in emission order.
struct Link
{
    PtyPair pty;
    OrvikDevice device;
    QSignalSpy reads{&device, &QSerialPort::readyRead};
    QStringList events;
    bool attached = device.attach(pty.slavePath()); // a pty has no USB ids: a named port opens whatever it is

    template<typename... Args>
    void record(void (OrvikDevice::*signal)(Args...))
    {
        const QString name = QMetaMethod::fromSignal(signal).name();
        QObject::connect(&device, signal, [=](Args... args) { events << QStringList{name, show(args)...}.join(' '); });
    }
    Link()
    {
        for (auto signal : {&OrvikDevice::scanComplete, &OrvikDevice::pairComplete, &OrvikDevice::upgradeReady,
                            &OrvikDevice::upperGpioComplete, &OrvikDevice::lowerGpioComplete,
                            &OrvikDevice::resetComplete, &OrvikDevice::setSerialComplete})
            record(signal);
        for (auto signal : {&OrvikDevice::getHwRevComplete, &OrvikDevice::getFwRevComplete, &OrvikDevice::getSwRevComplete})
            record(signal);
        record(&OrvikDevice::radioFound), record(&OrvikDevice::verifyPassKey), record(&OrvikDevice::getInfoComplete);
        record(&OrvikDevice::getBattComplete), record(&OrvikDevice::getLogsComplete);
        record(&OrvikDevice::upgradeStarted), record(&OrvikDevice::upgradeFinished);
    }
    // Sends bytes as one read and returns what that read emitted.
    QString feed(const QByteArray &bytes)
    {
        const int before = events.size();
        return pty.write(bytes) && reads.wait(10000) ? events.mid(before).join(", ") : "<not read>";
    }
};

class OrvikDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QSerialPort::SerialPortError>(); }

    void firstPortWithBothIdsMatches_data()
    {
        const PortIds orvik{true, 0x0403, true, 0x6015};
        QTest::addColumn<PortList>("ports");
        QTest::addColumn<int>("expected");
        QTest::addRow("noPorts") << PortList{} << -1;
        QTest::addRow("otherFtdiSkipped") << PortList{{true, 0x0403, true, 0x6001}, orvik} << 1;
        QTest::addRow("vendorWithoutProductSkipped") << PortList{{true, 0x0403, false, 0}} << -1;
        QTest::addRow("productWithoutVendorSkipped") << PortList{{false, 0, true, 0x6015}} << -1;
        QTest::addRow("unflaggedIdsDoNotCount") << PortList{{false, 0x0403, false, 0x6015}} << -1;
        QTest::addRow("firstOfTwoMatchesWins") << PortList{{}, orvik, orvik} << 1;
    }
    void firstPortWithBothIdsMatches()
    {
        QFETCH(PortList, ports);
        QFETCH(int, expected);
        QCOMPARE(findOrvikPort(ports), expected);
    }

    void noMatchingPortLeavesPortUntouched()
    {
        OrvikDevice device;
        device.setPortName("orvik-kept");
        if (device.attach(QString()))
            QSKIP("an Orvik bridge is plugged in");
        QCOMPARE(device.portName(), QString("orvik-kept"));
    }

    // Each request row may make several calls; a scan follows as a marker.
    void requestWritesExactFrame_data()
    {
        const QByteArray addr = hex("a0 a1 a2 a3 a4 a5");
        QTest::addColumn<Request>("request");
        QTest::addColumn<QByteArray>("frames");
        QTest::addRow("requestsWithoutArguments")
            << REQUEST(doScan(); d.enterUpgradeMode(); d.resetDevice(); d.getInfo(); d.getHwRev(); d.getFwRev();
                       d.getSwRev(); d.getBatt(); d.getNextLog(); d.getLogs())
            << hex("0201 0204 0207 0208 0209 020a 020b 020c 020d 020d");
        QTest::addRow("inputsEmergencyOneNormalZero") << REQUEST(upperGpio(true); d.upperGpio(false); d.lowerGpio(true);
                                                                 d.lowerGpio(false)) << hex("030501 030500 030601 030600");
        QTest::addRow("pairFront") << REQUEST(doPair(addr, 1)) << hex("09 02 a0a1a2a3a4a5 01");
        QTest::addRow("pairPositionAboveTwoUnchanged") << REQUEST(doPair(addr, 0xC8)) << hex("09 02 a0a1a2a3a4a5 c8");
        QTest::addRow("pairSendsOnlySixAddressBytes") << REQUEST(doPair(addr + "xy", 0)) << hex("09 02 a0a1a2a3a4a5 00");
        QTest::addRow("passKeyConfirmedZeroRejectedOne") << REQUEST(onPassKeyVerified(addr, true); d.onPassKeyVerified(addr, false))
                                                         << hex("09 03 a0a1a2a3a4a5 00 09 03 a0a1a2a3a4a5 01");
        QTest::addRow("shortAddressSendsNothing") << REQUEST(doPair(addr.left(5), 1); d.onPassKeyVerified(addr.left(5), true))
                                                  << QByteArray();
    }
    void requestWritesExactFrame()
    {
        QFETCH(Request, request);
        QFETCH(QByteArray, frames);
        Link link;
        QVERIFY(link.attached);
        request(link.device);
        link.device.doScan();
        QCOMPARE(link.pty.read(frames.size() + 2).toHex(' '), (frames + hex("02 01")).toHex(' '));
    }

    // Reads are separated by '|', and so is what each read emitted.
    void replyReader_data()
    {
        QTest::addColumn<QString>("reads");
        QTest::addColumn<QString>("expected");
        QTest::addRow("twoFramesInOneRead") << "038100 038300" << "scanComplete true, pairComplete true";
        QTest::addRow("splitFrameCompletesLater") << "0c84 a0a1 | a2a3a4a5 01 | 020304" << " |  | verifyPassKey a0a1a2a3a4a5 4030201";
        QTest::addRow("trailingByteWaitsForItsFrame") << "038600 03 | 8800" << "upperGpioComplete true | resetComplete true";
        QTest::addRow("radioNameEmptyOrGiven") << "0b82 a0a1a2a3a4a5 c0c1c2 0e82 a0a1a2a3a4a5 c0c1c2 522d37"
                                               << "radioFound a0a1a2a3a4a5 c0c1c2 , radioFound a0a1a2a3a4a5 c0c1c2 R-7";
        QTest::addRow("revisionsStopAtZeroPadding") << "0a8c 312e352e33 000000 068a 37333135 088b 31312e302e30"
                                                    << "getSwRevComplete 1.5.3, getHwRevComplete 7315, getFwRevComplete 11.0.0";
        QTest::addRow("passKeyLeastSignificantFirst") << "0c84 a0a1a2a3a4a5 78563412" << "verifyPassKey a0a1a2a3a4a5 12345678";
        QTest::addRow("nonZeroStatusIsFailure") << "038501 0387ff 038f00"
                                                << "upgradeReady false, lowerGpioComplete false, setSerialComplete true";
        QTest::addRow("infoAndBatteryUnchanged") << "0689 07 534e31 038d57" << "getInfoComplete 7 SN1, getBattComplete 87";
        QTest::addRow("unknownCodeDiscardsRest") << "038100 0290 038300 | 038301" << "scanComplete true | pairComplete false";
        QTest::addRow("unknownCodeWaitsForItsLength") << "059000 | 0000 038100 | 038100" << " |  | scanComplete true";
        QTest::addRow("lengthZeroDiscards") << "0081 038100 | 038101" << " | scanComplete false";
        QTest::addRow("lengthOneDiscards") << "0181 038100 | 038101" << " | scanComplete false";
        QTest::addRow("shortRepliesDroppedOthersRead")
            << "0281 028d 0289 0b84 a0a1a2a3a4a5 010203 0a82 a0a1a2a3a4a5 c0c1 038300" << "pairComplete true";
        QTest::addRow("emptyLogEntryAndRepeatedEnd") << "048e 6162 038e00 028e | 028e" << "getLogsComplete ab| | getLogsComplete ab|";
    }
    void replyReader()
    {
        QFETCH(QString, reads);
        QFETCH(QString, expected);
        Link link;
        QVERIFY(link.attached);
        QStringList got;
        for (const QString &read : reads.split('|'))
            got << link.feed(QByteArray::fromHex(read.toLatin1()));
        QCOMPARE(got.join(" | "), expected);
    }

    void logExchangeAsksUntilEmptyEntry()
    {
        Link link;
        QVERIFY(link.attached);
        link.device.getLogs();
        const QStringList got{link.feed(hex("04 8e") + "ab"), link.feed(hex("03 8e") + "c"), link.feed(hex("02 8e"))};
        QCOMPARE(link.pty.read(6), hex("02 0d 02 0d 02 0d"));
        link.device.getLogs(); // starts from nothing even though the device never answers it
        QCOMPARE(got + QStringList{link.feed(hex("02 8e"))}, QStringList({"", "", "getLogsComplete ab|c", "getLogsComplete "}));
        QCOMPARE(link.pty.read(3, 300), hex("02 0d"));
    }

    // Receivers run nested event loops (message boxes) while more bytes arrive:
    // the reader entered again, or not notified at all, still sees every frame
    // once and in order.
    void nestedEventLoopSeesEachFrameOnce_data()
    {
        QTest::addColumn<bool>("notifiedAgain");
        QTest::addRow("readerEnteredAgain") << true;
        QTest::addRow("bytesWithoutNotification") << false;
    }
    void nestedEventLoopSeesEachFrameOnce()
    {
        QFETCH(bool, notifiedAgain);
        Link link;
        QVERIFY(link.attached);
        connect(&link.device, &OrvikDevice::scanComplete, this, [&] {
            link.pty.write(hex("03 88 00 03 8d 2a"));
            if (link.device.waitForReadyRead(10000) && notifiedAgain)
                emit link.device.readyRead();
        });
        link.feed(hex("03 81 00 03 83 00"));
        QTRY_COMPARE(link.events, QStringList({"scanComplete true", "pairComplete true", "resetComplete true", "getBattComplete 42"}));
    }

    // Random frames with honest length bytes, cut into random reads, give one
    // signal per frame long enough for its code; the noise after them is harmless.
    void randomStreamsGiveOnlyWellFormedSignals()
    {
        const int shortest[] = {3, 11, 3, 12, 3, 3, 3, 3, 3, 2, 2, 2, 3, 2, 3}; // by code from 0x81
        Link link;
        QVERIFY(link.attached);
        QRandomGenerator random(0x0e71c); // fixed, so that a failure replays
        QByteArray stream;
        int expected = 1;
        for (int i = 0; i < 1500; ++i) {
            const int kind = random.bounded(15), size = 2 + random.bounded(20);
            expected += size >= shortest[kind] && !(kind == 0x8E - 0x81 && size > 2);
            stream += char(size) + QByteArray(1, char(0x81 + kind));
            for (int j = 2; j < size; ++j)
                stream += char(random.bounded(256));
        }
        stream += hex("03 81 00");
        for (int j = 0; j < 4000; ++j)
            stream += char(random.bounded(256));
        for (int at = 0, size = 0; at < stream.size(); at += size) {
            size = 1 + random.bounded(48);
            link.feed(stream.mid(at, size));
            link.pty.read(); // log entries ask for the next one: keep the master drained
        }
        QCOMPARE(link.events.value(expected - 1), QString("scanComplete true"));
    }

    // A vanished device reaches the window as one ResourceError, not as an
    // endless flood of ReadError, and the port is ready for the next attach.
    void hangUpGivesOneResourceError()
    {
        Link link;
        QVERIFY(link.attached);
        QSignalSpy errors(&link.device, &QSerialPort::errorOccurred);
        link.pty.closeMaster();
        QTRY_VERIFY_WITH_TIMEOUT(errors.count() == 2, 10000);
        QTest::qWait(300); // a busy loop would pile up thousands of notifications here
        QCOMPARE(errors, (QList<QVariantList>{{QSerialPort::ReadError}, {QSerialPort::ResourceError}}));
        QVERIFY(!link.device.isOpen());
        PtyPair next;
        QVERIFY(link.device.attach(next.slavePath()));
        link.device.doScan();
        QCOMPARE(next.read(2), hex("02 01"));
    }

    // During an upgrade the port's bytes belong to the updater; afterwards the
    // reader picks up exactly where it left off. A run with nothing to send
    // hands the port back as well.
    void upgradeOwnsPortUntilItEnds()
    {
        Link link;
        QVERIFY(link.attached);
        link.feed(hex("03 83")); // half a frame, left waiting
        link.device.doDfuUpgrade();
        QVERIFY(!link.pty.read(1).isEmpty()); // the updater's first packet
        link.device.doDfuUpgrade();          // ignored while one runs
        link.pty.write(hex("03 81 00"));     // no acknowledgement: the run times out
        QTRY_COMPARE_WITH_TIMEOUT(link.events.size(), 2, 15000);
        link.feed(hex("00"));
        link.device.doDfuUpgrade(QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(link.events.size(), 5, 10000);
        link.feed(hex("03 81 00"));
        QTest::qWait(1500); // past the updater's response time-out
        QCOMPARE(link.events, QStringList({"upgradeStarted 366", "upgradeFinished 2", "pairComplete true",
                                           "upgradeStarted 0", "upgradeFinished 2", "scanComplete true"}));
    }

    void destroyedDuringUpgradeLeavesNothingBehind()
    {
        {
            Link link;
            QVERIFY(link.attached);
            link.device.doDfuUpgrade();
        }
        QTest::qWait(1500); // a surviving updater would time out here, on a freed port
    }
};

QTEST_GUILESS_MAIN(OrvikDeviceTest)
#include "tst_orvikdevice.moc"
