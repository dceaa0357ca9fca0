// The tool's own device link against the running simulator, over a real
// pseudo-terminal: every request and its decoded signal, resets, unplugs and
// firmware updates with re-enumeration behind the same link.
#include "orvikdevice.h"
#include "simprocess.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

#include <functional>

using Request = std::function<void(OrvikDevice &)>;
Q_DECLARE_METATYPE(Request)

namespace {

// A full update under the sanitizers on a busy machine. QTRY retries once with
// twice the time before it fails, which must stay within the function timeout.
constexpr int Long = 60000;

// One simulator and the device link attached to it through the link path; the
// link's decoded signals are recorded as lines.
struct Rig
{
    SimProcess sim;
    OrvikDevice device;
    QStringList events;
    QList<QSerialPort::SerialPortError> errors;
    QList<Dfu::ErrorType> results;

    Rig()
    {
        const auto add = [this](const QString &line) { events << line; };
        const QList<QPair<QString, void (OrvikDevice::*)(bool)>> statusSignals = {
            {"scanComplete", &OrvikDevice::scanComplete},           {"pairComplete", &OrvikDevice::pairComplete},
            {"upgradeReady", &OrvikDevice::upgradeReady},           {"upperGpioComplete", &OrvikDevice::upperGpioComplete},
            {"lowerGpioComplete", &OrvikDevice::lowerGpioComplete}, {"resetComplete", &OrvikDevice::resetComplete}};
        for (const auto &s : statusSignals)
            QObject::connect(&device, s.second, [=](bool ok) { add(s.first + (ok ? " true" : " false")); });
        const QList<QPair<QString, void (OrvikDevice::*)(QString)>> textSignals = {
            {"getHwRevComplete", &OrvikDevice::getHwRevComplete},
            {"getFwRevComplete", &OrvikDevice::getFwRevComplete},
            {"getSwRevComplete", &OrvikDevice::getSwRevComplete}};
        for (const auto &s : textSignals)
            QObject::connect(&device, s.second, [=](const QString &text) { add(s.first + ' ' + text); });
        QObject::connect(&device, &OrvikDevice::radioFound, [=](QByteArray addr, QByteArray cod, QString name) {
            add(QString("radioFound %1 %2 %3").arg(QString(addr.toHex()), QString(cod.toHex()), name));
        });
        QObject::connect(&device, &OrvikDevice::verifyPassKey,
                         [=](QByteArray addr, uint key) { add(QString("verifyPassKey %1 %2").arg(QString(addr.toHex())).arg(key)); });
        QObject::connect(&device, &OrvikDevice::getInfoComplete,
                         [=](uchar pos, QString serial) { add(QString("getInfoComplete %1 %2").arg(pos).arg(serial)); });
        QObject::connect(&device, &OrvikDevice::getBattComplete,
                         [=](uchar percent) { add(QString("getBattComplete %1").arg(percent)); });
        QObject::connect(&device, &OrvikDevice::getLogsComplete,
                         [=](QStringList log) { add("getLogsComplete " + log.join('|')); });
        QObject::connect(&device, &QSerialPort::errorOccurred, [this](QSerialPort::SerialPortError e) {
            // A vanished pty can repeat its error many times; once is enough here.
            if (e != QSerialPort::NoError && !errors.contains(e))
                errors << e;
        });
        QObject::connect(&device, &OrvikDevice::upgradeFinished, [this](Dfu::ErrorType e) { results << e; });
    }

    bool start(const QStringList &args) { return sim.start(args) && device.attach(sim.linkPath()); }

    // What the main window does after a lost port, a reset or an update:
    // close, then attach again through the same link until it works.
    bool reattach()
    {
        device.close();
        QDeadlineTimer deadline(Long);
        while (!device.attach(sim.linkPath())) {
            if (deadline.hasExpired())
                return false;
            QTest::qWait(100);
        }
        return true;
    }

    QString fwRev()
    {
        events.clear();
        device.getFwRev();
        return QTest::qWaitFor([this]() { return !events.isEmpty(); }, Long) ? events.first() : QString();
    }
};

} // namespace

class SimDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(resources);
        qRegisterMetaType<QSerialPort::SerialPortError>();
        qRegisterMetaType<Dfu::ErrorType>();
    }
    void everyRequestIsAnswered_data();
    void everyRequestIsAnswered();
    void resetReenumeratesBehindTheSameLink();
    void unplugIsAResourceErrorAndReplugAttaches_data();
    void unplugIsAResourceErrorAndReplugAttaches();
    void updateInstallsTheNewFirmware();
    void injectedFaultsEndTheUpdateAndTheOldFirmwareReturns_data();
    void injectedFaultsEndTheUpdateAndTheOldFirmwareReturns();
    void baudRatePacesTheLine();
    void commandLineMistakeIsReported();
};

void SimDeviceTest::everyRequestIsAnswered_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Request>("request");
    QTest::addColumn<QStringList>("expected");

    const QByteArray radio = QByteArray::fromHex("A0A1A2A3A4A5");
    const auto answerPassKey = [radio](bool yes) {
        return Request([radio, yes](OrvikDevice &d) {
            QObject::connect(&d, &OrvikDevice::verifyPassKey, &d, [&d, yes](QByteArray addr, uint) { d.onPassKeyVerified(addr, yes); });
            d.doPair(radio, 2);
        });
    };
    QTest::addRow("scan") << QStringList() << Request([](OrvikDevice &d) { d.doScan(); })
                          << QStringList{"radioFound a0a1a2a3a4a5 040262 Orvik Radio 1",
                                         "radioFound b0b1b2b3b4b5 200404 Headset",
                                         "radioFound c0c1c2c3c4c5 040262 Orvik Radio 2", "scanComplete true"};
    QTest::addRow("failing scan") << QStringList{"--status", "0x01=1"} << Request([](OrvikDevice &d) { d.doScan(); })
                                  << QStringList{"scanComplete false"};
    QTest::addRow("pairing with a confirmed pass key") << QStringList() << answerPassKey(true)
                                                       << QStringList{"verifyPassKey a0a1a2a3a4a5 123456", "pairComplete true"};
    QTest::addRow("pairing with a rejected pass key") << QStringList() << answerPassKey(false)
                                                      << QStringList{"verifyPassKey a0a1a2a3a4a5 123456", "pairComplete false"};
    QTest::addRow("pairing without a pass key") << QStringList{"--no-passkey"}
                                                << Request([radio](OrvikDevice &d) { d.doPair(radio, 1); })
                                                << QStringList{"pairComplete true"};
    QTest::addRow("inputs") << QStringList{"--status", "0x06=1"}
                            << Request([](OrvikDevice &d) { d.upperGpio(true); d.lowerGpio(false); })
                            << QStringList{"upperGpioComplete true", "lowerGpioComplete false"};
    QTest::addRow("information chain") << QStringList{"--battery", "42"}
                                       << Request([](OrvikDevice &d) { d.getInfo(); d.getHwRev(); d.getFwRev(); d.getSwRev(); d.getBatt(); })
                                       << QStringList{"getInfoComplete 1 ORV-0001", "getHwRevComplete 7315",
                                                      "getFwRevComplete 11.0.0", "getSwRevComplete 1.5.3", "getBattComplete 42"};
    QTest::addRow("logs") << QStringList() << Request([](OrvikDevice &d) { d.getLogs(); })
                          << QStringList{"getLogsComplete boot ok\n|battery 87%\n"};
    QTest::addRow("upgrade mode") << QStringList() << Request([](OrvikDevice &d) { d.enterUpgradeMode(); })
                                  << QStringList{"upgradeReady true"};
    QTest::addRow("refused upgrade mode") << QStringList{"--status", "0x04=2"}
                                          << Request([](OrvikDevice &d) { d.enterUpgradeMode(); })
                                          << QStringList{"upgradeReady false"};
    QTest::addRow("reset") << QStringList() << Request([](OrvikDevice &d) { d.resetDevice(); })
                           << QStringList{"resetComplete true"};
}

void SimDeviceTest::everyRequestIsAnswered()
{
    QFETCH(QStringList, args);
    QFETCH(Request, request);
    QFETCH(QStringList, expected);
    Rig rig;
    QVERIFY(rig.start(args));
    request(rig.device);
    QTRY_COMPARE_WITH_TIMEOUT(rig.events, expected, Long);
    QCOMPARE(rig.sim.summary().value("violations").toArray(), QJsonArray());
}

