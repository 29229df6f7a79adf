#pragma once

// Typed reads of the virtual camera's configuration and state (JSON objects). A value of the
// wrong type or out of range is an error that names its key; it never falls back to a default
// and never reaches an integer conversion it does not fit. A key that is absent leaves its field
// as it was. The first error is kept; later reads do nothing.

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <memory>

class JsonReader
{
public:
    // Reads object; errors name keys as "<path>.<key>" ("cameras[0].extensionUnit").
    JsonReader(const QJsonObject& object, const QString& path);

    // A reader of the object at key (an empty object when the key is absent) that shares this
    // reader's error; a value that is not an object is an error.
    JsonReader child(const char* key);

    bool has(const char* key) const { return m_object.contains(QLatin1String(key)); }
    const QJsonObject& object() const { return m_object; }

    // An integer (a JSON number without a fraction) from minimum to maximum.
    template <typename Integer>
    void integer(const char* key, std::int64_t minimum, std::int64_t maximum, Integer& field)
    {
        std::int64_t value = 0;
        if (readInteger(key, minimum, maximum, &value))
            field = static_cast<Integer>(value);
    }
    void number(const char* key, double minimum, double maximum, double& field);
    void text(const char* key, QString& field);
    void flag(const char* key, bool& field);

    // For values checked elsewhere: records "<path>.<key>: <what>".
    void fail(const QString& key, const QString& what);
    // The full name of key, for messages.
    QString name(const QString& key) const;

    bool ok() const { return m_error->isEmpty(); }
    QString error() const { return *m_error; }

    // Whether value is an integer from minimum to maximum; stores it in *out.
    static bool toInteger(const QJsonValue& value, std::int64_t minimum, std::int64_t maximum,
                          std::int64_t* out);

private:
    JsonReader(const QJsonObject& object, const QString& path, std::shared_ptr<QString> error);
    bool readInteger(const char* key, std::int64_t minimum, std::int64_t maximum, std::int64_t* value);

    QJsonObject m_object;
    QString m_path;
    std::shared_ptr<QString> m_error;
};
