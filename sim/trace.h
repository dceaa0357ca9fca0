#ifndef SIM_TRACE_H
#define SIM_TRACE_H

#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QString>

// JSON Lines trace: one object per line, each stamped with "t", the monotonic
// time in seconds since the simulator started. Every line is flushed at once
// so that a reader can follow the file while the simulator runs.
class Trace
{
public:
    explicit Trace(const QElapsedTimer &clock) : clock(clock) { }

    bool open(const QString &path, QString *error);
    bool isOpen() const { return file.isOpen(); }
    void write(const QString &event, QJsonObject fields = QJsonObject());

private:
    const QElapsedTimer &clock;
    QFile file;
};

#endif // SIM_TRACE_H
