#pragma once

// The in-process face of the virtual cameras for the raw-USB edition: a camera's default control
// pipe, found by vendor and product id as the edition finds a USB device.

#include "device/usbbulkdevice.h"
#include "device/usbcontrolpipe.h"

#include <QString>
#include <QStringList>

#include <memory>

class VirtualRig;

class VirtualControlPipe : public uvc::ControlPipe
{
public:
    VirtualControlPipe(VirtualRig& rig, int camera) : m_rig(rig), m_camera(camera) {}
    // The first present camera with these ids, or nullptr.
    static std::unique_ptr<VirtualControlPipe> open(VirtualRig& rig, int vendorId, int productId,
                                                    const QString& busPort = QString());
    // "%04x-%04x" of every present camera in the rig's order.
    static QStringList listDevices(VirtualRig& rig);
    int controlTransfer(const uvc::SetupPacket& setup, std::uint8_t* data, int timeoutMs) override;
    int videoControlInterface() const override;
    int camera() const { return m_camera; }

private:
    VirtualRig& m_rig;
    int m_camera;
};

// The rig's cameras as USB devices.
class VirtualUsbBus : public uvc::UsbBus
{
public:
    explicit VirtualUsbBus(VirtualRig& rig) : m_rig(rig) {}
    QStringList listDevices() override { return VirtualControlPipe::listDevices(m_rig); }
    QVector<uvc::UsbCamera> listCameras() override;
    std::unique_ptr<uvc::ControlPipe> open(int vendorId, int productId, int* error) override
    {
        return openAt(vendorId, productId, QString(), error);
    }
    std::unique_ptr<uvc::ControlPipe> openAt(int vendorId, int productId, const QString& busPort,
                                             int* error) override;

private:
    VirtualRig& m_rig;
};

// Interface 0 of a camera as a USB device: in a boot stage the mass-storage interface with its
// two bulk endpoints, otherwise the VideoControl interface with its interrupt endpoint.
constexpr std::uint8_t kVirtualBulkIn = 0x81;
constexpr std::uint8_t kVirtualBulkOut = 0x02;
constexpr std::uint8_t kVirtualInterruptIn = 0x83;

// A camera's boot stage as the raw-USB edition reaches it: the two bulk endpoints of its
// mass-storage interface, for the USB device (generation) that was current when it was made.
class VirtualBulkPipe : public usbbulk::Device
{
public:
    VirtualBulkPipe(VirtualRig& rig, int camera);
    ~VirtualBulkPipe() override;
    VirtualBulkPipe(const VirtualBulkPipe&) = delete;
    VirtualBulkPipe& operator=(const VirtualBulkPipe&) = delete;

    int bulkTransfer(bot::Endpoint endpoint, std::uint8_t* data, int length, int* transferred,
                     int timeoutMs) override;
    int clearHalt(bot::Endpoint endpoint) override;
    int resetRecovery() override;
    int interfaceZeroEndpoints(QVector<usbbulk::EndpointDescriptor>* endpoints) override;
    int claimInterfaceZero() override { return 0; }
    void useEndpoints(std::uint8_t, std::uint8_t) override {}

private:
    VirtualRig& m_rig;
    int m_camera;
    int m_generation = -1;
};

// The rig's cameras as USB devices for the bulk-only transport: the first attached camera with
// the ids, in whatever stage it is.
class VirtualBulkUsbBus : public usbbulk::Bus
{
public:
    explicit VirtualBulkUsbBus(VirtualRig& rig) : m_rig(rig) {}
    // Attached cameras, a boot stage once it shows up in the listing (VirtualLoader::listed()).
    QVector<usbbulk::UsbIds> listDevices() override;
    std::unique_ptr<usbbulk::Device> open(int vendorId, int productId, int* error) override;

private:
    VirtualRig& m_rig;
};
