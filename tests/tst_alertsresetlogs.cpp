#include "mainwindow.h"
#include "simprocess.h"
#include "windowrig.h"

#include <QElapsedTimer>
#include <QMenuBar>
#include <QPushButton>
#include <QtTest>

namespace {

const QStringList RefusingInputsArgs = {"--status", "0x05=1", "--status", "0x06=1"};
// A log with an empty entry between two others.
const QStringList LoggingArgs = {"--log", "boot ok\\n", "--log", "", "--log", "temp 21C"};
const QStringList EmptyLogArgs = {"--no-logs"};
const QStringList RefusingResetArgs = {"--status", "0x07=1"};

} // namespace

// The two alert inputs, the device reset and the log, against the simulator:
// the bytes sent, every box, the enable pattern and the wait cursor after each
// outcome, and the re-attach after a reset.
class AlertsResetLogsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QSerialPort::SerialPortError>(); }
    void cleanupTestCase();
    void inputButtonsSendTheRequestedState_data();
    void inputButtonsSendTheRequestedState();
    void logEntriesAreJoinedIntoOneBox_data();
    void logEntriesAreJoinedIntoOneBox();
    void resetClearsEverythingAndAttachesAgain();
    void refusedResetLeavesEverythingOff();

private:
    bool ensureReady(const QStringList &simArgs);

    WindowRig rig;
    QStringList violations; // of every simulator used so far
};

void AlertsResetLogsTest::cleanupTestCase()
{
    if (rig.sim())
        violations += rig.simViolations();
    rig.close();
    QCOMPARE(violations, QStringList());
}

bool AlertsResetLogsTest::ensureReady(const QStringList &simArgs)
{
    if (rig.isOpenWith(simArgs))
        return true;
    if (rig.sim())
        violations += rig.simViolations();
    return rig.open(simArgs) && rig.waitForBoxes(1) && rig.controls() == WindowRig::ReadyControls;
}

void AlertsResetLogsTest::inputButtonsSendTheRequestedState_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("request");
    QTest::addColumn<QStringList>("expectedBoxes");

    const QStringList upper = {"W Simulation Failed: Failed to toggle Upper GPIO"};
    const QStringList lower = {"W Simulation Failed: Failed to toggle Lower GPIO"};
    const QStringList none;
    QTest::addRow("upper to emergency, refused")
        << RefusingInputsArgs << "upperButton" << true << "Upper Emergency" << "030501" << upper;
    QTest::addRow("refused upper keeps its state, next click asks normal")
        << RefusingInputsArgs << "upperButton" << false << "Upper Normal" << "030500" << upper;
    QTest::addRow("lower to emergency, refused")
        << RefusingInputsArgs << "lowerButton" << true << "Lower Emergency" << "030601" << lower;
    QTest::addRow("refused lower keeps its state, next click asks normal")
        << RefusingInputsArgs << "lowerButton" << false << "Lower Normal" << "030600" << lower;
    QTest::addRow("upper to emergency") << LoggingArgs << "upperButton" << true << "Upper Emergency" << "030501" << none;
    QTest::addRow("upper back to normal") << LoggingArgs << "upperButton" << false << "Upper Normal" << "030500" << none;
    QTest::addRow("lower to emergency") << LoggingArgs << "lowerButton" << true << "Lower Emergency" << "030601" << none;
    QTest::addRow("lower back to normal") << LoggingArgs << "lowerButton" << false << "Lower Normal" << "030600" << none;
}

// Rows with the same simulator run one after the other on one window.
void AlertsResetLogsTest::inputButtonsSendTheRequestedState()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QString, button);
    QFETCH(bool, checked);
    QFETCH(QString, text);
    QFETCH(QString, request);
    QFETCH(QStringList, expectedBoxes);
    QVERIFY(ensureReady(simArgs));

    auto *toggle = rig.child<QPushButton>(button.toLatin1().constData());
    QVERIFY(toggle->isCheckable());
    const int sent = rig.requests().size();
    const int shown = rig.boxes().size();
    toggle->click();
    QCOMPARE(toggle->isChecked(), checked);
    QCOMPARE(toggle->text(), text);
    QCOMPARE(rig.cursorDepth(), 1);
    QCOMPARE(rig.controls(), QStringList());

    QVERIFY(rig.waitForBoxes(shown + expectedBoxes.size()));
    QTRY_COMPARE(rig.controls(), WindowRig::ReadyControls);
    QTest::qWait(200); // room for a box or a request that should not come
    QCOMPARE(rig.requests().mid(sent), QStringList{request});
    QCOMPARE(rig.boxes().mid(shown), expectedBoxes);
    for (const WindowRig::Moment &moment : rig.moments().mid(shown)) {
        QCOMPARE(moment.cursors, 0);
        QCOMPARE(moment.controls, QStringList());
    }
    QCOMPARE(toggle->isChecked(), checked);
    QCOMPARE(toggle->text(), text);
    QCOMPARE(rig.cursorDepth(), 0);
}

