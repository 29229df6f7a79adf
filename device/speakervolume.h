#pragma once

// The camera's loudspeaker volume. The speaker is an ordinary output sink of the sound server; it
// is recognised by a fragment of its description (the program uses "Speakerphone").

#include <QString>

#include <atomic>

class SoundServer;

class SpeakerVolume
{
public:
    // name: the description fragment that marks the camera's sinks (case-sensitive).
    // server: the sound server to use; nullptr means the platform's one.
    explicit SpeakerVolume(const QString& name, SoundServer* server = nullptr);

    // The volume in percent of the first matching sink, truncated. -100 when no sink matches, 0
    // when the sound server cannot be reached.
    int getVolume();
    // Sets every matching sink to percent (clamped to 0..100). Returns -100 once the sinks have
    // been gone through, matching or not, and 0 when the sound server cannot be reached.
    int setVolume(int percent);

private:
    SoundServer& server();
    void reportUnreachable();

    QString m_name;
    SoundServer* m_server;
    // Set while the server is unreachable, so that a caller polling the volume does not repeat the
    // warning on every call.
    std::atomic<bool> m_unreachable{false};
};
