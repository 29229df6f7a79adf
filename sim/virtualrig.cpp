#include "virtualrig.h"

#include "app/logcategories.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QMutexLocker>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The modification time of a stat() result; macOS names the field st_mtimespec.
const struct timespec& modificationTime(const struct stat& info)
{
#if defined(__APPLE__)
    return info.st_mtimespec;
#else
    return info.st_mtim;
#endif
}

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
    // A state file left by an earlier run wins over the configuration. It is stored again at
    // once, so that a state that cannot be written shows now and not at the first request.
    if (!m_statePath.isEmpty() && QFileInfo::exists(m_statePath) && !load())
        return;
    if (!store())
        return;
    // The same for the journal (created when it does not exist).
    if (!m_journalPath.isEmpty()) {
        QFile journal(m_journalPath);
        if (!journal.open(QIODevice::WriteOnly | QIODevice::Append))
            fail(QStringLiteral("cannot write the virtual camera journal %1: %2")
                     .arg(m_journalPath, journal.errorString()));
    }
}

bool VirtualRig::isValid() const
{
    QMutexLocker locker(&m_lock);
    return m_error.isEmpty();
}

QString VirtualRig::errorString() const
{
    QMutexLocker locker(&m_lock);
    return m_error;
}

void VirtualRig::fail(const QString& error)
{
    qCCritical(lcSim).noquote() << error;
    if (m_error.isEmpty())
        m_error = error;
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
    const QJsonValue list = document.object().value(QLatin1String("cameras"));
    if (!list.isArray()) {
        *error = QStringLiteral("\"cameras\" must be an array of camera objects");
        return false;
    }
    const QJsonArray entries = list.toArray();
    QMap<QString, int> ports; // camera index by port
    for (int i = 0; i < entries.size(); ++i) {
        const QString path = QStringLiteral("cameras[%1]").arg(i);
        if (!entries.at(i).isObject()) {
            *error = QStringLiteral("\"%1\" must be an object").arg(path);
            return false;
        }
        const QJsonObject entry = entries.at(i).toObject();
        VirtualCamera camera;
        if (!VirtualCamera::fromJson(entry, &camera, error, path))
            return false;
        if (!entry.contains(QLatin1String("port")))
            camera.setBusPort(QStringLiteral("1-%1").arg(i + 1));
        // One USB port holds one device.
        if (ports.contains(camera.busPort())) {
            *error = QStringLiteral("\"%1.port\": cameras[%2] is on port %3 already")
                         .arg(path)
                         .arg(ports.value(camera.busPort()))
                         .arg(camera.busPort());
            return false;
        }
        ports.insert(camera.busPort(), i);
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
    if (!rig->isValid()) {
        *error = rig->errorString();
        return nullptr;
    }
    return rig;
}

bool VirtualRig::load()
{
    QFile file(m_statePath);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot read the virtual camera state %1: %2")
                 .arg(m_statePath, file.errorString()));
        return false;
    }
    const QByteArray content = file.readAll();
    // An empty file is a new state (a temporary file made for it): the configuration stands.
    if (content.trimmed().isEmpty())
        return true;
    QVector<VirtualCamera> cameras;
    QString error;
    if (!parseConfiguration(content, &cameras, &error)) {
        fail(QStringLiteral("virtual camera state %1 is corrupt: %2").arg(m_statePath, error));
        return false;
    }
    m_cameras = cameras;
    return true;
}

bool VirtualRig::store()
{
    ++m_changes;
    if (m_statePath.isEmpty())
        return true;
    QJsonArray entries;
    for (const VirtualCamera& camera : m_cameras)
        entries.append(camera.toJson());
    QJsonObject root;
    root.insert(QStringLiteral("cameras"), entries);
    QSaveFile file(m_statePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(root).toJson()) < 0 || !file.commit()) {
        fail(QStringLiteral("cannot write the virtual camera state %1: %2")
                 .arg(m_statePath, file.errorString()));
        return false;
    }
    return true;
}

bool VirtualRig::writeJournal(const QVector<JournalEvent>& events)
{
    if (m_journalPath.isEmpty() || events.isEmpty())
        return true;
    QByteArray lines;
    for (const JournalEvent& e : events)
        lines += QJsonDocument(e).toJson(QJsonDocument::Compact) + '\n';
    QFile file(m_journalPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(lines) != lines.size()) {
        fail(QStringLiteral("cannot write the virtual camera journal %1: %2")
                 .arg(m_journalPath, file.errorString()));
        return false;
    }
    return true;
}

