// Whole transfers against a bootloader played on a pty, which acknowledges every
// frame by its sequence number unless told to misbehave from packet `at` on.
#include "dfu.h"
#include "ptypair.h"

#include <QSerialPort>
#include <QtTest>

enum Fault { None, Silent, WrongAck, Invalid, StrayAck, DestroyUpdater, DestroyPortFirst };

struct Bootloader : QObject
{
    Bootloader(Fault misbehaviour, int from) : fault(misbehaviour), at(from)
    {
        connect(&poll, &QTimer::timeout, this, [this] {
            pending += pty.read();
            for (int end; pending.startsWith(char(0xC0)) && (end = pending.indexOf(char(0xC0), 1)) > 0;) {
                const char ack = char(((pending.at(1) + 1) & 7) << 3); // header byte 0 is never escaped
                pending.remove(0, end + 1);
                arrivals << clock.elapsed();
                const bool faulty = arrivals.size() - 1 == at;
                if (!(fault == Silent && arrivals.size() > at))
                    pty.write(faulty && fault == Invalid ? hex("c0 c0") : hex("c0") + char(faulty && fault == WrongAck ? ack ^ 8 : ack) + hex("c0"));
                if (faulty && fault == StrayAck) // a second acknowledgement while the updater pauses
                    QTimer::singleShot(100, this, [this, ack] { pty.write(hex("c0") + ack + hex("c0")); });
            }
        });
        poll.start(1);
        clock.start();
    }
    static QByteArray hex(const char *text) { return QByteArray::fromHex(text); }
    PtyPair pty;
    Fault fault;
    int at;
    QTimer poll;
    QElapsedTimer clock;
    QByteArray pending;
    QList<qint64> arrivals;
};

// started, progress 1..upTo, the result, and the frames the bootloader received.
static QStringList run(int total, int upTo, Dfu::ErrorType result)
{
    QStringList events{QString("started %1").arg(total)};
    for (int i = 1; i <= upTo; ++i)
        events << QString("progress %1").arg(i);
    return events << QString("finished %1").arg(int(result)) << QString("frames %1").arg(total ? upTo + 1 : 0);
}

class DfuTest : public QObject
{
    Q_OBJECT

private slots:
    void runReportsOnce_data()
    {
        const QString bl = ":/upgrade/ble_orvik_hx7315_bl_sd.zip", app = ":/upgrade/ble_orvik_hx7315_app.zip";
        QTest::addColumn<QString>("bootloader");
        QTest::addColumn<QString>("application");
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("at");
        QTest::addColumn<QStringList>("events");
        QTest::addRow("builtInPairAllAcknowledged") << bl << app << int(None) << -1 << run(366, 365, Dfu::Success);
        QTest::addRow("silentFromTheStart") << "" << app << int(Silent) << 0 << run(119, 0, Dfu::NoResponseError);
        QTest::addRow("silentAtADataPacket") << "" << app << int(Silent) << 3 << run(119, 3, Dfu::NoResponseError);
        QTest::addRow("wrongAcknowledgeNumber") << "" << app << int(WrongAck) << 0 << run(119, 0, Dfu::IncorrectResponseError);
        QTest::addRow("invalidReplyToADataPacket") << "" << app << int(Invalid) << 2 << run(119, 2, Dfu::InvalidResponseError);
        QTest::addRow("strayReplyDuringPauseIgnored") << "" << app << int(StrayAck) << 0 << run(119, 118, Dfu::Success);
        QTest::addRow("nothingToSendFailsOnce") << "" << "" << int(None) << -1 << run(0, 0, Dfu::NoResponseError);
        QTest::addRow("updaterDestroyedAwaitingReply") << "" << app << int(DestroyUpdater) << 0 << QStringList{"started 119", "frames 1"};
        QTest::addRow("updaterDestroyedDuringPause") << "" << app << int(DestroyUpdater) << 1 << QStringList{"started 119", "frames 1"};
        QTest::addRow("portDestroyedDuringPause") << "" << app << int(DestroyPortFirst) << 1 << QStringList{"started 119", "frames 1"};
    }
    // Like the device link, the test destroys the updater from its handler of
    // the result; nothing may follow it.
    void runReportsOnce()
    {
        QFETCH(QString, bootloader);
        QFETCH(QString, application);
        QFETCH(int, fault);
        QFETCH(int, at);
        QFETCH(QStringList, events);
        Bootloader peer(fault >= DestroyUpdater ? Silent : Fault(fault), at);
        auto port = std::make_unique<QSerialPort>(peer.pty.slavePath());
        QVERIFY(port->open(QIODevice::ReadWrite));
        auto dfu = std::make_unique<Dfu>(port.get());
        QStringList got;
        connect(dfu.get(), &Dfu::updateStarted, [&](int total) { got << QString("started %1").arg(total); });
        connect(dfu.get(), &Dfu::updateProgress, [&](int at) { got << QString("progress %1").arg(at); });
        connect(dfu.get(), &Dfu::updateFinished, [&](Dfu::ErrorType error) {
            got << QString("finished %1").arg(int(error));
            dfu.reset();
        });
        dfu->upgrade(bootloader, application);
        if (fault >= DestroyUpdater) {
            QTRY_VERIFY(peer.arrivals.size() == 1 && (at == 0 || dfu->advanceTimer->isActive()));
            if (fault == DestroyPortFirst)
                port.reset();
            dfu.reset();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!dfu, 60000);
        QTest::qWait(1500); // longer than the response timer and the pauses
        QCOMPARE(got << QString("frames %1").arg(peer.arrivals.size()), events);
        if (!bootloader.isEmpty()) // pauses after both start and init packets and the first stop packet
            for (const int paused : {0, 1, 246, 247, 248})
                QVERIFY(peer.arrivals.at(paused + 1) - peer.arrivals.at(paused) >= 900);
    }
};

QTEST_GUILESS_MAIN(DfuTest)
#include "tst_dfutransfer.moc"
