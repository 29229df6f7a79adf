#pragma once

// deckctl-cli upgrade and recover: the package preparation and the upgrade worker that the
// window uses, run from the command line with a progress line.

#include <QString>
#include <QTextStream>

class UVCExtensionUnit;

namespace cli {

struct UpgradeResult
{
    int status = 0; // exit status: 0 success, 1 failure
    QString message;
    bool success = false;
};

// Prepares the package (checking its model against cameraModel when unit is given) and runs one
// upgrade. unit: the opened camera for a normal upgrade, nullptr to repair a camera found in a
// boot stage. Progress goes to progress (standard error).
UpgradeResult runUpgrade(const QString& archive, UVCExtensionUnit* unit, int cameraModel,
                         QTextStream& progress);

} // namespace cli
