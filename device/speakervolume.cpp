#include "speakervolume.h"

#include "device/deviceplatform.h"
#include "device/soundserver.h"

#include <QDebug>
#include <QVector>

#include <algorithm>

namespace {
// What the reads and writes report when no sink carries the name.
constexpr int kNoSpeaker = -100;
// What they report when the sound server cannot be reached.
constexpr int kNoServer = 0;
} // namespace

SpeakerVolume::SpeakerVolume(const QString& name, SoundServer* server) : m_name(name), m_server(server) {}

SoundServer& SpeakerVolume::server()
{
    return m_server ? *m_server : devicePlatform().sound();
}

void SpeakerVolume::reportUnreachable()
{
    if (!m_unreachable.exchange(true))
        qWarning() << "Sound server not reachable";
    else
        qDebug() << "Sound server still not reachable";
}

int SpeakerVolume::getVolume()
{
    QVector<SinkInfo> sinks;
    if (!server().listSinks(&sinks)) {
        reportUnreachable();
        return kNoServer;
    }
    m_unreachable = false;
    for (const SinkInfo& sink : sinks) {
        if (sink.description.contains(m_name, Qt::CaseSensitive))
            return static_cast<int>(sink.volume * 100.0);
    }
    qDebug() << "No sound sink for the speaker";
    return kNoSpeaker;
}

int SpeakerVolume::setVolume(int percent)
{
    percent = std::clamp(percent, 0, 100);
    SoundServer& soundServer = server();
    QVector<SinkInfo> sinks;
    if (!soundServer.listSinks(&sinks)) {
        reportUnreachable();
        return kNoServer;
    }
    m_unreachable = false;
    bool matched = false;
    for (const SinkInfo& sink : sinks) {
        if (!sink.description.contains(m_name, Qt::CaseSensitive))
            continue;
        matched = true;
        if (!soundServer.setSinkVolume(sink.name, percent / 100.0))
            qWarning().noquote() << "Cannot set the speaker volume of sink" << sink.name;
    }
    if (!matched)
        qDebug() << "No sound sink for the speaker";
    return kNoSpeaker;
}
