// Which devices the window and the station serve as they are, refuse or flash.
#include "revisions.h"
#include "versionpolicy.h"

#include <QtTest>

using Verdict = VersionPolicy::Verdict;
Q_DECLARE_METATYPE(Verdict)

class VersionPolicyTest : public QObject
{
    Q_OBJECT

private slots:
    void revisionsAreComparedAsWholeStrings_data()
    {
        QTest::addColumn<QString>("hw");
        QTest::addColumn<QString>("fw");
        QTest::addColumn<QString>("sw");
        QTest::addColumn<Verdict>("verdict");
        const QString hw = RequiredHwRev, fw = RequiredFwRev, sw = RequiredSwRev;
        QTest::addRow("all expected") << hw << fw << sw << Verdict::Accept;
        QTest::addRow("other hardware, firmware and software current") << "7314" << fw << sw << Verdict::RefuseHardware;
        QTest::addRow("hardware with a leading zero") << "0" + hw << fw << sw << Verdict::RefuseHardware;
        QTest::addRow("hardware with a trailing blank") << hw + " " << fw << sw << Verdict::RefuseHardware;
        QTest::addRow("other hardware and firmware") << "7314" << fw.left(2) << sw << Verdict::RefuseHardware;
        QTest::addRow("firmware one patch newer") << hw << fw + ".1" << sw << Verdict::Flash;
        QTest::addRow("firmware cut short") << hw << fw.left(fw.size() - 2) << sw << Verdict::Flash;
        QTest::addRow("software with the tool's four parts") << hw << fw << sw + ".0" << Verdict::Flash;
        QTest::addRow("empty software") << hw << fw << "" << Verdict::Flash;
        QTest::addRow("empty hardware") << "" << fw << sw << Verdict::RefuseHardware;
    }
    void revisionsAreComparedAsWholeStrings()
    {
        QFETCH(QString, hw);
        QFETCH(QString, fw);
        QFETCH(QString, sw);
        QFETCH(Verdict, verdict);
        QCOMPARE(VersionPolicy::judge(hw, fw, sw), verdict);
        QCOMPARE(VersionPolicy::hardwareServed(hw), verdict != Verdict::RefuseHardware);
    }
};

QTEST_GUILESS_MAIN(VersionPolicyTest)
#include "tst_versionpolicy.moc"
