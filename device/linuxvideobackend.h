#pragma once

// The Linux binding of the video side: udev lists the video4linux nodes, V4L2 tells capture
// nodes from metadata nodes and carries the standard controls, and the uvcvideo driver's
// UVCIOC_CTRL_QUERY reaches the extension unit found in the USB descriptors.

#include "device/videobackend.h"

// One capture node of the listing with the sysfs path of its video4linux device, by which a
// hot-plug event names the node (linuxhotplug.h).
struct LinuxCaptureNode
{
    VideoDeviceInfo info;
    QString syspath;
};

class LinuxVideoBackend : public VideoBackend
{
public:
    QVector<VideoDeviceInfo> listCaptureDevices() override;
    // The same listing, in the same order and with the same device paths, with each node's
    // sysfs path.
    static QVector<LinuxCaptureNode> listCaptureNodes();

private:
    // The listing; denied (when given) gets the USB video nodes that could not be opened for
    // lack of permission.
    static QVector<LinuxCaptureNode> listNodes(QVector<InaccessibleVideoDevice>* denied);

public:
    std::unique_ptr<VideoDeviceHandle> open(const VideoDeviceInfo& device, int* error) override;
    QVector<InaccessibleVideoDevice> listInaccessibleDevices() override;
};
