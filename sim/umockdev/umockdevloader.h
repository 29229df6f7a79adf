#pragma once

// The emulated kernel face of the virtual cameras' boot stages, for test programs. Beside an
// EmulatedCameras face (and in its testbed), every camera whose model is in a boot stage ("rom",
// "updater", "uboot") appears the way the kernel shows a USB mass-storage device bound to the
// usb-storage driver:
//
//   /sys/devices/pci0000:00/0000:00:14.0/usb<B>/<port>          the loader (usb_device): the
//                                                                camera's idVendor/idProduct,
//                                                                busnum, devnum, descriptors with
//                                                                one interface 08/06/50
//     <port>:1.0                                                 the interface (usb_interface),
//                                                                driver usb-storage; ep_81 and
//                                                                ep_02 (bulk IN and OUT)
//       host<H>/target<H>:0:0/<H>:0:0:0                          the SCSI chain while usb-storage
//                                                                is bound; the scsi_device has
//                                                                "vendor", "model", "rev" and
//                                                                "inquiry" as the kernel keeps
//                                                                them (blanks from the first zero
//                                                                byte on and for non-printables)
//   /dev/bus/usb/BBB/DDD                                         usbfs node
//
// The usbfs node answers what libusb and the kernel's usbfs agree on, from the loader's device
// model (VirtualLoader): GET_CAPABILITIES, GETDRIVER, IOCTL with DISCONNECT and CONNECT,
// DISCONNECT_CLAIM, CLAIMINTERFACE, RELEASEINTERFACE, SUBMITURB (bulk URBs to the loader's
// transfers, a stall as URB status -EPIPE; control URBs: the bulk-only reset, Get Max LUN,
// CLEAR_FEATURE(ENDPOINT_HALT), GET_STATUS, GET_DESCRIPTOR; everything else stalls), REAPURB,
// REAPURBNDELAY, DISCARDURB, CLEAR_HALT, RESET, SETINTERFACE, SETCONFIGURATION, CONNECTINFO and
// GET_SPEED. It is as strict as usbfs: transfers and requests to the interface while another
// driver holds it fail with EBUSY (a free interface is claimed implicitly, as the kernel does),
// unknown endpoints with ENOENT, and a device that has gone answers ENODEV to everything but
// reaping the URBs that completed before. Detaching usb-storage removes the SCSI chain (remove
// uevents); attaching it again adds a new one with the next host number. Closing a descriptor
// releases its claim without attaching a driver, as the kernel does; umockdev does not always
// report a close at once, so that happens by the time this face answers its next request or
// query. The kernel's own scan of a new SCSI device (INQUIRY and friends) is not replayed
// against the model: the identification comes from the model directly, so the journal shows
// only what the code under test sends.
//
// URBs complete as soon as they are submitted, unless the device has nothing to send yet (an IN
// URB then waits, as a device that NAKs, until a later transfer gives it data or the URB is
// discarded). libusb polls the node for POLLOUT; a plain file would always be ready and keep it
// spinning, so the node is a FIFO whose pipe is kept full (not writable) while nothing waits to
// be reaped and emptied (writable) while something does.
//
// Re-enumeration: when a loader restarts (a new generation of its USB device: the updater into
// U-Boot, U-Boot into normal operation, a camera into its loader), the old device leaves as a
// real unplug does (remove uevents, children first; its nodes go, open descriptors answer ENODEV)
// and the new one arrives with the next address (add uevents, parents first). A camera back in
// normal operation is presented again through EmulatedCameras. This happens on umockdev's worker
// thread within the request that caused it, before the request is answered, so the code under
// test finds the new devices as soon as the call that restarted the device returns.
//
// The cameras in normal operation: EmulatedCameras presents their usb_device (sysfs, uevents,
// video nodes); this face serves its usbfs node /dev/bus/usb/BBB/DDD (a FIFO as above) with the
// same usbfs rules, per interface of the camera's descriptors. uvcvideo holds every interface of
// each video function (GETDRIVER answers "uvcvideo"), unless the camera's "kernelDriver" is
// false (no driver at all). Claiming a held interface, and a transfer or request to it from a
// descriptor that has not claimed it, fail with EBUSY; a free one is claimed on the fly. IOCTL
// DISCONNECT of a VideoControl interface unbinds uvcvideo from it and from its function's
// streaming interfaces (the capture, metadata and microphone nodes then answer ENODEV,
// EmulatedCameras::setDriverBound), of a streaming interface from that one alone; IOCTL CONNECT
// of a free VideoControl interface binds uvcvideo again with the function's free streaming
// interfaces (result 1; 0 where no driver matches: a streaming interface, or no driver on the
// machine), of a held one fails with EBUSY; DISCONNECT_CLAIM detaches and claims in one. Every
// such change journals "kernel-driver-detached" or "kernel-driver-attached" with "interface" and
// "driver", tagged with the camera's index. Control URBs and USBDEVFS_CONTROL: standard requests
// are the USB core's (device and configuration descriptors, strings 0, 2 = product and
// 3 = serial, GET_STATUS, GET_CONFIGURATION; anything else stalls) and reach no model; class and
// vendor requests go to VirtualCamera::controlTransfer, as the in-process face sends them (a
// stall as URB status -EPIPE, an I/O error as -EPROTO, a camera that never answers leaves the URB
// in flight until it is discarded, a camera gone as -ESHUTDOWN). The camera has no bulk or
// interrupt endpoints here (ENOENT); a port reset changes nothing.
//
// Create this object right after the EmulatedCameras it extends, before the code under test
// creates a udev monitor or a libusb context; destroy it before the EmulatedCameras, once every
// descriptor on its nodes is closed (for libusb: after libusb_exit). umockdev.h stays out of this
// header, like out of umockdevcamera.h.

