// The main window's support actions: factory reset, firmware upgrade from a package file, and
// the recovery of a camera that the background watcher found stuck in a boot stage.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/logcategories.h"
#include "ui/dialogshape.h"
#include "ui/formabnormal.h"
#include "ui/formcustomizemessagebox.h"
#include "ui/formupgrade.h"
#include "upgrade/package.h"
#include "upgrade/upgradeprogress.h"
#include "upgrade/upgradethread.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QRandomGenerator>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

namespace {

constexpr int kDummyIntervalMs = 1000;
constexpr int kProcessMaxNormal = 2;
constexpr int kProcessMaxRecovery = 6;
constexpr int kDummyCap = 99;

const char* const kRestoreConfirmText = QT_TRANSLATE_NOOP(
    "MainWindow",
    "<h3>Restore Factory Defaults</h3>\r\nAre you sure you want to reset your device to factory settings? "
    "The "
    "current settings will be completely removed, and your device may take several seconds to reboot. Please "
    "keep your device connected during the whole resetting process.");
const char* const kRestoreDoneText = QT_TRANSLATE_NOOP(
    "MainWindow", "To complete this process, your device may take a few seconds to restart.");
const char* const kRestoreFailedText = QT_TRANSLATE_NOOP(
    "MainWindow",
    "<h3>Restore Factory Defaults</h3>\r\nThe device did not accept the request; its settings are "
    "unchanged. Please unplug and re-plug the device and try again.");
const char* const kFormatWrongText = QT_TRANSLATE_NOOP(
    "MainWindow", "<h3>Unable to upgrade. </h3>\r\n The format of firmware file is not correct.");
const char* const kCorruptedText =
    QT_TRANSLATE_NOOP("MainWindow", "<h3>Unable to upgrade. </h3>\r\n The upgrade file is corrupted.");
const char* const kMismatchText = QT_TRANSLATE_NOOP(
    "MainWindow", "<h3>Unable to upgrade. </h3>\r\n The upgrade version does not match this device.");
const char* const kReadyText = QT_TRANSLATE_NOOP(
    "MainWindow",
    "<h3>Get Ready to Upgrade.</h3>Make sure your device is not being used by another application before "
    "upgrading.<br><br>This process may take several minutes. <br><br><b>Do not disconnect your device</b> "
    "during the upgrade process.");
const char* const kAbnormalText = QT_TRANSLATE_NOOP(
    "MainWindow",
    "<h3>Unknown Exception Detected</h3>\r\nUpgrade was interrupted by an unknown exception, please try "
    "again.<br><br><b>The audio module will not be upgraded</b> if the status is abnormal.<p>For the latest "
    "application and firmware, <a style='color:#42a5f5;' href=\"https:///\">please click here.</p>");
// The link target of that text, which names no host; it is replaced by the configured target of
// the "Application and Firmware" link.
const QString kAbnormalLinkPlaceholder = QStringLiteral("https:///");
const char* const kDoneText = QT_TRANSLATE_NOOP(
    "MainWindow", "<h3> Upgrade is done! </h3>\r\n The device is initializing, don't power off.");
const char* const kFailedText = QT_TRANSLATE_NOOP(
    "MainWindow", "<h3>Upgrade Failed! </h3>\r\n Please unplug and re-plug the device and try again.");

} // namespace

void MainWindow::on_btnRestoreDefaults_clicked()
{
    if (!m_cameraOpen || m_upgrading)
        return;
    {
        FormCustomizeMessagebox dlg(tr(kRestoreConfirmText), 1, false, this);
        dlg.setFixedSize(412, 214);
        qCDebug(lcUi) << "dlg.width():" << dlg.width();
        qCDebug(lcUi) << "dlg.height():" << dlg.height();
        centreOver(&dlg, this);
        if (dlg.exec() != QDialog::Accepted)
            return;
    }
    stopQueryWorker();
    if (!m_uvc.setDefault()) {
        qCWarning(lcUi) << "Reset default params failed.";
        // The camera did not take the request and will not restart: the query worker is
        // started again for the open camera, and the user learns that nothing was reset.
        if (m_cameraOpen)
            startQueryWorker();
        showMessage(tr(kRestoreFailedText), false);
        return;
    }
    // The camera restarts: its removal and arrival close and reopen it, and restart the query.
    FormCustomizeMessagebox done(tr(kRestoreDoneText), 0, true, this);
    centreOver(&done, this);
    done.exec();
    qCInfo(lcUi) << "Config default info";
}

