// umockdev first: its GIO headers must be read before any Qt header could define "signals".
#include <umockdev.h>

#include "umockdevcamera.h"

#include "sim/umockdev/umockdevdata.h"
#include "sim/umockdev/umockdevtestbed.h"

#include "sim/virtualcamera.h"
#include "sim/virtualrig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <vector>

namespace {

constexpr int kVideoMajor = 81;
constexpr int kUsbDeviceMajor = 189;
constexpr const char* kControllerPath = "pci0000:00/0000:00:14.0";
// The kernel version VIDIOC_QUERYCAP reports (6.1.0).
constexpr std::uint32_t kKernelVersion = (6u << 16) | (1u << 8);

enum class NodeKind
{
    Capture,
    Metadata,
    Microphone,
};

using namespace umockdev_data;
using namespace umockdev_testbed;

// Copies text into a fixed, zero-terminated kernel string field, truncating as strscpy does.
template <typename Char, std::size_t N> void copyText(Char (&field)[N], const QByteArray& text)
{
    const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(text.size()), N - 1);
    std::memcpy(field, text.constData(), length);
    field[length] = 0;
}

QByteArray controlName(std::uint32_t id)
{
    switch (id) {
    case V4L2_CID_BRIGHTNESS:
        return "Brightness";
    case V4L2_CID_CONTRAST:
        return "Contrast";
    case V4L2_CID_SATURATION:
        return "Saturation";
    case V4L2_CID_HUE:
        return "Hue";
    case V4L2_CID_SHARPNESS:
        return "Sharpness";
    case V4L2_CID_HUE_AUTO:
        return "Hue, Auto";
    case V4L2_CID_AUTOBRIGHTNESS:
        return "Brightness, Automatic";
    case V4L2_CID_PAN_ABSOLUTE:
        return "Pan, Absolute";
    case V4L2_CID_TILT_ABSOLUTE:
        return "Tilt, Absolute";
    case V4L2_CID_ZOOM_ABSOLUTE:
        return "Zoom, Absolute";
    default:
        return QByteArray("Control ") + QByteArray::number(id, 16);
    }
}

std::uint32_t controlType(std::uint32_t id)
{
    switch (id) {
    case V4L2_CID_HUE_AUTO:
    case V4L2_CID_AUTOBRIGHTNESS:
    case V4L2_CID_AUTO_WHITE_BALANCE:
        return V4L2_CTRL_TYPE_BOOLEAN;
    default:
        return V4L2_CTRL_TYPE_INTEGER;
    }
}

// Pan, tilt and zoom carry the UVC "auto-update" flag (the camera may change them by itself, while
// it tracks a speaker): the driver reads them from the camera every time. Other controls it
// answers from its cache once it knows the value.
bool autoUpdate(std::uint32_t id)
{
    return id == V4L2_CID_PAN_ABSOLUTE || id == V4L2_CID_TILT_ABSOLUTE || id == V4L2_CID_ZOOM_ABSOLUTE;
}

// The control classes uvcvideo reports, in the order it looks for them; a class is there when
// one of its controls is.
constexpr std::uint32_t kControlClasses[] = {V4L2_CID_CAMERA_CLASS, V4L2_CID_USER_CLASS};

QByteArray className(std::uint32_t classId)
{
    return classId == V4L2_CID_CAMERA_CLASS ? "Camera Controls" : "User Controls";
}

// One control or control class as VIDIOC_QUERY_EXT_CTRL describes it.
struct ControlInfo
{
    std::uint32_t id = 0;
    std::uint32_t type = 0;
    QByteArray name;
    std::int64_t minimum = 0;
    std::int64_t maximum = 0;
    std::uint64_t step = 0;
    std::int64_t defaultValue = 0;
    std::uint32_t flags = 0;
};

// The input terminal as uvcvideo names it: "Camera <terminal id>".
constexpr const char* kInputName = "Camera 1";

// One emulated /dev/videoN. Its ioctls are answered on umockdev's worker thread while the
// calling thread waits in ioctl(); everything but `removed` is fixed before the first client.
struct Node
{
    VirtualRig* rig = nullptr;
    int camera = 0;
    NodeKind kind = NodeKind::Capture;
    QByteArray devnode; // "/dev/videoN"
    QString syspath;
    QByteArray card;
    QByteArray busInfo;
    UMockdevIoctlBase* handler = nullptr;
    gulong signalId = 0;
    bool attached = false;
    std::atomic<bool> removed{false};
    std::atomic<bool> unbound{false}; // uvcvideo is not bound to the VideoControl interface
    // Told about every request that reached the model (EmulatedCameras::setRequestObserver).
    const std::function<void(int)>* observer = nullptr;

    // Answers one ioctl: 0 or the errno to fail it with.
    int answer(gulong request, UMockdevIoctlData* arg);

private:
    int queryCapability(UMockdevIoctlData* arg);
    int extensionUnitQuery(UMockdevIoctlData* arg);
    int queryControl(UMockdevIoctlData* arg);
    int queryExtControl(UMockdevIoctlData* arg);
    int queryMenu(UMockdevIoctlData* arg);
    int getControl(UMockdevIoctlData* arg);
    int setControl(UMockdevIoctlData* arg);
    int extControls(gulong request, UMockdevIoctlData* arg);
    int enumInput(UMockdevIoctlData* arg);
    int input(gulong request, UMockdevIoctlData* arg);

