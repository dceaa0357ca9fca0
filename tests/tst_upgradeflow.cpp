// The firmware upgrade as the operator sees it, against the simulator: the
// accepted offer, the transfer with its progress dialog, the re-attach and the
// device reset that completes a successful upgrade (refused first), and a
// second upgrade over the dialog of the first. Failed transfers, and a
// completing reset lost with the device, are in the fault matrix.
#include "windowrig.h"

#include <QFile>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <numeric>

namespace {

constexpr int Long = 180000; // a whole upgrade and its re-attaches under the sanitizers on a busy machine

const QString SwOffer = "W Incorrect Version: This application only works with Orvik device SW Rev 1.5.3";
const QString SwQuestion = "Q Flash Orvik Device: Change Orvik device SW Rev to 1.5.3";
const QStringList Chain = {"0208", "0209", "020a", "020b"}; // up to the software revision
const QString Started = "started: Updating Orvik, The unit will be updated and reset, 0..366 at 0, no cancel button, "
                        "no help button, not modal, shown, child of the window; cursors %1, controls ";

// Follows the window through its upgrades, connected after it, so that the
// window has acted first: the dialog as each run starts, every progress step,
// the window as each run ends, and the application reply last sent before
// each dialog went.
class UpgradeWatch : public QObject
{
public:
    explicit UpgradeWatch(WindowRig &rig)
    {
        connect(rig.device(), &OrvikDevice::upgradeStarted, this, [this, &rig] {
            for (QProgressDialog *dialog : rig.dialogs()) {
                events << QStringLiteral("started: %1, %2, %3..%4 at %5, %6, %7, %8, %9, %10; cursors %11, controls %12")
                              .arg(dialog->windowTitle(), dialog->labelText())
                              .arg(dialog->minimum()).arg(dialog->maximum()).arg(dialog->value())
                              .arg(dialog->findChild<QPushButton *>() ? "cancel button" : "no cancel button")
                              .arg(dialog->windowFlags() & Qt::WindowContextHelpButtonHint ? "help button" : "no help button")
                              .arg(dialog->windowModality() == Qt::NonModal ? "not modal" : "modal")
                              .arg(dialog->isVisible() ? "shown" : "hidden")
                              .arg(dialog->parentWidget() == rig.window ? "child of the window" : "other parent")
                              .arg(WindowRig::cursorDepth()).arg(rig.controls().join(','));
                connect(dialog, &QObject::destroyed, this, [this, &rig] {
                    QString reply;
                    for (const QJsonObject &sent : rig.sim->events("tx"))
                        reply = sent.value("mode") == "app" ? sent.value("hex").toString() : reply;
                    events << "dialog gone after " + reply;
                });
            }
        });
        connect(rig.device(), &OrvikDevice::upgradeProgress, this, [this, &rig](int current) {
            progress << current;
            if (rig.dialogs().size() != 1 || rig.dialogs().first()->value() != current)
                events << QStringLiteral("dialog not at %1").arg(current);
        });
        connect(rig.device(), &OrvikDevice::upgradeFinished, this, [this, &rig](Dfu::ErrorType error) {
            finishedAt = rig.clock.elapsed();
            QStringList dialogs;
            for (QProgressDialog *dialog : rig.dialogs())
                dialogs << QStringLiteral("dialog %1 at %2 of %3").arg(dialog->isVisible() ? "shown" : "hidden")
                               .arg(dialog->value()).arg(dialog->maximum());
            events << QStringLiteral("finished %1: port %2, %3, cursors %4, rows %5, information %6, controls %7")
                          .arg(error).arg(rig.device()->isOpen() ? "open" : "closed", dialogs.join(','))
                          .arg(WindowRig::cursorDepth()).arg(rig.rows().size())
                          .arg(rig.information().join(','), rig.controls().join(','));
        });
    }

    QStringList events;
    QList<int> progress;
    qint64 finishedAt = -1;
};

} // namespace

class UpgradeFlowTest : public QObject
{
    Q_OBJECT

private slots:
    void flashedDeviceIsResetOnceAndReady();
    void newUpgradeClosesTheOlderDialog();
    void cleanup() { rig.close(); }

private:
    WindowRig rig;
};

