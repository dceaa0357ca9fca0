#ifndef SIMPROCESS_H
#define SIMPROCESS_H

#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

// The device simulator as a child process on a real pseudo-terminal, with its link and trace in a temporary directory
// that goes with the object. It also ends when the test process ends, however that happens.
class SimProcess : public QObject
{
public:
    explicit SimProcess(QObject *parent = nullptr) : QObject(parent) { }
    ~SimProcess() override { stop(); }

    // Starts the simulator with extraArgs and waits until it is plugged in.
    bool start(const QStringList &extraArgs = QStringList());
    QString linkPath() const { return dir.filePath(QStringLiteral("orvik")); }
    // SIGTERM, then waits for the exit.
    void stop();
    qint64 processId() const { return process.processId(); }

    // The trace so far, one object per line.
    QList<QJsonObject> trace() const;
    QList<QJsonObject> events(const QString &event) const;
    // Runs the event loop until the trace holds count events named event.
    bool waitForEvent(const QString &event, int count = 1, int timeoutMs = 20000);
    // Stops the simulator and returns its summary event.
    QJsonObject summary();
    // The request frames the application firmware received (since it was last plugged in), as hex.
    QStringList appRequests(bool lastPlugOnly = false) const;

private:
    QTemporaryDir dir;
    QProcess process;
};

#endif // SIMPROCESS_H
