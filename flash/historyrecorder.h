#ifndef HISTORYRECORDER_H
#define HISTORYRECORDER_H

#include "history.h"

#include <QThread>

#include <memory>

// The station's history: a History on a thread of its own, so that a slow
// disk, a busy lock or a server that went away never holds up the ports'
// event loop. open() and endRun() wait for the answer; the rest is queued.
// Without a successful open() the records go nowhere.
class HistoryRecorder
{
    Q_DISABLE_COPY(HistoryRecorder)

public:
    HistoryRecorder();
    ~HistoryRecorder();

    // As History::open; on failure *error names the database and the reason.
    bool open(const QString &target, QString *error);
    QString name() const { return database; }
    // Records from earlier runs' spool written at open().
    int replayed() const { return replayCount; }

    // id: the run's UUID, made here when empty; returned.
    QString beginRun(const QJsonObject &report, QString id = QString());
    void recordDevice(const QJsonObject &device);
    // Waits until every record of the run is written or spooled.
    HistoryTally endRun(const QJsonObject &report);

private:
    template<typename Work>
    void inThread(Work work, Qt::ConnectionType type);

    QThread thread;
    std::unique_ptr<QObject> context; // lives in thread
    std::unique_ptr<History> history; // made, used and destroyed in thread
    QString database;
    int replayCount = 0;
};

#endif // HISTORYRECORDER_H
