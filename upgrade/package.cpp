#include "package.h"

#include "app/catalogue.h"
#include "app/logcategories.h"
#include "folderremoval.h"
#include "zip7z.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Guards g_workFolder.
QMutex g_workFolderMutex;
// The folder set with setUpgradeWorkFolder(); empty while the default applies.
QString g_workFolder;

QString entryPath(const QString& name)
{
    return QStringLiteral("%1/%2").arg(upgradeWorkFolder(), name);
}

// A model's pattern: its bytes, and the position of a byte that matches any value (or -1).
bool matchesAt(const char* at, const CameraModel& model)
{
    const QByteArray& pattern = model.packagePattern;
    for (int i = 0; i < pattern.size(); ++i) {
        if (i != model.packageWildcard && at[i] != pattern.at(i))
            return false;
    }
    return true;
}

// Tests every start offset from 0 through kModelSearchLastOffset at which the pattern lies inside
// the window's size bytes; the window counts as zero-filled beyond them, where no pattern matches.
bool windowContains(const char* begin, qint64 size, const CameraModel& model)
{
    const QByteArray& pattern = model.packagePattern;
    const qint64 last = std::min<qint64>(kModelSearchLastOffset, size - pattern.size());
    if (pattern.isEmpty() || last < 0)
        return false;
    if (model.packageWildcard == 0) {
        for (qint64 offset = 0; offset <= last; ++offset) {
            if (matchesAt(begin + offset, model))
                return true;
        }
        return false;
    }
    qint64 offset = 0;
    while (offset <= last) {
        const void* hit = std::memchr(begin + offset, pattern.at(0), std::size_t(last - offset + 1));
        if (hit == nullptr)
            return false;
        offset = static_cast<const char*>(hit) - begin;
        if (matchesAt(begin + offset, model))
            return true;
        ++offset;
    }
    return false;
}

// Whether folder is, or lies above, one of the folders that the clean-up must never empty.
QString unsafeWorkFolderReason(const QString& folder)
{
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder))
        return QStringLiteral("not an absolute path");
    const QString clean = QDir::cleanPath(folder);
    if (QDir(clean).isRoot())
        return QStringLiteral("the root directory");
    const auto isAtOrAbove = [&clean](const QString& other) {
        const QString otherClean = QDir::cleanPath(other);
        return !other.isEmpty() && (otherClean == clean || otherClean.startsWith(clean + QLatin1Char('/')));
    };
    if (isAtOrAbove(QDir::homePath()))
        return QStringLiteral("the home folder or a folder above it");
    if (QCoreApplication::instance() && isAtOrAbove(QCoreApplication::applicationDirPath()))
        return QStringLiteral("the program's folder or a folder above it");
    return QString();
}

// Empties the working folder; but for the entries a later package may rely on unless completely.
// reason says why when something stayed or the folder was not touched.
bool emptyWorkFolder(QString& reason, bool completely = false)
{
    const QString folder = upgradeWorkFolder();
    const QString unsafe = unsafeWorkFolderReason(folder);
    if (!unsafe.isEmpty()) {
        reason = QStringLiteral("refusing to empty %1: %2").arg(folder, unsafe);
        qCWarning(lcUpgrade).noquote()
            << "Refusing to empty the upgrade working folder" << folder << "-" << unsafe;
        return false;
    }
    using namespace package_entries;
    QStringList removed;
    QString error;
    const QStringList keepFiles = completely ? QStringList() : QStringList{kUsbUpdater};
    const QStringList keepFolders = completely ? QStringList() : QStringList{kImages};
    const bool emptied = emptyFolder(folder, keepFiles, keepFolders, removed, error);
    for (const QString& name : removed)
        qCDebug(lcUpgrade).noquote() << "DeletePath:" << entryPath(name);
    if (!emptied) {
        reason = QStringLiteral("cannot empty the working folder: %1").arg(error);
        qCWarning(lcUpgrade).noquote() << "Cannot empty the upgrade working folder -" << error;
    }
    return emptied;
}

