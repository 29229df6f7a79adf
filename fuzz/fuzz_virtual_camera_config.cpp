// The virtual camera configuration (DECKCTL_VIRTUAL_CAMERA's JSON file, also the state file that
// processes share): VirtualRig::parseConfiguration.
//
// Oracles, for every configuration that is accepted:
// - every camera's model is in the catalogue (0-10);
// - the state the cameras store (toJson) reads back to the same cameras: parsing it again is
//   accepted and stores exactly the same state;
// - every camera's USB descriptors are well-formed (a device descriptor, then one configuration
//   whose wTotalLength covers the rest exactly, a chain of descriptors that ends at the end),
//   and the extension-unit lookup finds in them the unit the camera answers on (none for a
//   camera without a unit);
// - the device layer takes the configured cameras as the platform (camera list, speaker volume,
//   boot-stage devices) without a sanitizer report, and lists each present camera once.

#include "app/catalogue.h"
#include "device/deviceplatform.h"
#include "device/dshowcamerawrapper.h"
#include "device/speakervolume.h"
#include "device/usbdescriptors.h"
#include "device/xuprotocol.h"
#include "fuzz/fuzzsupport.h"
#include "sim/virtualcamera.h"
#include "sim/virtualplatform.h"
#include "sim/virtualrig.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QByteArray stateOf(const QVector<VirtualCamera>& cameras)
{
    QJsonArray entries;
    for (const VirtualCamera& camera : cameras)
        entries.append(camera.toJson());
    QJsonObject root;
    root.insert(QStringLiteral("cameras"), entries);
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

void checkDescriptors(const VirtualCamera& camera, const QByteArray& detail)
{
    const QByteArray d = camera.usbDescriptors();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(d.constData());
    fuzz::check(d.size() >= 18 + 9 && bytes[0] == 18 && bytes[1] == 0x01 && bytes[18] == 9 &&
                    bytes[19] == 0x02,
                "the descriptors start with a device and a configuration descriptor", detail);
    const int total = bytes[20] | (bytes[21] << 8);
    fuzz::check(total == d.size() - 18, "the configuration's wTotalLength covers the rest", detail);
    int offset = 0;
    while (offset + 2 <= d.size() && bytes[offset] >= 2 && offset + bytes[offset] <= d.size())
        offset += bytes[offset];
    fuzz::check(offset == d.size(), "the descriptor chain ends at the end", detail);

    const int unit = findExtensionUnitId(d, xu::kUnitGuid);
    const int configured = camera.extensionUnitId();
    fuzz::check(unit == (configured < 0 ? -1 : configured), "the lookup finds the unit the camera answers on",
                detail + "\nfound " + QByteArray::number(unit) + ", camera answers on " +
                    QByteArray::number(configured));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input = fuzz::bytes(data, size);
    QVector<VirtualCamera> cameras;
    QString error;
    if (!VirtualRig::parseConfiguration(input, &cameras, &error))
        return 0;
    const QByteArray state = stateOf(cameras);
    const QByteArray detail = "configuration: " + input + "\nstate: " + state;
    for (const VirtualCamera& camera : cameras) {
        fuzz::check(camera.model() >= 0 && camera.model() <= 10, "a camera's model is in the catalogue",
                    detail);
        checkDescriptors(camera, detail);
    }

    QVector<VirtualCamera> again;
    fuzz::check(VirtualRig::parseConfiguration(state, &again, &error), "the stored state is accepted",
                detail + "\nerror: " + error.toUtf8());
    fuzz::check(again.size() == cameras.size(), "the stored state holds every camera", detail);
    const QByteArray stateAgain = stateOf(again);
    fuzz::check(stateAgain == state, "the stored state reads back to the same state",
                detail + "\nread back: " + stateAgain);

    // The device layer over these cameras.
    int present = 0;
    for (const VirtualCamera& camera : cameras)
        present += camera.present() ? 1 : 0;
    installDevicePlatform(std::make_unique<VirtualPlatform>(std::make_unique<VirtualRig>(cameras)));
    {
        DShowCameraWrapper wrapper;
        QVector<CameraEntry> entries;
        const int listed = wrapper.listVideoDevices(entries);
        fuzz::check(listed == entries.size() && listed <= present,
                    "each present camera is listed at most once", detail);
        for (const CameraEntry& entry : entries) {
            int vid = 0;
            int pid = 0;
            DShowCameraWrapper::parseVidPid(entry.id, vid, pid);
        }
        SpeakerVolume(names::kSpeakerDeviceName).getVolume();
        devicePlatform().massStorage().listDevices();
    }
    installDevicePlatform(nullptr);
    return 0;
}
