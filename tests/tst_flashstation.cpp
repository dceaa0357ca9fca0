// The production station end to end: the real orvik-flash against one
// simulator per port, its report, its trace and its exit status.
#include "builtinpackages.h"
#include "history.h"
#include "historyquery.h"
#include "pgserver.h"
#include "simprocess.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

namespace {

constexpr int Long = 240000; // whole updates, several at once, under the sanitizers on a busy machine

QString revisions(const QJsonValue &value)
{
    if (value.isNull())
        return "null";
    QStringList parts;
    for (const char *key : { "hw", "fw", "sw" })
        parts << value[key].toString("-");
    return parts.join('/');
}

// "result phase before>after: reason"; an interruption's packet depends on timing.
QString summary(const QJsonValue &device)
{
    QString text = QStringLiteral("%1 %2 %3>%4")
                           .arg(device["result"].toString(), device["phase"].toString("-"), revisions(device["before"]),
                                revisions(device["after"]));
    if (device["reason"].isString())
        text += ": "
                + device["reason"].toString().replace(QRegularExpression("^interrupted at packet \\d+"),
                                                      "interrupted at packet N");
    return text;
}

// "station/operator state exitStatus: device; device"
QString runSummary(const QByteArray &json)
{
    const QJsonDocument report = QJsonDocument::fromJson(json);
    QStringList devices;
    for (const QJsonValue &device : report["devices"].toArray())
        devices << summary(device);
    return QStringLiteral("%1/%2 %3 %4: %5")
            .arg(report["station"].toString(), report["operator"].toString("-"), report["state"].toString())
            .arg(report["exitStatus"].isNull() ? "-" : QString::number(report["exitStatus"].toInt()))
            .arg(devices.join("; "));
}

// One simulator per argument list; their links are the ports.
QStringList startSims(const QList<QStringList> &sims, std::vector<std::unique_ptr<SimProcess>> *running)
{
    QStringList ports;
    for (const QStringList &simArgs : sims) {
        running->push_back(std::make_unique<SimProcess>());
        if (running->back()->start(simArgs))
            ports << running->back()->linkPath();
    }
    return ports;
}

struct Ran
{
    int status; // -1: killed
    QByteArray out;
    QString err;
};

// orvik-flash to its end.
Ran run(const QStringList &args, const QString &stdoutFile = QString())
{
    QProcess flash;
    if (!stdoutFile.isEmpty())
        flash.setStandardOutputFile(stdoutFile);
    flash.start(ORVIK_FLASH_PATH, args);
    flash.waitForFinished(Long);
    return { flash.exitStatus() == QProcess::NormalExit ? flash.exitCode() : -1, flash.readAllStandardOutput(),
             flash.readAllStandardError() };
}

// The device names on record, sorted; or why the history does not open, or that it is damaged.
QStringList onRecord(const QString &db)
{
    History history;
    QString error;
    if (!history.open(db, &error, History::Mode::Query))
        return { error };
    QSqlQuery check(history.connection());
    if (history.connection().driverName() == "QSQLITE"
        && !(check.exec("PRAGMA integrity_check") && check.next() && check.value(0) == "ok"))
        return { "damaged" };
    QStringList names;
    for (const QJsonObject &device : history.devices(HistoryFilter(), &error))
        names << device["name"].toString();
    names.sort();
    return names;
}

} // namespace

class FlashStationTest : public QObject
{
    Q_OBJECT

private slots:
    // No run touches the user's history; each has one of its own.
    void init()
    {
        home = std::make_unique<QTemporaryDir>();
        qputenv("XDG_DATA_HOME", QFile::encodeName(home->path()));
        qputenv("PGPASSWORD", PgServer::Password);
    }
    void trayIsFlashedAndReported_data();
    void trayIsFlashedAndReported();
    void reportIsThisRunsOrTheRunFails_data();
    void reportIsThisRunsOrTheRunFails();
    void historyHoldsEveryStationsDevices_data();
    void historyHoldsEveryStationsDevices();
    void historyOutlivesItsDatabase_data();
    void historyOutlivesItsDatabase();
    void historyIsRefusedBeforeAnyPortOpens_data();
    void historyIsRefusedBeforeAnyPortOpens();
    void manPageNamesEveryOption();

private:
    // The default SQLite file, or a new database on the test's PostgreSQL server (started by the first row
    // that needs it).
    QString database(const QString &backend)
    {
        QString error;
        if (backend == "sqlite")
            return History::defaultPath();
        if (!server)
            server = std::make_unique<PgServer>();
        const QString db = server->start(&error) ? server->createDatabase(&error) : QString();
        if (db.isEmpty())
            qWarning("%s", qPrintable(error));
        return db;
    }
    static QStringList dbArgs(const QString &db)
    {
        return db == History::defaultPath() ? QStringList() : QStringList{ "--db", db };
    }

