#pragma once

// Which implementation of the platform bindings the device layer uses: the Linux kernel and
// sound server by default (where the build has them), or another one (the virtual camera) that a
// program's entry (programs/) installs at start. Nothing above the device layer names an
// implementation.

#include <memory>

class HotplugMonitor;
class MassStorageBackend;
class PreviewBackend;
class SoundServer;
class VideoBackend;

class DevicePlatform
{
public:
    virtual ~DevicePlatform() = default;
    virtual VideoBackend& video() = 0;
    virtual SoundServer& sound() = 0;
    // Boot-stage devices for the mass-storage upgrade (massstorage.h).
    virtual MassStorageBackend& massStorage() = 0;
    // What the preview opens for a camera (previewbackend.h).
    virtual PreviewBackend& preview() = 0;
    // A new watcher of camera arrival and removal (hotplug.h) for the caller to own and start.
    // The default never reports anything.
    virtual std::unique_ptr<HotplugMonitor> createHotplugMonitor();
};

// The platform in use; the default one unless another was installed. Thread-safe.
DevicePlatform& devicePlatform();
// Replaces the platform for the rest of the process (or until the next call). Call it before any
// device object exists; passing nullptr goes back to the default platform.
void installDevicePlatform(std::unique_ptr<DevicePlatform> platform);
// A new default platform: the Linux one (linuxplatform.cpp), or in a build without the Linux
// bindings (DECKCTL_RAWUSB_ONLY) the portable one that finds nothing (portableplatform.h).
std::unique_ptr<DevicePlatform> createDefaultDevicePlatform();
// A new Linux platform (the kernel and the sound server), for a platform that wraps it. Not in a
// DECKCTL_RAWUSB_ONLY build.
std::unique_ptr<DevicePlatform> createLinuxPlatform();
