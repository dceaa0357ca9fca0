#include "mainwindow.h"
#include "simprocess.h"
#include "windowrig.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int Long = 180000; // a whole upgrade and its re-attaches under the sanitizers on a busy machine

const QString SwOffer = "W Incorrect Version: This application only works with Orvik device SW Rev 1.5.3";
const QString SwQuestion = "Q Flash Orvik Device: Change Orvik device SW Rev to 1.5.3";
const QString Battery = "I Battery Level: Orvik battery at 87%";
const QStringList Chain = {"0208", "0209", "020a", "020b"}; // up to the software revision

// Follows one window through its upgrades: the progress dialog as each run
// starts, every progress step, the window as each run ends, and the port's
// opening attempts. Connected after the window, so the window has acted first.
class UpgradeWatch : public QObject
{
public:
    explicit UpgradeWatch(WindowRig &watched)
        : rig(watched)
    {
        clock.start();
        OrvikDevice *device = rig.device();
        connect(device, &OrvikDevice::upgradeStarted, this, [this](int) { onStarted(); });
        connect(device, &OrvikDevice::upgradeProgress, this, [this](int current) {
            progress << current;
            if (rig.dialogs().size() != 1 || rig.dialogs().first()->value() != current)
                ++progressMismatches;
        });
        connect(device, &OrvikDevice::upgradeFinished, this, [this](Dfu::ErrorType error) {
            results << error;
            finishedAt = clock.elapsed();
            endStates << endState();
        });
        connect(device, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
            if (error == QSerialPort::NoError)
                opens << clock.elapsed();
        });
    }

    // Milliseconds from the end of the last run to the first opening attempt after it.
    qint64 reattachDelay() const
    {
        for (qint64 at : opens)
            if (at >= finishedAt)
                return at - finishedAt;
        return -1;
    }

    QList<QStringList> startViews;
    QList<QPointer<QProgressDialog>> dialogs;
    QList<int> progress;
    int progressMismatches = 0;
    QList<Dfu::ErrorType> results;
    QList<QStringList> endStates;
    int destroyedDialogs = 0;
    QStringList repliesAtDestruction; // the simulator's last reply when each dialog went
    QList<qint64> opens;
    qint64 finishedAt = -1;

private:
    void onStarted()
    {
        QStringList view;
        for (QProgressDialog *dialog : rig.dialogs()) {
            view << "title " + dialog->windowTitle() << "label " + dialog->labelText()
                 << QStringLiteral("range %1..%2 at %3").arg(dialog->minimum()).arg(dialog->maximum()).arg(dialog->value())
                 << (dialog->findChildren<QPushButton *>().isEmpty() ? "no cancel button" : "cancel button")
                 << (dialog->windowFlags().testFlag(Qt::WindowContextHelpButtonHint) ? "context help" : "no context help")
                 << (dialog->isModal() || dialog->windowModality() != Qt::NonModal ? "modal" : "not modal")
                 << (dialog->isVisible() ? "shown" : "hidden")
                 << (dialog->parentWidget() == rig.window() ? "child of the window" : "other parent");
            if (!dialogs.contains(dialog)) {
                dialogs << dialog;
                connect(dialog, &QObject::destroyed, this, [this] {
                    ++destroyedDialogs;
                    const QList<QJsonObject> sent = rig.sim()->events("tx");
                    repliesAtDestruction << (sent.isEmpty() ? QString() : sent.last().value("hex").toString());
                });
            }
        }
        view << QStringLiteral("cursors %1").arg(WindowRig::cursorDepth());
        view << "controls " + rig.controls().join(',');
        startViews << view;
    }

    QStringList endState() const
    {
        QStringList state;
        state << (rig.device()->isOpen() ? "port open" : "port closed");
        for (QProgressDialog *dialog : rig.dialogs())
            state << QStringLiteral("dialog %1 at %2 of %3")
                         .arg(dialog->isVisible() ? "shown" : "hidden")
                         .arg(dialog->value())
                         .arg(dialog->maximum());
        state << QStringLiteral("cursors %1").arg(WindowRig::cursorDepth())
              << QStringLiteral("rows %1").arg(rig.rows().size())
              << "information " + rig.information().join(',') << "controls " + rig.controls().join(',');
        return state;
    }

    WindowRig &rig;
    QElapsedTimer clock;
};