// removeUpgradeFiles() with its result.
bool removeUpgradeFilesChecked(QString& reason)
{
    qCDebug(lcUpgrade, "REMOVE UPGRADEFILE!!!");
    return emptyWorkFolder(reason);
}

} // namespace

QString packageOutcomeName(PackageOutcome outcome)
{
    switch (outcome) {
    case PackageOutcome::PackageFormatWrong:
        return QStringLiteral("PackageFormatWrong");
    case PackageOutcome::PackageCorrupted:
        return QStringLiteral("PackageCorrupted");
    case PackageOutcome::PackageMismatch:
        return QStringLiteral("PackageMismatch");
    case PackageOutcome::PackageReady:
        return QStringLiteral("PackageReady");
    }
    return QString();
}

QString defaultUpgradeWorkFolder()
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/share/deckctl");
    return QDir::cleanPath(QFileInfo(base + QStringLiteral("/upgrade")).absoluteFilePath());
}

QString upgradeWorkFolder()
{
    {
        const QMutexLocker lock(&g_workFolderMutex);
        if (!g_workFolder.isEmpty())
            return g_workFolder;
    }
    return defaultUpgradeWorkFolder();
}

void setUpgradeWorkFolder(const QString& folder)
{
    QString resolved;
    if (!folder.isEmpty()) {
        resolved = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
        // The clean-up empties this folder.
        const QString unsafe = unsafeWorkFolderReason(resolved);
        if (!unsafe.isEmpty()) {
            qCWarning(lcUpgrade).noquote()
                << "Refusing" << unsafe << "as the upgrade working folder:" << resolved;
            return;
        }
    }
    const QMutexLocker lock(&g_workFolderMutex);
    g_workFolder = resolved;
}

void removeUpgradeFiles()
{
    QString reason;
    removeUpgradeFilesChecked(reason);
}

bool clearUpgradeWorkFolder()
{
    qCDebug(lcUpgrade, "REMOVE UPGRADEFILE!!!");
    QString reason;
    return emptyWorkFolder(reason, true);
}

bool deletePath(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    // A link whose target is gone is still an entry that the clean-up removes.
    if (!info.exists() && !info.isSymLink())
        return false;
    qCDebug(lcUpgrade).noquote() << "DeletePath:" << path;
    const bool folder = info.isDir() && !info.isSymLink();
    // A file, or a link of any kind: only the entry itself goes, never what a link points to.
    QString error;
    if (!removeTree(path, error))
        qCWarning(lcUpgrade).noquote()
            << "Cannot remove" << (folder ? "folder:" : "file:") << path << "-" << error;
    else if (!folder)
        qCDebug(lcUpgrade).noquote() << "removeFinished:" << path;
    return true;
}

bool pathExists(const QString& path)
{
    if (path.isEmpty())
        return false;
    return QFileInfo::exists(path);
}

bool checkUpgradeFiles()
{
    using namespace package_entries;
    for (const QString& name : {kAutoUpdate, kScripts, kKernel, kMiservice}) {
        if (!pathExists(entryPath(name)))
            return false;
    }
    return true;
}

bool detectPackageModel(int& model)
{
    const QString path = entryPath(names::kMainChipImageName);
    qCDebug(lcUpgrade).noquote() << "model file:" << path;

    std::vector<char> window(std::size_t(kModelSearchWindow), '\0');
    QFile image(path);
    if (!image.open(QIODevice::ReadOnly)) {
        qCWarning(lcUpgrade, "can't open file");
        return false;
    }
    // Every block is read into the start of the buffer. What the buffer holds afterwards is the
    // search window: the last block, followed by the rest of the block before it (or zeros).
    for (;;) {
        qint64 filled = 0;
        while (filled < kModelSearchWindow) {
            const qint64 count = image.read(window.data() + filled, kModelSearchWindow - filled);
            if (count < 0) {
                qCWarning(lcUpgrade).noquote() << "Cannot read the model image:" << path;
                return false;
            }
            if (count == 0)
                break;
            filled += count;
        }
        if (filled < kModelSearchWindow)
            break;
    }

    const std::optional<int> found =
        modelInSearchWindow(QByteArray::fromRawData(window.data(), int(window.size())));
    if (found) {
        model = *found;
        return true;
    }
    qCWarning(lcUpgrade).noquote() << "No model pattern found in the model image:" << path;
    return false;
}

