#include "app/catalogue.h"
#include "app/logging.h"
#include "cli/cli.h"
#include "cli/clivirtual.h"
#include "device/deviceplatform.h"
#include "sim/virtualplatform.h"
#include "sim/virtualrig.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <memory>

namespace {

// The virtual cameras' shared state as `deckctl-cli virtual` changes it.
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

    // The device layer logs to the program's log file, as the window does; the tool's own
    // output stays clean for scripts.
    setLogFilePath(ensureFilePath(names::kLogFilePath));
    qInstallMessageHandler(logMessageHandler);
    cli::applyVerbosity(QCoreApplication::arguments().mid(1));

    QString error;
    if (!installVirtualPlatformIfRequested(&error)) {
        err << "deckctl-cli: " << error << '\n';
        return cli::kExitUsage;
    }
    // Only a state in a file is shared: a change to this process's own cameras would end with it.
    std::unique_ptr<RigState> virtualState;
    auto* virtualPlatform = dynamic_cast<VirtualPlatform*>(&devicePlatform());
    if (virtualPlatform && !virtualPlatform->rig().statePath().isEmpty())
        virtualState = std::make_unique<RigState>(virtualPlatform->rig());
    return cli::run(QCoreApplication::arguments().mid(1), out, err, virtualState.get());
}
