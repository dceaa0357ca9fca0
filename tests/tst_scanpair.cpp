#include "mainwindow.h"
#include "ptypair.h"
#include "simprocess.h"
#include "windowrig.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {

// Radios whose display texts exercise the prefix rule: the marked class, a
// class one byte off, the marked bytes in reverse order (same text as the row
// before it, so one address for two rows), and an empty name.
const QStringList RadioArgs = {"--radio", "A0A1A2A3A4A5,040262,Unit 7", "--radio", "B0B1B2B3B4B5,040263,Unit 7",
                               "--radio", "C0C1C2C3C4C5,620204,Unit 7", "--radio", "D0D1D2D3D4D5,040262,",
                               "--passkey", "1234"};
const QStringList RadioRows = {"<R> Unit 7", "    Unit 7", "    Unit 7", "<R> "};

QByteArray frame(quint8 code, const QByteArray &payload)
{
    return char(payload.size() + 2) + (char(code) + payload);
}

// The device played by the test on a pty, for reply orders the simulator
// never produces (radios reported by a scan that then fails). It answers the
// information chain like a passing device; everything else is up to the test.
class PlayedDevice : public QObject
{
public:
    explicit PlayedDevice(QObject *parent)
        : QObject(parent)
    {
        connect(&poll, &QTimer::timeout, this, &PlayedDevice::take);
        poll.start(10);
    }
    QString path() const { return pty.slavePath(); }
    void send(const QByteArray &bytes) { pty.write(bytes); }
    QStringList requests;

private:
    void take()
    {
        pending += pty.read(0, 0);
        while (pending.size() >= 2 && quint8(pending.at(0)) >= 2 && pending.size() >= quint8(pending.at(0))) {
            const QByteArray request = pending.left(quint8(pending.at(0)));
            pending.remove(0, request.size());
            requests << QString::fromLatin1(request.toHex());
            const QByteArray reply = chainReplies.value(quint8(request.at(1)));
            if (!reply.isEmpty())
                send(reply);
        }
    }

    PtyPair pty;
    QByteArray pending;
    QTimer poll;
    const QHash<int, QByteArray> chainReplies = {{0x08, frame(0x89, "\x01P-7")},  {0x09, frame(0x8A, "7315")},
                                                 {0x0A, frame(0x8B, "11.0.0")}, {0x0B, frame(0x8C, "1.5.3")},
                                                 {0x0C, frame(0x8D, "\x50")}};
};

} // namespace

// Scanning for radios and pairing one, against the simulator (and, for reply
// orders it never produces, a device played on a pty): the bytes sent, every
// box, the enable pattern and the wait cursor after each outcome.
class ScanPairTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { rig.close(); }
    void scanListsRadiosWithTheirPrefix();
    void pairSendsTheRowsAddressAndPosition_data();
    void pairSendsTheRowsAddressAndPosition();
    void pairWithoutSelectionSendsNothing();
    void radioRowsAreReadOnly_data();
    void radioRowsAreReadOnly();
    void failedScanKeepsRowsUntilTheNextScan();
    void pairingOnThePlayedDevice_data();
    void pairingOnThePlayedDevice();

private:
    void selectRow(int row);
    QList<int> selectedRows() const;
    QStringList requestsSince(int mark) const
    {
        return played ? played->requests.mid(mark) : rig.requests().mid(mark);
    }
    int requestCount() const { return played ? played->requests.size() : rig.requests().size(); }

    WindowRig rig;
    PlayedDevice *played = nullptr;
};

void ScanPairTest::initTestCase()
{
    QVERIFY(rig.open(RadioArgs));
    QVERIFY(rig.waitForBoxes(1));
    QCOMPARE(rig.boxes(), QStringList{"I Battery Level: Orvik battery at 87%"});
    QCOMPARE(rig.controls(), WindowRig::ReadyControls);
}

