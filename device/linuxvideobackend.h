#pragma once

// The Linux binding of the video side: udev lists the video4linux nodes, V4L2 tells capture
// nodes from metadata nodes and carries the standard controls, and the uvcvideo driver's
// UVCIOC_CTRL_QUERY reaches the extension unit found in the USB descriptors.

#include "device/videobackend.h"

class LinuxVideoBackend : public VideoBackend
{
public:
    QVector<VideoDeviceInfo> listCaptureDevices() override;
    std::unique_ptr<VideoDeviceHandle> open(const VideoDeviceInfo& device, int* error) override;
};