    // The camera's controls (its model's table); ENODEV when it is gone, EINVAL on the
    // microphone node, which has none.
    int controls(QVector<VirtualControl>* table);
    // Looks a control or class up as VIDIOC_QUERYCTRL does, V4L2_CTRL_FLAG_NEXT_CTRL and
    // V4L2_CTRL_FLAG_NEXT_COMPOUND included: 0 or the errno.
    int describe(std::uint32_t requestId, ControlInfo* info);
    // Whether id names one of the control classes the camera has.
    static bool isClass(const QVector<VirtualControl>& table, std::uint32_t id);
    // The checks uvcvideo makes before a get or set: EACCES for a class, EINVAL for an unknown id.
    int checkAccess(std::uint32_t id, VirtualControl* control);
    // The driver's value of one control: from its cache, or GET_CUR from the camera.
    int currentValue(std::uint32_t id, std::int32_t* value);
    // Clamps and rounds value into the control's range as the driver does before SET_CUR.
    static std::int32_t fitted(const VirtualControl& control, std::int32_t value);
    // SET_CUR of one (fitted) value; the cache follows only what the camera took.
    int applyValue(std::uint32_t id, std::int32_t value);

    // What the driver knows of the controls' current values, by id (uvcvideo keeps it per
    // device, for every open file). Only umockdev's worker thread touches it.
    QMap<std::uint32_t, std::int32_t> m_cache;
};

int Node::answer(gulong request, UMockdevIoctlData* arg)
{
    // A disconnected device's open descriptors fail every call, as V4L2 does for an
    // unregistered video device.
    if (removed.load() || unbound.load())
        return ENODEV;
    if (request == VIDIOC_QUERYCAP)
        return queryCapability(arg);
    // uvcvideo's metadata node has neither controls nor the extension-unit ioctl.
    if (kind == NodeKind::Metadata)
        return ENOTTY;
    switch (request) {
    case UVCIOC_CTRL_QUERY:
        return extensionUnitQuery(arg);
    case VIDIOC_QUERYCTRL:
        return queryControl(arg);
    case VIDIOC_QUERY_EXT_CTRL:
        return queryExtControl(arg);
    case VIDIOC_QUERYMENU:
        return queryMenu(arg);
    case VIDIOC_G_CTRL:
        return getControl(arg);
    case VIDIOC_S_CTRL:
        return setControl(arg);
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS:
        return extControls(request, arg);
    case VIDIOC_ENUMINPUT:
        return enumInput(arg);
    case VIDIOC_G_INPUT:
    case VIDIOC_S_INPUT:
        return input(request, arg);
    default:
        return ENOTTY;
    }
}

int Node::queryCapability(UMockdevIoctlData* arg)
{
    const DataPtr data = resolve(arg, 0, sizeof(v4l2_capability));
    if (!data)
        return EFAULT;
    const int state = rig->withCamera(
        camera, [](VirtualCamera& model, QVector<JournalEvent>*) { return model.present() ? 0 : -ENODEV; });
    if (state != 0)
        return -state;
    v4l2_capability capability{};
    copyText(capability.driver, "uvcvideo");
    copyText(capability.card, card);
    copyText(capability.bus_info, busInfo);
    capability.version = kKernelVersion;
    // The driver's capabilities cover all nodes of the device; device_caps are this node's.
    // The V4L2 core adds V4L2_CAP_EXT_PIX_FORMAT to both for every driver.
    capability.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING |
                              V4L2_CAP_EXT_PIX_FORMAT | V4L2_CAP_DEVICE_CAPS;
    capability.device_caps = (kind == NodeKind::Metadata ? V4L2_CAP_META_CAPTURE : V4L2_CAP_VIDEO_CAPTURE) |
                             V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
    store(data, capability);
    return 0;
}

int Node::extensionUnitQuery(UMockdevIoctlData* arg)
{
    const DataPtr header = resolve(arg, 0, sizeof(uvc_xu_control_query));
    if (!header)
        return EFAULT;
    // Read the header before resolving its data pointer, which replaces that pointer locally.
    const auto query = load<uvc_xu_control_query>(header);
    if (kind == NodeKind::Microphone) {
        const int state = rig->withCamera(camera, [](VirtualCamera& model, QVector<JournalEvent>*) {
            return model.present() ? -ENOENT : -ENODEV;
        });
        return -state;
    }
    // The model works on its own copy; the caller's buffer changes only when the request
    // succeeds, as the driver copies back only then.
    QByteArray buffer(static_cast<int>(query.size), '\0');
    DataPtr payload;
    if (query.size > 0) {
        payload = resolve(header.get(), offsetof(uvc_xu_control_query, data), query.size);
        if (!payload)
            return EFAULT;
        std::memcpy(buffer.data(), payload->data, query.size);
    }
    const int result =
        rig->withCamera(camera, [&query, &buffer](VirtualCamera& model, QVector<JournalEvent>* journal) {
            return model.xuRequest(query.unit, query.selector, query.query,
                                   reinterpret_cast<std::uint8_t*>(buffer.data()), query.size, journal);
        });
    if (result != 0)
        return -result;
    if (payload)
        std::memcpy(payload->data, buffer.constData(), query.size);
    return 0;
}

