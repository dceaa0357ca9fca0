#include "historyrecorder.h"

#include <QUuid>

HistoryRecorder::HistoryRecorder() : context(new QObject)
{
    context->moveToThread(&thread);
    thread.setObjectName(QStringLiteral("history"));
    thread.start();
}

HistoryRecorder::~HistoryRecorder()
{
    inThread([this] { history.reset(); }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

template<typename Work>
void HistoryRecorder::inThread(Work work, Qt::ConnectionType type)
{
    QMetaObject::invokeMethod(context.get(), work, type);
}

bool HistoryRecorder::open(const QString &target, QString *error)
{
    bool opened = false;
    inThread(
            [&] {
                history = std::make_unique<History>();
                opened = history->open(target, error);
                database = history->name();
                replayCount = history->replayed();
                if (!opened)
                    history.reset();
            },
            Qt::BlockingQueuedConnection);
    return opened;
}

QString HistoryRecorder::beginRun(const QJsonObject &report, QString id)
{
    if (id.isEmpty())
        id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    inThread(
            [this, report, id] {
                if (history)
                    history->beginRun(report, id);
            },
            Qt::QueuedConnection);
    return id;
}

void HistoryRecorder::recordDevice(const QJsonObject &device)
{
    inThread(
            [this, device] {
                if (history)
                    history->recordDevice(device);
            },
            Qt::QueuedConnection);
}

HistoryTally HistoryRecorder::endRun(const QJsonObject &report)
{
    HistoryTally tally;
    inThread(
            [&] {
                if (!history)
                    return;
                history->endRun(report);
                tally = history->tally();
            },
            Qt::BlockingQueuedConnection);
    return tally;
}
