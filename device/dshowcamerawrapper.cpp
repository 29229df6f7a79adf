#include "dshowcamerawrapper.h"

#include "app/logcategories.h"
#include "device/cameracontroltable.h"
#include "device/controlids.h"
#include "device/deviceid.h"
#include "device/deviceplatform.h"
#include "device/videobackend.h"

#include <QDebug>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <cmath>

namespace {

// How one standard control maps onto the kernel's control.
struct ControlBinding
{
    CameraControl control;
    std::uint32_t v4l2Id;
    std::uint32_t autoId;   // 0: the control has no automatic mode
    int kernelUnitsPerUnit; // 3600 arc-seconds per degree for pan and tilt, else 1
    const char* label;
    const char* rangeError;
};

const ControlBinding kPan = {CameraControl::Pan, v4l2::kCidPanAbsolute,     0, 3600,
                             "Pan--->",          "Get Pan Parameter Error."};
const ControlBinding kTilt = {CameraControl::Tilt, v4l2::kCidTiltAbsolute,     0, 3600,
                              "Tilt--->",          "Get Tilt Parameter Error."};
const ControlBinding kZoom = {CameraControl::Zoom, v4l2::kCidZoomAbsolute,     0, 1,
                              "Zoom--->",          "Get Zoom Parameter Error."};
const ControlBinding kBrightness = {CameraControl::Brightness, v4l2::kCidBrightness,
                                    v4l2::kCidAutoBrightness,  1,
                                    "Brightness--->",          "Get Brightness Parameter Error."};
const ControlBinding kContrast = {CameraControl::Contrast,        v4l2::kCidContrast, 0, 1, "Contrast--->",
                                  "Get Contrast Parameter Error."};
const ControlBinding kHue = {CameraControl::Hue,        v4l2::kCidHue, v4l2::kCidHueAuto, 1, "Hue--->",
                             "Get Hue Parameter Error."};
const ControlBinding kSaturation = {
    CameraControl::Saturation,        v4l2::kCidSaturation, 0, 1, "Saturation--->",
    "Get Saturation Parameter Error."};
const ControlBinding kSharpness = {
    CameraControl::Sharpness, v4l2::kCidSharpness, 0, 1, "Sharpness--->", "Get Sharpness Parameter Error."};

const ControlBinding* cameraControlBinding(int id)
{
    switch (id) {
    case camera_control_id::Pan:
        return &kPan;
    case camera_control_id::Tilt:
        return &kTilt;
    case camera_control_id::Zoom:
        return &kZoom;
    default:
        return nullptr;
    }
}

const ControlBinding* videoProcAmpBinding(int id)
{
    switch (id) {
    case video_proc_amp_id::Brightness:
        return &kBrightness;
    case video_proc_amp_id::Contrast:
        return &kContrast;
    case video_proc_amp_id::Hue:
        return &kHue;
    case video_proc_amp_id::Saturation:
        return &kSaturation;
    case video_proc_amp_id::Sharpness:
        return &kSharpness;
    default:
        return nullptr;
    }
}

int toUnits(const ControlBinding& binding, std::int32_t kernelValue)
{
    if (binding.kernelUnitsPerUnit == 1)
        return kernelValue;
    return static_cast<int>(std::lround(static_cast<double>(kernelValue) / binding.kernelUnitsPerUnit));
}

std::int32_t toKernelUnits(const ControlBinding& binding, int value)
{
    const long long scaled = static_cast<long long>(value) * binding.kernelUnitsPerUnit;
    return static_cast<std::int32_t>(std::clamp<long long>(scaled, INT32_MIN, INT32_MAX));
}

// The process-wide bound device and the lock that guards it across each request.
QMutex g_filterLock;
std::unique_ptr<VideoDeviceHandle> g_filter;

bool listedName(const QString& name)
{
    return !name.contains(QLatin1String("MIC"), Qt::CaseInsensitive);
}

// Reads range and current value of one control into the table; logs the outcome.
void readControlRange(VideoDeviceHandle& device, const ControlBinding& binding)
{
    ControlRange range;
    if (device.queryControl(binding.v4l2Id, &range) != 0) {
        qCDebug(lcDevice) << binding.rangeError;
        return;
    }
    CameraControlTable& table = CameraControlTable::instance();
    table.setRange(binding.control, toUnits(binding, range.minimum), toUnits(binding, range.maximum),
                   toUnits(binding, range.defaultValue));
    std::int32_t current = 0;
    if (device.getControl(binding.v4l2Id, &current) == 0)
        table.setCurrent(binding.control, toUnits(binding, current));
    const ControlValues values = table.get(binding.control);
    qCDebug(lcDevice) << binding.label << "Min:" << values.minimum << "Max:" << values.maximum
                      << "Default:" << values.defaultValue << "Cur:" << values.current;
}

} // namespace

