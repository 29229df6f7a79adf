#include "deviceplatform.h"

#include "device/hotplug.h"
#include "device/linuxhotplug.h"
#include "device/linuxmassstorage.h"
#include "device/linuxvideobackend.h"
#include "device/previewbackend.h"
#include "device/pulsesoundserver.h"

#include <QMutex>
#include <QMutexLocker>

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

QMutex g_platformLock; // guards g_platform
std::unique_ptr<DevicePlatform> g_platform;

} // namespace

std::unique_ptr<HotplugMonitor> DevicePlatform::createHotplugMonitor()
{
    return std::make_unique<SilentHotplugMonitor>();
}

DevicePlatform& devicePlatform()
{
    QMutexLocker locker(&g_platformLock);
    if (!g_platform)
        g_platform = std::make_unique<LinuxPlatform>();
    return *g_platform;
}

void installDevicePlatform(std::unique_ptr<DevicePlatform> platform)
{
    QMutexLocker locker(&g_platformLock);
    g_platform = std::move(platform);
}

std::unique_ptr<DevicePlatform> createLinuxPlatform()
{
    return std::make_unique<LinuxPlatform>();
}