    std::unique_ptr<PgServer> server;
    std::unique_ptr<QTemporaryDir> home;
};

void FlashStationTest::trayIsFlashedAndReported_data()
{
    QTest::addColumn<QList<QStringList>>("sims");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("interruptAtPacket");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QString>("error");
    const QString corpus = QFINDTESTDATA("fuzz/corpus/loadpackage");
    const QString old = "updated - 7315/%1>7315/11.0.0/1.5.3";

    QTest::addRow("one current and two old: all verified")
            << QList<QStringList>{ {}, { "--fw-rev", "10.0.0" }, { "--sw-rev", "1.4.0" } } << QStringList() << -1 << 0
            << QStringList{ "up-to-date - 7315/11.0.0/1.5.3>null", old.arg("10.0.0/1.5.3"), old.arg("11.0.0/1.4.0") }
            << "";
    QTest::addRow("a cut transfer, a foreign hardware and a waiting bootloader: each on its own")
            << QList<QStringList>{ { "--sw-rev", "1.4.0", "--fault", "no-reply@150" },
                                   { "--sw-rev", "1.4.0" },
                                   { "--hw-rev", "7314" },
                                   { "--in-bootloader" } }
            << QStringList{ "--recover" } << -1 << 1
            << QStringList{ QString("failed transfer 7315/11.0.0/1.4.0>null: no acknowledgement within 1000 ms of "
                                    "packet 151 of %1; left in its bootloader: run again with --recover to bring it "
                                    "back")
                                    .arg(builtInPackets()),
                            old.arg("11.0.0/1.4.0"),
                            "refused identify 7314/-/->null: hardware revision \"7314\"; this station serves 7315 only",
                            "updated - null>7315/11.0.0/1.5.3" }
            << "";
    QTest::addRow("a silent port without --recover gets no DFU frame")
            << QList<QStringList>{ { "--in-bootloader" } } << QStringList{ "--reply-timeout", "500" } << -1 << 1
            << QStringList{ "failed identify null>null: no answer to the information request within 500 ms" } << "";
    QTest::addRow("no port opens: no device")
            << QList<QStringList>() << QStringList{ "/nonexistent/orvik" } << -1 << 3
            << QStringList{ "failed attach null>null: cannot open the port: No such file or directory" } << "";
    QTest::addRow("Ctrl-C mid-transfer: interrupted at the packet reached")
            << QList<QStringList>{ { "--sw-rev", "1.4.0" } } << QStringList() << 100 << 130
            << QStringList{ QString("interrupted transfer 7315/11.0.0/1.4.0>null: interrupted at packet N of %1; left "
                                    "in its bootloader: run again with --recover to bring it back")
                                    .arg(builtInPackets()) }
            << "";
    QTest::addRow("not a package: no port opened")
            << QList<QStringList>{ {} }
            << QStringList{ "--packages", corpus + "/not-a-zip", corpus + "/application.zip" } << -1 << 2
            << QStringList() << "not-a-zip (SoftDevice and bootloader package): package: not a zip archive";
    QTest::addRow("another device answers after the restart: failed, not updated")
            << QList<QStringList>{ { "--sw-rev", "1.4.0", "--after-name", "ORV-0002" } } << QStringList() << -1 << 1
            << QStringList{ "failed verify 7315/11.0.0/1.4.0>null: after the restart another device answers: "
                            "\"ORV-0002\" at position 1, not the flashed \"ORV-0001\" at position 1" }
            << "";
    QTest::addRow("another hardware revision after the update: failed, not refused")
            << QList<QStringList>{ { "--sw-rev", "1.4.0", "--after-hw", "7316" } } << QStringList() << -1 << 1
            << QStringList{ "failed verify 7315/11.0.0/1.4.0>7316/-/-: after the update the device reports hardware "
                            "revision \"7316\"; this station serves 7315 only" }
            << "";
    QTest::addRow("control characters from the device are shown escaped, kept in the report")
            << QList<QStringList>{ { "--name", "ORV\x1b]0;owned\x07\u202e\\n", "--hw-rev",
                                     "73\x1b[2J\nFAKE /dev/ttyUSB9 finished updated" } }
            << QStringList() << -1 << 1
            << QStringList{ "refused identify 73\x1b[2J\nFAKE /dev/ttyUSB9 finished updated/-/->null: hardware "
                            "revision \"73\x1b[2J\nFAKE /dev/ttyUSB9 finished updated\"; this station serves 7315 "
                            "only" }
            << "finished refused (ORV\\x1B]0;owned\\x07\\u202E\\\\n) in identify: hardware revision "
               "\"73\\x1B[2J\\x0AFAKE /dev/ttyUSB9 finished updated\"";
    QTest::addRow("a report path in no folder: no port opened")
            << QList<QStringList>{ {} } << QStringList{ "--json", "/nonexistent/report.json" } << -1 << 2
            << QStringList() << "--json: cannot write /nonexistent/report.json: No such file or directory";
    QTest::addRow("one port through a link and its target: no port opened")
            << QList<QStringList>{ {} } << QStringList{ "{pty}" } << -1 << 2 << QStringList()
            << "a port is named twice";
    QTest::addRow("an empty port name: no port opened")
            << QList<QStringList>{ {} } << QStringList{ "" } << -1 << 2 << QStringList() << "an empty port name";
    QTest::addRow("image CRC differs from the init packet's: no port opened")
            << QList<QStringList>{ {} }
            << QStringList{ "--packages", corpus + "/softdevice-bootloader.zip", corpus + "/application.zip" } << -1
            << 2 << QStringList() << "CRC: image CRC-16 0xD51A, init packet says 0x5105";
    QTest::addRow("an init packet longer than one packet: no port opened")
            << QList<QStringList>{ { "--sw-rev", "1.4.0" } }
            << QStringList{ "--packages", corpus + "/long-init-packet.zip", corpus + "/matching-crc.zip" } << -1 << 2
            << QStringList()
            << "long-init-packet.zip (SoftDevice and bootloader package): init packet: 6012 bytes, more than the 510 "
               "that fit one packet";
    QTest::addRow("the package check that failed is named")
            << QList<QStringList>{ {} }
            << QStringList{ "--packages", corpus + "/overlapping-entries.zip", corpus + "/matching-crc.zip" } << -1 << 2
            << QStringList() << "overlapping-entries.zip (SoftDevice and bootloader package): package: entries overlap";
    QTest::addRow("not a regular file: no port opened")
            << QList<QStringList>{ {} } << QStringList{ "--packages", "/dev/zero", corpus + "/matching-crc.zip" } << -1
            << 2 << QStringList() << "/dev/zero (SoftDevice and bootloader package): readable: not a regular file";
}