void SimDeviceTest::resetReenumeratesBehindTheSameLink()
{
    Rig rig;
    QVERIFY(rig.start({}));
    const QString first = QFileInfo(rig.sim.linkPath()).symLinkTarget();
    rig.device.resetDevice();
    QTRY_VERIFY_WITH_TIMEOUT(rig.errors.contains(QSerialPort::ResourceError), Long);
    QCOMPARE(rig.events, QStringList{"resetComplete true"});
    QVERIFY(rig.sim.waitForSlavePaths(2));
    QVERIFY(rig.reattach());
    QVERIFY(QFileInfo(rig.sim.linkPath()).symLinkTarget() != first);
    QCOMPARE(rig.fwRev(), QStringLiteral("getFwRevComplete 11.0.0"));
}

void SimDeviceTest::unplugIsAResourceErrorAndReplugAttaches_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Request>("request");
    QTest::addColumn<QList<Dfu::ErrorType>>("results");
    QTest::addRow("at a request") << QStringList{"--unplug-after", "request:0x0A", "--replug-delay", "200"}
                                  << Request([](OrvikDevice &d) { d.getFwRev(); }) << QList<Dfu::ErrorType>();
    QTest::addRow("after a time") << QStringList{"--unplug-after", "ms:300", "--replug-delay", "200"}
                                  << Request([](OrvikDevice &) {}) << QList<Dfu::ErrorType>();
    QTest::addRow("at a DFU packet") << QStringList{"--unplug-after", "packet:3", "--fw-rev", "10.0.0"}
                                     << Request([](OrvikDevice &d) {
                                            QObject::connect(&d, &OrvikDevice::upgradeReady, &d, [&d]() { d.doDfuUpgrade(); });
                                            d.enterUpgradeMode();
                                        })
                                     << QList<Dfu::ErrorType>{Dfu::NoResponseError};
}

void SimDeviceTest::unplugIsAResourceErrorAndReplugAttaches()
{
    QFETCH(QStringList, args);
    QFETCH(Request, request);
    QFETCH(QList<Dfu::ErrorType>, results);
    Rig rig;
    QVERIFY(rig.start(args));
    const QString fw = args.contains("10.0.0") ? "10.0.0" : "11.0.0";
    request(rig.device);
    QTRY_VERIFY_WITH_TIMEOUT(rig.errors.contains(QSerialPort::ResourceError), Long);
    QTRY_COMPARE_WITH_TIMEOUT(rig.results, results, Long);
    QVERIFY(rig.sim.waitForEvent("plug", 2));
    QVERIFY(rig.reattach());
    // The unplug happens once; the replugged device answers as before.
    QCOMPARE(rig.fwRev(), "getFwRevComplete " + fw);
    const QJsonObject summary = rig.sim.summary();
    QCOMPARE(rig.sim.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(rig.sim.linkPath()) && !QFileInfo(rig.sim.linkPath()).isSymLink());
    QCOMPARE(rig.sim.events("unplug").size(), 1);
    QCOMPARE(summary.value("installed").toBool(), false);
}

