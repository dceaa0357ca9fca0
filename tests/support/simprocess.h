#ifndef SIMPROCESS_H
#define SIMPROCESS_H

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// The device simulator as a child process on a real pseudo-terminal, its link and trace in a temporary folder
// that goes with the object; it also ends when the test process ends, however that happens.
class SimProcess : public QObject
{
public:
    explicit SimProcess(QObject *parent = nullptr) : QObject(parent) { }
    ~SimProcess() override { stop(); }

    // Returns once the simulator is plugged in.
    bool start(const QStringList &extraArgs = QStringList())
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(ORVIK_SIM_PATH),
                      QStringList{ "--exit-with-parent", "--link", linkPath(), "--trace", dir.filePath("trace.jsonl") }
                              + extraArgs);
        return dir.isValid() && process.waitForStarted(20000) && waitForEvent(QStringLiteral("plug"));
    }
    QString linkPath() const { return dir.filePath(QStringLiteral("orvik")); }
    void stop()
    {
        process.terminate();
        if (process.state() != QProcess::NotRunning && !process.waitForFinished(20000))
            process.kill();
        process.waitForFinished(5000);
    }
    qint64 processId() const { return process.processId(); }

    // The trace so far, one object per line.
    QList<QJsonObject> trace() const
    {
        QList<QJsonObject> objects;
        QFile file(dir.filePath("trace.jsonl"));
        for (const QByteArray &line : file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>())
            objects.append(QJsonDocument::fromJson(line).object()); // a line still being written: an empty object
        return objects;
    }
    QList<QJsonObject> events(const QString &event) const
    {
        QList<QJsonObject> matching;
        for (const QJsonObject &object : trace())
            if (object.value("event") == event)
                matching.append(object);
        return matching;
    }
    // Runs the event loop (for the ports and timers under test) until the trace holds count such events.
    bool waitForEvent(const QString &event, int count = 1, int timeoutMs = 20000)
    {
        return QTest::qWaitFor([&] { return events(event).size() >= count || process.state() != QProcess::Running; },
                               timeoutMs)
                && events(event).size() >= count;
    }
    // Stops the simulator and returns its summary event.
    QJsonObject summary()
    {
        stop();
        return events(QStringLiteral("summary")).value(0);
    }
    // The request frames the application firmware received (since it was last plugged in), as hex.
    QStringList appRequests(bool lastPlugOnly = false) const
    {
        QStringList frames;
        for (const QJsonObject &object : trace()) {
            if (lastPlugOnly && object.value("event") == "plug")
                frames.clear();
            else if (object.value("event") == "rx" && object.value("mode") == "app")
                frames << object.value("hex").toString().toLower();
        }
        return frames;
    }

private:
    QTemporaryDir dir;
    QProcess process;
};

#endif // SIMPROCESS_H