int Node::controls(QVector<VirtualControl>* table)
{
    const bool microphone = kind == NodeKind::Microphone;
    const int result = rig->withCamera(camera, [&](VirtualCamera& model, QVector<JournalEvent>*) {
        if (!model.present())
            return -ENODEV;
        if (microphone)
            return -EINVAL;
        for (const std::uint32_t id : model.controlIds()) {
            VirtualControl control;
            if (model.queryControl(id, &control) == 0)
                table->append(control);
        }
        return 0;
    });
    return -result;
}

bool Node::isClass(const QVector<VirtualControl>& table, std::uint32_t id)
{
    if (std::find(std::begin(kControlClasses), std::end(kControlClasses), id) == std::end(kControlClasses))
        return false;
    return std::any_of(table.begin(), table.end(), [id](const VirtualControl& control) {
        return V4L2_CTRL_ID2WHICH(control.id) == V4L2_CTRL_ID2WHICH(id);
    });
}

int Node::describe(std::uint32_t requestId, ControlInfo* info)
{
    QVector<VirtualControl> table;
    if (const int error = controls(&table))
        return error;
    const bool nextControl = (requestId & V4L2_CTRL_FLAG_NEXT_CTRL) != 0;
    const bool nextCompound = (requestId & V4L2_CTRL_FLAG_NEXT_COMPOUND) != 0;
    const std::uint32_t id = requestId & V4L2_CTRL_ID_MASK;
    auto describeClass = [info](std::uint32_t classId) {
        *info = ControlInfo();
        info->id = classId;
        info->type = V4L2_CTRL_TYPE_CTRL_CLASS;
        info->name = className(classId);
        info->flags = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
        return 0;
    };

    const VirtualControl* found = nullptr;
    if (!nextControl && !nextCompound) {
        if (isClass(table, id))
            return describeClass(id);
        for (const VirtualControl& control : table) {
            if (control.id == id)
                found = &control;
        }
    } else if (nextControl) {
        // The next control above id; the camera has no compound controls, so
        // V4L2_CTRL_FLAG_NEXT_COMPOUND alone finds nothing and adds nothing to NEXT_CTRL.
        for (const VirtualControl& control : table) {
            if (control.id > id && (!found || control.id < found->id))
                found = &control;
        }
        // A class that lies between id and that control comes first.
        if (found) {
            for (const std::uint32_t classId : kControlClasses) {
                if (isClass(table, classId) && classId > id && classId < found->id)
                    return describeClass(classId);
            }
        }
    }
    if (!found)
        return EINVAL;
    *info = ControlInfo();
    info->id = found->id;
    info->type = controlType(found->id);
    info->name = controlName(found->id);
    info->minimum = found->minimum;
    info->maximum = found->maximum;
    info->step = static_cast<std::uint64_t>(std::max(1, found->step));
    info->defaultValue = found->defaultValue;
    return 0;
}

int Node::queryControl(UMockdevIoctlData* arg)
{
    const DataPtr data = resolve(arg, 0, sizeof(v4l2_queryctrl));
    if (!data)
        return EFAULT;
    ControlInfo info;
    if (const int error = describe(load<v4l2_queryctrl>(data).id, &info))
        return error;
    v4l2_queryctrl answer{};
    answer.id = info.id;
    answer.type = info.type;
    copyText(answer.name, info.name);
    answer.minimum = static_cast<__s32>(info.minimum);
    answer.maximum = static_cast<__s32>(info.maximum);
    answer.step = static_cast<__s32>(info.step);
    answer.default_value = static_cast<__s32>(info.defaultValue);
    answer.flags = info.flags;
    store(data, answer);
    return 0;
}

int Node::queryExtControl(UMockdevIoctlData* arg)
{
    const DataPtr data = resolve(arg, 0, sizeof(v4l2_query_ext_ctrl));
    if (!data)
        return EFAULT;
    ControlInfo info;
    if (const int error = describe(load<v4l2_query_ext_ctrl>(data).id, &info))
        return error;
    v4l2_query_ext_ctrl answer{};
    answer.id = info.id;
    answer.type = info.type;
    copyText(answer.name, info.name);
    answer.minimum = info.minimum;
    answer.maximum = info.maximum;
    answer.step = info.step;
    answer.default_value = info.defaultValue;
    answer.flags = info.flags;
    answer.elem_size = sizeof(std::int32_t);
    answer.elems = 1;
    store(data, answer);
    return 0;
}

int Node::queryMenu(UMockdevIoctlData* arg)
{
    const DataPtr data = resolve(arg, 0, sizeof(v4l2_querymenu));
    if (!data)
        return EFAULT;
    // Menus belong to menu controls only; the camera's controls are integers and booleans, and
    // an unknown id or a class is no menu either.
    QVector<VirtualControl> table;
    if (const int error = controls(&table))
        return error;
    return EINVAL;
}

int Node::checkAccess(std::uint32_t id, VirtualControl* control)
{
    QVector<VirtualControl> table;
    if (const int error = controls(&table))
        return error;
    if (isClass(table, id))
        return EACCES;
    for (const VirtualControl& entry : table) {
        if (entry.id == id) {
            *control = entry;
            return 0;
        }
    }
    return EINVAL;
}