const QStringList DialogAtStart = {"title Updating Orvik", "label The unit will be updated and reset",
                                   "range 0..366 at 0", "no cancel button", "no context help", "not modal",
                                   "shown", "child of the window", "cursors 1", "controls "};

} // namespace

// The firmware upgrade as the operator sees it, against the simulator: the
// accepted offer, the transfer with its progress dialog, each way it can end,
// the re-attach and the device reset that completes a successful upgrade.
class UpgradeFlowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { rig.close(); }
    void oldSoftwareIsFlashedResetAndReady();
    void failedTransferShowsItsBoxAndAttachesAgain_data();
    void failedTransferShowsItsBoxAndAttachesAgain();
    void refusedCompletingResetClosesTheDialogOnce();
    void newUpgradeClosesTheOlderDialog();

private:
    void expect(std::initializer_list<QMessageBox::StandardButton> answers)
    {
        for (QMessageBox::StandardButton answer : answers)
            rig.answerer().expect(answer);
    }

    WindowRig rig;
};

void UpgradeFlowTest::initTestCase()
{
    qRegisterMetaType<QSerialPort::SerialPortError>();
    qRegisterMetaType<Dfu::ErrorType>();
}

void UpgradeFlowTest::oldSoftwareIsFlashedResetAndReady()
{
    QVERIFY(rig.open({"--sw-rev", "1.5.2"}));
    expect({QMessageBox::Ok, QMessageBox::Yes, QMessageBox::Ok});
    UpgradeWatch watch(rig);

    QTRY_COMPARE_WITH_TIMEOUT(watch.results.size(), 1, Long);
    QCOMPARE(watch.results.first(), Dfu::Success);
    QCOMPARE(watch.startViews, QList<QStringList>{DialogAtStart});
    QList<int> steps; // every packet after the first, in order; never the maximum itself
    for (int packet = 1; packet < 366; ++packet)
        steps << packet;
    QCOMPARE(watch.progress, steps);
    QCOMPARE(watch.progressMismatches, 0);
    // No box, dialog and busy cursor stay, port closed and everything cleared.
    QCOMPARE(watch.endStates.first(), QStringList({"port closed", "dialog shown at 365 of 366", "cursors 1", "rows 0",
                                                   "information ", "controls "}));
    QCOMPARE(rig.boxes(), QStringList({SwOffer, SwQuestion}));

    QVERIFY(rig.waitForBoxes(3, Long));
    QCOMPARE(rig.boxes(), QStringList({SwOffer, SwQuestion, Battery}));
    QCOMPARE(rig.moments().last().cursors, 0);
    QCOMPARE(rig.requests(), QStringList() << Chain << "0204" << Chain << "0207" << Chain << "020c");
    // Counted from just after the window started its timer; allow for the millisecond rounding.
    QVERIFY2(watch.reattachDelay() >= 1990, qPrintable(QString::number(watch.reattachDelay())));
    // The dialog stayed up until the device had answered the completing reset, and went once.
    QCOMPARE(watch.destroyedDialogs, 1);
    QCOMPARE(watch.repliesAtDestruction, QStringList{"038800"});
    QCOMPARE(rig.dialogs().size(), 0);
    QCOMPARE(rig.information(), QStringList({"ORV-0001", "7315", "11.0.0", "1.5.3", "Front of 3"}));
    QCOMPARE(rig.controls(), WindowRig::ReadyControls);
    QCOMPARE(rig.cursorDepth(), 0);

    QCOMPARE(rig.simViolations(), QStringList());
    const QJsonObject summary = rig.sim()->summary();
    QCOMPARE(summary.value("packets").toInt(), 366);
    QVERIFY(summary.value("installed").toBool());
    QCOMPARE(summary.value("sw").toString(), QStringLiteral("1.5.3"));
    QStringList images;
    for (const QJsonValue &image : summary.value("images").toArray())
        images << QStringLiteral("type %1 complete %2 crc %3")
                      .arg(image["type"].toInt())
                      .arg(image["complete"].toBool())
                      .arg(image["crcOk"].toBool());
    QCOMPARE(images, QStringList({"type 3 complete 1 crc 1", "type 4 complete 1 crc 1"}));
    QCOMPARE(rig.sim()->events("reset").size(), 1);
}