void ScanPairTest::selectRow(int row)
{
    auto *list = rig.child<QListView>("listView");
    const QRect cell = list->visualRect(list->model()->index(row, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
}

QList<int> ScanPairTest::selectedRows() const
{
    QList<int> rows;
    for (const QModelIndex &index : rig.child<QListView>("listView")->selectionModel()->selectedIndexes())
        rows << index.row();
    return rows;
}

void ScanPairTest::scanListsRadiosWithTheirPrefix()
{
    const int sent = requestCount();
    rig.child<QPushButton>("scanButton")->click();
    QCOMPARE(rig.cursorDepth(), 1);
    QCOMPARE(rig.controls(), QStringList());

    QVERIFY(rig.waitForBoxes(2));
    QTRY_COMPARE(requestsSince(sent), QStringList{"0201"});
    QCOMPARE(rig.rows(), RadioRows);
    QCOMPARE(rig.boxes().last(), "I Scan Complete: Radio scan completed successfully");
    QCOMPARE(rig.moments().last().cursors, 0);
    QCOMPARE(rig.moments().last().controls, QStringList()); // enabled only once the box is closed
    QCOMPARE(rig.controls(), QStringList({"scanButton", "upperButton", "lowerButton", "listView", "resetButton",
                                          "logButton"}));
    QCOMPARE(rig.cursorDepth(), 0);
}

void ScanPairTest::pairSendsTheRowsAddressAndPosition_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QStringList>("expectedRequests");
    QTest::addColumn<QString>("outcome");

    const int yes = QMessageBox::Yes, no = QMessageBox::No;
    const QString paired = "I Pairing Complete: Radio paired successfully";
    QTest::addRow("marked radio at Front, key confirmed")
        << 0 << 1 << yes << QStringList{"0902a0a1a2a3a4a501", "0903a0a1a2a3a4a500"} << paired;
    QTest::addRow("first of two equal rows pairs the later address")
        << 1 << 0 << yes << QStringList{"0902c0c1c2c3c4c500", "0903c0c1c2c3c4c500"} << paired;
    QTest::addRow("second equal row at Back, key refused")
        << 2 << 2 << no << QStringList{"0902c0c1c2c3c4c502", "0903c0c1c2c3c4c501"}
        << "W Pairing Failed: Radio pairing failed";
    QTest::addRow("radio with an empty name")
        << 3 << 1 << yes << QStringList{"0902d0d1d2d3d4d501", "0903d0d1d2d3d4d500"} << paired;
}

// The rows run one after the other on the list of the scan above.
void ScanPairTest::pairSendsTheRowsAddressAndPosition()
{
    QFETCH(int, row);
    QFETCH(int, position);
    QFETCH(int, answer);
    QFETCH(QStringList, expectedRequests);
    QFETCH(QString, outcome);
    QCOMPARE(rig.rows(), RadioRows);

    const QStringList before = rig.controls();
    selectRow(row);
    QCOMPARE(selectedRows(), QList<int>{row});
    QVERIFY(rig.child<QPushButton>("pairButton")->isEnabled());
    QStringList expected; // what was on, and now pairing too
    for (const QString &name : WindowRig::AllControls)
        if (name == "pairButton" || before.contains(name))
            expected << name;
    QCOMPARE(rig.controls(), expected);
    rig.child<QComboBox>("positionComboBox")->setCurrentIndex(position);

    const int sent = requestCount();
    const int shown = rig.boxes().size();
    rig.answerer().expect(QMessageBox::StandardButton(answer));
    rig.answerer().expect(QMessageBox::Ok);
    rig.child<QPushButton>("pairButton")->click();
    QCOMPARE(rig.cursorDepth(), 1);
    QCOMPARE(rig.controls(), QStringList());

    QVERIFY(rig.waitForBoxes(shown + 2));
    QTRY_COMPARE(requestsSince(sent), expectedRequests);
    QCOMPARE(rig.boxes().mid(shown),
             QStringList({"Q Verify Pass Key: Please verify that the radio displays the number 1234", outcome}));
    for (const WindowRig::Moment &moment : rig.moments().mid(shown)) {
        QCOMPARE(moment.cursors, 0);
        QCOMPARE(moment.controls, QStringList());
    }
    QCOMPARE(rig.controls(), WindowRig::AllControls);
    QCOMPARE(selectedRows(), QList<int>{row});
    QCOMPARE(rig.cursorDepth(), 0);
}

void ScanPairTest::pairWithoutSelectionSendsNothing()
{
    QCOMPARE(rig.rows(), RadioRows);
    rig.child<QListView>("listView")->clearSelection();
    QVERIFY(!rig.child<QPushButton>("pairButton")->isEnabled());

    // A press that reaches the slot all the same.
    const int sent = requestCount();
    const QStringList before = rig.controls();
    rig.window()->doPair();
    QTest::qWait(500);
    QCOMPARE(requestsSince(sent), QStringList());
    QCOMPARE(rig.cursorDepth(), 0);
    QCOMPARE(rig.controls(), before);
}

void ScanPairTest::radioRowsAreReadOnly_data()
{
    QTest::addColumn<int>("gesture");
    QTest::addRow("double click") << 0;
    QTest::addRow("F2") << 1;
    QTest::addRow("typing") << 2;
}

void ScanPairTest::radioRowsAreReadOnly()
{
    QFETCH(int, gesture);
    auto *list = rig.child<QListView>("listView");
    QVERIFY(list->isEnabled());
    const QPoint cell = list->visualRect(list->model()->index(0, 0)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
    if (gesture == 0)
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, cell);
    else if (gesture == 1)
        QTest::keyClick(list, Qt::Key_F2);
    else
        QTest::keyClicks(list, "x");
    QTest::qWait(100);
    QVERIFY(!list->findChild<QLineEdit *>());
    QCOMPARE(rig.rows(), RadioRows);
}

void ScanPairTest::failedScanKeepsRowsUntilTheNextScan()
{
    QCOMPARE(rig.simViolations(), QStringList()); // the simulator's part ends here
    played = new PlayedDevice(this);
    rig.openWindow(played->path());
    QVERIFY(rig.waitForBoxes(1));
    QCOMPARE(rig.boxes(), QStringList{"I Battery Level: Orvik battery at 80%"});

    int sent = requestCount();
    rig.child<QPushButton>("scanButton")->click();
    QTRY_COMPARE(requestsSince(sent), QStringList{"0201"});
    played->send(frame(0x82, QByteArray::fromHex("e0e1e2e3e4e5000000") + "Early"));
    QTRY_COMPARE(rig.rows(), QStringList{"    Early"}); // listed at once, but not yet selectable
    QCOMPARE(rig.controls(), QStringList());
    QCOMPARE(rig.cursorDepth(), 1);
    played->send(frame(0x81, "\x01"));
    QVERIFY(rig.waitForBoxes(2));
    QCOMPARE(rig.boxes().last(), "W Scan Failed: Radio scan failed");
    QCOMPARE(rig.moments().last().cursors, 0);
    QCOMPARE(rig.rows(), QStringList{"    Early"});
    QCOMPARE(rig.controls(), WindowRig::ReadyControls); // the rows stay, but cannot be selected

    sent = requestCount();
    rig.child<QPushButton>("scanButton")->click();
    QCOMPARE(rig.rows(), QStringList());
    QCOMPARE(rig.cursorDepth(), 1);
    QTRY_COMPARE(requestsSince(sent), QStringList{"0201"});
    played->send(frame(0x82, QByteArray::fromHex("f0f1f2f3f4f5040262") + "Fresh") + frame(0x81, QByteArray(1, '\0')));
    QVERIFY(rig.waitForBoxes(3));
    QCOMPARE(rig.boxes().last(), "I Scan Complete: Radio scan completed successfully");
    QCOMPARE(rig.rows(), QStringList{"<R> Fresh"});
    QCOMPARE(rig.cursorDepth(), 0);
    selectRow(0);
    QCOMPARE(rig.controls(), WindowRig::AllControls);
}

void ScanPairTest::pairingOnThePlayedDevice_data()
{
    QTest::addColumn<bool>("question");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QStringList>("expectedRequests");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QStringList>("expectedBoxes");

    const QString pair = "0902f0f1f2f3f4f501", question = "Q Verify Pass Key: Please verify that the radio displays the number 7";
    const QString paired = "I Pairing Complete: Radio paired successfully", failed = "W Pairing Failed: Radio pairing failed";
    QTest::addRow("paired without a question") << false << 0 << QStringList{pair} << QByteArray(1, '\0') << QStringList{paired};
    QTest::addRow("refused without a question") << false << 0 << QStringList{pair} << QByteArray("\x05") << QStringList{failed};
    QTest::addRow("key refused, failure follows")
        << true << int(QMessageBox::No) << QStringList{pair, "0903f0f1f2f3f4f501"} << QByteArray("\x01")
        << QStringList{question, failed};
    QTest::addRow("key confirmed, device fails all the same")
        << true << int(QMessageBox::Yes) << QStringList{pair, "0903f0f1f2f3f4f500"} << QByteArray("\x01")
        << QStringList{question, failed};
}

// The result alone must pop the cursor pushed by the press; after a pass-key
// answer the window waits for the result without it.
void ScanPairTest::pairingOnThePlayedDevice()
{
    QFETCH(bool, question);
    QFETCH(int, answer);
    QFETCH(QStringList, expectedRequests);
    QFETCH(QByteArray, status);
    QFETCH(QStringList, expectedBoxes);
    QVERIFY(played);
    QCOMPARE(selectedRows(), QList<int>{0});

    const int sent = requestCount();
    const int shown = rig.boxes().size();
    rig.child<QPushButton>("pairButton")->click();
    QCOMPARE(rig.cursorDepth(), 1);
    QTRY_COMPARE(requestsSince(sent), expectedRequests.mid(0, 1));
    if (question) {
        rig.answerer().expect(QMessageBox::StandardButton(answer));
        played->send(frame(0x84, QByteArray::fromHex("f0f1f2f3f4f5" "07000000")));
        QTRY_COMPARE(requestsSince(sent), expectedRequests);
        QCOMPARE(rig.cursorDepth(), 0);
        QCOMPARE(rig.controls(), QStringList());
    }
    played->send(frame(0x83, status));
    QVERIFY(rig.waitForBoxes(shown + expectedBoxes.size()));
    QCOMPARE(rig.boxes().mid(shown), expectedBoxes);
    for (const WindowRig::Moment &moment : rig.moments().mid(shown)) {
        QCOMPARE(moment.cursors, 0);
        QCOMPARE(moment.controls, QStringList());
    }
    QCOMPARE(requestsSince(sent), expectedRequests);
    QCOMPARE(rig.controls(), WindowRig::AllControls);
    QCOMPARE(selectedRows(), QList<int>{0});
    QCOMPARE(rig.cursorDepth(), 0);
}

QTEST_MAIN(ScanPairTest)
#include "tst_scanpair.moc"
