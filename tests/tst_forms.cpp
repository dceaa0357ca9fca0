// The window with no device behind its port: how it starts, its form, the
// About panel, and how each workflow's outcome is shown to the operator (with
// a port of the test's own open, as when a device sent it).
#include "aboutdialog.h"
#include "ptypair.h"
#include "windowrig.h"

#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolBar>
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
    void initTestCase() { rig.openWindow(dir.filePath("absent")); }
    void startsDetachedAndKeepsTrying();
    void windowShowsItsForm();
    void aboutPanelShowsTheExpectedRevisions();
    void outcomeShowsItsBoxThenItsPattern_data();
    void outcomeShowsItsBoxThenItsPattern();

private:
    QTemporaryDir dir;
    WindowRig rig;
    PtyPair pty;
};

void FormsTest::startsDetachedAndKeepsTrying()
{
    QTRY_VERIFY_WITH_TIMEOUT(rig.opens.size() >= 2, 20000);
    QVERIFY2(rig.opens.at(1) - rig.opens.at(0) >= 990, "attach attempts less than a second apart");
    QCOMPARE(rig.controls() + rig.information() + rig.boxes, QStringList());
    QVERIFY(!rig.child("logButton")->isVisible());
}

void FormsTest::windowShowsItsForm()
{
    MainWindow *window = rig.window;
    QCOMPARE(QStringList({window->objectName(), window->windowTitle(), window->centralWidget()->objectName()}),
             QStringList({"MainWindow", "Orvik Config", "centralWidget"}));
    QCOMPARE(window->size(), QSize(625, 570));
    QVERIFY(!window->findChild<QToolBar *>() && !window->findChild<QStatusBar *>() && !window->menuBar()->isNativeMenuBar());
    QStringList menus;
    for (QAction *menu : window->menuBar()->actions()) {
        menus << menu->text();
        for (QAction *entry : menu->menu()->actions())
            menus << "  " + entry->objectName() + "=" + entry->text();
    }
    QCOMPARE(menus, QStringList({"&File", "  actionExit=&Exit", "Help", "  actionAbout=About"}));
    QCOMPARE(describe(window->centralWidget()),
             QStringList({"label=Name:", "nameLabel= (panel, 100 wide)", "label_3=Position:", "positionComboBox",
                          "label_4=HW Rev:", "hwRevLabel= (panel, 100 wide)", "label_6=FW Rev:",
                          "fwRevLabel= (panel, 100 wide)", "label_8=SW Rev:", "swRevLabel= (panel, 100 wide)",
                          "scanButton=Scan for Radios", "resetButton=Reset", "upperButton=Upper Normal (toggle)",
                          "lowerButton=Lower Normal (toggle)", "logButton=Get Logs", "line",
                          "label_2=Bluetooth Devices", "listView", "pairButton=Pair Radio"}));
    // Whatever face stands in for Courier New, the four-character radio prefixes must line up.
    const QFont font = rig.child("listView")->font();
    QCOMPARE(font.family() + QString::number(font.pointSize()), QStringLiteral("Courier New10"));
    const QFontMetrics metrics(font);
    QCOMPARE(metrics.horizontalAdvance("<R> iiii"), metrics.horizontalAdvance("    WWWW"));
}

void FormsTest::aboutPanelShowsTheExpectedRevisions()
{
    rig.window->findChild<QAction *>("actionAbout")->trigger();
    auto *panel = rig.window->findChild<AboutDialog *>();
    QVERIFY(panel && panel->isVisible());
    QCOMPARE(panel->windowType(), Qt::SplashScreen);
    QCOMPARE(panel->windowModality(), Qt::WindowModal);
    QCOMPARE(QList<QSize>({panel->size(), panel->minimumSize(), panel->maximumSize()}), QVector<QSize>(3, QSize(445, 182)).toList());
    // Bottom to top: the close button covers the whole panel except the firmware row.
    QCOMPARE(describe(panel), QStringList({"label_6=", "label=", "label_2=Orvik Config GUI App:",
                                           "label_3=Copyright © Corvane", "labelOrvikConfigVersion=1.5.3.0",
                                           "label_4=Hardware Version:", "label_5=Software Version:",
                                           "labelHardwareVersion=7315", "labelSoftwareVersion=1.5.3", "line",
                                           "label_7=Orvik Device Versions:", "pushButtonClose=",
                                           "label_8=Firmware Version:", "labelFirmwareVersion=11.0.0"}));
    QCOMPARE(panel->findChild<QLabel *>("labelHardwareVersion")->width(), 47);
    QCOMPARE(panel->findChild<QLabel *>("label")->pixmap(Qt::ReturnByValue).size(), QSize(240, 80));
    QTest::mouseClick(panel->findChild<QPushButton *>("pushButtonClose"), Qt::LeftButton);
    QTRY_VERIFY(!panel->isVisible());
}

