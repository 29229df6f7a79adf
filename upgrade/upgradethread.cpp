#include "upgradethread.h"

#include "app/catalogue.h"
#include "app/logcategories.h"
#include "device/uvcextensionunit.h"
#include "upgrade/package.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <chrono>

namespace {

constexpr int kMaxScriptReruns = 3;
// Re-runs of the camera script in the current camera upgrade.
int g_reRunScriptCount = 0;

const char* const kCameraScript = "auto_update.txt";

UpgradeProgressTracker::Plan planFromStage(DeviceState state)
{
    switch (state) {
    case ROM:
        return UpgradeProgressTracker::Plan::FromRom;
    case Updater:
        return UpgradeProgressTracker::Plan::FromUpdater;
    case UBoot:
    case Other:
        break;
    }
    return UpgradeProgressTracker::Plan::FromBootLoader;
}

} // namespace

UpgradeThread::UpgradeThread(int manufacturer, int model, bool cameraConnected,
                             UVCExtensionUnit* extensionUnit, QObject* parent)
    : Worker(parent), m_manufacturer(manufacturer), m_model(model), m_cameraConnected(cameraConnected),
      m_extensionUnit(extensionUnit), m_packageFolder(upgradeWorkFolder()),
      m_progressNotifier(new UpgradeProgressNotifier(this)),
      m_progress([notifier = m_progressNotifier](const UpgradeProgress& progress) {
          emit notifier->progressChanged(progress);
      })
{
}

void UpgradeThread::start()
{
    // A stop() that came before the thread ran start() is not lost.
    setRunning();
    emit workStart();
    doWork();
}

void UpgradeThread::stop()
{
    requestStop();
}

void UpgradeThread::report(bool success, const QString& message)
{
    if (m_reported)
        return; // one report per run
    m_reported = true;
    emit onUpgradeReport(success, success ? 100 : 0, message);
}

void UpgradeThread::doWork()
{
    // File names of the boot stages resolve against the package folder, as those of the scripts.
    setUpgradeFileFolder(m_packageFolder);
    // Whether a mass-storage device was found decides, not its stage: an accepted device whose
    // stage is unknown (Other) is still no camera in normal operation, and must not be sent the
    // audio module's or the main board's entry.
    if (USB_ScsiFindDevice(m_manufacturer, m_dev_state)) {
        m_progress.setPlan(planFromStage(m_dev_state));
        upgradeCamera();
    } else if (!upgradesMainBoardFirst(m_model)) {
        m_progress.setPlan(UpgradeProgressTracker::Plan::AudioThenCamera);
        upgradeAudio();
        if (!m_audioFailed && !stopRequested())
            upgradeCamera();
    } else {
        m_progress.setPlan(UpgradeProgressTracker::Plan::MainBoardThenCamera);
        upgrade222D();
        if (!m_chipFailed && !stopRequested())
            upgradeCamera();
    }
    emit workFinished();
}

bool UpgradeThread::waitForMassStorage()
{
    for (int countdown = m_timing.pollCountdown;;) {
        if (!pause(std::chrono::milliseconds(m_timing.pollIntervalMs)))
            return false;
        if (USB_ScsiFindDevice(m_manufacturer, m_dev_state))
            return true;
        if (--countdown < 0) {
            report(false, tr("The device is not able to upgrade, please try again."));
            return false;
        }
    }
}

void UpgradeThread::loadBootLoader()
{
    if (loadUbootImage(QStringLiteral("u-boot.bin")) != 0)
        return;
    // The device restarts into its boot loader and comes back as a new mass-storage device. The
    // wait does not depend on the running flag (doWork() without start() climbs as well), but a
    // stop() ends it at once.
    USB_ExitDevice();
    m_progress.enter(UpgradeStep::BootLoaderWait);
    const int interval = std::max(1, m_timing.pollIntervalMs);
    int countdown = std::max(0, m_timing.bootLoaderReturnMs) / interval;
    if (!pauseUnlessStopped(std::chrono::milliseconds(m_timing.settleAfterBootLoaderMs))) {
        qCInfo(lcUpgrade, "Stopped while waiting for the device after the boot loader load.");
        return;
    }
    while (!USB_ScsiFindDevice(m_manufacturer, m_dev_state)) {
        if (--countdown < 0) {
            qCCritical(lcUpgrade) << "The device did not come back after the boot loader load";
            report(false, tr("The device is not able to upgrade, please try again."));
            return;
        }
        if (!pauseUnlessStopped(std::chrono::milliseconds(interval))) {
            qCInfo(lcUpgrade, "Stopped while waiting for the device after the boot loader load.");
            return;
        }
    }
    if (m_dev_state != UBoot)
        qCCritical(lcUpgrade).noquote()
            << QStringLiteral("Invalid device state %1.").arg(static_cast<int>(m_dev_state));
}

bool UpgradeThread::climbBootStages()
{
    // A stop() lets a stage that has begun finish, but no further stage begins.
    if (m_dev_state == ROM && !stopRequested()) {
        m_progress.enter(UpgradeStep::RomStage);
        if (sendUpdaterImage(QStringLiteral("usb_updater.bin")) == 0)
            m_dev_state = Updater;
    }
    if (m_dev_state == Updater && !stopRequested()) {
        m_progress.enter(UpgradeStep::UpdaterStage);
        loadBootLoader();
    }
    return m_dev_state == UBoot && !stopRequested();
}