int Node::currentValue(std::uint32_t id, std::int32_t* value)
{
    if (!autoUpdate(id) && m_cache.contains(id)) {
        *value = m_cache.value(id);
        return 0;
    }
    const int result = rig->withCamera(camera, [&](VirtualCamera& model, QVector<JournalEvent>* journal) {
        return model.getControl(id, value, journal);
    });
    if (result != 0)
        return -result;
    if (!autoUpdate(id))
        m_cache.insert(id, *value);
    return 0;
}

std::int32_t Node::fitted(const VirtualControl& control, std::int32_t value)
{
    const std::int64_t step = std::max(1, control.step);
    const std::int64_t clamped = std::clamp<std::int64_t>(value, control.minimum, control.maximum);
    const std::int64_t steps = (clamped - control.minimum + step / 2) / step;
    return static_cast<std::int32_t>(std::min<std::int64_t>(control.minimum + steps * step, control.maximum));
}

int Node::applyValue(std::uint32_t id, std::int32_t value)
{
    const int result = rig->withCamera(camera, [&](VirtualCamera& model, QVector<JournalEvent>* journal) {
        return model.setControl(id, value, journal);
    });
    if (result != 0)
        return -result; // the driver rolls its cache back: it keeps the value it had
    if (!autoUpdate(id))
        m_cache.insert(id, value);
    return 0;
}

int Node::getControl(UMockdevIoctlData* arg)
{
    const DataPtr data = resolve(arg, 0, sizeof(v4l2_control));
    if (!data)
        return EFAULT;
    auto control = load<v4l2_control>(data);
    VirtualControl entry;
    if (const int error = checkAccess(control.id, &entry))
        return error;
    std::int32_t value = 0;
    if (const int error = currentValue(control.id, &value))
        return error;
    control.value = value;
    store(data, control);
    return 0;
}

int Node::setControl(UMockdevIoctlData* arg)
{
    const DataPtr data = resolve(arg, 0, sizeof(v4l2_control));
    if (!data)
        return EFAULT;
    auto control = load<v4l2_control>(data);
    VirtualControl entry;
    if (const int error = checkAccess(control.id, &entry))
        return error;
    // The driver clamps and rounds, sends the value and hands it back as sent.
    const std::int32_t value = fitted(entry, control.value);
    if (const int error = applyValue(control.id, value))
        return error;
    control.value = value;
    store(data, control);
    return 0;
}

int Node::extControls(gulong request, UMockdevIoctlData* arg)
{
    const DataPtr header = resolve(arg, 0, sizeof(v4l2_ext_controls));
    if (!header)
        return EFAULT;
    auto controlsHeader = load<v4l2_ext_controls>(header);
    const bool tryOnly = request == VIDIOC_TRY_EXT_CTRLS;
    const bool get = request == VIDIOC_G_EXT_CTRLS;
    // The descriptor and the error index go back to the caller also when the call fails.
    auto finish = [&header, &controlsHeader](int error) {
        store(header, controlsHeader);
        return error;
    };
    const std::uint32_t count = controlsHeader.count;
    if (count > V4L2_CID_MAX_CTRLS)
        return E2BIG;
    controlsHeader.reserved[0] = 0;
    DataPtr array;
    std::vector<v4l2_ext_control> list(count);
    if (count > 0) {
        array =
            resolve(header.get(), offsetof(v4l2_ext_controls, controls), count * sizeof(v4l2_ext_control));
        if (!array)
            return EFAULT;
        std::memcpy(list.data(), array->data, count * sizeof(v4l2_ext_control));
    }
    auto finishWithList = [&](int error) {
        if (array)
            std::memcpy(array->data, list.data(), count * sizeof(v4l2_ext_control));
        return finish(error);
    };
    for (v4l2_ext_control& control : list)
        control.reserved2[0] = 0;

    // The V4L2 core's checks of "which": defaults can only be read, requests are not
    // supported, and a class admits only its own controls.
    const std::uint32_t which = controlsHeader.which;
    controlsHeader.error_idx = count;
    if (which == V4L2_CTRL_WHICH_DEF_VAL && !get)
        return finishWithList(EINVAL);
    if (which == V4L2_CTRL_WHICH_REQUEST_VAL)
        return finishWithList(EINVAL);
    if (which != V4L2_CTRL_WHICH_CUR_VAL && which != V4L2_CTRL_WHICH_DEF_VAL) {
        for (std::uint32_t i = 0; i < count; ++i) {
            if (V4L2_CTRL_ID2WHICH(list[i].id) != which) {
                controlsHeader.error_idx = tryOnly ? i : count;
                return finishWithList(EINVAL);
            }
        }
    }

    // uvcvideo's access check of every control before any is touched.
    std::vector<VirtualControl> entries(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (const int error = checkAccess(list[i].id, &entries[i])) {
            controlsHeader.error_idx = tryOnly ? i : count;
            return finishWithList(error);
        }
    }

    if (get) {
        for (std::uint32_t i = 0; i < count; ++i) {
            std::int32_t value = entries[i].defaultValue;
            if (which != V4L2_CTRL_WHICH_DEF_VAL) {
                if (const int error = currentValue(list[i].id, &value)) {
                    controlsHeader.error_idx = i;
                    return finishWithList(error);
                }
            }
            list[i].value = value;
        }
        controlsHeader.error_idx = 0;
        return finishWithList(0);
    }

    for (std::uint32_t i = 0; i < count; ++i)
        list[i].value = fitted(entries[i], list[i].value);
    controlsHeader.error_idx = 0;
    if (tryOnly)
        return finishWithList(0);
    // Committed in order; a control the camera refuses ends the call, the ones before it stay.
    for (std::uint32_t i = 0; i < count; ++i) {
        if (const int error = applyValue(list[i].id, list[i].value)) {
            controlsHeader.error_idx = i;
            return finishWithList(error);
        }
    }
    return finishWithList(0);
}