void UpgradeFlowTest::failedTransferShowsItsBoxAndAttachesAgain_data()
{
    QTest::addColumn<QStringList>("faultArgs");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<bool>("onlyTheBoxReattaches");

    // The simulator restarts into the old firmware after a silence shorter
    // than the window's 2000 ms before it attaches again, and longer than the
    // window's own 1000 ms wait for an acknowledgement. Faults at the first
    // packet: no pause before them.
    QTest::addRow("no reply to the start packet")
        << QStringList{"--fault", "no-reply@0", "--dfu-timeout", "2000"} << int(Dfu::NoResponseError)
        << "W Upgrade Failed: Orvik Device did not respond" << true;
    QTest::addRow("wrong acknowledgement of the start packet")
        << QStringList{"--fault", "wrong-ack@0", "--dfu-timeout", "1000"} << int(Dfu::IncorrectResponseError)
        << "W Upgrade Failed: Orvik Device sent incorrect response" << true;
    QTest::addRow("bad escape in the first acknowledgement")
        << QStringList{"--fault", "bad-escape@0", "--dfu-timeout", "1000"} << int(Dfu::InvalidResponseError)
        << "W Upgrade Failed: Orvik Device sent invalid response" << true;
    // The lost port starts its own attach loop, which may open the port again before the box.
    QTest::addRow("unplugged instead of the first acknowledgement")
        << QStringList{"--unplug-after", "packet:0", "--replug-delay", "200"} << int(Dfu::NoResponseError)
        << "W Upgrade Failed: Orvik Device did not respond" << false;
}

void UpgradeFlowTest::failedTransferShowsItsBoxAndAttachesAgain()
{
    QFETCH(QStringList, faultArgs);
    QFETCH(int, result);
    QFETCH(QString, failure);
    QFETCH(bool, onlyTheBoxReattaches);

    QVERIFY(rig.open(QStringList{"--sw-rev", "1.5.2"} + faultArgs));
    // Flash accepted, the failure acknowledged, and the same offer declined after the re-attach.
    expect({QMessageBox::Ok, QMessageBox::Yes, QMessageBox::Ok, QMessageBox::Ok, QMessageBox::No});
    UpgradeWatch watch(rig);

    QVERIFY(rig.waitForBoxes(5, Long));
    QCOMPARE(rig.boxes(), QStringList({SwOffer, SwQuestion, failure, SwOffer, SwQuestion}));
    QCOMPARE(watch.results, QList<Dfu::ErrorType>{Dfu::ErrorType(result)});
    QCOMPARE(watch.startViews, QList<QStringList>{DialogAtStart});
    // While the failure box is up: port closed, dialog gone, cursor back, nothing enabled.
    const WindowRig::Moment atFailure = rig.moments().at(2);
    QVERIFY(!atFailure.portOpen);
    QCOMPARE(atFailure.dialogs, 0);
    QCOMPARE(atFailure.cursors, 0);
    QCOMPARE(atFailure.controls, QStringList());
    QCOMPARE(watch.destroyedDialogs, 1);
    // The 2000 ms are counted from the box being closed.
    if (onlyTheBoxReattaches)
        QVERIFY2(watch.reattachDelay() >= 1990, qPrintable(QString::number(watch.reattachDelay())));
    QCOMPARE(rig.requests(), QStringList() << Chain << "0204" << Chain);
    QCOMPARE(rig.information(), QStringList({"ORV-0001", "7315", "11.0.0", "1.5.2", "Front of 3"}));
    QCOMPARE(rig.controls(), QStringList());
    QCOMPARE(rig.cursorDepth(), 0);
    QCOMPARE(rig.simViolations(), QStringList());
    QVERIFY(!rig.sim()->summary().value("installed").toBool());
}

