#pragma once

// The camera's loudspeaker volume. The speaker is an ordinary output sink of the sound server; it
// is recognised by a fragment of its description (the program uses "Speakerphone").

#include <QString>

#include <atomic>

class SoundServer;

// How a read or a write of the volume ended, for callers that must tell the failures apart
// (getVolume and setVolume fold them into their 0 and -100).
enum class SpeakerStatus
{
    Ok,          // read, or set on every matching sink
    NoSpeaker,   // no sink carries the name
    Unreachable, // the sound server cannot be reached
    Refused,     // the server did not take the new volume of a matching sink (writes only)
};

struct SpeakerReading
{
    SpeakerStatus status = SpeakerStatus::Unreachable;
    int percent = 0; // 0..100; meaningful when status is Ok
};

class SpeakerVolume
{
public:
    // name: the description fragment that marks the camera's sinks (case-sensitive).
    // server: the sound server to use; nullptr means the platform's one.
    explicit SpeakerVolume(const QString& name, SoundServer* server = nullptr);

    // The volume in percent of the first matching sink, truncated and limited to 0..100 (a sink
    // boosted above the nominal volume reads 100). -100 when no sink matches, 0 when the sound
    // server cannot be reached.
    int getVolume();
    // Sets every matching sink to percent (clamped to 0..100). Returns -100 once the sinks have
    // been gone through, matching or not, and 0 when the sound server cannot be reached.
    int setVolume(int percent);

    // The same read and write with the outcome spelled out.
    SpeakerReading readVolume();
    SpeakerStatus writeVolume(int percent);

private:
    SoundServer& server();
    void reportUnreachable();

    QString m_name;
    SoundServer* m_server;
    // Set while the server is unreachable, so that a caller polling the volume does not repeat the
    // warning on every call.
    std::atomic<bool> m_unreachable{false};
};