void UpgradeFlowTest::flashedDeviceIsResetOnceAndReady()
{
    // A link of the test's own, so that a second device can take the first one's place.
    QTemporaryDir dir;
    const QString link = dir.filePath("orvik");
    rig.sim = new SimProcess;
    QVERIFY(rig.sim->start({"--sw-rev", "1.5.2", "--status", "0x07=1"}) && QFile::link(rig.sim->linkPath(), link));
    rig.openWindow(link);
    rig.fallback = QMessageBox::Yes;
    UpgradeWatch watch(rig);

    // Success leaves dialog and busy cursor up until the completing reset is answered, here refused.
    QVERIFY(rig.waitForBoxes(3, Long));
    QCOMPARE(rig.boxes, QStringList({SwOffer, SwQuestion, "W Reset Failed: Failed to reset Orvik device"}));
    QCOMPARE(watch.events, QStringList({Started.arg(1),
                                        "finished 1: port closed, dialog shown at 365 of 366, cursors 1, rows 0, "
                                        "information , controls ",
                                        "dialog gone after 038801"}));
    QVector<int> steps(365); // every packet after the first, in order; never the maximum itself
    std::iota(steps.begin(), steps.end(), 1);
    QCOMPARE(watch.progress, steps.toList());
    const auto reopened = std::find_if(rig.opens.cbegin(), rig.opens.cend(), [&](qint64 at) { return at >= watch.finishedAt; });
    QVERIFY(reopened != rig.opens.cend() && *reopened - watch.finishedAt >= 1990); // allows for millisecond rounding
    const WindowRig::Moment refusal = rig.moments.last();
    QCOMPARE(QList<int>({refusal.cursors, refusal.portOpen, refusal.dialogs}), QList<int>({1, true, 0}));
    QCOMPARE(rig.requests(), QStringList() << Chain << "0204" << Chain << "0207");
    QCOMPARE(rig.violations(), QStringList()); // and the device is gone
    QVERIFY(rig.sim->summary().value("installed").toBool());

    // Another device, which accepts the reset.
    delete rig.sim;
    rig.sim = new SimProcess;
    QVERIFY(rig.sim->start() && QFile::remove(link) && QFile::link(rig.sim->linkPath(), link));
    QVERIFY(rig.waitForBoxes(4, Long));
    QCOMPARE(rig.boxes.last(), "I Battery Level: Orvik battery at 87%");
    QCOMPARE(rig.requests(), QStringList() << Chain << "0207" << Chain << "020c");
    QCOMPARE(watch.events.size(), 3);
    QCOMPARE(rig.dialogs().size(), 0);
    QCOMPARE(rig.controls(), WindowRig::Ready);
    QCOMPARE(WindowRig::cursorDepth(), 0);
    QCOMPARE(rig.violations(), QStringList());
}

void UpgradeFlowTest::newUpgradeClosesTheOlderDialog()
{
    // The flashed device still reports the old software, so the offer comes again.
    QVERIFY(rig.open({"--sw-rev", "1.5.2", "--after-sw", "1.5.2"}));
    rig.fallback = QMessageBox::Yes;
    UpgradeWatch watch(rig);
    QVERIFY(WindowRig::waitFor([&] { return watch.events.size() >= 4; }, Long));
    // Only the new dialog is up; the older run's busy cursor is still held.
    QCOMPARE(watch.events.mid(2), QStringList({"dialog gone after 038500", Started.arg(2)}));

    QCOMPARE(rig.violations(), QStringList()); // the device goes away in the middle of the transfer
    QVERIFY(rig.waitForBoxes(5, Long));
    QCOMPARE(rig.boxes, QStringList({SwOffer, SwQuestion, SwOffer, SwQuestion,
                                       "W Upgrade Failed: Orvik Device did not respond"}));
    QCOMPARE(watch.events.mid(4), QStringList({"dialog gone after 038500",
                                               "finished 2: port closed, , cursors 1, rows 0, information , controls "}));
    QCOMPARE(WindowRig::cursorDepth(), 1); // the first run's, until a completing reset
}

QTEST_MAIN(UpgradeFlowTest)
#include "tst_upgradeflow.moc"
