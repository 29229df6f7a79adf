#include "rawusbvideo.h"

#include "device/controlids.h"
#include "device/deviceid.h"
#include "device/xuprotocol.h"
#include "mac/uvccameradevices.h"

#include <QtEndian>

#include <cerrno>

namespace {

using namespace v4l2; // the standard controls' ids (device/controlids.h)

// Where a control's value sits: unit, selector, payload length, and the byte offset and width of
// this control's part (pan and tilt share one 8-byte control).
struct ControlPlace
{
    std::uint32_t id;
    int unit;
    int selector;
    int length;
    int offset;
    int width;
    bool isSigned;
};

constexpr ControlPlace kPlaces[] = {
    {kCidZoomAbsolute, uvc::kCameraTerminal, uvc::CT_ZOOM_ABSOLUTE, 2, 0, 2, false},
    {kCidPanAbsolute, uvc::kCameraTerminal, uvc::CT_PANTILT_ABSOLUTE, 8, 0, 4, true},
    {kCidTiltAbsolute, uvc::kCameraTerminal, uvc::CT_PANTILT_ABSOLUTE, 8, 4, 4, true},
    {kCidFocusAbsolute, uvc::kCameraTerminal, uvc::CT_FOCUS_ABSOLUTE, 2, 0, 2, false},
    {kCidFocusAuto, uvc::kCameraTerminal, uvc::CT_FOCUS_AUTO, 1, 0, 1, false},
    {kCidBrightness, uvc::kProcessingUnit, uvc::PU_BRIGHTNESS, 2, 0, 2, true},
    {kCidContrast, uvc::kProcessingUnit, uvc::PU_CONTRAST, 2, 0, 2, false},
    {kCidHue, uvc::kProcessingUnit, uvc::PU_HUE, 2, 0, 2, true},
    {kCidSaturation, uvc::kProcessingUnit, uvc::PU_SATURATION, 2, 0, 2, false},
    {kCidSharpness, uvc::kProcessingUnit, uvc::PU_SHARPNESS, 2, 0, 2, false},
    {kCidHueAuto, uvc::kProcessingUnit, uvc::PU_HUE_AUTO, 1, 0, 1, false},
};

const ControlPlace* placeOf(std::uint32_t id)
{
    for (const ControlPlace& p : kPlaces) {
        if (p.id == id)
            return &p;
    }
    return nullptr;
}

std::int32_t readPart(const ControlPlace& p, const QByteArray& data)
{
    const char* at = data.constData() + p.offset;
    switch (p.width) {
    case 1:
        return static_cast<std::uint8_t>(at[0]);
    case 2:
        return p.isSigned ? qFromLittleEndian<qint16>(at) : qFromLittleEndian<quint16>(at);
    default:
        return qFromLittleEndian<qint32>(at);
    }
}

void writePart(const ControlPlace& p, QByteArray& data, std::int32_t value)
{
    char* at = data.data() + p.offset;
    for (int i = 0; i < p.width; ++i)
        at[i] = static_cast<char>(static_cast<std::uint32_t>(value) >> (8 * i));
}

class RawUsbDeviceHandle : public VideoDeviceHandle
{
public:
    explicit RawUsbDeviceHandle(std::unique_ptr<UVCCameraDevices> camera) : m_camera(std::move(camera)) {}

    int findExtensionUnit(const std::array<std::uint8_t, 16>& guid) override
    {
        // The cameras of this family carry the vendor unit at a fixed id.
        return guid == xu::kUnitGuid ? uvc::kExtensionUnit : -ENOENT;
    }

    int xuQuery(int unit, int selector, XuRequest request, std::uint8_t* data, std::uint16_t size) override
    {
        if (request == XuRequest::SetCur)
            return m_camera->setData(data, size, selector, unit) ? 0 : -EIO;
        const std::optional<QByteArray> answer =
            m_camera->getDataFor(static_cast<std::uint8_t>(request), size, selector, unit);
        if (!answer || answer->size() != size)
            return -EIO;
        std::copy(answer->begin(), answer->end(), data);
        return 0;
    }

    int queryControl(std::uint32_t id, ControlRange* range) override
    {
        const ControlPlace* p = placeOf(id);
        if (!p)
            return -EINVAL;
        std::int32_t values[4] = {};
        const std::uint8_t requests[4] = {uvc::GET_MIN, uvc::GET_MAX, uvc::GET_RES, uvc::GET_DEF};
        for (int i = 0; i < 4; ++i) {
            const std::optional<QByteArray> answer =
                m_camera->getDataFor(requests[i], p->length, p->selector, p->unit);
            if (answer && answer->size() == p->length)
                values[i] = readPart(*p, *answer);
            else if (requests[i] == uvc::GET_RES)
                values[i] = 1; // a camera without a resolution steps by one
            else
                return -EIO;
        }
        range->minimum = values[0];
        range->maximum = values[1];
        range->step = values[2];
        range->defaultValue = values[3];
        return 0;
    }

