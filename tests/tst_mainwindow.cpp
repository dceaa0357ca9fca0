// The window against the simulated device: the information chain with its
// version policy after an attach, then scan, pairing, the alert inputs, the
// log and the reset on one window, with the bytes each of them sends.
#include "windowrig.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QPushButton>
#include <QtTest>

namespace {

const QStringList Chain = {"0208", "0209", "020a", "020b", "020c"};
const QString Battery = "I Battery Level: Orvik battery at 87%";
// Radios whose display texts exercise the prefix rule: the marked class, a
// class one byte off, the marked bytes in reverse order (same text as the row
// before it, so one address for two rows), and an empty name. The device
// refuses the Upper input only.
const QStringList OpsArgs = {"--radio", "A0A1A2A3A4A5,040262,Unit 7", "--radio", "B0B1B2B3B4B5,040263,Unit 7",
                             "--radio", "C0C1C2C3C4C5,620204,Unit 7", "--radio", "D0D1D2D3D4D5,040262,",
                             "--passkey", "1234", "--status", "0x05=1",
                             "--log", "boot ok\\n", "--log", "", "--log", "temp 21C"};
const QStringList RadioRows = {"<R> Unit 7", "    Unit 7", "    Unit 7", "<R> "};

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void chainFollowsTheVersionPolicy_data();
    void chainFollowsTheVersionPolicy();
    void scanAfterAFailedOneListsRadiosWithTheirPrefix();
    void pairSendsTheRowsAddressAndPosition_data();
    void pairSendsTheRowsAddressAndPosition();
    void listIsReadOnlyAndPairNeedsASelection();
    void inputButtonsSendTheRequestedState_data();
    void inputButtonsSendTheRequestedState();
    void logEntriesAreJoinedIntoOneBox();
    void resetClearsEverythingAndAttachesAgain();
    void cleanup() { QCOMPARE(WindowRig::cursorDepth(), 0); } // after every workflow
    void cleanupTestCase() { QCOMPARE(rig.violations(), QStringList()); }

private:
    WindowRig rig;
};

void MainWindowTest::chainFollowsTheVersionPolicy_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<bool>("accept"); // the first flash offer; a later one is declined
    QTest::addColumn<QStringList>("expectedBoxes");
    QTest::addColumn<QString>("expectedRequests");
    QTest::addColumn<bool>("ready");
    QTest::addColumn<QString>("expectedInfo");

    const QString invalid = "W Invalid Device: This application only works with Orvik device HW Rev 7315";
    const QStringList fwOffer = {"W Incorrect Version: This application only works with Orvik device FW Rev 11.0.0",
                                 "Q Flash Orvik Device: Change Orvik device FW Rev to 11.0.0"};
    const QStringList swOffer = {"W Incorrect Version: This application only works with Orvik device SW Rev 1.5.3",
                                 "Q Flash Orvik Device: Change Orvik device SW Rev to 1.5.3"};
    const QString chain = Chain.join(' '), battery = "I Battery Level: Orvik battery at %1%";

    QTest::addRow("all pass at position 0, battery empty") << QStringList{"--position", "0", "--battery", "0"} << false
        << QStringList{battery.arg(0)} << chain << true << "ORV-0001, 7315, 11.0.0, 1.5.3, Undefined of 3";
    QTest::addRow("position 2, battery full") << QStringList{"--position", "2", "--battery", "100"} << false
        << QStringList{battery.arg(100)} << chain << true << "ORV-0001, 7315, 11.0.0, 1.5.3, Back of 3";
    QTest::addRow("position 3, battery above 100 not shown") << QStringList{"--position", "3", "--battery", "101"}
        << false << QStringList() << chain << true << "ORV-0001, 7315, 11.0.0, 1.5.3, Undefined of 3";
    QTest::addRow("hardware with a leading zero refused, position 255") << QStringList{"--hw-rev", "07315", "--position", "255"}
        << false << QStringList{invalid} << "0208 0209" << false << "ORV-0001, 07315, Undefined of 3";
    QTest::addRow("hardware with a trailing blank refused") << QStringList{"--hw-rev", "7315 "} << false
        << QStringList{invalid} << "0208 0209" << false << "ORV-0001, 7315 , Front of 3";
    QTest::addRow("newer firmware declined") << QStringList{"--fw-rev", "11.0.1"} << false << fwOffer
        << "0208 0209 020a" << false << "ORV-0001, 7315, 11.0.1, Front of 3";
    QTest::addRow("shorter firmware declined") << QStringList{"--fw-rev", "11.0"} << false << fwOffer
        << "0208 0209 020a" << false << "ORV-0001, 7315, 11.0, Front of 3";
    QTest::addRow("tool version as software declined") << QStringList{"--sw-rev", "1.5.3.0"} << false << swOffer
        << "0208 0209 020a 020b" << false << "ORV-0001, 7315, 11.0.0, 1.5.3.0, Front of 3";
    QTest::addRow("flash accepted, upgrade mode refused") << QStringList{"--fw-rev", "11.0.1", "--status", "0x04=1"}
        << true << fwOffer + QStringList{"W Upgrade Failed: Failed to put Orvik Device into firmware upgrade mode"}
        << "0208 0209 020a 0204" << true << "ORV-0001, 7315, 11.0.1, Front of 3";
    // Declining the offer that follows a flash leaves nothing of that update behind.
    QTest::addRow("flashed, software still old, offer declined") << QStringList{"--sw-rev", "1.5.2", "--after-sw", "1.5.2"}
        << true << swOffer + swOffer << "0208 0209 020a 020b 0204 0208 0209 020a 020b" << false
        << "ORV-0001, 7315, 11.0.0, 1.5.2, Front of 3";
}

