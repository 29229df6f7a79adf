// The Linux platform: the kernel's video, mass-storage and hot-plug interfaces and the sound
// server; the default platform of a build with the Linux bindings.

#include "device/deviceplatform.h"
#include "device/hotplug.h"
#include "device/linuxhotplug.h"
#include "device/linuxmassstorage.h"
#include "device/linuxvideobackend.h"
#include "device/previewbackend.h"
#include "device/pulsesoundserver.h"

namespace {

class LinuxPlatform : public DevicePlatform
{
public:
    VideoBackend& video() override { return m_video; }
    SoundServer& sound() override { return m_sound; }
    MassStorageBackend& massStorage() override { return m_massStorage; }
    PreviewBackend& preview() override { return m_preview; }
    std::unique_ptr<HotplugMonitor> createHotplugMonitor() override
    {
        return std::make_unique<LinuxHotplugMonitor>();
    }

private:
    LinuxVideoBackend m_video;
    PulseSoundServer m_sound;
    LinuxMassStorageBackend m_massStorage;
    CaptureNodePreviewBackend m_preview{m_video};
};

} // namespace

std::unique_ptr<DevicePlatform> createLinuxPlatform()
{
    return std::make_unique<LinuxPlatform>();
}

std::unique_ptr<DevicePlatform> createDefaultDevicePlatform()
{
    return createLinuxPlatform();
}
