// The window with no device behind its port: start-up, its form, the About panel, and what it makes of answers that
// arrive on a port of the test's own.
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

    void startsDetachedWithItsFormAndAboutPanel()
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

        // The About panel shows the expected revisions.
        rig.window->findChild<QAction *>("actionAbout")->trigger();
        auto *panel = rig.window->findChild<AboutDialog *>();
        QVERIFY(panel && panel->isVisible());
        QCOMPARE(panel->windowType(), Qt::SplashScreen);
        QStringList versions;
        for (const char *name :
             { "labelOrvikConfigVersion", "labelHardwareVersion", "labelFirmwareVersion", "labelSoftwareVersion" })
            versions << panel->findChild<QLabel *>(name)->text() // and it fits
                            + (panel->findChild<QLabel *>(name)->font().pointSizeF() > 6 ? "" : " (shrunk)");
        QCOMPARE(versions, QStringList({ OrvikConfigVersion, RequiredHwRev, RequiredFwRev, RequiredSwRev }));
        QCOMPARE(cutOff(panel), QStringList());
        QVERIFY(!panel->findChild<QLabel *>("label")->pixmap(Qt::ReturnByValue).isNull()); // the logo resource
        QTest::mouseClick(panel->findChild<QPushButton *>("pushButtonClose"), Qt::LeftButton);
        QTRY_VERIFY(!panel->isVisible());
    }

    // An outcome arrives while its operation holds the wait cursor: the cursor goes before the box, the controls come
    // after it. Nothing is sent in answer; a battery level above 100 shows nothing at all.
    void answerShowsItsBoxesThenItsState_data()
    {
        QTest::addColumn<Call>("answer");
        QTest::addColumn<bool>("busy"); // an operation's outcome
        QTest::addColumn<QStringList>("expectedBoxes");
        QTest::addColumn<QStringList>("expectedControls");
        const QStringList ready = WindowRig::Ready;
        QTest::addRow("scan failed") << Call([](MainWindow *w) { w->onScanComplete(false); }) << true
                                     << QStringList{ "W Scan Failed: Radio scan failed" } << ready;
        QTest::addRow("lower refused") << Call([](MainWindow *w) { w->onLowerGpioComplete(false); }) << true
                                       << QStringList{ "W Simulation Failed: Failed to toggle Lower GPIO" } << ready;
        QTest::addRow("empty log") << Call([](MainWindow *w) { w->onGetLogsComplete({}); }) << true
                                   << QStringList{ "I Orvik Logs: " } << QStringList();
        QTest::addRow("battery above 100")
                << Call([](MainWindow *w) { w->onGetBattComplete(101); }) << false << QStringList() << QStringList();
    }

    void answerShowsItsBoxesThenItsState()
    {
        QFETCH(Call, answer);
        QFETCH(bool, busy);
        QFETCH(QStringList, expectedBoxes);
        QFETCH(QStringList, expectedControls);
        rig.device()->setPortName(pty.slavePath());
        QVERIFY(rig.device()->open(QIODevice::ReadWrite));
        pty.read(); // what an earlier window wrote
        if (busy)
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        answer(rig.window);
        QCOMPARE(rig.boxes, expectedBoxes);
        for (const WindowRig::Moment &moment : rig.moments)
            QCOMPARE(moment.cursors + moment.controls.size(), 0);
        QCOMPARE(rig.controls(), expectedControls);
        QCOMPARE(WindowRig::cursorDepth(), 0);
        QCOMPARE(rig.information(), QStringList());
        QCOMPARE(pty.read(1, 100), QByteArray());
    }

private:
    QTemporaryDir dir;
    WindowRig rig;
    PtyPair pty;
};

QTEST_MAIN(FormsTest)
#include "tst_forms.moc"
