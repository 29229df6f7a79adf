// The raw-USB edition's whole upgrade against the virtual camera's in-process USB face: the
// sequencing of each kind of model (main board first, audio module first, camera at once), the
// repair of a camera found in a boot stage, and the faults that end a run.

#include "app/globals.h"
#include "app/workerhost.h"
#include "mac/macupgrade.h"
#include "mac/uvccameradevices.h"
#include "sim/virtualcamera.h"
#include "sim/virtualrig.h"
#include "sim/virtualusb.h"
#include "tests/support/journalreader.h"
#include "upgrade/upgradeprogress.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

struct Run
{
    bool reported = false;
    bool success = false;
    QString message;
    QStringList steps; // each step's name in the order entered, once
    QVector<int> percentages;
};

QString stepName(UpgradeStep step)
{
    switch (step) {
    case UpgradeStep::AudioTransfer:
        return QStringLiteral("audio-transfer");
    case UpgradeStep::AudioInstall:
        return QStringLiteral("audio-install");
    case UpgradeStep::MainBoardLoader:
        return QStringLiteral("main-board-loader");
    case UpgradeStep::MainBoardScript:
        return QStringLiteral("main-board-script");
    case UpgradeStep::CameraLoader:
        return QStringLiteral("camera-loader");
    case UpgradeStep::RomStage:
        return QStringLiteral("rom");
    case UpgradeStep::UpdaterStage:
        return QStringLiteral("updater");
    case UpgradeStep::BootLoaderWait:
        return QStringLiteral("boot-loader-wait");
    case UpgradeStep::CameraScript:
        return QStringLiteral("camera-script");
    case UpgradeStep::Done:
        return QStringLiteral("done");
    case UpgradeStep::None:
        break;
    }
    return QString();
}

QStringList trace(JournalReader& journal)
{
    return upgradeTrace(journal.fresh());
}

} // namespace

class TstMacUpgrade : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void sequencing_data();
    void sequencing();
    void faults_data();
    void faults();
    void stopEndsTheWait();

private:
    // A rig of the given cameras (JSON objects), journaled.
    void startRig(const QJsonArray& cameras);
    void writePackage(bool withLoaders, const QByteArray& cameraScript = QByteArray());
    // Runs one upgrade on this thread: of the first camera when withCamera, a repair otherwise.
    Run runUpgrade(bool withCamera, int model, const QString& title);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<VirtualRig> m_rig;
    std::unique_ptr<VirtualUsbBus> m_usb;
    std::unique_ptr<VirtualBulkUsbBus> m_bulk;
    JournalReader m_journal;
    MacUpgradeTiming m_timing;
};

void TstMacUpgrade::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_timing = MacUpgradeTiming();
    m_timing.mainBoardEntryWaitMs = 50;
    m_timing.cameraEntryWaitMs = 50;
    m_timing.cameraReturnWaitMs = 20;
    m_timing.ubootReturnWaitMs = 20;
    m_timing.audio.intervalMs = 10;
    g_bOpenCamera = true;
}

void TstMacUpgrade::cleanup()
{
    g_bOpenCamera = false;
    m_bulk.reset();
    m_usb.reset();
    m_rig.reset();
}

void TstMacUpgrade::startRig(const QJsonArray& cameras)
{
    QVector<VirtualCamera> parsed;
    QString error;
    QVERIFY2(VirtualRig::parseConfiguration(
                 QJsonDocument(QJsonObject{{QStringLiteral("cameras"), cameras}}).toJson(), &parsed, &error),
             qPrintable(error));
    const QString journal = m_dir->filePath(QStringLiteral("journal.jsonl"));
    m_rig = std::make_unique<VirtualRig>(parsed, QString(), journal);
    m_usb = std::make_unique<VirtualUsbBus>(*m_rig);
    m_bulk = std::make_unique<VirtualBulkUsbBus>(*m_rig);
    m_journal.setPath(journal);
}

