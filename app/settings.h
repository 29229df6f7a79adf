#pragma once

// The small INI settings file "product.ini". It lives beside the executable when that directory
// is writable (a portable or developer install). Installed system-wide, where that directory is
// read-only, it is read and written in the user's configuration directory instead, and the copy
// beside the executable still supplies keys an administrator provisioned there (the brand key is
// provisioned, never written by the program).
//
// Every reader or writer opens the file, acts and closes it, so any thread may use this class.

#include <QRect>
#include <QString>
#include <QVariant>

namespace settings_keys {
inline const QString kLanguageCN = QStringLiteral("/ChangeLanguage/LanguageCN");
inline const QString kBrandIndex = QStringLiteral("/product_model/main");
inline const QString kWindowLeft = QStringLiteral("/window/left");
inline const QString kWindowTop = QStringLiteral("/window/top");
inline const QString kWindowWidth = QStringLiteral("/window/width");
inline const QString kWindowHeight = QStringLiteral("/window/height");
inline const QString kStyleIndex = QStringLiteral("/style/index");
// Targets of the Support page's links; a missing key keeps the built-in target.
inline const QString kLinkDocumentation = QStringLiteral("/links/documentation");
inline const QString kLinkDownloads = QStringLiteral("/links/downloads");
inline const QString kLinkSupport = QStringLiteral("/links/support");
} // namespace settings_keys

class SettingsStore
{
public:
    // appDir: the executable's directory. userConfigDir: the per-user fallback directory.
    SettingsStore(const QString& appDir, const QString& userConfigDir);

    // The store of this process: the executable's directory and the user's XDG configuration
    // directory for this application. Built on first use.
    static const SettingsStore& application();
    // Points application() at other directories for the rest of the process (or until the next
    // call): tests give each case a fresh temporary directory. Call it while no other thread reads
    // settings; stores handed out before stay valid.
    static void setApplicationDirectories(const QString& appDir, const QString& userConfigDir);

    // The file that writes go to.
    QString writePath() const { return m_writePath; }
    // The copy beside the executable, read for keys the writable file does not hold.
    QString provisionedPath() const { return m_provisionedPath; }
    bool usesUserDirectory() const { return m_writePath != m_provisionedPath; }

    QVariant value(const QString& key) const;
    // Integer and boolean readings; a missing or unreadable value reads as 0 / false.
    int intValue(const QString& key) const;
    bool boolValue(const QString& key) const;
    // Writes one value and closes the file. Returns false when it could not be stored.
    bool setValue(const QString& key, const QVariant& value) const;
    // Writes several values at once (one open and close).
    bool setValues(const QVector<QPair<QString, QVariant>>& values) const;

    bool languageCN() const { return boolValue(settings_keys::kLanguageCN); }
    int brandIndex() const { return intValue(settings_keys::kBrandIndex); }
    int styleIndex() const { return intValue(settings_keys::kStyleIndex); }
    QRect windowGeometry() const;

    // Whether a file can be created in dir right now (the real test, not a permission guess).
    static bool directoryAcceptsFiles(const QString& dir);

private:
    QString m_provisionedPath;
    QString m_writePath;
};
