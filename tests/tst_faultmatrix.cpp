// A device that goes away, or a bootloader that misbehaves, at every stage of the window's work: each row ends in the
// state the window must reach, with no busy cursor or progress dialog left, and a later attach whose information chain
// decodes replies again (it cannot while an updater still holds the port).
#include "windowrig.h"

#include <QApplication>
#include <QListView>
#include <QPointer>
#include <QRegularExpression>
#include <QtTest>

#include <functional>

namespace {

enum Stage { Attach, Chain, FlashOffer, Scan, ScanReport, Pair, PassKey, ResetRefusal, Upgrade, UpgradeReset };
// The last DFU packet the tool may write in the whole run.
enum Packet { NoPacket, FirstPacket, FirstDataPacket, LastPacket };

// A box the operator leaves open while the device is unplugged and plugged in again. It is answered once the new attach
// has put its own box over it, or, with none named, as soon as the window is detached.
struct LeftOpen
{
    QString title;
    QString over;
};
const QMap<int, LeftOpen> leftOpen = { { FlashOffer, { "Incorrect Version", "Incorrect Version" } },
                                       { ScanReport, { "Scan Complete", "" } },
                                       { PassKey, { "Verify Pass Key", "Battery Level" } },
                                       { ResetRefusal, { "Reset Failed", "Battery Level" } } };

constexpr int Long = 120000; // a transfer and two re-attaches under the sanitizers on a busy machine

const QStringList OneChain = { "0208", "0209", "020a", "020b", "020c" };
const QString Battery = "I Battery Level: Orvik battery at 87%";
const QString ScanDone = "I Scan Complete: Radio scan completed successfully";
const QString OldSoftware = "W Incorrect Version: This application only works with Orvik device SW Rev 1.5.3";
const QString Offer = "Q Flash Orvik Device: Change Orvik device SW Rev to 1.5.3";

} // namespace

Q_DECLARE_METATYPE(Stage)
Q_DECLARE_METATYPE(Packet)

class FaultMatrixTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        connect(&script, &QTimer::timeout, this, [this] {
            if (!steps.isEmpty() && steps.first().first())
                steps.takeFirst().second();
        });
        script.start(50);
    }

    void faultEndsCleanlyAndDeviceAttachesAgain_data()
    {
        QTest::addColumn<Stage>("stage");
        QTest::addColumn<QStringList>("simArgs"); // %1: the packet's index in the run
        QTest::addColumn<Packet>("lastPacket");
        QTest::addColumn<QStringList>("expectedBoxes"); // in the order answered, Yes unless marked " -> No"
        QTest::addColumn<bool>("endsReady"); // else the device kept its old software and the offer is declined

        const QStringList unplugAt = { "--replug-delay", "300", "--unplug-after" };
        // Quiet for longer than the 1000 ms pauses after start, init and the first stop packet, a half-flashed device
        // restarts well before the window attaches again.
        const QStringList flash = { "--sw-rev", "1.5.2", "--dfu-timeout", "1600", "--replug-delay", "300" };
        const QStringList declined = { OldSoftware, Offer + " -> No" };

        const auto row = [](const char *name, Stage stage, const QStringList &simArgs, const QStringList &boxes,
                            bool endsReady = true) {
            QTest::addRow("%s", name) << stage << simArgs << NoPacket << boxes << endsReady;
        };
        // Back before the first attach's information request is due: one chain only.
        row("unplugged and back before the first request", Attach,
            { "--replug-delay", "100", "--unplug-after", "ms:500" }, { Battery });
        row("unplugged instead of the information", Chain, unplugAt + QStringList{ "request:0x08" }, { Battery });
        row("unplugged during a scan", Scan, unplugAt + QStringList{ "request:0x01" }, { Battery, Battery });
        row("unplugged during pairing", Pair, unplugAt + QStringList{ "request:0x02" }, { Battery, ScanDone, Battery });
        row("unplugged while the pass key is asked", PassKey, unplugAt + QStringList{ "ms:4500" },
            { Battery, ScanDone, Battery,
              "Q Verify Pass Key: Please verify that the radio displays the number 123456" });
        // Boxes answered only after the device they were about has gone.
        row("unplugged while the flash offer is up", FlashOffer,
            QStringList{ "--sw-rev", "1.5.2" } + unplugAt + QStringList{ "ms:4000" },
            { OldSoftware, Offer + " -> No", OldSoftware }, false);
        row("unplugged while the scan result is up", ScanReport, unplugAt + QStringList{ "ms:4000" },
            { Battery, ScanDone, Battery });
        row("unplugged while a refused reset is reported", ResetRefusal,
            QStringList{ "--status", "0x07=1" } + unplugAt + QStringList{ "ms:4000" },
            { Battery, Battery, "W Reset Failed: Failed to reset Orvik device" });

        // One fault per packet position. Taken away before its acknowledgement, even the last packet leaves the old
        // software; a bootloader that took the last packet installs, whatever its acknowledgement said.
        const QString silent = "W Upgrade Failed: Orvik Device did not respond";
        const auto upgradeRow = [&](const char *name, Packet packet, const QStringList &fault, const QString &box) {
            const bool installed = packet == LastPacket && fault.first() == "--fault";
            QTest::addRow("%s", name) << Upgrade << flash + fault << packet
                                      << QStringList{ OldSoftware, Offer, box }
                            + (installed ? QStringList{ Battery } : declined)
                                      << installed;
        };
        upgradeRow("unplugged at the last packet", LastPacket, { "--unplug-after", "packet:%1" }, silent);
        upgradeRow("no-reply at the first packet", FirstPacket, { "--fault", "no-reply@%1" }, silent);
        upgradeRow("wrong-ack at the first data packet", FirstDataPacket, { "--fault", "wrong-ack@%1" },
                   "W Upgrade Failed: Orvik Device sent incorrect response");
        upgradeRow("bad-escape at the last packet", LastPacket, { "--fault", "bad-escape@%1" },
                   "W Upgrade Failed: Orvik Device sent invalid response");
        QTest::addRow("unplugged during the reset completing an upgrade")
                << UpgradeReset << QStringList{ "--sw-rev", "1.5.2" } + unplugAt + QStringList{ "request:0x07" }
                << LastPacket << QStringList{ OldSoftware, Offer, Battery } << true;
    }

    void faultEndsCleanlyAndDeviceAttachesAgain()
    {
        QFETCH(Stage, stage);
        QFETCH(QStringList, simArgs);
        QFETCH(Packet, lastPacket);
        QFETCH(QStringList, expectedBoxes);
        QFETCH(bool, endsReady);

        const int packetIndex[] = { -1, 0, 2, builtInPackets() - 1 }; // as Packet lists them
        const int packet = packetIndex[lastPacket];
        QVERIFY(rig.open(simArgs.replaceInStrings("%1", QString::number(packet))));
        QVERIFY2(stage != Attach || rig.device()->isOpen(), "not attached before the unplug");
        for (QString &box : expectedBoxes) // boxes without Yes are closed
            rig.answers << (box.endsWith(" -> No") ? QMessageBox::No : QMessageBox::Yes);
        expectedBoxes.replaceInStrings(" -> No", "");
        rig.fallback = QMessageBox::Yes;
        drive(stage);
        if (QTest::currentTestFailed())
            return;

        // A failed transfer is reported once updater, dialog and port are gone; a lost port means start-up again.
        const int failure = expectedBoxes.indexOf(QRegularExpression("W Upgrade Failed: .*"));
        if (failure >= 0) {
            QVERIFY(rig.waitForBoxes(failure + 1, Long));
            const WindowRig::Moment atFailure = rig.moments.at(failure);
            QCOMPARE(atFailure.dialogs + atFailure.cursors + atFailure.controls.size(), 0);
            QVERIFY(rig.detached());
            // Even after a port lost first, the next attach waits 2000 ms from the box's close.
            QVERIFY(!atFailure.portOpen);
            QVERIFY(WindowRig::waitFor([&] { return rig.openedSince(atFailure.at) >= 0; }, Long));
            QVERIFY(rig.openedSince(atFailure.at) - atFailure.at >= 1990);
        } else if (const LeftOpen box = leftOpen.value(stage); !box.title.isEmpty()) {
            QVERIFY(rig.waitForBoxes(expectedBoxes.size(), Long));
            // Replies of the new device are read while the box, opened from a reply, is still up.
            QCOMPARE(notes,
                     QStringList({ "asked", "detached under " + box.title, "cursors 0",
                                   box.over.isEmpty() ? "detached after the answer" : box.over + " over it" }));
        } else {
            QVERIFY(WindowRig::waitFor([this] { return rig.losses > 0; }, Long));
            QVERIFY(rig.detached());
            // Between transfer and completing reset the dialog and the upgrade's busy cursor stay.
            QCOMPARE(rig.dialogs().size() + WindowRig::cursorDepth(), stage == UpgradeReset ? 2 : 0);
        }

        // Attached again: the chain runs on the device as it now is.
        QVERIFY(rig.waitForBoxes(expectedBoxes.size(), Long));
        // Anything that should not come would have come by now, even the information request of the latest attach.
        QTest::qWait(int(qMax<qint64>(250, (rig.opens.isEmpty() ? 0 : rig.opens.last()) + 2500 - rig.clock.elapsed())));
        int lastWritten = -1;
        for (const QJsonObject &received : rig.sim->events("rx"))
            lastWritten = qMax(lastWritten, received.value("index").toInt(-1));
        QCOMPARE(rig.boxes, expectedBoxes);
        QCOMPARE(rig.dialogs().size() + WindowRig::cursorDepth(), 0);
        QCOMPARE(rig.information(),
                 QStringList({ "ORV-0001", "7315", "11.0.0", endsReady ? "1.5.3" : "1.5.2", "Front of 3" }));
        QCOMPARE(rig.controls(), endsReady ? WindowRig::Ready : QStringList());
        QCOMPARE(rig.sim->appRequests(true), endsReady ? OneChain : QStringList(OneChain.mid(0, 4)));
        QCOMPARE(lastWritten, packet);
        // The device never got a byte it did not expect; no late answer reaches the next device.
        QCOMPARE(rig.violations(), QStringList());
    }

    void cleanup()
    {
        steps.clear();
        notes.clear();
        rig.close();
    }