int VirtualRig::withCamera(int index, const std::function<int(VirtualCamera&, QVector<JournalEvent>*)>& fn)
{
    QMutexLocker locker(&m_lock);
    FileLock lock(m_statePath);
    // A state that cannot be read or written fails the request as a device error would: the
    // camera's state is unknown, or what the request changed would be lost.
    if (!m_statePath.isEmpty() && !load())
        return -EIO;
    if (index < 0 || index >= m_cameras.size())
        return -ENODEV;
    QVector<JournalEvent> events;
    const int result = fn(m_cameras[index], &events);
    for (JournalEvent& e : events)
        e.insert(QStringLiteral("camera"), index);
    if (!writeJournal(events) || !store())
        return -EIO;
    return result;
}

QVector<VirtualCamera> VirtualRig::cameras()
{
    QMutexLocker locker(&m_lock);
    FileLock lock(m_statePath);
    // On a state that cannot be read the cameras stay as they were last seen; the error is kept.
    if (!m_statePath.isEmpty())
        load();
    return m_cameras;
}

void VirtualRig::modify(const std::function<void(QVector<VirtualCamera>&)>& fn)
{
    QMutexLocker locker(&m_lock);
    FileLock lock(m_statePath);
    if (!m_statePath.isEmpty() && !load())
        return;
    fn(m_cameras);
    store();
}

void VirtualRig::journal(const QVector<JournalEvent>& events)
{
    QMutexLocker locker(&m_lock);
    writeJournal(events);
}

int VirtualRig::plug(const QJsonObject& entry, QString* error)
{
    const QStringList known = VirtualCamera::configurationKeys();
    for (auto it = entry.begin(); it != entry.end(); ++it) {
        if (!known.contains(it.key())) {
            *error = QStringLiteral("unknown key \"%1\"; keys: %2")
                         .arg(it.key(), known.join(QStringLiteral(", ")));
            return -1;
        }
    }
    VirtualCamera camera;
    if (!VirtualCamera::fromJson(entry, &camera, error, QString()))
        return -1;

    QMutexLocker locker(&m_lock);
    FileLock lock(m_statePath);
    if (!m_statePath.isEmpty() && !load()) {
        *error = m_error;
        return -1;
    }
    int index = m_cameras.size();
    if (entry.contains(QLatin1String("port"))) {
        for (int i = 0; i < m_cameras.size(); ++i) {
            if (m_cameras.at(i).busPort() != camera.busPort())
                continue;
            if (m_cameras.at(i).attached()) {
                *error = QStringLiteral("port %1 holds camera %2 already").arg(camera.busPort()).arg(i);
                return -1;
            }
            index = i; // the unplugged camera's place
        }
    } else {
        for (int n = 1;; ++n) {
            const QString port = QStringLiteral("1-%1").arg(n);
            if (std::none_of(m_cameras.begin(), m_cameras.end(),
                             [&port](const VirtualCamera& c) { return c.busPort() == port; })) {
                camera.setBusPort(port);
                break;
            }
        }
    }
    const QVector<VirtualCamera> before = m_cameras;
    if (index == m_cameras.size())
        m_cameras.append(camera);
    else
        m_cameras[index] = camera;
    JournalEvent event;
    event.insert(QStringLiteral("event"), QStringLiteral("plug"));
    event.insert(QStringLiteral("camera"), index);
    event.insert(QStringLiteral("port"), camera.busPort());
    if (!store() || !writeJournal({event})) {
        m_cameras = before;
        *error = m_error;
        return -1;
    }
    return index;
}

bool VirtualRig::unplug(int index, QString* error)
{
    QMutexLocker locker(&m_lock);
    FileLock lock(m_statePath);
    if (!m_statePath.isEmpty() && !load()) {
        *error = m_error;
        return false;
    }
    if (index < 0 || index >= m_cameras.size()) {
        *error = QStringLiteral("no camera with index %1 (there are %2)").arg(index).arg(m_cameras.size());
        return false;
    }
    if (!m_cameras.at(index).attached()) {
        *error = QStringLiteral("camera %1 is unplugged already").arg(index);
        return false;
    }
    m_cameras[index].unplug();
    JournalEvent event;
    event.insert(QStringLiteral("event"), QStringLiteral("unplug"));
    event.insert(QStringLiteral("camera"), index);
    if (!store() || !writeJournal({event})) {
        *error = m_error;
        return false;
    }
    return true;
}

QByteArray VirtualRig::changeToken() const
{
    quint64 changes = 0;
    {
        QMutexLocker locker(&m_lock);
        changes = m_changes;
    }
    QByteArray token = QByteArray::number(changes);
    struct stat info = {};
    if (!m_statePath.isEmpty() && ::stat(QFile::encodeName(m_statePath).constData(), &info) == 0) {
        for (const long long field :
             {static_cast<long long>(info.st_ino), static_cast<long long>(info.st_size),
              static_cast<long long>(modificationTime(info).tv_sec),
              static_cast<long long>(modificationTime(info).tv_nsec)})
            token += ':' + QByteArray::number(field);
    }
    return token;
}
