#pragma once

// The raw-USB edition's upgrade steps on one boot-stage device of the device table: opening and
// identifying it, the upgrade marker, the updater and boot-loader loads, and the upgrade script
// with this edition's form of the runner (MacScriptTarget). Paths are the folder (given with its
// trailing slash) followed by the file name; the script's nested scripts and loads are resolved
// against the same folder.

#include "mac/sstardevicetable.h"
#include "upgrade/libsstarufu.h"
#include "upgrade/upgradescript.h"

#include <QString>

#include <functional>

// The runner's device actions on a slot: single status reads, the reset sequence with its
// terminating zeros, loads with their own messages and pause.
class MacScriptTarget : public ScriptTarget
{
public:
    MacScriptTarget(sstarusb::DeviceTable& table, int slot) : m_table(table), m_slot(slot) {}
    bool runCommandLine(const QByteArray& line) override;
    void runResetSequence() override;
    int loadFile(const QString& path, std::uint32_t address) override;
    bool resetIsLocal(int) const override { return true; }
    bool logsOutcomes() const override { return false; }

private:
    sstarusb::DeviceTable& m_table;
    int m_slot;
};

class SCSIConnect
{
public:
    explicit SCSIConnect(sstarusb::DeviceTable& table) : m_table(table) {}

    int g_vid() const { return m_vid; }
    void setG_vid(int vid) { m_vid = vid; }
    int g_pid() const { return m_pid; }
    void setG_pid(int pid) { m_pid = pid; }
    DeviceState g_dev_state() const { return m_state; }
    void setG_dev_state(DeviceState state) { m_state = state; }
    int slot() const { return m_slot; }

    // Opens and identifies the device of g_vid/g_pid: true when a boot stage of an accepted
    // vendor answered; g_dev_state then tells which.
    bool upgradeStart();
    // "setenv ota_upgrade_status 3" with its terminating zero; no status is read.
    void sendUpdateCmd();
    // The updater image in 1,024-byte chunks (no header, no status); the state becomes Updater
    // when the file could be read.
    void do_updater(const QString& file, const QString& folder);
    // The boot loader loaded at 0xFFFFFFFF; then the device is looked for again until it answers
    // (at most kUbootReturnTries times). False when the load failed or it did not come back.
    // loaded, when given, is told when the load was taken and the wait begins.
    bool do_Uboot(const QString& file, const QString& folder, const std::function<void()>& loaded = {});
    // Runs the script folder + script; the device is closed afterwards either way. Names in the
    // script resolve against folder and may not leave root (folder when empty): the main board's
    // script, run from "images/", reaches the package's other entries with "../".
    bool autoUpdate(const QString& script, const QString& folder,
                    const ScriptLineProgress& progress = ScriptLineProgress(),
                    const QString& root = QString());
    void usbDeviceCanclExit();

    // How long do_Uboot looks for the restarted device.
    void setReturnWait(int tries, int waitMs)
    {
        m_returnTries = tries;
        m_returnWaitMs = waitMs;
    }

private:
    sstarusb::DeviceTable& m_table;
    int m_vid = 0;
    int m_pid = 0;
    DeviceState m_state = Other;
    int m_slot = sstarusb::kNoSlot;
    int m_returnTries = macedition::kUbootReturnTries;
    int m_returnWaitMs = macedition::kUbootReturnWaitMs;
};

// How many devices of macedition::kBootStageVendorId answered a walk, and the last that did.
struct BootStageWalk
{
    int answered = 0;
    usbbulk::UsbIds found;
};
// Identifies every such device in turn; with exactly one answer, connect then holds that device
// (its ids, state and slot), also when devices walked after it did not answer.
BootStageWalk walkBootStageDevices(usbbulk::Bus& bus, SCSIConnect& connect);

// The upgrade's device walk: every USB device of macedition::kBootStageVendorId on the bus is
// identified in turn. True when exactly one answered and it is in U-Boot; connect then holds that
// device (its ids, state and slot), also when devices walked after it did not answer.
bool findUbootDevice(usbbulk::Bus& bus, SCSIConnect& connect);