void FlashStationTest::trayIsFlashedAndReported()
{
    QFETCH(QList<QStringList>, sims);
    QFETCH(QStringList, args);
    QFETCH(int, interruptAtPacket);
    QFETCH(int, status);
    QFETCH(QStringList, devices);
    QFETCH(QString, error);
    QTemporaryDir dir;
    std::vector<std::unique_ptr<SimProcess>> running;
    const QStringList ports = startSims(sims, &running);
    QCOMPARE(ports.size(), sims.size());
    args.replaceInStrings("{pty}", QFileInfo(ports.value(0)).canonicalFilePath());
    QProcess flash;
    flash.start(ORVIK_FLASH_PATH, QStringList{ "--json", "-", "--trace", dir.filePath("trace.jsonl") } + args + ports);
    QVERIFY(flash.waitForStarted(Long));
    if (interruptAtPacket >= 0) {
        QVERIFY(running.front()->waitForEvent("packet", interruptAtPacket, Long));
        ::kill(pid_t(flash.processId()), SIGINT);
    }
    QVERIFY(flash.waitForFinished(Long));
    QCOMPARE(flash.exitCode(), status);
    QVERIFY2(QString(flash.readAllStandardError()).contains(error), qPrintable(error));

    const QJsonDocument run = QJsonDocument::fromJson(flash.readAllStandardOutput());
    const QJsonArray report = run["devices"].toArray();
    QStringList got;
    for (const QJsonValue &device : report)
        got << summary(device);
    QCOMPARE(got, devices);
    if (!report.isEmpty())
        QCOMPARE(run["station"].toString(), QSysInfo::machineHostName());
    for (const QJsonValue &package : run["packages"].toArray()) {
        QFile file(package["path"].toString());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(package["sha256"].toString(),
                 QString(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex()));
    }

    // Per port, the trace holds every DFU frame the simulator accepted, and
    // the report names the last of them: nothing was half written.
    QFile traceFile(dir.filePath("trace.jsonl"));
    const QList<QByteArray> trace =
            traceFile.open(QIODevice::ReadOnly) ? traceFile.readAll().split('\n') : QList<QByteArray>();
    for (size_t i = 0; i < running.size(); ++i) {
        const QJsonObject simSummary = running[i]->summary();
        QCOMPARE(simSummary["violations"].toArray(), QJsonArray());
        const int accepted = simSummary["packets"].toInt();
        int traced = 0;
        for (const QByteArray &line : trace) {
            const QJsonObject entry = QJsonDocument::fromJson(line).object();
            traced += entry["port"] == ports.at(int(i)) && entry["event"] == "tx" && entry["mode"] == "dfu";
        }
        QCOMPARE(traced, accepted);
        if (report.isEmpty()) {
            QVERIFY(running[i]->events("peer").isEmpty());
            continue;
        }
        const QJsonValue transfer = report.at(int(i))["transfer"];
        QCOMPARE(transfer.isNull() ? 0 : transfer["reached"].toInt(), accepted);
        // A device found wrong after its restart was installed all the same.
        QCOMPARE(simSummary["installed"].toBool(),
                 report.at(int(i))["result"] == "updated" || report.at(int(i))["phase"] == "verify");
    }
}

