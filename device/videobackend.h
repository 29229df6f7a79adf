#pragma once

// The video side of the platform as the camera-control objects need it: list the capture
// devices, open one, reach its vendor extension unit and its standard controls.
//
// Units and identifiers follow the kernel's V4L2/UVC interfaces (control ids are V4L2 ids, pan
// and tilt in arc-seconds). Functions return 0 or a negative errno and do not log; the caller,
// who knows what it was doing, logs once.

#include <QString>
#include <QVector>

#include <array>
#include <cstdint>
#include <memory>

// One capture device as the listing reports it.
struct VideoDeviceInfo
{
    QString friendlyName; // the driver's card name, which carries the product name
    // The device path in the shape
    // "\\?\usb#vid_1d6b&pid_0113&mi_00#<serial>&<bus-port>&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\global":
    // the part between the first and the last "#" is the camera's id. Lower case, stable for the
    // same camera on the same port; the last "&" field numbers the device's capture nodes.
    QString devicePath;
    QString node; // the device node to open, for example /dev/video0
};

// A USB video node that the listing could not open because this user may not (its permissions):
// not a listed camera, but worth telling the user about.
struct InaccessibleVideoDevice
{
    QString node;    // for example /dev/video0
    QString product; // the USB device's product string
    int vendorId = 0;
    int productId = 0;
    int error = 0; // -EACCES or -EPERM
};

// UVC extension-unit request types (the UVC class request codes).
enum class XuRequest : std::uint8_t
{
    SetCur = 0x01,
    GetCur = 0x81,
    GetLen = 0x85,
    GetInfo = 0x86,
};

struct ControlRange
{
    std::int32_t minimum = 0;
    std::int32_t maximum = 0;
    std::int32_t step = 0;
    std::int32_t defaultValue = 0;
};

// An opened capture device.
class VideoDeviceHandle
{
public:
    virtual ~VideoDeviceHandle() = default;
    // The unit id of the extension unit whose guidExtensionCode is guid; -ENOENT when there is none.
    virtual int findExtensionUnit(const std::array<std::uint8_t, 16>& guid) = 0;
    // One extension-unit request on the given unit.
    virtual int xuQuery(int unit, int selector, XuRequest request, std::uint8_t* data,
                        std::uint16_t size) = 0;
    // Standard controls by V4L2 id, in the kernel's units.
    virtual int queryControl(std::uint32_t id, ControlRange* range) = 0;
    virtual int getControl(std::uint32_t id, std::int32_t* value) = 0;
    virtual int setControl(std::uint32_t id, std::int32_t value) = 0;
};

class VideoBackend
{
public:
    virtual ~VideoBackend() = default;
    // Capture devices in a stable order (USB port, then node). Metadata nodes are not listed.
    virtual QVector<VideoDeviceInfo> listCaptureDevices() = 0;
    // Opens the device; on failure returns nullptr and stores a negative errno in *error.
    virtual std::unique_ptr<VideoDeviceHandle> open(const VideoDeviceInfo& device, int* error) = 0;
    // The USB video nodes that could not be opened for lack of permission, one per USB device.
    // The default has none.
    virtual QVector<InaccessibleVideoDevice> listInaccessibleDevices() { return {}; }
    // Why requests to a camera failed, when it is something the user can change (one line of
    // fixed English text); empty when nothing is known. The default knows nothing.
    virtual QString failureHint() { return {}; }
};
