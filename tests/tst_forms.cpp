// The window with no device behind its port: how it starts, its form, the
// About panel, and what it makes of each answer a device can give (with a port
// of the test's own open, as when a device sent it): a value of the
// information chain, or the outcome of a workflow.
#include "aboutdialog.h"
#include "ptypair.h"
#include "revisions.h"
#include "version.h"
#include "windowrig.h"

#include <QAction>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using Call = std::function<void(MainWindow *)>;
Q_DECLARE_METATYPE(Call)

// Labels whose text does not fit: a longer translation or value would be cut off.
static QStringList cutOff(const QWidget *form)
{
    QStringList cut;
    for (const QLabel *label : form->findChildren<QLabel *>())
        if (label->fontMetrics().horizontalAdvance(label->text()) > label->contentsRect().width())
            cut << label->objectName();
    return cut;
}

class FormsTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { rig.openWindow(dir.filePath("absent")); }
    void cleanup() { rig.close(); }
    void startsDetachedWithItsFormAndKeepsTrying();
    void aboutPanelShowsTheExpectedRevisions();
    void answerShowsItsBoxesThenItsState_data();
    void answerShowsItsBoxesThenItsState();

private:
    QTemporaryDir dir;
    WindowRig rig;
    PtyPair pty;
};

void FormsTest::startsDetachedWithItsFormAndKeepsTrying()
{
    QCOMPARE(rig.window->windowTitle(), "Orvik Config");
    QCOMPARE(cutOff(rig.window), QStringList());
    // Whatever face stands in for Courier New, the four-character radio prefixes must line up.
    const QFont font = rig.child("listView")->font();
    QCOMPARE(font.family() + QString::number(font.pointSize()), QStringLiteral("Courier New10"));
    const QFontMetrics metrics(font);
    QCOMPARE(metrics.horizontalAdvance("<R> iiii"), metrics.horizontalAdvance("    WWWW"));

    QVERIFY(WindowRig::waitFor([this] { return rig.opens.size() >= 2; }, 20000));
    QVERIFY2(rig.opens.at(1) - rig.opens.at(0) >= 990, "attach attempts less than a second apart");
    QVERIFY(rig.detached() && rig.boxes.isEmpty() && !rig.child("logButton")->isVisible());
}

void FormsTest::aboutPanelShowsTheExpectedRevisions()
{
    rig.window->findChild<QAction *>("actionAbout")->trigger();
    auto *panel = rig.window->findChild<AboutDialog *>();
    QVERIFY(panel && panel->isVisible());
    QCOMPARE(panel->windowType(), Qt::SplashScreen);
    QStringList versions;
    for (const char *name :
         { "labelOrvikConfigVersion", "labelHardwareVersion", "labelFirmwareVersion", "labelSoftwareVersion" })
        versions << panel->findChild<QLabel *>(name)->text()
                 + (panel->findChild<QLabel *>(name)->font().pointSizeF() > 6 ? "" : " (shrunk)"); // they fit
    QCOMPARE(versions, QStringList({ OrvikConfigVersion, RequiredHwRev, RequiredFwRev, RequiredSwRev }));
    QCOMPARE(cutOff(panel), QStringList());
    QVERIFY(!panel->findChild<QLabel *>("label")->pixmap(Qt::ReturnByValue).isNull()); // the logo resource
    QTest::mouseClick(panel->findChild<QPushButton *>("pushButtonClose"), Qt::LeftButton);
    QTRY_VERIFY(!panel->isVisible());
}