// Where the report goes: a file that holds an older run's report first, a
// FIFO there instead, or stdout on a full disk or a closed pipe.
void FlashStationTest::reportIsThisRunsOrTheRunFails_data()
{
    QTest::addColumn<QList<QStringList>>("sims");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("json");
    QTest::addColumn<int>("stopSignal"); // SIGKILL once a device is done; SIGTERM waiting from the start
    QTest::addColumn<int>("status"); // -1: killed
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("report");

    QTest::addRow("stdout on a full disk: the run fails")
            << QList<QStringList>{ {} } << QStringList() << "-full" << 0 << 1
            << "--json: cannot write the report to stdout: No space left on device"
            << "";
    QTest::addRow("stdout a closed pipe: the run fails")
            << QList<QStringList>{ {} } << QStringList() << "-closed" << 0 << 1
            << "--json: cannot write the report to stdout: Broken pipe"
            << "";
    QTest::addRow("a FIFO for the report: no port opened")
            << QList<QStringList>{ {} } << QStringList() << "fifo" << 0 << 2 << "report.json is not a regular file"
            << "";
    QTest::addRow("kill -9 once a device is done: this run's report, in progress")
            << QList<QStringList>{ {}, { "--silent", "0x08" } }
            << QStringList{ "--reply-timeout", "600000", "--station", "bench-3", "--operator", "Ana" } << "file"
            << int(SIGKILL) << -1 << ""
            << "bench-3/Ana running -: up-to-date - 7315/11.0.0/1.5.3>null; pending identify null>null";
    QTest::addRow("a stop signal before the packages are ready: no port opened, no temporary folder left")
            << QList<QStringList>{ {} }
            << QStringList{ "--station", "bench-3", "--packages",
                            QFINDTESTDATA("../resources/upgrade/ble_orvik_hx7315_bl_sd.zip"),
                            QFINDTESTDATA("../resources/upgrade/ble_orvik_hx7315_app.zip") }
            << "file" << int(SIGTERM) << 130 << ""
            << "bench-3/- finished 130: interrupted waiting null>null: interrupted before the port was opened";
}

