// The device link on a pty (the test plays the device): request frames, the reply reader with its nested event loops, a
// vanished device, port matching and the updater's hold on the port.
#include "testhelpers.h"
#include "devicesignals.h"
#include "ptypair.h"

#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(PortIds)
#define REQUEST(calls) Request([=](OrvikDevice &d) { d.calls; })

// The device sends bytes as one read, or the test acts. Nested and Unnotified bytes arrive while the receiver of the
// next signal runs a nested event loop, in which the port notifies again or not.
struct Step
{
    enum Action { Read, GetLogs, Pause, Close, Attach, Nested, Unnotified } action = Read;
    QByteArray bytes;
    Step(const char *hex) : bytes(QByteArray::fromHex(hex)) { }
    Step(Action action = Read, const char *hex = "") : action(action), bytes(QByteArray::fromHex(hex)) { }
};
Q_DECLARE_METATYPE(Step)

// An attached device whose signals are recorded in emission order.
struct Link
{
    PtyPair pty;
    OrvikDevice device;
    QSignalSpy reads{ &device, &QSerialPort::readyRead };
    QStringList events;
    QByteArray nested;
    bool notifyAgain = false;

    Link()
    {
        device.attach(pty.slavePath()); // a pty has no USB ids: a named port opens whatever it is
        const auto inNestedLoop = [this] {
            if (!nested.isEmpty() && pty.write(std::exchange(nested, {})) && device.waitForReadyRead(10000)
                && notifyAgain)
                emit device.readyRead();
        };
        DeviceSignals::recordReplies(&device, &events, inNestedLoop);
        DeviceSignals::record(&device, &events, &OrvikDevice::upgradeStarted);
        DeviceSignals::record(&device, &events, &QSerialPort::errorOccurred);
    }
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
    // A port without a location gets a pty whose device answers if its index is in "answering". Each attach (three, or
    // one per entry of "listed") asks: the port opened and "answered", "lost" or "waiting"; "-" when none opened.
    void attachTriesMatchesInTurn_data()
    {
        const PortIds orvik{ true, 0x0403, true, 0x6015, {} };
        QTest::addColumn<QVector<PortIds>>("ports");
        QTest::addColumn<QList<int>>("answering");
        QTest::addColumn<bool>("named"); // the first port, by name
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QList<QList<int>>>("listed");
        const auto row = [](const char *name, const QVector<PortIds> &ports, const QList<int> &answering,
                            const char *expected, bool named = false, const QList<QList<int>> &listed = {}) {
            QTest::addRow("%s", name) << ports << answering << named << QString(expected) << listed;
        };
        row("noPorts", {}, {}, "-, -, -");
        row("otherFtdiSkipped", { { true, 0x0403, true, 0x6001, {} }, orvik }, { 0, 1 },
            "1 answered, 1 answered, 1 answered");
        row("idsWithoutTheOtherSkipped", { { true, 0x0403, false, 0x6015, {} }, { false, 0x0403, true, 0x6015, {} } },
            { 0, 1 }, "-, -, -");
        row("silentMatchMakesWayForTheNext", { orvik, orvik }, { 1 }, "0 lost, 1 answered, 1 answered");
        row("silentMatchesTakeTurns", { orvik, {}, orvik }, {}, "0 lost, 2 lost, 0 lost");
        // The device unplugged and back: alone for a while, the silent match still gives way.
        row("silentMatchKeepsGivingWay", { orvik, orvik }, { 1 }, "0 lost, 1 answered, 0 lost, 1 answered", false,
            { { 0, 1 }, { 0, 1 }, { 0 }, { 0, 1 } });
        row("unopenedMatchMakesWayForTheNext", { { true, 0x0403, true, 0x6015, "/dev/orvik-gone" }, orvik }, { 1 },
            "-, 1 answered, 1 answered");
        row("singleMatchWaits", { orvik }, {}, "0 waiting, 0 waiting, 0 waiting");
        row("namedPortWaits", { orvik, orvik }, { 1 }, "0 waiting, 0 waiting, 0 waiting", true);
    }
    void attachTriesMatchesInTurn()
    {
        QFETCH(QVector<PortIds>, ports);
        QFETCH(QList<int>, answering);
        QFETCH(bool, named);
        QFETCH(QString, expected);
        QFETCH(QList<QList<int>>, listed);
        std::vector<std::unique_ptr<PtyPair>> ptys;
        QStringList locations;
        for (PortIds &port : ports) {
            ptys.push_back(std::make_unique<PtyPair>());
            locations << (port.location = port.location.isEmpty() ? ptys.back()->slavePath() : port.location);
        }
        QVector<PortIds> shown;
        OrvikDevice device;
        device.listPorts = [&shown] { return shown; };
        device.adapterReplyTimer->setInterval(50);
        QString outcome;
        connect(&device, &OrvikDevice::getInfoComplete, [&] { outcome = "answered"; });
        connect(&device, &QSerialPort::errorOccurred, [&](QSerialPort::SerialPortError error) {
            outcome = error == QSerialPort::ResourceError ? "lost" : outcome;
        });
        QStringList got;
        for (int attempt = 0; attempt < (listed.isEmpty() ? 3 : listed.size()); ++attempt) {
            shown.clear();
            for (int i = 0; i < ports.size(); ++i)
                if (listed.isEmpty() || listed.at(attempt).contains(i))
                    shown << ports.at(i);
            device.close();
            if (!device.attach(named ? ports.at(0).location : QString())) {
                got << "-";
                continue;
            }
            const int at = locations.indexOf("/dev/" + device.portName());
            outcome = "waiting";
            device.getInfo();
            if (answering.contains(at) && !ptys.at(size_t(at))->read(2).isEmpty())
                ptys.at(size_t(at))->write(hex("0689 07 534e31"));
            (void)QTest::qWaitFor([&] { return outcome != "waiting"; }, 250);
            got << QString("%1 %2").arg(at).arg(outcome);
        }
        QCOMPARE(got.join(", "), expected);
    }

