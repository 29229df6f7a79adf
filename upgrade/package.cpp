#include "package.h"

#include "app/catalogue.h"
#include "zip7z.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>

#include <algorithm>
#include <cstring>
#include <string_view>
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

// The model patterns in the order they are tried; the first one found decides.
struct ModelPattern
{
    std::string_view bytes;
    // Position of a byte that matches any value, or -1.
    int wildcard;
    int modelIndex;
};

constexpr ModelPattern kModelPatterns[] = {
    {"PX-K27-000", -1, 0}, {"ARDEN 320", -1, 2}, {"ARDEN 330", -1, 3}, {"QB17-000", -1, 4},
    {"Orbi+TM40", -1, 5},  {"QB18Z", -1, 6},     {"QB18", -1, 7},      {"Zephyr?TM45", 6, 8},
};

bool matchesAt(const char* at, const ModelPattern& pattern)
{
    for (std::size_t i = 0; i < pattern.bytes.size(); ++i) {
        if (int(i) != pattern.wildcard && at[i] != pattern.bytes[i])
            return false;
    }
    return true;
}

// Tests every start offset from 0 through kModelSearchLastOffset at which the pattern lies inside
// the window's size bytes; the window counts as zero-filled beyond them, where no pattern matches.
bool windowContains(const char* begin, qint64 size, const ModelPattern& pattern)
{
    const qint64 last = std::min<qint64>(kModelSearchLastOffset, size - qint64(pattern.bytes.size()));
    qint64 offset = 0;
    while (offset <= last) {
        const void* hit = std::memchr(begin + offset, pattern.bytes[0], std::size_t(last - offset + 1));
        if (hit == nullptr)
            return false;
        offset = static_cast<const char*>(hit) - begin;
        if (matchesAt(begin + offset, pattern))
            return true;
        ++offset;
    }
    return false;
}

// Removes a file, a link or a folder with its contents without logging success.
bool removeEntry(const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    return QFile::remove(path);
}

// Moves an extracted entry into place the way an overwriting extraction writes it: a file or a
// link replaces what is there, a folder is merged into an existing folder.
bool moveEntry(const QString& source, const QString& target)
{
    const QFileInfo from(source);
    const QFileInfo to(target);
    if (from.isDir() && !from.isSymLink() && to.isDir() && !to.isSymLink()) {
        bool moved = true;
        const QStringList names =
            QDir(source).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        for (const QString& name : names)
            moved = moveEntry(source + QLatin1Char('/') + name, target + QLatin1Char('/') + name) && moved;
        return moved;
    }
    if ((to.exists() || to.isSymLink()) && !removeEntry(target)) {
        qWarning().noquote() << "Cannot replace the previous package entry:" << target;
        return false;
    }
    if (!QDir().rename(source, target)) {
        qWarning().noquote() << "Cannot move the extracted entry into the working folder:" << target;
        return false;
    }
    return true;
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
        // The clean-up deletes "boot", "kernel" and so on inside this folder.
        if (QDir(resolved).isRoot()) {
            qWarning().noquote() << "Refusing the root directory as the upgrade working folder:" << resolved;
            return;
        }
    }
    const QMutexLocker lock(&g_workFolderMutex);
    g_workFolder = resolved;
}

void removeUpgradeFiles()
{
    qDebug("REMOVE UPGRADEFILE!!!");
    using namespace package_entries;
    for (const QString& name : {kAutoUpdate, kBoot, kScripts, kKernel, kCis, kUboot, kMiservice, kXmos})
        deletePath(entryPath(name));
}

