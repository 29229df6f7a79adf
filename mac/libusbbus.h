#pragma once

// The raw-USB edition's devices through libusb: the same code drives the kernel's usbfs (or
// usbfs emulated by umockdev in the tests) and, built there, macOS's IOKit.
//
// Kernel driver: UVC class requests go to the default control pipe with the VideoControl
// interface as recipient. macOS sends them without any claim. Linux's usbfs sends a request to an
// interface only for the process that holds it: it claims a free interface on the fly, and
// refuses with EBUSY while another driver (uvcvideo) is bound to it. Without consent the pipe
// therefore never detaches the driver: requests then work where no driver holds the interface,
// and fail with a reason that names --detach-kernel-driver otherwise. With consent
// (detachKernelDriver) the pipe detaches the driver when it opens, claims the interface, and
// releases it and reattaches the driver when it closes, also when a request failed. Pipes to
// the same device share one open device (one usbfs descriptor, whose claim covers them all): the
// driver is detached when the first opens and reattached when the last closes. Every pipe must
// be closed before the bus.

#include "device/usbcontrolpipe.h"

struct libusb_context;

class LibusbBus : public uvc::UsbBus
{
public:
    explicit LibusbBus(bool detachKernelDriver = false);
    ~LibusbBus() override;
    QStringList listDevices() override;
    QVector<uvc::UsbCamera> listCameras() override;
    std::unique_ptr<uvc::ControlPipe> open(int vendorId, int productId, int* error) override
    {
        return openAt(vendorId, productId, QString(), error);
    }
    std::unique_ptr<uvc::ControlPipe> openAt(int vendorId, int productId, const QString& busPort,
                                             int* error) override;
    // Once a request was refused because a kernel driver holds the camera's interface: what to
    // do about it.
    QString failureHint() const override;

private:
    struct OpenDevices;
    bool m_detach;
    std::unique_ptr<OpenDevices> m_open;
    libusb_context* m_context = nullptr;
    int m_initError = 0;
};
