// orvik-flash: identifies, updates, verifies and reports many Orvik devices
// at once, each on its own port, all on one event loop.
#include "historyquery.h"
#include "packages.h"
#include "portmatch.h"
#include "station.h"
#include "stopsignals.h"
#include "revisions.h"
#include "version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMetaEnum>
#include <QSysInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char *const Epilogue = R"(
Each device, in order: attach; read name, position, hardware, firmware and
software revisions and battery; refuse another hardware revision; flash when
firmware or software differ from the expected ones (or with --force); restart;
require the same device (name, position and, where the port has one, USB
serial number) with the expected revisions; reset; done.

Report (--json): the run (station, operator, version, settings, packages with
the path each was read from, SHA-256, sizes and image CRC-16, state, start,
end, exit status, history: database, run id and the records written, spooled,
lost and replayed, null with --no-history) and one record per port: port, usbSerial (null where the
system does not describe the port, as for a pseudo-terminal), name, position,
revisions before and after, battery, packages used, transfer, result, reason,
phase, times. A report file is replaced whole, never half written: at the
start by one that says "state": "running", again as each device finishes,
and by the final one ("state": "finished"); stdout gets the final one only.
transfer.reached counts the packets written, the last included, of total for
the whole run: "packet 151 of 366" is the 151st, written after 150 were
acknowledged.
Results: updated, up-to-date, refused (another hardware revision, not
touched), failed, interrupted; pending while the run goes on. phase: where a
device stopped, or stands while pending. A device "left in its bootloader"
no longer answers the device protocol: run again with --recover.

History: every run and every device, as each finishes, in the same fields
as the report, kept in $XDG_DATA_HOME/orvik-flash/history.sqlite (by default
~/.local/share/...), or where --db says: another SQLite file, or a
PostgreSQL database shared by a line of stations
(postgresql://USER@HOST[:PORT]/DBNAME; a HOST folder, written %2F... or as
?host=/folder, is a Unix socket folder; the password from PGPASSWORD or
~/.pgpass only). A history that cannot be opened stops the run before any
port opens. Records that cannot be written during a run are kept in
history-spool.jsonl beside the default file and written at the next run that
reaches their database; the report's "history" object and a line on stderr
say so.
  orvik-flash --history [--db FILE|URL] [--device NAME] [--serial S]
      [--result R] [--since YYYY-MM-DD] [--format table|csv|json] [--summary]
