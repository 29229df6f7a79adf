#include "linuxmassstorage.h"

#include "device/botframing.h"
#include "device/libusberrno.h"

#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <libudev.h>
#include <libusb.h>
#include <unistd.h>

namespace {

constexpr int kVendorLength = 8;
constexpr int kProductLength = 16;
constexpr int kResetTimeoutMs = 2000;
// USB interface class of mass storage and its bulk-only transport protocol.
constexpr int kClassMassStorage = 0x08;
constexpr int kProtocolBulkOnly = 0x50;

// A USB id attribute ("idVendor", "idProduct": four hex digits); 0 when it cannot be read.
int usbId(udev_device* device, const char* attribute)
{
    const char* text = udev_device_get_sysattr_value(device, attribute);
    return text ? QByteArray(text).trimmed().toInt(nullptr, 16) : 0;
}

// The identification as the kernel shows it: blanks from the first zero byte on and in place of
// non-printable bytes, padded with blanks or cut to its field length.
QByteArray identification(const char* text, int length)
{
    QByteArray field(length, ' ');
    if (!text)
        return field;
    for (int i = 0; i < length && text[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        field[i] = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : ' ';
    }
    return field;
}

bool readNumber(udev_device* device, const char* attribute, int base, int* value)
{
    const char* text = udev_device_get_sysattr_value(device, attribute);
    if (!text)
        return false;
    bool ok = false;
    *value = QByteArray(text).trimmed().toInt(&ok, base);
    return ok;
}

QByteArray readSysfsFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll().trimmed();
}

// The bulk endpoints of an interface from its "ep_XX" entries in sysfs.
bool bulkEndpoints(const QString& interfacePath, std::uint8_t* in, std::uint8_t* out)
{
    *in = 0;
    *out = 0;
    const QStringList entries =
        QDir(interfacePath)
            .entryList({QStringLiteral("ep_*")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& entry : entries) {
        const QString base = interfacePath + QLatin1Char('/') + entry + QLatin1Char('/');
        if (readSysfsFile(base + QStringLiteral("type")) != "Bulk")
            continue;
        bool ok = false;
        const int address = readSysfsFile(base + QStringLiteral("bEndpointAddress")).toInt(&ok, 16);
        if (!ok || address < 0 || address > 0xFF)
            continue;
        if (address & LIBUSB_ENDPOINT_IN)
            *in = static_cast<std::uint8_t>(address);
        else
            *out = static_cast<std::uint8_t>(address);
    }
    return *in != 0 && *out != 0;
}

} // namespace

class LinuxMassStorageBackend::UsbContext
{
public:
    explicit UsbContext(libusb_context* context) : m_context(context) {}
    ~UsbContext() { libusb_exit(m_context); }
    UsbContext(const UsbContext&) = delete;
    UsbContext& operator=(const UsbContext&) = delete;
    libusb_context* get() const { return m_context; }

private:
    libusb_context* m_context;
};

namespace {

class LinuxMassStorageDevice : public MassStorageDevice, private bot::BulkPipe
{
public:
    LinuxMassStorageDevice(std::shared_ptr<LinuxMassStorageBackend::UsbContext> context,
                           libusb_device_handle* handle, const LinuxMassStorageKey& key)
        : m_context(std::move(context)), m_handle(handle), m_key(key)
    {
    }

    ~LinuxMassStorageDevice() override
    {
        if (m_claimed)
            libusb_release_interface(m_handle, m_key.interfaceNumber);
        if (m_detached)
            libusb_attach_kernel_driver(m_handle, m_key.interfaceNumber);
        libusb_close(m_handle);
    }

    LinuxMassStorageDevice(const LinuxMassStorageDevice&) = delete;
    LinuxMassStorageDevice& operator=(const LinuxMassStorageDevice&) = delete;