void MainWindowTest::chainFollowsTheVersionPolicy()
{
    QFETCH(QStringList, simArgs);
    QFETCH(bool, accept);
    QFETCH(QStringList, expectedBoxes);
    QFETCH(QString, expectedRequests);
    QFETCH(bool, ready);
    QFETCH(QString, expectedInfo);

    QVERIFY(rig.open(simArgs));
    if (accept)
        rig.answers << QMessageBox::Ok << QMessageBox::Yes;
    rig.fallback = QMessageBox::No; // boxes without it are closed
    QVERIFY(WindowRig::waitFor([&] { return rig.moments.size() >= expectedBoxes.size()
                                            && rig.requests().join(' ').size() >= expectedRequests.size(); }, 30000));
    QTest::qWait(300); // room for a request or a box that must not come
    QCOMPARE(rig.boxes, expectedBoxes);
    QCOMPARE(rig.requests().join(' '), expectedRequests);
    QCOMPARE(rig.controls(), ready ? WindowRig::Ready : QStringList());
    QCOMPARE(rig.information().join(", "), expectedInfo);
    QCOMPARE(rig.dialogs().size() + WindowRig::cursorDepth(), 0);
    // The simulator's clock starts before the port can be opened.
    QVERIFY2(rig.sim->events("rx").value(0).value("t").toDouble() >= 2.0, "getInfo less than 2000 ms after the open");
}

void MainWindowTest::scanAfterAFailedOneListsRadiosWithTheirPrefix()
{
    QVERIFY(rig.open(OpsArgs));
    QVERIFY(rig.waitForBoxes(1)); // Ready
    // A scan that failed after reporting one radio: the row stays, unselectable.
    rig.window->addRadio(QByteArray::fromHex("e0e1e2e3e4e5"), QByteArray::fromHex("040262"), "Early");
    rig.window->onScanComplete(false);
    QCOMPARE(rig.rows(), QStringList{"<R> Early"});
    QCOMPARE(rig.controls(), WindowRig::Ready);

    rig.click("scanButton");
    QCOMPARE(rig.rows() + rig.controls(), QStringList());
    QCOMPARE(WindowRig::cursorDepth(), 1);
    QVERIFY(rig.waitForBoxes(3));
    QCOMPARE(rig.boxes.last(), "I Scan Complete: Radio scan completed successfully");
    QCOMPARE(rig.requests().mid(Chain.size()), QStringList{"0201"});
    QCOMPARE(rig.rows(), RadioRows);
}

