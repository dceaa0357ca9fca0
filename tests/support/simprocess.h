#ifndef SIMPROCESS_H
#define SIMPROCESS_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// The device simulator as a child process, for tests that talk to it over a
// real pseudo-terminal. It runs with --link <tempdir>/orvik and --trace
// <tempdir>/trace.jsonl; the directory goes with the object. It also ends when
// the test process ends, however that happens.
class SimProcess : public QObject
{
    Q_OBJECT

public:
    explicit SimProcess(QObject *parent = nullptr);
    ~SimProcess() override;

    // Starts ORVIK_SIM_PATH with the link, the trace and extraArgs, and waits
    // for the first slave path on its stdout.
    bool start(const QStringList &extraArgs = QStringList());
    QString linkPath() const;
    QString tracePath() const;
    // The slave path printed last.
    QString slavePath() const;
    // Every slave path printed so far, in order (one per plug).
    QStringList slavePaths() const;
    // Waits until the simulator has printed at least count slave paths.
    bool waitForSlavePaths(int count, int timeoutMs = 20000);
    // SIGTERM, then waits for the exit.
    void stop();
    int exitCode() const { return process.exitCode(); }

    // The trace so far, one object per line.
    QList<QJsonObject> trace() const;
    // The trace events named event, in order.
    QList<QJsonObject> events(const QString &event) const;
    // Waits until the trace holds at least count events named event.
    bool waitForEvent(const QString &event, int count = 1, int timeoutMs = 20000);
    // Stops the simulator if it runs, and returns its summary event.
    QJsonObject summary();
    // The request frames the application firmware received, in order.
    QList<QByteArray> appRequests() const;

private:
    void readOutput() const;

    QTemporaryDir dir;
    mutable QProcess process;
    mutable QByteArray pendingOutput;
    mutable QStringList paths;
};

#endif // SIMPROCESS_H