void UpgradeThread::upgradeCamera()
{
    g_reRunScriptCount = 0;
    if (USB_ScsiFindDevice(m_manufacturer, m_dev_state)) {
        qCInfo(lcUpgrade, "Enter the upgrade process of the camera in an abnormal state.");
        if (climbBootStages())
            runCameraScript();
        return;
    }
    if (!m_cameraConnected) {
        report(false, tr("No device detected, please make sure your device is connected correctly."));
        qCDebug(lcUpgrade, "Upgrade failed.");
        return;
    }
    if (!m_extensionUnit || stopRequested() || !m_extensionUnit->setUpdateCamera())
        return;
    qCInfo(lcUpgrade, "Enter the normal state of the camera upgrade process.");
    m_progress.enter(UpgradeStep::CameraLoader);
    if (waitForMassStorage() && m_dev_state == UBoot)
        runCameraScript();
}

void UpgradeThread::runCameraScript()
{
    for (;;) {
        setUpgradeFileFolder(m_packageFolder);
        qCDebug(lcUpgrade).noquote() << "curPath:" << m_packageFolder;
        const auto line = [this](int number, int lines) {
            m_progress.enter(UpgradeStep::CameraScript, number, lines);
        };
        if (runUpgradeScript(QString::fromLatin1(kCameraScript), 0, line) == 0) {
            USB_ExitDevice();
            m_progress.finish();
            report(true, tr("Upgrade done."));
            qCDebug(lcUpgrade, "Upgrade seccess.");
            return;
        }
        qCDebug(lcUpgrade) << "reRunScriptCount:" << g_reRunScriptCount;
        if (g_reRunScriptCount >= kMaxScriptReruns || stopRequested())
            break;
        ++g_reRunScriptCount;
        qCDebug(lcUpgrade, "auto_update.txt [retry %d]\n", g_reRunScriptCount);
    }
    USB_ExitDevice();
    report(false, tr("Upgrade failed."));
    qCDebug(lcUpgrade, "Upgrade failed.");
}

void UpgradeThread::upgrade222D()
{
    if (USB_ScsiFindDevice(m_manufacturer, m_dev_state)) {
        qCInfo(lcUpgrade, "Enter the upgrade process of the 222D in an abnormal state.");
        if (climbBootStages())
            run222DScript();
        return;
    }
    if (!m_cameraConnected || !m_extensionUnit || stopRequested() || !m_extensionUnit->setUpdateSSD222D())
        return;
    qCInfo(lcUpgrade, "Enter the normal state of the 222D upgrade process.");
    m_progress.enter(UpgradeStep::MainBoardLoader);
    if (!waitForMassStorage()) {
        if (m_reported)
            m_chipFailed = true;
        return;
    }
    if (m_dev_state == UBoot)
        run222DScript();
}

void UpgradeThread::run222DScript()
{
    // Names in this script resolve against "images", but may reach the rest of the package
    // ("../kernel"): the package's working folder is the boundary.
    const QString folder = m_packageFolder + QStringLiteral("/images");
    setUpgradeFileFolder(folder, m_packageFolder);
    qCDebug(lcUpgrade).noquote() << "curPath:" << folder;
    const auto line = [this](int number, int lines) {
        m_progress.enter(UpgradeStep::MainBoardScript, number, lines);
    };
    if (runUpgradeScript(QString::fromLatin1(kCameraScript), 1, line) != 0) {
        m_chipFailed = true;
        report(false, tr("Upgrade failed."));
        qCDebug(lcUpgrade, "Upgrade failed.");
        return;
    }
    qCDebug(lcUpgrade, "Upgrade seccess.");
}

void UpgradeThread::upgradeAudio()
{
    qCDebug(lcUpgrade) << "upgradeAudio:" << QThread::currentThreadId();
    if (!m_cameraConnected || !m_extensionUnit || stopRequested() || !m_extensionUnit->setUpdateXmos())
        return;
    qCDebug(lcUpgrade, "begin upgrade xmos...");
    QFileInfoList images;
    listFilesBySuffix(QStringLiteral("dfu"), images);
    qCDebug(lcUpgrade, "xmos filenums:%d\n", static_cast<int>(images.size()));
    if (images.size() != 1)
        return;
    const QString path = images.first().absoluteFilePath();
    qCDebug(lcUpgrade).noquote() << "upgradefilepath:" << path;
    qCDebug(lcUpgrade) << "fileUpgrade:" << path.toLocal8Bit();

    XmosPollTiming timing = m_timing.audio;
    timing.cancelled = [this] { return stopRequested(); };
    m_progress.enter(UpgradeStep::AudioTransfer, 0, images.first().size());
    bool ok = transXmosToDev(*m_extensionUnit, path,
                             [this](qint64 sent, qint64 total) { m_progress.advance(sent, total); });
    if (ok) {
        qCDebug(lcUpgrade, "Xmos file Trans finished");
        m_progress.enter(UpgradeStep::AudioInstall);
        ok = queryXmosUpOver(*m_extensionUnit, timing);
        if (ok)
            qCDebug(lcUpgrade, "Xmos Upgrade finished");
    }
    if (!ok) {
        m_audioFailed = true;
        report(false, tr("XMOS Upgrade failed"));
        qCDebug(lcUpgrade, "XMOS Upgrade failed.");
    }
}