void TstMacUpgrade::writePackage(bool withLoaders, const QByteArray& cameraScript)
{
    const QString folder = m_dir->filePath(QStringLiteral("package"));
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/images")));
    const auto write = [&folder](const QString& name, const QByteArray& data) {
        QFile file(folder + QLatin1Char('/') + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(data);
    };
    write(QStringLiteral("auto_update.txt"),
          cameraScript.isEmpty() ? QByteArray("setenv camera 1\ntftp 0x21000000 kernel\nreset\n")
                                 : cameraScript);
    write(QStringLiteral("kernel"), QByteArray(3000, 'k'));
    write(QStringLiteral("xmos.dfu"), QByteArray(100, 'x'));
    // The main board's script reaches the package's kernel from "images".
    write(QStringLiteral("images/auto_update.txt"), "setenv board 1\ntftp 0x21000000 ../kernel\nreset\n");
    if (withLoaders) {
        write(QStringLiteral("usb_updater.bin"), QByteArray(1500, 'p'));
        write(QStringLiteral("u-boot.bin"), QByteArray(2000, 'u'));
    }
}

Run TstMacUpgrade::runUpgrade(bool withCamera, int model, const QString& title)
{
    std::unique_ptr<UVCCameraDevices> camera;
    int vendorId = 0;
    int productId = 0;
    if (withCamera) {
        const VirtualCamera first = m_rig->cameras().first();
        vendorId = first.vendorId();
        productId = first.productId();
        camera = std::make_unique<UVCCameraDevices>(*m_usb);
        if (!camera->initWithVendorID(vendorId, productId))
            qWarning("the camera cannot be opened");
    }
    MacUpgradeWorker worker(std::move(camera), model, title, *m_bulk);
    worker.setPackageFolder(m_dir->filePath(QStringLiteral("package")));
    worker.setTiming(m_timing);
    worker.setCameraPlace(vendorId, productId, QString());
    Run run;
    connect(&worker, &MacUpgradeWorker::onUpgradeReport, this,
            [&run](bool success, int, const QString& message) {
                QVERIFY(!run.reported);
                run.reported = true;
                run.success = success;
                run.message = message;
            });
    connect(worker.progressNotifier(), &UpgradeProgressNotifier::progressChanged, this,
            [&run](const UpgradeProgress& progress) {
                const QString name = stepName(progress.step);
                if (run.steps.isEmpty() || run.steps.last() != name)
                    run.steps << name;
                run.percentages << progress.percent;
            });
    worker.doWork();
    return run;
}

void TstMacUpgrade::sequencing_data()
{
    QTest::addColumn<QJsonObject>("camera");
    QTest::addColumn<bool>("withCamera");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("trace");

    const QStringList cameraScript = {"cmd:setenv camera 1", "load:uboot", "cmd:setenv ota_upgrade_status 0",
                                      "cmd:saveenv", "cmd:reset"};
    const QJsonObject qb18{{"model", 7}};
    QTest::newRow("QB18: audio module first")
        << qb18 << true << "PX QB18"
        << QStringList{"audio-transfer", "audio-install", "camera-loader", "camera-script", "done"}
        << QStringList{"audio-image", "entry:camera"} + cameraScript;
    QTest::newRow("QB17: audio module first")
        << QJsonObject{{"model", 4}} << true << "PX QB17-000"
        << QStringList{"audio-transfer", "audio-install", "camera-loader", "camera-script", "done"}
        << QStringList{"audio-image", "entry:camera"} + cameraScript;
    QTest::newRow("QB18Z: main board first")
        << QJsonObject{{"model", 6}} << true << "PX QB18Z"
        << QStringList{"main-board-loader", "main-board-script", "camera-loader", "camera-script", "done"}
        << QStringList{"entry:main-soc", "cmd:setenv board 1",
                       "load:uboot",     "cmd:setenv ota_upgrade_status 0",
                       "cmd:saveenv",    "cmd:reset",
                       "entry:camera"} +
               cameraScript;
    QTest::newRow("other model: camera at once") << QJsonObject{{"model", 0}} << true << "PX-K27-000"
                                                 << QStringList{"camera-loader", "camera-script", "done"}
                                                 << QStringList{"entry:camera"} + cameraScript;
    QTest::newRow("repair from the boot ROM")
        << QJsonObject{{"model", 7}, {"stage", "rom"}} << false << QString()
        << QStringList{"rom", "updater", "boot-loader-wait", "camera-script", "done"}
        << QStringList{"load:rom", "load:updater"} + cameraScript;
    QTest::newRow("repair from the updater")
        << QJsonObject{{"model", 7}, {"stage", "updater"}} << false << QString()
        << QStringList{"updater", "boot-loader-wait", "camera-script", "done"}
        << QStringList{"load:updater"} + cameraScript;
    QTest::newRow("repair in U-Boot") << QJsonObject{{"model", 7}, {"stage", "uboot"}} << false << QString()
                                      << QStringList{"camera-script", "done"} << cameraScript;
}

void TstMacUpgrade::sequencing()
{
    QFETCH(QJsonObject, camera);
    QFETCH(bool, withCamera);
    QFETCH(QString, title);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, trace);
    startRig(QJsonArray{camera});
    writePackage(!withCamera);
    m_journal.fresh();
    const Run run = runUpgrade(withCamera, camera.value("model").toInt(), title);
    QVERIFY2(run.success, qPrintable(run.message));
    QCOMPARE(run.message, QStringLiteral("Upgrade done."));
    QCOMPARE(run.steps, steps);
    QVERIFY(std::is_sorted(run.percentages.begin(), run.percentages.end()));
    QCOMPARE(run.percentages.last(), 100);
    QCOMPARE(::trace(m_journal), trace);
    // The camera is a camera again.
    QVERIFY(!m_rig->cameras().first().inBootStage());
}

