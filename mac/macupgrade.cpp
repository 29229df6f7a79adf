#include "macupgrade.h"

#include "app/catalogue.h"
#include "device/xuprotocol.h"
#include "mac/maclogging.h"
#include "mac/scsiconnect.h"
#include "mac/sstardevicetable.h"
#include "mac/uvccameradevices.h"
#include "upgrade/package.h"

#include <QFileInfo>

#include <algorithm>
#include <chrono>

namespace {

// The boot stages' file names, as the other edition's.
const char* const kUpdaterImage = "usb_updater.bin";
const char* const kBootLoaderImage = "u-boot.bin";

const QString kDone = QStringLiteral("Upgrade done.");
const QString kFailed = QStringLiteral("Upgrade failed.");
const QString kAudioFailed = QStringLiteral("XMOS Upgrade failed");
const QString kNotAble = QStringLiteral("The device is not able to upgrade, please try again.");
const QString kNoDevice =
    QStringLiteral("No device detected, please make sure your device is connected correctly.");

// Why the walk did not give a device in U-Boot, for the report.
QString walkFailure(const BootStageWalk& walk, DeviceState state)
{
    if (walk.answered == 0)
        return QStringLiteral("no boot-stage device answered");
    if (walk.answered > 1)
        return QStringLiteral("%1 boot-stage devices answered; only one may be attached").arg(walk.answered);
    return QStringLiteral("the device is in %1, not in its boot loader").arg(deviceStateName(state));
}

} // namespace

bool bootStagesReachable(int model)
{
    const CameraModel* entry = cameraModel(model);
    if (!entry)
        return true; // nothing known against it
    if (entry->vendorId != macedition::kBootStageVendorId)
        return false;
    for (const char* prefix : macedition::kAcceptedVendors) {
        if (entry->loaderVendorPrefix.startsWith(prefix))
            return true;
    }
    return false;
}

bool upgradesAudioFirst(const QString& cameraTitle)
{
    for (const char* model : macedition::kAudioFirstModels) {
        if (cameraTitle.contains(QLatin1String(model)))
            return true;
    }
    return false;
}

bool CameraDevicesXmosLink::sendPacket(const std::uint8_t* packet)
{
    return m_camera.sendAudioPacket(packet);
}

bool CameraDevicesXmosLink::readStatus(std::uint8_t* status)
{
    const std::optional<QByteArray> answer = m_camera.getAudioStatus();
    if (!answer || answer->size() != xu::kBlockLength)
        return false;
    std::copy(answer->begin(), answer->end(), status);
    return true;
}

MacUpgradeWorker::MacUpgradeWorker(std::unique_ptr<UVCCameraDevices> camera, int model,
                                   const QString& cameraTitle, usbbulk::Bus& bus, QObject* parent)
    : Worker(parent), m_camera(std::move(camera)), m_model(model), m_cameraTitle(cameraTitle), m_bus(bus),
      m_packageFolder(upgradeWorkFolder()), m_progressNotifier(new UpgradeProgressNotifier(this)),
      m_progress([notifier = m_progressNotifier](const UpgradeProgress& progress) {
          emit notifier->progressChanged(progress);
      })
{
}

MacUpgradeWorker::~MacUpgradeWorker() = default;

void MacUpgradeWorker::setCameraPlace(int vendorId, int productId, const QString& busPort)
{
    m_vendorId = vendorId;
    m_productId = productId;
    m_busPort = busPort;
}

void MacUpgradeWorker::start()
{
    setRunning();
    emit workStart();
    doWork();
}

void MacUpgradeWorker::stop()
{
    requestStop();
}

void MacUpgradeWorker::doWork()
{
    if (m_camera)
        upgradeCamera();
    else
        repairBootStage();
    if (!m_reported)
        report(false, stopRequested() ? QStringLiteral("The upgrade was stopped.") : kFailed);
    emit workFinished();
}

bool MacUpgradeWorker::wait(int ms)
{
    return pauseUnlessStopped(std::chrono::milliseconds(ms));
}

