// The simulator's application firmware, fed request bytes directly: the exact
// reply bytes for every request, the options that change them, and the strict
// handling of requests outside the protocol.
#include "appdevice.h"

#include <QtTest>

class SimAppDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void requestsGetTheirReplies_data();
    void requestsGetTheirReplies();
};

void SimAppDeviceTest::requestsGetTheirReplies_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("requests");
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QStringList>("violations");

    const QStringList none;
    auto row = [&](const char *name, const QStringList &args, const char *requests, const char *replies,
                   const QString &outcome = QString(), const QStringList &violations = QStringList()) {
        QTest::addRow("%s", name) << args << QByteArray::fromHex(requests) << QByteArray::fromHex(replies) << outcome
                                  << violations;
    };
    const char *pair = "0902 A0A1A2A3A4A5 01";
    const char *passKey = "0C84 A0A1A2A3A4A5 40E20100";

    row("scan lists every radio, then success", none, "0201",
        "1882 A0A1A2A3A4A5 040262 4F7276696B20526164696F2031"
        "1282 B0B1B2B3B4B5 200404 48656164736574"
        "1882 C0C1C2C3C4C5 040262 4F7276696B20526164696F2032 038100");
    row("radios from the command line", {"--radio", "010203040506,5A020C,a,b", "--radio", "0A0B0C0D0E0F,000000,"},
        "0201", "0E82 010203040506 5A020C 612C62 0B82 0A0B0C0D0E0F 000000 038100");
    row("failed scan finds nothing", {"--status", "0x01=1"}, "0201", "038101");
    row("pairing asks for the pass key", none, pair, passKey);
    row("confirmed pass key pairs", none, QByteArray(pair).append("0903A0A1A2A3A4A500"),
        QByteArray(passKey).append("038300"));
    row("rejected pass key fails the pairing", none, QByteArray(pair).append("0903A0A1A2A3A4A501"),
        QByteArray(passKey).append("038301"));
    row("pass key from the command line", {"--passkey", "999999"}, pair, "0C84 A0A1A2A3A4A5 3F420F00");
    row("pairing without a pass key", {"--no-passkey"}, pair, "038300");
    row("unknown radio cannot pair", none, "0902 D0D1D2D3D4D5 01", "038301");
    row("refused pairing", {"--status", "0x02=3"}, pair, "038303");
    row("upgrade mode hands over to the bootloader", none, "0204 C0D1", "038500", "bootloader");
    row("refused upgrade mode", {"--status", "4=1"}, "0204", "038501");
    row("input states", none, "030501 030600", "038600 038700");
    row("failed input state", {"--status", "0x06=1"}, "030601", "038701");
    row("reset restarts the device", none, "0207", "038800", "reset");
    row("failed reset does not", {"--status", "0x07=1"}, "0207", "038801");
    row("information", none, "0208", "0B89 01 4F52562D30303031");
    row("information from the command line", {"--position", "2", "--name", "X"}, "0208", "0489 02 58");
    row("revisions", none, "0209 020A 020B", "068A 37333135 088B 31312E302E30 078C 312E352E33");
    row("revisions from the command line", {"--hw-rev", "1", "--fw-rev", "2", "--sw-rev", ""}, "0209 020A 020B",
        "038A31 038B32 028C");
    row("battery", {"--battery", "5"}, "020C", "038D05");
    row("log entries, the end, then the first again", none, "020D 020D 020D 020D",
        "0A8E 626F6F74206F6B0A 0E8E 62617474657279203837250A 028E 0A8E 626F6F74206F6B0A");
    row("log entries from the command line", {"--log", "a\\nb", "--log", ""}, "020D 020D 020D",
        "058E 610A62 038E00 028E");
    row("empty log", {"--no-logs"}, "020D", "028E");
    row("silent request", {"--silent", "0x08"}, "0208 0209", "068A37333135");
    row("unplug instead of an answer", {"--unplug-after", "request:0x09"}, "0208 0209 020A",
        "0B89014F52562D30303031", "unplug");
    row("unknown request code is dropped, the next request answered", none, "020E 0208", "0B89014F52562D30303031",
        QString(), {"unknown request code 0x0e (bytes 020e)"});
    row("length that does not fit the code", none, "0301 00", "", QString(),
        {"request 0x01 with length byte 3, expected 2 (bytes 0301)"});
    row("pass-key answer without a pairing", none, "0903A0A1A2A3A4A500", "", QString(),
        {"pass-key answer without a pending pairing (bytes 0903a0a1a2a3a4a500)"});
    row("input state other than 0 or 1", none, "030502", "038600", QString(),
        {"input state 2 in request 0x05, expected 0 or 1"});
}

void SimAppDeviceTest::requestsGetTheirReplies()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, requests);
    QFETCH(QByteArray, replies);
    QFETCH(QString, outcome);
    QFETCH(QStringList, violations);

    SimOptions options;
    QString error;
    QVERIFY2(parseSimOptions(args, &options, &error), qPrintable(error));
    AppDevice device(options, options.fwRev, options.swRev);
    if (options.unplug.kind == SimUnplug::AtRequest)
        device.setUnplugRequest(options.unplug.value);
    QByteArray sent;
    QStringList reported;
    QStringList outcomes;
    connect(&device, &AppDevice::reply, this, [&](const QByteArray &frame) { sent += frame; });
    connect(&device, &AppDevice::violation, this, [&](const QString &reason) { reported << reason; });
    connect(&device, &AppDevice::enterBootloader, this, [&]() { outcomes << "bootloader"; });
    connect(&device, &AppDevice::resetRequested, this, [&]() { outcomes << "reset"; });
    connect(&device, &AppDevice::unplugRequested, this, [&]() { outcomes << "unplug"; });

    // Byte by byte: a request split over reads is answered once it is complete.
    for (char byte : requests)
        device.feed(QByteArray(1, byte));
    QCOMPARE(sent.toHex(' '), replies.toHex(' '));
    QCOMPARE(outcomes.join(','), outcome);
    QCOMPARE(reported, violations);
    if (outcome == QLatin1String("bootloader"))
        QCOMPARE(device.takeRemainder().toHex(), QByteArray("c0d1"));
}

QTEST_GUILESS_MAIN(SimAppDeviceTest)
#include "tst_simappdevice.moc"