    // A scan follows each row's calls as a marker.
    void requestWritesExactFrame_data()
    {
        const QByteArray addr = hex("a0 a1 a2 a3 a4 a5");
        QTest::addColumn<Request>("request");
        QTest::addColumn<QByteArray>("frames");
        QTest::addRow("inputsEmergencyOneNormalZero")
                << REQUEST(upperGpio(true); d.upperGpio(false); d.lowerGpio(true); d.lowerGpio(false))
                << hex("030501 030500 030601 030600");
        QTest::addRow("pairSendsSixAddressBytesAndAnyPosition")
                << REQUEST(doPair(addr, 1); d.doPair(addr, 0xC8); d.doPair(addr + "xy", 0))
                << hex("0902 a0a1a2a3a4a5 01 0902 a0a1a2a3a4a5 c8 0902 a0a1a2a3a4a5 00");
        QTest::addRow("passKeyConfirmedZeroRejectedOne")
                << REQUEST(onPassKeyVerified(addr, true); d.onPassKeyVerified(addr, false))
                << hex("09 03 a0a1a2a3a4a5 00 09 03 a0a1a2a3a4a5 01");
        QTest::addRow("shortAddressSendsNothing")
                << REQUEST(doPair(addr.left(5), 1); d.onPassKeyVerified(addr.left(5), true)) << QByteArray();
    }
    void requestWritesExactFrame()
    {
        QFETCH(Request, request);
        QFETCH(QByteArray, frames);
        Link link;
        request(link.device);
        link.device.doScan();
        QCOMPARE(link.pty.read(frames.size() + 2).toHex(' '), (frames + hex("02 01")).toHex(' '));
    }

