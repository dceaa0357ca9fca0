#include "boxanswerer.h"
#include "mainwindow.h"
#include "simprocess.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// The window's own life against the simulated device: start-up, attach and
// retry, the information chain with its version policy, and losing the port.
// Message boxes are answered by a BoxAnswerer so that their nested event
// loops run as they do for an operator.
class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startsDetachedAndKeepsTrying();
    void informationChain_data();
    void informationChain();
    void positionSelectsEntry_data();
    void positionSelectsEntry();
    void batteryBoxUpToHundred_data();
    void batteryBoxUpToHundred();
    void unplugWhileBusyClearsAndReattaches();
    void quickReplugRunsOneChain();

private:
    bool openWindow(const QStringList &simArgs);
    void waitQuietly() { QTest::qWait(500); } // lets a request that should not exist reach the trace
    QStringList controls() const;
    QStringList info() const;
    QStringList requests() const;
    QStringList boxes() const;
    template<typename T> T *child(const char *name) const
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }

    SimProcess *sim = nullptr;
    BoxAnswerer *answerer = nullptr;
    MainWindow *window = nullptr;
};

static const QStringList ReadyControls = {"scanButton", "upperButton", "lowerButton", "resetButton", "logButton"};

void MainWindowTest::initTestCase()
{
    qRegisterMetaType<QSerialPort::SerialPortError>();
}

void MainWindowTest::init()
{
    sim = new SimProcess;
    answerer = new BoxAnswerer;
}

