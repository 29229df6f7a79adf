// deckctl-mac: the raw-USB edition of the command-line tool. The same commands, options and exit
// statuses as deckctl-cli (cli/), over a device layer that reaches the cameras with UVC class
// requests on their default control pipe (mac/) instead of the kernel's video driver.
//
//   deckctl-mac [--detach-kernel-driver] [deckctl-cli's options] COMMAND [ARGS]
//
// --detach-kernel-driver: on Linux, let the tool detach the kernel's video driver from the
// camera's control interface for the command, and reattach it afterwards. Without it the driver
// is never detached.

#include "app/catalogue.h"
#include "app/logging.h"
#include "cli/cli.h"
#include "cli/cliupgrade.h"
#include "cli/clivirtual.h"
#include "device/deviceplatform.h"
#include "device/portableplatform.h"
#include "mac/libusbbulkbus.h"
#include "mac/libusbbus.h"
#include "mac/rawusbvideo.h"
#include "programs/deckctl-mac/macupgradeengine.h"
#include "sim/virtualplatform.h"
#include "sim/virtualrig.h"
#include "sim/virtualusb.h"

#include <QCoreApplication>
#include <QTextStream>

#include <memory>

namespace {

constexpr const char* kDetachOption = "--detach-kernel-driver";

class RigState : public cli::VirtualCameraState
{
public:
    explicit RigState(VirtualRig& rig) : m_rig(rig) {}
    int plug(const QJsonObject& entry, QString* error) override { return m_rig.plug(entry, error); }
    bool unplug(int index, QString* error) override { return m_rig.unplug(index, error); }

private:
    VirtualRig& m_rig;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("deckctl"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    setLogFilePath(ensureFilePath(names::kLogFilePath));
    qInstallMessageHandler(logMessageHandler);
    cli::setProgramName(QStringLiteral("deckctl-mac"));
    cli::setProgramOptionsHelp(QStringLiteral(
        "      --detach-kernel-driver\n"
        "                           on Linux, detach the kernel's video driver from the camera's\n"
        "                           control interface for the command and reattach it afterwards\n"
        "                           (without it the driver is never detached, and a camera whose\n"
        "                           interface the driver holds cannot be reached)\n"));
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const bool detach = arguments.removeAll(QLatin1String(kDetachOption)) > 0;
    cli::applyVerbosity(arguments);

    // The virtual cameras when asked for (DECKCTL_VIRTUAL_CAMERA), seen through their USB face;
    // the machine's USB devices through libusb otherwise.
    QString error;
    std::unique_ptr<VirtualRig> rig = VirtualRig::fromEnvironment(&error);
    if (!rig && !error.isEmpty()) {
        err << "deckctl-mac: " << error << '\n';
        return cli::kExitUsage;
    }
    // Upgrades walk the boot-stage devices on the same bus.
    std::unique_ptr<RigState> virtualState;
    std::unique_ptr<RawUsbPlatform> platform;
    MacUpgradeEngine::BusFactory bulk;
    if (rig) {
        auto inner = std::make_unique<VirtualPlatform>(std::move(rig));
        VirtualRig& virtualRig = inner->rig();
        if (!virtualRig.statePath().isEmpty())
            virtualState = std::make_unique<RigState>(virtualRig);
        bulk = [&virtualRig]() -> std::unique_ptr<usbbulk::Bus> {
            return std::make_unique<VirtualBulkUsbBus>(virtualRig);
        };
        platform =
            std::make_unique<RawUsbPlatform>(std::move(inner), std::make_unique<VirtualUsbBus>(virtualRig));
    } else {
#ifdef DECKCTL_RAWUSB_ONLY
        // Built without the Linux bindings (as on macOS): no sound server, boot-stage mass storage,
        // preview or hot-plug beside the raw USB.
        auto inner = createPortablePlatform();
#else
        auto inner = createLinuxPlatform();
#endif
        bulk = []() -> std::unique_ptr<usbbulk::Bus> { return std::make_unique<LibusbBulkBus>(); };
        platform = std::make_unique<RawUsbPlatform>(std::move(inner), std::make_unique<LibusbBus>(detach));
    }
    RawUsbPlatform& raw = *platform;
    installDevicePlatform(std::move(platform));
    cli::setUpgradeEngine(std::make_unique<MacUpgradeEngine>(raw, std::move(bulk)));
    const int status = cli::run(arguments, out, err, virtualState.get());
    cli::setUpgradeEngine(nullptr);
    installDevicePlatform(nullptr);
    return status;
}
