// Whole transfers against the simulator's strict bootloader on a pty, which checks every frame and pause.
#include "bootloaderpeer.h"
#include "devicesignals.h"
#include "testhelpers.h"

#include <QSerialPort>
#include <QtTest>

// The first three are the bootloader's own faults.
enum Fault {
    NoReply,
    WrongAck,
    BadEscape,
    None,
    NoStopPause, // a bootloader that needs none after its stop packet
    StrayAck,
    Unpackable,
    ReopenPort,
    HangUp,
    DestroyUpdater,
    DestroyPortFirst
};
Q_DECLARE_METATYPE(Fault)
enum Queue { BuiltInPair, BuiltInApplicationAlone, NothingQueued, InitPacketTooLong };
Q_DECLARE_METATYPE(Queue)

class DfuTransferTest : public QObject
{
    Q_OBJECT

private slots:
    // Faults strike at packet `at` (the port's own in the pause after packet 0); a destruction reports nothing.
    void runReportsOnce_data()
    {
        QTest::addColumn<Queue>("queue");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("at");
        QTest::addColumn<Dfu::ErrorType>("result");
        const auto row = [](const char *name, Queue queue, Fault fault, int at,
                            Dfu::ErrorType result = Dfu::ErrorType()) {
            QTest::addRow("%s", name) << queue << fault << at << result;
        };
        row("builtInPairAllAcknowledged", BuiltInPair, None, -1, Dfu::Success);
        row("silentFromTheStart", BuiltInApplicationAlone, NoReply, 0, Dfu::NoResponseError);
        row("silentAtADataPacket", BuiltInApplicationAlone, NoReply, 3, Dfu::NoResponseError);
        row("wrongAcknowledgeNumber", BuiltInApplicationAlone, WrongAck, 0, Dfu::IncorrectResponseError);
        row("invalidReplyToADataPacket", BuiltInApplicationAlone, BadEscape, 2, Dfu::InvalidResponseError);
        row("eachPacketKindKeepsItsOwnPause", BuiltInApplicationAlone, NoStopPause, -1, Dfu::Success);
        row("strayReplyDuringPauseIgnored", BuiltInApplicationAlone, StrayAck, 0, Dfu::Success);
        row("portReopenedDuringPauseGetsNothing", BuiltInApplicationAlone, ReopenPort, 1, Dfu::NoResponseError);
        row("lineHungUpDuringPause", BuiltInApplicationAlone, HangUp, 1, Dfu::NoResponseError);
        row("nothingToSendFailsOnce", NothingQueued, None, -1, Dfu::NoResponseError);
        row("unpackableSendsNothingFailsOnce", BuiltInApplicationAlone, Unpackable, -1, Dfu::NoResponseError);
        row("initPacketTooLongForItsLengthFieldSendsNothing", InitPacketTooLong, None, -1, Dfu::NoResponseError);
        row("updaterDestroyedAwaitingReply", BuiltInApplicationAlone, DestroyUpdater, 0);
        row("updaterDestroyedDuringPause", BuiltInApplicationAlone, DestroyUpdater, 1);
        row("portDestroyedDuringPause", BuiltInApplicationAlone, DestroyPortFirst, 1);
    }
    // Like the device link, the test destroys the updater from its handler of the result; nothing may follow it.
    void runReportsOnce()
    {
        QFETCH(Queue, queue);
        QFETCH(Fault, fault);
        QFETCH(int, at);
        QFETCH(Dfu::ErrorType, result);
        const int total = queue >= NothingQueued || fault == Unpackable
                ? 0
                : packetsOf(Dfu::Application, BuiltInApplication)
                        + (queue == BuiltInPair ? packetsOf(Dfu::SoftDeviceBootloader, BuiltInBootloader) : 0);
        // Started, progress for every packet after the first, the result, and the frames the bootloader received.
        const int sent = fault >= ReopenPort ? 1 : total == 0 ? 0 : result == Dfu::Success ? total : at + 1;
        QStringList events{ QString("started %1").arg(total) };
        for (int i = 1; i < sent; ++i)
            events << QString("progress %1").arg(i);
        if (fault < DestroyUpdater)
            events << "finished " + DeviceSignals::text(result);
        events << QString("frames %1").arg(sent);

        BootloaderPeer peer;
        if (fault < None || (fault == DestroyUpdater && at == 0))
            peer.engine()->setFaults({ { at, fault < None ? SimFault(fault) : SimFault::NoReply } });
        if (fault == StrayAck) { // a second acknowledgement while the updater pauses
            connect(&peer, &BootloaderPeer::replied, this, [&peer](const QByteArray &reply) {
                if (peer.engine()->frameCount() == 1)
                    QTimer::singleShot(100, &peer, [&peer, reply] { peer.send(reply); });
            });
        }
        auto port = std::make_unique<QSerialPort>(peer.slavePath());
        QVERIFY(port->open(QIODevice::ReadWrite));
        auto dfu = std::make_unique<Dfu>(port.get());
        if (fault == NoStopPause)
            dfu->setTiming({ 1000, 1000, 1000, 0 });
        QStringList got;
        connect(dfu.get(), &Dfu::updateStarted, [&](int total) { got << QString("started %1").arg(total); });
        connect(dfu.get(), &Dfu::updateProgress, [&](int current) { got << QString("progress %1").arg(current); });
        connect(dfu.get(), &Dfu::updateFinished, [&](Dfu::ErrorType error) {
            got << "finished " + DeviceSignals::text(error);
            dfu.reset();
            if (port)
                port->close(); // a hung-up line reports errors until then
        });
        // A regular file as the temporary location: nothing can be unpacked.
        const QByteArray tmpdir = qgetenv("TMPDIR");
        QTemporaryFile regularFile;
        if (fault == Unpackable && regularFile.open())
            qputenv("TMPDIR", QFile::encodeName(regularFile.fileName()));
        if (queue == InitPacketTooLong) // 6,012 bytes: the 12-bit length field cannot describe the packet
            dfu->upgrade(QFINDTESTDATA("fuzz/corpus/loadpackage/long-init-packet.zip"), QString());
        else
            queue == BuiltInPair ? dfu->upgrade()
                                 : dfu->upgrade(QString(), queue == NothingQueued ? QString() : BuiltInApplication);
        tmpdir.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", tmpdir);
        QTRY_VERIFY(fault < ReopenPort
                    || (peer.engine()->frameCount() == 1 && (at == 0 || dfu->advanceTimer->isActive())));
        if (fault == ReopenPort) {
            port->close();
            QVERIFY(port->open(QIODevice::ReadWrite));
        }
        if (fault == HangUp)
            peer.hangUp();
        if (fault == DestroyPortFirst)
            port.reset();
        if (fault >= DestroyUpdater)
            dfu.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!dfu, 60000);
        QTest::qWait(1500); // longer than the response timer and the pauses
        QCOMPARE((got << QString("frames %1").arg(peer.engine()->frameCount())).join(", "), events.join(", "));
        QCOMPARE(peer.violations, QStringList());
        QString why;
        QCOMPARE(peer.engine()->installable(&why), result == Dfu::Success);
    }
};

QTEST_GUILESS_MAIN(DfuTransferTest)
#include "tst_dfutransfer.moc"
