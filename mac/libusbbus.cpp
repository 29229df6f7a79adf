#include "libusbbus.h"

#include "device/libusberrno.h"
#include "mac/maclogging.h"

#include <libusb.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <utility>

namespace {

constexpr std::uint8_t kClassVideo = 0x0E;
constexpr std::uint8_t kSubclassVideoControl = 0x01;

} // namespace

// One opened device, shared by every pipe to it. usbfs keeps claims per open descriptor: a second
// descriptor of the same process would find the interface held by the first (a claim made with
// consent, or the one usbfs makes on the fly for a free interface) and every request of it would
// fail with EBUSY. Releases the interface, reattaches the driver and closes when the last pipe
// goes.
struct LibusbOpenDevice
{
    libusb_device_handle* handle = nullptr;
    int interfaceNumber = 0;
    bool reattach = false;

    ~LibusbOpenDevice()
    {
        if (reattach) {
            libusb_release_interface(handle, interfaceNumber);
            const int result = libusb_attach_kernel_driver(handle, interfaceNumber);
            if (result != 0)
                qCWarning(lcMac).noquote()
                    << "Reattaching the kernel driver failed:" << libusb_error_name(result);
        }
        libusb_close(handle);
    }
};

struct LibusbBus::OpenDevices
{
    std::atomic<bool> driverHeld{false}; // a request was refused for a kernel driver's hold
    std::mutex lock;
    std::map<std::pair<int, int>, std::weak_ptr<LibusbOpenDevice>> byAddress; // bus, address
};

namespace {

class LibusbControlPipe : public uvc::ControlPipe
{
public:
    LibusbControlPipe(std::shared_ptr<LibusbOpenDevice> device, std::atomic<bool>& driverHeld)
        : m_device(std::move(device)), m_handle(m_device->handle), m_interface(m_device->interfaceNumber),
          m_driverHeld(driverHeld)
    {
    }
    int controlTransfer(const uvc::SetupPacket& setup, std::uint8_t* data, int timeoutMs) override
    {
        int result =
            libusb_control_transfer(m_handle, setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex,
                                    data, setup.wLength, static_cast<unsigned>(timeoutMs));
#ifdef __linux__
        // usbfs refuses a request to an interface that a kernel driver holds with EBUSY, which
        // libusb reports for a control transfer as an I/O error; the driver's hold tells the two
        // apart (no request of this process reaches the device while the driver holds it).
        if (result == LIBUSB_ERROR_IO && libusb_kernel_driver_active(m_handle, m_interface) == 1)
            result = LIBUSB_ERROR_BUSY;
#endif
        if (result == LIBUSB_ERROR_BUSY)
            m_driverHeld = true;
        if (result == LIBUSB_ERROR_BUSY)
            qCWarning(lcMac).noquote()
                << "The kernel's video driver holds the camera's control interface; --detach-kernel-driver "
                   "lets "
                   "deckctl-mac take it for the command (it is given back afterwards).";
        return result < 0 ? errnoFromLibusb(result) : result;
    }
    int videoControlInterface() const override
    {
        return m_interface;
    }

private:
    std::shared_ptr<LibusbOpenDevice> m_device;
    libusb_device_handle* m_handle;
    int m_interface;
    std::atomic<bool>& m_driverHeld; // the bus's; the bus outlives its pipes
};

// The number of the first VideoControl interface of the active configuration, or -1.
int findVideoControl(libusb_device* device)
{
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0 &&
        libusb_get_config_descriptor(device, 0, &config) != 0)
        return -1;
    int found = -1;
    for (int i = 0; i < config->bNumInterfaces && found < 0; ++i) {
        const libusb_interface& intf = config->interface[i];
        for (int a = 0; a < intf.num_altsetting && found < 0; ++a) {
            const libusb_interface_descriptor& d = intf.altsetting[a];
            if (d.bInterfaceClass == kClassVideo && d.bInterfaceSubClass == kSubclassVideoControl)
                found = d.bInterfaceNumber;
        }
    }
    libusb_free_config_descriptor(config);
    return found;
}

// The kernel's name of the device's place: bus, then the port numbers ("1-2.3").
QString portOf(libusb_device* device)
{
    std::uint8_t ports[8] = {};
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    QString place = QString::number(libusb_get_bus_number(device));
    for (int p = 0; p < depth; ++p)
        place += (p == 0 ? QLatin1Char('-') : QLatin1Char('.')) + QString::number(ports[p]);
    return place;
}

} // namespace

LibusbBus::LibusbBus(bool detachKernelDriver)
    : m_detach(detachKernelDriver), m_open(std::make_unique<OpenDevices>())
{
    const int result = libusb_init(&m_context);
    if (result != 0) {
        m_initError = errnoFromLibusb(result);
        m_context = nullptr;
    }
}

