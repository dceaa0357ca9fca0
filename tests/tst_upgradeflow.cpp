// The firmware upgrade as the operator sees it, against the simulator: the
// accepted offer, the transfer with its progress dialog, the re-attach and the
// device reset that completes a successful upgrade (refused first). Failed
// transfers, and a completing reset lost with the device, are in the fault
// matrix; a second upgrade and the other ends of the chain after a flash are
// in the window's version-policy table.
#include "windowrig.h"

#include <QFile>
#include <QMetaEnum>
#include <QProgressDialog>
#include <QTemporaryDir>
#include <QtTest>

#include <numeric>

namespace {

constexpr int Long = 180000; // a whole upgrade and its re-attaches under the sanitizers on a busy machine

const QStringList SwOffer = { "W Incorrect Version: This application only works with Orvik device SW Rev 1.5.3",
                              "Q Flash Orvik Device: Change Orvik device SW Rev to 1.5.3" };
const QStringList Chain = { "0208", "0209", "020a", "020b" }; // up to the software revision
const QString OldInfo = "ORV-0001,7315,11.0.0,1.5.2,Front of 3";
const QString Dialog = "Updating Orvik: The unit will be updated and reset, 0..%1 at %2, shown, cursors %3; ";

// Follows the window through its upgrades, connected after it, so that the
// window has acted first: the window as each run starts and ends, every
// progress step, and the application reply last sent before each dialog went.
class UpgradeWatch : public QObject
{
public:
    explicit UpgradeWatch(WindowRig &rig) : rig(rig)
    {
        connect(rig.device(), &OrvikDevice::upgradeStarted, this, [this] {
            events << "started: " + window();
            for (QProgressDialog *dialog : this->rig.dialogs())
                connect(dialog, &QObject::destroyed, this, [this] {
                    QString reply;
                    for (const QJsonObject &sent : this->rig.sim->events("tx"))
                        reply = sent.value("mode") == "app" ? sent.value("hex").toString() : reply;
                    events << "dialog gone after " + reply;
                });
        });
        connect(rig.device(), &OrvikDevice::upgradeProgress, this, [this](int current) {
            progress << current;
            if (this->rig.dialogs().size() != 1 || this->rig.dialogs().first()->value() != current)
                events << QStringLiteral("dialog not at %1").arg(current);
        });
        connect(rig.device(), &OrvikDevice::upgradeFinished, this, [this](Dfu::ErrorType error) {
            finishedAt = this->rig.clock.elapsed();
            events << QStringLiteral("finished %1: ").arg(QMetaEnum::fromType<Dfu::ErrorType>().valueToKey(error))
                            + window();
        });
    }

    // The port, the progress dialogs as the operator reads them, the busy cursors and what else the window shows.
    QString window() const
    {
        QString seen = rig.device()->isOpen() ? "port open, " : "port closed, ";
        for (QProgressDialog *dialog : rig.dialogs())
            seen += QStringLiteral("%1: %2, 0..%3 at %4, %5, ")
                            .arg(dialog->windowTitle(), dialog->labelText())
                            .arg(dialog->maximum())
                            .arg(dialog->value())
                            .arg(dialog->isVisible() ? "shown" : "hidden");
        return seen + QStringLiteral("cursors %1; ").arg(WindowRig::cursorDepth())
                + (rig.rows() + rig.information() + rig.controls()).join(',');
    }

    WindowRig &rig;
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
    QVERIFY(rig.sim->start({ "--sw-rev", "1.5.2", "--status", "0x07=1" }) && QFile::link(rig.sim->linkPath(), link));
    rig.openWindow(link);
    rig.fallback = QMessageBox::Yes;
    UpgradeWatch watch(rig);

    // Success leaves dialog and busy cursor up until the completing reset is answered, here refused.
    QVERIFY(rig.waitForBoxes(3, Long));
    QCOMPARE(rig.boxes, SwOffer + QStringList{ "W Reset Failed: Failed to reset Orvik device" });
    const int total = builtInPackets();
    QCOMPARE(watch.events,
             QStringList({ "started: port open, " + Dialog.arg(total).arg(0).arg(1) + OldInfo,
                           "finished Success: port closed, " + Dialog.arg(total).arg(total - 1).arg(1),
                           "dialog gone after 038801" }));
    QVector<int> steps(total - 1); // every packet after the first, in order; never the maximum itself
    std::iota(steps.begin(), steps.end(), 1);
    QCOMPARE(watch.progress, steps.toList());
    QVERIFY(rig.openedSince(watch.finishedAt) - watch.finishedAt >= 1990); // allows for millisecond rounding
    const WindowRig::Moment refusal = rig.moments.last();
    QCOMPARE(QList<int>({ refusal.cursors, refusal.portOpen, refusal.dialogs }), QList<int>({ 1, true, 0 }));
    QCOMPARE(rig.requests(), Chain + QStringList{ "0204" } + Chain + QStringList{ "0207" });
    QCOMPARE(rig.violations(), QStringList()); // and the device is gone
    QVERIFY(rig.sim->summary().value("installed").toBool());

    // Another device, which accepts the reset.
    delete rig.sim;
    rig.sim = new SimProcess;
    QVERIFY(rig.sim->start() && QFile::remove(link) && QFile::link(rig.sim->linkPath(), link));
    QVERIFY(rig.waitForBoxes(4, Long));
    QCOMPARE(rig.boxes.last(), "I Battery Level: Orvik battery at 87%");
    QCOMPARE(rig.requests(), Chain + QStringList{ "0207" } + Chain + QStringList{ "020c" });
    QCOMPARE(watch.events.size(), 3);
    QCOMPARE(rig.dialogs().size() + WindowRig::cursorDepth(), 0);
    QCOMPARE(rig.controls(), WindowRig::Ready);
    QCOMPARE(rig.violations(), QStringList());
}

QTEST_MAIN(UpgradeFlowTest)
#include "tst_upgradeflow.moc"