std::optional<int> modelInSearchWindow(const QByteArray& window)
{
    const qint64 size = std::min<qint64>(window.size(), kModelSearchWindow);
    // The patterns are tried in model table order; the first one found decides.
    for (const CameraModel& entry : modelTable()) {
        if (windowContains(window.constData(), size, entry))
            return entry.modelIndex;
    }
    return std::nullopt;
}

int listFilesBySuffix(const QString& suffix, QFileInfoList& out)
{
    return listFilesBySuffix(upgradeWorkFolder(), suffix, out);
}

int listFilesBySuffix(const QString& folder, const QString& suffix, QFileInfoList& out)
{
    out.clear();
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo& entry : entries) {
        if (entry.isFile() && !entry.isSymLink() && entry.suffix().compare(suffix, Qt::CaseInsensitive) == 0)
            out.append(entry);
    }
    return out.size();
}

PackageOutcome preparePackage(const QString& archive, bool checkModel, int cameraModel, QString* reason)
{
    QString why;
    const auto outcome = [&](PackageOutcome result) {
        if (reason)
            *reason = why;
        return result;
    };
    const QString folder = upgradeWorkFolder();
    if (!QDir().mkpath(folder)) {
        why = QStringLiteral("cannot create the working folder %1").arg(folder);
        qCWarning(lcUpgrade).noquote() << "Cannot create the upgrade working folder:" << folder;
        return outcome(PackageOutcome::PackageFormatWrong);
    }
    // Nothing of an earlier package may complete or disturb this one.
    if (!removeUpgradeFilesChecked(why))
        return outcome(PackageOutcome::PackageFormatWrong);

    // Zip7z::extract unpacks into a staging folder and moves the entries in only when the whole
    // archive was accepted and written: a refused entry, a damaged one or a full disk leaves
    // nothing of the package where the upgrade reads it.
    QString message;
    if (!Zip7z::extract(archive, folder, message, &why)) {
        QString ignored;
        removeUpgradeFilesChecked(ignored);
        return outcome(PackageOutcome::PackageFormatWrong);
    }

    if (!checkUpgradeFiles()) {
        using namespace package_entries;
        for (const QString& name : {kAutoUpdate, kScripts, kKernel, kMiservice}) {
            if (!pathExists(entryPath(name))) {
                why = QStringLiteral("the package has no %1").arg(name);
                break;
            }
        }
        qCWarning(lcUpgrade).noquote()
            << "The upgrade package lacks a required entry:" << archive << "-" << why;
        return outcome(PackageOutcome::PackageFormatWrong);
    }
    if (!checkModel)
        return outcome(PackageOutcome::PackageReady);

    int model = kUnknownModel;
    if (!detectPackageModel(model)) {
        why = QStringLiteral("no known model in %1").arg(package_entries::kMiservice);
        return outcome(PackageOutcome::PackageCorrupted);
    }
    if (model != cameraModel) {
        why =
            QStringLiteral("the package is for model %1, the camera is model %2").arg(model).arg(cameraModel);
        qCWarning(lcUpgrade).noquote()
            << "The upgrade package is for model" << model << "but the camera is model" << cameraModel;
        return outcome(PackageOutcome::PackageMismatch);
    }
    return outcome(PackageOutcome::PackageReady);
}