int Node::enumInput(UMockdevIoctlData* arg)
{
    const DataPtr data = resolve(arg, 0, sizeof(v4l2_input));
    if (!data)
        return EFAULT;
    QVector<VirtualControl> table;
    if (const int error = controls(&table))
        return error == EINVAL ? ENOTTY : error;
    // One camera terminal and no selector unit: one input.
    const std::uint32_t index = load<v4l2_input>(data).index;
    if (index != 0)
        return EINVAL;
    v4l2_input answer{};
    answer.index = index;
    copyText(answer.name, kInputName);
    answer.type = V4L2_INPUT_TYPE_CAMERA;
    store(data, answer);
    return 0;
}

int Node::input(gulong request, UMockdevIoctlData* arg)
{
    const DataPtr data = resolve(arg, 0, sizeof(int));
    if (!data)
        return EFAULT;
    QVector<VirtualControl> table;
    if (const int error = controls(&table))
        return error == EINVAL ? ENOTTY : error;
    if (request == VIDIOC_G_INPUT) {
        store(data, 0);
        return 0;
    }
    return load<int>(data) == 0 ? 0 : EINVAL;
}

gboolean handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    Node* node = static_cast<Node*>(user);
    const int error =
        node->answer(umockdev_ioctl_client_get_request(client), umockdev_ioctl_client_get_arg(client));
    if (node->observer && *node->observer)
        (*node->observer)(node->camera);
    umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
    return TRUE;
}

// "1-2" or "3-1.4": the bus number and the port path.
bool parsePort(const QString& port, int* bus)
{
    static const QRegularExpression pattern(
        QStringLiteral("^([1-9][0-9]{0,2})-([1-9][0-9]*(\\.[1-9][0-9]*)*)$"));
    const QRegularExpressionMatch match = pattern.match(port);
    if (!match.hasMatch())
        return false;
    *bus = match.captured(1).toInt();
    return *bus <= 127;
}

} // namespace

struct EmulatedCameras::Private
{
    struct Camera
    {
        bool presented = false;
        bool driverBound = true;
        QString usbDevice;
        QString usbInterface;
        QString usbNode;
        QByteArray interfaceEvent; // the interface's uevent text while uvcvideo is bound
        QVector<Node*> nodes;      // capture, metadata, microphone
    };

    std::unique_ptr<VirtualRig> ownRig;
    VirtualRig* rig = nullptr;
    UMockdevTestbed* testbed = nullptr;
    bool active = false;
    QString rootDir;
    QStringList errors;
    std::vector<std::unique_ptr<Node>> nodes;
    QVector<Camera> cameras;
    QMap<int, QString> rootHubs; // by bus number
    QMap<int, int> lastDevnum;   // by bus; the root hub is device 1
    int nextVideoNode = 0;       // the next /dev/videoN number
    std::function<void(int)> observer;

    ~Private();
    void build();
    void remove(int camera);
    void setDriverBound(int camera, bool bound);
    void addCamera(int index, const VirtualCamera& camera, int bus, int devnum, int* nextNode);
    QString rootHub(int bus);
    Node* addNode(int camera, NodeKind kind, int number, const VirtualCamera& model);
    QString addDevice(const char* subsystem, const QString& name, const QString& parent,
                      const Pairs& attributes, const Pairs& properties);
    bool createDeviceFile(const QByteArray& devnode);
};

EmulatedCameras::Private::~Private()
{
    // No client may reach a node once it is freed: disconnect first, then detach.
    for (const std::unique_ptr<Node>& node : nodes) {
        if (node->handler && node->signalId != 0)
            g_signal_handler_disconnect(node->handler, node->signalId);
        if (testbed && node->attached)
            umockdev_testbed_detach_ioctl(testbed, node->devnode.constData(), nullptr);
    }
    if (testbed)
        g_object_unref(testbed);
    for (const std::unique_ptr<Node>& node : nodes) {
        if (node->handler)
            g_object_unref(node->handler);
    }
}

QString EmulatedCameras::Private::addDevice(const char* subsystem, const QString& name, const QString& parent,
                                            const Pairs& attributes, const Pairs& properties)
{
    return umockdev_testbed::addDevice(testbed, subsystem, name, parent, attributes, properties, &errors);
}

bool EmulatedCameras::Private::createDeviceFile(const QByteArray& devnode)
{
    // The node itself is a plain file in the testbed's dev/; the preload library reports it as
    // the character device its "dev" attribute names and routes its ioctls to the handler.
    const QString path = rootDir + QString::fromUtf8(devnode);
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !file.open(QIODevice::WriteOnly)) {
        errors << QStringLiteral("cannot create %1").arg(path);
        return false;
    }
    return true;
}

