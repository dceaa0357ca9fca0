#include "simprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTest>

SimProcess::SimProcess(QObject *parent) : QObject(parent) {}

SimProcess::~SimProcess()
{
    stop();
}

bool SimProcess::start(const QStringList &extraArgs)
{
    if (!dir.isValid())
        return false;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral(ORVIK_SIM_PATH),
                  QStringList{QStringLiteral("--exit-with-parent"), QStringLiteral("--link"), linkPath(),
                              QStringLiteral("--trace"), tracePath()}
                      + extraArgs);
    if (!process.waitForStarted(20000))
        return false;
    return waitForSlavePaths(1);
}

QString SimProcess::linkPath() const
{
    return dir.filePath(QStringLiteral("orvik"));
}

QString SimProcess::tracePath() const
{
    return dir.filePath(QStringLiteral("trace.jsonl"));
}

void SimProcess::readOutput() const
{
    pendingOutput.append(process.readAllStandardOutput());
    int newline;
    while ((newline = pendingOutput.indexOf('\n')) >= 0) {
        paths.append(QString::fromLocal8Bit(pendingOutput.left(newline)));
        pendingOutput.remove(0, newline + 1);
    }
}

QString SimProcess::slavePath() const
{
    readOutput();
    return paths.isEmpty() ? QString() : paths.last();
}

QStringList SimProcess::slavePaths() const
{
    readOutput();
    return paths;
}

bool SimProcess::waitForSlavePaths(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (slavePaths().size() < count) {
        if (deadline.hasExpired() || process.state() != QProcess::Running)
            return false;
        // The event loop keeps running for ports and timers under test.
        QTest::qWait(20);
    }
    return true;
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
    readOutput();
}

QList<QJsonObject> SimProcess::trace() const
{
    QList<QJsonObject> objects;
    QFile file(tracePath());
    if (!file.open(QIODevice::ReadOnly))
        return objects;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject())
            objects.append(document.object());
    }
    return objects;
}

QList<QJsonObject> SimProcess::events(const QString &event) const
{
    QList<QJsonObject> matching;
    for (const QJsonObject &object : trace()) {
        if (object.value(QStringLiteral("event")).toString() == event)
            matching.append(object);
    }
    return matching;
}

bool SimProcess::waitForEvent(const QString &event, int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (events(event).size() < count) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
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
        if (object.value(QStringLiteral("mode")).toString() == QLatin1String("app"))
            frames.append(QByteArray::fromHex(object.value(QStringLiteral("hex")).toString().toLatin1()));
    }
    return frames;
}
