#pragma once

// The device layer's video face (device/videobackend.h) over raw UVC class requests: the cameras
// that deckctl-cli's commands list, open and drive are reached through UVCCameraDevices on a
// uvc::UsbBus instead of V4L2. The vendor command blocks still come from UVCExtensionUnit, so
// both command-line programs build the very same blocks; only the carriage differs.
//
// Standard controls keep the kernel's ids and units (V4L2 ids; pan and tilt in arc-seconds, which
// is also what the UVC pan/tilt control carries).

#include "device/deviceplatform.h"
#include "device/hotplug.h"
#include "device/usbcontrolpipe.h"
#include "device/videobackend.h"

#include <memory>

class UVCCameraDevices;

class RawUsbVideoBackend : public VideoBackend
{
public:
    explicit RawUsbVideoBackend(uvc::UsbBus& bus) : m_bus(bus) {}
    QVector<VideoDeviceInfo> listCaptureDevices() override;
    std::unique_ptr<VideoDeviceHandle> open(const VideoDeviceInfo& device, int* error) override;
    QVector<InaccessibleVideoDevice> listInaccessibleDevices() override;
    QString failureHint() override { return m_bus.failureHint(); }

    // The camera control of the first listed camera whose device path contains devicePath,
    // opened; nullptr when none is listed or it cannot be opened. place, when given, receives
    // where it was found, so that it can be opened again after a restart.
    struct Place
    {
        int vendorId = 0;
        int productId = 0;
        QString busPort;
    };
    std::unique_ptr<UVCCameraDevices> openCamera(const QString& devicePath, Place* place = nullptr);

private:
    uvc::UsbBus& m_bus;
};

// A platform whose video face is raw USB; sound, mass storage, preview and hot-plug are the
// inner platform's.
class RawUsbPlatform : public DevicePlatform
{
public:
    RawUsbPlatform(std::unique_ptr<DevicePlatform> inner, std::unique_ptr<uvc::UsbBus> bus);
    ~RawUsbPlatform() override;
    VideoBackend& video() override { return m_video; }
    SoundServer& sound() override { return m_inner->sound(); }
    MassStorageBackend& massStorage() override { return m_inner->massStorage(); }
    PreviewBackend& preview() override { return m_inner->preview(); }
    std::unique_ptr<HotplugMonitor> createHotplugMonitor() override
    {
        return m_inner->createHotplugMonitor();
    }
    DevicePlatform& inner() { return *m_inner; }
    RawUsbVideoBackend& rawVideo() { return m_video; }
    uvc::UsbBus& bus() { return *m_bus; }

private:
    std::unique_ptr<DevicePlatform> m_inner;
    std::unique_ptr<uvc::UsbBus> m_bus;
    RawUsbVideoBackend m_video;
};