void SimDeviceTest::updateInstallsTheNewFirmware()
{
    Rig rig;
    QVERIFY(rig.start({"--fw-rev", "10.0.0", "--sw-rev", "1.0.0"}));
    QSignalSpy progress(&rig.device, &OrvikDevice::upgradeProgress);
    QObject::connect(&rig.device, &OrvikDevice::upgradeReady, &rig.device, [&rig]() { rig.device.doDfuUpgrade(); });
    rig.device.enterUpgradeMode();
    QTRY_COMPARE_WITH_TIMEOUT(rig.results, QList<Dfu::ErrorType>{Dfu::Success}, Long);
    QCOMPARE(progress.size(), 365);
    QVERIFY(rig.sim.waitForEvent("install"));
    QVERIFY(rig.sim.waitForSlavePaths(2));
    QVERIFY(rig.reattach());
    QCOMPARE(rig.fwRev(), QStringLiteral("getFwRevComplete 11.0.0"));

    const QJsonObject summary = rig.sim.summary();
    QCOMPARE(summary.value("violations").toArray(), QJsonArray());
    QCOMPARE(summary.value("installed").toBool(), true);
    QCOMPARE(summary.value("packets").toInt(), 366);
    const QJsonArray images = summary.value("images").toArray();
    QCOMPARE(images.size(), 2);
    QCOMPARE(images.at(0).toObject().value("size").toInt(), 124604);
    QCOMPARE(images.at(0).toObject().value("crc").toString(), QStringLiteral("0xDB37"));
    QCOMPARE(images.at(1).toObject().value("size").toInt(), 59212);
    QCOMPARE(images.at(1).toObject().value("crc").toString(), QStringLiteral("0x5105"));
    for (const QJsonValue &image : images)
        QVERIFY(image.toObject().value("crcOk").toBool() && image.toObject().value("complete").toBool());
    QCOMPARE(rig.sim.events("packet").size(), 366);
}

void SimDeviceTest::injectedFaultsEndTheUpdateAndTheOldFirmwareReturns_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("result");
    QTest::addRow("no reply") << "no-reply@3" << int(Dfu::NoResponseError);
    QTest::addRow("wrong acknowledge number") << "wrong-ack@3" << int(Dfu::IncorrectResponseError);
    QTest::addRow("bad escape") << "bad-escape@3" << int(Dfu::InvalidResponseError);
}

void SimDeviceTest::injectedFaultsEndTheUpdateAndTheOldFirmwareReturns()
{
    QFETCH(QString, fault);
    QFETCH(int, result);
    Rig rig;
    QVERIFY(rig.start({"--fw-rev", "10.0.0", "--fault", fault, "--dfu-timeout", "2500"}));
    QObject::connect(&rig.device, &OrvikDevice::upgradeReady, &rig.device, [&rig]() { rig.device.doDfuUpgrade(); });
    rig.device.enterUpgradeMode();
    QTRY_COMPARE_WITH_TIMEOUT(rig.results, QList<Dfu::ErrorType>{Dfu::ErrorType(result)}, Long);
    // A peer that gives up halfway is no violation; the bootloader restarts the
    // old firmware once the line has been silent for the DFU timeout.
    rig.device.write("garbage");
    QVERIFY(rig.sim.waitForSlavePaths(2));
    QVERIFY(rig.reattach());
    QCOMPARE(rig.fwRev(), QStringLiteral("getFwRevComplete 10.0.0"));
    const QJsonObject summary = rig.sim.summary();
    QCOMPARE(summary.value("installed").toBool(), false);
    QCOMPARE(summary.value("violations").toArray(),
             QJsonArray{QStringLiteral("unfinished frame of 7 byte(s) discarded")});
    QCOMPARE(rig.sim.events("fault").size(), 1);
}

void SimDeviceTest::baudRatePacesTheLine()
{
    Rig rig;
    QVERIFY(rig.start({"--baud", "1200"}));
    QElapsedTimer timer;
    timer.start();
    rig.device.getInfo(); // 2 bytes out, 11 back: 108 ms at 1200 baud
    QTRY_COMPARE_WITH_TIMEOUT(rig.events, QStringList{"getInfoComplete 1 ORV-0001"}, Long);
    QVERIFY2(timer.elapsed() >= 100, qPrintable(QString::number(timer.elapsed())));
}

void SimDeviceTest::commandLineMistakeIsReported()
{
    QProcess sim;
    sim.start(ORVIK_SIM_PATH, {"--position", "x"});
    QVERIFY(sim.waitForFinished(Long));
    QCOMPARE(sim.exitCode(), 2);
    QCOMPARE(sim.readAllStandardError(),
             QByteArray("orvik-sim: --position: expected a number from 0 to 255, got \"x\"\nTry 'orvik-sim --help'.\n"));
    sim.start(ORVIK_SIM_PATH, {"--help"});
    QVERIFY(sim.waitForFinished(Long));
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(sim.readAllStandardOutput().startsWith("Usage: orvik-sim [options]\n"));
}

QTEST_MAIN(SimDeviceTest)
#include "tst_simdevice.moc"