int MainWindow::preparePackageInBackground(const QString& archive, bool checkModel, QString* reason)
{
    // Unpacking a large package takes seconds: it runs on a thread of its own while a local loop
    // keeps the window painting; the bar shows a busy indicator meanwhile.
    ui->progressBarUpdate->setRange(0, 0);
    ui->progressBarUpdate->show();
    // The button comes back as it was: disabled while no camera is open (a recovery).
    const bool upgradeEnabled = ui->btnUpgrade->isEnabled();
    ui->btnUpgrade->setEnabled(false);
    PackageOutcome outcome = PackageOutcome::PackageFormatWrong;
    const int model = m_model;
    QEventLoop loop;
    QThread* thread = QThread::create([&outcome, archive, checkModel, model, reason] {
        outcome = preparePackage(archive, checkModel, model, reason);
    });
    connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    thread->wait();
    delete thread;
    ui->progressBarUpdate->setRange(0, 100);
    ui->progressBarUpdate->setValue(0);
    ui->progressBarUpdate->hide();
    ui->btnUpgrade->setEnabled(upgradeEnabled);
    return static_cast<int>(outcome);
}

bool MainWindow::confirmUpgrade()
{
    FormUpgrade dlg;
    dlg.setPrompt(tr(kReadyText));
    centreOver(&dlg, this);
    dlg.show();
    dlg.findChild<QAbstractButton*>(QStringLiteral("btnOK"))->setFocus();
    return dlg.exec() == QDialog::Accepted;
}

QString MainWindow::askForPackage(QWidget* parent)
{
    qCDebug(lcUi) << "app dir:" << QCoreApplication::applicationDirPath();
    const QString file =
        chooseUpgradeFile
            ? chooseUpgradeFile(parent, tr("Open File"), tr("Upgrade File(*.zip)"))
            : QFileDialog::getOpenFileName(parent, tr("Open File"), QString(), tr("Upgrade File(*.zip)"));
    if (file.isEmpty())
        qCDebug(lcUi) << "Open file dialog cancel.";
    else
        qCDebug(lcUi) << "upgrade file:" << file;
    return file;
}

void MainWindow::on_btnUpgrade_clicked()
{
    if (m_upgrading)
        return;
    qCDebug(lcUi) << "app dir:" << QCoreApplication::applicationDirPath();
    const QString file =
        chooseUpgradeFile
            ? chooseUpgradeFile(this, tr("Open File"), tr("Upgrade File(*.zip)"))
            : QFileDialog::getOpenFileName(this, tr("Open File"), QString(), tr("Upgrade File(*.zip)"));
    if (file.isEmpty()) {
        qCDebug(lcUi) << "Open file dialog cancel.";
        m_upgrading = false;
        return;
    }
    qCDebug(lcUi) << "upgrade file:" << file;
    // Refused while the package is prepared: closing or switching the language now would pull
    // the window away under the preparation.
    m_upgrading = true;
    QString reason;
    const auto outcome = static_cast<PackageOutcome>(preparePackageInBackground(file, true, &reason));
    m_upgrading = false;
    const char* refusal = nullptr;
    switch (outcome) {
    case PackageOutcome::PackageFormatWrong:
        refusal = kFormatWrongText;
        break;
    case PackageOutcome::PackageCorrupted:
        refusal = kCorruptedText;
        break;
    case PackageOutcome::PackageMismatch:
        refusal = kMismatchText;
        break;
    case PackageOutcome::PackageReady:
        break;
    }
    if (refusal) {
        qCWarning(lcUi).noquote() << packageOutcomeName(outcome) << reason;
        QString text = tr(refusal);
        if (!reason.isEmpty())
            text += QStringLiteral("<br>") + reason.toHtmlEscaped();
        // Nothing of a refused package stays in the working folder.
        clearUpgradeWorkFolder();
        showMessage(text, false);
        return;
    }
    if (!confirmUpgrade()) {
        qCDebug(lcUi) << "FormUpgrade rejected.";
        clearUpgradeWorkFolder();
        m_upgrading = false;
        return;
    }
    startUpgrade();
}

void MainWindow::startUpgrade()
{
    m_upgrading = true;
    m_upgradeReported = false;
    stopQueryWorker();
    if (m_handlingAbnormal)
        m_processMax = kProcessMaxRecovery;
    qCDebug(lcUi) << "m_processMax:" << m_processMax;
    ui->progressBarUpdate->setRange(0, 100);
    ui->progressBarUpdate->setValue(0);
    ui->progressBarUpdate->show();
    showUpgradeStepLabel(true);

    auto* worker = new UpgradeThread(m_manufacturer, m_model, m_cameraOpen, &m_uvc);
    if (upgradeTiming)
        worker->setTiming(*upgradeTiming);
    m_upgrade.start(worker, [this](UpgradeThread* started) {
        connect(started, &UpgradeThread::onUpgradeReport, this, &MainWindow::slotOnUpgradeReport,
                Qt::QueuedConnection);
        connect(started->progressNotifier(), &UpgradeProgressNotifier::progressChanged, this,
                &MainWindow::showUpgradeProgress, Qt::QueuedConnection);
        // The end of the worker's thread: after its report (queued before it), if it gave one.
        connect(started->thread(), &QThread::finished, this, &MainWindow::onUpgradeWorkerEnded,
                Qt::QueuedConnection);
    });

    ui->btnUpgrade->setEnabled(false);
    ui->btnRestoreDefaults->setEnabled(false);
    m_dummyProgress = 0;
    delete m_dummyTimer;
    m_dummyTimer = new QTimer(this);
    connect(m_dummyTimer, &QTimer::timeout, this, &MainWindow::slotOnUpdateDummyTimeout);
    m_dummyTimer->start(kDummyIntervalMs);
}

