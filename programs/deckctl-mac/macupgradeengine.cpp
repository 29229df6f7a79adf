#include "macupgradeengine.h"

#include "app/workerhost.h"
#include "device/uvcextensionunit.h"
#include "mac/macpackage.h"
#include "mac/macupgrade.h"
#include "mac/rawusbvideo.h"
#include "mac/uvccameradevices.h"

MacUpgradeEngine::MacUpgradeEngine(RawUsbPlatform& platform, BusFactory bulk)
    : m_platform(platform), m_makeBulk(std::move(bulk))
{
}

MacUpgradeEngine::~MacUpgradeEngine() = default;

PackageOutcome MacUpgradeEngine::prepare(const cli::UpgradeRequest& request, QString* reason)
{
    return macpackage::preparePackage(request.archive, request.unit != nullptr, request.cameraName, reason);
}

void MacUpgradeEngine::start(WorkerHost& host, const cli::UpgradeRequest& request,
                             const cli::UpgradeSink& sink)
{
    std::unique_ptr<UVCCameraDevices> camera;
    RawUsbVideoBackend::Place place;
    if (request.unit) {
        // The run drives the camera through a control object of its own, on its own thread: the
        // tool's handle lets go of the camera first (with --detach-kernel-driver that also gives
        // the interface back, so the run can claim it).
        request.unit->CloseVideoDevice();
        camera = m_platform.rawVideo().openCamera(request.cameraId, &place);
        if (!camera) // still a camera upgrade: the entry block fails and says so
            camera = std::make_unique<UVCCameraDevices>(m_platform.bus());
    }
    if (!m_bulk)
        m_bulk = m_makeBulk();
    auto* worker = new MacUpgradeWorker(std::move(camera), request.cameraModel, request.cameraName, *m_bulk);
    worker->setCameraPlace(place.vendorId, place.productId, place.busPort);
    host.start(worker, [&sink](MacUpgradeWorker* w) { cli::connectUpgradeWorker(w, sink); });
}
