#include "virtualplatform.h"

#include "device/botframing.h"
#include "device/deviceid.h"
#include "device/usbdescriptors.h"
#include "sim/virtualhotplug.h"
#include "sim/virtualrig.h"

#include <QStringList>

#include <cerrno>

namespace {

const QString kNodePrefix = QStringLiteral("virtual:video");
const QString kBuiltInSink = QStringLiteral("virtual_builtin_audio");
const QString kSpeakerSinkPrefix = QStringLiteral("virtual_speaker_");
const QString kMassStoragePrefix = QStringLiteral("virtual:msc:");

// "virtual:msc:<camera>:<generation>"
bool parseMassStorageKey(const QString& key, int* camera, int* generation)
{
    if (!key.startsWith(kMassStoragePrefix))
        return false;
    const QStringList parts = key.mid(kMassStoragePrefix.size()).split(QLatin1Char(':'));
    bool ok[2] = {};
    if (parts.size() != 2)
        return false;
    *camera = parts.at(0).toInt(&ok[0]);
    *generation = parts.at(1).toInt(&ok[1]);
    return ok[0] && ok[1] && *camera >= 0;
}

// The identification as the kernel shows it in sysfs: blanks from the first zero byte on and in
// place of non-printable bytes.
QByteArray asKernelShowsIt(const QByteArray& identification)
{
    QByteArray shown(identification.size(), ' ');
    for (int i = 0; i < identification.size() && identification.at(i) != '\0'; ++i) {
        const auto c = static_cast<unsigned char>(identification.at(i));
        shown[i] = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : ' ';
    }
    return shown;
}

class VirtualMassStorageDevice : public MassStorageDevice, private bot::BulkPipe
{
public:
    VirtualMassStorageDevice(VirtualRig& rig, int camera, int generation)
        : m_rig(rig), m_camera(camera), m_generation(generation)
    {
    }

    ~VirtualMassStorageDevice() override
    {
        m_rig.withCamera(m_camera, [this](VirtualCamera& camera, QVector<JournalEvent>* journal) {
            camera.loader().release(camera, m_generation, journal);
            return 0;
        });
    }

    VirtualMassStorageDevice(const VirtualMassStorageDevice&) = delete;
    VirtualMassStorageDevice& operator=(const VirtualMassStorageDevice&) = delete;

    int scsiCommand(const std::uint8_t* cdb, int cdbLength, ScsiDirection direction, std::uint8_t* data,
                    std::uint32_t length, int timeoutMs) override
    {
        return m_transport.command(*this, cdb, cdbLength, direction, data, length, timeoutMs);
    }

private:
    static VirtualLoader::Endpoint endpointOf(bot::Endpoint endpoint)
    {
        return endpoint == bot::Endpoint::In ? VirtualLoader::Endpoint::In : VirtualLoader::Endpoint::Out;
    }

    int bulkTransfer(bot::Endpoint endpoint, std::uint8_t* data, int length, int* transferred, int) override
    {
        *transferred = 0;
        return m_rig.withCamera(m_camera, [&](VirtualCamera& camera, QVector<JournalEvent>* journal) {
            return camera.loader().bulkTransfer(camera, m_generation, endpointOf(endpoint), data, length,
                                                transferred, journal);
        });
    }

    int clearHalt(bot::Endpoint endpoint) override
    {
        return m_rig.withCamera(m_camera, [&](VirtualCamera& camera, QVector<JournalEvent>* journal) {
            return camera.loader().clearHalt(camera, m_generation, endpointOf(endpoint), journal);
        });
    }

    int resetRecovery() override
    {
        return m_rig.withCamera(m_camera, [&](VirtualCamera& camera, QVector<JournalEvent>* journal) {
            return camera.loader().resetRecovery(camera, m_generation, journal);
        });
    }

    VirtualRig& m_rig;
    int m_camera;
    int m_generation;
    bot::HostTransport m_transport;
};

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
        UsbFunctionLocation function;
        const int result = m_rig.withCamera(
            m_camera, [&descriptors, &function](VirtualCamera& camera, QVector<JournalEvent>*) {
                if (!camera.present())
                    return -ENODEV;
                descriptors = camera.usbDescriptors();
                function.configurationValue = 1;
                function.interfaceNumber = camera.videoControlInterface();
                return 0;
            });
        if (result < 0)
            return result;
        const int unit = findExtensionUnitId(descriptors, guid, function);
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
        // A node this user may not open is not listed, as the Linux listing leaves it out.
        if (!camera.present() || camera.deniedToUser())
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
    if (cameras.at(camera).deniedToUser()) {
        *error = -EACCES;
        return nullptr;
    }
    return std::make_unique<VirtualVideoDevice>(m_rig, camera, microphone);
}

