#include "aboutdialog.h"
#include "mainwindow.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

// The About panel: its fixed content, its stacking and how Help > About opens it.
class AboutTest : public QObject
{
    Q_OBJECT

private slots:
    void panelShowsItsTexts_data();
    void panelShowsItsTexts();
    void panelHasFixedSizeAndLogo();
    void closeButtonCoversAllButFirmwareRow();
    void helpAboutOpensNewSplashPanelEachTime();
};

void AboutTest::panelShowsItsTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    // The four values are the tool's version and the revisions it expects, never the form's placeholders.
    const QList<QPair<const char *, const char *>> rows = {
        {"labelOrvikConfigVersion", "1.5.3.0"}, {"labelHardwareVersion", "7315"},
        {"labelSoftwareVersion", "1.5.3"}, {"labelFirmwareVersion", "11.0.0"},
        {"label_2", "Orvik Config GUI App:"}, {"label_7", "Orvik Device Versions:"},
        {"label_4", "Hardware Version:"}, {"label_5", "Software Version:"}, {"label_8", "Firmware Version:"},
    };
    for (const auto &row : rows)
        QTest::addRow("%s", row.first) << QString::fromLatin1(row.first) << QString::fromLatin1(row.second);
}

void AboutTest::panelShowsItsTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    AboutDialog dialog;
    auto *label = dialog.findChild<QLabel *>(name);
    QVERIFY(label);
    QCOMPARE(label->text(), text);
    // Whatever font the platform offers, no caption or value is cut off.
    QVERIFY(label->fontMetrics().horizontalAdvance(text) <= label->contentsRect().width());
}

void AboutTest::panelHasFixedSizeAndLogo()
{
    AboutDialog dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("About"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("About Orvik Config"));
    QCOMPARE(dialog.size(), QSize(445, 182));
    QCOMPARE(dialog.minimumSize(), QSize(445, 182));
    QCOMPARE(dialog.maximumSize(), QSize(445, 182));
    QCOMPARE(dialog.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(dialog.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    // The hardware field is narrower than the other two value fields.
    QCOMPARE(dialog.findChild<QLabel *>("labelHardwareVersion")->width(), 47);
    QCOMPARE(dialog.findChild<QLabel *>("labelSoftwareVersion")->width(), 81);
    auto *logo = dialog.findChild<QLabel *>("label");
    QCOMPARE(logo->pixmap(Qt::ReturnByValue).size(), QSize(240, 80));
    QVERIFY(logo->hasScaledContents());
    QCOMPARE(logo->geometry(), QRect(15, 60, 180, 60));
    QVERIFY(!dialog.findChild<QPushButton *>("pushButtonClose")->autoDefault());
}

void AboutTest::closeButtonCoversAllButFirmwareRow()
{
    AboutDialog dialog;
    QStringList stacking;
    for (QObject *object : dialog.children())
        if (object->isWidgetType())
            stacking << object->objectName();
    QCOMPARE(stacking, QStringList({"label_6", "label", "label_2", "label_3", "labelOrvikConfigVersion", "label_4",
                                    "label_5", "labelHardwareVersion", "labelSoftwareVersion", "line", "label_7",
                                    "pushButtonClose", "label_8", "labelFirmwareVersion"}));
    auto hit = [&dialog](const char *name) {
        return dialog.childAt(dialog.findChild<QWidget *>(name)->geometry().center());
    };
    QCOMPARE(hit("labelOrvikConfigVersion")->objectName(), QStringLiteral("pushButtonClose"));
    QCOMPARE(hit("label")->objectName(), QStringLiteral("pushButtonClose"));
    QCOMPARE(hit("label_8")->objectName(), QStringLiteral("label_8"));
    QCOMPARE(hit("labelFirmwareVersion")->objectName(), QStringLiteral("labelFirmwareVersion"));
}

void AboutTest::helpAboutOpensNewSplashPanelEachTime()
{
    QTemporaryDir dir;
    MainWindow window(dir.filePath(QStringLiteral("no-such-port")));
    window.show();
    auto *about = window.findChild<QAction *>(QStringLiteral("actionAbout"));
    about->trigger();
    QList<AboutDialog *> panels = window.findChildren<AboutDialog *>();
    QCOMPARE(panels.size(), 1);
    AboutDialog *panel = panels.first();
    QVERIFY(panel->isVisible());
    QCOMPARE(panel->windowType(), Qt::SplashScreen);
    QCOMPARE(panel->windowModality(), Qt::WindowModal);

    // A click on the panel closes it; the next activation brings a new one.
    QTest::mouseClick(panel->findChild<QPushButton *>("pushButtonClose"), Qt::LeftButton);
    QTRY_VERIFY(!panel->isVisible());
    about->trigger();
    panels = window.findChildren<AboutDialog *>();
    QCOMPARE(panels.size(), 2);
    QVERIFY(panels.last() != panel && panels.last()->isVisible());
    QCOMPARE(panels.last()->findChild<QLabel *>("labelHardwareVersion")->text(), QStringLiteral("7315"));
}

QTEST_MAIN(AboutTest)
#include "tst_about.moc"
