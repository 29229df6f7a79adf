#include "virtualplatform.h"

#include "device/deviceid.h"
#include "device/usbdescriptors.h"
#include "sim/virtualrig.h"

#include <cerrno>

namespace {

const QString kNodePrefix = QStringLiteral("virtual:video");
const QString kBuiltInSink = QStringLiteral("virtual_builtin_audio");
const QString kSpeakerSinkPrefix = QStringLiteral("virtual_speaker_");

// Node names encode the camera and whether it is the microphone's node: virtual:video<2i+mic>.
bool parseNode(const QString& node, int* camera, bool* microphone)
{
    if (!node.startsWith(kNodePrefix))
        return false;
    bool ok = false;
    const int number = node.mid(kNodePrefix.size()).toInt(&ok);
    if (!ok || number < 0)
        return false;
    *camera = number / 2;
    *microphone = number % 2 == 1;
    return true;
}

class VirtualVideoDevice : public VideoDeviceHandle
{
public:
    VirtualVideoDevice(VirtualRig& rig, int camera, bool microphone)
        : m_rig(rig), m_camera(camera), m_microphone(microphone)
    {
    }

    int findExtensionUnit(const std::array<std::uint8_t, 16>& guid) override
    {
        if (m_microphone)
            return -ENOENT;
        QByteArray descriptors;
        const int result =
            m_rig.withCamera(m_camera, [&descriptors](VirtualCamera& camera, QVector<JournalEvent>*) {
                if (!camera.present())
                    return -ENODEV;
                descriptors = camera.usbDescriptors();
                return 0;
            });
        if (result < 0)
            return result;
        const int unit = findExtensionUnitId(descriptors, guid);
        return unit < 0 ? -ENOENT : unit;
    }

    int xuQuery(int unit, int selector, XuRequest request, std::uint8_t* data, std::uint16_t size) override
    {
        if (m_microphone)
            return -ENOENT;
        return m_rig.withCamera(m_camera, [=](VirtualCamera& camera, QVector<JournalEvent>* journal) {
            return camera.xuRequest(unit, selector, static_cast<std::uint8_t>(request), data, size, journal);
        });
    }

    int queryControl(std::uint32_t id, ControlRange* range) override
    {
        if (m_microphone)
            return -EINVAL;
        VirtualControl control;
        const int result = m_rig.withCamera(m_camera, [&](VirtualCamera& camera, QVector<JournalEvent>*) {
            return camera.queryControl(id, &control);
        });
        if (result == 0) {
            range->minimum = control.minimum;
            range->maximum = control.maximum;
            range->step = control.step;
            range->defaultValue = control.defaultValue;
        }
        return result;
    }

    int getControl(std::uint32_t id, std::int32_t* value) override
    {
        if (m_microphone)
            return -EINVAL;
        return m_rig.withCamera(m_camera, [&](VirtualCamera& camera, QVector<JournalEvent>* journal) {
            return camera.getControl(id, value, journal);
        });
    }

    int setControl(std::uint32_t id, std::int32_t value) override
    {
        if (m_microphone)
            return -EINVAL;
        return m_rig.withCamera(m_camera, [&](VirtualCamera& camera, QVector<JournalEvent>* journal) {
            return camera.setControl(id, value, journal);
        });
    }

private:
    VirtualRig& m_rig;
    int m_camera;
    bool m_microphone;
};

} // namespace

QVector<VideoDeviceInfo> VirtualVideoBackend::listCaptureDevices()
{
    QVector<VideoDeviceInfo> devices;
    const QVector<VirtualCamera> cameras = m_rig.cameras();
    for (int i = 0; i < cameras.size(); ++i) {
        const VirtualCamera& camera = cameras.at(i);
        if (!camera.present())
            continue;
        UsbVideoNodeIdentity identity;
        identity.vendorId = camera.vendorId();
        identity.productId = camera.productId();
        identity.serial = camera.serial();
        identity.busPort = camera.busPort();
        devices.append(
            {camera.friendlyName(), buildDevicePath(identity), kNodePrefix + QString::number(2 * i)});
        if (camera.hasMicrophoneNode()) {
            // The array microphone registers a capture node of its own.
            identity.captureOrdinal = 1;
            devices.append({camera.friendlyName() + QStringLiteral(" MIC Array"), buildDevicePath(identity),
                            kNodePrefix + QString::number(2 * i + 1)});
        }
    }
    return devices;
}

std::unique_ptr<VideoDeviceHandle> VirtualVideoBackend::open(const VideoDeviceInfo& device, int* error)
{
    int camera = 0;
    bool microphone = false;
    if (!parseNode(device.node, &camera, &microphone)) {
        *error = -ENOENT;
        return nullptr;
    }
    const QVector<VirtualCamera> cameras = m_rig.cameras();
    if (camera >= cameras.size() || !cameras.at(camera).present()) {
        *error = -ENODEV;
        return nullptr;
    }
    return std::make_unique<VirtualVideoDevice>(m_rig, camera, microphone);
}

bool VirtualSoundServer::listSinks(QVector<SinkInfo>* sinks)
{
    sinks->clear();
    const QVector<VirtualCamera> cameras = m_rig.cameras();
    sinks->append({kBuiltInSink, QStringLiteral("Built-in Audio Analog Stereo"), m_builtInVolume});
    for (int i = 0; i < cameras.size(); ++i) {
        if (cameras.at(i).present())
            sinks->append({kSpeakerSinkPrefix + QString::number(i),
                           cameras.at(i).friendlyName() + QStringLiteral(" Speakerphone"),
                           cameras.at(i).speakerVolume()});
    }
    return true;
}

bool VirtualSoundServer::setSinkVolume(const QString& sinkName, double volume)
{
    if (sinkName == kBuiltInSink) {
        m_builtInVolume = volume;
        return true;
    }
    if (!sinkName.startsWith(kSpeakerSinkPrefix))
        return false;
    const int index = sinkName.mid(kSpeakerSinkPrefix.size()).toInt();
    return m_rig.withCamera(index, [volume](VirtualCamera& camera, QVector<JournalEvent>* journal) {
        if (!camera.present())
            return -ENODEV;
        camera.setSpeakerVolume(volume);
        JournalEvent e;
        e.insert(QStringLiteral("event"), QStringLiteral("speaker-volume"));
        e.insert(QStringLiteral("volume"), volume);
        journal->append(e);
        return 0;
    }) == 0;
}

VirtualPlatform::VirtualPlatform(std::unique_ptr<VirtualRig> rig)
    : m_rig(std::move(rig)), m_video(*m_rig), m_sound(*m_rig)
{
}

VirtualPlatform::~VirtualPlatform() = default;

bool installVirtualPlatformIfRequested(QString* error)
{
    std::unique_ptr<VirtualRig> rig = VirtualRig::fromEnvironment(error);
    if (!rig)
        return error->isEmpty();
    installDevicePlatform(std::make_unique<VirtualPlatform>(std::move(rig)));
    return true;
}
