// Whole transfers against the simulator's strict bootloader on a pty: it checks
// every frame, every pause and both images, and injects the faults.
#include "bootloaderpeer.h"
#include "dfu.h"

#include <QMetaEnum>
#include <QSerialPort>
#include <QtTest>

namespace {

const QString BuiltInApplication = QStringLiteral(":/upgrade/ble_orvik_hx7315_app.zip");

enum Fault { None, NoReply, WrongAck, BadEscape, StrayAck, Unpackable, ReopenPort, HangUp, DestroyUpdater, DestroyPortFirst };

QString resultName(Dfu::ErrorType error)
{
    return QString::fromLatin1(QMetaEnum::fromType<Dfu::ErrorType>().valueToKey(error));
}

// started, progress 1..upTo, the result, and the number of frames the bootloader received.
QStringList run(int total, int upTo, Dfu::ErrorType result)
{
    QStringList events{QString("started %1").arg(total)};
    for (int i = 1; i <= upTo; ++i)
        events << QString("progress %1").arg(i);
    return events << "finished " + resultName(result) << QString("frames %1").arg(total ? upTo + 1 : 0);
}

} // namespace

Q_DECLARE_METATYPE(Fault)

class DfuTest : public QObject
{
    Q_OBJECT

    // Start, init, a data packet per 512 bytes and stop: taken from the
    // packages themselves, so other firmware runs the same table.
    static int packetsOf(Dfu::ImageType type, const QString &package)
    {
        return 3 + (Dfu::loadPackage(type, package).image.size() + 511) / 512;
    }

private slots:
    void initTestCase() { qRegisterMetaType<Dfu::ErrorType>(); }

    // The faults strike at packet `at`; a destruction leaves it unanswered.
    // The port's own faults strike in the pause after packet 0.
    void runReportsOnce_data()
    {
        QTest::addColumn<QString>("application");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("at");
        QTest::addRow("builtInPairAllAcknowledged") << "built-in" << None << -1;
        QTest::addRow("silentFromTheStart") << BuiltInApplication << NoReply << 0;
        QTest::addRow("silentAtADataPacket") << BuiltInApplication << NoReply << 3;
        QTest::addRow("wrongAcknowledgeNumber") << BuiltInApplication << WrongAck << 0;
        QTest::addRow("invalidReplyToADataPacket") << BuiltInApplication << BadEscape << 2;
        QTest::addRow("strayReplyDuringPauseIgnored") << BuiltInApplication << StrayAck << 0;
        QTest::addRow("portReopenedDuringPauseGetsNothing") << BuiltInApplication << ReopenPort << 1;
        QTest::addRow("lineHungUpDuringPause") << BuiltInApplication << HangUp << 1;
        QTest::addRow("nothingToSendFailsOnce") << "" << None << -1;
        QTest::addRow("unpackableSendsNothingFailsOnce") << BuiltInApplication << Unpackable << -1;
        QTest::addRow("updaterDestroyedAwaitingReply") << BuiltInApplication << DestroyUpdater << 0;
        QTest::addRow("updaterDestroyedDuringPause") << BuiltInApplication << DestroyUpdater << 1;
        QTest::addRow("portDestroyedDuringPause") << BuiltInApplication << DestroyPortFirst << 1;
    }
    // Like the device link, the test destroys the updater from its handler of
    // the result; nothing may follow it.
    void runReportsOnce()
    {
        QFETCH(QString, application);
        QFETCH(Fault, fault);
        QFETCH(int, at);
        const bool builtIn = application == "built-in";
        const int appPackets = packetsOf(Dfu::Application, BuiltInApplication);
        const int total = builtIn ? packetsOf(Dfu::SoftDeviceBootloader, ":/upgrade/ble_orvik_hx7315_bl_sd.zip") + appPackets
                                  : application.isEmpty() ? 0 : appPackets;
        QStringList events;
        switch (fault) {
        case None:
        case StrayAck:
            events = run(total, total - 1, total ? Dfu::Success : Dfu::NoResponseError);
            break;
        case NoReply:
            events = run(total, at, Dfu::NoResponseError);
            break;
        case WrongAck:
            events = run(total, at, Dfu::IncorrectResponseError);
            break;
        case BadEscape:
            events = run(total, at, Dfu::InvalidResponseError);
            break;
        case Unpackable:
            events = run(0, 0, Dfu::NoResponseError);
            break;
        case ReopenPort:
        case HangUp:
            events = run(total, 0, Dfu::NoResponseError);
            break;
        case DestroyUpdater:
        case DestroyPortFirst:
            events = QStringList{QString("started %1").arg(total), "frames 1"};
            break;
        }

        BootloaderPeer peer;
        if (fault == NoReply || fault == WrongAck || fault == BadEscape || (fault == DestroyUpdater && at == 0))
            peer.engine()->setFaults({{at, fault == WrongAck ? SimFault::WrongAck
                                               : fault == BadEscape ? SimFault::BadEscape : SimFault::NoReply}});
        if (fault == StrayAck) { // a second acknowledgement while the updater pauses
            connect(&peer, &BootloaderPeer::replied, this, [&peer](const QByteArray &reply) {
                if (peer.arrivals.size() == 1)
                    QTimer::singleShot(100, &peer, [&peer, reply] { peer.send(reply); });
            });
        }
        auto port = std::make_unique<QSerialPort>(peer.slavePath());
        QVERIFY(port->open(QIODevice::ReadWrite));
        auto dfu = std::make_unique<Dfu>(port.get());
        QStringList got;
        connect(dfu.get(), &Dfu::updateStarted, [&](int total) { got << QString("started %1").arg(total); });
        connect(dfu.get(), &Dfu::updateProgress, [&](int current) { got << QString("progress %1").arg(current); });
        connect(dfu.get(), &Dfu::updateFinished, [&](Dfu::ErrorType error) {
            got << "finished " + resultName(error);
            dfu.reset();
            if (port)
                port->close(); // a hung-up line reports errors until then
        });
        // A regular file as the temporary location: nothing can be unpacked.
        const bool hadTmpdir = qEnvironmentVariableIsSet("TMPDIR");
        const QByteArray tmpdir = qgetenv("TMPDIR");
        QTemporaryFile regularFile;
        if (fault == Unpackable && regularFile.open())
            qputenv("TMPDIR", QFile::encodeName(regularFile.fileName()));
        builtIn ? dfu->upgrade() : dfu->upgrade(QString(), application);
        hadTmpdir ? qputenv("TMPDIR", tmpdir) : qunsetenv("TMPDIR");
        QTRY_VERIFY(fault < ReopenPort || (peer.arrivals.size() == 1 && (at == 0 || dfu->advanceTimer->isActive())));
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
        QCOMPARE((got << QString("frames %1").arg(peer.arrivals.size())).join(", "), events.join(", "));
        // The bootloader checked every frame and the pauses after start, init
        // and a stop packet that another package follows.
        QCOMPARE(peer.violations, QStringList());
        QString why;
        QCOMPARE(peer.engine()->installable(&why), events.contains("finished Success"));
    }
};

QTEST_GUILESS_MAIN(DfuTest)
#include "tst_dfutransfer.moc"
