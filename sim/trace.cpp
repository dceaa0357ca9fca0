#include "trace.h"

#include <QJsonDocument>

bool Trace::open(const QString &path, QString *error)
{
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("--trace: cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

void Trace::write(const QString &event, QJsonObject fields)
{
    if (!file.isOpen())
        return;
    fields.insert(QStringLiteral("t"), double(clock.nsecsElapsed()) / 1e9);
    fields.insert(QStringLiteral("event"), event);
    file.write(QJsonDocument(fields).toJson(QJsonDocument::Compact));
    file.write("\n");
    file.flush();
}