private:
    // Takes a Ready window into the stage; the simulator brings the fault itself.
    void drive(Stage stage)
    {
        if (stage == FlashOffer)
            return leaveOpen(leftOpen.value(stage));
        if (stage == Attach || stage == Chain || stage >= Upgrade)
            return;
        QVERIFY(rig.waitForBoxes(1)); // the battery box: Ready
        if (stage == ScanReport || stage == ResetRefusal)
            leaveOpen(leftOpen.value(stage));
        if (stage == ResetRefusal)
            return rig.click("resetButton");
        rig.click("scanButton");
        if (stage == Scan || stage == ScanReport)
            return;
        QVERIFY(rig.waitForBoxes(2));
        auto *list = rig.child<QListView>("listView");
        list->setCurrentIndex(list->model()->index(0, 0));
        if (stage == PassKey)
            leaveOpen(leftOpen.value(stage));
        rig.click("pairButton");
    }

    void leaveOpen(const LeftOpen &box)
    {
        rig.answering.stop();
        const auto modal = [] {
            QWidget *box = QApplication::activeModalWidget();
            return box ? box->windowTitle() : QString();
        };
        steps.append({ [modal, box] { return modal() == box.title; },
                       [this] {
                           held = QApplication::activeModalWidget();
                           notes << (rig.sim->events("unplug").isEmpty() ? "asked" : "unplugged too early");
                       } });
        steps.append({ [this] { return rig.losses && rig.detached(); },
                       [this, modal, box] {
                           notes << "detached under " + modal()
                                 << QStringLiteral("cursors %1").arg(WindowRig::cursorDepth());
                           if (box.over.isEmpty())
                               rig.answering.start();
                       } });
        if (box.over.isEmpty()) {
            steps.append({ [this] { return !held; },
                           [this] {
                               notes << (rig.detached() ? "detached after the answer"
                                                        : "after the answer: " + rig.controls().join(' '));
                           } });
        } else {
            // The new attach's information request is out: its reply is due.
            steps.append(
                    { [this] { return rig.sim->events("plug").size() > 1 && !rig.sim->appRequests(true).isEmpty(); },
                      [this] { infoAsked.start(); } });
            steps.append({ [this] { return QApplication::activeModalWidget() != held || infoAsked.hasExpired(1500); },
                           [this, modal] {
                               notes << (QApplication::activeModalWidget() != held ? modal() + " over it"
                                                                                   : "chain waits for the answer");
                               rig.answering.start();
                           } });
        }
        // Whatever happens, the box does not stay open for ever (nor past this row's window).
        QTimer::singleShot(Long / 2, rig.window, [this] { rig.answering.start(); });
    }

    WindowRig rig;
    // Run from the event loop, so also inside a box's nested loop, where the test function cannot go on.
    QTimer script;
    QList<QPair<std::function<bool()>, std::function<void()>>> steps;
    QStringList notes;
    QElapsedTimer infoAsked;
    QPointer<QWidget> held;
};

QTEST_MAIN(FaultMatrixTest)
#include "tst_faultmatrix.moc"
