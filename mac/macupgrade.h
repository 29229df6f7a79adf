#pragma once

// One firmware upgrade in the raw-USB edition, on a thread of its own (a Worker: run it through a
// WorkerHost), with this edition's sequencing:
//
//  camera in normal operation (camera given)
//   - the model with a separate main board (catalogue): main-SoC entry block, a fixed wait, the
//     main board's script from "images/" on the one boot-stage device the walk finds in U-Boot;
//   - a QB17 or QB18 model (by its title): the audio module's image through the camera's control
//     pipe, and its installation, first; the camera goes on only when that worked;
//   - then the camera entry block, a fixed wait, and the camera's script on the one boot-stage
//     device the walk finds in U-Boot.
//  camera found in a boot stage (no camera given)
//   - the walk must find exactly one device; from the boot ROM the updater goes to it, from the
//     updater the boot loader, and the camera's script runs once it is in U-Boot.
//
// One report at the end (onUpgradeReport). stop() ends every wait at once and no further step
// begins after it (a script line or a transfer under way runs to its end).

#include "app/worker.h"
#include "device/usbbulkdevice.h"
#include "mac/macedition.h"
#include "upgrade/upgradeprogress.h"
#include "upgrade/xmostransfer.h"

#include <QString>

#include <memory>

class SCSIConnect;
class UVCCameraDevices;

// Whether this edition can find the model's boot stages again once the camera entered its loader:
// the walk looks only at macedition::kBootStageVendorId and accepts only the vendor
// identifications of macedition::kAcceptedVendors. True for a model the catalogue does not know.
bool bootStagesReachable(int model);
// Whether the camera title names a model that upgrades its audio module first.
bool upgradesAudioFirst(const QString& cameraTitle);

// The audio-module transfer over the camera's control pipe.
class CameraDevicesXmosLink : public XmosLink
{
public:
    explicit CameraDevicesXmosLink(UVCCameraDevices& camera) : m_camera(camera) {}
    bool sendPacket(const std::uint8_t* packet) override;
    bool readStatus(std::uint8_t* status) override;

private:
    UVCCameraDevices& m_camera;
};

// The waits of a run; tests shorten them.
struct MacUpgradeTiming
{
    int mainBoardEntryWaitMs = macedition::kMainBoardEntryWaitMs;
    int cameraEntryWaitMs = macedition::kCameraEntryWaitMs;
    // After the main board's script the camera restarts: this far apart, its control pipe is
    // opened again and the camera entry block sent, at most this many times.
    int cameraReturnTries = 60;
    int cameraReturnWaitMs = 500;
    // After the boot loader's load (repair from the boot ROM or the updater).
    int ubootReturnTries = macedition::kUbootReturnTries;
    int ubootReturnWaitMs = macedition::kUbootReturnWaitMs;
    XmosPollTiming audio;
};

class MacUpgradeWorker : public Worker
{
    Q_OBJECT
public:
    // camera: the opened camera in normal operation, or nullptr to repair a device found in a
    // boot stage. model: its catalogue index; cameraTitle: its name as listed. bus: where the
    // boot-stage devices are walked (not owned; outlives the worker).
    MacUpgradeWorker(std::unique_ptr<UVCCameraDevices> camera, int model, const QString& cameraTitle,
                     usbbulk::Bus& bus, QObject* parent = nullptr);
    ~MacUpgradeWorker() override;

    // The folder holding the prepared package; by default the upgrade working folder.
    void setPackageFolder(const QString& folder) { m_packageFolder = folder; }
    void setTiming(const MacUpgradeTiming& timing) { m_timing = timing; }
    // Where the camera is found again after the main board's restart ("<bus-port>"; empty: the
    // first camera with its ids).
    void setCameraPlace(int vendorId, int productId, const QString& busPort);
    // The run's progress (upgradeprogress.h); connect with a queued connection.
    UpgradeProgressNotifier* progressNotifier() const { return m_progressNotifier; }

signals:
    void workFinished();
    void workStart();
    void onUpgradeReport(bool success, int progress, const QString& message);

public slots:
    void start();
    void doWork();
    void stop();

private:
    void upgradeCamera();
    void repairBootStage();
    bool upgradeMainBoard();
    bool upgradeAudio();
    bool enterCameraLoader(bool afterRestart);
    // The walk for the one device in U-Boot, then its script from folder (relative to the
    // package folder, with its slashes).
    bool runScript(SCSIConnect& connect, const char* folder, UpgradeStep step);
    bool wait(int ms);
    void report(bool success, const QString& message);

    std::unique_ptr<UVCCameraDevices> m_camera;
    int m_model;
    QString m_cameraTitle;
    usbbulk::Bus& m_bus;
    int m_vendorId = 0;
    int m_productId = 0;
    QString m_busPort;
    QString m_packageFolder;
    MacUpgradeTiming m_timing;
    bool m_reported = false;
    UpgradeProgressNotifier* m_progressNotifier; // child
    UpgradeProgressTracker m_progress;
};
