#include "settings.h"
#include "app/logcategories.h"

#include "catalogue.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <memory>
#include <vector>

SettingsStore::SettingsStore(const QString& appDir, const QString& userConfigDir)
    : m_provisionedPath(QDir(appDir).filePath(names::kSettingsFileName))
{
    const QFileInfo existing(m_provisionedPath);
    const bool besideExecutable =
        directoryAcceptsFiles(appDir) && (!existing.exists() || existing.isWritable());
    m_writePath =
        besideExecutable ? m_provisionedPath : QDir(userConfigDir).filePath(names::kSettingsFileName);
}

namespace {

// Stores set by setApplicationDirectories(), the last one in use; kept to the end of the process
// so that a reference handed out earlier never dangles.
std::vector<std::unique_ptr<const SettingsStore>>& replacedStores()
{
    static std::vector<std::unique_ptr<const SettingsStore>> stores;
    return stores;
}

} // namespace

const SettingsStore& SettingsStore::application()
{
    if (!replacedStores().empty())
        return *replacedStores().back();
    static const SettingsStore store(QCoreApplication::applicationDirPath(),
                                     QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
    return store;
}

void SettingsStore::setApplicationDirectories(const QString& appDir, const QString& userConfigDir)
{
    replacedStores().push_back(std::make_unique<const SettingsStore>(appDir, userConfigDir));
}

QVariant SettingsStore::value(const QString& key) const
{
    {
        const QSettings own(m_writePath, QSettings::IniFormat);
        if (own.contains(key))
            return own.value(key);
    }
    if (usesUserDirectory()) {
        const QSettings provisioned(m_provisionedPath, QSettings::IniFormat);
        return provisioned.value(key);
    }
    return QVariant();
}

int SettingsStore::intValue(const QString& key) const
{
    return value(key).toInt();
}

bool SettingsStore::boolValue(const QString& key) const
{
    // Only what the program itself writes ("true") or a non-zero number counts as true: a value
    // nobody can read must not switch the interface language.
    const QVariant stored = value(key);
    if (stored.type() == QVariant::Bool)
        return stored.toBool();
    const QString text = stored.toString().trimmed();
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    return isNumber ? number != 0 : text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

bool SettingsStore::setValue(const QString& key, const QVariant& value) const
{
    return setValues({{key, value}});
}

bool SettingsStore::setValues(const QVector<QPair<QString, QVariant>>& values) const
{
    const QString dir = QFileInfo(m_writePath).absolutePath();
    if (!QDir().mkpath(dir)) {
        qCWarning(lcApp).noquote() << "Error, cannot create dir" << dir;
        return false;
    }
    QSettings settings(m_writePath, QSettings::IniFormat);
    for (const auto& entry : values)
        settings.setValue(entry.first, entry.second);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qCWarning(lcApp).noquote() << "Cannot save settings to" << m_writePath;
        return false;
    }
    return true;
}

QRect SettingsStore::windowGeometry() const
{
    return QRect(intValue(settings_keys::kWindowLeft), intValue(settings_keys::kWindowTop),
                 intValue(settings_keys::kWindowWidth), intValue(settings_keys::kWindowHeight));
}

bool SettingsStore::directoryAcceptsFiles(const QString& dir)
{
    if (!QFileInfo(dir).isDir())
        return false;
    QTemporaryFile probe(QDir(dir).filePath(QStringLiteral(".deckctl-write-probe-XXXXXX")));
    return probe.open(); // removed again when the probe goes out of scope
}
