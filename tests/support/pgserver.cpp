#include "pgserver.h"

#include <QFile>
#include <QProcess>
#include <QUrl>

#include <pwd.h>
#include <unistd.h>

namespace {

const QString ToolFolder = QStringLiteral("/usr/lib/postgresql/15/bin/");

} // namespace

bool PgServer::run(const QString &tool, const QStringList &args, QString *error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PGPASSWORD"), QLatin1String(Password));
    process.setProcessEnvironment(environment);
    if (::geteuid() == 0)
        process.start(QStringLiteral("runuser"), QStringList{ "-u", "postgres", "--", ToolFolder + tool } + args);
    else
        process.start(ToolFolder + tool, args);
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    *error = QStringLiteral("%1 failed: %2").arg(tool, QString::fromLocal8Bit(process.readAll()).trimmed());
    return false;
}

bool PgServer::start(QString *error)
{
    if (running)
        return true;
    if (!initialised) {
        QFile passwordFile(dir.filePath("password"));
        if (!passwordFile.open(QIODevice::WriteOnly) || passwordFile.write(Password) < 0)
            return false;
        passwordFile.close();
        // The server writes its socket, lock and log here.
        if (const passwd *account = ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr) {
            for (const QString &path : { dir.path(), passwordFile.fileName() }) {
                if (::chown(QFile::encodeName(path).constData(), account->pw_uid, account->pw_gid) != 0) {
                    *error = QStringLiteral("cannot give %1 to postgres").arg(path);
                    return false;
                }
            }
        }
        initialised = run("initdb",
                          { "-D", dir.filePath("data"), "-A", "scram-sha-256", "-U", User,
                            "--pwfile=" + passwordFile.fileName(), "--no-sync", "--no-instructions" },
                          error);
    }
    running = initialised
            && run("pg_ctl",
                   { "-D", dir.filePath("data"), "-l", dir.filePath("log"), "-w", "-o",
                     "-k " + dir.path() + " -c listen_addresses='' -c fsync=" + (durable ? "on" : "off"), "start" },
                   error);
    return running;
}

void PgServer::stop()
{
    QString ignored;
    if (running)
        run("pg_ctl", { "-D", dir.filePath("data"), "-m", "fast", "-w", "stop" }, &ignored);
    running = false;
}

QString PgServer::createDatabase(QString *error)
{
    const QString name = QStringLiteral("history%1").arg(++databases);
    if (!start(error) || !run("createdb", { "-h", dir.path(), "-U", User, name }, error))
        return QString();
    return QStringLiteral("postgresql://%1@%2/%3")
            .arg(QLatin1String(User), QString::fromLatin1(QUrl::toPercentEncoding(dir.path())), name);
}