void UpgradeFlowTest::refusedCompletingResetClosesTheDialogOnce()
{
    // The window reaches the device through a link of the test's own, so
    // that a second device can take the first one's place.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("orvik-flow-%1").arg(QCoreApplication::applicationPid()));
    QVERIFY(rig.open({"--sw-rev", "1.5.2", "--status", "0x07=1"}, link));
    QVERIFY(QFile::link(rig.sim()->linkPath(), link));
    expect({QMessageBox::Ok, QMessageBox::Yes, QMessageBox::Ok});
    UpgradeWatch watch(rig);

    QVERIFY(rig.waitForBoxes(3, Long));
    QCOMPARE(rig.boxes(), QStringList({SwOffer, SwQuestion, "W Reset Failed: Failed to reset Orvik device"}));
    QCOMPARE(watch.results, QList<Dfu::ErrorType>{Dfu::Success});
    QCOMPARE(watch.destroyedDialogs, 1);
    QCOMPARE(watch.repliesAtDestruction, QStringList{"038801"});
    const WindowRig::Moment atRefusal = rig.moments().last();
    QCOMPARE(atRefusal.dialogs, 0);
    QCOMPARE(atRefusal.cursors, 1); // the upgrade's own, kept until a reset succeeds
    QVERIFY(atRefusal.portOpen);
    QCOMPARE(rig.requests(), QStringList() << Chain << "0204" << Chain << "0207");
    QCOMPARE(rig.simViolations(), QStringList()); // and the device is gone

    // Another device that accepts the reset is plugged in.
    QVERIFY(rig.replaceSim({}));
    QVERIFY(QFile::remove(link));
    QVERIFY(QFile::link(rig.sim()->linkPath(), link));
    QVERIFY(rig.waitForBoxes(4, Long));
    QCOMPARE(rig.boxes().last(), Battery);
    QCOMPARE(rig.requests(), QStringList() << Chain << "0207" << Chain << "020c");
    QCOMPARE(watch.destroyedDialogs, 1);
    QCOMPARE(rig.dialogs().size(), 0);
    QCOMPARE(rig.controls(), WindowRig::ReadyControls);
    QCOMPARE(rig.cursorDepth(), 0);
    QCOMPARE(rig.simViolations(), QStringList());
}

void UpgradeFlowTest::newUpgradeClosesTheOlderDialog()
{
    // The flashed device still reports the old software, so the offer comes again.
    QVERIFY(rig.open({"--sw-rev", "1.5.2", "--after-sw", "1.5.2"}));
    expect({QMessageBox::Ok, QMessageBox::Yes, QMessageBox::Ok, QMessageBox::Yes, QMessageBox::Ok});
    UpgradeWatch watch(rig);

    QTRY_COMPARE_WITH_TIMEOUT(watch.startViews.size(), 2, Long);
    QCOMPARE(watch.results, QList<Dfu::ErrorType>{Dfu::Success});
    QCOMPARE(watch.dialogs.size(), 2);
    QVERIFY(!watch.dialogs.first());
    QCOMPARE(watch.destroyedDialogs, 1);
    // Only the new dialog is up; the older run's busy cursor is still held.
    QCOMPARE(watch.startViews.last(), QStringList(DialogAtStart).replaceInStrings("cursors 1", "cursors 2"));

    // The device goes away in the middle of the transfer.
    QCOMPARE(rig.simViolations(), QStringList());
    QVERIFY(rig.waitForBoxes(5, Long));
    QCOMPARE(rig.boxes(), QStringList({SwOffer, SwQuestion, SwOffer, SwQuestion,
                                       "W Upgrade Failed: Orvik Device did not respond"}));
    QCOMPARE(rig.moments().last().dialogs, 0);
    QCOMPARE(watch.results, QList<Dfu::ErrorType>({Dfu::Success, Dfu::NoResponseError}));
    QCOMPARE(watch.destroyedDialogs, 2);
    QCOMPARE(rig.cursorDepth(), 1); // the first run's, until the completing reset
}

QTEST_MAIN(UpgradeFlowTest)
#include "tst_upgradeflow.moc"