    int scsiCommand(const std::uint8_t* cdb, int cdbLength, ScsiDirection direction, std::uint8_t* data,
                    std::uint32_t length, int timeoutMs) override
    {
        if (const int error = claim())
            return error;
        return m_transport.command(*this, cdb, cdbLength, direction, data, length, timeoutMs);
    }

private:
    // Takes the interface from the kernel's driver on first use.
    int claim()
    {
        if (m_claimed)
            return 0;
        const int active = libusb_kernel_driver_active(m_handle, m_key.interfaceNumber);
        if (active == 1) {
            const int result = libusb_detach_kernel_driver(m_handle, m_key.interfaceNumber);
            if (result != LIBUSB_SUCCESS && result != LIBUSB_ERROR_NOT_FOUND)
                return errnoFromLibusb(result);
            m_detached = result == LIBUSB_SUCCESS;
        } else if (active < 0 && active != LIBUSB_ERROR_NOT_SUPPORTED) {
            return errnoFromLibusb(active);
        }
        const int result = libusb_claim_interface(m_handle, m_key.interfaceNumber);
        if (result != LIBUSB_SUCCESS) {
            if (m_detached && libusb_attach_kernel_driver(m_handle, m_key.interfaceNumber) == LIBUSB_SUCCESS)
                m_detached = false;
            return errnoFromLibusb(result);
        }
        m_claimed = true;
        return 0;
    }

    std::uint8_t address(bot::Endpoint endpoint) const
    {
        return endpoint == bot::Endpoint::In ? m_key.endpointIn : m_key.endpointOut;
    }

    int bulkTransfer(bot::Endpoint endpoint, std::uint8_t* data, int length, int* transferred,
                     int timeoutMs) override
    {
        *transferred = 0;
        const int result = libusb_bulk_transfer(m_handle, address(endpoint), data, length, transferred,
                                                static_cast<unsigned int>(std::max(0, timeoutMs)));
        return errnoFromLibusb(result);
    }

    int clearHalt(bot::Endpoint endpoint) override
    {
        return errnoFromLibusb(libusb_clear_halt(m_handle, address(endpoint)));
    }

    int resetRecovery() override
    {
        const int reset = libusb_control_transfer(m_handle, bot::kResetRequestType, bot::kResetRequest, 0,
                                                  static_cast<std::uint16_t>(m_key.interfaceNumber), nullptr,
                                                  0, kResetTimeoutMs);
        const int in = libusb_clear_halt(m_handle, m_key.endpointIn);
        const int out = libusb_clear_halt(m_handle, m_key.endpointOut);
        if (reset < 0)
            return errnoFromLibusb(reset);
        return errnoFromLibusb(in != LIBUSB_SUCCESS ? in : out);
    }

    std::shared_ptr<LinuxMassStorageBackend::UsbContext> m_context; // keeps libusb alive
    libusb_device_handle* m_handle;
    LinuxMassStorageKey m_key;
    bool m_claimed = false;
    bool m_detached = false;
    bot::HostTransport m_transport;
};

} // namespace

QString formatLinuxMassStorageKey(const LinuxMassStorageKey& key)
{
    return QStringLiteral("usb:%1:%2:%3:%4:%5")
        .arg(key.bus)
        .arg(key.address)
        .arg(key.interfaceNumber)
        .arg(key.endpointIn, 2, 16, QLatin1Char('0'))
        .arg(key.endpointOut, 2, 16, QLatin1Char('0'));
}

bool parseLinuxMassStorageKey(const QString& text, LinuxMassStorageKey* key)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 6 || parts.at(0) != QLatin1String("usb"))
        return false;
    bool ok[5] = {};
    const int bus = parts.at(1).toInt(&ok[0]);
    const int address = parts.at(2).toInt(&ok[1]);
    const int interfaceNumber = parts.at(3).toInt(&ok[2]);
    const int in = parts.at(4).toInt(&ok[3], 16);
    const int out = parts.at(5).toInt(&ok[4], 16);
    if (!std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }))
        return false;
    if (bus < 1 || bus > 255 || address < 1 || address > 127 || interfaceNumber < 0 ||
        interfaceNumber > 255 || in < 0x81 || in > 0x8F || out < 0x01 || out > 0x0F)
        return false;
    key->bus = bus;
    key->address = address;
    key->interfaceNumber = interfaceNumber;
    key->endpointIn = static_cast<std::uint8_t>(in);
    key->endpointOut = static_cast<std::uint8_t>(out);
    return true;
}

LinuxMassStorageBackend::LinuxMassStorageBackend() = default;

LinuxMassStorageBackend::~LinuxMassStorageBackend() = default;

std::shared_ptr<LinuxMassStorageBackend::UsbContext> LinuxMassStorageBackend::context(int* error)
{
    QMutexLocker locker(&m_lock);
    if (!m_context) {
        libusb_context* context = nullptr;
        const int result = libusb_init(&context);
        if (result != LIBUSB_SUCCESS) {
            *error = errnoFromLibusb(result);
            return nullptr;
        }
        m_context = std::make_shared<UsbContext>(context);
    }
    return m_context;
}

