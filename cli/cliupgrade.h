#pragma once

// deckctl-cli upgrade and recover: the package preparation and the upgrade worker that the
// window uses, run from the command line with a progress line.

#include "upgrade/upgradeprogress.h"

#include <QString>
#include <QTextStream>

#include <vector>

class UVCExtensionUnit;

namespace cli {

struct UpgradeResult
{
    int status = 0; // exit status: 0 success, 1 failure
    QString message;
    bool success = false;
    // SIGINT or SIGTERM arrived during the upgrade (0: none).
    int interruptedBy = 0;
    // The worker was still busy in a step that stop() does not cut (a script line, a transfer)
    // when the tool gave up waiting for it: its thread still runs, so the process must end with
    // _exit() once the result is printed, without tearing anything down.
    bool workerAbandoned = false;
    // The steps the run went through, in order, each as last reported (its text and the run's
    // percentage then).
    std::vector<UpgradeProgress> steps;
};

// How long the tool waits, after asking the worker to stop, before it quits without it.
constexpr int kStopGraceMs = 5000;

// Prepares the package (checking its model against cameraModel when unit is given) and runs one
// upgrade. unit: the opened camera for a normal upgrade, nullptr to repair a camera found in a
// boot stage. Progress goes to progress (standard error). SIGINT and SIGTERM during the run ask
// the worker to stop; a second one, or kStopGraceMs without the worker ending, gives up on it.
UpgradeResult runUpgrade(const QString& archive, UVCExtensionUnit* unit, int cameraModel,
                         QTextStream& progress);

} // namespace cli
