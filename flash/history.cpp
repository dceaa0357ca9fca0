#include "history.h"

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QMap>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUrl>
#include <QUuid>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int BusyTimeoutMs = 10000;
const char *const SqliteBusy = "5"; // SQLITE_BUSY, as Qt's driver reports it
constexpr int SpoolLockMs = 10000;
// Serialises schema changes between stations that open one database at once.
constexpr qint64 SchemaLockKey = 0x4f52564b;
// libpq gives up on a dead server or network within seconds instead of minutes.
const char *const PostgresOptions = "connect_timeout=10;keepalives_idle=10;keepalives_interval=5;keepalives_count=3;"
                                    "tcp_user_timeout=20000;application_name=orvik-flash";

// Schema version N is reached by running Migrations[N - 1] on version N - 1.
const QList<QStringList> Migrations = {
    { "CREATE TABLE runs (id TEXT PRIMARY KEY, station TEXT, operator TEXT, version TEXT, settings TEXT, "
      "packages TEXT, started TEXT, ended TEXT, exit_status INTEGER)",
      "CREATE TABLE devices (run_id TEXT NOT NULL REFERENCES runs (id), port TEXT NOT NULL, usb_serial TEXT, "
      "name TEXT, position INTEGER, hw_before TEXT, fw_before TEXT, sw_before TEXT, hw_after TEXT, fw_after TEXT, "
      "sw_after TEXT, battery INTEGER, recovered INTEGER, reached INTEGER, total INTEGER, bytes_sent BIGINT, "
      "transfer_ms BIGINT, result TEXT NOT NULL, reason TEXT, phase TEXT, started TEXT, ended TEXT, "
      "duration_ms BIGINT, record TEXT NOT NULL, PRIMARY KEY (run_id, port))" },
    { "CREATE INDEX devices_by_name ON devices (name, started)",
      "CREATE INDEX devices_by_serial ON devices (usb_serial, started)",
      "CREATE INDEX devices_by_result ON devices (result, started)",
      "CREATE INDEX devices_by_started ON devices (started)" },
};
static_assert(History::SchemaVersion == 2, "one migration per schema version");

// The device columns and the report fields they are taken from.
struct DeviceColumn
{
    const char *column;
    const char *field;
};
const DeviceColumn DeviceColumns[] = {
    { "port", "port" },
    { "usb_serial", "usbSerial" },
    { "name", "name" },
    { "position", "position" },
    { "hw_before", "before.hw" },
    { "fw_before", "before.fw" },
    { "sw_before", "before.sw" },
    { "hw_after", "after.hw" },
    { "fw_after", "after.fw" },
    { "sw_after", "after.sw" },
    { "battery", "battery" },
    { "recovered", "recovered" },
    { "reached", "transfer.reached" },
    { "total", "transfer.total" },
    { "bytes_sent", "transfer.bytesSent" },
    { "transfer_ms", "transfer.ms" },
    { "result", "result" },
    { "reason", "reason" },
    { "phase", "phase" },
    { "started", "started" },
    { "ended", "ended" },
    { "duration_ms", "durationMs" },
};
const char *const RunFields[] = { "id", "station", "operator", "version", "settings", "packages", "started" };

// Every number in a report is a whole number; objects and arrays are kept as JSON text.
QVariant sqlValue(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Double:
        return qint64(value.toDouble());
    case QJsonValue::Bool:
        return int(value.toBool());
    case QJsonValue::Array:
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    case QJsonValue::Object:
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    default:
        return QVariant();
    }
}