QVector<MassStorageCandidate> LinuxMassStorageBackend::listDevices()
{
    struct Found
    {
        QString sysPath;
        MassStorageCandidate candidate;
    };
    QVector<Found> found;
    udev* context = udev_new();
    if (!context)
        return {};
    udev_enumerate* enumerate = udev_enumerate_new(context);
    if (enumerate) {
        udev_enumerate_add_match_subsystem(enumerate, "scsi");
        udev_enumerate_add_match_property(enumerate, "DEVTYPE", "scsi_device");
        udev_enumerate_scan_devices(enumerate);
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate))
        {
            udev_device* device = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
            if (!device)
                continue;
            // The parents belong to device and go with it.
            udev_device* interface =
                udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface");
            udev_device* usbDevice =
                udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
            LinuxMassStorageKey key;
            int interfaceClass = 0;
            int protocol = 0;
            if (interface && usbDevice && readNumber(interface, "bInterfaceClass", 16, &interfaceClass) &&
                readNumber(interface, "bInterfaceProtocol", 16, &protocol) &&
                interfaceClass == kClassMassStorage && protocol == kProtocolBulkOnly &&
                readNumber(interface, "bInterfaceNumber", 16, &key.interfaceNumber) &&
                readNumber(usbDevice, "busnum", 10, &key.bus) &&
                readNumber(usbDevice, "devnum", 10, &key.address) &&
                bulkEndpoints(QString::fromLocal8Bit(udev_device_get_syspath(interface)), &key.endpointIn,
                              &key.endpointOut)) {
                MassStorageCandidate candidate;
                candidate.key = formatLinuxMassStorageKey(key);
                candidate.vendor =
                    identification(udev_device_get_sysattr_value(device, "vendor"), kVendorLength);
                candidate.product =
                    identification(udev_device_get_sysattr_value(device, "model"), kProductLength);
                candidate.vendorId = usbId(usbDevice, "idVendor");
                candidate.productId = usbId(usbDevice, "idProduct");
                found.append({QString::fromLocal8Bit(udev_device_get_syspath(device)), candidate});
            }
            udev_device_unref(device);
        }
        udev_enumerate_unref(enumerate);
    }
    udev_unref(context);

    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.sysPath < b.sysPath; });
    QVector<MassStorageCandidate> candidates;
    for (const Found& f : found)
        candidates.append(f.candidate);
    return candidates;
}

int LinuxMassStorageBackend::checkAccess(const QString& keyText)
{
    LinuxMassStorageKey key;
    if (!parseLinuxMassStorageKey(keyText, &key))
        return -EINVAL;
    // The usbfs node that libusb opens for the transfers; opening it claims nothing.
    const QByteArray node = QStringLiteral("/dev/bus/usb/%1/%2")
                                .arg(key.bus, 3, 10, QLatin1Char('0'))
                                .arg(key.address, 3, 10, QLatin1Char('0'))
                                .toLocal8Bit();
    const int fd = ::open(node.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    ::close(fd);
    return 0;
}

std::unique_ptr<MassStorageDevice> LinuxMassStorageBackend::open(const QString& keyText, int* error)
{
    LinuxMassStorageKey key;
    if (!parseLinuxMassStorageKey(keyText, &key)) {
        *error = -EINVAL;
        return nullptr;
    }
    std::shared_ptr<UsbContext> usb = context(error);
    if (!usb)
        return nullptr;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(usb->get(), &list);
    if (count < 0) {
        *error = errnoFromLibusb(static_cast<int>(count));
        return nullptr;
    }
    libusb_device_handle* handle = nullptr;
    int result = LIBUSB_ERROR_NO_DEVICE;
    for (ssize_t i = 0; i < count; ++i) {
        if (libusb_get_bus_number(list[i]) == key.bus && libusb_get_device_address(list[i]) == key.address) {
            result = libusb_open(list[i], &handle);
            break;
        }
    }
    libusb_free_device_list(list, 1);
    if (result != LIBUSB_SUCCESS) {
        *error = errnoFromLibusb(result);
        return nullptr;
    }
    return std::make_unique<LinuxMassStorageDevice>(std::move(usb), handle, key);
}
