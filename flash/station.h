#ifndef STATION_H
#define STATION_H

#include "historyrecorder.h"
#include "packages.h"
#include "stationjob.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <cstdio>
#include <memory>

class QTimer;

struct StationOptions
{
    QStringList ports;
    QString trace;
    // Where the report goes: empty none, "-" stdout, else a file.
    QString report;
    QString station;
    QString operatorName; // empty: not given
    bool quiet = false;
    // Every run and device on record unless turned off: in historyDb (empty:
    // the default file).
    bool history = true;
    QString historyDb;
    JobSettings job;
};

// The run as a whole, as the report records it; each device has its own
// StationJob::Record.
struct RunRecord
{
    QString station;
    QString operatorName;
    JobSettings settings;
    QList<PackageInfo> packages;
    QDateTime started;
    QDateTime ended; // invalid while the run goes on
};

// Process exit statuses; --help, the man page and the README document them.
enum StationExit {
    ExitVerified = 0,
    ExitFailed = 1,
    ExitUsage = 2,
    ExitNoDevice = 3,
    ExitInterrupted = 130,
};

// All ports of one run on one event loop: a job per port, the progress
// display, the frame trace and the report.
class Station : public QObject
{
    Q_OBJECT

public:
    Station(const StationOptions &options, const PackageSet &packages, std::FILE *progressOut,
            QObject *parent = nullptr);

    // False with *error when the trace or the report cannot be written or
    // the history cannot be opened; no port is opened then.
    bool start(QString *error);
    void interrupt();

    int exitStatus() const;
    // The same for the report in progress and the final one.
    QJsonObject report() const;
    // A report file is replaced whole, never left half written; stdout gets
    // only the final report.
    bool writeReport(QString *error);

signals:
    void done(int exitStatus);

private:
    void onPhaseChanged(StationJob *job);
    void onJobFinished();
    void trace(const StationJob *job, const char *direction, const QByteArray &frame, bool dfu);
    void redraw();
    QString progressLine(const StationJob *job) const;
    QJsonObject recordJson(const StationJob *job) const;
    QJsonValue historyJson() const;
    void recordHistory();

    const StationOptions options;
    RunRecord run;
    QList<StationJob *> jobs;
    bool interrupted = false;
    QElapsedTimer clock;
    QFile traceFile;
    std::FILE *out;
    bool terminal = false;
    int linesDrawn = 0;
    QTimer *redrawTimer;
    std::unique_ptr<HistoryRecorder> history;
    QString runId;
    QSet<const StationJob *> recorded;
    bool tallied = false;
    HistoryTally tally;
};

#endif // STATION_H