QString EmulatedCameras::Private::rootHub(int bus)
{
    if (rootHubs.contains(bus))
        return rootHubs.value(bus);
    const QByteArray devnode = "/dev/bus/usb/" + decimal3(bus) + "/001";
    const QByteArray minor = QByteArray::number((bus - 1) * 128);
    const QString path =
        addDevice("usb", QStringLiteral("%1/usb%2").arg(QLatin1String(kControllerPath)).arg(bus), QString(),
                  {{"idVendor", line("1d6b")},
                   {"idProduct", line("0002")},
                   {"product", line("xHCI Host Controller")},
                   {"busnum", line(QByteArray::number(bus))},
                   {"devnum", line("1")},
                   {"speed", line("480")},
                   {"bDeviceClass", line("09")},
                   {"dev", QByteArray::number(kUsbDeviceMajor) + ':' + minor}},
                  {{"DEVNAME", devnode},
                   {"DEVTYPE", "usb_device"},
                   {"DRIVER", "usb"},
                   {"BUSNUM", decimal3(bus)},
                   {"DEVNUM", "001"},
                   {"MAJOR", QByteArray::number(kUsbDeviceMajor)},
                   {"MINOR", minor}});
    if (path.isEmpty() || !createDeviceFile(devnode))
        return QString();
    rootHubs.insert(bus, path);
    return path;
}

Node* EmulatedCameras::Private::addNode(int camera, NodeKind kind, int number, const VirtualCamera& model)
{
    auto node = std::make_unique<Node>();
    node->rig = rig;
    node->observer = &observer;
    node->camera = camera;
    node->kind = kind;
    node->devnode = "/dev/video" + QByteArray::number(number);
    node->card = model.friendlyName().toUtf8();
    if (kind == NodeKind::Microphone)
        node->card += " MIC Array";
    node->busInfo = "usb-0000:00:14.0-" + model.busPort().section(QLatin1Char('-'), 1).toUtf8();
    node->handler = umockdev_ioctl_base_new();
    node->signalId =
        g_signal_connect_data(node->handler, "handle-ioctl", reinterpret_cast<GCallback>(&handleIoctl),
                              node.get(), nullptr, static_cast<GConnectFlags>(0));
    // The handler is attached before the node exists, so no open() can miss it.
    GError* error = nullptr;
    node->attached = umockdev_testbed_attach_ioctl(testbed, node->devnode.constData(), node->handler, &error);
    if (!node->attached) {
        errors << QStringLiteral("cannot attach the ioctl handler to %1: %2")
                      .arg(QString::fromUtf8(node->devnode),
                           error ? QString::fromUtf8(error->message) : QStringLiteral("unknown error"));
    }
    if (error)
        g_error_free(error);
    nodes.push_back(std::move(node));
    return nodes.back().get();
}