void FormsTest::outcomeShowsItsBoxThenItsPattern_data()
{
    QTest::addColumn<Call>("call");
    QTest::addColumn<QString>("expectedBox");
    QTest::addColumn<QStringList>("expectedControls");

    const QStringList ready = WindowRig::Ready, all = WindowRig::All, none;
    const QString failed = "W Upgrade Failed: ";
    QTest::addRow("scan done") << Call([](MainWindow *w) { w->onScanComplete(true); })
                               << "I Scan Complete: Radio scan completed successfully"
                               << QStringList({"scanButton", "upperButton", "lowerButton", "listView", "resetButton", "logButton"});
    QTest::addRow("scan failed") << Call([](MainWindow *w) { w->onScanComplete(false); })
                                 << "W Scan Failed: Radio scan failed" << ready;
    QTest::addRow("pass key asked") << Call([](MainWindow *w) { w->onVerifyPassKey("ABCDEF", 1234); })
                                    << "Q Verify Pass Key: Please verify that the radio displays the number 1234" << none;
    QTest::addRow("paired") << Call([](MainWindow *w) { w->onPairComplete(true); })
                            << "I Pairing Complete: Radio paired successfully" << all;
    QTest::addRow("pairing failed") << Call([](MainWindow *w) { w->onPairComplete(false); })
                                    << "W Pairing Failed: Radio pairing failed" << all;
    QTest::addRow("upper refused") << Call([](MainWindow *w) { w->onUpperGpioComplete(false); })
                                   << "W Simulation Failed: Failed to toggle Upper GPIO" << ready;
    QTest::addRow("lower refused") << Call([](MainWindow *w) { w->onLowerGpioComplete(false); })
                                   << "W Simulation Failed: Failed to toggle Lower GPIO" << ready;
    QTest::addRow("reset refused") << Call([](MainWindow *w) { w->onResetComplete(false); })
                                   << "W Reset Failed: Failed to reset Orvik device" << none;
    QTest::addRow("empty log") << Call([](MainWindow *w) { w->onGetLogsComplete({}); }) << "I Orvik Logs: " << none;
    QTest::addRow("upgrade mode refused") << Call([](MainWindow *w) { w->onUpgradeReady(false); })
                                          << failed + "Failed to put Orvik Device into firmware upgrade mode" << ready;
    QTest::addRow("no response") << Call([](MainWindow *w) { w->onUpdateFinished(Dfu::NoResponseError); })
                                 << failed + "Orvik Device did not respond" << none;
    QTest::addRow("incorrect response") << Call([](MainWindow *w) { w->onUpdateFinished(Dfu::IncorrectResponseError); })
                                        << failed + "Orvik Device sent incorrect response" << none;
    QTest::addRow("invalid response") << Call([](MainWindow *w) { w->onUpdateFinished(Dfu::InvalidResponseError); })
                                      << failed + "Orvik Device sent invalid response" << none;
}

// Each outcome arrives while its operation holds the wait cursor, with every
// control off; the cursor goes before the box, the pattern comes after it.
void FormsTest::outcomeShowsItsBoxThenItsPattern()
{
    QFETCH(Call, call);
    QFETCH(QString, expectedBox);
    QFETCH(QStringList, expectedControls);
    rig.window->onError(QSerialPort::ResourceError); // start-up state
    rig.device()->setPortName(pty.slavePath());
    QVERIFY(rig.device()->open(QIODevice::ReadWrite));
    rig.moments.clear();
    rig.boxes.clear();
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    call(rig.window);
    QCOMPARE(rig.boxes.join(""), expectedBox);
    for (const WindowRig::Moment &moment : rig.moments) {
        QCOMPARE(moment.cursors, 0);
        QCOMPARE(moment.controls, QStringList());
    }
    QCOMPARE(rig.controls(), expectedControls);
    QCOMPARE(WindowRig::cursorDepth(), 0);
    rig.window->onError(QSerialPort::ResourceError); // detached again, and trying
}

QTEST_MAIN(FormsTest)
#include "tst_forms.moc"
