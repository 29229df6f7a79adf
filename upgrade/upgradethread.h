#pragma once

// One firmware upgrade of the selected device, on a thread of its own: the audio module or the
// main board first, then the camera board through its mass-storage boot stages, and one report
// at the end. A Worker: run it through a WorkerHost; stop() ends every wait at once and no
// further step begins after it (the step under way, a script line or a transfer, runs to its end).

#include "app/worker.h"
#include "upgrade/libsstarufu.h"
#include "upgrade/upgradeprogress.h"
#include "upgrade/xmostransfer.h"

#include <QString>

class UVCExtensionUnit;

// The waits of an upgrade run; tests shorten them.
struct UpgradeTiming
{
    int pollIntervalMs = 500; // between discoveries while waiting for the loader
    int pollCountdown = 50;   // polls before giving up (51 in all)
    int settleAfterBootLoaderMs = 1000;
    int bootLoaderReturnMs = 30000; // the device must be back this soon after the boot loader load
                                    // (counted in polls of pollIntervalMs; stop() ends the wait)
    XmosPollTiming audio;
};

class UpgradeThread : public Worker
{
    Q_OBJECT
public:
    UpgradeThread(int manufacturer, int model, bool cameraConnected, UVCExtensionUnit* extensionUnit,
                  QObject* parent = nullptr);

    // The folder holding the prepared package (auto_update.txt, images/, ...); by default the
    // package working folder.
    void setPackageFolder(const QString& folder) { m_packageFolder = folder; }
    void setTiming(const UpgradeTiming& timing) { m_timing = timing; }
    // The run's progress beside its result (upgradeprogress.h): the notifier is the worker's child
    // and lives on its thread; connect to its progressChanged() with a queued connection.
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
    void upgrade222D();
    void upgradeAudio();
    // Takes a device found in ROM or updater stage up to U-Boot. Returns true when the device is
    // in U-Boot afterwards.
    bool climbBootStages();
    void loadBootLoader();
    // Waits until the device shows up in mass-storage mode. False when it did not (or on stop()).
    bool waitForMassStorage();
    void runCameraScript();
    void run222DScript();

    void report(bool success, const QString& message);

    int m_manufacturer;
    int m_model;
    bool m_cameraConnected;
    UVCExtensionUnit* m_extensionUnit;
    DeviceState m_dev_state = Other;
    bool m_audioFailed = false;
    bool m_chipFailed = false;
    bool m_reported = false;
    QString m_packageFolder;
    UpgradeTiming m_timing;
    UpgradeProgressNotifier* m_progressNotifier; // child
    UpgradeProgressTracker m_progress;
};