void MainWindowTest::cleanup()
{
    delete window; // closes the port before the simulator goes
    window = nullptr;
    delete sim;
    delete answerer;
    while (QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
}

bool MainWindowTest::openWindow(const QStringList &simArgs)
{
    if (!sim->start(simArgs))
        return false;
    window = new MainWindow(sim->linkPath());
    window->show();
    return true;
}

// The enabled operation controls, by object name.
QStringList MainWindowTest::controls() const
{
    QStringList on;
    for (const char *name : {"scanButton", "upperButton", "lowerButton", "pairButton", "listView", "resetButton",
                             "logButton"})
        if (child<QWidget>(name)->isEnabled())
            on << QString::fromLatin1(name);
    return on;
}

// The information widgets that are enabled or hold something, with their contents.
QStringList MainWindowTest::info() const
{
    QStringList shown;
    for (const char *name : {"nameLabel", "hwRevLabel", "fwRevLabel", "swRevLabel"}) {
        auto *label = child<QLabel>(name);
        if (label->isEnabled() || !label->text().isEmpty())
            shown << QStringLiteral("%1=%2%3").arg(name, label->text(), label->isEnabled() ? "" : " (disabled)");
    }
    auto *combo = child<QComboBox>("positionComboBox");
    if (combo->isEnabled() || combo->count())
        shown << QStringLiteral("position=%1 of %2").arg(combo->currentText()).arg(combo->count());
    return shown;
}

QStringList MainWindowTest::requests() const
{
    QStringList hex;
    for (const QByteArray &frame : sim->appRequests())
        hex << QString::fromLatin1(frame.toHex());
    return hex;
}

// Each box seen as "<icon letter> <title>: <text>", after checking what every box must be.
QStringList MainWindowTest::boxes() const
{
    QStringList seen;
    for (const BoxAnswerer::Box &box : answerer->boxes()) {
        const bool question = box.icon == QMessageBox::Question;
        if (box.buttons != (question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::StandardButtons(QMessageBox::Ok))
            || box.defaultButton != QMessageBox::NoButton || box.parent != window)
            seen << QStringLiteral("malformed box");
        const char icon = box.icon == QMessageBox::Warning ? 'W' : box.icon == QMessageBox::Information ? 'I'
                                                               : question                               ? 'Q'
                                                                                                        : '?';
        seen << QStringLiteral("%1 %2: %3").arg(QLatin1Char(icon)).arg(box.title, box.text);
    }
    return seen;
}

void MainWindowTest::startsDetachedAndKeepsTrying()
{
    // The simulator is not running yet: its link does not exist.
    QElapsedTimer elapsed;
    elapsed.start();
    window = new MainWindow(sim->linkPath());
    window->show();
    auto *device = window->findChild<OrvikDevice *>();
    QSignalSpy errors(device, &QSerialPort::errorOccurred);
    auto failedAttempts = [&errors] {
        int n = 0;
        for (const QList<QVariant> &error : errors)
            n += error.at(0).value<QSerialPort::SerialPortError>() == QSerialPort::DeviceNotFoundError;
        return n;
    };
    QTRY_VERIFY_WITH_TIMEOUT(failedAttempts() >= 2, 10000);
    // One attempt in the constructor (not seen by the spy), then one a second at most.
    QVERIFY(failedAttempts() <= elapsed.elapsed() / 1000);
    QCOMPARE(controls(), QStringList());
    QCOMPARE(info(), QStringList());
    QVERIFY(!child<QPushButton>("logButton")->isVisible());
    QCOMPARE(answerer->count(), 0);

    // The device turns up: the next attempt finds it and the chain runs to Ready.
    QVERIFY(sim->start());
    QVERIFY(answerer->waitForCount(1));
    QCOMPARE(boxes(), QStringList({"I Battery Level: Orvik battery at 87%"}));
    QCOMPARE(controls(), ReadyControls);
    QVERIFY(!child<QPushButton>("logButton")->isVisible());
}

void MainWindowTest::informationChain_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QList<int>>("answers");
    QTest::addColumn<QStringList>("expectedBoxes");
    QTest::addColumn<QStringList>("expectedRequests");
    QTest::addColumn<QStringList>("expectedControls");
    QTest::addColumn<QStringList>("expectedInfo");

    const QString name = "nameLabel=ORV-0001", position = "position=Front of 3", hw = "hwRevLabel=7315";
    const QString fw = "fwRevLabel=11.0.0";
    const QString invalid = "W Invalid Device: This application only works with Orvik device HW Rev 7315";
    const QStringList fwOffer = {"W Incorrect Version: This application only works with Orvik device FW Rev 11.0.0",
                                 "Q Flash Orvik Device: Change Orvik device FW Rev to 11.0.0"};
    const QStringList swOffer = {"W Incorrect Version: This application only works with Orvik device SW Rev 1.5.3",
                                 "Q Flash Orvik Device: Change Orvik device SW Rev to 1.5.3"};
    const int ok = QMessageBox::Ok, yes = QMessageBox::Yes, no = QMessageBox::No;

    QTest::addRow("all revisions pass")
        << QStringList() << QList<int>{ok} << QStringList{"I Battery Level: Orvik battery at 87%"}
        << QStringList{"0208", "0209", "020a", "020b", "020c"} << ReadyControls
        << QStringList{name, hw, fw, "swRevLabel=1.5.3", position};
    QTest::addRow("hardware with leading zero refused")
        << QStringList{"--hw-rev", "07315"} << QList<int>{ok} << QStringList{invalid} << QStringList{"0208", "0209"}
        << QStringList() << QStringList{name, "hwRevLabel=07315", position};
    QTest::addRow("hardware with trailing blank refused")
        << QStringList{"--hw-rev", "7315 "} << QList<int>{ok} << QStringList{invalid}
        << QStringList{"0208", "0209"} << QStringList() << QStringList{name, "hwRevLabel=7315 ", position};
    QTest::addRow("newer firmware declined")
        << QStringList{"--fw-rev", "11.0.1"} << QList<int>{ok, no} << fwOffer
        << QStringList{"0208", "0209", "020a"} << QStringList() << QStringList{name, hw, "fwRevLabel=11.0.1", position};
    QTest::addRow("shorter firmware declined")
        << QStringList{"--fw-rev", "11.0"} << QList<int>{ok, no} << fwOffer << QStringList{"0208", "0209", "020a"}
        << QStringList() << QStringList{name, hw, "fwRevLabel=11.0", position};
    QTest::addRow("tool version as software declined")
        << QStringList{"--sw-rev", "1.5.3.0"} << QList<int>{ok, no} << swOffer
        << QStringList{"0208", "0209", "020a", "020b"} << QStringList()
        << QStringList{name, hw, fw, "swRevLabel=1.5.3.0", position};
    QTest::addRow("flash accepted but upgrade mode refused")
        << QStringList{"--fw-rev", "11.0.1", "--status", "0x04=1"} << QList<int>{ok, yes, ok}
        << (fwOffer + QStringList{"W Upgrade Failed: Failed to put Orvik Device into firmware upgrade mode"})
        << QStringList{"0208", "0209", "020a", "0204"} << ReadyControls
        << QStringList{name, hw, "fwRevLabel=11.0.1", position};
}

void MainWindowTest::informationChain()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QList<int>, answers);
    QFETCH(QStringList, expectedBoxes);
    QFETCH(QStringList, expectedRequests);
    QFETCH(QStringList, expectedControls);
    QFETCH(QStringList, expectedInfo);

    for (int answer : answers)
        answerer->expect(QMessageBox::StandardButton(answer));
    QVERIFY(openWindow(simArgs));
    QVERIFY(answerer->waitForCount(expectedBoxes.size()));
    QTRY_COMPARE_WITH_TIMEOUT(requests().size(), expectedRequests.size(), 10000);
    waitQuietly();

    QCOMPARE(boxes(), expectedBoxes);
    QCOMPARE(requests(), expectedRequests);
    QCOMPARE(controls(), expectedControls);
    QCOMPARE(info(), expectedInfo);
    QVERIFY(!QGuiApplication::overrideCursor());
    // The simulator's clock starts before the port can be opened.
    const QList<QJsonObject> received = sim->events("rx");
    QVERIFY(!received.isEmpty());
    QVERIFY2(received.first().value("t").toDouble() >= 2.0, "getInfo went out less than 2000 ms after the open");
}

