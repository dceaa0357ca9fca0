// The window with no device behind its port: how it starts, its form, the
// About panel, and what it makes of each answer a device can give (with a port
// of the test's own open, as when a device sent it): a value of the
// information chain, or the outcome of a workflow.
#include "aboutdialog.h"
#include "ptypair.h"
#include "windowrig.h"

#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using Call = std::function<void(MainWindow *)>;
Q_DECLARE_METATYPE(Call)

// Each child widget of a form in creation (and so stacking and focus) order:
// "name=text", and what else it shows.
static QStringList describe(const QWidget *form)
{
    QStringList seen;
    for (const QWidget *widget : form->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        const QVariant text = widget->property("text");
        seen << widget->objectName() + (text.isValid() ? "=" + text.toString() : QString());
        if (auto *button = qobject_cast<const QPushButton *>(widget); button && button->isCheckable())
            seen.last() += " (toggle)";
        auto *label = qobject_cast<const QLabel *>(widget);
        if (label && label->frameShape() == QFrame::Panel)
            seen.last() += QStringLiteral(" (panel, %1 wide)").arg(label->minimumWidth());
        if (label && label->fontMetrics().horizontalAdvance(label->text()) > label->contentsRect().width())
            seen.last() += " (cut off)";
    }
    return seen;
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
    MainWindow *window = rig.window;
    QCOMPARE(window->windowTitle() + QStringLiteral(" %1x%2").arg(window->width()).arg(window->height()),
             "Orvik Config 625x570");
    QStringList menus;
    for (QAction *menu : window->menuBar()->actions()) {
        menus << menu->text();
        for (QAction *entry : menu->menu()->actions())
            menus << "  " + entry->objectName() + "=" + entry->text();
    }
    QCOMPARE(menus, QStringList({ "&File", "  actionExit=&Exit", "Help", "  actionAbout=About" }));
    QCOMPARE(describe(window->centralWidget()),
             QStringList({ "label=Name:", "nameLabel= (panel, 100 wide)", "label_3=Position:", "positionComboBox",
                           "label_4=HW Rev:", "hwRevLabel= (panel, 100 wide)", "label_6=FW Rev:",
                           "fwRevLabel= (panel, 100 wide)", "label_8=SW Rev:", "swRevLabel= (panel, 100 wide)",
                           "scanButton=Scan for Radios", "resetButton=Reset", "upperButton=Upper Normal (toggle)",
                           "lowerButton=Lower Normal (toggle)", "logButton=Get Logs", "line",
                           "label_2=Bluetooth Devices", "listView", "pairButton=Pair Radio" }));
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
    QCOMPARE(panel->windowModality(), Qt::WindowModal);
    QCOMPARE(QList<QSize>({ panel->size(), panel->minimumSize(), panel->maximumSize() }),
             QVector<QSize>(3, QSize(445, 182)).toList());
    // Bottom to top: the close button covers the whole panel except the firmware row.
    QCOMPARE(describe(panel),
             QStringList({ "label_6=", "label=", "label_2=Orvik Config GUI App:", "label_3=Copyright © Corvane",
                           "labelOrvikConfigVersion=1.5.3.0",
                           "label_4=Hardware Version:", "label_5=Software Version:", "labelHardwareVersion=7315",
                           "labelSoftwareVersion=1.5.3", "line", "label_7=Orvik Device Versions:", "pushButtonClose=",
                           "label_8=Firmware Version:", "labelFirmwareVersion=11.0.0" }));
    QCOMPARE(panel->findChild<QLabel *>("labelHardwareVersion")->width(), 47);
    QCOMPARE(panel->findChild<QLabel *>("label")->pixmap(Qt::ReturnByValue).size(), QSize(240, 80));
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