#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

class EmulatedCameras;

// Where the loader of a camera lives now; empty strings and zeros while the camera is not in a
// boot stage.
struct EmulatedLoaderNodes
{
    QString usbDevice;    // sysfs path of the usb_device
    QString usbInterface; // sysfs path of its mass-storage interface
    QString scsiDevice;   // sysfs path of the scsi_device; empty while usb-storage is not bound
    QString usbNode;      // "/dev/bus/usb/BBB/DDD"
    int bus = 0;
    int devnum = 0;
};

// What one USB device (one enumeration of a loader) saw on its usbfs node.
struct EmulatedUsbActivity
{
    int bus = 0;
    int devnum = 0;
    QString stage;             // the boot stage it enumerated in
    bool present = false;      // still plugged
    QString driver;            // the interface's driver now: "usb-storage", "usbfs" or empty
    int opens = 0;             // open() calls on the node
    int openNow = 0;           // descriptors open now
    int claims = 0;            // CLAIMINTERFACE and DISCONNECT_CLAIM that took the interface
    int implicitClaims = 0;    // claims the kernel made itself because a transfer came first
    int releases = 0;          // RELEASEINTERFACE, or a descriptor closed while holding the claim
    int driverDetaches = 0;    // drivers detached (IOCTL DISCONNECT, DISCONNECT_CLAIM)
    int driverAttaches = 0;    // usb-storage attached again (IOCTL CONNECT)
    int urbs = 0;              // URBs submitted, bulk and control
    int stalledUrbs = 0;       // URBs that ended with a stall
    QVector<int> clearedHalts; // endpoint addresses of CLEAR_HALT, in order
    QStringList controlSetups; // setup packets of the control URBs, in hex
    int ioctls = 0;            // ioctls of any kind
    QStringList unknownIoctls; // requests this face does not know, in hex
};

class EmulatedLoaders
{
public:
    // cameras (and its rig) must outlive this object.
    explicit EmulatedLoaders(EmulatedCameras& cameras);
    ~EmulatedLoaders();
    EmulatedLoaders(const EmulatedLoaders&) = delete;
    EmulatedLoaders& operator=(const EmulatedLoaders&) = delete;

    // Whether every device could be set up so far; errorString() says what failed otherwise.
    bool isValid() const;
    QString errorString() const;

    EmulatedLoaderNodes nodes(int camera) const;
    // Every USB device camera's loader enumerated as, the oldest first.
    QVector<EmulatedUsbActivity> enumerations(int camera) const;
    // Every USB device camera enumerated as in normal operation, the oldest first (usbfs nodes of
    // the cameras themselves; "driver" is that of the camera's VideoControl interface).
    QVector<EmulatedUsbActivity> cameraEnumerations(int camera) const;

    // Brings the presented devices in line with the models: for changes the test makes through
    // the rig itself (requests through the emulated nodes do this on their own).
    void synchronize();

    struct Private;

private:
    std::shared_ptr<Private> d;
};
