#include "jsonreader.h"

#include <cmath>

namespace {

QString shown(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double:
        return QString::number(value.toDouble(), 'g', 17);
    case QJsonValue::String:
        return QLatin1Char('"') + value.toString() + QLatin1Char('"');
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("nothing");
}

} // namespace

JsonReader::JsonReader(const QJsonObject& object, const QString& path)
    : JsonReader(object, path, std::make_shared<QString>())
{
}

JsonReader::JsonReader(const QJsonObject& object, const QString& path, std::shared_ptr<QString> error)
    : m_object(object), m_path(path), m_error(std::move(error))
{
}

JsonReader JsonReader::child(const char* key)
{
    const QJsonValue value = m_object.value(QLatin1String(key));
    if (!value.isUndefined() && !value.isObject())
        fail(QLatin1String(key), QStringLiteral("must be an object, not %1").arg(shown(value)));
    return JsonReader(value.toObject(), name(QLatin1String(key)), m_error);
}

QString JsonReader::name(const QString& key) const
{
    return m_path.isEmpty() ? key : m_path + QLatin1Char('.') + key;
}

void JsonReader::fail(const QString& key, const QString& what)
{
    if (m_error->isEmpty())
        *m_error = QStringLiteral("\"%1\" %2").arg(name(key), what);
}

bool JsonReader::toInteger(const QJsonValue& value, std::int64_t minimum, std::int64_t maximum,
                           std::int64_t* out)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    // Checked in double before converting: the conversion of a value that does not fit is
    // undefined. Every bound used here is exact in a double.
    if (!std::isfinite(number) || std::trunc(number) != number || number < static_cast<double>(minimum) ||
        number > static_cast<double>(maximum))
        return false;
    *out = static_cast<std::int64_t>(number);
    return true;
}

bool JsonReader::readInteger(const char* key, std::int64_t minimum, std::int64_t maximum, std::int64_t* value)
{
    if (!ok() || !has(key))
        return false;
    const QJsonValue found = m_object.value(QLatin1String(key));
    if (!toInteger(found, minimum, maximum, value)) {
        fail(QLatin1String(key), QStringLiteral("must be an integer from %1 to %2, not %3")
                                     .arg(minimum)
                                     .arg(maximum)
                                     .arg(shown(found)));
        return false;
    }
    return true;
}

void JsonReader::number(const char* key, double minimum, double maximum, double& field)
{
    if (!ok() || !has(key))
        return;
    const QJsonValue found = m_object.value(QLatin1String(key));
    const double value = found.toDouble();
    if (!found.isDouble() || !std::isfinite(value) || value < minimum || value > maximum) {
        fail(QLatin1String(key), QStringLiteral("must be a number from %1 to %2, not %3")
                                     .arg(minimum)
                                     .arg(maximum)
                                     .arg(shown(found)));
        return;
    }
    field = value;
}

void JsonReader::text(const char* key, QString& field)
{
    if (!ok() || !has(key))
        return;
    const QJsonValue found = m_object.value(QLatin1String(key));
    if (!found.isString()) {
        fail(QLatin1String(key), QStringLiteral("must be a text, not %1").arg(shown(found)));
        return;
    }
    field = found.toString();
}

void JsonReader::flag(const char* key, bool& field)
{
    if (!ok() || !has(key))
        return;
    const QJsonValue found = m_object.value(QLatin1String(key));
    if (!found.isBool()) {
        fail(QLatin1String(key), QStringLiteral("must be true or false, not %1").arg(shown(found)));
        return;
    }
    field = found.toBool();
}
