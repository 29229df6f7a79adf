#pragma once

// The default control pipe of a USB camera as the raw-USB edition (mac/) reaches it: one UVC
// class request per call, described by its setup packet. An abstract pipe, so that the same
// request code runs against libusb (real usbfs, or usbfs emulated by umockdev in tests) and
// against the virtual camera in process (sim/).
//
// UVC class requests address a unit of the VideoControl interface: bmRequestType 0x21 (host to
// device, class, interface) for SET_CUR and 0xA1 (device to host) for the get requests; wValue
// carries the control selector in its high byte, wIndex the unit id in its high byte and the
// VideoControl interface number in its low byte.

#include <cstdint>

namespace uvc {

constexpr std::uint8_t kRequestTypeSet = 0x21;
constexpr std::uint8_t kRequestTypeGet = 0xA1;
constexpr std::uint8_t kDirectionIn = 0x80; // bit 7 of bmRequestType

// UVC request codes (bRequest).
constexpr std::uint8_t SET_CUR = 0x01;
constexpr std::uint8_t GET_CUR = 0x81;
constexpr std::uint8_t GET_MIN = 0x82;
constexpr std::uint8_t GET_MAX = 0x83;
constexpr std::uint8_t GET_RES = 0x84;
constexpr std::uint8_t GET_LEN = 0x85;
constexpr std::uint8_t GET_INFO = 0x86;
constexpr std::uint8_t GET_DEF = 0x87;
constexpr std::uint16_t kInfoLength = 1; // GET_INFO always answers one byte

// GET_INFO bits.
constexpr std::uint8_t kInfoSupportsGet = 0x01;
constexpr std::uint8_t kInfoSupportsSet = 0x02;

// Unit ids of the cameras of this family (fixed in their descriptors).
constexpr int kCameraTerminal = 1;
constexpr int kProcessingUnit = 3;
constexpr int kExtensionUnit = 6;

// Camera terminal control selectors.
constexpr int CT_FOCUS_ABSOLUTE = 0x06;
constexpr int CT_FOCUS_AUTO = 0x08;
constexpr int CT_ZOOM_ABSOLUTE = 0x0B;
constexpr int CT_PANTILT_ABSOLUTE = 0x0D;
// Processing unit control selectors.
constexpr int PU_BRIGHTNESS = 0x02;
constexpr int PU_CONTRAST = 0x03;
constexpr int PU_HUE = 0x06;
constexpr int PU_SATURATION = 0x07;
constexpr int PU_SHARPNESS = 0x08;
constexpr int PU_HUE_AUTO = 0x10;

struct SetupPacket
{
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
};

constexpr std::uint16_t selectorValue(int selector)
{
    return static_cast<std::uint16_t>((selector & 0xFF) << 8);
}
constexpr std::uint16_t unitIndex(int unit, int interfaceNumber = 0)
{
    return static_cast<std::uint16_t>(((unit & 0xFF) << 8) | (interfaceNumber & 0xFF));
}
// The setup packet of a class request to a unit's control: SET_CUR goes to the device, every
// other request (GET_CUR, GET_MIN, ..., GET_INFO) comes from it.
constexpr SetupPacket unitRequest(std::uint8_t request, int unit, int selector, std::uint16_t length,
                                  int interfaceNumber = 0)
{
    SetupPacket setup;
    setup.bmRequestType = request == SET_CUR ? kRequestTypeSet : kRequestTypeGet;
    setup.bRequest = request;
    setup.wValue = selectorValue(selector);
    setup.wIndex = unitIndex(unit, interfaceNumber);
    setup.wLength = length;
    return setup;
}

class ControlPipe
{
public:
    virtual ~ControlPipe() = default;
    // One control transfer with wLength bytes of data (sent for a host-to-device request,
    // received otherwise). Returns the number of bytes transferred, -EPIPE when the device
    // stalled the request, or another negative errno.
    virtual int controlTransfer(const SetupPacket& setup, std::uint8_t* data, int timeoutMs) = 0;
    // The number of the camera's VideoControl interface (the low byte of wIndex).
    virtual int videoControlInterface() const = 0;
};

} // namespace uvc

#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

namespace uvc {

// One attached USB device with a video function.
struct UsbCamera
{
    int vendorId = 0;
    int productId = 0;
    QString product; // the product string; empty when it could not be read
    QString serial;  // may be empty
    QString busPort; // for example "1-2.3"
    int videoControlInterface = 0;
    QString node;        // the device node, as a message names it
    int accessError = 0; // -EACCES when this user may not open the device
};

// The USB devices of the machine as the raw-USB edition sees them.
class UsbBus
{
public:
    virtual ~UsbBus() = default;
    // "%04x-%04x" (vendor id, product id) of every attached USB device.
    virtual QStringList listDevices() = 0;
    // The attached devices that have a VideoControl interface, in a stable order.
    virtual QVector<UsbCamera> listCameras() = 0;
    // The default control pipe of the first device with these ids whose VideoControl interface
    // was found; nullptr with *error (a negative errno) set otherwise.
    virtual std::unique_ptr<ControlPipe> open(int vendorId, int productId, int* error) = 0;
    // The same, for the device at busPort ("1-2.3") only; an empty busPort matches any.
    virtual std::unique_ptr<ControlPipe> openAt(int vendorId, int productId, const QString& busPort,
                                                int* error) = 0;
    // Why requests failed, when it is something the user can change; empty otherwise.
    virtual QString failureHint() const { return {}; }
};

} // namespace uvc