void MainWindow::slotOnUpdateDummyTimeout()
{
    // An animation, not the worker's progress.
    m_dummyProgress += static_cast<int>(QRandomGenerator::global()->bounded(m_processMax - 1)) + 1;
    if (m_dummyProgress > kDummyCap)
        m_dummyProgress = kDummyCap;
    ui->progressBarUpdate->setValue(m_dummyProgress);
}

void MainWindow::showUpgradeProgress(const UpgradeProgress& progress)
{
    // Queued before the final report; nothing is shown once the run is over.
    if (!m_upgrading)
        return;
    ui->labelUpgradeStep->setText(upgradeStepText(progress));
}

void MainWindow::showUpgradeStepLabel(bool shown)
{
    ui->labelUpgradeStep->clear();
    ui->labelUpgradeStep->setVisible(shown);
}

void MainWindow::slotOnUpgradeReport(bool ok, int progress, const QString& message)
{
    qCInfo(lcUi).noquote() << "upgrade report:" << message;
    if (ok && progress != 100) {
        removeUpgradeFiles();
        return;
    }
    m_upgradeReported = true;
    if (ok) {
        m_processMax = kProcessMaxNormal;
        ui->progressBarUpdate->setValue(100);
    }
    finishUpgrade(ok);
}

void MainWindow::onUpgradeWorkerEnded()
{
    if (!m_upgrading || m_upgradeReported)
        return;
    // The worker ended without a result (a boot stage it could not climb, a refused entry):
    // that is a failure, and the window leaves the running state.
    qCWarning(lcUi) << "upgrade report: the worker ended without a result";
    m_upgradeReported = true;
    finishUpgrade(false);
}

void MainWindow::finishUpgrade(bool success)
{
    delete m_dummyTimer;
    m_dummyTimer = nullptr;
    // The running state ends before the result box: the box runs a modal loop of its own.
    m_upgrading = false;
    ui->btnUpgrade->setEnabled(true);
    ui->btnRestoreDefaults->setEnabled(m_cameraOpen);
    m_upgrade.stop();
    // The worker has ended: nothing of the package stays, whatever the result.
    clearUpgradeWorkFolder();
    showMessage(tr(success ? kDoneText : kFailedText), true);
    ui->progressBarUpdate->setValue(0);
    ui->progressBarUpdate->hide();
    showUpgradeStepLabel(false);
}

void MainWindow::slotOnDeviceAbnormal(int state)
{
    qCWarning(lcUi) << "Detect camera abnormal, state:" << state;
    if (m_upgrading || m_handlingAbnormal)
        return;
    // A repair could not open the device: the user is told what gives the access instead.
    if (reportDeniedDevices())
        return;
    m_handlingAbnormal = true;
    m_processMax = kProcessMaxRecovery;

    bool accepted = false;
    {
        FormAbnormal dlg;
        QString text = tr(kAbnormalText);
        const QString target = m_linkTargets.value(1);
        if (!target.isEmpty())
            text.replace(kAbnormalLinkPlaceholder, target.toHtmlEscaped());
        dlg.setPrompt(text);
        // A camera in a boot stage answers no model query: the package is checked without it.
        dlg.chooseFile = [this](QWidget* parent) { return askForPackage(parent); };
        dlg.checkPackage = [this](const QString& file) {
            QString reason;
            const auto outcome =
                static_cast<PackageOutcome>(preparePackageInBackground(file, false, &reason));
            if (outcome == PackageOutcome::PackageReady)
                return true;
            qCWarning(lcUi).noquote() << packageOutcomeName(outcome) << reason;
            // A later choice in the same dialog finds nothing of this package.
            clearUpgradeWorkFolder();
            return false;
        };
        centreOver(&dlg, this);
        dlg.show();
        dlg.findChild<QAbstractButton*>(QStringLiteral("btnUpgrade"))->setFocus();
        accepted = dlg.exec() == QDialog::Accepted;
    }
    if (accepted) {
        ui->btnNavSupport->click();
        if (confirmUpgrade()) {
            startUpgrade();
        } else {
            qCDebug(lcUi) << "FormUpgrade rejected.";
            clearUpgradeWorkFolder();
        }
    } else {
        qCDebug(lcUi) << "FormAbnormal rejected.";
        // A package that was chosen but failed the check leaves nothing behind.
        clearUpgradeWorkFolder();
    }
    qCDebug(lcUi) << "setAbnormalState false";
    m_handlingAbnormal = false;
}