LibusbBus::~LibusbBus()
{
    if (m_context)
        libusb_exit(m_context);
}

QStringList LibusbBus::listDevices()
{
    QStringList ids;
    if (!m_context)
        return ids;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(m_context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) == 0)
            ids << QString::asprintf("%04x-%04x", d.idVendor, d.idProduct);
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
    return ids;
}

std::unique_ptr<uvc::ControlPipe> LibusbBus::openAt(int vendorId, int productId, const QString& busPort,
                                                    int* error)
{
    int dummy = 0;
    int& err = error ? *error : dummy;
    if (!m_context) {
        err = m_initError ? m_initError : -EIO;
        return nullptr;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(m_context, &list);
    if (count < 0) {
        err = errnoFromLibusb(static_cast<int>(count));
        return nullptr;
    }
    err = -ENODEV;
    std::unique_ptr<uvc::ControlPipe> pipe;
    for (ssize_t i = 0; i < count && !pipe; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != vendorId ||
            d.idProduct != productId)
            continue;
        if (!busPort.isEmpty() && portOf(list[i]) != busPort)
            continue;
        const int interfaceNumber = findVideoControl(list[i]);
        if (interfaceNumber < 0) {
            err = -ENOENT;
            continue;
        }
        std::lock_guard<std::mutex> guard(m_open->lock);
        const std::pair<int, int> address{libusb_get_bus_number(list[i]), libusb_get_device_address(list[i])};
        if (std::shared_ptr<LibusbOpenDevice> shared = m_open->byAddress[address].lock()) {
            pipe = std::make_unique<LibusbControlPipe>(std::move(shared), m_open->driverHeld);
            err = 0;
            continue;
        }
        libusb_device_handle* handle = nullptr;
        const int opened = libusb_open(list[i], &handle);
        if (opened != 0) {
            err = errnoFromLibusb(opened);
            continue;
        }
        bool reattach = false;
        if (m_detach && libusb_kernel_driver_active(handle, interfaceNumber) == 1) {
            const int detached = libusb_detach_kernel_driver(handle, interfaceNumber);
            if (detached != 0) {
                err = errnoFromLibusb(detached);
                libusb_close(handle);
                continue;
            }
            reattach = true;
            const int claimed = libusb_claim_interface(handle, interfaceNumber);
            if (claimed != 0) {
                err = errnoFromLibusb(claimed);
                libusb_attach_kernel_driver(handle, interfaceNumber);
                libusb_close(handle);
                continue;
            }
        }
        auto shared = std::make_shared<LibusbOpenDevice>();
        shared->handle = handle;
        shared->interfaceNumber = interfaceNumber;
        shared->reattach = reattach;
        m_open->byAddress[address] = shared;
        pipe = std::make_unique<LibusbControlPipe>(std::move(shared), m_open->driverHeld);
        err = 0;
    }
    libusb_free_device_list(list, 1);
    return pipe;
}

QVector<uvc::UsbCamera> LibusbBus::listCameras()
{
    QVector<uvc::UsbCamera> cameras;
    if (!m_context)
        return cameras;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(m_context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0)
            continue;
        const int vc = findVideoControl(list[i]);
        if (vc < 0)
            continue;
        uvc::UsbCamera camera;
        camera.vendorId = d.idVendor;
        camera.productId = d.idProduct;
        camera.videoControlInterface = vc;
        camera.busPort = portOf(list[i]);
        camera.node = QString::asprintf("/dev/bus/usb/%03d/%03d", libusb_get_bus_number(list[i]),
                                        libusb_get_device_address(list[i]));
        // The strings need the device opened; a device this user may not open keeps them empty.
        libusb_device_handle* handle = nullptr;
        const int opened = libusb_open(list[i], &handle);
        if (opened == LIBUSB_ERROR_ACCESS)
            camera.accessError = -EACCES;
        if (opened == 0) {
            unsigned char text[256] = {};
            if (d.iProduct && libusb_get_string_descriptor_ascii(handle, d.iProduct, text, sizeof text) > 0)
                camera.product = QString::fromLatin1(reinterpret_cast<const char*>(text));
            if (d.iSerialNumber &&
                libusb_get_string_descriptor_ascii(handle, d.iSerialNumber, text, sizeof text) > 0)
                camera.serial = QString::fromLatin1(reinterpret_cast<const char*>(text));
            libusb_close(handle);
        }
        cameras << camera;
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
    return cameras;
}

QString LibusbBus::failureHint() const
{
    if (!m_open->driverHeld)
        return QString();
    return QStringLiteral(
        "the kernel's video driver holds the camera's control interface; with "
        "--detach-kernel-driver deckctl-mac takes it for the command and gives it back afterwards");
}