void MainWindowTest::pairSendsTheRowsAddressAndPosition_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QStringList>("expectedRequests");
    QTest::addColumn<QString>("outcome");

    const int yes = QMessageBox::Yes;
    const QString paired = "I Pairing Complete: Radio paired successfully";
    QTest::addRow("marked radio at Front, key confirmed")
        << 0 << 1 << yes << QStringList{"0902a0a1a2a3a4a501", "0903a0a1a2a3a4a500"} << paired;
    QTest::addRow("first of two equal rows pairs the later address")
        << 1 << 0 << yes << QStringList{"0902c0c1c2c3c4c500", "0903c0c1c2c3c4c500"} << paired;
    QTest::addRow("second equal row at Back, key refused")
        << 2 << 2 << int(QMessageBox::No) << QStringList{"0902c0c1c2c3c4c502", "0903c0c1c2c3c4c501"}
        << "W Pairing Failed: Radio pairing failed";
    QTest::addRow("radio with an empty name")
        << 3 << 1 << yes << QStringList{"0902d0d1d2d3d4d501", "0903d0d1d2d3d4d500"} << paired;
}

// The rows run one after the other on the list of the scan above.
void MainWindowTest::pairSendsTheRowsAddressAndPosition()
{
    QFETCH(int, row);
    QFETCH(int, position);
    QFETCH(int, answer);
    QFETCH(QStringList, expectedRequests);
    QFETCH(QString, outcome);

    auto *list = rig.child<QListView>("listView");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(row, 0)).center());
    QVERIFY(rig.controls().contains("pairButton"));
    rig.child<QComboBox>("positionComboBox")->setCurrentIndex(position);
    const int sent = rig.requests().size(), shown = rig.moments.size();
    rig.fallback = QMessageBox::StandardButton(answer);
    rig.click("pairButton");
    QCOMPARE(WindowRig::cursorDepth(), 1);
    QCOMPARE(rig.controls(), QStringList());

    QVERIFY(rig.waitForBoxes(shown + 2));
    QCOMPARE(rig.requests().mid(sent), expectedRequests);
    QCOMPARE(rig.boxes.mid(shown),
             QStringList({"Q Verify Pass Key: Please verify that the radio displays the number 1234", outcome}));
    QCOMPARE(rig.controls(), WindowRig::All);
    QCOMPARE(list->selectionModel()->selectedIndexes(), QModelIndexList{list->model()->index(row, 0)});
}

void MainWindowTest::listIsReadOnlyAndPairNeedsASelection()
{
    auto *list = rig.child<QListView>("listView");
    const QPoint cell = list->visualRect(list->model()->index(0, 0)).center();
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, cell);
    QTest::keyClick(list, Qt::Key_F2);
    QTest::keyClicks(list, "x");
    QVERIFY(!list->findChild<QLineEdit *>());
    QCOMPARE(rig.rows(), RadioRows);

    list->clearSelection();
    const int sent = rig.requests().size();
    rig.window->doPair(); // a press that reaches the slot all the same
    QTest::qWait(300);
    QCOMPARE(rig.requests().mid(sent), QStringList());
    QCOMPARE(rig.controls(), QStringList({"scanButton", "upperButton", "lowerButton", "listView", "resetButton", "logButton"}));
}

