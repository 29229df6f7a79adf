#include "linuxvideobackend.h"

#include "device/controlids.h"
#include "device/deviceid.h"
#include "device/usbdescriptors.h"

#include <QByteArray>
#include <QMap>

#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <libudev.h>

#include <cstring>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The control ids that the parts built without the Linux headers spell out are the kernel's.
static_assert(v4l2::kCidBrightness == V4L2_CID_BRIGHTNESS);
static_assert(v4l2::kCidContrast == V4L2_CID_CONTRAST);
static_assert(v4l2::kCidSaturation == V4L2_CID_SATURATION);
static_assert(v4l2::kCidHue == V4L2_CID_HUE);
static_assert(v4l2::kCidAutoBrightness == V4L2_CID_AUTOBRIGHTNESS);
static_assert(v4l2::kCidHueAuto == V4L2_CID_HUE_AUTO);
static_assert(v4l2::kCidSharpness == V4L2_CID_SHARPNESS);
static_assert(v4l2::kCidPanAbsolute == V4L2_CID_PAN_ABSOLUTE);
static_assert(v4l2::kCidTiltAbsolute == V4L2_CID_TILT_ABSOLUTE);
static_assert(v4l2::kCidFocusAbsolute == V4L2_CID_FOCUS_ABSOLUTE);
static_assert(v4l2::kCidFocusAuto == V4L2_CID_FOCUS_AUTO);
static_assert(v4l2::kCidZoomAbsolute == V4L2_CID_ZOOM_ABSOLUTE);

// Owning wrappers for the udev objects.
struct UdevDeleter
{
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T> using UdevPtr = std::unique_ptr<T, UdevDeleter>;

int retryIoctl(int fd, unsigned long request, void* arg)
{
    int result;
    do {
        result = ::ioctl(fd, request, arg);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? -errno : 0;
}

QString sysattr(udev_device* device, const char* name)
{
    const char* value = device ? udev_device_get_sysattr_value(device, name) : nullptr;
    return value ? QString::fromUtf8(value).trimmed() : QString();
}

// Reads a whole (small) sysfs file with plain open()/read().
QByteArray readSysfsFile(const QString& path)
{
    QByteArray content;
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return content;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        content.append(buffer, static_cast<int>(n));
    ::close(fd);
    return content;
}

// Whether the node captures video (metadata and output nodes do not), and its card name.
// Whether the node is a capture node, with its card name. *openError gets -errno when the node
// cannot be opened, 0 otherwise.
bool probeCaptureNode(const char* node, QString* card, int* openError)
{
    *openError = 0;
    const int fd = ::open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *openError = -errno;
        return false;
    }
    v4l2_capability cap{};
    const bool ok = retryIoctl(fd, VIDIOC_QUERYCAP, &cap) == 0;
    ::close(fd);
    if (!ok)
        return false;
    const std::uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE))
        return false;
    *card = QString::fromUtf8(
        reinterpret_cast<const char*>(cap.card),
        static_cast<int>(strnlen(reinterpret_cast<const char*>(cap.card), sizeof cap.card)));
    return true;
}

struct Candidate
{
    LinuxCaptureNode node;
    UsbVideoNodeIdentity identity;
    int nodeNumber = 0;
};

// Orders USB port names ("1-2", "1-2.3", "1-10") by their numbers, not as plain text.
bool portLess(const QString& a, const QString& b)
{
    const QStringList pa = a.split(QRegularExpression(QStringLiteral("[-.]")));
    const QStringList pb = b.split(QRegularExpression(QStringLiteral("[-.]")));
    for (int i = 0; i < std::min(pa.size(), pb.size()); ++i) {
        const int x = pa.at(i).toInt();
        const int y = pb.at(i).toInt();
        if (x != y)
            return x < y;
    }
    return pa.size() < pb.size();
}

class LinuxVideoDevice : public VideoDeviceHandle
{
public:
    LinuxVideoDevice(int fd, QByteArray descriptors, const UsbFunctionLocation& function)
        : m_fd(fd), m_descriptors(std::move(descriptors)), m_function(function)
    {
    }
    ~LinuxVideoDevice() override { ::close(m_fd); }

    int findExtensionUnit(const std::array<std::uint8_t, 16>& guid) override
    {
        const int unit = findExtensionUnitId(m_descriptors, guid, m_function);
        return unit < 0 ? -ENOENT : unit;
    }

    int xuQuery(int unit, int selector, XuRequest request, std::uint8_t* data, std::uint16_t size) override
    {
        uvc_xu_control_query query{};
        query.unit = static_cast<__u8>(unit);
        query.selector = static_cast<__u8>(selector);
        query.query = static_cast<__u8>(request);
        query.size = size;
        query.data = data;
        return retryIoctl(m_fd, UVCIOC_CTRL_QUERY, &query);
    }

    int queryControl(std::uint32_t id, ControlRange* range) override
    {
        v4l2_queryctrl query{};
        query.id = id;
        if (const int result = retryIoctl(m_fd, VIDIOC_QUERYCTRL, &query))
            return result;
        if (query.flags & V4L2_CTRL_FLAG_DISABLED)
            return -EINVAL;
        range->minimum = query.minimum;
        range->maximum = query.maximum;
        range->step = query.step;
        range->defaultValue = query.default_value;
        return 0;
    }

    int getControl(std::uint32_t id, std::int32_t* value) override
    {
        v4l2_control control{};
        control.id = id;
        if (const int result = retryIoctl(m_fd, VIDIOC_G_CTRL, &control))
            return result;
        *value = control.value;
        return 0;
    }