void MacUpgradeWorker::report(bool success, const QString& message)
{
    if (m_reported)
        return; // one report per run
    m_reported = true;
    if (success)
        qCInfo(lcMac).noquote() << "Upgrade finished:" << message;
    else
        qCWarning(lcMac).noquote() << "Upgrade failed:" << message;
    emit onUpgradeReport(success, success ? 100 : 0, message);
}

void MacUpgradeWorker::upgradeCamera()
{
    // A camera sent into its loader that the walk cannot find again would be left there.
    if (!bootStagesReachable(m_model)) {
        report(false,
               kNotAble + QStringLiteral(" (this program cannot reach the boot stages of a %1; the camera "
                                         "was not changed, deckctl-cli upgrades it)")
                              .arg(m_cameraTitle));
        return;
    }
    const bool mainBoard = upgradesMainBoardFirst(m_model);
    const bool audio = !mainBoard && upgradesAudioFirst(m_cameraTitle);
    m_progress.setPlan(mainBoard ? UpgradeProgressTracker::Plan::MainBoardThenCamera
                       : audio   ? UpgradeProgressTracker::Plan::AudioThenCamera
                                 : UpgradeProgressTracker::Plan::CameraOnly);
    if (mainBoard && !upgradeMainBoard())
        return;
    if (audio && !upgradeAudio())
        return;
    if (stopRequested() || !enterCameraLoader(mainBoard))
        return;
    if (!wait(m_timing.cameraEntryWaitMs))
        return;
    sstarusb::DeviceTable table(m_bus);
    SCSIConnect camera(table);
    if (runScript(camera, macedition::kCameraScriptFolder, UpgradeStep::CameraScript)) {
        m_progress.finish();
        report(true, kDone);
    }
}

bool MacUpgradeWorker::upgradeMainBoard()
{
    m_progress.enter(UpgradeStep::MainBoardLoader);
    if (!m_camera->setUpdateSSD222D()) {
        report(false, kNotAble + QStringLiteral(" (the camera refused the main board's entry block)"));
        return false;
    }
    if (!wait(m_timing.mainBoardEntryWaitMs))
        return false;
    sstarusb::DeviceTable table(m_bus);
    SCSIConnect connect(table);
    return runScript(connect, macedition::kMainBoardScriptFolder, UpgradeStep::MainBoardScript);
}

bool MacUpgradeWorker::upgradeAudio()
{
    if (!m_camera->setupdateXmosDev()) {
        report(false, kAudioFailed + QStringLiteral(": the camera refused the audio module's entry block"));
        return false;
    }
    QFileInfoList images;
    listFilesBySuffix(m_packageFolder, QStringLiteral("dfu"), images);
    qCInfo(lcMac, "xmos filenums:%d", static_cast<int>(images.size()));
    if (images.size() != 1) {
        report(false, kAudioFailed +
                          QStringLiteral(": the package holds %1 audio images, not one").arg(images.size()));
        return false;
    }
    CameraDevicesXmosLink link(*m_camera);
    m_progress.enter(UpgradeStep::AudioTransfer, 0, images.first().size());
    if (!transXmosToDev(link, images.first().absoluteFilePath(),
                        [this](qint64 sent, qint64 total) { m_progress.advance(sent, total); })) {
        report(false, kAudioFailed + QStringLiteral(": the camera did not take the image"));
        return false;
    }
    m_progress.enter(UpgradeStep::AudioInstall);
    XmosPollTiming timing = m_timing.audio;
    timing.cancelled = [this] { return stopRequested(); };
    if (!queryXmosUpOver(link, timing)) {
        if (!stopRequested())
            report(false, kAudioFailed + QStringLiteral(": the audio module reported no success"));
        return false;
    }
    return true;
}

