#pragma once

// The emulated kernel face of the virtual cameras, for test programs. A umockdev testbed in this
// process presents every attached camera of a VirtualRig the way the uvcvideo driver does on a
// real machine, and answers the ioctls on its nodes from the camera's device model:
//
//   /sys/devices/pci0000:00/0000:00:14.0/usb<B>                      root hub (usb_device)
//     <port>                                                        the camera (usb_device) with
//                                                                   idVendor, idProduct, product,
//                                                                   serial (when it has one), busnum,
//                                                                   devnum, speed, descriptors
//       <port>:1.0                                                  VideoControl interface (1.2
//                                                                   behind a leading function)
//         video4linux/video<N>     /dev/video<N>                    video capture (card = name)
//         video4linux/video<N+1>   /dev/video<N+1>                  metadata capture only
//         video4linux/video<N+2>   /dev/video<N+2>                  "<name> MIC Array" capture
//                                                                   node, when the camera has one
//
//   /dev/bus/usb/<BBB>/<DDD>                                        the camera's usbfs node (a plain
//                                                                   file; EmulatedLoaders serves it)
//
// Node numbers are handed out in rig order. The capture node answers as uvcvideo does, so that
// real V4L2 clients (v4l2-ctl, v4l2-compliance) can be run against it: VIDIOC_QUERYCAP (with
// V4L2_CAP_EXT_PIX_FORMAT, as the V4L2 core adds it), UVCIOC_CTRL_QUERY (through
// VirtualCamera::xuRequest, size passed through unchanged, so the model's checks apply as the
// driver's would), VIDIOC_QUERYCTRL and VIDIOC_QUERY_EXT_CTRL (V4L2_CTRL_FLAG_NEXT_CTRL and
// V4L2_CTRL_FLAG_NEXT_COMPOUND, the "User Controls" and "Camera Controls" class entries),
// VIDIOC_QUERYMENU, VIDIOC_G/S_CTRL and VIDIOC_G/S/TRY_EXT_CTRLS (values clamped and rounded by the
// driver, G_CTRL answered from the driver's cache once it knows a value, except for pan, tilt and
// zoom, which the camera may change by itself), VIDIOC_ENUMINPUT and VIDIOC_G/S_INPUT. Formats,
// streaming and events are not emulated (mmap and poll do not reach the testbed). The metadata
// node answers VIDIOC_QUERYCAP only, everything else with ENOTTY as uvcvideo's metadata node does; the
// microphone node has neither the vendor unit (ENOENT) nor controls (EINVAL), like the in-process face. Every
// request goes through VirtualRig::withCamera, so the journal sees it tagged with the camera index.
//
// The code under test runs unchanged: its open(), ioctl(), stat() and libudev calls reach the
// testbed through umockdev's preload library (the test program runs under umockdev-wrapper).
// Create this object before the code under test creates any udev monitor, and destroy it only
// after every device it opened is closed again. umockdev.h stays out of this header: its GIO
// headers clash with Qt's "signals" keyword.

#include <QString>
#include <QVector>

#include <functional>
#include <memory>

class VirtualCamera;
class VirtualRig;
struct _UMockdevTestbed; // UMockdevTestbed, without umockdev.h

// Where one emulated camera lives. Empty strings: the camera is not presented (not attached, in
// a boot stage, unplugged) or has no such node.
struct EmulatedCameraNodes
{
    QString usbDevice;      // sysfs path of the camera's usb_device
    QString usbInterface;   // sysfs path of its VideoControl interface
    QString captureNode;    // /dev/videoN
    QString metadataNode;   // /dev/videoN+1
    QString microphoneNode; // /dev/videoN+2, only when the camera has a microphone node
    QString usbNode;        // /dev/bus/usb/BBB/DDD (served by EmulatedLoaders' usbfs face)
};

class EmulatedCameras
{
public:
    // Presents the cameras of rig that are attached and in normal operation now (ports must be
    // distinct USB port names such as "1-2"); rig must outlive this object.
    explicit EmulatedCameras(VirtualRig& rig);
    // Presents cameras through a rig of its own that journals to journalPath (none when empty).
    explicit EmulatedCameras(const QVector<VirtualCamera>& cameras, const QString& journalPath = QString());
    ~EmulatedCameras();
    EmulatedCameras(const EmulatedCameras&) = delete;
    EmulatedCameras& operator=(const EmulatedCameras&) = delete;

    // Whether umockdev's preload library serves this process: without it, device access goes to
    // the real /sys and /dev and nothing here is seen.
    bool emulationActive() const;
    // Whether every camera could be set up; errorString() says what failed otherwise.
    bool isValid() const;
    QString errorString() const;

    VirtualRig& rig();
    // The testbed's root directory (its sys/ and dev/ stand for /sys and /dev).
    QString rootDirectory() const;
    EmulatedCameraNodes nodes(int camera) const;

    // Unplugs camera index as the kernel reports a disconnect: the model is marked unplugged,
    // remove uevents go out (children first), the devices leave sysfs and /dev, and descriptors
    // that are still open answer ENODEV from then on. False when the camera is not presented.
    bool unplug(int camera);

    // For other faces of the same testbed (the boot stages, umockdevloader.h). None of these
    // changes what the face does unless it is used.
    _UMockdevTestbed* testbed() const;
    // The sysfs path of bus's root hub, added on first use.
    QString rootHub(int bus);
    // The next USB address on bus, handed out in turn as the kernel does; every face of the
    // testbed takes its addresses here.
    int allocateAddress(int bus);
    // Called on umockdev's worker thread after every request that reached a camera's model
    // through one of this face's nodes, before the request is answered. Set it before the code
    // under test runs; an empty function removes it.
    void setRequestObserver(std::function<void(int camera)> observer);
    // Whether camera's nodes are presented now.
    bool presented(int camera) const;
    // Presents camera again after it came back in normal operation (a restart out of its loader):
    // a new address and new video nodes, announced with add uevents. False when its model is not
    // in normal operation, when it is presented already or when a device cannot be added.
    bool present(int camera);
    // Removes camera's nodes as the kernel does for a disconnect (remove uevents, children first)
    // without changing the model: the camera went away by itself (it restarted into its loader).
    bool withdraw(int camera);
    // Whether uvcvideo is bound to camera's VideoControl interface. Unbound (the driver detached
    // through usbfs, or never bound: VirtualCamera::kernelDriverBound()), the video nodes answer
    // every request with ENODEV, as the driver's unregistered devices do, and the interface's
    // uevent names no driver. Bound again, they answer as before (a real machine would number
    // them anew).
    void setDriverBound(int camera, bool bound);
    bool driverBound(int camera) const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