    // For each step, what it emitted; "requests" is everything the device wrote.
    void replyReader_data()
    {
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QByteArray>("requests");
        const auto row = [](const char *name, const QList<Step> &steps, const QStringList &expected,
                            const char *requests = "") {
            QTest::addRow("%s", name) << steps << expected << hex(requests);
        };
        using S = Step;
        row("twoFramesInOneRead", { "038100 038300" }, { "scanComplete true, pairComplete true" });
        row("splitFrameCompletesLater", { "0c84 a0a1", "a2a3a4a5 40", "e20100" },
            { "", "", "verifyPassKey a0a1a2a3a4a5 123456" });
        row("trailingByteWaitsForItsFrame", { "038600 03", "8800" },
            { "upperGpioComplete true", "resetComplete true" });
        row("radioNameEmptyOrGiven", { "0b82 a0a1a2a3a4a5 c0c1c2 0e82 a0a1a2a3a4a5 c0c1c2 522d37" },
            { "radioFound a0a1a2a3a4a5 c0c1c2 , radioFound a0a1a2a3a4a5 c0c1c2 R-7" });
        row("revisionsStopAtZeroPadding", { "0a8c 312e352e33 000000 068a 37333135 088b 31312e302e30" },
            { "getSwRevComplete 1.5.3, getHwRevComplete 7315, getFwRevComplete 11.0.0" });
        row("nonZeroStatusIsFailure", { "038501 0387ff 038f00" },
            { "upgradeReady false, lowerGpioComplete false, setSerialComplete true" });
        row("infoAndBatteryUnchanged", { "0689 07 534e31 038d57" }, { "getInfoComplete 7 SN1, getBattComplete 87" });
        row("unknownCodeDiscardsRest", { "038100 0290 038300", "038301" },
            { "scanComplete true", "pairComplete false" });
        row("unknownCodeWaitsForItsLength", { "059000", "0000 038100", "038100" }, { "", "", "scanComplete true" });
        row("lengthZeroOrOneDiscards", { "0081 038100", "038101", "0181 038100", "038101" },
            { "", "scanComplete false", "", "scanComplete false" });
        row("shortRepliesDroppedOthersRead",
            { "0281 028d 0289 0b84 a0a1a2a3a4a5 010203 0a82 a0a1a2a3a4a5 c0c1 038300" }, { "pairComplete true" });
        row("logExchangeAsksUntilEmptyEntry", { S::GetLogs, "048e 6162", "038e 63", "028e", S::GetLogs, "028e" },
            { "", "", "", "getLogsComplete ab|c", "", "getLogsComplete " }, "020d 020d 020d 020d");
        row("emptyLogEntryAndRepeatedEnd", { "048e 6162 038e00 028e", "028e" },
            { "getLogsComplete ab|", "getLogsComplete ab|" }, "020d 020d");
        row("readerEnteredAgainFromNestedLoop", { { S::Nested, "038800 038d2a" }, "038100 038300" },
            { "", "scanComplete true, pairComplete true, resetComplete true, getBattComplete 42" });
        row("bytesWithoutNotificationInNestedLoop", { { S::Unnotified, "038800 038d2a" }, "038100 038300" },
            { "", "scanComplete true, pairComplete true, resetComplete true, getBattComplete 42" });
        row("closingAClosedPortReportsNothing", { S::Close, S::Close }, { "", "" });
        row("newConnectionStartsEmpty", { S::GetLogs, "048e 6162", "0c84 a0a1", S::Close, S::Attach, "038100 028e" },
            { "", "", "", "", "errorOccurred NoError", "scanComplete true, getLogsComplete " }, "020d 020d");
        row("strayByteDroppedOnceStale", { "ff", S::Pause, "038100" }, { "", "", "scanComplete true" });
    }
    void replyReader()
    {
        QFETCH(QList<Step>, steps);
        QFETCH(QStringList, expected);
        QFETCH(QByteArray, requests);
        Link link;
        QStringList got;
        for (const Step &step : steps) {
            const int before = link.events.size();
            if (step.action == Step::Read) {
                got << link.feed(step.bytes);
                continue;
            }
            if (step.action == Step::GetLogs)
                link.device.getLogs();
            else if (step.action == Step::Pause)
                QTest::qWait(1100); // outwaits a partial frame
            else if (step.action == Step::Close)
                link.device.close();
            else if (step.action == Step::Attach)
                link.device.attach(link.pty.slavePath()); // the same pty again
            else
                link.nested = step.bytes, link.notifyAgain = step.action == Step::Nested;
            got << link.events.mid(before).join(", ");
        }
        QCOMPARE(got, expected);
        QCOMPARE(link.pty.read(requests.size()).toHex(' '), requests.toHex(' '));
    }

    // A vanished device: one ResourceError after the first ReadError, not a flood; the port can attach again.
    void hangUpGivesOneResourceError()
    {
        Link link;
        link.pty.closeMaster();
        QTRY_COMPARE_WITH_TIMEOUT(link.events.size(), 2, 10000);
        QTest::qWait(300); // a busy loop would pile up thousands of notifications here
        QCOMPARE(link.events, QStringList({ "errorOccurred ReadError", "errorOccurred ResourceError" }));
        PtyPair next;
        QVERIFY(link.device.attach(next.slavePath()));
    }

    // During an upgrade the port's bytes are the updater's; then the reader goes on where it left off (also after a run
    // with nothing to send).
    void upgradeOwnsPortUntilItEnds()
    {
        Link link;
        link.feed(hex("03 83")); // half a frame, left waiting
        link.device.doDfuUpgrade();
        link.device.doDfuUpgrade(); // ignored while one runs
        link.pty.write(hex("03 81 00")); // no acknowledgement: the run times out
        QTRY_COMPARE_WITH_TIMEOUT(link.events.size(), 2, 15000);
        link.feed(hex("00"));
        link.device.doDfuUpgrade(QString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(link.events.size(), 5, 10000);
        link.feed(hex("03 81 00"));
        QTest::qWait(1500); // past the updater's response time-out
        QCOMPARE(link.events,
                 QStringList({ QString("upgradeStarted %1").arg(builtInPackets()), "upgradeFinished NoResponseError",
                               "pairComplete true", "upgradeStarted 0", "upgradeFinished NoResponseError",
                               "scanComplete true" }));
    }

    // The window closed mid-upgrade: the updater goes with the port, not left to time out on it.
    void destroyedDuringUpgradeLeavesNothingBehind()
    {
        QPointer<Dfu> updater;
        {
            Link link;
            link.device.doDfuUpgrade();
            updater = link.device.dfu;
            QVERIFY(updater && link.events.contains(QString("upgradeStarted %1").arg(builtInPackets())));
        }
        QVERIFY(updater.isNull());
    }
};

QTEST_GUILESS_MAIN(OrvikDeviceTest)
#include "tst_orvikdevice.moc"