// An outcome arrives while its operation holds the wait cursor with every
// control off: the cursor goes before the box, the pattern comes after it
// (scan, pairing and failed transfers show it on the simulator). An answer of
// the information chain shows its value, then asks for the next one, warns or
// offers the flash (declined here).
void FormsTest::answerShowsItsBoxesThenItsState_data()
{
    QTest::addColumn<Call>("answer");
    QTest::addColumn<bool>("busy"); // an operation's outcome
    QTest::addColumn<QStringList>("expectedBoxes");
    QTest::addColumn<QStringList>("expectedControls");
    QTest::addColumn<QString>("expectedInfo");
    QTest::addColumn<QByteArray>("expectedRequest");

    const auto outcome = [](const char *name, const Call &answer, const QString &box, const QStringList &controls,
                            const char *request = "") {
        QTest::addRow("%s", name) << answer << true << QStringList{ box } << controls << QString()
                                  << QByteArray::fromHex(request);
    };
    const auto step = [](const char *name, const Call &answer, const QStringList &boxes, const QString &info,
                         const char *request = "") {
        QTest::addRow("%s", name) << answer << false << boxes << QStringList() << info << QByteArray::fromHex(request);
    };
    const QStringList ready = WindowRig::Ready, none;
    outcome(
            "scan failed", [](MainWindow *w) { w->onScanComplete(false); }, "W Scan Failed: Radio scan failed", ready);
    outcome(
            "upper refused", [](MainWindow *w) { w->onUpperGpioComplete(false); },
            "W Simulation Failed: Failed to toggle Upper GPIO", ready);
    outcome(
            "lower refused", [](MainWindow *w) { w->onLowerGpioComplete(false); },
            "W Simulation Failed: Failed to toggle Lower GPIO", ready);
    outcome(
            "reset refused", [](MainWindow *w) { w->onResetComplete(false); },
            "W Reset Failed: Failed to reset Orvik device", none);
    outcome(
            "empty log", [](MainWindow *w) { w->onGetLogsComplete({}); }, "I Orvik Logs: ", none);
    outcome(
            "upgrade mode refused", [](MainWindow *w) { w->onUpgradeReady(false); },
            "W Upgrade Failed: Failed to put Orvik Device into firmware upgrade mode", ready);

    step(
            "position 3 is Undefined", [](MainWindow *w) { w->onGetInfoComplete(3, "ORV-0001"); }, {},
            "ORV-0001, Undefined of 3", "0209");
    step(
            "hardware with a trailing blank refused", [](MainWindow *w) { w->onGetHwRevComplete("7315 "); },
            { "W Invalid Device: This application only works with Orvik device HW Rev 7315" }, "7315 ");
    step(
            "shorter firmware offered", [](MainWindow *w) { w->onGetFwRevComplete("11.0"); },
            { "W Incorrect Version: This application only works with Orvik device FW Rev 11.0.0",
              "Q Flash Orvik Device: Change Orvik device FW Rev to 11.0.0" },
            "11.0");
    step(
            "battery above 100 not shown", [](MainWindow *w) { w->onGetBattComplete(101); }, {}, "");
}

void FormsTest::answerShowsItsBoxesThenItsState()
{
    QFETCH(Call, answer);
    QFETCH(bool, busy);
    QFETCH(QStringList, expectedBoxes);
    QFETCH(QStringList, expectedControls);
    QFETCH(QString, expectedInfo);
    QFETCH(QByteArray, expectedRequest);
    rig.device()->setPortName(pty.slavePath());
    QVERIFY(rig.device()->open(QIODevice::ReadWrite));
    pty.read(); // what an earlier window wrote
    if (busy)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    rig.fallback = QMessageBox::No;
    answer(rig.window);
    QCOMPARE(rig.boxes, expectedBoxes);
    for (const WindowRig::Moment &moment : rig.moments)
        QCOMPARE(moment.cursors + moment.controls.size(), 0);
    QCOMPARE(rig.controls(), expectedControls);
    QCOMPARE(WindowRig::cursorDepth(), 0);
    QCOMPARE(rig.information().join(", "), expectedInfo);
    QCOMPARE(pty.read(expectedRequest.size() + 1, 100), expectedRequest); // and nothing after it
}

QTEST_MAIN(FormsTest)
#include "tst_forms.moc"