// Switching a new file to WAL takes it whole, and a station that finds it
// taken by another doing the same is told "database is locked" at once,
// without the busy timeout: so it tries again for as long.
bool walMode(QSqlQuery &query)
{
    const QDeadlineTimer deadline(BusyTimeoutMs);
    while (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL"))) {
        if (query.lastError().nativeErrorCode() != QLatin1String(SqliteBusy) || deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

QJsonValue jsonText(const QVariant &value)
{
    return value.isNull() ? QJsonValue() : QJsonValue(value.toString());
}

QString errorText(const QSqlError &error)
{
    const QString text = error.databaseText().trimmed().isEmpty() ? error.text() : error.databaseText();
    return text.simplified();
}

QString dataFolder()
{
    QString home = qEnvironmentVariable("XDG_DATA_HOME");
    if (home.isEmpty() || QDir::isRelativePath(home))
        home = QDir::homePath() + QStringLiteral("/.local/share");
    return home + QStringLiteral("/orvik-flash");
}

struct PostgresTarget
{
    QString user;
    QString host;
    int port = -1;
    QString database;
    QStringList options;
};

// postgresql://USER@HOST[:PORT]/DBNAME[?host=/folder&...] as libpq reads it; a
// HOST that starts with %2F is a Unix socket folder. Passwords come from
// PGPASSWORD or ~/.pgpass only: one in the URL would end up in logs and reports.
bool parsePostgres(const QString &url, PostgresTarget *target, QString *error)
{
    const auto decode = [](const QString &text) { return QUrl::fromPercentEncoding(text.toUtf8()); };
    QString rest = url.mid(url.indexOf(QLatin1String("://")) + 3);
    QString query;
    if (rest.contains(QLatin1Char('?'))) {
        query = rest.mid(rest.indexOf(QLatin1Char('?')) + 1);
        rest.truncate(rest.indexOf(QLatin1Char('?')));
    }
    QString authority = rest.section(QLatin1Char('/'), 0, 0);
    target->database = decode(rest.section(QLatin1Char('/'), 1));
    const int at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        if (authority.left(at).contains(QLatin1Char(':'))) {
            *error = QStringLiteral("a password in the URL is refused: give it in PGPASSWORD or ~/.pgpass");
            return false;
        }
        target->user = decode(authority.left(at));
        authority = authority.mid(at + 1);
    }
    QString port;
    const int colon = authority.lastIndexOf(QLatin1Char(':'));
    if (colon > authority.lastIndexOf(QLatin1Char(']'))) {
        port = authority.mid(colon + 1);
        authority.truncate(colon);
    }
    if (authority.startsWith(QLatin1Char('[')) && authority.endsWith(QLatin1Char(']')))
        authority = authority.mid(1, authority.size() - 2);
    target->host = decode(authority);
    for (const QString &pair : query.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const QString key = decode(pair.section(QLatin1Char('='), 0, 0));
        const QString value = decode(pair.section(QLatin1Char('='), 1));
        if (key == QLatin1String("password")) {
            *error = QStringLiteral("a password in the URL is refused: give it in PGPASSWORD or ~/.pgpass");
            return false;
        }
        if (key == QLatin1String("host"))
            target->host = value;
        else if (key == QLatin1String("port"))
            port = value;
        else if (key == QLatin1String("user"))
            target->user = value;
        else if (key == QLatin1String("dbname"))
            target->database = value;
        else
            target->options << key + QLatin1Char('=') + value;
    }
    bool ok = true;
    if (!port.isEmpty() && ((target->port = port.toInt(&ok)) < 1 || target->port > 65535 || !ok)) {
        *error = QStringLiteral("bad port \"%1\"").arg(port);
        return false;
    }
    return true;
}

} // namespace

History::History()
{
    static QAtomicInt connections;
    connectionName = QStringLiteral("orvik-history-%1").arg(connections.fetchAndAddRelaxed(1));
}

History::~History()
{
    db.close();
    db = QSqlDatabase();
    if (QSqlDatabase::contains(connectionName))
        QSqlDatabase::removeDatabase(connectionName);
}

QString History::defaultPath()
{
    return dataFolder() + QStringLiteral("/history.sqlite");
}

QString History::spoolPath()
{
    return dataFolder() + QStringLiteral("/history-spool.jsonl");
}

QStringList History::columnFields()
{
    QStringList fields;
    for (const DeviceColumn &column : DeviceColumns)
        fields << QLatin1String(column.field);
    return fields;
}

QJsonValue History::fieldValue(const QJsonObject &record, const QString &path)
{
    const QStringList keys = path.split(QLatin1Char('.'));
    QJsonValue value = record.value(keys.first());
    for (int i = 1; i < keys.size(); ++i)
        value = value.toObject().value(keys.at(i));
    return value;
}

bool History::open(const QString &where, QString *error, Mode mode)
{
    target = where.isEmpty() ? defaultPath() : where;
    postgres = target.startsWith(QLatin1String("postgresql://")) || target.startsWith(QLatin1String("postgres://"));
    QString reason;
    const bool opened = postgres ? openPostgres(target, &reason) : openSqlite(target, mode, &reason);
    if (!opened || !migrate(&reason)) {
        *error = QStringLiteral("cannot open history %1: %2").arg(target, reason);
        db.close();
        return false;
    }
    if (mode == Mode::Record)
        replaySpool();
    return true;
}

bool History::openSqlite(const QString &path, Mode mode, QString *error)
{
    const QFileInfo file(path);
    if (mode == Mode::Query && !file.exists()) {
        *error = QStringLiteral("no such file");
        return false;
    }
    if (mode == Mode::Record && path == defaultPath() && !QDir().mkpath(file.path())) {
        *error = QStringLiteral("cannot create folder %1").arg(file.path());
        return false;
    }
    if (file.isDir()) {
        *error = QStringLiteral("is a folder");
        return false;
    }
    if (!file.dir().exists()) {
        *error = QStringLiteral("no folder %1").arg(file.path());
        return false;
    }
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        *error = QStringLiteral("Qt's SQLite driver QSQLITE is not installed");
        return false;
    }
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));
    if (!db.open()) {
        *error = errorText(db.lastError());
        return false;
    }
    QSqlQuery query(db);
    // WAL: several stations read and write one file; FULL: a committed record survives a power cut.
    if (!walMode(query) || !query.exec(QStringLiteral("PRAGMA synchronous=FULL"))
        || !query.exec(QStringLiteral("PRAGMA foreign_keys=ON"))) {
        *error = errorText(query.lastError());
        return false;
    }
    struct stat info = {};
    ::stat(QFile::encodeName(path).constData(), &info); // if this fails, every write goes to the spool
    fileDevice = info.st_dev;
    fileInode = info.st_ino;
    identity = QFileInfo(path).canonicalFilePath();
    return true;
}

