#ifndef PGSERVER_H
#define PGSERVER_H

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <pwd.h>
#include <unistd.h>
#include <utility>

// A PostgreSQL server of the test's own in a temporary folder, removed with it: Unix socket only, password
// authentication for the user "orvik"; as root it runs as the postgres account (the server refuses root).
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
    bool start(QString *error)
    {
        // The server writes its socket, lock and log here, and reads the password file.
        const passwd *account = ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr;
        if (account && ::chown(QFile::encodeName(dir.path()).constData(), account->pw_uid, account->pw_gid) != 0) {
            *error = "cannot give " + dir.path() + " to postgres";
            return false;
        }
        QFile password(dir.filePath("password"));
        const bool initialised = QFile::exists(dir.filePath("data"))
                || (password.open(QIODevice::WriteOnly) && password.write(Password) > 0 && password.flush()
                    && password.setPermissions(QFile::ReadOwner | QFile::ReadOther)
                    && run("initdb",
                           { "-D", dir.filePath("data"), "-A", "scram-sha-256", "-U", User,
                             "--pwfile=" + password.fileName(), "--no-sync", "--no-instructions" },
                           error));
        running = running
                || (initialised
                    && run("pg_ctl",
                           { "-D", dir.filePath("data"), "-l", dir.filePath("log"), "-w", "-o",
                             "-k " + dir.path() + " -c listen_addresses='' -c fsync=" + (durable ? "on" : "off"),
                             "start" },
                           error));
        return running;
    }
    void stop()
    {
        QString ignored;
        if (std::exchange(running, false))
            run("pg_ctl", { "-D", dir.filePath("data"), "-m", "fast", "-w", "stop" }, &ignored);
    }

    QString socketFolder() const { return dir.path(); }
    // A new empty database, the server started first if need be; its URL (postgresql://orvik@%2F...folder/name),
    // or empty with *error. This process and its children connect with the password from now on.
    QString createDatabase(QString *error)
    {
        qputenv("PGPASSWORD", Password);
        const QString name = QStringLiteral("history%1").arg(++databases);
        return start(error) && run("createdb", { "-h", dir.path(), "-U", User, name }, error)
                ? QStringLiteral("postgresql://%1@%2/%3").arg(User, QUrl::toPercentEncoding(dir.path()), name)
                : QString();
    }

private:
    bool run(const QString &tool, const QStringList &args, QString *error)
    {
        const QString path = "/usr/lib/postgresql/15/bin/" + tool;
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        const bool root = ::geteuid() == 0;
        process.start(root ? "runuser" : path,
                      (root ? QStringList{ "-u", "postgres", "--", path } : QStringList()) + args);
        if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
            return true;
        *error = tool + " failed: " + QString::fromLocal8Bit(process.readAll()).trimmed();
        return false;
    }

    const bool durable;
    QTemporaryDir dir;
    bool running = false;
    int databases = 0;
};

#endif // PGSERVER_H
