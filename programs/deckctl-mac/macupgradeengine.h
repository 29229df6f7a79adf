#pragma once

// deckctl-mac's upgrade and recover: the package read as this edition reads it (mac/macpackage)
// and the run with this edition's sequencing (mac/macupgrade), in the command-line tool's frame
// (progress, signals, clean-up: cli/cliupgrade).

#include "cli/cliupgrade.h"
#include "device/usbbulkdevice.h"

#include <functional>
#include <memory>

class RawUsbPlatform;

class MacUpgradeEngine : public cli::UpgradeEngine
{
public:
    // platform: where the camera is opened again for the run (outlives the engine); bulk makes,
    // on the first run, the bus where the boot-stage devices are walked.
    using BusFactory = std::function<std::unique_ptr<usbbulk::Bus>()>;
    MacUpgradeEngine(RawUsbPlatform& platform, BusFactory bulk);
    ~MacUpgradeEngine() override;
    PackageOutcome prepare(const cli::UpgradeRequest& request, QString* reason) override;
    void start(WorkerHost& host, const cli::UpgradeRequest& request, const cli::UpgradeSink& sink) override;

private:
    RawUsbPlatform& m_platform;
    BusFactory m_makeBulk;
    std::unique_ptr<usbbulk::Bus> m_bulk;
};
