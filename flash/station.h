#ifndef STATION_H
#define STATION_H

#include "packages.h"
#include "stationjob.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QStringList>

#include <cstdio>

class QTimer;

struct StationOptions
{
    QStringList ports;
    QString trace;
    bool quiet = false;
    JobSettings job;
};

// Process exit statuses; the report and --help document them.
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

    // False with *error when the trace cannot be written; nothing is started then.
    bool start(QString *error);
    void interrupt();

    int exitStatus() const;
    QJsonObject report() const;

signals:
    void done(int exitStatus);

private:
    void onPhaseChanged(StationJob *job);
    void onJobFinished();
    void trace(const StationJob *job, const char *direction, const QByteArray &frame, bool dfu);
    void redraw();
    QString progressLine(const StationJob *job) const;
    QJsonObject recordJson(const StationJob *job) const;

    const StationOptions options;
    const QList<PackageInfo> packageInfos;
    QList<StationJob *> jobs;
    bool interrupted = false;
    QDateTime started;
    QDateTime ended;
    QElapsedTimer clock;
    QFile traceFile;
    std::FILE *out;
    bool terminal = false;
    int linesDrawn = 0;
    QTimer *redrawTimer;
};

#endif // STATION_H