QVector<InaccessibleVideoDevice> VirtualVideoBackend::listInaccessibleDevices()
{
    QVector<InaccessibleVideoDevice> denied;
    const QVector<VirtualCamera> cameras = m_rig.cameras();
    for (int i = 0; i < cameras.size(); ++i) {
        const VirtualCamera& camera = cameras.at(i);
        if (!camera.present() || !camera.deniedToUser())
            continue;
        InaccessibleVideoDevice device;
        device.node = kNodePrefix + QString::number(2 * i);
        device.product = camera.friendlyName();
        device.vendorId = camera.vendorId();
        device.productId = camera.productId();
        device.error = -EACCES;
        denied.append(device);
    }
    return denied;
}

bool VirtualSoundServer::listSinks(QVector<SinkInfo>* sinks)
{
    sinks->clear();
    if (m_rig.soundServerMode() == VirtualSoundServerMode::Unreachable)
        return false;
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
    if (m_rig.soundServerMode() != VirtualSoundServerMode::Answering)
        return false;
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

QVector<MassStorageCandidate> VirtualMassStorageBackend::listDevices()
{
    QVector<MassStorageCandidate> devices;
    const QVector<VirtualCamera> cameras = m_rig.cameras();
    for (int i = 0; i < cameras.size(); ++i) {
        const VirtualCamera& camera = cameras.at(i);
        if (!camera.inBootStage() || !camera.loader().listed())
            continue;
        devices.append({kMassStoragePrefix + QStringLiteral("%1:%2").arg(i).arg(camera.loader().generation()),
                        asKernelShowsIt(camera.loader().vendor(camera)),
                        asKernelShowsIt(camera.loader().product(camera)), camera.vendorId(),
                        camera.productId()});
    }
    return devices;
}

std::unique_ptr<MassStorageDevice> VirtualMassStorageBackend::open(const QString& key, int* error)
{
    int camera = 0;
    int generation = 0;
    if (!parseMassStorageKey(key, &camera, &generation)) {
        *error = -ENOENT;
        return nullptr;
    }
    const QVector<VirtualCamera> cameras = m_rig.cameras();
    if (camera >= cameras.size() || !cameras.at(camera).inBootStage() ||
        cameras.at(camera).loader().generation() != generation) {
        *error = -ENODEV;
        return nullptr;
    }
    if (cameras.at(camera).deniedToUser()) {
        *error = -EACCES;
        return nullptr;
    }
    return std::make_unique<VirtualMassStorageDevice>(m_rig, camera, generation);
}

int VirtualMassStorageBackend::checkAccess(const QString& key)
{
    // As the node's permissions answer it: nothing is opened, the loader sees nothing.
    int camera = 0;
    int generation = 0;
    if (!parseMassStorageKey(key, &camera, &generation))
        return -ENOENT;
    const QVector<VirtualCamera> cameras = m_rig.cameras();
    if (camera >= cameras.size() || !cameras.at(camera).inBootStage())
        return -ENODEV;
    return cameras.at(camera).deniedToUser() ? -EACCES : 0;
}

PreviewInput VirtualPreviewBackend::input(const QString& friendlyName)
{
    const QVector<VirtualCamera> cameras = m_rig.cameras();
    for (int i = 0; i < cameras.size(); ++i) {
        if (cameras.at(i).present() && cameras.at(i).friendlyName() == friendlyName)
            return testPictureInput(i);
    }
    return captureNodeInput(m_video, friendlyName);
}

void VirtualPreviewBackend::setStreaming(int camera, bool on)
{
    if (camera < 0)
        return;
    m_rig.modify([camera, on](QVector<VirtualCamera>& cameras) {
        if (camera < cameras.size())
            cameras[camera].setStreaming(on);
    });
}

bool VirtualPreviewBackend::present(int camera)
{
    const QVector<VirtualCamera> cameras = m_rig.cameras();
    return camera >= 0 && camera < cameras.size() && cameras.at(camera).present();
}

VirtualPlatform::VirtualPlatform(std::unique_ptr<VirtualRig> rig)
    : m_rig(std::move(rig)), m_video(*m_rig), m_sound(*m_rig), m_massStorage(*m_rig),
      m_preview(*m_rig, m_video)
{
}

VirtualPlatform::~VirtualPlatform() = default;

std::unique_ptr<HotplugMonitor> VirtualPlatform::createHotplugMonitor()
{
    return std::make_unique<VirtualHotplugMonitor>(*m_rig, m_video);
}

bool installVirtualPlatformIfRequested(QString* error)
{
    std::unique_ptr<VirtualRig> rig = VirtualRig::fromEnvironment(error);
    if (!rig)
        return error->isEmpty();
    installDevicePlatform(std::make_unique<VirtualPlatform>(std::move(rig)));
    return true;
}
