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
    for (const QByteArray &line : file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QByteArrayList())
        if (const QJsonDocument document = QJsonDocument::fromJson(line); document.isObject())
            objects.append(document.object());
    return objects;
}

QList<QJsonObject> SimProcess::events(const QString &event) const
{
    QList<QJsonObject> matching;
    for (const QJsonObject &object : trace())
        if (object.value("event").toString() == event)
            matching.append(object);
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

QStringList SimProcess::appRequests(bool lastPlugOnly) const
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
