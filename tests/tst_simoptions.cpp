// The simulator's command line: every mistake gets its own one-line message,
// and the help documents every option.
#include "options.h"

#include <QtTest>

class SimOptionsTest : public QObject
{
    Q_OBJECT

private slots:
    void badArgumentsAreRejected_data();
    void badArgumentsAreRejected();
    void valuesAreTakenAsWritten();
    void helpDocumentsEveryOption();
};

void SimOptionsTest::badArgumentsAreRejected_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");
    QTest::addRow("number out of range") << QStringList{"--battery", "300"}
                                         << R"(--battery: expected a number from 0 to 255, got "300")";
    QTest::addRow("missing value") << QStringList{"--link"} << "--link: missing value";
    QTest::addRow("value for a flag") << QStringList{"--no-passkey=1"} << "--no-passkey: takes no value";
    QTest::addRow("unknown option") << QStringList{"--bogus"} << R"(unknown option "--bogus")";
    QTest::addRow("positional argument") << QStringList{"/dev/pts/3"} << R"(unexpected argument "/dev/pts/3")";
    QTest::addRow("short address") << QStringList{"--radio", "A0A1,040262,x"}
                                   << R"(--radio: expected ADDR,COD,NAME with 12 and 6 hex digits, got "A0A1,040262,x")";
    QTest::addRow("text too long for a frame") << QStringList{"--name", QString(253, 'n')}
                                               << "--name: text longer than 252 bytes";
    QTest::addRow("status of a reply without one") << QStringList{"--status", "0x08=1"}
                                                   << "--status: the reply to request 0x08 has no status byte";
    QTest::addRow("status without a value") << QStringList{"--status", "0x01"}
                                            << R"(--status: expected CODE=VALUE with a request code and a byte, got "0x01")";
    QTest::addRow("code outside the protocol") << QStringList{"--silent", "0x0e"}
                                               << R"(--silent: expected a request code from 0x01 to 0x0D, got "0x0e")";
    QTest::addRow("unknown unplug event") << QStringList{"--unplug-after", "packet:x"}
                                          << R"(--unplug-after: expected ms:N, request:0xNN or packet:K, got "packet:x")";
    QTest::addRow("second unplug") << QStringList{"--unplug-after", "ms:1", "--unplug-after", "ms:2"}
                                   << "--unplug-after: given more than once";
    QTest::addRow("unknown fault") << QStringList{"--fault", "late@3"}
                                   << R"(--fault: expected no-reply@K, wrong-ack@K or bad-escape@K, got "late@3")";
    QTest::addRow("two faults on one packet") << QStringList{"--fault", "no-reply@3", "--fault", "wrong-ack@3"}
                                              << "--fault: packet 3 already has a fault";
    QTest::addRow("replug delay below -1") << QStringList{"--replug-delay", "-2"}
                                           << R"(--replug-delay: expected a number from -1 to 86400000, got "-2")";
}

void SimOptionsTest::badArgumentsAreRejected()
{
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    SimOptions options;
    QString message;
    QVERIFY(!parseSimOptions(args, &options, &message));
    QCOMPARE(message, error);
}

void SimOptionsTest::valuesAreTakenAsWritten()
{
    SimOptions o;
    QString error;
    QVERIFY2(parseSimOptions({"--baud=9600", "--fault", "bad-escape@7", "--unplug-after", "request:0x0D",
                              "--replug-delay", "-1", "--link", "/tmp/x", "--trace=/tmp/t"},
                             &o, &error),
             qPrintable(error));
    QCOMPARE(o.baud, 9600);
    QCOMPARE(o.faults.value(7), SimFault::BadEscape);
    QCOMPARE(o.unplug.kind, SimUnplug::AtRequest);
    QCOMPARE(o.unplug.value, 0x0D);
    QCOMPARE(o.replugDelayMs, -1);
    QCOMPARE(o.link, QStringLiteral("/tmp/x"));
    QCOMPARE(o.trace, QStringLiteral("/tmp/t"));
    QCOMPARE(o.dfuTimeoutMs, 3000);
    QCOMPARE(o.reenumerateDelayMs, 300);
}

void SimOptionsTest::helpDocumentsEveryOption()
{
    const QString help = simHelpText();
    const QStringList documented{"--link PATH", "--trace FILE", "--baud N", "--name TEXT", "--position N",
                                 "--hw-rev TEXT", "--fw-rev TEXT", "--sw-rev TEXT", "--after-fw TEXT",
                                 "--after-sw TEXT", "--battery N", "--radio ADDR,COD,NAME", "--no-radios",
                                 "--passkey N", "--no-passkey", "--log TEXT", "--no-logs", "--status CODE=VALUE",
                                 "--silent CODE", "--unplug-after EVENT", "--replug-delay MS",
                                 "--reenumerate-delay MS", "--fault MODE@K", "--dfu-timeout MS", "--exit-with-parent", "-h, --help"};
    for (const QString &option : documented)
        QVERIFY2(help.contains("  " + option), qPrintable(option));
    for (const char *fact : {"\"ORV-0001\"", "(default 1)", "\"7315\"", "\"11.0.0\"", "\"1.5.3\"", "(default 87)",
                             "A0A1A2A3A4A5,040262,Orvik Radio 1", "B0B1B2B3B4B5,200404,Headset",
                             "C0C1C2C3C4C5,040262,Orvik Radio 2", "(default 123456)", "\"boot ok\\n\"",
                             "\"battery 87%\\n\"", "ms:N", "request:0xNN", "packet:K", "(default 500;", "-1 = never",
                             "(default 300)", "no-reply,", "wrong-ack", "bad-escape", "default 3000", "10 bits a byte"})
        QVERIFY2(help.contains(QLatin1String(fact)), fact);
}

QTEST_GUILESS_MAIN(SimOptionsTest)
#include "tst_simoptions.moc"
