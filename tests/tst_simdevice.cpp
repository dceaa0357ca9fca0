// The device link against the running simulator's line faults; the answers' bytes are tst_simfirmware's.
#include "devicesignals.h"
#include "simprocess.h"

#include <QJsonArray>
#include <QtTest>

constexpr int Long = 60000; // simulator start and re-enumeration under the sanitizers on a busy machine

class SimDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void requestsAreAnswered_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<Request>("request");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char *name, const QStringList &args, const Request &request,
                            const QStringList &expected) { QTest::addRow("%s", name) << args << request << expected; };
        const QStringList reattached{ "ResourceError", "getFwRevComplete 11.0.0" };

        row("an answer cut by an unplug leaves nothing for the replugged device",
            { "--unplug-after", "reply:0x08:3", "--replug-delay", "200" }, &OrvikDevice::getInfo, reattached);
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

    void requestsAreAnswered()
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
};

QTEST_GUILESS_MAIN(SimDeviceTest)
#include "tst_simdevice.moc"