void AlertsResetLogsTest::logEntriesAreJoinedIntoOneBox_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("expectedRequests");
    QTest::addColumn<QString>("expectedBox");
    QTest::addRow("three entries, one empty, nothing between them")
        << LoggingArgs << QStringList{"020d", "020d", "020d", "020d"} << "I Orvik Logs: boot ok\ntemp 21C";
    QTest::addRow("empty log") << EmptyLogArgs << QStringList{"020d"} << "I Orvik Logs: ";
}

void AlertsResetLogsTest::logEntriesAreJoinedIntoOneBox()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, expectedRequests);
    QFETCH(QString, expectedBox);
    QVERIFY(ensureReady(simArgs));

    const QStringList before = rig.controls();
    const int sent = rig.requests().size();
    const int shown = rig.boxes().size();
    rig.child<QPushButton>("logButton")->click(); // hidden, but wired
    QVERIFY(!rig.window()->isEnabled());
    QVERIFY(!rig.window()->menuBar()->isEnabled());
    QCOMPARE(rig.cursorDepth(), 1);

    QVERIFY(rig.waitForBoxes(shown + 1));
    QCOMPARE(rig.boxes().mid(shown), QStringList{expectedBox});
    QCOMPARE(rig.moments().last().cursors, 0);
    QCOMPARE(rig.moments().last().controls, before);
    QCOMPARE(rig.requests().mid(sent), expectedRequests);
    QVERIFY(rig.window()->isEnabled());
    QCOMPARE(rig.controls(), before);
    QCOMPARE(rig.cursorDepth(), 0);
}

void AlertsResetLogsTest::resetClearsEverythingAndAttachesAgain()
{
    QVERIFY(ensureReady(EmptyLogArgs)); // any passing device; reuse the one that is up
    rig.child<QPushButton>("scanButton")->click();
    QVERIFY(rig.waitForBoxes(rig.boxes().size() + 1));
    rig.child<QPushButton>("upperButton")->click();
    QTRY_COMPARE(rig.controls(), WindowRig::ReadyControls);
    QVERIFY(!rig.rows().isEmpty());
    QVERIFY(!rig.information().isEmpty());

    // The port is closed when the answer has been handled, and opened again a second later.
    OrvikDevice *device = rig.device();
    QElapsedTimer clock;
    qint64 answeredAt = -1, reopenedAt = -1;
    bool openAfterAnswer = true;
    QObject watch; // ends both connections with this function
    connect(device, &OrvikDevice::resetComplete, &watch, [&] {
        answeredAt = clock.elapsed();
        openAfterAnswer = device->isOpen();
    });
    connect(device, &QSerialPort::errorOccurred, &watch, [&](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::NoError && answeredAt >= 0 && reopenedAt < 0)
            reopenedAt = clock.elapsed();
    });

    const int sent = rig.requests().size();
    const int shown = rig.boxes().size();
    clock.start();
    rig.child<QPushButton>("resetButton")->click();
    QCOMPARE(rig.rows(), QStringList());
    QCOMPARE(rig.information(), QStringList());
    QCOMPARE(rig.child<QPushButton>("upperButton")->text(), QStringLiteral("Upper Normal"));
    QVERIFY(!rig.child<QPushButton>("upperButton")->isChecked());
    QCOMPARE(rig.controls(), QStringList());
    QCOMPARE(rig.cursorDepth(), 1);

    QVERIFY(rig.waitForBoxes(shown + 1)); // nothing for the reset itself: the next box is the battery's
    QCOMPARE(rig.boxes().mid(shown), QStringList{"I Battery Level: Orvik battery at 87%"});
    QCOMPARE(rig.requests().mid(sent), QStringList({"0207", "0208", "0209", "020a", "020b", "020c"}));
    QVERIFY(answeredAt >= 0);
    QVERIFY(!openAfterAnswer);
    QVERIFY2(reopenedAt - answeredAt >= 990, qPrintable(QString::number(reopenedAt - answeredAt)));
    QCOMPARE(rig.information(), QStringList({"ORV-0001", "7315", "11.0.0", "1.5.3", "Front of 3"}));
    QCOMPARE(rig.controls(), WindowRig::ReadyControls);
    QCOMPARE(rig.cursorDepth(), 0);
}

void AlertsResetLogsTest::refusedResetLeavesEverythingOff()
{
    QVERIFY(ensureReady(RefusingResetArgs));
    const int sent = rig.requests().size();
    const int shown = rig.boxes().size();
    rig.child<QPushButton>("resetButton")->click();
    QVERIFY(rig.waitForBoxes(shown + 1));
    QCOMPARE(rig.boxes().mid(shown), QStringList{"W Reset Failed: Failed to reset Orvik device"});
    QCOMPARE(rig.moments().last().cursors, 0);
    QTest::qWait(2500); // a re-attach and its information request would have come by now
    QCOMPARE(rig.requests().mid(sent), QStringList{"0207"});
    QVERIFY(rig.device()->isOpen());
    QCOMPARE(rig.controls(), QStringList());
    QCOMPARE(rig.information(), QStringList());
    QCOMPARE(rig.cursorDepth(), 0);
}

QTEST_MAIN(AlertsResetLogsTest)
#include "tst_alertsresetlogs.moc"
