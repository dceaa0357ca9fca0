#include "simprocess.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>

bool SimProcess::start(const QStringList &extraArgs)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral(ORVIK_SIM_PATH),
                  QStringList{ "--exit-with-parent", "--link", linkPath(), "--trace", dir.filePath("trace.jsonl") }
                          + extraArgs);
    return dir.isValid() && process.waitForStarted(20000) && waitForEvent(QStringLiteral("plug"));
}

void SimProcess::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

QList<QJsonObject> SimProcess::trace() const
{
    QList<QJsonObject> objects;
    QFile file(dir.filePath("trace.jsonl"));
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (QJsonDocument::fromJson(line).isObject())
                objects.append(QJsonDocument::fromJson(line).object());
        }
    }
    return objects;
}

QList<QJsonObject> SimProcess::events(const QString &event) const
{
    QList<QJsonObject> matching;
    for (const QJsonObject &object : trace()) {
        if (object.value("event").toString() == event)
            matching.append(object);
    }
    return matching;
}

bool SimProcess::waitForEvent(const QString &event, int count, int timeoutMs)
{
    // The event loop keeps running for the ports and timers under test.
    return QTest::qWaitFor([&] { return events(event).size() >= count || process.state() != QProcess::Running; },
                           timeoutMs)
            && events(event).size() >= count;
}

QJsonObject SimProcess::summary()
{
    stop();
    const QList<QJsonObject> found = events(QStringLiteral("summary"));
    return found.isEmpty() ? QJsonObject() : found.last();
}

QList<QByteArray> SimProcess::appRequests() const
{
    QList<QByteArray> frames;
    for (const QJsonObject &object : events(QStringLiteral("rx"))) {
        if (object.value("mode").toString() == QLatin1String("app"))
            frames.append(QByteArray::fromHex(object.value("hex").toString().toLatin1()));
    }
    return frames;
}
