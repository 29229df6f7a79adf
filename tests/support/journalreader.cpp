#include "journalreader.h"

#include <QFile>
#include <QJsonDocument>

#include <algorithm>

namespace {

bool named(const QJsonObject& event, const QString& name)
{
    return event.value(QLatin1String("event")).toString() == name;
}

} // namespace

void JournalReader::setPath(const QString& path)
{
    m_path = path;
    m_offset = 0;
}

QVector<QJsonObject> JournalReader::events(const QString& name) const
{
    QVector<QJsonObject> result;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (line.trimmed().isEmpty())
            continue;
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (name.isEmpty() || named(event, name))
            result.append(event);
    }
    return result;
}

QVector<QJsonObject> JournalReader::fresh()
{
    QVector<QJsonObject> result;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    file.seek(m_offset);
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.trimmed().isEmpty())
            result.append(QJsonDocument::fromJson(line).object());
    }
    m_offset = file.pos();
    return result;
}

QStringList JournalReader::lines() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int countEvents(const QVector<QJsonObject>& events, const QString& name)
{
    return int(std::count_if(events.begin(), events.end(),
                             [&name](const QJsonObject& event) { return named(event, name); }));
}

QStringList eventFields(const QVector<QJsonObject>& events, const QString& name, const QString& field)
{
    QStringList result;
    for (const QJsonObject& event : events) {
        if (named(event, name))
            result << event.value(field).toVariant().toString();
    }
    return result;
}

QStringList upgradeTrace(const QVector<QJsonObject>& events)
{
    QStringList tokens;
    for (const QJsonObject& e : events) {
        const QString name = e.value(QLatin1String("event")).toString();
        if (name == QLatin1String("audio-image"))
            tokens << name;
        else if (name == QLatin1String("reenumerate") && e.contains(QLatin1String("reason")))
            tokens << QStringLiteral("entry:") + e.value(QLatin1String("reason")).toString();
        else if (name == QLatin1String("load"))
            tokens << QStringLiteral("load:") + e.value(QLatin1String("stage")).toString();
        else if (name == QLatin1String("runcmd"))
            tokens << QStringLiteral("cmd:") + e.value(QLatin1String("text")).toString();
    }
    return tokens;
}

QStringList controlTransfers(const QVector<QJsonObject>& events)
{
    QStringList lines;
    for (const QJsonObject& e : events) {
        if (e.value(QLatin1String("event")).toString() != QLatin1String("control-transfer"))
            continue;
        QString line = QString::asprintf(
            "%02x %02x %04x %04x", e.value(QLatin1String("bmRequestType")).toInt(),
            e.value(QLatin1String("bRequest")).toInt(), e.value(QLatin1String("wValue")).toInt(),
            e.value(QLatin1String("wIndex")).toInt());
        const QString data = e.value(QLatin1String("data")).toString();
        if (!data.isEmpty())
            line += QLatin1Char(' ') + data;
        lines << line;
    }
    return lines;
}