bool History::openPostgres(const QString &url, QString *error)
{
    PostgresTarget where;
    if (!parsePostgres(url, &where, error))
        return false;
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        *error = QStringLiteral("Qt's PostgreSQL driver QPSQL is not installed");
        return false;
    }
    db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    db.setHostName(where.host);
    db.setPort(where.port);
    db.setUserName(where.user);
    db.setDatabaseName(where.database);
    db.setConnectOptions((QStringList{ QLatin1String(PostgresOptions) } + where.options).join(QLatin1Char(';')));
    if (!db.open()) {
        *error = errorText(db.lastError());
        return false;
    }
    // Keeps the server's notices ("already exists, skipping") off the station's terminal.
    QSqlQuery quiet(db);
    if (!quiet.exec(QStringLiteral("SET client_min_messages TO WARNING"))) {
        *error = errorText(quiet.lastError());
        return false;
    }
    identity = QStringLiteral("postgresql://%1@%2%3/%4")
                       .arg(where.user, where.host, where.port > 0 ? QStringLiteral(":%1").arg(where.port) : QString(),
                            where.database);
    return true;
}

bool History::transaction(const std::function<bool()> &work)
{
    QSqlQuery query(db);
    // IMMEDIATE: take the write lock up front, where the busy timeout applies.
    if (!query.exec(postgres ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE")))
        return false;
    if (work() && query.exec(QStringLiteral("COMMIT")))
        return true;
    query.exec(QStringLiteral("ROLLBACK"));
    return false;
}

bool History::migrate(QString *error)
{
    int found = 0;
    QString failure;
    const bool done = transaction([&] {
        QSqlQuery query(db);
        const auto exec = [&](const QString &sql) {
            if (query.exec(sql))
                return true;
            failure = errorText(query.lastError());
            return false;
        };
        if ((postgres && !exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(SchemaLockKey)))
            || !exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"))
            || !exec(QStringLiteral("SELECT MAX(version) FROM schema_version")) || !query.next())
            return false;
        found = query.value(0).toInt();
        query.finish();
        if (found > SchemaVersion)
            return false;
        for (int version = found; version < SchemaVersion; ++version) {
            for (const QString &statement : Migrations.at(version)) {
                if (!exec(statement))
                    return false;
            }
        }
        return found == SchemaVersion
                || (exec(QStringLiteral("DELETE FROM schema_version"))
                    && exec(QStringLiteral("INSERT INTO schema_version (version) VALUES (%1)").arg(SchemaVersion)));
    });
    if (found > SchemaVersion)
        *error = QStringLiteral("its schema version %1 is newer than this orvik-flash knows (%2): use a newer "
                                "orvik-flash")
                         .arg(found)
                         .arg(SchemaVersion);
    else if (!done)
        *error = failure.isEmpty() ? errorText(db.lastError()) : failure;
    return done;
}

// A file deleted or replaced under an open connection still takes writes,
// which then reach nobody: those go to the spool instead.
bool History::fileIsOurs() const
{
    struct stat info;
    return postgres
            || (::stat(QFile::encodeName(target).constData(), &info) == 0 && info.st_dev == fileDevice
                && info.st_ino == fileInode);
}

// One spool line or one live write: the run (inserted once, its end filled in
// when known) and at most one device, in one transaction, so a line can be
// written twice or after the database was replaced without harm.
bool History::write(const QJsonObject &entry)
{
    const QJsonObject run = entry.value(QLatin1String("run")).toObject();
    return transaction([&] {
        QSqlQuery query(db);
        query.prepare(QStringLiteral("INSERT INTO runs (id, station, operator, version, settings, packages, started) "
                                     "VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (id) DO NOTHING"));
        for (const char *name : RunFields)
            query.addBindValue(sqlValue(run.value(QLatin1String(name))));
        if (!query.exec())
            return false;
        if (run.contains(QLatin1String("ended"))) {
            query.prepare(QStringLiteral("UPDATE runs SET ended = ?, exit_status = ? WHERE id = ?"));
            for (const char *name : { "ended", "exitStatus", "id" })
                query.addBindValue(sqlValue(run.value(QLatin1String(name))));
            if (!query.exec())
                return false;
        }
        if (!entry.contains(QLatin1String("device")))
            return true;
        const QJsonObject device = entry.value(QLatin1String("device")).toObject();
        QStringList columns{ QStringLiteral("run_id"), QStringLiteral("record") };
        for (const DeviceColumn &column : DeviceColumns)
            columns << QLatin1String(column.column);
        query.prepare(
                QStringLiteral("INSERT INTO devices (%1) VALUES (?%2) ON CONFLICT (run_id, port) DO NOTHING")
                        .arg(columns.join(QLatin1String(", ")), QStringLiteral(", ?").repeated(columns.size() - 1)));
        query.addBindValue(run.value(QLatin1String("id")).toString());
        query.addBindValue(sqlValue(device));
        for (const DeviceColumn &column : DeviceColumns)
            query.addBindValue(sqlValue(fieldValue(device, QLatin1String(column.field))));
        return query.exec();
    });
}

void History::store(const QJsonObject &entry)
{
    if (!spooling && fileIsOurs() && write(entry)) {
        ++counts.written;
        return;
    }
    // Once a write failed the rest of the run goes to the spool too: the
    // next run replays it in one go.
    spooling = true;
    ++(spool(entry) ? counts.spooled : counts.lost);
}

bool History::spool(const QJsonObject &entry)
{
    QJsonObject line = entry;
    line.insert(QStringLiteral("db"), identity);
    QLockFile lock(spoolPath() + QStringLiteral(".lock"));
    QFile file(spoolPath());
    const QByteArray text = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    return QDir().mkpath(QFileInfo(file).path()) && lock.tryLock(SpoolLockMs)
            && file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(text) == text.size() && file.flush()
            && ::fsync(file.handle()) == 0;
}

// Lines meant for this database are written and dropped from the spool;
// lines for other databases, and lines that fail again, stay.
void History::replaySpool()
{
    QLockFile lock(spoolPath() + QStringLiteral(".lock"));
    QFile file(spoolPath());
    if (!file.exists() || !lock.tryLock(SpoolLockMs) || !file.open(QIODevice::ReadOnly))
        return;
    QByteArray kept;
    int replayedNow = 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (entry.isEmpty())
            continue; // the torn end of a line being written when its process died
        if (entry.value(QLatin1String("db")).toString() == identity && write(entry))
            ++replayedNow;
        else
            kept += line + '\n';
    }
    file.close();
    QSaveFile rest(spoolPath());
    if (kept.isEmpty() ? QFile::remove(spoolPath())
                       : rest.open(QIODevice::WriteOnly) && rest.write(kept) == kept.size() && rest.commit())
        replayCount = replayedNow;
}