void FlashStationTest::reportIsThisRunsOrTheRunFails()
{
    QFETCH(QList<QStringList>, sims);
    QFETCH(QStringList, args);
    QFETCH(QString, json);
    QFETCH(int, stopSignal);
    QFETCH(int, status);
    QFETCH(QString, error);
    QFETCH(QString, report);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("tmp"));
    const QString path = dir.filePath("report.json");
    QFile old(path);
    QVERIFY(json == "fifo" ? ::mkfifo(qPrintable(path), 0600) == 0
                           : old.open(QIODevice::WriteOnly) && old.write("{\"state\": \"finished\"}") > 0);
    old.close();
    std::vector<std::unique_ptr<SimProcess>> running;
    const QStringList ports = startSims(sims, &running);
    QCOMPARE(ports.size(), sims.size());
    QProcess flash;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TMPDIR", dir.filePath("tmp"));
    flash.setProcessEnvironment(environment);
    if (json == "-full")
        flash.setStandardOutputFile("/dev/full");
    // Blocked in the child from its start: the signal waits for the moment the program takes it.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    QStringList command = QStringList{ ORVIK_FLASH_PATH, "--json", json.startsWith('-') ? "-" : path } + args + ports;
    if (json == "-closed") // the reader is gone before the report comes
        command = QStringList{ "bash", "-c", "\"$0\" \"$@\" | true; exit ${PIPESTATUS[0]}" } + command;
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    flash.start(command.takeFirst(), command);
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
    QVERIFY(flash.waitForStarted(Long));
    if (stopSignal == SIGTERM)
        ::kill(pid_t(flash.processId()), SIGTERM);
    if (stopSignal == SIGKILL) {
        QVERIFY(QTest::qWaitFor(
                [&] {
                    QFile file(path);
                    return file.open(QIODevice::ReadOnly)
                            && QJsonDocument::fromJson(file.readAll())["devices"][0]["result"] == "up-to-date"
                            && onRecord(QString()) == QStringList{ "ORV-0001" };
                },
                Long));
        flash.kill();
    }
    QVERIFY(flash.waitForFinished(Long));
    QCOMPARE(flash.exitStatus() == QProcess::NormalExit ? flash.exitCode() : -1, status);
    QVERIFY2(QString(flash.readAllStandardError()).contains(error), qPrintable(error));
    QFile file(path);
    QCOMPARE(json == "file" && file.open(QIODevice::ReadOnly) ? runSummary(file.readAll()) : "", report);
    QCOMPARE(QDir(dir.filePath("tmp")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    for (const auto &sim : running)
        QCOMPARE(sim->events("peer").isEmpty(), status == 2 || status == 130);
    // Killed mid-run: the history opens and holds each record whole.
    if (stopSignal == SIGKILL)
        QCOMPARE(onRecord(QString()), QStringList{ "ORV-0001" });
}

void FlashStationTest::historyHoldsEveryStationsDevices_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addRow("sqlite: the default file") << "sqlite";
    QTest::addRow("postgresql") << "postgresql";
}

// Four stations of four devices each at once on one history; then asked.
void FlashStationTest::historyHoldsEveryStationsDevices()
{
    QFETCH(QString, backend);
    const QString db = database(backend);
    QVERIFY(!db.isEmpty());
    QList<QStringList> sims;
    for (int i = 1; i <= 16; ++i)
        sims << QStringList{ "--name", QString("ORV-%1").arg(i, 4, 10, QChar('0')) };
    std::vector<std::unique_ptr<SimProcess>> running;
    const QStringList ports = startSims(sims, &running);
    QCOMPARE(ports.size(), sims.size());
    std::vector<std::unique_ptr<QProcess>> stations;
    for (int i = 0; i < 4; ++i) {
        stations.push_back(std::make_unique<QProcess>());
        stations.back()->start(ORVIK_FLASH_PATH,
                               dbArgs(db)
                                       + QStringList{ "--station", QString("line-%1").arg(i), "--json",
                                                      home->filePath(QString::number(i)) }
                                       + ports.mid(4 * i, 4));
    }
    QMap<QString, QJsonObject> expected; // by name: the report's objects, with their run's
    for (int i = 0; i < 4; ++i) {
        QVERIFY(stations[i]->waitForFinished(Long));
        QCOMPARE(stations[i]->exitCode(), 0);
        QFile file(home->filePath(QString::number(i)));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject report = QJsonDocument::fromJson(file.readAll()).object();
        QJsonObject history = report["history"].toObject();
        const QJsonValue id = history.take("run");
        QVERIFY(!QUuid(id.toString()).isNull());
        QCOMPARE(history,
                 QJsonObject(
                         { { "database", db }, { "written", 6 }, { "spooled", 0 }, { "lost", 0 }, { "replayed", 0 } }));
        for (const QJsonValue &device : report["devices"].toArray()) {
            QJsonObject record = device.toObject();
            record.insert("run", id);
            record.insert("station", report["station"]);
            record.insert("operator", QJsonValue());
            expected.insert(record["name"].toString(), record);
        }
    }
    const QJsonArray all =
            QJsonDocument::fromJson(run(QStringList{ "--history", "--format", "json" } + dbArgs(db)).out).array();
    QMap<QString, QJsonObject> found;
    for (const QJsonValue &record : all)
        found.insert(record["name"].toString(), record.toObject());
    QCOMPARE(all.size(), 16);
    QVERIFY(found == expected);

    const QList<QJsonObject> one{ expected.value("ORV-0007") };
    const QStringList ask = QStringList{ "--history", "--device", "ORV-0007" } + dbArgs(db);
    QCOMPARE(run(ask).out, historyTable(one));
    QCOMPARE(run(ask + QStringList{ "--format", "csv" }).out, historyCsv(one));
    QCOMPARE(run(ask + QStringList{ "--summary", "--format", "csv" }).out,
             QByteArray("group,value,count\r\nresult,up-to-date,1\r\nfirmware,11.0.0,1\r\nsoftware,1.5.3,1\r\n"));
    const Ran full = run(ask, "/dev/full");
    QCOMPARE(QString::number(full.status) + " " + full.err,
             "1 orvik-flash: cannot write to stdout: No space left on device\n");
}

