// The window against the simulated device: the information chain with its version policy after an attach and the
// upgrades it offers (their dialog, progress and completing reset), then scan and pairing, the alert inputs, the log
// and the reset, each on a device of its own, with the bytes they send.
#include "windowrig.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QPushButton>
#include <QtTest>

namespace {

const QStringList Chain = { "0208", "0209", "020a", "020b", "020c" };
// Radios for the prefix rule: the marked class, one byte off, reversed (same text as the row before: one address for
// two rows), an empty name. The device refuses the Upper input only.
const QStringList OpsArgs = { "--radio",   "A0A1A2A3A4A5,040262,Unit 7",
                              "--radio",   "B0B1B2B3B4B5,040263,Unit 7",
                              "--radio",   "C0C1C2C3C4C5,620204,Unit 7",
                              "--radio",   "D0D1D2D3D4D5,040262,",
                              "--passkey", "1234",
                              "--status",  "0x05=1",
                              "--log",     "boot ok\\n",
                              "--log",     "",
                              "--log",     "temp 21C" };

} // namespace

Q_DECLARE_METATYPE(QMessageBox::StandardButton)

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void chainFollowsTheVersionPolicy_data()
    {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<int>("accepted"); // flash offers accepted; a later one is declined
        QTest::addColumn<QStringList>("expectedBoxes");
        QTest::addColumn<QStringList>("expectedRequests");
        QTest::addColumn<bool>("ready");
        QTest::addColumn<QString>("expectedInfo");
        QTest::addColumn<int>("flashes");

        const auto row = [](const char *name, const QStringList &simArgs, int accepted, const QStringList &boxes,
                            const QStringList &requests, bool ready, const char *info, int flashes = 0) {
            QTest::addRow("%s", name) << simArgs << accepted << boxes << requests << ready << QString(info) << flashes;
        };
        const QStringList toHw = Chain.mid(0, 2), toFw = Chain.mid(0, 3), toSw = Chain.mid(0, 4);
        const QStringList swOffer = { "W Incorrect Version: This application only works with Orvik device SW Rev 1.5.3",
                                      "Q Flash Orvik Device: Change Orvik device SW Rev to 1.5.3" };
        const QStringList modeRefused = { "W Upgrade Failed: Failed to put Orvik Device into firmware upgrade mode" };
        const QStringList otherHw = { "W Invalid Device: This application only works with Orvik device HW Rev 7315" };

        row("all pass at position 2, battery full", { "--position", "2", "--battery", "100" }, 0,
            { "I Battery Level: Orvik battery at 100%" }, Chain, true, "ORV-0001, 7315, 11.0.0, 1.5.3, Back of 3");
        row("hardware refused, position 255", { "--hw-rev", "07315", "--position", "255" }, 0, otherHw, toHw, false,
            "ORV-0001, 07315, Undefined of 3");
        row("tool version as software declined", { "--sw-rev", "1.5.3.0" }, 0, swOffer, toSw, false,
            "ORV-0001, 7315, 11.0.0, 1.5.3.0, Front of 3");
        row("flash accepted, upgrade mode refused", { "--fw-rev", "11.0.1", "--status", "0x04=1" }, 1,
            QStringList{ "W Incorrect Version: This application only works with Orvik device FW Rev 11.0.0",
                         "Q Flash Orvik Device: Change Orvik device FW Rev to 11.0.0" }
                    + modeRefused,
            toFw + QStringList{ "0204" }, true, "ORV-0001, 7315, 11.0.1, Front of 3");
        // However the chain after a flash ends, nothing of that update stays behind.
        const QStringList stillOld = { "--sw-rev", "1.5.2", "--after-sw", "1.5.2" };
        const QStringList thenNew = stillOld + QStringList{ "--after-sw", "1.5.3" };
        const QStringList flash = toSw + QStringList{ "0204" }, reset = toSw + QStringList{ "0207" } + Chain;
        const QStringList battery = { "I Battery Level: Orvik battery at 87%" };
        row("flashed, software still old, offer declined", stillOld, 1, swOffer + swOffer, flash + toSw, false,
            "ORV-0001, 7315, 11.0.0, 1.5.2, Front of 3", 1);
        row("flashed twice, software new the second time", thenNew, 2, swOffer + swOffer + battery,
            flash + flash + reset, true, "ORV-0001, 7315, 11.0.0, 1.5.3, Front of 3", 2);
        row("flashed, second upgrade request lost with the device",
            thenNew + QStringList{ "--unplug-after", "request:0x04:2", "--replug-delay", "300" }, 3,
            swOffer + swOffer + swOffer + battery, flash + flash + flash + reset, true,
            "ORV-0001, 7315, 11.0.0, 1.5.3, Front of 3", 2);
        row("flashed, second upgrade request refused", stillOld + QStringList{ "--after-status", "0x04=1" }, 2,
            swOffer + swOffer + modeRefused, flash + flash, true, "ORV-0001, 7315, 11.0.0, 1.5.2, Front of 3", 1);
        row("flashed, other hardware", { "--sw-rev", "1.5.2", "--after-hw", "7316" }, 1, swOffer + otherHw,
            flash + toHw, false, "ORV-0001, 7316, Front of 3", 1);
        // The dialog goes when the completing reset is answered; the port stays open, the upgrade's cursor with it.
        row("flashed, completing reset refused", { "--sw-rev", "1.5.2", "--status", "0x07=1" }, 1,
            swOffer + QStringList{ "W Reset Failed: Failed to reset Orvik device" },
            flash + toSw + QStringList{ "0207" }, false, "", 1);
    }

    void chainFollowsTheVersionPolicy()
    {
        QFETCH(QStringList, simArgs);
        QFETCH(int, accepted);
        QFETCH(QStringList, expectedBoxes);
        QFETCH(QStringList, expectedRequests);
        QFETCH(bool, ready);
        QFETCH(QString, expectedInfo);
        QFETCH(int, flashes);

        QVERIFY(rig.open(simArgs));
        const int cursors = expectedBoxes.last().startsWith("W Reset Failed"); // the upgrade's, past a refused reset
        allowedCursors = cursors;
        // Each run's dialog as the operator reads it: shown at 0 of the packets, at each packet as it goes out, and
        // still up at the last after a success; the port opens again no sooner than 2000 ms after a run.
        QObject watch; // whatever comes after this function, these see none of it
        QStringList runs, lost; // lost: the window as each lost port leaves it
        connect(rig.device(), &QSerialPort::errorOccurred, &watch, [&](QSerialPort::SerialPortError error) {
            if (error == QSerialPort::ResourceError)
                lost << (rig.detached() ? "detached" : "controls " + rig.controls().join(' '));
        });
        int last = 0;
        const auto dialog = [this] {
            const QProgressDialog *shown = rig.dialogs().size() == 1 ? rig.dialogs().first() : nullptr;
            return shown && shown->isVisible() ? QString("%1: %2 at %3 of %4")
                                                         .arg(shown->windowTitle(), shown->labelText())
                                                         .arg(shown->value())
                                                         .arg(shown->maximum())
                                               : QString("%1 dialogs").arg(rig.dialogs().size());
        };
        connect(rig.device(), &OrvikDevice::upgradeStarted, &watch, [&] {
            runs << "started: " + dialog();
            last = 0;
        });
        connect(rig.device(), &OrvikDevice::upgradeProgress, &watch, [&](int current) {
            if (current != ++last || !dialog().contains(QString(" at %1 of").arg(current)))
                runs << QString("out of step at %1: ").arg(current) + dialog();
        });
        connect(rig.device(), &OrvikDevice::upgradeFinished, &watch, [&](Dfu::ErrorType error) {
            runs << QString("finished %1 at %2: ").arg(error).arg(last) + dialog();
            const qint64 finished = rig.clock.elapsed();
            QTimer::singleShot(1990, &watch, [&, finished] {
                if (rig.openedSince(finished) >= 0)
                    runs << "opened again within 2000 ms";
            });
        });
        for (int offer = 0; offer < accepted; ++offer)
            rig.answers << QMessageBox::Ok << QMessageBox::Yes;
        rig.fallback = QMessageBox::No; // boxes without it are closed
        QVERIFY(WindowRig::waitFor(
                [&] {
                    return rig.moments.size() >= expectedBoxes.size()
                            && rig.requests().size() >= expectedRequests.size();
                },
                180000)); // up to three transfers under the sanitizers on a busy machine
        QTest::qWait(300); // room for a request or a box that must not come
        QCOMPARE(rig.boxes, expectedBoxes);
        QCOMPARE(rig.requests(), expectedRequests);
        QCOMPARE(rig.controls(), ready ? WindowRig::Ready : QStringList());
        QCOMPARE(rig.information().join(", "), expectedInfo);
        QCOMPARE(QString("%1 cursors, %2 dialogs").arg(WindowRig::cursorDepth()).arg(rig.dialogs().size()),
                 QString("%1 cursors, 0 dialogs").arg(cursors));
        const int total = builtInPackets();
        const QString shown = "Updating Orvik: The unit will be updated and reset at %1 of " + QString::number(total);
        QStringList expectedRuns;
        for (int i = 0; i < flashes; ++i)
            expectedRuns << "started: " + shown.arg(0)
                         << QString("finished 1 at %1: ").arg(total - 1) + shown.arg(total - 1);
        QCOMPARE(runs, expectedRuns);
        QCOMPARE(lost, simArgs.contains("--unplug-after") ? QStringList{ "detached" } : QStringList());
        // The simulator's clock starts before the port can be opened.
        QVERIFY2(rig.sim->events("rx").value(0).value("t").toDouble() >= 2.0,
                 "getInfo less than 2000 ms after the open");
    }

    void scanThenPairSendsTheRowsAddressAndPosition_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("position");
        QTest::addColumn<QMessageBox::StandardButton>("answer");
        QTest::addColumn<QStringList>("expectedRequests");

        QTest::addRow("first of two equal rows pairs the later address, at Back, key refused")
                << 1 << 2 << QMessageBox::No << QStringList{ "0902c0c1c2c3c4c502", "0903c0c1c2c3c4c501" };
        QTest::addRow("radio with an empty name, at Front, key confirmed")
                << 3 << 1 << QMessageBox::Yes << QStringList{ "0902d0d1d2d3d4d501", "0903d0d1d2d3d4d500" };
    }

    // Pairing finds the address by the row's text: the rows cannot be edited, and with none selected nothing is sent.
    void scanThenPairSendsTheRowsAddressAndPosition()
    {
        QFETCH(int, row);
        QFETCH(int, position);
        QFETCH(QMessageBox::StandardButton, answer);
        QFETCH(QStringList, expectedRequests);

        QVERIFY(rig.openReady(OpsArgs));
        rig.window->addRadio(QByteArray::fromHex("e0e1e2e3e4e5"), QByteArray::fromHex("040262"), "Earlier scan");
        rig.click("scanButton");
        QCOMPARE(rig.rows() + rig.controls(), QStringList());
        QCOMPARE(WindowRig::cursorDepth(), 1);
        QVERIFY(rig.waitForBoxes(2));
        QCOMPARE(rig.boxes.last(), "I Scan Complete: Radio scan completed successfully");
        const QStringList rows = { "<R> Unit 7", "    Unit 7", "    Unit 7", "<R> " };
        QCOMPARE(rig.rows(), rows);
        QCOMPARE(rig.controls(),
                 QStringList({ "scanButton", "upperButton", "lowerButton", "listView", "resetButton", "logButton" }));
        rig.window->doPair(); // a press that reaches the slot all the same

        auto *list = rig.child<QListView>("listView");
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {},
                           list->visualRect(list->model()->index(row, 0)).center());
        QTest::keyClick(list, Qt::Key_F2);
        QTest::keyClicks(list, "x");
        QVERIFY(!list->findChild<QLineEdit *>());
        QCOMPARE(rig.rows(), rows);
        QVERIFY(rig.controls().contains("pairButton"));
        rig.child<QComboBox>("positionComboBox")->setCurrentIndex(position);
        rig.fallback = answer;
        rig.click("pairButton");
        QCOMPARE(WindowRig::cursorDepth(), 1);
        QCOMPARE(rig.controls(), QStringList());

        QVERIFY(rig.waitForBoxes(4));
        QCOMPARE(rig.requests().mid(Chain.size()), QStringList{ "0201" } + expectedRequests);
        QCOMPARE(rig.boxes.mid(2),
                 QStringList({ "Q Verify Pass Key: Please verify that the radio displays the number 1234",
                               answer == QMessageBox::Yes ? "I Pairing Complete: Radio paired successfully"
                                                          : "W Pairing Failed: Radio pairing failed" }));
        for (const WindowRig::Moment &box :
             rig.moments.mid(1)) // the cursor goes before each box, the controls after it
            QCOMPARE(box.cursors + box.controls.size(), 0);
        QCOMPARE(rig.controls(), WindowRig::All);
        QCOMPARE(list->selectionModel()->selectedIndexes(), QModelIndexList{ list->model()->index(row, 0) });
    }

    // The log in one box; then a refused toggle keeps the requested state, so the next click asks for the other, and a
    // reset puts both back.
    void logThenInputsKeepTheirStateUntilAReset()
    {
        QVERIFY(rig.openReady(OpsArgs));
        rig.click("logButton"); // hidden, but wired
        QVERIFY(!rig.window->isEnabled() && !rig.window->menuBar()->isEnabled());
        QCOMPARE(WindowRig::cursorDepth(), 1);
        QVERIFY(rig.waitForBoxes(2));
        QCOMPARE(rig.boxes.last(), "I Orvik Logs: boot ok\ntemp 21C");
        QCOMPARE(rig.moments.last().controls, WindowRig::Ready); // the window is back before the box
        QCOMPARE(rig.requests().mid(Chain.size()), QStringList({ "020d", "020d", "020d", "020d" }));
        const QString refused = "W Simulation Failed: Failed to toggle Upper GPIO";
        const struct
        {
            const char *button;
            QString state, request, box;
        } clicks[] = { { "upperButton", "Upper Emergency on", "030501", refused },
                       { "upperButton", "Upper Normal off", "030500", refused },
                       { "lowerButton", "Lower Emergency on", "030601", "" } };
        for (const auto &click : clicks) {
            auto *toggle = rig.child<QPushButton>(click.button);
            const auto shownState = [toggle] { return toggle->text() + (toggle->isChecked() ? " on" : " off"); };
            const int sent = rig.requests().size(), shown = rig.moments.size();
            toggle->click();
            QCOMPARE(shownState(), click.state);
            QCOMPARE(WindowRig::cursorDepth(), 1);
            QCOMPARE(rig.controls(), QStringList());
            QVERIFY(WindowRig::waitFor([&] { return rig.controls() == WindowRig::Ready; },
                                       20000)); // after the box, if any
            QCOMPARE(rig.requests().mid(sent), QStringList{ click.request });
            QCOMPARE(rig.boxes.mid(shown).join(""), click.box);
            QCOMPARE(shownState(), click.state);
        }

        // The port is closed by the time the answer has been handled, and opened again a second later.
        qint64 answeredAt = -1;
        QObject watch;
        connect(rig.device(), &OrvikDevice::resetComplete, &watch, [&] {
            if (!rig.device()->isOpen())
                answeredAt = rig.clock.elapsed();
        });
        const int sent = rig.requests().size(), shown = rig.moments.size();
        rig.window->addRadio(QByteArray::fromHex("a0a1a2a3a4a5"), QByteArray::fromHex("040262"), "Scanned");
        QVERIFY(rig.child<QPushButton>("lowerButton")->isChecked());
        rig.click("resetButton");
        QVERIFY(rig.detached());
        QCOMPARE(WindowRig::cursorDepth(), 1);

        QVERIFY(rig.waitForBoxes(shown + 1));
        QCOMPARE(rig.boxes.mid(shown),
                 QStringList{ "I Battery Level: Orvik battery at 87%" }); // nothing for the reset itself
        QCOMPARE(rig.requests().mid(sent), QStringList{ "0207" } + Chain);
        QVERIFY(answeredAt >= 0 && rig.openedSince(answeredAt) - answeredAt >= 990);
        QCOMPARE(rig.information(), QStringList({ "ORV-0001", "7315", "11.0.0", "1.5.3", "Front of 3" }));
        QCOMPARE(rig.controls(), WindowRig::Ready);
    }

    void cleanup()
    {
        QCOMPARE(WindowRig::cursorDepth(), allowedCursors); // after every workflow
        allowedCursors = 0;
        QCOMPARE(rig.violations(), QStringList());
        rig.close();
    }

private:
    WindowRig rig;
    int allowedCursors = 0;
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