    int setControl(std::uint32_t id, std::int32_t value) override
    {
        v4l2_control control{};
        control.id = id;
        control.value = value;
        return retryIoctl(m_fd, VIDIOC_S_CTRL, &control);
    }

private:
    int m_fd;
    QByteArray m_descriptors;
    UsbFunctionLocation m_function; // where in m_descriptors this node's video function is
};

} // namespace

QVector<VideoDeviceInfo> LinuxVideoBackend::listCaptureDevices()
{
    QVector<VideoDeviceInfo> devices;
    for (const LinuxCaptureNode& node : listCaptureNodes())
        devices.append(node.info);
    return devices;
}

QVector<InaccessibleVideoDevice> LinuxVideoBackend::listInaccessibleDevices()
{
    QVector<InaccessibleVideoDevice> denied;
    static_cast<void>(listNodes(&denied));
    return denied;
}

QVector<LinuxCaptureNode> LinuxVideoBackend::listCaptureNodes()
{
    return listNodes(nullptr);
}

QVector<LinuxCaptureNode> LinuxVideoBackend::listNodes(QVector<InaccessibleVideoDevice>* denied)
{
    QSet<QString> deniedPorts; // one entry per USB device
    UdevPtr<udev> context(udev_new());
    if (!context)
        return {};
    UdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
    udev_enumerate_add_match_subsystem(enumerate.get(), "video4linux");
    udev_enumerate_scan_devices(enumerate.get());

    QVector<Candidate> candidates;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
    {
        UdevPtr<udev_device> device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        const char* node = device ? udev_device_get_devnode(device.get()) : nullptr;
        if (!node)
            continue;
        // Parents belong to the child; they are not unreferenced separately.
        udev_device* usbInterface =
            udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_interface");
        udev_device* usbDevice =
            udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device");
        if (!usbDevice)
            continue; // not a USB camera
        Candidate candidate;
        int openError = 0;
        if (!probeCaptureNode(node, &candidate.node.info.friendlyName, &openError)) {
            const QString port = QString::fromUtf8(udev_device_get_sysname(usbDevice));
            if (denied && (openError == -EACCES || openError == -EPERM) && !deniedPorts.contains(port)) {
                deniedPorts.insert(port);
                InaccessibleVideoDevice refused;
                refused.node = QString::fromUtf8(node);
                refused.product = sysattr(usbDevice, "product");
                refused.vendorId = sysattr(usbDevice, "idVendor").toInt(nullptr, 16);
                refused.productId = sysattr(usbDevice, "idProduct").toInt(nullptr, 16);
                refused.error = openError;
                denied->append(refused);
            }
            continue;
        }
        candidate.node.info.node = QString::fromUtf8(node);
        candidate.node.syspath = QString::fromUtf8(udev_device_get_syspath(device.get()));
        candidate.identity.vendorId = sysattr(usbDevice, "idVendor").toInt(nullptr, 16);
        candidate.identity.productId = sysattr(usbDevice, "idProduct").toInt(nullptr, 16);
        candidate.identity.serial = sysattr(usbDevice, "serial");
        candidate.identity.busPort = QString::fromUtf8(udev_device_get_sysname(usbDevice));
        candidate.identity.interfaceNumber = sysattr(usbInterface, "bInterfaceNumber").toInt(nullptr, 16);
        const char* number = udev_device_get_sysnum(device.get());
        candidate.nodeNumber = number ? QByteArray(number).toInt() : 0;
        candidates.append(candidate);
    }

    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.identity.busPort != b.identity.busPort)
            return portLess(a.identity.busPort, b.identity.busPort);
        return a.nodeNumber < b.nodeNumber;
    });
    QVector<LinuxCaptureNode> nodes;
    QMap<QString, int> ordinals; // capture nodes seen so far per USB device
    for (Candidate& candidate : candidates) {
        candidate.identity.captureOrdinal = ordinals[candidate.identity.busPort]++;
        candidate.node.info.devicePath = buildDevicePath(candidate.identity);
        nodes.append(candidate.node);
    }
    return nodes;
}

std::unique_ptr<VideoDeviceHandle> LinuxVideoBackend::open(const VideoDeviceInfo& device, int* error)
{
    const QByteArray node = device.node.toLocal8Bit();
    struct stat info = {};
    if (::stat(node.constData(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        *error = -ENODEV;
        return nullptr;
    }
    // The extension unit is looked up in the camera's USB descriptors, read once per open: in the
    // active configuration, within the video function of the interface the node belongs to (a
    // device with two video functions has a unit in each).
    QByteArray descriptors;
    UsbFunctionLocation function;
    UdevPtr<udev> context(udev_new());
    if (context) {
        UdevPtr<udev_device> videoDevice(udev_device_new_from_devnum(context.get(), 'c', info.st_rdev));
        udev_device* usbInterface =
            videoDevice
                ? udev_device_get_parent_with_subsystem_devtype(videoDevice.get(), "usb", "usb_interface")
                : nullptr;
        udev_device* usbDevice =
            videoDevice
                ? udev_device_get_parent_with_subsystem_devtype(videoDevice.get(), "usb", "usb_device")
                : nullptr;
        if (usbDevice) {
            descriptors = readSysfsFile(QString::fromUtf8(udev_device_get_syspath(usbDevice)) +
                                        QStringLiteral("/descriptors"));
            bool ok = false;
            const int configuration = sysattr(usbDevice, "bConfigurationValue").toInt(&ok, 10);
            if (ok)
                function.configurationValue = configuration;
        }
        if (usbInterface) {
            bool ok = false;
            const int number = sysattr(usbInterface, "bInterfaceNumber").toInt(&ok, 16);
            if (ok)
                function.interfaceNumber = number;
        }
    }
    const int fd = ::open(node.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *error = -errno;
        return nullptr;
    }
    return std::make_unique<LinuxVideoDevice>(fd, descriptors, function);
}