QString History::beginRun(const QJsonObject &report, const QString &id)
{
    run = QJsonObject{ { QStringLiteral("id"),
                         id.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : id } };
    for (const char *name : RunFields) {
        if (report.contains(QLatin1String(name)))
            run.insert(QLatin1String(name), report.value(QLatin1String(name)));
    }
    spooling = false;
    counts = HistoryTally();
    store(QJsonObject{ { QStringLiteral("run"), run } });
    return run.value(QLatin1String("id")).toString();
}

void History::recordDevice(const QJsonObject &device)
{
    if (run.isEmpty())
        beginRun(QJsonObject());
    store(QJsonObject{ { QStringLiteral("run"), run }, { QStringLiteral("device"), device } });
}

void History::endRun(const QJsonObject &report)
{
    if (run.isEmpty())
        beginRun(report);
    run.insert(QStringLiteral("ended"), report.value(QLatin1String("ended")));
    run.insert(QStringLiteral("exitStatus"), report.value(QLatin1String("exitStatus")));
    store(QJsonObject{ { QStringLiteral("run"), run } });
}

namespace {

// Conditions on the devices table (alias d) and their bound values.
QString where(const HistoryFilter &filter, QVariantList *values)
{
    QStringList conditions{ QStringLiteral("1 = 1") };
    const auto add = [&](const char *condition, const QVariant &value) {
        conditions << QLatin1String(condition);
        values->append(value);
    };
    if (!filter.device.isEmpty())
        add("d.name = ?", filter.device);
    if (!filter.serial.isEmpty())
        add("d.usb_serial = ?", filter.serial);
    if (!filter.result.isEmpty())
        add("d.result = ?", filter.result);
    if (filter.since.isValid())
        add("d.started >= ?", filter.since.startOfDay().toUTC().toString(Qt::ISODateWithMs));
    return conditions.join(QLatin1String(" AND "));
}

bool select(QSqlQuery &query, const QString &sql, const QVariantList &values, QString *error)
{
    query.setForwardOnly(true);
    query.prepare(sql);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (query.exec())
        return true;
    *error = errorText(query.lastError());
    return false;
}

// Counts per value, NULL (unknown) apart from any text; listed most frequent first.
struct Counter
{
    QMap<QString, int> known;
    int unknown = 0;

