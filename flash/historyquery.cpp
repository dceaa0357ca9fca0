#include "historyquery.h"

#include "history.h"
#include "printable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace {

// The run's fields that each device record carries in a query's answer.
const char *const RunColumns[] = { "run", "station", "operator" };

QString text(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Double:
        return QString::number(qint64(value.toDouble()));
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    default:
        return QString();
    }
}

QString revisions(const QJsonValue &value)
{
    if (!value.isObject())
        return QString();
    QStringList parts;
    for (const char *key : { "hw", "fw", "sw" })
        parts << text(value[QLatin1String(key)]);
    return parts.join(QLatin1Char('/'));
}

// Columns padded to their widest cell; the last one runs free.
QByteArray aligned(const QList<QStringList> &rows)
{
    QVector<int> widths(rows.first().size());
    for (const QStringList &row : rows) {
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths.at(i), int(row.at(i).size()));
    }
    QByteArray out;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(widths.at(i) + 2) : row.at(i);
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        out += line.toUtf8() + '\n';
    }
    return out;
}

// RFC 4180: a field with a comma, a quote or a line break is quoted, its quotes doubled; lines end in CRLF.
QByteArray csv(const QList<QStringList> &rows)
{
    QByteArray out;
    for (const QStringList &row : rows) {
        QStringList fields;
        for (QString field : row) {
            if (field.contains(QRegularExpression(QStringLiteral("[,\"\r\n]"))))
                field = QLatin1Char('"') + field.replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
            fields << field;
        }
        out += fields.join(QLatin1Char(',')).toUtf8() + "\r\n";
    }
    return out;
}

QList<QStringList> summaryRows(const QJsonObject &summary, bool table)
{
    QList<QStringList> rows;
    if (!table)
        rows << QStringList{ QStringLiteral("group"), QStringLiteral("value"), QStringLiteral("count") };
    const struct
    {
        const char *group;
        const char *label;
        const char *counts;
    } groups[] = { { "results", "result", "records" },
                   { "firmware", "firmware", "units" },
                   { "software", "software", "units" } };
    for (const auto &group : groups) {
        if (table)
            rows << QStringList{ QLatin1String(group.label), QLatin1String(group.counts) };
        for (const QJsonValue &entry : summary.value(QLatin1String(group.group)).toArray()) {
            const QString value = entry[QLatin1String("value")].isNull() ? QStringLiteral("unknown")
                                                                         : text(entry[QLatin1String("value")]);
            const QString count = text(entry[QLatin1String("count")]);
            rows << (table ? QStringList{ QStringLiteral("  ") + printable(value), count }
                           : QStringList{ QLatin1String(group.label), text(entry[QLatin1String("value")]), count });
        }
    }
    return rows;
}

} // namespace

QByteArray historyTable(const QList<QJsonObject> &devices)
{
    if (devices.isEmpty())
        return "no matching device records\n";
    QList<QStringList> rows{ { "started", "station", "port", "name", "usbSerial", "before", "after", "result",
                               "reached", "reason" } };
    for (const QJsonObject &device : devices) {
        const QJsonValue transfer = device.value(QLatin1String("transfer"));
        QStringList row{ text(device.value(QLatin1String("started"))),
                         text(device.value(QLatin1String("station"))),
                         text(device.value(QLatin1String("port"))),
                         text(device.value(QLatin1String("name"))),
                         text(device.value(QLatin1String("usbSerial"))),
                         revisions(device.value(QLatin1String("before"))),
                         revisions(device.value(QLatin1String("after"))),
                         text(device.value(QLatin1String("result"))),
                         transfer.isObject() ? QStringLiteral("%1/%2").arg(text(transfer[QLatin1String("reached")]),
                                                                           text(transfer[QLatin1String("total")]))
                                             : QString(),
                         text(device.value(QLatin1String("reason"))) };
        for (QString &cell : row)
            cell = cell.isEmpty() ? QStringLiteral("-") : printable(cell);
        rows << row;
    }
    return aligned(rows);
}

QByteArray historyCsv(const QList<QJsonObject> &devices)
{
    QStringList header;
    for (const char *column : RunColumns)
        header << QLatin1String(column);
    header += History::columnFields();
    QList<QStringList> rows{ header };
    for (const QJsonObject &device : devices) {
        QStringList row;
        for (const QString &field : qAsConst(header))
            row << text(History::fieldValue(device, field));
        rows << row;
    }
    return csv(rows);
}

QByteArray historySummaryTable(const QJsonObject &summary)
{
    return aligned(summaryRows(summary, true));
}

QByteArray historySummaryCsv(const QJsonObject &summary)
{
    return csv(summaryRows(summary, false));
}

bool queryHistory(const HistoryQuery &query, QByteArray *output, QString *error)
{
    static const QStringList formats{ QStringLiteral("table"), QStringLiteral("csv"), QStringLiteral("json") };
    if (!formats.contains(query.format)) {
        *error = QStringLiteral("--format: expected table, csv or json, got \"%1\"").arg(query.format);
        return false;
    }
    HistoryFilter filter{ query.device, query.serial, query.result, QDate() };
    if (!query.since.isEmpty()) {
        filter.since = QDate::fromString(query.since, QStringLiteral("yyyy-MM-dd"));
        if (!filter.since.isValid()) {
            *error = QStringLiteral("--since: expected a date YYYY-MM-DD, got \"%1\"").arg(query.since);
            return false;
        }
    }
    History history;
    if (!history.open(query.db, error, History::Mode::Query))
        return false;
    QString failure;
    if (query.summary) {
        const QJsonObject summary = history.summary(filter, &failure);
        *output = query.format == QLatin1String("json") ? QJsonDocument(summary).toJson(QJsonDocument::Indented)
                : query.format == QLatin1String("csv")  ? historySummaryCsv(summary)
                                                        : historySummaryTable(summary);
    } else {
        const QList<QJsonObject> devices = history.devices(filter, &failure);
        QJsonArray array;
        for (const QJsonObject &device : devices)
            array.append(device);
        *output = query.format == QLatin1String("json") ? QJsonDocument(array).toJson(QJsonDocument::Indented)
                : query.format == QLatin1String("csv")  ? historyCsv(devices)
                                                        : historyTable(devices);
    }
    if (!failure.isEmpty())
        *error = QStringLiteral("cannot read history %1: %2").arg(history.name(), failure);
    return failure.isEmpty();
}
