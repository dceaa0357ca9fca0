#include "orvikdevice.h"
#include "portmatch.h"
#include "ptypair.h"

#include <QRandomGenerator>
#include <QSerialPortInfo>
#include <QtTest>

#include <functional>

using Request = std::function<void(OrvikDevice &)>;
using Chunks = QList<QByteArray>;
using PortList = QVector<PortIds>;
Q_DECLARE_METATYPE(Request)
Q_DECLARE_METATYPE(PortIds)
#define REQUEST(call) Request([=](OrvikDevice &d) { d.call; })

static QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text); // spaces are skipped
}

static QString show(bool b) { return b ? "true" : "false"; }
static QString show(const QByteArray &bytes) { return bytes.toHex(); }
static QString show(const QString &text) { return text; }
static QString show(uint key) { return QString("%1").arg(key, 8, 16, QChar('0')); }
static QString show(uchar value) { return QString::number(value); }
static QString show(const QStringList &log) { return log.join('|'); }

// The device under test on the slave of a pty; the test plays the device on
// the master. Every reply signal is recorded as one line, in emission order.
struct Link
{
    PtyPair pty;
    OrvikDevice device;
    QSignalSpy reads{&device, &QSerialPort::readyRead};
    QStringList events;

    template<typename... Args>
    void record(void (OrvikDevice::*signal)(Args...), const QString &name)
    {
        QObject::connect(&device, signal, [=](Args... args) { events << QStringList{name, show(args)...}.join(' '); });
    }
    Link()
    {
        record(&OrvikDevice::radioFound, "radioFound");
        record(&OrvikDevice::scanComplete, "scanComplete");
        record(&OrvikDevice::verifyPassKey, "verifyPassKey");
        record(&OrvikDevice::pairComplete, "pairComplete");
        record(&OrvikDevice::upgradeReady, "upgradeReady");
        record(&OrvikDevice::upperGpioComplete, "upperGpioComplete");
        record(&OrvikDevice::lowerGpioComplete, "lowerGpioComplete");
        record(&OrvikDevice::resetComplete, "resetComplete");
        record(&OrvikDevice::getInfoComplete, "getInfoComplete");
        record(&OrvikDevice::getHwRevComplete, "getHwRevComplete");
        record(&OrvikDevice::getFwRevComplete, "getFwRevComplete");
        record(&OrvikDevice::getSwRevComplete, "getSwRevComplete");
        record(&OrvikDevice::getBattComplete, "getBattComplete");
        record(&OrvikDevice::getLogsComplete, "getLogsComplete");
        record(&OrvikDevice::setSerialComplete, "setSerialComplete");
    }

    bool attach() { return pty.isValid() && device.attach(pty.slavePath()); }

    // Sends bytes as one read and returns what that read emitted.
    QString feed(const QByteArray &bytes)
    {
        const int before = events.size();
        if (!pty.write(bytes) || !reads.wait(10000))
            return "<not read>";
        return events.mid(before).join(", ");
    }
};

class OrvikDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QSerialPort::SerialPortError>();
        qRegisterMetaType<Dfu::ErrorType>();
    }

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
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            if (info.vendorIdentifier() == 0x0403 && info.productIdentifier() == 0x6015)
                QSKIP("an Orvik bridge is plugged in");
        OrvikDevice device;
        device.setPortName("orvik-kept");
        QVERIFY(!device.attach(QString()));
        QCOMPARE(device.portName(), QString("orvik-kept"));
        QVERIFY(!device.isOpen());
    }

    void requestWritesExactFrame_data()
    {
        const QByteArray addr = hex("a0 a1 a2 a3 a4 a5");
        QTest::addColumn<Request>("request");
        QTest::addColumn<QByteArray>("frame");
        QTest::addRow("scan") << REQUEST(doScan()) << hex("02 01");
        QTest::addRow("pairFront") << REQUEST(doPair(addr, 1)) << hex("09 02 a0a1a2a3a4a5 01");
        QTest::addRow("pairPositionAboveTwoUnchanged") << REQUEST(doPair(addr, 0xC8)) << hex("09 02 a0a1a2a3a4a5 c8");
        QTest::addRow("pairSendsOnlySixAddressBytes") << REQUEST(doPair(addr + "xy", 0)) << hex("09 02 a0a1a2a3a4a5 00");
        QTest::addRow("pairShortAddressSendsNothing") << REQUEST(doPair(addr.left(5), 1)) << QByteArray();
        QTest::addRow("passKeyConfirmedSendsZero") << REQUEST(onPassKeyVerified(addr, true)) << hex("09 03 a0a1a2a3a4a5 00");
        QTest::addRow("passKeyRejectedSendsOne") << REQUEST(onPassKeyVerified(addr, false)) << hex("09 03 a0a1a2a3a4a5 01");
        QTest::addRow("passKeyShortAddressSendsNothing") << REQUEST(onPassKeyVerified(addr.left(5), true)) << QByteArray();
        QTest::addRow("upgradeMode") << REQUEST(enterUpgradeMode()) << hex("02 04");
        QTest::addRow("upperEmergency") << REQUEST(upperGpio(true)) << hex("03 05 01");
        QTest::addRow("upperNormal") << REQUEST(upperGpio(false)) << hex("03 05 00");
        QTest::addRow("lowerEmergency") << REQUEST(lowerGpio(true)) << hex("03 06 01");
        QTest::addRow("lowerNormal") << REQUEST(lowerGpio(false)) << hex("03 06 00");
        QTest::addRow("reset") << REQUEST(resetDevice()) << hex("02 07");
        QTest::addRow("info") << REQUEST(getInfo()) << hex("02 08");
        QTest::addRow("hwRev") << REQUEST(getHwRev()) << hex("02 09");
        QTest::addRow("fwRev") << REQUEST(getFwRev()) << hex("02 0a");
        QTest::addRow("swRev") << REQUEST(getSwRev()) << hex("02 0b");
        QTest::addRow("battery") << REQUEST(getBatt()) << hex("02 0c");
        QTest::addRow("nextLog") << REQUEST(getNextLog()) << hex("02 0d");
        QTest::addRow("logs") << REQUEST(getLogs()) << hex("02 0d");
    }
    void requestWritesExactFrame()
    {
        QFETCH(Request, request);
        QFETCH(QByteArray, frame);
        Link link; // a pty has no USB ids: an explicit name opens whatever port it is
        QVERIFY(link.attach());
        request(link.device);
        link.device.doScan(); // a marker: whatever came before it is the request
        QCOMPARE(link.pty.read(frame.size() + 2), frame + hex("02 01"));
        if (!frame.isEmpty())
            QCOMPARE(int(quint8(frame.at(0))), frame.size());
    }

    // One entry per read; each expected entry lists what that read emitted.
    void replyReader_data()
    {
        const QByteArray addr = hex("a0 a1 a2 a3 a4 a5"), cod = hex("c0 c1 c2");
        QTest::addColumn<Chunks>("reads");
        QTest::addColumn<QStringList>("expected");
        QTest::addRow("twoFramesInOneRead") << Chunks{hex("03 81 00 03 83 00")}
                                            << QStringList{"scanComplete true, pairComplete true"};
        QTest::addRow("splitFrameCompletesLater") << Chunks{hex("0c 84 a0 a1"), hex("a2 a3 a4 a5 01"), hex("02 03 04")}
                                                  << QStringList{"", "", "verifyPassKey a0a1a2a3a4a5 04030201"};
        QTest::addRow("trailingByteWaitsForItsFrame") << Chunks{hex("03 86 00 03"), hex("88 00")}
                                                      << QStringList{"upperGpioComplete true", "resetComplete true"};
        QTest::addRow("radioWithoutName") << Chunks{hex("0b 82") + addr + cod} << QStringList{"radioFound a0a1a2a3a4a5 c0c1c2 "};
        QTest::addRow("radioWithName") << Chunks{hex("0e 82") + addr + cod + "R-7"} << QStringList{"radioFound a0a1a2a3a4a5 c0c1c2 R-7"};
        QTest::addRow("revisionsStopAtZeroPadding")
            << Chunks{hex("0a 8c") + "1.5.3" + hex("00 00 00") + hex("06 8a") + "7315" + hex("08 8b") + "11.0.0"}
            << QStringList{"getSwRevComplete 1.5.3, getHwRevComplete 7315, getFwRevComplete 11.0.0"};
        QTest::addRow("passKeyLeastSignificantFirst") << Chunks{hex("0c 84") + addr + hex("78 56 34 12")}
                                                      << QStringList{"verifyPassKey a0a1a2a3a4a5 12345678"};
        QTest::addRow("nonZeroStatusIsFailure")
            << Chunks{hex("03 85 01 03 87 ff 03 8f 00")}
            << QStringList{"upgradeReady false, lowerGpioComplete false, setSerialComplete true"};
        QTest::addRow("infoAndBatteryUnchanged") << Chunks{hex("06 89 07") + "SN1" + hex("03 8d 57")}
                                                 << QStringList{"getInfoComplete 7 SN1, getBattComplete 87"};
        QTest::addRow("unknownCodeDiscardsRest") << Chunks{hex("03 81 00 02 90 03 83 00"), hex("03 83 01")}
                                                 << QStringList{"scanComplete true", "pairComplete false"};
        QTest::addRow("unknownCodeWaitsForItsLength") << Chunks{hex("05 90 00"), hex("00 00 03 81 00"), hex("03 81 00")}
                                                      << QStringList{"", "", "scanComplete true"};
        QTest::addRow("lengthZeroDiscards") << Chunks{hex("00 81 03 81 00"), hex("03 81 01")} << QStringList{"", "scanComplete false"};
        QTest::addRow("lengthOneDiscards") << Chunks{hex("01 81 03 81 00"), hex("03 81 01")} << QStringList{"", "scanComplete false"};
        QTest::addRow("shortRepliesDroppedOthersRead")
            << Chunks{hex("02 81 02 8d 02 89 0b 84") + addr + hex("01 02 03 0a 82") + addr + hex("c0 c1 03 83 00")}
            << QStringList{"pairComplete true"};
        QTest::addRow("emptyLogEntryAndRepeatedEnd") << Chunks{hex("04 8e") + "ab" + hex("03 8e 00 02 8e"), hex("02 8e")}
                                                     << QStringList{"getLogsComplete ab|", "getLogsComplete ab|"};
    }
    void replyReader()
    {
        QFETCH(Chunks, reads);
        QFETCH(QStringList, expected);
        Link link;
        QVERIFY(link.attach());
        QStringList got;
        for (const QByteArray &chunk : reads)
            got << link.feed(chunk);
        QCOMPARE(got, expected);
    }

    void logExchangeAsksUntilEmptyEntry()
    {
        Link link;
        QVERIFY(link.attach());
        link.device.getLogs();
        QCOMPARE(link.pty.read(2), hex("02 0d"));
        link.feed(hex("04 8e") + "ab");
        QCOMPARE(link.pty.read(2), hex("02 0d"));
        link.feed(hex("03 8e") + "c");
        QCOMPARE(link.pty.read(2), hex("02 0d"));
        QCOMPARE(link.feed(hex("02 8e")), QString("getLogsComplete ab|c"));
        link.device.getLogs(); // starts from nothing even though the device never answers it
        QCOMPARE(link.feed(hex("02 8e")), QString("getLogsComplete "));
        QCOMPARE(link.pty.read(2, 200), hex("02 0d"));
    }

    // Receivers run nested event loops (message boxes) while more bytes arrive.
    // The port does not notify from inside its own notification, but a reader
    // entered again must still see every frame once, in order, and bytes the
    // port took in meanwhile must not wait for the device to send more.
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
        QVERIFY(link.attach());
        bool nested = false;
        connect(&link.device, &OrvikDevice::scanComplete, this, [&] {
            if (std::exchange(nested, true))
                return;
            QEventLoop loop;
            QTimer::singleShot(0, &loop, [&] {
                link.pty.write(hex("03 88 00 03 8d 2a"));
                if (link.device.waitForReadyRead(10000) && notifiedAgain)
                    emit link.device.readyRead();
                loop.quit();
            });
            loop.exec();
        });
        link.feed(hex("03 81 00 03 83 00"));
        QTRY_COMPARE(link.events,
                     QStringList({"scanComplete true", "pairComplete true", "resetComplete true", "getBattComplete 42"}));
    }

    // Random frames with honest length bytes, cut into random reads: the signals
    // follow the frames one for one. Then plain noise, which must stay harmless.
    void randomStreamsGiveOnlyWellFormedSignals()
    {
        static const QPair<const char *, int> replies[] = { // by code from 0x81: signal, shortest frame
            {"scanComplete", 3}, {"radioFound", 11}, {"pairComplete", 3}, {"verifyPassKey", 12}, {"upgradeReady", 3},
            {"upperGpioComplete", 3}, {"lowerGpioComplete", 3}, {"resetComplete", 3}, {"getInfoComplete", 3},
            {"getHwRevComplete", 2}, {"getFwRevComplete", 2}, {"getSwRevComplete", 2}, {"getBattComplete", 3},
            {"getLogsComplete", 2}, {"setSerialComplete", 3}};
        Link link;
        QVERIFY(link.attach());
        QRandomGenerator random(0x0e71c); // fixed, so that a failure replays
        const auto play = [&](const QByteArray &stream) {
            for (int at = 0, size = 0; at < stream.size(); at += size) {
                size = 1 + random.bounded(48);
                link.feed(stream.mid(at, size));
                link.pty.read(); // log entries ask for the next one: keep the master drained
            }
        };
        QByteArray frames, noise;
        QStringList expected;
        for (int i = 0; i < 6000; ++i) {
            const int kind = random.bounded(15), size = 2 + random.bounded(20);
            if (size >= replies[kind].second && !(kind == 0x8E - 0x81 && size > 2))
                expected << replies[kind].first;
            frames += char(size) + QByteArray(1, char(0x81 + kind));
            for (int j = 2; j < size; ++j)
                frames += char(random.bounded(256));
        }
        play(frames + hex("03 81 00"));
        expected << "scanComplete";
        while (link.events.size() < expected.size() && link.reads.wait(5000)) {
        }
        for (int j = 0; j < 20000; ++j)
            noise += char(random.bounded(256));
        play(noise);
        QStringList emitted;
        for (const QString &event : qAsConst(link.events)) {
            const QStringList fields = event.split(' ');
            emitted << fields.first();
            QVERIFY2(!event.contains(QChar(0)), qPrintable(event));
            if (fields.first() == "radioFound" || fields.first() == "verifyPassKey")
                QVERIFY2(fields.at(1).size() == 12 && (fields.first() != "radioFound" || fields.at(2).size() == 6),
                         qPrintable(event));
        }
        QCOMPARE(emitted.mid(0, expected.size()), expected);
    }

    // A vanished device must reach the window as one ResourceError, not as an
    // endless flood of ReadError, and the port must be ready for the next attach.
    void hangUpGivesOneResourceError()
    {
        Link link;
        QVERIFY(link.attach());
        QSignalSpy errors(&link.device, &QSerialPort::errorOccurred);
        const auto resourceErrors = [&errors] {
            return std::count_if(errors.cbegin(), errors.cend(), [](const QList<QVariant> &args) {
                return args.at(0).value<QSerialPort::SerialPortError>() == QSerialPort::ResourceError;
            });
        };
        link.pty.closeMaster();
        QTRY_COMPARE_WITH_TIMEOUT(resourceErrors(), 1, 10000);
        QTest::qWait(300); // a busy loop would pile up thousands of notifications here
        QCOMPARE(resourceErrors(), 1);
        QVERIFY2(errors.count() <= 2, qPrintable(QString::number(errors.count())));
        QVERIFY(!link.device.isOpen());
        PtyPair next;
        QVERIFY(link.device.attach(next.slavePath()));
        link.device.doScan();
        QCOMPARE(next.read(2), hex("02 01"));
    }

    // During an upgrade the port's bytes belong to the updater; afterwards the
    // reader picks up exactly where it left off.
    void upgradeOwnsPortUntilItEnds()
    {
        Link link;
        QVERIFY(link.attach());
        QSignalSpy started(&link.device, &OrvikDevice::upgradeStarted);
        QSignalSpy finished(&link.device, &OrvikDevice::upgradeFinished);
        link.feed(hex("03 83")); // half a frame, left waiting
        link.device.doDfuUpgrade();
        QCOMPARE(started.count(), 1);
        QVERIFY(!link.pty.read(1).isEmpty()); // the updater's first packet
        link.device.doDfuUpgrade();          // ignored while one runs
        QCOMPARE(started.count(), 1);
        link.pty.write(hex("03 81 00"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
        QCOMPARE(link.events, QStringList());
        QCOMPARE(link.feed(hex("00")), QString("pairComplete true"));
        QTest::qWait(1500); // past the updater's response time-out
        QCOMPARE(finished.count(), 1);
    }

    void upgradeWithNothingToSendHandsPortBack()
    {
        Link link;
        QVERIFY(link.attach());
        QSignalSpy finished(&link.device, &OrvikDevice::upgradeFinished);
        for (int run = 1; run <= 2; ++run) {
            link.device.doDfuUpgrade(QString(), QString());
            QTRY_COMPARE_WITH_TIMEOUT(finished.count(), run, 10000);
            QCOMPARE(link.feed(hex("03 81 00")), QString("scanComplete true"));
        }
    }

    void destroyedDuringUpgradeLeavesNothingBehind()
    {
        PtyPair pty;
        auto *device = new OrvikDevice(this);
        QVERIFY(device->attach(pty.slavePath()));
        QSignalSpy started(device, &OrvikDevice::upgradeStarted);
        device->doDfuUpgrade();
        QCOMPARE(started.count(), 1);
        delete device;
        QTest::qWait(1500); // a surviving updater would time out here, on a freed port
    }
};

QTEST_GUILESS_MAIN(OrvikDeviceTest)
#include "tst_orvikdevice.moc"
