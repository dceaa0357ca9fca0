// The tool's own device link against the running simulator, over a real
// pseudo-terminal: requests and their decoded answers, a port lost to a reset
// or an unplug that the same link attaches to again, and the line's faults.
// The exact bytes of each answer are tst_simfirmware's.
#include "devicesignals.h"
#include "simprocess.h"

#include <QJsonArray>
#include <QtTest>


constexpr int Long = 60000; // simulator start and re-enumeration under the sanitizers on a busy machine

class SimDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void requestsAreAnswered_data();
    void requestsAreAnswered();
};

void SimDeviceTest::requestsAreAnswered_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Request>("request");
    QTest::addColumn<QStringList>("expected");
    const auto row = [](const char *name, const QStringList &args, const Request &request,
                        const QStringList &expected) { QTest::addRow("%s", name) << args << request << expected; };
    const QStringList reattached{ "ResourceError", "getFwRevComplete 11.0.0" };

    row("pairing with a pass key", {},
        [](OrvikDevice &d) {
            connect(&d, &OrvikDevice::verifyPassKey, &d,
                    [&d](const QByteArray &address) { d.onPassKeyVerified(address, true); });
            d.doPair(QByteArray::fromHex("A0A1A2A3A4A5"), 2);
        },
        { "verifyPassKey a0a1a2a3a4a5 123456", "pairComplete true" });
    row("information chain, inputs (the lower refused) and log on a paced line",
        { "--battery", "42", "--baud", "19200", "--status", "0x06=1" },
        [](OrvikDevice &d) {
            d.getInfo();
            d.getHwRev();
            d.getFwRev();
            d.getSwRev();
            d.getBatt();
            d.upperGpio(true);
            d.lowerGpio(false);
            d.getLogs();
        },
        { "getInfoComplete 1 ORV-0001", "getHwRevComplete 7315", "getFwRevComplete 11.0.0", "getSwRevComplete 1.5.3",
          "getBattComplete 42", "upperGpioComplete true", "lowerGpioComplete false",
          "getLogsComplete boot ok\n|battery 87%\n" });
    row("reset re-enumerates", {}, &OrvikDevice::resetDevice, QStringList{ "resetComplete true" } + reattached);
    row("unplugged instead of an answer", { "--unplug-after", "request:0x0A", "--replug-delay", "200" },
        &OrvikDevice::getFwRev, reattached);
    row("an answer cut by an unplug leaves nothing for the replugged device",
        { "--unplug-after", "reply:0x08:3", "--replug-delay", "200" }, &OrvikDevice::getInfo, reattached);
    row("noise at power-up is dropped before the first answer", { "--stray-byte" },
        [](OrvikDevice &d) {
            QTest::qWait(1100); // the noise goes stale
            d.getFwRev();
        },
        { "getFwRevComplete 11.0.0" });
    row("an echoing line acknowledges nothing", { "--echo" }, [](OrvikDevice &d) { d.doDfuUpgrade(); },
        { "upgradeFinished InvalidResponseError" });
    row("a bootloader that stays after a failed transfer",
        { "--stay-in-bootloader", "--dfu-timeout", "300", "--fault", "no-reply@0" },
        [](OrvikDevice &d) {
            connect(&d, &OrvikDevice::upgradeReady, &d, [&d] { d.doDfuUpgrade(); });
            d.enterUpgradeMode();
        },
        { "upgradeReady true", "upgradeFinished NoResponseError" });
}

void SimDeviceTest::requestsAreAnswered()
{
    QFETCH(QStringList, args);
    QFETCH(Request, request);
    QFETCH(QStringList, expected);
    SimProcess sim;
    OrvikDevice device;
    QStringList events;
    DeviceSignals::recordReplies(&device, &events);
    connect(&device, &QSerialPort::errorOccurred, this, [&](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::ResourceError)
            events << "ResourceError";
    });
    QVERIFY(sim.start(args) && device.attach(sim.linkPath()));
    request(device);
    // A lost port: one resource error, then the same link path leads to the device again.
    if (expected.contains("ResourceError")) {
        QTRY_VERIFY_WITH_TIMEOUT(events.contains("ResourceError"), Long);
        device.close();
        QVERIFY(sim.waitForEvent("plug", 2));
        QTRY_VERIFY_WITH_TIMEOUT(device.isOpen() || device.attach(sim.linkPath()), Long);
        device.getFwRev();
    }
    QTRY_COMPARE_WITH_TIMEOUT(events, expected, Long);
    // Nothing the link sent gave the simulator cause to object.
    QCOMPARE(sim.summary().value("violations").toArray(), QJsonArray());
}

QTEST_GUILESS_MAIN(SimDeviceTest)
#include "tst_simdevice.moc"
