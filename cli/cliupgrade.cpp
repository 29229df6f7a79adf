#include "cliupgrade.h"

#include "app/globals.h"
#include "app/settings.h"
#include "upgrade/libsstarufu.h"
#include "upgrade/package.h"
#include "upgrade/upgradethread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <unistd.h>

namespace cli {
namespace {

QString packageMessage(PackageOutcome outcome)
{
    switch (outcome) {
    case PackageOutcome::PackageFormatWrong:
        return QStringLiteral("Unable to upgrade. The format of firmware file is not correct.");
    case PackageOutcome::PackageCorrupted:
        return QStringLiteral("Unable to upgrade. The upgrade file is corrupted.");
    case PackageOutcome::PackageMismatch:
        return QStringLiteral("Unable to upgrade. The upgrade version does not match this device.");
    case PackageOutcome::PackageReady:
        break;
    }
    return QString();
}

} // namespace

UpgradeResult runUpgrade(const QString& archive, UVCExtensionUnit* unit, int cameraModel,
                         QTextStream& progress)
{
    UpgradeResult result;
    progress << "deckctl-cli: preparing " << archive << '\n';
    progress.flush();
    QString reason;
    const PackageOutcome outcome = preparePackage(archive, unit != nullptr, cameraModel, &reason);
    if (outcome != PackageOutcome::PackageReady) {
        if (!reason.isEmpty())
            progress << "deckctl-cli: " << reason << '\n';
        progress.flush();
        removeUpgradeFiles();
        result.status = 1;
        result.message = packageMessage(outcome);
        return result;
    }

    const int brandIndex = SettingsStore::application().brandIndex();
    g_bOpenCamera = unit != nullptr;
    auto* thread = new QThread;
    auto* worker = new UpgradeThread(brandIndex, cameraModel, unit != nullptr, unit);
    worker->moveToThread(thread);
    QObject::connect(thread, &QThread::started, worker, &UpgradeThread::start);
    QObject::connect(worker, &UpgradeThread::workFinished, worker, &QObject::deleteLater);
    QObject::connect(worker, &QObject::destroyed, thread, &QThread::quit);

    bool reported = false;
    QObject::connect(worker, &UpgradeThread::onUpgradeReport, QCoreApplication::instance(),
                     [&](bool success, int, const QString& message) {
                         reported = true;
                         result.success = success;
                         result.message = message;
                     });
    QEventLoop loop;
    QObject::connect(thread, &QThread::finished, &loop, &QEventLoop::quit);

    // A progress line every second on a terminal, every ten seconds into a file or pipe.
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer ticker;
    ticker.setInterval(terminal ? 1000 : 10000);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        progress << (terminal ? "\r" : "") << "deckctl-cli: upgrading, " << elapsed.elapsed() / 1000
                 << " s; do not unplug the camera" << (terminal ? "" : "\n");
        progress.flush();
    });
    progress << "deckctl-cli: upgrading; do not unplug the camera\n";
    progress.flush();
    ticker.start();
    thread->start();
    loop.exec();
    ticker.stop();
    thread->wait();
    delete thread;
    if (terminal)
        progress << '\n';

    USB_ExitDevice();
    removeUpgradeFiles();
    g_bOpenCamera = false;
    if (!reported) {
        // The worker ended without a result (a refused entry block, a boot stage it could not
        // climb): tell the user instead of pretending success.
        result.message = QStringLiteral("The upgrade ended without a result; see ~/.ld/ld.log.");
    }
    result.status = result.success ? 0 : 1;
    return result;
}

} // namespace cli