void EmulatedCameras::Private::addCamera(int index, const VirtualCamera& camera, int bus, int devnum,
                                         int* nextNode)
{
    Camera& entry = cameras[index];
    entry = Camera();
    const QString port = camera.busPort();
    const int first = *nextNode;
    entry.nodes << addNode(index, NodeKind::Capture, first, camera)
                << addNode(index, NodeKind::Metadata, first + 1, camera);
    if (camera.hasMicrophoneNode())
        entry.nodes << addNode(index, NodeKind::Microphone, first + 2, camera);
    *nextNode = first + static_cast<int>(entry.nodes.size());

    const QString hub = rootHub(bus);
    if (hub.isEmpty())
        return;
    const QByteArray usbNode = "/dev/bus/usb/" + decimal3(bus) + '/' + decimal3(devnum);
    const QByteArray usbMinor = QByteArray::number((bus - 1) * 128 + devnum - 1);
    const QByteArray product = hex4(camera.vendorId()) + '/' + hex4(camera.productId()) + "/100";
    Pairs attributes = {{"idVendor", line(hex4(camera.vendorId()))},
                        {"idProduct", line(hex4(camera.productId()))},
                        {"product", line(camera.friendlyName().toUtf8())},
                        {"busnum", line(QByteArray::number(bus))},
                        {"devnum", line(QByteArray::number(devnum))},
                        {"speed", line("480")},
                        {"bDeviceClass", line("ef")},
                        {"bDeviceSubClass", line("02")},
                        {"bDeviceProtocol", line("01")},
                        {"bNumConfigurations", line("1")},
                        {"bConfigurationValue", line("1")},
                        {"bNumInterfaces", line(" 2")},
                        {"version", line(" 2.00")}};
    // A device without a serial number string has no "serial" attribute at all.
    if (!camera.serial().isEmpty())
        attributes.append({"serial", line(camera.serial().toUtf8())});
    attributes.append({"dev", QByteArray::number(kUsbDeviceMajor) + ':' + usbMinor});
    entry.usbDevice = addDevice("usb", port, hub, attributes,
                                {{"DEVNAME", usbNode},
                                 {"DEVTYPE", "usb_device"},
                                 {"DRIVER", "usb"},
                                 {"PRODUCT", product},
                                 {"TYPE", "239/2/1"},
                                 {"BUSNUM", decimal3(bus)},
                                 {"DEVNUM", decimal3(devnum)},
                                 {"MAJOR", QByteArray::number(kUsbDeviceMajor)},
                                 {"MINOR", usbMinor}});
    if (entry.usbDevice.isEmpty() || !createDeviceFile(usbNode))
        return;
    QByteArray descriptors = camera.usbDescriptors();
    umockdev_testbed_set_attribute_binary(testbed, entry.usbDevice.toUtf8().constData(), "descriptors",
                                          reinterpret_cast<guint8*>(descriptors.data()), descriptors.size());

    // The VideoControl interface that uvcvideo binds and hangs the nodes off.
    const int videoControl = camera.videoControlInterface();
    const QString interfaceName = port + QStringLiteral(":1.%1").arg(videoControl);
    const QByteArray interfaceNumber = QByteArray::number(videoControl, 16).rightJustified(2, '0');
    entry.usbInterface = addDevice("usb", interfaceName, entry.usbDevice,
                                   {{"bInterfaceNumber", line(interfaceNumber)},
                                    {"bAlternateSetting", line(" 0")},
                                    {"bInterfaceClass", line("0e")},
                                    {"bInterfaceSubClass", line("01")},
                                    {"bInterfaceProtocol", line("00")},
                                    {"bNumEndpoints", line("01")}},
                                   {{"DEVTYPE", "usb_interface"},
                                    {"DRIVER", "uvcvideo"},
                                    {"PRODUCT", product},
                                    {"TYPE", "239/2/1"},
                                    {"INTERFACE", "14/1/0"}});
    if (entry.usbInterface.isEmpty())
        return;
    entry.usbNode = QString::fromLatin1(usbNode);
    entry.interfaceEvent =
        "DEVTYPE=usb_interface\nDRIVER=uvcvideo\nPRODUCT=" + product + "\nTYPE=239/2/1\nINTERFACE=14/1/0\n";
    setDriverBound(index, camera.kernelDriverBound());

    for (int i = 0; i < entry.nodes.size(); ++i) {
        Node* node = entry.nodes.at(i);
        const QByteArray number = node->devnode.mid(static_cast<int>(std::strlen("/dev/video")));
        node->syspath = addDevice(
            "video4linux", QStringLiteral("video4linux/video") + QString::fromLatin1(number),
            entry.usbInterface,
            {{"name", line(node->card)},
             {"index", line(node->kind == NodeKind::Metadata ? "1" : "0")},
             {"dev", QByteArray::number(kVideoMajor) + ':' + number}},
            {{"DEVNAME", node->devnode}, {"MAJOR", QByteArray::number(kVideoMajor)}, {"MINOR", number}});
        if (node->syspath.isEmpty() || !createDeviceFile(node->devnode))
            return;
    }
    entry.presented = true;
}

void EmulatedCameras::Private::build()
{
    testbed = umockdev_testbed_new();
    // Only meaningful once a testbed exists.
    active = umockdev_in_mock_environment();
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    rootDir = QString::fromUtf8(root);
    g_free(root);
    if (!active) {
        errors << QStringLiteral("umockdev's preload library is not loaded (run under umockdev-wrapper)");
        return;
    }

    const QVector<VirtualCamera> models = rig->cameras();
    cameras.resize(models.size());
    QSet<QString> ports;
    for (int i = 0; i < models.size(); ++i) {
        const VirtualCamera& camera = models.at(i);
        if (!camera.present())
            continue; // unplugged, or restarted into a loader: no camera nodes
        int bus = 0;
        if (!parsePort(camera.busPort(), &bus)) {
            errors << QStringLiteral("camera %1: \"%2\" is not a USB port name").arg(i).arg(camera.busPort());
            continue;
        }
        if (ports.contains(camera.busPort())) {
            errors << QStringLiteral("camera %1: port %2 is taken by another camera")
                          .arg(i)
                          .arg(camera.busPort());
            continue;
        }
        ports.insert(camera.busPort());
        const int devnum = lastDevnum.value(bus, 1) + 1;
        lastDevnum[bus] = devnum;
        addCamera(i, camera, bus, devnum, &nextVideoNode);
    }
}

EmulatedCameras::EmulatedCameras(VirtualRig& rig) : d(std::make_unique<Private>())
{
    d->rig = &rig;
    d->build();
}

EmulatedCameras::EmulatedCameras(const QVector<VirtualCamera>& cameras, const QString& journalPath)
    : d(std::make_unique<Private>())
{
    d->ownRig = std::make_unique<VirtualRig>(cameras, QString(), journalPath);
    d->rig = d->ownRig.get();
    d->build();
}

EmulatedCameras::~EmulatedCameras() = default;

bool EmulatedCameras::emulationActive() const
{
    return d->active;
}

bool EmulatedCameras::isValid() const
{
    return d->active && d->errors.isEmpty();
}

QString EmulatedCameras::errorString() const
{
    return d->errors.join(QStringLiteral("; "));
}

VirtualRig& EmulatedCameras::rig()
{
    return *d->rig;
}

QString EmulatedCameras::rootDirectory() const
{
    return d->rootDir;
}