void FlashStationTest::historyOutlivesItsDatabase_data()
{
    QTest::addColumn<QString>("backend"); // file: not the default one, and no folder for the spool
    QTest::addColumn<QStringList>("kept"); // on record after the next run
    // A deleted file takes the records written before with it.
    QTest::addRow("sqlite: the file deleted mid-run") << "sqlite" << QStringList{ "ORV-0002", "ORV-0003" };
    QTest::addRow("sqlite: the file deleted mid-run, no folder for the spool") << "file" << QStringList{ "ORV-0003" };
    QTest::addRow("postgresql: the server stopped mid-run")
            << "postgresql" << QStringList{ "ORV-0001", "ORV-0002", "ORV-0003" };
}

void FlashStationTest::historyOutlivesItsDatabase()
{
    QFETCH(QString, backend);
    QFETCH(QStringList, kept);
    const QString db = backend == "file" ? home->filePath("history.sqlite") : database(backend);
    QVERIFY(!db.isEmpty());
    QFile notAFolder(home->filePath("not-a-folder"));
    QVERIFY(backend != "file" || notAFolder.open(QIODevice::WriteOnly));
    if (backend == "file")
        qputenv("XDG_DATA_HOME", QFile::encodeName(notAFolder.fileName()));
    std::vector<std::unique_ptr<SimProcess>> running;
    const QStringList ports =
            startSims({ { "--name", "ORV-0001" }, { "--name", "ORV-0002" }, { "--name", "ORV-0003" } }, &running);
    QCOMPARE(ports.size(), 3);
    // The second device answers once the database is gone.
    ::kill(pid_t(running[1]->processId()), SIGSTOP);
    QProcess flash;
    flash.start(ORVIK_FLASH_PATH, dbArgs(db) + QStringList{ "--reply-timeout", "600000", ports[0], ports[1] });
    QVERIFY(QTest::qWaitFor([&] { return onRecord(db) == QStringList{ "ORV-0001" }; }, Long));
    if (backend == "postgresql")
        server->stop();
    else
        QVERIFY(QFile::remove(db));
    ::kill(pid_t(running[1]->processId()), SIGCONT);
    QVERIFY(flash.waitForFinished(Long));
    QCOMPARE(flash.exitCode(), 0);
    QCOMPARE(QString(flash.readAllStandardError()),
             QString(backend == "file" ? "history: 2 records lost: neither %2 nor the spool %1 took them\n"
                                       : "history: 2 records kept in %1, written at the next run that reaches %2\n")
                     .arg(History::spoolPath(), db));

    // Another database leaves the spool alone; the next run that reaches this one writes it, once.
    QCOMPARE(run({ "--db", home->filePath("other.sqlite"), ports[2] }).err, QString());
    QCOMPARE(QFile::exists(History::spoolPath()), backend != "file");
    QString error;
    QVERIFY2(backend != "postgresql" || server->start(&error), qPrintable(error));
    QFile spool(History::spoolPath());
    const QByteArray spooled = spool.open(QIODevice::ReadOnly) ? spool.readAll() : QByteArray();
    spool.close();
    const Ran next = run(dbArgs(db) + QStringList{ ports[2] });
    QCOMPARE(next.status, 0);
    QCOMPARE(next.err,
             backend == "file" ? QString()
                               : QString("history: 2 records of earlier runs written from the spool to %1\n").arg(db));
    // The same spool once more, as after a run killed before it could drop it: nothing written twice.
    QVERIFY(spooled.isEmpty() || (spool.open(QIODevice::WriteOnly) && spool.write(spooled) == spooled.size()));
    spool.close();
    History again;
    QVERIFY2(again.open(db, &error), qPrintable(error));
    QCOMPARE(again.replayed(), spooled.isEmpty() ? 0 : 2);
    QCOMPARE(onRecord(db), kept);
    QVERIFY(!QFile::exists(History::spoolPath()));
}

