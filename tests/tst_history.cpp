// The history on an SQLite file and on a PostgreSQL server of the test's own; the station's use of it (refusals,
// the spool, several stations at once) is tested end to end with orvik-flash.
#include "history.h"
#include "historyquery.h"
#include "historyrecorder.h"
#include "pgserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <future>

Q_DECLARE_METATYPE(HistoryQuery)

namespace {

const char *const Backends[] = { "sqlite", "postgresql" };
const QString Injection = "x'); DROP TABLE devices;--";
// Escaped where a terminal shows it: controls, a direction override, a line separator, a backslash; not the rest.
const QString Escapes = "ORV\x1b]0;\a\n\x7f\u0085\u202e\u2028\\x1B Zü東";

QJsonObject json(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

// One port's record as the station reports it, from "name|usbSerial|result|phase|before|after|reached|reason".
QJsonObject device(const QString &started, int port, const QString &fields)
{
    const QStringList f = fields.split('|');
    QJsonObject device = json(QString(R"({"port": "/dev/ttyUSB%1", "position": 3, "battery": 87, "recovered": false,
                                          "packages": [], "started": "%2", "ended": "%2", "durationMs": 1000})")
                                      .arg(port)
                                      .arg(started));
    // An empty field is a null; "hw/fw/sw" revisions and the packets reached become objects.
    const auto value = [](const QString &text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); };
    const char *const keys[] = { "name", "usbSerial", "result", "phase", "before", "after", "transfer", "reason" };
    for (int i = 0; i < 8; ++i) {
        const QStringList r = f[i].split('/');
        device.insert(keys[i],
                      r.size() == 3 ? QJsonObject{ { "hw", r[0] }, { "fw", value(r[1]) }, { "sw", value(r[2]) } }
                                    : value(f[i]));
    }
    if (!f[6].isEmpty())
        device.insert("transfer", json(QString(R"({"reached": %1, "total": 366, "bytesSent": 9, "ms": 9})").arg(f[6])));
    return device;
}

// Two runs at two stations, recorded as the station records them, each run's tally checked; ORV-0002 failed first.
bool record(const QString &target)
{
    const QString old = "7315/10.0.0/1.4.0";
    const QString current = "7315/11.0.0/1.5.3";
    const QList<QStringList> runs{
        { "line-1", "2024-03-01T08:00:0%1.000Z", "ORV-0001|FT01|updated||" + old + "|" + current + "|365|",
          "ORV-0002|FT02|failed|transfer|" + old + "||150|", Injection + "||up-to-date||" + current + "|||" },
        { "line-2", "2024-03-05T09:00:0%1.000Z", "ORV-0002|FT02|updated||" + old + "|" + current + "|365|",
          Escapes + "||refused|identify|7314//|||hardware revision \"7314\"",
          "ORV-0003|FT03|failed|identify|" + old + "|||no answer" },
    };
    HistoryRecorder recorder;
    QString error;
    bool complete = recorder.open(target, &error);
    for (const QStringList &run : runs) {
        const QJsonObject report = json(QString(R"({"version": "1.5.3.0", "station": "%1", "operator": "ana",
                                                    "settings": {"replyTimeoutMs": 3000},
                                                    "packages": [{"name": "app.zip"}], "started": "%2",
                                                    "ended": "%3", "exitStatus": 1})")
                                                .arg(run[0], run[1].arg(0), run[1].arg(9)));
        recorder.beginRun(report);
        for (int port = 0; port < 3; ++port)
            recorder.recordDevice(device(run[1].arg(port + 1), port, run[port + 2]));
        const HistoryTally tally = recorder.endRun(report);
        complete = complete && tally.written == 5 && tally.spooled + tally.lost == 0;
    }
    return complete;
}

// The first column of each row, or the error.
QStringList select(const History &history, const QString &sql)
{
    QSqlQuery query(history.connection());
    if (!query.exec(sql))
        return { query.lastError().text() };
    QStringList values;
    while (query.next())
        values << query.value(0).toString();
    return values;
}

} // namespace

