// Whole transfers against a bootloader that the test plays on a pty.
#include "dfu.h"
#include "ptypair.h"

#include <QSerialPort>
#include <QtTest>

enum Fault { None, WrongAck, Invalid, StrayAck, Silent, ReopenPort, HangUp, DestroyUpdater, DestroyPortFirst };

// started, progress 1..upTo, the result, and the number of frames the bootloader received.
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
    // The faults strike at packet `at`; from Silent on, every packet from
    // there on is left unanswered. The port's own faults strike in the pause
    // after packet 0.
    void runReportsOnce_data()
    {
        const QString app = ":/upgrade/ble_orvik_hx7315_app.zip";
        const QStringList destroyed{"started 119", "frames 1"};
        QTest::addColumn<QString>("application");
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("at");
        QTest::addColumn<QStringList>("events");
        QTest::addRow("builtInPairAllAcknowledged") << "built-in" << int(None) << -1 << run(366, 365, Dfu::Success);
        QTest::addRow("silentFromTheStart") << app << int(Silent) << 0 << run(119, 0, Dfu::NoResponseError);
        QTest::addRow("silentAtADataPacket") << app << int(Silent) << 3 << run(119, 3, Dfu::NoResponseError);
        QTest::addRow("wrongAcknowledgeNumber") << app << int(WrongAck) << 0 << run(119, 0, Dfu::IncorrectResponseError);
        QTest::addRow("invalidReplyToADataPacket") << app << int(Invalid) << 2 << run(119, 2, Dfu::InvalidResponseError);
        QTest::addRow("strayReplyDuringPauseIgnored") << app << int(StrayAck) << 0 << run(119, 118, Dfu::Success);
        QTest::addRow("portReopenedDuringPauseGetsNothing") << app << int(ReopenPort) << 1 << run(119, 0, Dfu::NoResponseError);
        QTest::addRow("lineHungUpDuringPause") << app << int(HangUp) << 1 << run(119, 0, Dfu::NoResponseError);
        QTest::addRow("nothingToSendFailsOnce") << "" << int(None) << -1 << run(0, 0, Dfu::NoResponseError);
        QTest::addRow("updaterDestroyedAwaitingReply") << app << int(DestroyUpdater) << 0 << destroyed;
        QTest::addRow("updaterDestroyedDuringPause") << app << int(DestroyUpdater) << 1 << destroyed;
        QTest::addRow("portDestroyedDuringPause") << app << int(DestroyPortFirst) << 1 << destroyed;
    }
    // Like the device link, the test destroys the updater from its handler of
    // the result; nothing may follow it.
    void runReportsOnce()
    {
        QFETCH(QString, application);
        QFETCH(int, fault);
        QFETCH(int, at);
        QFETCH(QStringList, events);
        // The bootloader acknowledges each frame by its sequence number (header
        // byte 0 is never escaped) and notes when it arrived.
        PtyPair pty;
        QByteArray pending;
        QList<qint64> arrivals;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            pending += pty.read();
            for (int end; pending.startsWith(char(0xC0)) && (end = pending.indexOf(char(0xC0), 1)) > 0;) {
                const char ack = char(((pending.at(1) + 1) & 7) << 3);
                const bool faulty = arrivals.size() == at;
                const QByteArray reply = QByteArray(1, char(0xC0)) + char(faulty && fault == WrongAck ? ack ^ 8 : ack) + char(0xC0);
                pending.remove(0, end + 1);
                arrivals << QDeadlineTimer::current().deadline();
                if (fault < Silent || arrivals.size() <= at)
                    pty.write(faulty && fault == Invalid ? QByteArray::fromHex("c0c0") : reply);
                if (faulty && fault == StrayAck) // a second acknowledgement while the updater pauses
                    QTimer::singleShot(100, &poll, [&pty, reply] { pty.write(reply); });
            }
        });
        poll.start(1);
        auto port = std::make_unique<QSerialPort>(pty.slavePath());
        QVERIFY(port->open(QIODevice::ReadWrite));
        auto dfu = std::make_unique<Dfu>(port.get());
        QStringList got;
        connect(dfu.get(), &Dfu::updateStarted, [&](int total) { got << QString("started %1").arg(total); });
        connect(dfu.get(), &Dfu::updateProgress, [&](int current) { got << QString("progress %1").arg(current); });
        connect(dfu.get(), &Dfu::updateFinished, [&](Dfu::ErrorType error) {
            got << QString("finished %1").arg(int(error));
            dfu.reset();
            if (port)
                port->close(); // a hung-up line reports errors until then
        });
        application == "built-in" ? dfu->upgrade() : dfu->upgrade(QString(), application);
        QTRY_VERIFY(fault < ReopenPort || (arrivals.size() == 1 && (at == 0 || dfu->advanceTimer->isActive())));
        if (fault == ReopenPort) {
            port->close();
            QVERIFY(port->open(QIODevice::ReadWrite));
        }
        if (fault == HangUp)
            pty.closeMaster();
        if (fault == DestroyPortFirst)
            port.reset();
        if (fault >= DestroyUpdater)
            dfu.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!dfu, 60000);
        QTest::qWait(1500); // longer than the response timer and the pauses
        QCOMPARE(got << QString("frames %1").arg(arrivals.size()), events);
        // Pauses after the start and init packets, and after the first stop packet of two packages.
        for (const int paused : application == "built-in" ? QList<int>{0, 1, 246, 247, 248} : QList<int>{0, 1})
            QVERIFY(paused + 1 >= arrivals.size() || arrivals.at(paused + 1) - arrivals.at(paused) >= 900);
    }
};

QTEST_GUILESS_MAIN(DfuTest)
#include "tst_dfutransfer.moc"
