#include "mainwindow.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolBar>
#include <QtTest>

// The main window's form as the operator first sees it. The window is given a
// port that does not exist, so it only retries in the background.
class FormsTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void windowHasSizeTitleAndNoBars();
    void menusHoldTheirEntriesInsideTheWindow();
    void widgetsCarryTheirTexts_data();
    void widgetsCarryTheirTexts();
    void valueFieldsAreFramedAndWide_data();
    void valueFieldsAreFramedAndWide();
    void operationButtonsSitInRowTwoInCreationOrder();
    void positionSelectorFitsNineCharacters();
    void radioListUsesFixedPitchFont();

private:
    template<typename T> T *child(const char *name) const
    {
        T *widget = window->findChild<T *>(QString::fromLatin1(name));
        if (!widget)
            qWarning("no %s", name);
        return widget;
    }

    QTemporaryDir dir;
    MainWindow *window = nullptr;
};

void FormsTest::init()
{
    window = new MainWindow(dir.filePath(QStringLiteral("no-such-port")));
}

void FormsTest::cleanup()
{
    delete window;
    window = nullptr;
}

void FormsTest::windowHasSizeTitleAndNoBars()
{
    QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window->size(), QSize(625, 570));
    QCOMPARE(window->windowTitle(), QStringLiteral("Orvik Config"));
    QVERIFY(window->findChildren<QToolBar *>().isEmpty());
    QVERIFY(!window->findChild<QStatusBar *>());
    QCOMPARE(window->centralWidget()->objectName(), QStringLiteral("centralWidget"));
}

void FormsTest::menusHoldTheirEntriesInsideTheWindow()
{
    QMenuBar *bar = window->menuBar();
    QCOMPARE(bar->objectName(), QStringLiteral("menuBar"));
    QVERIFY(!bar->isNativeMenuBar());
    QStringList menus, entries, names;
    for (QAction *menuAction : bar->actions()) {
        menus << menuAction->text();
        for (QAction *entry : menuAction->menu()->actions())
            entries << entry->text(), names << entry->objectName();
    }
    QCOMPARE(menus, QStringList({"&File", "Help"}));
    QCOMPARE(entries, QStringList({"&Exit", "About"}));
    QCOMPARE(names, QStringList({"actionExit", "actionAbout"}));
}

void FormsTest::widgetsCarryTheirTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    const QList<QPair<const char *, const char *>> rows = {
        {"label", "Name:"}, {"label_3", "Position:"}, {"label_4", "HW Rev:"}, {"label_6", "FW Rev:"},
        {"label_8", "SW Rev:"}, {"label_2", "Bluetooth Devices"}, {"scanButton", "Scan for Radios"},
        {"upperButton", "Upper Normal"}, {"lowerButton", "Lower Normal"}, {"resetButton", "Reset"},
        {"logButton", "Get Logs"}, {"pairButton", "Pair Radio"}, {"nameLabel", ""}, {"hwRevLabel", ""},
        {"fwRevLabel", ""}, {"swRevLabel", ""},
    };
    for (const auto &row : rows)
        QTest::addRow("%s", row.first) << QString::fromLatin1(row.first) << QString::fromUtf8(row.second);
}

void FormsTest::widgetsCarryTheirTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QWidget *widget = window->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->property("text").toString(), text);
}

void FormsTest::valueFieldsAreFramedAndWide_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"nameLabel", "hwRevLabel", "fwRevLabel", "swRevLabel"})
        QTest::addRow("%s", name) << QString::fromLatin1(name);
}

void FormsTest::valueFieldsAreFramedAndWide()
{
    QFETCH(QString, name);
    auto *label = window->findChild<QLabel *>(name);
    QVERIFY(label);
    QCOMPARE(label->minimumSize(), QSize(100, 0));
    QCOMPARE(label->frameShape(), QFrame::Panel);
    QCOMPARE(label->frameShadow(), QFrame::Plain);
}

void FormsTest::operationButtonsSitInRowTwoInCreationOrder()
{
    // Creation order is the focus order; the pair button comes last, below the list.
    QStringList created;
    for (QObject *object : window->centralWidget()->children())
        if (qobject_cast<QPushButton *>(object))
            created << object->objectName();
    QCOMPARE(created, QStringList({"scanButton", "resetButton", "upperButton", "lowerButton", "logButton",
                                   "pairButton"}));

    auto *grid = child<QGridLayout>("gridLayout");
    QVERIFY(grid);
    const QStringList columns = {"scanButton", "upperButton", "lowerButton", "resetButton", "logButton"};
    for (int column = 0; column < columns.size(); ++column) {
        QLayoutItem *item = grid->itemAtPosition(2, column);
        QVERIFY(item && item->widget());
        QCOMPARE(item->widget()->objectName(), columns.at(column));
        const bool toggles = column == 1 || column == 2;
        QCOMPARE(static_cast<QPushButton *>(item->widget())->isCheckable(), toggles);
    }
    QVERIFY(!grid->itemAtPosition(0, 0) && !grid->itemAtPosition(1, 0));
}

void FormsTest::positionSelectorFitsNineCharacters()
{
    auto *combo = child<QComboBox>("positionComboBox");
    QVERIFY(combo);
    QCOMPARE(combo->sizeAdjustPolicy(), QComboBox::AdjustToContents);
    QCOMPARE(combo->minimumContentsLength(), 9);
}

void FormsTest::radioListUsesFixedPitchFont()
{
    auto *list = child<QListView>("listView");
    QVERIFY(list);
    QCOMPARE(list->font().family(), QStringLiteral("Courier New"));
    QCOMPARE(list->font().pointSize(), 10);
    // Whatever face stands in for Courier New, the four-character prefixes must line up.
    const QFontMetrics metrics(list->font());
    QCOMPARE(metrics.horizontalAdvance(QStringLiteral("<R> ")), metrics.horizontalAdvance(QStringLiteral("    ")));
    QCOMPARE(metrics.horizontalAdvance(QStringLiteral("iiii")), metrics.horizontalAdvance(QStringLiteral("WWWW")));
}

QTEST_MAIN(FormsTest)
#include "tst_forms.moc"
