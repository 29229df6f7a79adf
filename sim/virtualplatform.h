#pragma once

// The in-process face of the virtual cameras: the device layer's platform interfaces answered
// from a VirtualRig instead of the kernel and the sound server.

#include "device/deviceplatform.h"
#include "device/soundserver.h"
#include "device/videobackend.h"

#include <QString>

#include <memory>

class VirtualRig;

class VirtualVideoBackend : public VideoBackend
{
public:
    explicit VirtualVideoBackend(VirtualRig& rig) : m_rig(rig) {}
    QVector<VideoDeviceInfo> listCaptureDevices() override;
    std::unique_ptr<VideoDeviceHandle> open(const VideoDeviceInfo& device, int* error) override;

private:
    VirtualRig& m_rig;
};

// Each attached camera's speaker is a sink described "<camera name> Speakerphone"; one more sink
// stands for the computer's own audio.
class VirtualSoundServer : public SoundServer
{
public:
    explicit VirtualSoundServer(VirtualRig& rig) : m_rig(rig) {}
    bool listSinks(QVector<SinkInfo>* sinks) override;
    bool setSinkVolume(const QString& sinkName, double volume) override;

private:
    VirtualRig& m_rig;
    double m_builtInVolume = 0.4;
};

class VirtualPlatform : public DevicePlatform
{
public:
    explicit VirtualPlatform(std::unique_ptr<VirtualRig> rig);
    ~VirtualPlatform() override;
    VideoBackend& video() override { return m_video; }
    SoundServer& sound() override { return m_sound; }
    VirtualRig& rig() { return *m_rig; }

private:
    std::unique_ptr<VirtualRig> m_rig;
    VirtualVideoBackend m_video;
    VirtualSoundServer m_sound;
};

// Installs the virtual platform when DECKCTL_VIRTUAL_CAMERA asks for it. Returns false with
// *error set when its configuration cannot be read (nothing is installed then), true otherwise.
bool installVirtualPlatformIfRequested(QString* error);
