// Replays the fuzz targets' seeds, and every input a fuzzer has crashed on
// (tests/fuzz/regressions/<target>/), through the checks the targets make, so
// that the ordinary sanitized suite keeps those inputs harmless.
#include "fuzz/fuzzharness.h"

#include <QtTest>

class FuzzRegressionTest : public QObject
{
    Q_OBJECT

private slots:
    void inputKeepsTheRules_data()
    {
        QTest::addColumn<QString>("path");
        const QString root = QFINDTESTDATA("fuzz");
        QVERIFY(QDir(root + "/corpus/dfureply").count() > 10); // without the seeds this would pass on nothing
        for (QString folder : {"corpus", "regressions"})
            for (QString target : {"devicereply", "dfureply", "loadpackage"})
                for (const QFileInfo &file : QDir(QString("%1/%2/%3").arg(root, folder, target)).entryInfoList(QDir::Files))
                    QTest::addRow("%s", qPrintable(QString("%1/%2/%3").arg(folder, target, file.fileName()))) << file.filePath();
    }
    void inputKeepsTheRules()
    {
        QFETCH(QString, path);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray input = file.readAll();
        const auto check = path.contains("/devicereply/") ? FuzzHarness::checkDeviceReply
            : path.contains("/dfureply/")                 ? FuzzHarness::checkDfuReply
                                                          : FuzzHarness::checkLoadPackage;
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {}); // a reader without a port warns of every write
        const QString problem = check(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
        qInstallMessageHandler(nullptr);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
};

QTEST_GUILESS_MAIN(FuzzRegressionTest)
#include "tst_fuzzregressions.moc"
