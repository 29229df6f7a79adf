#pragma once

// Boot-stage devices through libusb for the bulk-only transport (sstardevicetable.h): opened by
// vendor and product id, interface 0 claimed with the kernel's driver detached automatically
// while it is held (libusb gives it back when the interface is released).

#include "device/usbbulkdevice.h"

struct libusb_context;

class LibusbBulkBus : public usbbulk::Bus
{
public:
    // Initialises libusb with its log level set to information; failures show in open().
    LibusbBulkBus();
    ~LibusbBulkBus() override;
    LibusbBulkBus(const LibusbBulkBus&) = delete;
    LibusbBulkBus& operator=(const LibusbBulkBus&) = delete;

    QVector<usbbulk::UsbIds> listDevices() override;
    std::unique_ptr<usbbulk::Device> open(int vendorId, int productId, int* error) override;

private:
    libusb_context* m_context = nullptr;
    int m_initError = 0;
};
