#include "libusbbulkbus.h"

#include "device/libusberrno.h"
#include "mac/libusbbus.h"

#include <libusb.h>

#include <cerrno>

namespace {

constexpr int kInterface = 0;

class LibusbBulkDevice : public usbbulk::Device
{
public:
    explicit LibusbBulkDevice(libusb_device_handle* handle) : m_handle(handle) {}
    ~LibusbBulkDevice() override
    {
        if (m_claimed)
            libusb_release_interface(m_handle, kInterface);
        libusb_close(m_handle);
    }
    LibusbBulkDevice(const LibusbBulkDevice&) = delete;
    LibusbBulkDevice& operator=(const LibusbBulkDevice&) = delete;

    int interfaceZeroEndpoints(QVector<usbbulk::EndpointDescriptor>* endpoints) override
    {
        libusb_device* device = libusb_get_device(m_handle);
        libusb_device_descriptor descriptor{};
        int result = libusb_get_device_descriptor(device, &descriptor);
        if (result != 0)
            return errnoFromLibusb(result);
        libusb_config_descriptor* config = nullptr;
        result = libusb_get_config_descriptor(device, 0, &config);
        if (result != 0)
            return errnoFromLibusb(result);
        endpoints->clear();
        if (config->bNumInterfaces > kInterface && config->interface[kInterface].num_altsetting > 0) {
            const libusb_interface_descriptor& setting = config->interface[kInterface].altsetting[0];
            for (int e = 0; e < setting.bNumEndpoints; ++e)
                endpoints->append({setting.endpoint[e].bEndpointAddress, setting.endpoint[e].bmAttributes});
        }
        libusb_free_config_descriptor(config);
        return 0;
    }

    int claimInterfaceZero() override
    {
        libusb_set_auto_detach_kernel_driver(m_handle, 1);
        const int result = libusb_claim_interface(m_handle, kInterface);
        if (result != 0)
            return errnoFromLibusb(result);
        m_claimed = true;
        return 0;
    }

    void useEndpoints(std::uint8_t in, std::uint8_t out) override
    {
        m_in = in;
        m_out = out;
    }

    int bulkTransfer(bot::Endpoint endpoint, std::uint8_t* data, int length, int* transferred,
                     int timeoutMs) override
    {
        *transferred = 0;
        const int result = libusb_bulk_transfer(m_handle, address(endpoint), data, length, transferred,
                                                static_cast<unsigned>(timeoutMs));
        return result == 0 ? 0 : errnoFromLibusb(result);
    }

    int clearHalt(bot::Endpoint endpoint) override
    {
        const int result = libusb_clear_halt(m_handle, address(endpoint));
        return result == 0 ? 0 : errnoFromLibusb(result);
    }

    int resetRecovery() override
    {
        const int result = libusb_control_transfer(m_handle, bot::kResetRequestType, bot::kResetRequest, 0,
                                                   kInterface, nullptr, 0, 1000);
        clearHalt(bot::Endpoint::In);
        clearHalt(bot::Endpoint::Out);
        return result < 0 ? errnoFromLibusb(result) : 0;
    }

private:
    std::uint8_t address(bot::Endpoint endpoint) const
    {
        return endpoint == bot::Endpoint::In ? m_in : m_out;
    }

    libusb_device_handle* m_handle;
    bool m_claimed = false;
    std::uint8_t m_in = 0;
    std::uint8_t m_out = 0;
};

} // namespace

LibusbBulkBus::LibusbBulkBus()
{
    const int result = libusb_init(&m_context);
    if (result != 0) {
        m_initError = errnoFromLibusb(result);
        m_context = nullptr;
        return;
    }
    libusb_set_option(m_context, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_INFO);
}

LibusbBulkBus::~LibusbBulkBus()
{
    if (m_context)
        libusb_exit(m_context);
}

std::unique_ptr<usbbulk::Device> LibusbBulkBus::open(int vendorId, int productId, int* error)
{
    if (!m_context) {
        *error = m_initError ? m_initError : -EIO;
        return nullptr;
    }
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(
        m_context, static_cast<std::uint16_t>(vendorId), static_cast<std::uint16_t>(productId));
    if (!handle) {
        *error = -ENODEV;
        return nullptr;
    }
    return std::make_unique<LibusbBulkDevice>(handle);
}

QVector<usbbulk::UsbIds> LibusbBulkBus::listDevices()
{
    QVector<usbbulk::UsbIds> ids;
    if (!m_context)
        return ids;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(m_context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) == 0)
            ids.append({descriptor.idVendor, descriptor.idProduct});
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
    return ids;
}