    int getControl(std::uint32_t id, std::int32_t* value) override
    {
        const ControlPlace* p = placeOf(id);
        if (!p)
            return -EINVAL;
        const std::optional<QByteArray> answer = current(*p);
        if (!answer)
            return -EIO;
        *value = readPart(*p, *answer);
        return 0;
    }

    int setControl(std::uint32_t id, std::int32_t value) override
    {
        const ControlPlace* p = placeOf(id);
        if (!p)
            return -EINVAL;
        QByteArray payload(p->length, '\0');
        if (p->width != p->length) {
            // Pan and tilt travel together: keep the other axis where it is.
            const std::optional<QByteArray> now = current(*p);
            if (!now)
                return -EIO;
            payload = *now;
        }
        writePart(*p, payload, value);
        return m_camera->setData(reinterpret_cast<const std::uint8_t*>(payload.constData()), p->length,
                                 p->selector, p->unit)
                   ? 0
                   : -EIO;
    }

private:
    std::optional<QByteArray> current(const ControlPlace& p)
    {
        if (!m_camera->getDataFor(uvc::GET_INFO, uvc::kInfoLength, p.selector, p.unit))
            return std::nullopt;
        std::optional<QByteArray> answer = m_camera->getDataFor(uvc::GET_CUR, p.length, p.selector, p.unit);
        if (!answer || answer->size() != p.length)
            return std::nullopt;
        return answer;
    }

    std::unique_ptr<UVCCameraDevices> m_camera;
};

} // namespace

QVector<VideoDeviceInfo> RawUsbVideoBackend::listCaptureDevices()
{
    QVector<VideoDeviceInfo> list;
    for (const uvc::UsbCamera& camera : m_bus.listCameras()) {
        if (camera.accessError)
            continue;
        UsbVideoNodeIdentity identity;
        identity.vendorId = camera.vendorId;
        identity.productId = camera.productId;
        identity.interfaceNumber = camera.videoControlInterface;
        identity.serial = camera.serial;
        identity.busPort = camera.busPort;
        VideoDeviceInfo info;
        info.devicePath = buildDevicePath(identity);
        info.friendlyName = camera.product.isEmpty()
                                ? QString::asprintf("USB Camera %04x:%04x", camera.vendorId, camera.productId)
                                : camera.product;
        // "<bus-port>/<vid><pid>": open() finds the device by its place and ids.
        info.node = UVCCameraDevices::getDevicesUniqueID(camera.busPort + QLatin1Char('/'), camera.vendorId,
                                                         camera.productId);
        list << info;
    }
    return list;
}

namespace {

// "<bus-port>/<vid><pid>", as listCaptureDevices() names a camera's node.
bool placeFromNode(const QString& node, RawUsbVideoBackend::Place* place)
{
    bool vendorOk = false;
    bool productOk = false;
    place->busPort = node.section(QLatin1Char('/'), 0, -2);
    place->vendorId = node.right(8).left(4).toInt(&vendorOk, 16);
    place->productId = node.right(4).toInt(&productOk, 16);
    return vendorOk && productOk;
}

} // namespace

std::unique_ptr<VideoDeviceHandle> RawUsbVideoBackend::open(const VideoDeviceInfo& device, int* error)
{
    auto camera = std::make_unique<UVCCameraDevices>(m_bus);
    Place place;
    if (!placeFromNode(device.node, &place) ||
        !camera->initAt(place.vendorId, place.productId, place.busPort)) {
        if (error)
            *error = -ENODEV;
        return nullptr;
    }
    return std::make_unique<RawUsbDeviceHandle>(std::move(camera));
}

std::unique_ptr<UVCCameraDevices> RawUsbVideoBackend::openCamera(const QString& devicePath, Place* place)
{
    for (const VideoDeviceInfo& device : listCaptureDevices()) {
        if (!device.devicePath.contains(devicePath))
            continue;
        Place found;
        auto camera = std::make_unique<UVCCameraDevices>(m_bus);
        if (!placeFromNode(device.node, &found) ||
            !camera->initAt(found.vendorId, found.productId, found.busPort))
            return nullptr;
        if (place)
            *place = found;
        return camera;
    }
    return nullptr;
}

QVector<InaccessibleVideoDevice> RawUsbVideoBackend::listInaccessibleDevices()
{
    QVector<InaccessibleVideoDevice> denied;
    for (const uvc::UsbCamera& camera : m_bus.listCameras()) {
        if (!camera.accessError)
            continue;
        InaccessibleVideoDevice device;
        device.node = camera.node;
        device.product = camera.product;
        device.vendorId = camera.vendorId;
        device.productId = camera.productId;
        device.error = camera.accessError;
        denied << device;
    }
    return denied;
}

RawUsbPlatform::RawUsbPlatform(std::unique_ptr<DevicePlatform> inner, std::unique_ptr<uvc::UsbBus> bus)
    : m_inner(std::move(inner)), m_bus(std::move(bus)), m_video(*m_bus)
{
}

RawUsbPlatform::~RawUsbPlatform() = default;
