// Replays the fuzz targets' seeds, and every input a fuzzer has crashed on
// (tests/fuzz/regressions/<target>/), through the checks the targets make, so
// that the ordinary sanitized suite keeps those inputs harmless.
#include "fuzz/fuzzharness.h"

#include <QTemporaryDir>
#include <QtTest>

class FuzzRegressionTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void inputKeepsTheRules_data();
    void inputKeepsTheRules();

private:
    QTemporaryDir work;
};

void FuzzRegressionTest::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(QDir(work.path()).mkdir(QStringLiteral("tmp")));
}

void FuzzRegressionTest::inputKeepsTheRules_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("path");
    const QString root = QFINDTESTDATA("fuzz");
    QVERIFY(!root.isEmpty());
    int seeds = 0;
    for (const char *target : {"devicereply", "dfureply", "loadpackage"}) {
        for (const char *folder : {"corpus", "regressions"}) {
            const QDir dir(QStringLiteral("%1/%2/%3").arg(root, QLatin1String(folder), QLatin1String(target)));
            for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
                QTest::addRow("%s/%s/%s", folder, target, qPrintable(name))
                    << QString::fromLatin1(target) << dir.filePath(name);
                seeds += folder == QLatin1String("corpus") ? 1 : 0;
            }
        }
    }
    // Without the seeds this test would pass on nothing.
    QVERIFY(seeds >= 30);
}

void FuzzRegressionTest::inputKeepsTheRules()
{
    QFETCH(QString, target);
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray input = file.readAll();
    const auto *data = reinterpret_cast<const uint8_t *>(input.constData());

    QString problem;
    if (target == QLatin1String("devicereply")) {
        problem = FuzzHarness::checkDeviceReply(data, size_t(input.size()));
    } else if (target == QLatin1String("dfureply")) {
        problem = FuzzHarness::checkDfuReply(data, size_t(input.size()));
    } else {
        // The loader's temporary directories must land where the check looks.
        const bool wasSet = qEnvironmentVariableIsSet("TMPDIR");
        const QByteArray previous = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(work.filePath(QStringLiteral("tmp"))));
        problem = FuzzHarness::checkLoadPackage(data, size_t(input.size()), work.path());
        if (wasSet)
            qputenv("TMPDIR", previous);
        else
            qunsetenv("TMPDIR");
    }
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

QTEST_GUILESS_MAIN(FuzzRegressionTest)
#include "tst_fuzzregressions.moc"