prints the matching device records, newest first (CSV: a header row, RFC 4180
quoting; JSON: the report's objects with their run, station and operator),
or with --summary the counts per result and the units per firmware and
software revision reached (each device's newest record); it opens no port.
Exit status 0 answered, 1 stdout could not take the answer, 2 usage error or
a history that cannot be opened or read.

Exit status:
  0    every device verified (updated or already up to date)
  1    at least one device refused, failed or did not answer, or the final
       report could not be written (a run that would exit 0)
  2    usage error, bad package, a report or trace that cannot be written, or
       a history that cannot be opened; no port was opened
  3    no device found (no matching port, or none could be opened)
  130  interrupted (SIGINT, SIGTERM, SIGHUP); the report marks each device
       that was not finished "interrupted", at the packet it had reached
)";

int usageError(const QString &message)
{
    std::fprintf(stderr, "orvik-flash: %s\nTry 'orvik-flash --help'.\n", qPrintable(message));
    return ExitUsage;
}

// The file a port name stands for: links followed, and a bare name under
// /dev as the serial library reads it.
QString resolvedPort(const QString &name)
{
    const bool path = name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./"))
            || name.startsWith(QLatin1String("../"));
    const QFileInfo file(path ? name : QStringLiteral("/dev/") + name);
    const QString canonical = file.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(file.absoluteFilePath()) : canonical;
}

// orvik-flash --history: the device records on file, on stdout; no port
// opens. Every option but the query's own is for a run.
int askHistory(const QCommandLineParser &parser, const QList<QCommandLineOption> &queryOptions)
{
    QStringList own;
    for (const QCommandLineOption &option : queryOptions)
        own += option.names();
    for (const QString &name : parser.optionNames()) {
        if (!own.contains(name))
            return usageError(QStringLiteral("--history opens no port: leave out %1%2")
                                      .arg(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"), name));
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("--history opens no port: leave out the ports"));
    HistoryQuery query;
    query.db = parser.value(QStringLiteral("db"));
    query.device = parser.value(QStringLiteral("device"));
    query.serial = parser.value(QStringLiteral("serial"));
    query.result = parser.value(QStringLiteral("result"));
    query.since = parser.value(QStringLiteral("since"));
    query.format = parser.value(QStringLiteral("format"));
    query.summary = parser.isSet(QStringLiteral("summary"));
    // A result no run records would match nothing, silently.
    QStringList results;
    const QMetaEnum known = QMetaEnum::fromType<StationJob::Result>();
    for (int i = 0; i < known.keyCount(); ++i) {
        if (known.value(i) != int(StationJob::Result::Pending))
            results << StationJob::resultName(StationJob::Result(known.value(i)));
    }
    if (parser.isSet(QStringLiteral("result")) && !results.contains(query.result))
        return usageError(QStringLiteral("--result: expected %1, got \"%2\"")
                                  .arg(results.join(QLatin1String(", ")), query.result));
    // Nothing to clean up: a stop ends the query at once.
    for (const int signal : { SIGINT, SIGTERM, SIGHUP })
        std::signal(signal, SIG_DFL);
    QByteArray output;
    QString error;
    if (!queryHistory(query, &output, &error)) {
        std::fprintf(stderr, "orvik-flash: %s\n", qPrintable(error));
        return ExitUsage;
    }
    if (std::fwrite(output.constData(), 1, size_t(output.size()), stdout) != size_t(output.size())
        || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "orvik-flash: cannot write to stdout: %s\n", std::strerror(errno));
        return ExitFailed;
    }
    return ExitVerified;
}

QStringList orvikPorts()
{
    QStringList ports;
    const QVector<PortIds> listed = availablePortIds();
    for (const int match : findOrvikPorts(listed))
        ports << listed.at(match).location;
    return ports;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvik-flash"));
    QCoreApplication::setApplicationVersion(QLatin1String(OrvikConfigVersion));
    // First of all: from here a stop ends the run through its own clean-up
    // (temporary folders, the report), not by the default action.
    Station *running = nullptr;
    if (!StopSignals::install(&app, [&running] {
            if (running)
                running->interrupt();
        })) {
        std::perror("orvik-flash: socketpair");
        return ExitFailed;
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Brings every Orvik device on the given ports to hardware %1, firmware %2, software %3.")
                    .arg(QLatin1String(RequiredHwRev), QLatin1String(RequiredFwRev), QLatin1String(RequiredSwRev)));
    const QCommandLineOption helpOption({ QStringLiteral("h"), QStringLiteral("help") },
                                        QStringLiteral("Show this help and exit."));
    const QCommandLineOption versionOption({ QStringLiteral("v"), QStringLiteral("version") },
                                           QStringLiteral("Show the version and exit."));
    const QCommandLineOption allOption(QStringLiteral("all"),
                                       QStringLiteral("Every port with USB ids 0403:6015, instead of named ports."));
    const QCommandLineOption packagesOption(
            QStringLiteral("packages"), QStringLiteral("Send these two package files instead of the built-in pair."),
            QStringLiteral("SDBL.zip APP.zip"));
    const QCommandLineOption forceOption(QStringLiteral("force"),
                                         QStringLiteral("Flash devices that already have the expected revisions."));
    const QCommandLineOption recoverOption(
            QStringLiteral("recover"),
            QStringLiteral("Treat a port that does not answer the information request as a device waiting in its "
                           "bootloader after a cut transfer, and flash it."));
    const QCommandLineOption jsonOption(
            QStringLiteral("json"),
            QStringLiteral("Write the report to FILE (- for stdout), kept up to date as the run goes on."),
            QStringLiteral("FILE"));
    const QCommandLineOption stationOption(QStringLiteral("station"),
                                           QStringLiteral("This station's name in the report (default: the host "
                                                          "name)."),
                                           QStringLiteral("NAME"));
    const QCommandLineOption operatorOption(QStringLiteral("operator"),
                                            QStringLiteral("The operator's name, recorded in the report."),
                                            QStringLiteral("NAME"));
    const QCommandLineOption traceOption(QStringLiteral("trace"),
                                         QStringLiteral("Write every frame in both directions to FILE as JSON lines."),
                                         QStringLiteral("FILE"));
    const QCommandLineOption quietOption({ QStringLiteral("q"), QStringLiteral("quiet") },
                                         QStringLiteral("No progress output."));
    const QCommandLineOption replyOption(QStringLiteral("reply-timeout"),
                                         QStringLiteral("Time limit for each device reply (default 3000)."),
                                         QStringLiteral("MS"), QStringLiteral("3000"));
    const QCommandLineOption ackOption(QStringLiteral("ack-timeout"),
                                       QStringLiteral("Time limit for each DFU acknowledgement (default 1000)."),
                                       QStringLiteral("MS"), QStringLiteral("1000"));
    const QCommandLineOption startPauseOption(QStringLiteral("start-pause"),
                                              QStringLiteral("Pause after a start packet (default 1000)."),
                                              QStringLiteral("MS"), QStringLiteral("1000"));
    const QCommandLineOption initPauseOption(QStringLiteral("init-pause"),
                                             QStringLiteral("Pause after an init packet (default 1000)."),
                                             QStringLiteral("MS"), QStringLiteral("1000"));
    const QCommandLineOption stopPauseOption(
            QStringLiteral("stop-pause"),
            QStringLiteral("Pause after the SoftDevice-and-bootloader stop packet (default 1000)."),
            QStringLiteral("MS"), QStringLiteral("1000"));
    const QCommandLineOption restartOption(
            QStringLiteral("restart-timeout"),
            QStringLiteral("Time limit for a device to come back after its update (default 60000)."),
            QStringLiteral("MS"), QStringLiteral("60000"));
    const QCommandLineOption dbOption(QStringLiteral("db"),
                                      QStringLiteral("The history in this SQLite FILE, or in the PostgreSQL database "
                                                     "postgresql://USER@HOST[:PORT]/DBNAME (default: "
                                                     "$XDG_DATA_HOME/orvik-flash/history.sqlite)."),
                                      QStringLiteral("FILE|URL"));
    const QCommandLineOption noHistoryOption(QStringLiteral("no-history"),
                                             QStringLiteral("Keep no history of this run."));
    const QCommandLineOption historyOption(
            QStringLiteral("history"),
            QStringLiteral("Print the device records on file, newest first, and open no port."));
    const QCommandLineOption deviceOption(QStringLiteral("device"),
                                          QStringLiteral("With --history: the records of the device NAME."),
                                          QStringLiteral("NAME"));
    const QCommandLineOption serialOption(QStringLiteral("serial"),
                                          QStringLiteral("With --history: the records of USB serial number S."),
                                          QStringLiteral("S"));
    const QCommandLineOption resultOption(QStringLiteral("result"),
                                          QStringLiteral("With --history: the records with result R."),
                                          QStringLiteral("R"));
    const QCommandLineOption sinceOption(QStringLiteral("since"),
                                         QStringLiteral("With --history: the records from that day on (local "
                                                        "time)."),
                                         QStringLiteral("YYYY-MM-DD"));
    const QCommandLineOption formatOption(QStringLiteral("format"),
                                          QStringLiteral("With --history: table (default), csv or json."),
                                          QStringLiteral("FORMAT"), QStringLiteral("table"));
    const QCommandLineOption summaryOption(
            QStringLiteral("summary"),
            QStringLiteral("With --history: counts per result, and units per firmware and software revision "
                           "reached."));
    parser.addOptions({ helpOption,      versionOption, allOption,     packagesOption,   forceOption,
                        recoverOption,   jsonOption,    stationOption, operatorOption,   traceOption,
                        quietOption,     replyOption,   ackOption,     startPauseOption, initPauseOption,
                        stopPauseOption, restartOption, dbOption,      noHistoryOption,  historyOption,
                        deviceOption,    serialOption,  resultOption,  sinceOption,      formatOption,
                        summaryOption });
    parser.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("Serial ports, one device each."),
                                 QStringLiteral("[PORT...]"));

    // --packages takes two values, which the parser cannot express: the second
    // is taken out before it parses.
    QStringList args = app.arguments();
    QString applicationPackage;
    for (int i = 1; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--packages")) {
            if (i + 2 >= args.size())
                return usageError(QStringLiteral("--packages needs two files: SDBL.zip APP.zip"));
            applicationPackage = args.takeAt(i + 2);
            break;
        }
    }
    if (!parser.parse(args))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(parser.helpText() + QLatin1String(Epilogue)), stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::printf("orvik-flash %s\n", OrvikConfigVersion);
        return 0;
    }
    if (parser.isSet(dbOption) && parser.value(dbOption).isEmpty())
        return usageError(QStringLiteral("--db: empty path"));
    const QList<QCommandLineOption> queryOptions{ deviceOption, serialOption, resultOption,
                                                  sinceOption,  formatOption, summaryOption };
    if (parser.isSet(historyOption))
        return askHistory(parser, queryOptions + QList<QCommandLineOption>{ historyOption, dbOption });
    for (const QCommandLineOption &option : queryOptions) {
        if (parser.isSet(option))
            return usageError(
                    QStringLiteral("--%1 asks the history: give --history too").arg(option.names().constFirst()));
    }
    if (parser.isSet(dbOption) && parser.isSet(noHistoryOption))
        return usageError(QStringLiteral("--db and --no-history: give one of them"));

    StationOptions options;
    QString error;
    const auto number = [&](const QCommandLineOption &option, int min, int *value) {
        bool ok = false;
        const int parsed = parser.value(option).toInt(&ok);
        if (!ok || parsed < min || parsed > 3600 * 1000) {
            error = QStringLiteral("--%1: expected milliseconds from %2 to 3600000, got \"%3\"")
                            .arg(option.names().constFirst())
                            .arg(min)
                            .arg(parser.value(option));
            return false;
        }
        *value = parsed;
        return true;
    };
    JobSettings &job = options.job;
    if (!number(replyOption, 1, &job.replyTimeoutMs) || !number(ackOption, 1, &job.timing.responseTimeoutMs)
        || !number(startPauseOption, 0, &job.timing.startPauseMs)
        || !number(initPauseOption, 0, &job.timing.initPauseMs) || !number(stopPauseOption, 0, &job.timing.stopPauseMs)
        || !number(restartOption, 1, &job.restartTimeoutMs))
        return usageError(error);
    job.force = parser.isSet(forceOption);
    job.recover = parser.isSet(recoverOption);
    options.quiet = parser.isSet(quietOption);
    options.trace = parser.value(traceOption);
    options.report = parser.value(jsonOption);
    options.station = parser.isSet(stationOption) ? parser.value(stationOption) : QSysInfo::machineHostName();
    options.operatorName = parser.value(operatorOption);
    options.history = !parser.isSet(noHistoryOption);
    options.historyDb = parser.value(dbOption);
    const QStringList named = parser.positionalArguments();
    if (parser.isSet(allOption) == !named.isEmpty())
        return usageError(QStringLiteral("name the ports, or give --all"));
    // An unset variable must not become "whatever port has the USB ids".
    if (named.contains(QString()))
        return usageError(QStringLiteral("an empty port name; name each port, or give --all"));
    // Two jobs on one port would fight over it: a link and its target are one port.
    QHash<QString, QString> namedAs;
    for (const QString &port : named) {
        const QString file = resolvedPort(port);
        if (namedAs.contains(file))
            return usageError(QStringLiteral("a port is named twice: %1 and %2 are both %3")
                                      .arg(namedAs.value(file), port, file));
        namedAs.insert(file, port);
    }
    if (parser.isSet(jsonOption) && options.report.isEmpty())
        return usageError(QStringLiteral("--json: empty path"));
    if (options.station.isEmpty())
        return usageError(QStringLiteral("--station: empty name"));
    if (parser.isSet(operatorOption) && options.operatorName.isEmpty())
        return usageError(QStringLiteral("--operator: empty name"));

    PackageSet packages;
    if (!packages.prepare(parser.value(packagesOption), applicationPackage, &error)) {
        std::fprintf(stderr, "orvik-flash: %s\n", qPrintable(error));
        return StopSignals::pending() ? ExitInterrupted : ExitUsage;
    }
    options.ports = parser.isSet(allOption) ? orvikPorts() : named;
    // Progress must not mix with a report on stdout.
    std::FILE *progressOut = options.report == QLatin1String("-") ? stderr : stdout;
    Station station(options, packages, progressOut);
    running = &station;
    int status = ExitFailed;
    QObject::connect(&station, &Station::done, &app, [&](int exitStatus) {
        status = exitStatus;
        app.quit();
    });
    // A stop while the packages were prepared: the run ends before any port opens.
    if (StopSignals::pending())
        station.interrupt();
    if (!station.start(&error))
        return usageError(error);
    if (options.ports.isEmpty() && !options.quiet)
        std::fprintf(stderr, "orvik-flash: no port with USB ids 0403:6015 found\n");
    app.exec();
    if (!options.report.isEmpty() && !station.writeReport(&error)) {
        std::fprintf(stderr, "orvik-flash: %s\n", qPrintable(error));
        return status == ExitVerified ? ExitFailed : status;
    }
    return status;
}
