#include "portmatch.h"

#include <QtTest>

using PortList = QVector<PortIds>;
Q_DECLARE_METATYPE(PortIds)

class PortMatchTest : public QObject
{
    Q_OBJECT

private slots:
    void picksFirstPortWithBothIds_data()
    {
        const PortIds orvik{true, 0x0403, true, 0x6015};
        QTest::addColumn<PortList>("ports");
        QTest::addColumn<int>("expected");
        QTest::addRow("noPorts") << PortList{} << -1;
        QTest::addRow("onlyOrvik") << PortList{orvik} << 0;
        QTest::addRow("otherFtdiSkipped") << PortList{{true, 0x0403, true, 0x6001}, orvik} << 1;
        QTest::addRow("vendorWithoutProductSkipped") << PortList{{true, 0x0403, false, 0}} << -1;
        QTest::addRow("productWithoutVendorSkipped") << PortList{{false, 0, true, 0x6015}} << -1;
        QTest::addRow("unflaggedIdsDoNotCount") << PortList{{false, 0x0403, false, 0x6015}} << -1;
        QTest::addRow("firstOfTwoMatchesWins") << PortList{{}, orvik, orvik} << 1;
    }
    void picksFirstPortWithBothIds()
    {
        QFETCH(PortList, ports);
        QFETCH(int, expected);
        QCOMPARE(findOrvikPort(ports), expected);
    }
};

QTEST_APPLESS_MAIN(PortMatchTest)
#include "tst_portmatch.moc"