void TstMacUpgrade::faults_data()
{
    QTest::addColumn<QJsonArray>("cameras");
    QTest::addColumn<bool>("withCamera");
    QTest::addColumn<QByteArray>("cameraScript");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("trace");

    QTest::newRow("audio module fails: the camera is left alone")
        << QJsonArray{QJsonObject{{"model", 7}, {"audioFaults", QJsonObject{{"failWith", 200}}}}} << true
        << QByteArray() << "XMOS Upgrade failed: the audio module reported no success"
        << QStringList{"audio-image"};
    QTest::newRow("loader not there after the fixed wait")
        << QJsonArray{QJsonObject{{"model", 0}, {"loaderFaults", QJsonObject{{"returnDelayMs", 5000}}}}}
        << true << QByteArray()
        << "The device is not able to upgrade, please try again. (no boot-stage device answered)"
        << QStringList{"entry:camera"};
    QTest::newRow("a second boot-stage device")
        << QJsonArray{QJsonObject{{"model", 0}},
                      QJsonObject{{"model", 7}, {"stage", "uboot"}, {"productId", 0x1002}, {"port", "1-2"}}}
        << true << QByteArray()
        << "The device is not able to upgrade, please try again. (2 boot-stage devices answered; only one "
           "may "
           "be attached)"
        << QStringList{"entry:camera"};
    QTest::newRow("camera script fails")
        << QJsonArray{QJsonObject{{"model", 0}}} << true << QByteArray("tftp 0x21000000 missing.bin\nreset\n")
        << "Upgrade failed." << QStringList{"entry:camera"};
    QTest::newRow("a model whose boot stages this edition cannot reach is left alone")
        << QJsonArray{QJsonObject{{"model", 2}}} << true << QByteArray()
        << "The device is not able to upgrade, please try again. (this program cannot reach the boot stages "
           "of a "
           "Kestrelix ARDEN 320; the camera was not changed, deckctl-cli upgrades it)"
        << QStringList();
    QTest::newRow("repair: nothing attached")
        << QJsonArray{QJsonObject{{"model", 7}}} << false << QByteArray()
        << "No device detected, please make sure your device is connected "
           "correctly."
        << QStringList();
    QTest::newRow("repair: the boot ROM without an updater image")
        << QJsonArray{QJsonObject{{"model", 7}, {"stage", "rom"}}} << false << QByteArray("-")
        << "Upgrade failed. The package has no readable usb_updater.bin." << QStringList();
}

void TstMacUpgrade::faults()
{
    QFETCH(QJsonArray, cameras);
    QFETCH(bool, withCamera);
    QFETCH(QByteArray, cameraScript);
    QFETCH(QString, message);
    QFETCH(QStringList, trace);
    startRig(cameras);
    // "-": a package without its boot-stage loaders.
    writePackage(false, cameraScript == "-" ? QByteArray() : cameraScript);
    m_journal.fresh();
    const QJsonObject first = cameras.first().toObject();
    const Run run = runUpgrade(withCamera, first.value("model").toInt(),
                               VirtualCamera(first.value("model").toInt()).friendlyName());
    QVERIFY(run.reported);
    QVERIFY(!run.success);
    QCOMPARE(run.message, message);
    QCOMPARE(::trace(m_journal), trace);
}

// A stop during a fixed wait ends it at once, and the run reports without going on.
void TstMacUpgrade::stopEndsTheWait()
{
    startRig(QJsonArray{QJsonObject{{"model", 0}}});
    writePackage(false);
    m_journal.fresh();
    m_timing.cameraEntryWaitMs = 60000;
    auto camera = std::make_unique<UVCCameraDevices>(*m_usb);
    QVERIFY(
        camera->initWithVendorID(m_rig->cameras().first().vendorId(), m_rig->cameras().first().productId()));
    auto* worker = new MacUpgradeWorker(std::move(camera), 0, QStringLiteral("PX-K27-000"), *m_bulk);
    worker->setPackageFolder(m_dir->filePath(QStringLiteral("package")));
    worker->setTiming(m_timing);
    QString message;
    WorkerHost host;
    host.start(worker, [&](MacUpgradeWorker* w) {
        connect(w, &MacUpgradeWorker::onUpgradeReport, this,
                [&message](bool, int, const QString& text) { message = text; });
    });
    QStringList seen;
    QTRY_VERIFY_WITH_TIMEOUT((seen += ::trace(m_journal)).contains(QStringLiteral("entry:camera")), 10000);
    QElapsedTimer sinceStop;
    sinceStop.start();
    host.requestStop();
    QTRY_VERIFY_WITH_TIMEOUT(!host.thread() || host.thread()->isFinished(), 30000);
    host.stop();
    QTRY_VERIFY(!message.isEmpty()); // the report is queued to this thread
    QVERIFY2(sinceStop.elapsed() < 30000, "the wait was not cut short");
    QCOMPARE(message, QStringLiteral("The upgrade was stopped."));
    QVERIFY(!::trace(m_journal).contains(QStringLiteral("cmd:reset")));
}

QTEST_GUILESS_MAIN(TstMacUpgrade)
#include "tst_mac_upgrade.moc"
