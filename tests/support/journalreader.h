#pragma once

// The virtual camera's journal as the tests read it: one JSON object a line, one line for
// everything a camera received or did.

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

class JournalReader
{
public:
    JournalReader() = default;
    explicit JournalReader(const QString& path) : m_path(path) {}

    QString path() const { return m_path; }
    // Reads path from now on, from its start.
    void setPath(const QString& path);

    // Every event in the journal named name (every event when name is empty), in order.
    QVector<QJsonObject> events(const QString& name = QString()) const;
    // The events written since the previous call (since the start for the first).
    QVector<QJsonObject> fresh();
    // The journal's lines as they are written.
    QStringList lines() const;

private:
    QString m_path;
    qint64 m_offset = 0;
};

// How many of events are named name.
int countEvents(const QVector<QJsonObject>& events, const QString& name);
// The field of every event named name, as text.
QStringList eventFields(const QVector<QJsonObject>& events, const QString& name, const QString& field);
// An upgrade as the camera saw it, in order: "audio-image", "entry:<reason>" for each entry into
// a loader, "load:<stage>" for each load, "cmd:<text>" for each command line.
QStringList upgradeTrace(const QVector<QJsonObject>& events);
// "<bmRequestType> <bRequest> <wValue> <wIndex> [<data>]" (hex) of every control transfer.
QStringList controlTransfers(const QVector<QJsonObject>& events);
