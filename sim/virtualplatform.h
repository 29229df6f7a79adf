#pragma once

// The in-process face of the virtual cameras: the device layer's platform interfaces answered
// from a VirtualRig instead of the kernel and the sound server.

#include "device/deviceplatform.h"
#include "device/massstorage.h"
#include "device/previewbackend.h"
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
    QVector<InaccessibleVideoDevice> listInaccessibleDevices() override;

private:
    VirtualRig& m_rig;
};

// Each attached camera's speaker is a sink described "<camera name> Speakerphone"; one more sink
// stands for the computer's own audio. The rig's sound-server mode makes it unreachable or
// refusing.
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

// Every attached camera in a boot stage is a mass-storage device; its key names the camera and
// its USB generation, so a device that re-enumerated needs a new discovery. The opened devices
// speak the bulk-only transport with the camera's loader (virtualloader.h) and refer to the rig:
// close them before the rig goes.
class VirtualMassStorageBackend : public MassStorageBackend
{
public:
    explicit VirtualMassStorageBackend(VirtualRig& rig) : m_rig(rig) {}
    QVector<MassStorageCandidate> listDevices() override;
    std::unique_ptr<MassStorageDevice> open(const QString& key, int* error) override;
    int checkAccess(const QString& key) override;

private:
    VirtualRig& m_rig;
};

// A present camera's preview is the generated test picture (testPictureInput()), found by the
// listed name in the rig's order, as the virtual listing names each present camera's capture
// device after the camera; its "streaming" flag follows the stream. Any other name is a capture
// node of the virtual listing.
class VirtualPreviewBackend : public PreviewBackend
{
public:
    VirtualPreviewBackend(VirtualRig& rig, VideoBackend& video) : m_rig(rig), m_video(video) {}
    PreviewInput input(const QString& friendlyName) override;
    void setStreaming(int camera, bool on) override;
    bool present(int camera) override;

private:
    VirtualRig& m_rig;
    VideoBackend& m_video;
};

class VirtualPlatform : public DevicePlatform
{
public:
    explicit VirtualPlatform(std::unique_ptr<VirtualRig> rig);
    ~VirtualPlatform() override;
    VideoBackend& video() override { return m_video; }
    SoundServer& sound() override { return m_sound; }
    MassStorageBackend& massStorage() override { return m_massStorage; }
    PreviewBackend& preview() override { return m_preview; }
    // Follows the rig's cameras (virtualhotplug.h); the platform must outlive it.
    std::unique_ptr<HotplugMonitor> createHotplugMonitor() override;
    VirtualRig& rig() { return *m_rig; }

private:
    std::unique_ptr<VirtualRig> m_rig;
    VirtualVideoBackend m_video;
    VirtualSoundServer m_sound;
    VirtualMassStorageBackend m_massStorage;
    VirtualPreviewBackend m_preview;
};

// Installs the virtual platform when DECKCTL_VIRTUAL_CAMERA asks for it. Returns false with
// *error set when its configuration cannot be read (nothing is installed then), true otherwise.
bool installVirtualPlatformIfRequested(QString* error);