    void add(const QVariant &value, int count = 1)
    {
        if (value.isNull())
            unknown += count;
        else
            known[value.toString()] += count;
    }
    QJsonArray list() const
    {
        QList<QPair<int, QJsonValue>> order;
        for (auto it = known.begin(); it != known.end(); ++it)
            order.append({ it.value(), it.key() });
        std::stable_sort(order.begin(), order.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
        if (unknown > 0)
            order.append({ unknown, QJsonValue() });
        QJsonArray entries;
        for (const auto &entry : order)
            entries.append(
                    QJsonObject{ { QStringLiteral("value"), entry.second }, { QStringLiteral("count"), entry.first } });
        return entries;
    }
};

} // namespace

QList<QJsonObject> History::devices(const HistoryFilter &filter, QString *error) const
{
    QVariantList values;
    QSqlQuery query(db);
    const QString sql = QStringLiteral("SELECT d.record, d.run_id, r.station, r.operator FROM devices d "
                                       "JOIN runs r ON r.id = d.run_id WHERE %1 ORDER BY d.started DESC, d.port")
                                .arg(where(filter, &values));
    QList<QJsonObject> found;
    if (!select(query, sql, values, error))
        return found;
    while (query.next()) {
        QJsonObject device = QJsonDocument::fromJson(query.value(0).toString().toUtf8()).object();
        device.insert(QStringLiteral("run"), query.value(1).toString());
        device.insert(QStringLiteral("station"), jsonText(query.value(2)));
        device.insert(QStringLiteral("operator"), jsonText(query.value(3)));
        found.append(device);
    }
    return found;
}

QJsonObject History::summary(const HistoryFilter &filter, QString *error) const
{
    // A unit runs what it reported after its flash; without a transfer, what it had before.
    const QString reached = QStringLiteral("CASE WHEN d.hw_after IS NOT NULL THEN d.%1_after "
                                           "WHEN d.reached IS NULL THEN d.%1_before END");
    QVariantList values;
    const QString conditions = where(filter, &values);
    QSqlQuery query(db);
    Counter results;
    Counter firmware;
    Counter software;
    if (!select(query,
                QStringLiteral("SELECT d.result, COUNT(*) FROM devices d WHERE %1 GROUP BY d.result").arg(conditions),
                values, error))
        return QJsonObject();
    while (query.next())
        results.add(query.value(0), query.value(1).toInt());
    if (!select(query,
                QStringLiteral("SELECT fw, sw FROM (SELECT %1 AS fw, %2 AS sw, ROW_NUMBER() OVER (PARTITION BY d.name "
                               "ORDER BY d.started DESC) AS n FROM devices d WHERE d.name IS NOT NULL AND %3) t "
                               "WHERE n = 1")
                        .arg(reached.arg(QLatin1String("fw")), reached.arg(QLatin1String("sw")), conditions),
                values, error))
        return QJsonObject();
    while (query.next()) {
        firmware.add(query.value(0));
        software.add(query.value(1));
    }
    return QJsonObject{ { QStringLiteral("results"), results.list() },
                        { QStringLiteral("firmware"), firmware.list() },
                        { QStringLiteral("software"), software.list() } };
}