void FlashStationTest::historyIsRefusedBeforeAnyPortOpens_data()
{
    QTest::addColumn<QStringList>("args"); // {port}: a simulator's; {pg}: the test server's URL up to the database
    QTest::addColumn<QString>("error"); // {socket}: the test server's socket folder
    const auto row = [](const char *name, const QStringList &args, const QString &error) {
        QTest::addRow("%s", name) << args << error;
    };
    const QString server = "cannot open history {pg}%1: connection to server on socket \"{socket}/.s.PGSQL.5432\" "
                           "failed: FATAL: %2";
    row("a query with a port", { "--history", "{port}" }, "--history opens no port: leave out the ports");
    row("a query with --all", { "--history", "--all" }, "--history opens no port: leave out --all");
    row("a query of an unknown result", { "--history", "--result", "done" },
        "--result: expected updated, up-to-date, refused, failed, interrupted, got \"done\"");
    row("a query in an unknown format", { "--history", "--format", "xml" },
        "--format: expected table, csv or json, got \"xml\"");
    row("a query option for a run", { "--device", "ORV-0001", "{port}" },
        "--device asks the history: give --history too");
    row("a history and none", { "--no-history", "--db", "h.sqlite", "{port}" },
        "--db and --no-history: give one of them");
    row("an empty history path", { "--db", "", "{port}" }, "--db: empty path");
    row("a history in no folder", { "--db", "/nonexistent/history.sqlite", "{port}" },
        "cannot open history /nonexistent/history.sqlite: no folder /nonexistent");
    row("a wrong password", { "PGPASSWORD=wrong", "--db", "{pg}postgres", "{port}" },
        server.arg("postgres", "password authentication failed for user \"orvik\""));
    row("a missing database", { "--db", "{pg}nosuchdb", "{port}" },
        server.arg("nosuchdb", "database \"nosuchdb\" does not exist"));
}

void FlashStationTest::historyIsRefusedBeforeAnyPortOpens()
{
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    SimProcess sim;
    QVERIFY(sim.start());
    const QString db = args.filter("{pg}").isEmpty() ? QString() : database("postgresql");
    const QString url = db.left(db.lastIndexOf('/') + 1);
    if (args.removeOne("PGPASSWORD=wrong"))
        qputenv("PGPASSWORD", "wrong");
    const Ran refused = run(args.replaceInStrings("{port}", sim.linkPath()).replaceInStrings("{pg}", url));
    QCOMPARE(refused.status, 2);
    QCOMPARE(refused.err.section('\n', 0, 0),
             "orvik-flash: " + error.replace("{pg}", url).replace("{socket}", server ? server->socketFolder() : ""));
    QVERIFY(sim.events("peer").isEmpty());
}

void FlashStationTest::manPageNamesEveryOption()
{
    QProcess flash;
    flash.start(ORVIK_FLASH_PATH, { "--help" });
    QVERIFY(flash.waitForFinished(Long));
    QFile man(QFINDTESTDATA("../debian/orvik-flash.1"));
    QVERIFY(man.open(QIODevice::ReadOnly));
    const auto options = [](const QString &text, const QString &pattern) {
        QStringList names;
        for (auto it = QRegularExpression(pattern, QRegularExpression::MultilineOption).globalMatch(text);
             it.hasNext();)
            names << it.next().captured(1).remove('\\');
        names.sort();
        return names;
    };
    QCOMPARE(options(man.readAll(), "^\\.TP\n\\.BI? (?:\\\\-\\w, )?(\\\\-\\\\-\\S+)"),
             options(flash.readAllStandardOutput(), "^  (?:-\\w, )?(--[a-z-]+)"));
}

QTEST_GUILESS_MAIN(FlashStationTest)
#include "tst_flashstation.moc"
