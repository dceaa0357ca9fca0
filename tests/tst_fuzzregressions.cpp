// Replays the fuzz targets' seeds, and every input a fuzzer has crashed on (tests/fuzz/regressions/<target>/), through
// the checks the targets make, so that the ordinary sanitized suite keeps those inputs harmless.
#include "fuzz/fuzzharness.h"

#include <QtTest>

class FuzzRegressionTest : public QObject
{
    Q_OBJECT

private slots:
    void inputKeepsTheRules_data()
    {
        QTest::addColumn<QString>("path");
        QVERIFY(QFile::exists(QFINDTESTDATA("fuzz/corpus/dfureply/whole-run"))); // without the seeds nothing is tested
        for (QDirIterator files(QFINDTESTDATA("fuzz"), QDir::Files, QDirIterator::Subdirectories); files.hasNext();)
            if (files.next().contains(QRegularExpression("/fuzz/(corpus|regressions)/")))
                QTest::addRow("%s", qPrintable(files.filePath().section("/fuzz/", 1))) << files.filePath();
    }
    void inputKeepsTheRules()
    {
        QFETCH(QString, path);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray input = file.readAll();
        const auto check = path.contains("/devicereply/") ? FuzzHarness::checkDeviceReply
                : path.contains("/dfureply/")             ? FuzzHarness::checkDfuReply
                                                          : FuzzHarness::checkLoadPackage;
        const QString problem = check(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
};

QTEST_GUILESS_MAIN(FuzzRegressionTest)
#include "tst_fuzzregressions.moc"
