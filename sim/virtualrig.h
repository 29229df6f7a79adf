#pragma once

// A set of virtual cameras with their storage and journal. The state may live in a file, so
// that separate processes (a script's successive deckctl-cli calls, the window and the tool)
// see one and the same camera; every access then reloads and stores it under a file lock.
// The journal gets one JSON object per line for every request a camera receives.

#include "sim/virtualcamera.h"

#include <QMutex>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

// How the virtual sound server behaves: it answers, it cannot be reached, or it refuses every
// volume change. Set by "soundServer" in the configuration file ("answering", "unreachable",
// "refusing"); it belongs to the machine, not to a camera, and is not kept in the state file.
enum class VirtualSoundServerMode
{
    Answering,
    Unreachable,
    Refusing,
};

class VirtualRig
{
public:
    // A state file that exists is read instead of cameras. The state and the journal must be
    // writable and a state file readable: otherwise the rig is not valid (errorString()).
    VirtualRig(QVector<VirtualCamera> cameras, QString statePath = QString(),
               QString journalPath = QString());

    // False once the state or the journal could not be read or written; the first reason stays.
    bool isValid() const;
    QString errorString() const;

    // Builds the rig the environment asks for: DECKCTL_VIRTUAL_CAMERA ("1" for one default
    // camera, or a JSON file {"cameras": [{"model": 7}, ...], "soundServer": "answering"}),
    // DECKCTL_VIRTUAL_STATE (state file) and DECKCTL_VIRTUAL_JOURNAL (journal file). Returns
    // nullptr with *error set when the configuration cannot be read or is refused, or when the
    // state or the journal cannot be used; nullptr with an empty error when no virtual camera is
    // asked for.
    static std::unique_ptr<VirtualRig> fromEnvironment(QString* error);
    // Cameras from a configuration's JSON document; false with *error naming the entry and key
    // of the first value refused (wrong type, out of range, two cameras on one port).
    static bool parseConfiguration(const QByteArray& json, QVector<VirtualCamera>* cameras, QString* error);

    // Runs fn on camera index with the current state; events fn appends go to the journal,
    // tagged with the camera index, and the state is stored afterwards. Returns fn's result,
    // -ENODEV when there is no such camera, or -EIO when the state or the journal cannot be read
    // or written (the reason is logged and kept in errorString()).
    int withCamera(int index, const std::function<int(VirtualCamera&, QVector<JournalEvent>*)>& fn);
    VirtualSoundServerMode soundServerMode() const { return m_soundServerMode; }
    void setSoundServerMode(VirtualSoundServerMode mode) { m_soundServerMode = mode; }

    // A consistent copy of all cameras.
    QVector<VirtualCamera> cameras();
    // Changes several cameras at once (for test set-up: unplugging, streaming, faults).
    void modify(const std::function<void(QVector<VirtualCamera>&)>& fn);
    // Appends events that did not come from a camera request.
    void journal(const QVector<JournalEvent>& events);

    // Attaches a new camera made from entry, the keys of a configuration's camera entry (an
    // unknown key is refused). Without "port" it takes the first port "1-N" that no camera has;
    // on the port of an unplugged camera it takes that camera's place and index; a port that an
    // attached camera holds is refused. Returns the camera's index, or -1 with *error set
    // (nothing changes then). Journals a "plug" event.
    int plug(const QJsonObject& entry, QString* error);
    // Unplugs camera index as a pulled cable does (VirtualCamera::unplug(): it keeps its index
    // and its state). False with *error set when there is no such camera or it is not attached.
    // Journals an "unplug" event.
    bool unplug(int index, QString* error);

    // The state file; empty when the state lives in this process only.
    QString statePath() const { return m_statePath; }
    // Changes whenever the cameras may have changed: a change made through this rig, or a state
    // file that another process replaced (its inode, size and modification time). Cheap enough
    // to poll: no lock and no reading of the file.
    QByteArray changeToken() const;

private:
    class FileLock;
    // Each returns false after fail() with the reason.
    bool load();
    bool store();
    bool writeJournal(const QVector<JournalEvent>& events);
    void fail(const QString& error);

    mutable QMutex m_lock; // guards m_cameras, m_error, m_changes and the files within this process
    QString m_error;
    QVector<VirtualCamera> m_cameras;
    QString m_statePath;
    QString m_journalPath;
    quint64 m_changes = 0; // stores made through this rig
    VirtualSoundServerMode m_soundServerMode = VirtualSoundServerMode::Answering; // set before use
};
