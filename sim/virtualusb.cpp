#include "virtualusb.h"

#include "sim/virtualcamera.h"
#include "sim/virtualrig.h"

#include <cerrno>

std::unique_ptr<VirtualControlPipe> VirtualControlPipe::open(VirtualRig& rig, int vendorId, int productId,
                                                             const QString& busPort)
{
    const QVector<VirtualCamera> cameras = rig.cameras();
    for (int i = 0; i < cameras.size(); ++i) {
        const VirtualCamera& c = cameras.at(i);
        if (c.present() && !c.deniedToUser() && c.vendorId() == vendorId && c.productId() == productId &&
            (busPort.isEmpty() || c.busPort() == busPort))
            return std::make_unique<VirtualControlPipe>(rig, i);
    }
    return nullptr;
}

QStringList VirtualControlPipe::listDevices(VirtualRig& rig)
{
    QStringList ids;
    for (const VirtualCamera& c : rig.cameras()) {
        if (c.present())
            ids << QString::asprintf("%04x-%04x", c.vendorId(), c.productId());
    }
    return ids;
}

int VirtualControlPipe::controlTransfer(const uvc::SetupPacket& setup, std::uint8_t* data, int /*timeoutMs*/)
{
    return m_rig.withCamera(m_camera, [&](VirtualCamera& camera, QVector<JournalEvent>* journal) {
        return camera.controlTransfer(setup, data, journal);
    });
}

int VirtualControlPipe::videoControlInterface() const
{
    const QVector<VirtualCamera> cameras = m_rig.cameras();
    return m_camera < cameras.size() ? cameras.at(m_camera).videoControlInterface() : 0;
}

std::unique_ptr<uvc::ControlPipe> VirtualUsbBus::openAt(int vendorId, int productId, const QString& busPort,
                                                        int* error)
{
    std::unique_ptr<uvc::ControlPipe> pipe = VirtualControlPipe::open(m_rig, vendorId, productId, busPort);
    if (!pipe && error)
        *error = -ENODEV;
    return pipe;
}

QVector<uvc::UsbCamera> VirtualUsbBus::listCameras()
{
    QVector<uvc::UsbCamera> list;
    for (const VirtualCamera& c : m_rig.cameras()) {
        if (!c.present())
            continue;
        uvc::UsbCamera camera;
        camera.vendorId = c.vendorId();
        camera.productId = c.productId();
        camera.product = c.friendlyName();
        camera.serial = c.serial();
        camera.busPort = c.busPort();
        camera.videoControlInterface = c.videoControlInterface();
        camera.node = QStringLiteral("virtual:usb-") + c.busPort();
        camera.accessError = c.deniedToUser() ? -EACCES : 0;
        list << camera;
    }
    return list;
}

namespace {

VirtualLoader::Endpoint loaderEndpoint(bot::Endpoint endpoint)
{
    return endpoint == bot::Endpoint::In ? VirtualLoader::Endpoint::In : VirtualLoader::Endpoint::Out;
}

} // namespace

VirtualBulkPipe::VirtualBulkPipe(VirtualRig& rig, int camera) : m_rig(rig), m_camera(camera)
{
    m_rig.withCamera(m_camera, [this](VirtualCamera& c, QVector<JournalEvent>*) {
        m_generation = c.loader().generation();
        return 0;
    });
}

VirtualBulkPipe::~VirtualBulkPipe()
{
    m_rig.withCamera(m_camera, [this](VirtualCamera& c, QVector<JournalEvent>* journal) {
        c.loader().release(c, m_generation, journal);
        return 0;
    });
}

int VirtualBulkPipe::bulkTransfer(bot::Endpoint endpoint, std::uint8_t* data, int length, int* transferred,
                                  int)
{
    *transferred = 0;
    return m_rig.withCamera(m_camera, [&](VirtualCamera& c, QVector<JournalEvent>* journal) {
        return c.loader().bulkTransfer(c, m_generation, loaderEndpoint(endpoint), data, length, transferred,
                                       journal);
    });
}

int VirtualBulkPipe::clearHalt(bot::Endpoint endpoint)
{
    return m_rig.withCamera(m_camera, [&](VirtualCamera& c, QVector<JournalEvent>* journal) {
        return c.loader().clearHalt(c, m_generation, loaderEndpoint(endpoint), journal);
    });
}

int VirtualBulkPipe::resetRecovery()
{
    return m_rig.withCamera(m_camera, [&](VirtualCamera& c, QVector<JournalEvent>* journal) {
        return c.loader().resetRecovery(c, m_generation, journal);
    });
}

int VirtualBulkPipe::interfaceZeroEndpoints(QVector<usbbulk::EndpointDescriptor>* endpoints)
{
    constexpr std::uint8_t kBulk = 0x02;
    constexpr std::uint8_t kInterrupt = 0x03;
    return m_rig.withCamera(m_camera, [endpoints](VirtualCamera& c, QVector<JournalEvent>*) {
        if (!c.attached())
            return -ENODEV;
        if (c.inBootStage())
            *endpoints = {{kVirtualBulkIn, kBulk}, {kVirtualBulkOut, kBulk}};
        else
            *endpoints = {{kVirtualInterruptIn, kInterrupt}};
        return 0;
    });
}

std::unique_ptr<usbbulk::Device> VirtualBulkUsbBus::open(int vendorId, int productId, int* error)
{
    const QVector<VirtualCamera> cameras = m_rig.cameras();
    for (int i = 0; i < cameras.size(); ++i) {
        const VirtualCamera& c = cameras.at(i);
        if (!c.attached() || c.vendorId() != vendorId || c.productId() != productId)
            continue;
        if (c.deniedToUser()) {
            *error = -EACCES;
            return nullptr;
        }
        return std::make_unique<VirtualBulkPipe>(m_rig, i);
    }
    *error = -ENODEV;
    return nullptr;
}

QVector<usbbulk::UsbIds> VirtualBulkUsbBus::listDevices()
{
    QVector<usbbulk::UsbIds> ids;
    for (const VirtualCamera& c : m_rig.cameras()) {
        if (c.present() || (c.inBootStage() && c.loader().listed()))
            ids.append({c.vendorId(), c.productId()});
    }
    return ids;
}