void MainWindowTest::inputButtonsSendTheRequestedState_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("box");

    const QString refused = "W Simulation Failed: Failed to toggle Upper GPIO";
    QTest::addRow("upper to emergency, refused") << "upperButton" << "Upper Emergency on" << "030501" << refused;
    QTest::addRow("refused upper kept, next click asks normal") << "upperButton" << "Upper Normal off" << "030500" << refused;
    QTest::addRow("lower to emergency") << "lowerButton" << "Lower Emergency on" << "030601" << "";
    QTest::addRow("lower back to normal") << "lowerButton" << "Lower Normal off" << "030600" << "";
}

void MainWindowTest::inputButtonsSendTheRequestedState()
{
    QFETCH(QString, button);
    QFETCH(QString, state);
    QFETCH(QString, request);
    QFETCH(QString, box);

    auto *toggle = rig.child<QPushButton>(button.toLatin1().constData());
    const auto shownState = [toggle] { return toggle->text() + (toggle->isChecked() ? " on" : " off"); };
    const int sent = rig.requests().size(), shown = rig.moments.size();
    toggle->click();
    QCOMPARE(shownState(), state);
    QCOMPARE(WindowRig::cursorDepth(), 1);
    QCOMPARE(rig.controls(), QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(rig.controls(), WindowRig::Ready, 20000); // after the box, if any
    QCOMPARE(rig.requests().mid(sent), QStringList{request});
    QCOMPARE(rig.boxes.mid(shown).join(""), box);
    QCOMPARE(shownState(), state);
}

void MainWindowTest::logEntriesAreJoinedIntoOneBox()
{
    const QStringList before = rig.controls();
    const int sent = rig.requests().size(), shown = rig.moments.size();
    rig.click("logButton"); // hidden, but wired
    QVERIFY(!rig.window->isEnabled() && !rig.window->menuBar()->isEnabled());
    QCOMPARE(WindowRig::cursorDepth(), 1);
    QVERIFY(rig.waitForBoxes(shown + 1));
    QCOMPARE(rig.boxes.mid(shown), QStringList{"I Orvik Logs: boot ok\ntemp 21C"});
    QCOMPARE(rig.moments.last().controls, before); // the window is back before the box
    QCOMPARE(rig.requests().mid(sent), QStringList({"020d", "020d", "020d", "020d"}));
    QCOMPARE(rig.controls(), before);
}

void MainWindowTest::resetClearsEverythingAndAttachesAgain()
{
    rig.click("lowerButton");
    QTRY_COMPARE(rig.controls(), WindowRig::Ready);
    QVERIFY(!rig.rows().isEmpty() && rig.child<QPushButton>("lowerButton")->isChecked());
    // The port is closed by the time the answer has been handled, and opened again a second later.
    qint64 answeredAt = -1;
    QObject watch;
    connect(rig.device(), &OrvikDevice::resetComplete, &watch, [&] {
        if (!rig.device()->isOpen())
            answeredAt = rig.clock.elapsed();
    });

    const int sent = rig.requests().size(), shown = rig.moments.size();
    rig.click("resetButton");
    QCOMPARE(rig.rows() + rig.information() + rig.controls(), QStringList());
    QCOMPARE(rig.child<QPushButton>("lowerButton")->text(), QStringLiteral("Lower Normal"));
    QVERIFY(!rig.child<QPushButton>("lowerButton")->isChecked());
    QCOMPARE(WindowRig::cursorDepth(), 1);

    QVERIFY(rig.waitForBoxes(shown + 1)); // nothing for the reset itself
    QCOMPARE(rig.boxes.mid(shown), QStringList{Battery});
    QCOMPARE(rig.requests().mid(sent), QStringList{"0207"} + Chain);
    QVERIFY(answeredAt >= 0);
    const auto reopened = std::find_if(rig.opens.cbegin(), rig.opens.cend(), [&](qint64 at) { return at > answeredAt; });
    QVERIFY(reopened != rig.opens.cend() && *reopened - answeredAt >= 990);
    QCOMPARE(rig.information(), QStringList({"ORV-0001", "7315", "11.0.0", "1.5.3", "Front of 3"}));
    QCOMPARE(rig.controls(), WindowRig::Ready);
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
