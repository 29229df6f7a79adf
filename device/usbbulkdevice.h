#pragma once

// A USB device opened for the bulk-only transport of its interface 0, as the raw-USB edition
// reaches its boot-stage devices: libusb on a real bus, the virtual camera in process.

#include "device/botframing.h"

#include <QVector>

#include <cstdint>
#include <memory>

namespace usbbulk {

constexpr std::uint8_t kDirectionIn = 0x80;      // bEndpointAddress
constexpr std::uint8_t kTransferTypeMask = 0x03; // bmAttributes
constexpr std::uint8_t kTransferTypeControl = 0x00;

struct EndpointDescriptor
{
    std::uint8_t address = 0;
    std::uint8_t attributes = 0;
};

// One opened USB device. Its bulk transfers go to the endpoints chosen with useEndpoints().
class Device : public bot::BulkPipe
{
public:
    // The endpoints of interface 0, alternate setting 0 (from configuration descriptor 0).
    virtual int interfaceZeroEndpoints(QVector<EndpointDescriptor>* endpoints) = 0;
    // Switches automatic detaching of the kernel driver on and claims interface 0.
    virtual int claimInterfaceZero() = 0;
    virtual void useEndpoints(std::uint8_t in, std::uint8_t out) = 0;
};

struct UsbIds
{
    int vendorId = 0;
    int productId = 0;
};

class Bus
{
public:
    virtual ~Bus() = default;
    // The ids of every USB device on the bus, in the bus's order.
    virtual QVector<UsbIds> listDevices() = 0;
    // Opens the first device with these ids; nullptr with *error (a negative errno) otherwise.
    virtual std::unique_ptr<Device> open(int vendorId, int productId, int* error) = 0;
};

} // namespace usbbulk
