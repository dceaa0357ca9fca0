#ifndef PGSERVER_H
#define PGSERVER_H

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A PostgreSQL server of the test's own in a temporary folder: Unix socket
// only, password authentication for the user "orvik". As root it runs as the
// postgres account (the server refuses root). Stopped and removed with the object.
class PgServer
{
    Q_DISABLE_COPY(PgServer)

public:
    static constexpr const char *User = "orvik";
    static constexpr const char *Password = "orvik-test";

    // durable: fsync on, as on a production server; tests need no durability and run faster without.
    explicit PgServer(bool durable = false) : durable(durable) { }
    ~PgServer() { stop(); }

    // Creates the cluster on the first call; false with *error.
    bool start(QString *error);
    void stop();

    QString socketFolder() const { return dir.path(); }
    // A new empty database, the server started first if need be; its URL (postgresql://orvik@%2F...folder/name),
    // or empty with *error.
    QString createDatabase(QString *error);

private:
    bool run(const QString &tool, const QStringList &args, QString *error);

    const bool durable;
    QTemporaryDir dir;
    bool initialised = false;
    bool running = false;
    int databases = 0;
};

#endif // PGSERVER_H
