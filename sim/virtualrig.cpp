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
    VirtualSoundServerMode soundServer = VirtualSoundServerMode::Answering;
    if (setting == QLatin1String("1")) {
        cameras.append(VirtualCamera(7));
    } else {
        QFile file(setting);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the virtual camera configuration %1: %2")
                         .arg(setting, file.errorString());
            return nullptr;
        }
        const QByteArray content = file.readAll();
        QString reason;
        if (!parseConfiguration(content, &cameras, &reason)) {
            *error = QStringLiteral("virtual camera configuration %1: %2").arg(setting, reason);
            return nullptr;
        }
        const QJsonValue mode = QJsonDocument::fromJson(content).object().value(QLatin1String("soundServer"));
        if (mode.isUndefined() || mode == QLatin1String("answering")) {
            soundServer = VirtualSoundServerMode::Answering;
        } else if (mode == QLatin1String("unreachable")) {
            soundServer = VirtualSoundServerMode::Unreachable;
        } else if (mode == QLatin1String("refusing")) {
            soundServer = VirtualSoundServerMode::Refusing;
        } else {
            *error = QStringLiteral("virtual camera configuration %1: soundServer is one of answering, "
                                    "unreachable, refusing")
                         .arg(setting);
            return nullptr;
        }
    }
    auto rig = std::make_unique<VirtualRig>(cameras, qEnvironmentVariable("DECKCTL_VIRTUAL_STATE"),
                                            qEnvironmentVariable("DECKCTL_VIRTUAL_JOURNAL"));
    rig->setSoundServerMode(soundServer);
    return rig;
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