void MainWindowTest::positionSelectsEntry_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("entry");
    QTest::addRow("0 undefined") << 0 << "Undefined";
    QTest::addRow("1 front") << 1 << "Front";
    QTest::addRow("2 back") << 2 << "Back";
    QTest::addRow("3 out of range") << 3 << "Undefined";
    QTest::addRow("255 out of range") << 255 << "Undefined";
}

void MainWindowTest::positionSelectsEntry()
{
    QFETCH(int, position);
    QFETCH(QString, entry);
    QVERIFY(openWindow({"--position", QString::number(position)}));
    QVERIFY(answerer->waitForCount(1));
    auto *combo = child<QComboBox>("positionComboBox");
    QCOMPARE(combo->currentText(), entry);
    QStringList entries;
    for (int i = 0; i < combo->count(); ++i)
        entries << combo->itemText(i);
    QCOMPARE(entries, QStringList({"Undefined", "Front", "Back"}));
}

void MainWindowTest::batteryBoxUpToHundred_data()
{
    QTest::addColumn<int>("battery");
    QTest::addColumn<QStringList>("expectedBoxes");
    QTest::addRow("empty") << 0 << QStringList{"I Battery Level: Orvik battery at 0%"};
    QTest::addRow("full") << 100 << QStringList{"I Battery Level: Orvik battery at 100%"};
    QTest::addRow("above 100 ignored") << 101 << QStringList();
}

void MainWindowTest::batteryBoxUpToHundred()
{
    QFETCH(int, battery);
    QFETCH(QStringList, expectedBoxes);
    QVERIFY(openWindow({"--battery", QString::number(battery)}));
    QVERIFY(sim->waitForEvent("tx", 5)); // the battery reply is the chain's fifth
    QVERIFY(answerer->waitForCount(expectedBoxes.size()));
    waitQuietly();
    QCOMPARE(boxes(), expectedBoxes);
    QCOMPARE(controls(), ReadyControls);
}

void MainWindowTest::unplugWhileBusyClearsAndReattaches()
{
    // The device vanishes instead of answering the Upper toggle, after a scan has filled the list.
    QVERIFY(openWindow({"--unplug-after", "request:0x05", "--replug-delay", "1500"}));
    QVERIFY(answerer->waitForCount(1)); // battery
    child<QPushButton>("scanButton")->click();
    QVERIFY(answerer->waitForCount(2)); // scan complete
    auto *list = child<QListView>("listView");
    QCOMPARE(list->model()->rowCount(), 3);
    child<QPushButton>("upperButton")->click();
    QCOMPARE(child<QPushButton>("upperButton")->text(), QStringLiteral("Upper Emergency"));

    QVERIFY(sim->waitForEvent("unplug"));
    QTRY_COMPARE_WITH_TIMEOUT(info(), QStringList(), 10000);
    QCOMPARE(controls(), QStringList());
    QCOMPARE(list->model()->rowCount(), 0);
    QVERIFY(!child<QPushButton>("upperButton")->isChecked());
    QCOMPARE(child<QPushButton>("upperButton")->text(), QStringLiteral("Upper Normal"));
    QVERIFY(!QGuiApplication::overrideCursor());

    // Back again: a fresh chain on the new pty, with three positions, not six.
    QVERIFY(answerer->waitForCount(3));
    QCOMPARE(boxes().last(), QStringLiteral("I Battery Level: Orvik battery at 87%"));
    QCOMPARE(controls(), ReadyControls);
    QCOMPARE(child<QComboBox>("positionComboBox")->count(), 3);
    QCOMPARE(requests().mid(requests().indexOf("030501")),
             QStringList({"030501", "0208", "0209", "020a", "020b", "020c"}));
}

void MainWindowTest::quickReplugRunsOneChain()
{
    // Unplugged and back well within the 2000 ms before the first getInfo.
    QVERIFY(openWindow({"--unplug-after", "ms:300", "--replug-delay", "100"}));
    QVERIFY(sim->waitForEvent("unplug"));
    QVERIFY(answerer->waitForCount(1));
    QTest::qWait(2500); // a stale request timer would have started a second chain by now
    QCOMPARE(boxes(), QStringList({"I Battery Level: Orvik battery at 87%"}));
    QCOMPARE(requests(), QStringList({"0208", "0209", "020a", "020b", "020c"}));
    QCOMPARE(child<QComboBox>("positionComboBox")->count(), 3);
    QCOMPARE(controls(), ReadyControls);
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
