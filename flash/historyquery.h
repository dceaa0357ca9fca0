#ifndef HISTORYQUERY_H
#define HISTORYQUERY_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// orvik-flash --history: the options as given on the command line.
struct HistoryQuery
{
    QString db; // empty: the default file
    QString device;
    QString serial;
    QString result;
    QString since; // YYYY-MM-DD
    QString format = QStringLiteral("table"); // table, csv or json
    bool summary = false;
};

// The matching device records, newest first (or the summary), in the asked
// format. False with *error for a bad option or a history that cannot be
// opened. Writes no record and replays no spool; a file that is not there
// yet is refused rather than created.
bool queryHistory(const HistoryQuery &query, QByteArray *output, QString *error);

QByteArray historyTable(const QList<QJsonObject> &devices);
QByteArray historyCsv(const QList<QJsonObject> &devices);
QByteArray historySummaryTable(const QJsonObject &summary);
QByteArray historySummaryCsv(const QJsonObject &summary);

#endif // HISTORYQUERY_H