EmulatedCameraNodes EmulatedCameras::nodes(int camera) const
{
    EmulatedCameraNodes result;
    if (camera < 0 || camera >= d->cameras.size() || !d->cameras.at(camera).presented)
        return result;
    const Private::Camera& entry = d->cameras.at(camera);
    result.usbDevice = entry.usbDevice;
    result.usbInterface = entry.usbInterface;
    result.usbNode = entry.usbNode;
    for (const Node* node : entry.nodes) {
        const QString devnode = QString::fromUtf8(node->devnode);
        switch (node->kind) {
        case NodeKind::Capture:
            result.captureNode = devnode;
            break;
        case NodeKind::Metadata:
            result.metadataNode = devnode;
            break;
        case NodeKind::Microphone:
            result.microphoneNode = devnode;
            break;
        }
    }
    return result;
}

bool EmulatedCameras::unplug(int camera)
{
    if (camera < 0 || camera >= d->cameras.size() || !d->cameras.at(camera).presented)
        return false;
    // From here on the nodes answer ENODEV, also on descriptors opened before.
    for (Node* node : qAsConst(d->cameras[camera].nodes))
        node->removed.store(true);
    d->rig->modify([camera](QVector<VirtualCamera>& models) {
        if (camera < models.size())
            models[camera].unplug();
    });
    JournalEvent event;
    event.insert(QStringLiteral("event"), QStringLiteral("unplug"));
    event.insert(QStringLiteral("camera"), camera);
    d->rig->journal({event});
    d->remove(camera);
    return true;
}

void EmulatedCameras::Private::remove(int camera)
{
    Camera& entry = cameras[camera];
    entry.presented = false;
    // From here on the nodes answer ENODEV, also on descriptors opened before.
    for (Node* node : qAsConst(entry.nodes))
        node->removed.store(true);
    // Children before parents, for the uevents and for the removal (removing a parent would
    // leave its children's /dev nodes behind).
    QStringList paths;
    for (auto it = entry.nodes.crbegin(); it != entry.nodes.crend(); ++it) {
        if (!(*it)->syspath.isEmpty())
            paths << (*it)->syspath;
    }
    paths << entry.usbInterface << entry.usbDevice;
    paths.removeAll(QString());
    for (const QString& path : qAsConst(paths))
        umockdev_testbed_uevent(testbed, path.toUtf8().constData(), "remove");
    for (const QString& path : qAsConst(paths))
        umockdev_testbed_remove_device(testbed, path.toUtf8().constData());
}

_UMockdevTestbed* EmulatedCameras::testbed() const
{
    return d->testbed;
}

QString EmulatedCameras::rootHub(int bus)
{
    return d->active ? d->rootHub(bus) : QString();
}

int EmulatedCameras::allocateAddress(int bus)
{
    // Addresses go round 2..127 (1 is the root hub) as the kernel hands them out.
    int devnum = d->lastDevnum.value(bus, 1) + 1;
    if (devnum > 127)
        devnum = 2;
    d->lastDevnum[bus] = devnum;
    return devnum;
}

void EmulatedCameras::setRequestObserver(std::function<void(int camera)> observer)
{
    d->observer = std::move(observer);
}

bool EmulatedCameras::presented(int camera) const
{
    return camera >= 0 && camera < d->cameras.size() && d->cameras.at(camera).presented;
}

bool EmulatedCameras::present(int camera)
{
    if (!d->active || camera < 0 || camera >= d->cameras.size() || d->cameras.at(camera).presented)
        return false;
    const QVector<VirtualCamera> models = d->rig->cameras();
    int bus = 0;
    if (camera >= models.size() || !models.at(camera).present() ||
        !parsePort(models.at(camera).busPort(), &bus))
        return false;
    d->addCamera(camera, models.at(camera), bus, allocateAddress(bus), &d->nextVideoNode);
    // The testbed announced each device with one add uevent as it was added, parents before
    // children, as the kernel does: no further uevents here (a second one would be an arrival
    // that no kernel reports).
    return d->cameras.at(camera).presented;
}

bool EmulatedCameras::withdraw(int camera)
{
    if (camera < 0 || camera >= d->cameras.size() || !d->cameras.at(camera).presented)
        return false;
    d->remove(camera);
    return true;
}

void EmulatedCameras::Private::setDriverBound(int camera, bool bound)
{
    Camera& entry = cameras[camera];
    entry.driverBound = bound;
    for (Node* node : qAsConst(entry.nodes))
        node->unbound.store(!bound);
    if (entry.usbInterface.isEmpty())
        return;
    // The kernel writes the interface's uevent from its current driver.
    QByteArray text = entry.interfaceEvent;
    if (!bound)
        text.replace("DRIVER=uvcvideo\n", "");
    umockdev_testbed_set_attribute(testbed, entry.usbInterface.toUtf8().constData(), "uevent",
                                   text.constData());
}

void EmulatedCameras::setDriverBound(int camera, bool bound)
{
    if (camera >= 0 && camera < d->cameras.size() && d->cameras.at(camera).presented)
        d->setDriverBound(camera, bound);
}

bool EmulatedCameras::driverBound(int camera) const
{
    return camera >= 0 && camera < d->cameras.size() && d->cameras.at(camera).presented &&
           d->cameras.at(camera).driverBound;
}
