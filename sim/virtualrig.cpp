#include "virtualrig.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// The extension-unit ids a configuration may give.
constexpr int kMinUnitId = 1;
constexpr int kMaxUnitId = 255;
// The speaker volumes a configuration may give, as fractions of the nominal volume (a sound
// server's own range ends well below the upper bound).
constexpr double kMaxSpeakerVolume = 10.0;

} // namespace

// An exclusive lock on "<state>.lock" that serialises processes sharing the state file.
class VirtualRig::FileLock
{
public:
    explicit FileLock(const QString& statePath)
    {
        if (statePath.isEmpty())
            return;
        m_fd = ::open(QFile::encodeName(statePath + QStringLiteral(".lock")).constData(),
                      O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_EX);
    }
    ~FileLock()
    {
        if (m_fd >= 0)
            ::close(m_fd); // releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int m_fd = -1;
};

VirtualRig::VirtualRig(QVector<VirtualCamera> cameras, QString statePath, QString journalPath)
    : m_cameras(std::move(cameras)), m_statePath(std::move(statePath)), m_journalPath(std::move(journalPath))
{
    QMutexLocker locker(&m_lock);
    FileLock lock(m_statePath);
    // A state file left by an earlier run wins over the configuration.
    if (!m_statePath.isEmpty() && QFileInfo::exists(m_statePath))
        load();
    else
        store();
}

bool VirtualRig::parseConfiguration(const QByteArray& json, QVector<VirtualCamera>* cameras, QString* error)
{
    cameras->clear();
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject()) {
        *error = QStringLiteral("not a JSON object: %1").arg(parseError.errorString());
        return false;
    }
    const QJsonArray entries = document.object().value(QLatin1String("cameras")).toArray();
    for (int i = 0; i < entries.size(); ++i) {
        if (!entries.at(i).isObject()) {
            *error = QStringLiteral("camera %1 is not an object").arg(i);
            return false;
        }
        const QJsonObject entry = entries.at(i).toObject();
        const int model = entry.value(QLatin1String("model")).toInt(7);
        if (model < 0 || model > 10) {
            *error = QStringLiteral("camera %1: model %2 is not in the catalogue (0-10)").arg(i).arg(model);
            return false;
        }
        // A unit id is one byte, and 0 means "undefined"; null or -1 (as the state stores it) is a
        // camera without the unit, no key the default unit.
        const QJsonValue unit = entry.value(QLatin1String("extensionUnit"));
        if (unit.isDouble() && unit.toDouble() != -1 &&
            (unit.toDouble() < kMinUnitId || unit.toDouble() > kMaxUnitId)) {
            *error = QStringLiteral("camera %1: extensionUnit %2 is not a unit id (%3-%4)")
                         .arg(i)
                         .arg(unit.toDouble())
                         .arg(kMinUnitId)
                         .arg(kMaxUnitId);
            return false;
        }
        const QJsonValue volume = entry.value(QLatin1String("speakerVolume"));
        if (!volume.isUndefined() &&
            !(volume.toDouble(-1) >= 0 && volume.toDouble(-1) <= kMaxSpeakerVolume)) {
            *error = QStringLiteral("camera %1: speakerVolume is not a volume (0-%2)")
                         .arg(i)
                         .arg(kMaxSpeakerVolume);
            return false;
        }
        VirtualCamera camera = VirtualCamera::fromJson(entry);
        if (!entry.contains(QLatin1String("port")))
            camera.setBusPort(QStringLiteral("1-%1").arg(i + 1));
        cameras->append(camera);
    }
    return true;
}

std::unique_ptr<VirtualRig> VirtualRig::fromEnvironment(QString* error)
{
    error->clear();
    const QString setting = qEnvironmentVariable("DECKCTL_VIRTUAL_CAMERA");
    if (setting.isEmpty() || setting == QLatin1String("0"))
        return nullptr;
    QVector<VirtualCamera> cameras;
    if (setting == QLatin1String("1")) {
        cameras.append(VirtualCamera(7));
    } else {
        QFile file(setting);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the virtual camera configuration %1: %2")
                         .arg(setting, file.errorString());
            return nullptr;
        }
        QString reason;
        if (!parseConfiguration(file.readAll(), &cameras, &reason)) {
            *error = QStringLiteral("virtual camera configuration %1: %2").arg(setting, reason);
            return nullptr;
        }
    }
    return std::make_unique<VirtualRig>(cameras, qEnvironmentVariable("DECKCTL_VIRTUAL_STATE"),
                                        qEnvironmentVariable("DECKCTL_VIRTUAL_JOURNAL"));
}

void VirtualRig::load()
{
    QFile file(m_statePath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QVector<VirtualCamera> cameras;
    QString error;
    const QByteArray content = file.readAll();
    if (content.trimmed().isEmpty())
        return;
    if (!parseConfiguration(content, &cameras, &error)) {
        qWarning().noquote() << "Virtual camera state" << m_statePath << "unreadable:" << error;
        return;
    }
    m_cameras = cameras;
}

void VirtualRig::store()
{
    if (m_statePath.isEmpty())
        return;
    QJsonArray entries;
    for (const VirtualCamera& camera : m_cameras)
        entries.append(camera.toJson());
    QJsonObject root;
    root.insert(QStringLiteral("cameras"), entries);
    QSaveFile file(m_statePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(root).toJson()) < 0 || !file.commit())
        qWarning().noquote() << "Cannot store the virtual camera state in" << m_statePath;
}

void VirtualRig::writeJournal(const QVector<JournalEvent>& events)
{
    if (m_journalPath.isEmpty() || events.isEmpty())
        return;
    QFile file(m_journalPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QByteArray lines;
    for (const JournalEvent& e : events)
        lines += QJsonDocument(e).toJson(QJsonDocument::Compact) + '\n';
    file.write(lines);
}

int VirtualRig::withCamera(int index, const std::function<int(VirtualCamera&, QVector<JournalEvent>*)>& fn)
{
    QMutexLocker locker(&m_lock);
    FileLock lock(m_statePath);
    if (!m_statePath.isEmpty())
        load();
    if (index < 0 || index >= m_cameras.size())
        return -ENODEV;
    QVector<JournalEvent> events;
    const int result = fn(m_cameras[index], &events);
    for (JournalEvent& e : events)
        e.insert(QStringLiteral("camera"), index);
    writeJournal(events);
    store();
    return result;
}

QVector<VirtualCamera> VirtualRig::cameras()
{
    QMutexLocker locker(&m_lock);
    FileLock lock(m_statePath);
    if (!m_statePath.isEmpty())
        load();
    return m_cameras;
}

void VirtualRig::modify(const std::function<void(QVector<VirtualCamera>&)>& fn)
{
    QMutexLocker locker(&m_lock);
    FileLock lock(m_statePath);
    if (!m_statePath.isEmpty())
        load();
    fn(m_cameras);
    store();
}

void VirtualRig::journal(const QVector<JournalEvent>& events)
{
    QMutexLocker locker(&m_lock);
    writeJournal(events);
}
