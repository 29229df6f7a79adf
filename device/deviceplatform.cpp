#include "deviceplatform.h"

#include "device/hotplug.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

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
        g_platform = createDefaultDevicePlatform();
    return *g_platform;
}

void installDevicePlatform(std::unique_ptr<DevicePlatform> platform)
{
    QMutexLocker locker(&g_platformLock);
    g_platform = std::move(platform);
}
