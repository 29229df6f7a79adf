#include "speakervolume.h"

#include "app/logcategories.h"
#include "device/deviceplatform.h"
#include "device/soundserver.h"

#include <QDebug>
#include <QVector>

#include <algorithm>

namespace {
// What getVolume and setVolume report when no sink carries the name.
constexpr int kNoSpeaker = -100;
// What they report when the sound server cannot be reached.
constexpr int kNoServer = 0;

// A sink volume (1.0 = nominal) in whole percent, truncated. A sink can be boosted above its
// nominal volume; the scale ends at 100 all the same.
int toPercent(double volume)
{
    const double percent = volume * 100.0;
    if (!(percent > 0.0)) // also a value that is not a number
        return 0;
    if (percent >= 100.0)
        return 100;
    return static_cast<int>(percent);
}
} // namespace

SpeakerVolume::SpeakerVolume(const QString& name, SoundServer* server) : m_name(name), m_server(server) {}

SoundServer& SpeakerVolume::server()
{
    return m_server ? *m_server : devicePlatform().sound();
}

void SpeakerVolume::reportUnreachable()
{
    if (!m_unreachable.exchange(true))
        qCWarning(lcDevice) << "Sound server not reachable";
    else
        qCDebug(lcDevice) << "Sound server still not reachable";
}

SpeakerReading SpeakerVolume::readVolume()
{
    SpeakerReading reading;
    QVector<SinkInfo> sinks;
    if (!server().listSinks(&sinks)) {
        reportUnreachable();
        reading.status = SpeakerStatus::Unreachable;
        return reading;
    }
    m_unreachable = false;
    for (const SinkInfo& sink : sinks) {
        if (sink.description.contains(m_name, Qt::CaseSensitive)) {
            reading.status = SpeakerStatus::Ok;
            reading.percent = toPercent(sink.volume);
            return reading;
        }
    }
    qCDebug(lcDevice) << "No sound sink for the speaker";
    reading.status = SpeakerStatus::NoSpeaker;
    return reading;
}

SpeakerStatus SpeakerVolume::writeVolume(int percent)
{
    percent = std::clamp(percent, 0, 100);
    SoundServer& soundServer = server();
    QVector<SinkInfo> sinks;
    if (!soundServer.listSinks(&sinks)) {
        reportUnreachable();
        return SpeakerStatus::Unreachable;
    }
    m_unreachable = false;
    bool matched = false;
    bool refused = false;
    for (const SinkInfo& sink : sinks) {
        if (!sink.description.contains(m_name, Qt::CaseSensitive))
            continue;
        matched = true;
        if (!soundServer.setSinkVolume(sink.name, percent / 100.0)) {
            qCWarning(lcDevice).noquote() << "Cannot set the speaker volume of sink" << sink.name;
            refused = true;
        }
    }
    if (!matched) {
        qCDebug(lcDevice) << "No sound sink for the speaker";
        return SpeakerStatus::NoSpeaker;
    }
    return refused ? SpeakerStatus::Refused : SpeakerStatus::Ok;
}

int SpeakerVolume::getVolume()
{
    const SpeakerReading reading = readVolume();
    switch (reading.status) {
    case SpeakerStatus::Ok:
        return reading.percent;
    case SpeakerStatus::Unreachable:
        return kNoServer;
    case SpeakerStatus::NoSpeaker:
    case SpeakerStatus::Refused:
        break;
    }
    return kNoSpeaker;
}

int SpeakerVolume::setVolume(int percent)
{
    return writeVolume(percent) == SpeakerStatus::Unreachable ? kNoServer : kNoSpeaker;
}
