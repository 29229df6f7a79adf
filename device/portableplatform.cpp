#include "portableplatform.h"

#include "device/massstorage.h"
#include "device/previewbackend.h"
#include "device/soundserver.h"
#include "device/videobackend.h"

#include <cerrno>

namespace {

class NoVideoBackend : public VideoBackend
{
public:
    QVector<VideoDeviceInfo> listCaptureDevices() override { return {}; }
    std::unique_ptr<VideoDeviceHandle> open(const VideoDeviceInfo& /*device*/, int* error) override
    {
        if (error)
            *error = -ENODEV;
        return nullptr;
    }
};

// Reachable, with no sinks: a speaker is reported as not found, not as a server fault.
class NoSoundServer : public SoundServer
{
public:
    bool listSinks(QVector<SinkInfo>* sinks) override
    {
        if (sinks)
            sinks->clear();
        return true;
    }
    bool setSinkVolume(const QString& /*sinkName*/, double /*volume*/) override { return false; }
};

class NoMassStorageBackend : public MassStorageBackend
{
public:
    QVector<MassStorageCandidate> listDevices() override { return {}; }
    std::unique_ptr<MassStorageDevice> open(const QString& /*key*/, int* error) override
    {
        if (error)
            *error = -ENODEV;
        return nullptr;
    }
};

// An input with an empty url, whose opening fails.
class NoPreviewBackend : public PreviewBackend
{
public:
    PreviewInput input(const QString& /*friendlyName*/) override { return PreviewInput{}; }
};

class PortablePlatform : public DevicePlatform
{
public:
    VideoBackend& video() override { return m_video; }
    SoundServer& sound() override { return m_sound; }
    MassStorageBackend& massStorage() override { return m_massStorage; }
    PreviewBackend& preview() override { return m_preview; }

private:
    NoVideoBackend m_video;
    NoSoundServer m_sound;
    NoMassStorageBackend m_massStorage;
    NoPreviewBackend m_preview;
};

} // namespace

std::unique_ptr<DevicePlatform> createPortablePlatform()
{
    return std::make_unique<PortablePlatform>();
}