bool MacUpgradeWorker::enterCameraLoader(bool afterRestart)
{
    m_progress.enter(UpgradeStep::CameraLoader);
    // After the main board's script the camera restarts into its new firmware: its control pipe
    // is opened again, and the entry block tried, until the camera is back.
    const int tries = afterRestart ? std::max(1, m_timing.cameraReturnTries) : 1;
    for (int i = 0; i < tries; ++i) {
        if (afterRestart) {
            if (!wait(m_timing.cameraReturnWaitMs))
                return false;
            if (m_vendorId != 0 && !m_camera->initAt(m_vendorId, m_productId, m_busPort))
                continue;
        }
        if (m_camera->updateDev()) {
            // The camera restarts into its loader: its control pipe is gone.
            m_camera.reset();
            return true;
        }
    }
    if (!stopRequested())
        report(false,
               kNotAble + (afterRestart ? QStringLiteral(" (the camera did not come back after the main "
                                                         "board's upgrade, or refused its entry block)")
                                        : QStringLiteral(" (the camera refused its entry block)")));
    return false;
}

bool MacUpgradeWorker::runScript(SCSIConnect& connect, const char* folder, UpgradeStep step)
{
    const BootStageWalk walk = walkBootStageDevices(m_bus, connect);
    if (walk.answered != 1 || connect.g_dev_state() != UBoot) {
        const QString why = walkFailure(walk, connect.g_dev_state());
        connect.usbDeviceCanclExit();
        report(false, kNotAble + QStringLiteral(" (%1)").arg(why));
        return false;
    }
    const auto line = [this, step](int number, int lines) { m_progress.enter(step, number, lines); };
    // Names in the main board's script reach the package's other entries with "../".
    if (!connect.autoUpdate(QLatin1String(macedition::kUpgradeScript),
                            m_packageFolder + QLatin1String(folder), line, m_packageFolder)) {
        report(false, kFailed);
        return false;
    }
    return true;
}

void MacUpgradeWorker::repairBootStage()
{
    sstarusb::DeviceTable table(m_bus);
    SCSIConnect connect(table);
    connect.setReturnWait(m_timing.ubootReturnTries, m_timing.ubootReturnWaitMs);
    const BootStageWalk walk = walkBootStageDevices(m_bus, connect);
    if (walk.answered != 1) {
        connect.usbDeviceCanclExit();
        report(false, walk.answered == 0 ? kNoDevice
                                         : kNotAble + QStringLiteral(" (%1)").arg(walkFailure(walk, Other)));
        return;
    }
    const DeviceState found = connect.g_dev_state();
    qCInfo(lcMac).noquote() << "Repairing a device found in" << deviceStateName(found);
    m_progress.setPlan(found == ROM       ? UpgradeProgressTracker::Plan::FromRom
                       : found == Updater ? UpgradeProgressTracker::Plan::FromUpdater
                                          : UpgradeProgressTracker::Plan::FromBootLoader);
    const QString folder = m_packageFolder + QLatin1String(macedition::kCameraScriptFolder);
    // From the boot ROM the host goes straight on, on the same device, as if it were in the
    // updater.
    if (found == ROM) {
        m_progress.enter(UpgradeStep::RomStage);
        connect.do_updater(QLatin1String(kUpdaterImage), folder);
        if (connect.g_dev_state() != Updater) {
            connect.usbDeviceCanclExit();
            report(false,
                   kFailed +
                       QStringLiteral(" The package has no readable %1.").arg(QLatin1String(kUpdaterImage)));
            return;
        }
    }
    if (connect.g_dev_state() == Updater && !stopRequested()) {
        m_progress.enter(UpgradeStep::UpdaterStage);
        if (!connect.do_Uboot(QLatin1String(kBootLoaderImage), folder,
                              [this] { m_progress.enter(UpgradeStep::BootLoaderWait); })) {
            connect.usbDeviceCanclExit();
            report(false,
                   kNotAble +
                       QStringLiteral(" (the boot loader was not taken, or the device did not come back)"));
            return;
        }
    }
    if (stopRequested()) {
        connect.usbDeviceCanclExit();
        return;
    }
    if (connect.g_dev_state() != UBoot) {
        connect.usbDeviceCanclExit();
        report(false, kNotAble + QStringLiteral(" (%1)").arg(
                                     walkFailure(BootStageWalk{1, {}}, connect.g_dev_state())));
        return;
    }
    // The device that answered is held; the script runs on it.
    connect.usbDeviceCanclExit();
    if (runScript(connect, macedition::kCameraScriptFolder, UpgradeStep::CameraScript)) {
        m_progress.finish();
        report(true, kDone);
    }
}