class HistoryTest : public QObject
{
    Q_OBJECT

private slots:
    // Here rather than in members: listing the functions or rows makes no folders.
    void initTestCase()
    {
        server = std::make_unique<PgServer>();
        dir = std::make_unique<QTemporaryDir>();
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir->path()));
    }
    void queryIsAnswered_data();
    void queryIsAnswered();
    void schemaIsBroughtUpToDateByFourAtOnce_data();
    void schemaIsBroughtUpToDateByFourAtOnce();

private:
    // A new empty SQLite file or PostgreSQL database; empty if none could be made.
    QString fresh(const QString &backend)
    {
        QString error;
        const QString target = backend == "sqlite" ? dir->filePath(QString("history%1.sqlite").arg(++files))
                                                   : server->createDatabase(&error);
        if (target.isEmpty())
            qWarning("%s", qPrintable(error));
        return target;
    }

    std::unique_ptr<PgServer> server; // started by the first row that needs it
    std::unique_ptr<QTemporaryDir> dir;
    QHash<QString, QString> recorded; // the fixture, once per backend, for the rows that only read it
    int files = 0;
};

void HistoryTest::queryIsAnswered_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<HistoryQuery>("query"); // on the recorded fixture
    QTest::addColumn<QString>("output"); // format "names": name@station of the JSON answer
    const auto ask = [](const QString &format, const QString &device, const QString &serial, const QString &result,
                        const QString &since = "", bool summary = false) {
        return HistoryQuery{ "", device, serial, result, since, format, summary };
    };
    for (const QString backend : Backends) {
        const auto row = [&](const char *name, const HistoryQuery &query, const QString &output) {
            QTest::addRow("%s: %s", qPrintable(backend), name) << backend << query << output;
        };
        row("everything, newest first", ask("names", "", "", ""),
            "ORV-0003@line-2, " + Escapes + "@line-2, ORV-0002@line-2, " + Injection
                    + "@line-1, ORV-0002@line-1, ORV-0001@line-1");
        row("by USB serial", ask("names", "", "FT01", ""), "ORV-0001@line-1");
        row("by result", ask("names", "", "", "failed"), "ORV-0003@line-2, ORV-0002@line-1");
        row("since a day", ask("names", "", "", "", "2024-03-03"),
            "ORV-0003@line-2, " + Escapes + "@line-2, ORV-0002@line-2");
        row("name and result", ask("names", "ORV-0002", "", "updated"), "ORV-0002@line-2");
        row("table, device text escaped", ask("table", "", "", "", "2024-03-04"),
            "started                   station  port          name                                             "
            "usbSerial  before             after              result   reached  reason\n"
            "2024-03-05T09:00:03.000Z  line-2   /dev/ttyUSB2  ORV-0003                                         "
            "FT03       7315/10.0.0/1.4.0  -                  failed   -        no answer\n"
            "2024-03-05T09:00:02.000Z  line-2   /dev/ttyUSB1  "
            "ORV\\x1B]0;\\x07\\x0A\\x7F\\x85\\u202E\\u2028\\\\x1B Zü東  -          7314//             "
            "-                  refused  -        hardware revision \"7314\"\n"
            "2024-03-05T09:00:01.000Z  line-2   /dev/ttyUSB0  ORV-0002                                         "
            "FT02       7315/10.0.0/1.4.0  7315/11.0.0/1.5.3  updated  365/366  -\n");
        row("CSV, quoted where needed", ask("csv", "", "", "refused"),
            QString("run,station,operator,port,usbSerial,name,position,before.hw,before.fw,before.sw,after.hw,"
                    "after.fw,after.sw,battery,recovered,transfer.reached,transfer.total,transfer.bytesSent,"
                    "transfer.ms,result,reason,phase,started,ended,durationMs\r\n%run,line-2,ana,/dev/ttyUSB1,,\"%1\","
                    "3,7314,,,,,,87,false,,,,,refused,\"hardware revision \"\"7314\"\"\",identify,"
                    "2024-03-05T09:00:02.000Z,2024-03-05T09:00:02.000Z,1000\r\n")
                    .arg(Escapes));
        row("table of nothing", ask("table", "", "", "interrupted"), "no matching device records\n");
        row("summary table", ask("table", "", "", "", "", true),
            "result        records\n  failed      2\n  updated     2\n  refused     1\n  up-to-date  1\n"
            "firmware      units\n  11.0.0      3\n  10.0.0      1\n  unknown     1\n"
            "software      units\n  1.5.3       3\n  1.4.0       1\n  unknown     1\n");
        row("summary CSV of one result", ask("csv", "", "", "updated", "", true),
            "group,value,count\r\nresult,updated,2\r\nfirmware,11.0.0,2\r\nsoftware,1.5.3,2\r\n");
        row("summary JSON of nothing", ask("json", "", "", "interrupted", "", true),
            "{\n    \"firmware\": [\n    ],\n    \"results\": [\n    ],\n    \"software\": [\n    ]\n}\n");
    }
}

