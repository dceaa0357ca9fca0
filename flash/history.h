#ifndef HISTORY_H
#define HISTORY_H

#include <QDate>
#include <QJsonObject>
#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <functional>

#include <sys/types.h>

// Which device records a query asks for; empty fields match everything.
struct HistoryFilter
{
    QString device;
    QString serial;
    QString result;
    QDate since; // local date
};

// What became of the records of one run: its start, each device, its end.
struct HistoryTally
{
    int written = 0;
    int spooled = 0;
    int lost = 0; // neither written nor spooled
};

// Every run and every device on record, in an SQLite file or a PostgreSQL
// database. Records are the report's own JSON objects, so the two cannot
// disagree. A write that fails goes to a spool file beside the default
// database; the next open of the same database writes the spool first.
// One History is one connection: use it from the thread that opened it.
class History
{
    Q_DISABLE_COPY(History)

public:
    enum class Mode { Record, Query };
    static constexpr int SchemaVersion = 2;

    History();
    ~History();

    // target: empty for the default file, a file path, or
    // postgresql://USER@HOST[:PORT]/DBNAME. Creates or upgrades the schema and
    // replays the spool. Query mode refuses a file that does not exist yet
    // and leaves the spool alone.
    // On failure *error names the database and the reason.
    bool open(const QString &target, QString *error, Mode mode = Mode::Record);
    QString name() const { return target; }
    QSqlDatabase connection() const { return db; }
    // Spooled records written by open().
    int replayed() const { return replayCount; }

    // The report's top-level object (devices are ignored); returns the run's
    // id, a new UUID unless one is given.
    QString beginRun(const QJsonObject &report, const QString &id = QString());
    // One device object of the report, in a transaction of its own (a run
    // is begun first if none was).
    void recordDevice(const QJsonObject &device);
    // The final report: end time and exit status.
    void endRun(const QJsonObject &report);
    HistoryTally tally() const { return counts; }

    // Device objects as the report has them, with the run's id, station and
    // operator added; newest first.
    QList<QJsonObject> devices(const HistoryFilter &filter, QString *error) const;
    // {"results": [...], "firmware": [...], "software": [...]}, each a list of
    // {"value", "count"}: results over the records, revisions over the units
    // (the newest matching record of each device name).
    QJsonObject summary(const HistoryFilter &filter, QString *error) const;

    static QString defaultPath();
    static QString spoolPath();
    // The report fields that have a column of their own, as paths ("before.hw").
    static QStringList columnFields();
    static QJsonValue fieldValue(const QJsonObject &record, const QString &path);

private:
    bool openSqlite(const QString &path, Mode mode, QString *error);
    bool openPostgres(const QString &url, QString *error);
    bool migrate(QString *error);
    bool write(const QJsonObject &entry);
    void store(const QJsonObject &entry);
    bool spool(const QJsonObject &entry);
    void replaySpool();
    bool fileIsOurs() const;
    bool transaction(const std::function<bool()> &work);

    QString connectionName;
    QSqlDatabase db;
    QString target;
    QString identity; // what spool lines name: the file's absolute path or the database URL
    bool postgres = false;
    dev_t fileDevice = 0;
    ino_t fileInode = 0;
    QJsonObject run;
    bool spooling = false;
    int replayCount = 0;
    HistoryTally counts;
};

#endif // HISTORY_H
