#pragma once

// deckctl-cli upgrade and recover: the package preparation and the upgrade worker that the
// window uses, run from the command line with a progress line.

#include "upgrade/package.h"
#include "upgrade/upgradeprogress.h"

#include <QObject>
#include <QString>
#include <QTextStream>
#include <QThread>

#include <functional>
#include <memory>
#include <vector>

class UVCExtensionUnit;
class WorkerHost;

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

// One upgrade as the command asks for it.
struct UpgradeRequest
{
    QString archive;
    // The opened camera for a normal upgrade; nullptr to repair a camera found in a boot stage.
    UVCExtensionUnit* unit = nullptr;
    int cameraModel = 0;
    QString cameraName; // as listed
    QString cameraId;   // the listed device id (the device path)
};

// Where a run's worker reports to; the engine connects its worker to these (connectUpgradeWorker).
struct UpgradeSink
{
    QObject* context = nullptr;                       // the tool's event loop object
    std::function<void()> finished;                   // the worker's thread has ended
    std::function<void(bool, const QString&)> report; // the run's one result
    std::function<void(const UpgradeProgress&)> step; // each progress report
};

// How an edition prepares a package and runs an upgrade. deckctl-cli uses the window's own
// (preparePackage() and UpgradeThread); deckctl-mac installs its own sequencing.
class UpgradeEngine
{
public:
    virtual ~UpgradeEngine() = default;
    // Prepares the package in the upgrade working folder; reason says why it was refused.
    virtual PackageOutcome prepare(const UpgradeRequest& request, QString* reason) = 0;
    // Starts the run's worker on host and connects it to sink.
    virtual void start(WorkerHost& host, const UpgradeRequest& request, const UpgradeSink& sink) = 0;
    // After the worker has ended: releases what the run may still hold.
    virtual void finish() {}
};

// Connects a worker with the shape of UpgradeThread (onUpgradeReport(), progressNotifier()) to sink.
template <class W> void connectUpgradeWorker(W* worker, const UpgradeSink& sink)
{
    QObject::connect(worker->thread(), &QThread::finished, sink.context, sink.finished);
    QObject::connect(
        worker, &W::onUpgradeReport, sink.context,
        [report = sink.report](bool success, int, const QString& message) { report(success, message); });
    QObject::connect(worker->progressNotifier(), &UpgradeProgressNotifier::progressChanged, sink.context,
                     sink.step, Qt::QueuedConnection);
}

// The engine that runUpgrade() uses from now on; nullptr restores deckctl-cli's own.
void setUpgradeEngine(std::unique_ptr<UpgradeEngine> engine);

// Prepares the package (checking its model against the camera's when a camera is given) and
// runs one upgrade with the installed engine. Progress goes to progress (standard error). SIGINT
// and SIGTERM during the run ask the worker to stop; a second one, or kStopGraceMs without the
// worker ending, gives up on it.
UpgradeResult runUpgrade(const UpgradeRequest& request, QTextStream& progress);

} // namespace cli