DShowCameraWrapper::DShowCameraWrapper(VideoBackend* backend, QObject* parent)
    : QObject(parent), m_backend(backend ? backend : &devicePlatform().video())
{
}

int DShowCameraWrapper::listVideoDevices(QVector<CameraEntry>& entries)
{
    qCDebug(lcDevice, "SETUP: Looking For Capture Devices");
    const QVector<VideoDeviceInfo> devices = m_backend->listCaptureDevices();
    for (int index = 0; index < devices.size(); ++index) {
        const VideoDeviceInfo& device = devices.at(index);
        qCDebug(lcDevice).noquote() << "Device path:" << device.devicePath;
        const QString name = device.friendlyName.left(255);
        if (!listedName(name))
            continue;
        CameraEntry entry;
        entry.index = index;
        entry.id = deviceIdFromPath(device.devicePath);
        entry.name = name;
        entries.append(entry);
        qCDebug(lcDevice).noquote() << "usb camera name:" << entry.name << " id:" << entry.id;
    }
    return entries.size();
}

bool DShowCameraWrapper::openCameraFilter(const QString& id, const QString& name, int& index)
{
    QMutexLocker locker(&g_filterLock);
    g_filter.reset();
    const QVector<VideoDeviceInfo> devices = m_backend->listCaptureDevices();
    for (int position = 0; position < devices.size(); ++position) {
        const VideoDeviceInfo& device = devices.at(position);
        if (deviceIdFromPath(device.devicePath) != id || device.friendlyName.left(255) != name)
            continue;
        int error = 0;
        g_filter = m_backend->open(device, &error);
        if (!g_filter) {
            qCDebug(lcDevice) << qUtf8Printable(cameraPrefix(id)) << "Cannot open" << device.node << "error"
                              << error;
            return false;
        }
        index = position;
        qCDebug(lcDevice).noquote() << "get camera name:" << name << " id:" << id;
        return true;
    }
    return false;
}

void DShowCameraWrapper::releaseCameraFilter()
{
    QMutexLocker locker(&g_filterLock);
    g_filter.reset();
}

bool DShowCameraWrapper::hasBoundFilter() const
{
    QMutexLocker locker(&g_filterLock);
    return g_filter != nullptr;
}

bool DShowCameraWrapper::bindFilterByIndex(int index, std::unique_ptr<VideoDeviceHandle>& filter)
{
    const QVector<VideoDeviceInfo> devices = m_backend->listCaptureDevices();
    for (int position = 0; position <= index && position < devices.size(); ++position)
        qCDebug(lcDevice).noquote() << "directshow camera info: " << position
                                    << devices.at(position).friendlyName;
    if (index < 0 || index >= devices.size())
        return false;
    int error = 0;
    filter = m_backend->open(devices.at(index), &error);
    return filter != nullptr;
}

bool DShowCameraWrapper::queryControlRanges(int index)
{
    std::unique_ptr<VideoDeviceHandle> device;
    if (!bindFilterByIndex(index, device)) {
        qCDebug(lcDevice, "directshow BindFilter error");
        return false;
    }
    for (const ControlBinding* binding : {&kZoom, &kPan, &kTilt})
        readControlRange(*device, *binding);
    for (const ControlBinding* binding : {&kBrightness, &kContrast, &kSharpness, &kHue, &kSaturation})
        readControlRange(*device, *binding);
    return true;
}