bool deletePath(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    // A link whose target is gone is still an entry that the clean-up removes.
    if (!info.exists() && !info.isSymLink())
        return false;
    qDebug().noquote() << "DeletePath:" << path;
    if (info.isDir() && !info.isSymLink()) {
        if (!QDir(path).removeRecursively())
            qWarning().noquote() << "Cannot remove folder:" << path;
        return true;
    }
    // A file, or a link of any kind: only the entry itself goes, never what a link points to.
    if (QFile::remove(path))
        qDebug().noquote() << "removeFinished:" << path;
    else
        qWarning().noquote() << "Cannot remove file:" << path;
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
    qDebug().noquote() << "model file:" << path;

    std::vector<char> window(std::size_t(kModelSearchWindow), '\0');
    QFile image(path);
    if (!image.open(QIODevice::ReadOnly)) {
        qWarning("can't open file");
        return false;
    }
    // Every block is read into the start of the buffer. What the buffer holds afterwards is the
    // search window: the last block, followed by the rest of the block before it (or zeros).
    for (;;) {
        qint64 filled = 0;
        while (filled < kModelSearchWindow) {
            const qint64 count = image.read(window.data() + filled, kModelSearchWindow - filled);
            if (count < 0) {
                qWarning().noquote() << "Cannot read the model image:" << path;
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
    qWarning().noquote() << "No model pattern found in the model image:" << path;
    return false;
}

std::optional<int> modelInSearchWindow(const QByteArray& window)
{
    static_assert(kModelSearchLastOffset + 11 <= kModelSearchWindow, "patterns must fit the window");
    const qint64 size = std::min<qint64>(window.size(), kModelSearchWindow);
    for (const ModelPattern& pattern : kModelPatterns) {
        if (windowContains(window.constData(), size, pattern))
            return pattern.modelIndex;
    }
    return std::nullopt;
}

int listFilesBySuffix(const QString& suffix, QFileInfoList& out)
{
    out.clear();
    const QFileInfoList entries =
        QDir(upgradeWorkFolder()).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo& entry : entries) {
        if (entry.isFile() && !entry.isSymLink() && entry.suffix().compare(suffix, Qt::CaseInsensitive) == 0)
            out.append(entry);
    }
    return out.size();
}

PackageOutcome preparePackage(const QString& archive, bool checkModel, int cameraModel)
{
    const QString folder = upgradeWorkFolder();
    if (!QDir().mkpath(folder)) {
        qWarning().noquote() << "Cannot create the upgrade working folder:" << folder;
        return PackageOutcome::PackageFormatWrong;
    }
    removeUpgradeFiles();

    // The package is unpacked beside the working folder first and moved in only when 7-Zip
    // finished without an error: a damaged entry, a full disk or a timeout must not leave partly
    // written files where the upgrade reads them.
    const QString incoming = folder + QStringLiteral(".incoming");
    if ((QFileInfo::exists(incoming) || QFileInfo(incoming).isSymLink()) && !removeEntry(incoming)) {
        qWarning().noquote() << "Cannot remove the previous extraction folder:" << incoming;
        return PackageOutcome::PackageFormatWrong;
    }
    QString message;
    bool extracted = Zip7z::extract(archive, incoming, message);
    if (extracted) {
        const QStringList names =
            QDir(incoming).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        for (const QString& name : names)
            extracted =
                moveEntry(incoming + QLatin1Char('/') + name, folder + QLatin1Char('/') + name) && extracted;
    }
    if ((QFileInfo::exists(incoming) || QFileInfo(incoming).isSymLink()) && !removeEntry(incoming))
        qWarning().noquote() << "Cannot remove the extraction folder:" << incoming;
    if (!extracted) {
        removeUpgradeFiles();
        return PackageOutcome::PackageFormatWrong;
    }

    if (!checkUpgradeFiles()) {
        qWarning().noquote() << "The upgrade package lacks a required entry:" << archive;
        return PackageOutcome::PackageFormatWrong;
    }
    if (!checkModel)
        return PackageOutcome::PackageReady;

    int model = kUnknownModel;
    if (!detectPackageModel(model))
        return PackageOutcome::PackageCorrupted;
    if (model != cameraModel) {
        qWarning().noquote() << "The upgrade package is for model" << model << "but the camera is model"
                             << cameraModel;
        return PackageOutcome::PackageMismatch;
    }
    return PackageOutcome::PackageReady;
}
