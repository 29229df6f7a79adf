#include "clivirtual.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace cli {

bool parseKeyValues(const QStringList& words, QJsonObject* entry, QString* error)
{
    for (const QString& word : words) {
        const int equals = word.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            *error = QStringLiteral("%1 is not KEY=VALUE").arg(word);
            return false;
        }
        const QString key = word.left(equals);
        const QString value = word.mid(equals + 1);
        if (entry->contains(key)) {
            *error = QStringLiteral("%1 is given twice").arg(key);
            return false;
        }
        // Wrapped in an array, so that a bare number or word is JSON text too.
        QJsonParseError parseError{};
        const QJsonDocument document = QJsonDocument::fromJson('[' + value.toUtf8() + ']', &parseError);
        if (parseError.error == QJsonParseError::NoError && document.array().size() == 1)
            entry->insert(key, document.array().at(0));
        else
            entry->insert(key, value);
    }
    return true;
}

} // namespace cli