namespace {

bool readBound(const ControlBinding* binding, int& value, bool logId, int id)
{
    if (!binding)
        return false;
    QMutexLocker locker(&g_filterLock);
    if (!g_filter)
        return false;
    std::int32_t kernelValue = 0;
    if (const int result = g_filter->getControl(binding->v4l2Id, &kernelValue)) {
        qCDebug(lcDevice) << "Cannot read control" << binding->label << "error" << result;
        return false;
    }
    value = toUnits(*binding, kernelValue);
    if (logId)
        qCDebug(lcDevice) << "ID:" << id << "devCtl.Value:" << value;
    else
        qCDebug(lcDevice) << "devCtl.Value:" << value;
    CameraControlTable::instance().setCurrent(binding->control, value);
    return true;
}

bool writeBound(const ControlBinding* binding, int value, bool automatic)
{
    if (!binding)
        return false;
    QMutexLocker locker(&g_filterLock);
    if (!g_filter)
        return false;
    if (automatic && binding->autoId == 0) {
        qCDebug(lcDevice) << "No automatic mode for" << binding->label;
        return false;
    }
    // Automatic mode owns the value: leave it before a manual write, enter it after passing
    // the value.
    if (!automatic && binding->autoId != 0) {
        std::int32_t isAuto = 0;
        if (g_filter->getControl(binding->autoId, &isAuto) == 0 && isAuto != 0)
            g_filter->setControl(binding->autoId, 0);
    }
    int result = g_filter->setControl(binding->v4l2Id, toKernelUnits(*binding, value));
    if (result == 0 && automatic)
        result = g_filter->setControl(binding->autoId, 1);
    if (result != 0) {
        qCDebug(lcDevice) << "Cannot write control" << binding->label << "error" << result;
        return false;
    }
    return true;
}

bool rangeBound(const ControlBinding* binding, ControlRange& range)
{
    if (!binding)
        return false;
    QMutexLocker locker(&g_filterLock);
    if (!g_filter)
        return false;
    ControlRange kernel;
    if (const int result = g_filter->queryControl(binding->v4l2Id, &kernel)) {
        qCDebug(lcDevice) << binding->rangeError << "error" << result;
        return false;
    }
    range.minimum = toUnits(*binding, kernel.minimum);
    range.maximum = toUnits(*binding, kernel.maximum);
    range.step = std::max(1, toUnits(*binding, kernel.step));
    range.defaultValue = toUnits(*binding, kernel.defaultValue);
    return true;
}

} // namespace

bool DShowCameraWrapper::getCameraControlRange(int id, ControlRange& range)
{
    return rangeBound(cameraControlBinding(id), range);
}

bool DShowCameraWrapper::getVideoProcAmpRange(int id, ControlRange& range)
{
    return rangeBound(videoProcAmpBinding(id), range);
}

bool DShowCameraWrapper::getCameraControl(int id, int& value)
{
    return readBound(cameraControlBinding(id), value, false, id);
}

bool DShowCameraWrapper::getVideoProcAmp(int id, int& value)
{
    return readBound(videoProcAmpBinding(id), value, true, id);
}

bool DShowCameraWrapper::setCameraControl(int id, int value)
{
    return writeBound(cameraControlBinding(id), value, false);
}

bool DShowCameraWrapper::setVideoProcAmp(int id, int value)
{
    qCDebug(lcDevice) << "devCtl.Value:" << value;
    return writeBound(videoProcAmpBinding(id), value, false);
}

bool DShowCameraWrapper::setVideoProcAmpAuto(int id, int value)
{
    qCDebug(lcDevice) << "devCtl.Value:" << value;
    return writeBound(videoProcAmpBinding(id), value, true);
}

bool DShowCameraWrapper::parseVidPid(const QString& id, int& vid, int& pid)
{
    if (id.isEmpty())
        return false;
    // One "<marker>XXXX&" field: the hex digits between the marker and the first "&" of text,
    // which must lie at least the marker's length after it. Returns the position after that
    // "&", or -1.
    auto field = [](const QString& text, const QString& marker, int& value, bool& converted) {
        const int start = text.indexOf(marker);
        const int amp = text.indexOf(QLatin1Char('&'));
        if (start < 0 || amp < 0 || amp - start < marker.size())
            return -1;
        const QString digits = text.mid(start + marker.size(), amp - start - marker.size());
        // Hex digits only: the conversion alone would also take trailing blanks.
        const bool hexOnly = std::all_of(digits.begin(), digits.end(), [](QChar c) {
            const char16_t u = c.unicode();
            return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
        });
        value = QStringLiteral("0x%1").arg(digits).toInt(&converted, 16);
        converted = converted && hexOnly;
        return amp + 1;
    };
    // Each field keeps its own conversion flag: a vendor id that is not hexadecimal fails the
    // parse just as a bad product id does.
    bool vendorConverted = false;
    bool productConverted = false;
    const int afterVendor = field(id, QStringLiteral("vid_"), vid, vendorConverted);
    if (afterVendor < 0)
        return false;
    if (field(id.mid(afterVendor), QStringLiteral("pid_"), pid, productConverted) < 0)
        return false;
    qCDebug(lcDevice) << "vid:" << vid << " pid:" << pid;
    return vendorConverted && productConverted;
}