void HistoryTest::queryIsAnswered()
{
    QFETCH(QString, backend);
    QFETCH(HistoryQuery, query);
    QFETCH(QString, output);
    if (!recorded.contains(backend)) {
        const QString target = fresh(backend);
        QVERIFY(!target.isEmpty() && record(target));
        recorded.insert(backend, target);
    }
    query.db = recorded.value(backend);
    const bool names = query.format == "names";
    if (names)
        query.format = "json";
    QByteArray got;
    QString error;
    QVERIFY2(queryHistory(query, &got, &error), qPrintable(error));
    QString answer = QString::fromUtf8(got);
    if (names) {
        QStringList found;
        for (const QJsonValue &device : QJsonDocument::fromJson(got).array())
            found << device["name"].toString() + "@" + device["station"].toString();
        answer = found.join(", ");
    }
    QCOMPARE(answer, output.replace("%run", got.mid(got.indexOf("\r\n") + 2, 36)));
}

// Four stations open a new database, one of version 1 with records, or one newer than they know, at once.
void HistoryTest::schemaIsBroughtUpToDateByFourAtOnce_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<int>("version"); // of the database before
    QTest::addColumn<QString>("refused"); // why each of the four refuses it
    for (const QString backend : Backends) {
        QTest::addRow("%s: none", qPrintable(backend)) << backend << 0 << "";
        QTest::addRow("%s: version 1, with records", qPrintable(backend)) << backend << 1 << "";
        QTest::addRow("%s: a newer version", qPrintable(backend))
                << backend << 3
                << "its schema version 3 is newer than this orvik-flash knows (2): use a newer orvik-flash";
    }
}

void HistoryTest::schemaIsBroughtUpToDateByFourAtOnce()
{
    QFETCH(QString, backend);
    QFETCH(int, version);
    QFETCH(QString, refused);
    const QStringList indexes{ "devices_by_name", "devices_by_serial", "devices_by_result", "devices_by_started" };
    const QString target = fresh(backend);
    QVERIFY(!target.isEmpty());
    QString error;
    if (version > 0) {
        QVERIFY(version > 1 || record(target));
        History older;
        QVERIFY2(older.open(target, &error), qPrintable(error));
        for (const QString &index : indexes)
            QCOMPARE(select(older, "DROP INDEX " + index), QStringList());
        QCOMPARE(select(older, QString("UPDATE schema_version SET version = %1").arg(version)), QStringList());
    }
    const auto open = [&] {
        History history;
        QString failure;
        return history.open(target, &failure) ? QString() : failure + '\n';
    };
    std::future<QString> stations[] = { std::async(std::launch::async, open), std::async(std::launch::async, open),
                                        std::async(std::launch::async, open), std::async(std::launch::async, open) };
    QString errors;
    for (std::future<QString> &station : stations)
        errors += station.get();
    QCOMPARE(errors, refused.isEmpty() ? "" : QString("cannot open history %1: %2\n").arg(target, refused).repeated(4));
    if (!refused.isEmpty())
        return;
    History history;
    QVERIFY2(history.open(target, &error), qPrintable(error));
    QCOMPARE(select(history, "SELECT version FROM schema_version"),
             QStringList{ QString::number(History::SchemaVersion) });
    for (const QString &index : indexes)
        QCOMPARE(select(history, "DROP INDEX " + index), QStringList());
    QCOMPARE(history.devices(HistoryFilter(), &error).size(), version == 1 ? 6 : 0);
}

QTEST_GUILESS_MAIN(HistoryTest)
#include "tst_history.moc"
