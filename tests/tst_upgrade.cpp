// The audio-module transfer and whole upgrade runs against the virtual camera: the worker
// drives the same extension unit, discovery and protocol code as in the program.

#include "app/catalogue.h"
#include "app/globals.h"
#include "device/uvcextensionunit.h"
#include "sim/virtualplatform.h"
#include "sim/virtualrig.h"
#include "tests/support/journalreader.h"
#include "upgrade/libsstarufu.h"
#include "upgrade/package.h"
#include "upgrade/upgradeprogress.h"
#include "upgrade/upgradethread.h"
#include "upgrade/xmostransfer.h"

#include <QtTest>

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>

namespace {

QStringList g_messages;

void captureMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    g_messages << message;
}

struct Report
{
    bool success = false;
    int progress = -1;
    QString message;
};

// A progress report as the tests name it: the step, with its count for a script ("camera 2/3").
QString stepName(const UpgradeProgress& progress)
{
    static const QStringList names = {"none",
                                      "audio-transfer",
                                      "audio-install",
                                      "main-board-loader",
                                      "main-board",
                                      "camera-loader",
                                      "rom",
                                      "updater",
                                      "boot-loader-wait",
                                      "camera",
                                      "done"};
    QString name = names.value(static_cast<int>(progress.step), QStringLiteral("?"));
    if (progress.step == UpgradeStep::MainBoardScript || progress.step == UpgradeStep::CameraScript)
        name += QStringLiteral(" %1/%2").arg(progress.current).arg(progress.total);
    return name;
}

// The steps of a run as a person follows them: one entry per step (per line of a script).
QStringList stepNames(const QVector<UpgradeProgress>& reports)
{
    QStringList names;
    for (int i = 0; i < reports.size(); ++i) {
        if (i == 0 || !sameUpgradeStep(reports.at(i - 1), reports.at(i)))
            names << stepName(reports.at(i));
    }
    return names;
}

QJsonObject cameraJson(int model, const QJsonObject& extra = {})
{
    QJsonObject json = extra;
    json.insert(QStringLiteral("model"), model);
    return json;
}

} // namespace

class TstUpgrade : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void audioPackets_data();
    void audioPackets();
    void audioTransferRefusals();
    void audioStatusPoll_data();
    void audioStatusPoll();

    void normalCameraUpgrade();
    void mainBoardThenCamera_data();
    void mainBoardThenCamera();
    void failingScriptRunsFourTimes();
    void deviceFoundInBootStage_data();
    void deviceFoundInBootStage();
    void noDeviceAtAll();
    void doWorkWithoutStart();
    void audioFailureStopsTheRun();
    void twoAudioImagesSkipTheModule_data();
    void twoAudioImagesSkipTheModule();
    void bootLoaderThatNeverReturns();
    void stopEndsTheWaitAfterTheBootLoaderLoad();
    void unknownBootStageIsNoCamera();
    void faultMatrix_data();
    void faultMatrix();
    void newModelAsOneTableRow();
    void scriptLineProgress_data();
    void scriptLineProgress();

private:
    // The progress reports of the last runUpgrade() are the steps expected, the percentage never
    // goes back, and it ends at 100 exactly when the run succeeded.
    void verifyProgress(const QStringList& steps, bool success);
    void makeRig(const QVector<QJsonObject>& cameras);
    void writeFile(const QString& relative, const QByteArray& content);
    void writePackage(const QByteArray& cameraScript);
    QVector<QJsonObject> journal(const QString& event = QString());
    QVector<Report> runUpgrade(int model, bool connected, bool useStart = true);

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_package;
    VirtualPlatform* m_platform = nullptr;
    std::unique_ptr<UVCExtensionUnit> m_unit;
    QVector<UpgradeProgress> m_progress; // of the last runUpgrade()
};

void TstUpgrade::initTestCase()
{
    // The protocol logs every line it sends; keep the test output readable.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndeckctl.*.debug=false"));
}

void TstUpgrade::init()
{
    m_dir.reset(new QTemporaryDir);
    m_package = m_dir->filePath(QStringLiteral("package"));
    QDir().mkpath(m_package + QStringLiteral("/images"));
    setUpgradeWorkFolder(m_package);
    writePackage("tftp 0x21000000 kernel\nsaveenv\nreset\n");
    makeRig({cameraJson(7)});
}

void TstUpgrade::cleanup()
{
    USB_ExitDevice();
    m_unit.reset();
    installDevicePlatform(nullptr);
    m_platform = nullptr;
    g_bOpenCamera = false;
    setUpgradeWorkFolder(QString());
}

void TstUpgrade::makeRig(const QVector<QJsonObject>& cameras)
{
    USB_ExitDevice();
    m_unit.reset();
    QJsonArray entries;
    for (const QJsonObject& camera : cameras)
        entries.append(camera);
    QJsonObject root;
    root.insert(QStringLiteral("cameras"), entries);
    QVector<VirtualCamera> parsed;
    QString error;
    QVERIFY2(VirtualRig::parseConfiguration(QJsonDocument(root).toJson(), &parsed, &error),
             qPrintable(error));
    QFile::remove(m_dir->filePath(QStringLiteral("journal.jsonl")));
    auto platform = std::make_unique<VirtualPlatform>(
        std::make_unique<VirtualRig>(parsed, QString(), m_dir->filePath(QStringLiteral("journal.jsonl"))));
    m_platform = platform.get();
    installDevicePlatform(std::move(platform));
    m_unit = std::make_unique<UVCExtensionUnit>(&m_platform->video());
    const QVector<VideoDeviceInfo> devices = m_platform->video().listCaptureDevices();
    g_bOpenCamera = !devices.isEmpty() && m_unit->InitVideoDevice(QString(), devices.first().friendlyName);
}

void TstUpgrade::writeFile(const QString& relative, const QByteArray& content)
{
    QFile file(m_package + QLatin1Char('/') + relative);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

void TstUpgrade::writePackage(const QByteArray& cameraScript)
{
    writeFile(QStringLiteral("auto_update.txt"), cameraScript);
    writeFile(QStringLiteral("kernel"), QByteArray(3000, 'k'));
    writeFile(QStringLiteral("miservice.ubifs"), QByteArray("QB18 image"));
    writeFile(QStringLiteral("xmos.dfu"), QByteArray(100, 'x'));
    writeFile(QStringLiteral("u-boot.bin"), QByteArray(2000, 'u'));
    writeFile(QStringLiteral("usb_updater.bin"), QByteArray(1500, 'p'));
    writeFile(QStringLiteral("images/auto_update.txt"), "tftp 0x22000000 chip.img\nsaveenv\nreset\n");
    writeFile(QStringLiteral("images/chip.img"), QByteArray(1000, 'c'));
}

QVector<QJsonObject> TstUpgrade::journal(const QString& event)
{
    return JournalReader(m_dir->filePath(QStringLiteral("journal.jsonl"))).events(event);
}

QVector<Report> TstUpgrade::runUpgrade(int model, bool connected, bool useStart)
{
    UpgradeThread worker(0, model, connected, connected ? m_unit.get() : nullptr);
    worker.setPackageFolder(m_package);
    UpgradeTiming timing;
    timing.pollIntervalMs = 20;
    timing.settleAfterBootLoaderMs = 10;
    timing.bootLoaderReturnMs = 1500;
    timing.audio.intervalMs = 10;
    worker.setTiming(timing);
    QVector<Report> reports;
    connect(&worker, &UpgradeThread::onUpgradeReport, this,
            [&reports](bool success, int progress, const QString& message) {
                reports.append({success, progress, message});
            });
    m_progress.clear();
    connect(worker.progressNotifier(), &UpgradeProgressNotifier::progressChanged, this,
            [this](const UpgradeProgress& progress) { m_progress.append(progress); });
    QSignalSpy finished(&worker, &UpgradeThread::workFinished);
    if (useStart)
        worker.start();
    else
        worker.doWork();
    if (finished.count() != 1)
        reports.append({false, -2, QStringLiteral("workFinished emitted %1 times").arg(finished.count())});
    return reports;
}

void TstUpgrade::verifyProgress(const QStringList& steps, bool success)
{
    QCOMPARE(stepNames(m_progress), steps);
    int previous = 0;
    for (const UpgradeProgress& progress : qAsConst(m_progress)) {
        QVERIFY2(progress.percent >= previous && progress.percent <= 100,
                 qPrintable(QStringLiteral("%1 % after %2 %").arg(progress.percent).arg(previous)));
        QVERIFY(!upgradeStepText(progress).isEmpty());
        previous = progress.percent;
    }
    QCOMPARE(previous == 100, success);
    if (success)
        QCOMPARE(m_progress.last().step, UpgradeStep::Done);
}

void TstUpgrade::audioPackets_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("packets"); // "length@offset"
    QTest::newRow("50 bytes") << 50 << QStringList{"24@0", "24@24", "2@48", "0@0"};
    QTest::newRow("exactly 48 bytes") << 48 << QStringList{"24@0", "24@24", "0@0"};
    QTest::newRow("one byte") << 1 << QStringList{"1@0", "0@0"};
}

void TstUpgrade::audioPackets()
{
    QFETCH(int, size);
    QFETCH(QStringList, packets);
    QByteArray image;
    for (int i = 0; i < size; ++i)
        image.append(char(i + 1));
    writeFile(QStringLiteral("audio.dfu"), image);
    QVERIFY(transXmosToDev(*m_unit, m_package + QStringLiteral("/audio.dfu")));
    const QVector<QJsonObject> sent = journal(QStringLiteral("audio-packet"));
    QCOMPARE(sent.size(), packets.size());
    for (int i = 0; i < sent.size(); ++i) {
        const QByteArray bytes = QByteArray::fromHex(sent.at(i).value("data").toString().toLatin1());
        QCOMPARE(bytes.size(), 32);
        const int length = packets.at(i).section('@', 0, 0).toInt();
        const int offset = packets.at(i).section('@', 1, 1).toInt();
        QCOMPARE(int(quint8(bytes[0])), 0x31);
        QCOMPARE(int(quint8(bytes[1])), length);
        QCOMPARE(bytes.mid(2, 2), QByteArray(2, '\0'));
        QCOMPARE(int(quint8(bytes[4])) | int(quint8(bytes[5])) << 8, offset);
        QCOMPARE(bytes.mid(8, length), image.mid(offset, length));
        QCOMPARE(bytes.mid(8 + length), QByteArray(24 - length, '\0')); // the unused tail is zero
    }
    // The module collected exactly the image.
    const QVector<QJsonObject> collected = journal(QStringLiteral("audio-image"));
    QCOMPARE(collected.size(), 1);
    QCOMPARE(collected.first().value("size").toInt(), size);
}

void TstUpgrade::audioTransferRefusals()
{
    writeFile(QStringLiteral("audio.dfu"), QByteArray(60, 'a'));
    writeFile(QStringLiteral("empty.dfu"), QByteArray());
    QVERIFY(!transXmosToDev(*m_unit, m_package + QStringLiteral("/missing.dfu")));
    QVERIFY(!transXmosToDev(*m_unit, m_package + QStringLiteral("/empty.dfu")));
    QVERIFY(journal(QStringLiteral("audio-packet")).isEmpty());

    g_bOpenCamera = false; // the window closed the camera
    QVERIFY(!transXmosToDev(*m_unit, m_package + QStringLiteral("/audio.dfu")));
    QVERIFY(!queryXmosUpOver(*m_unit));
    QVERIFY(journal(QStringLiteral("audio-packet")).isEmpty());
    g_bOpenCamera = true;

    // The second packet is refused: no end packet follows.
    m_platform->rig().modify(
        [](QVector<VirtualCamera>& cameras) { cameras[0].audioModule().faults().refusePacket = 1; });
    QVERIFY(!transXmosToDev(*m_unit, m_package + QStringLiteral("/audio.dfu")));
    QCOMPARE(journal(QStringLiteral("audio-packet")).size(), 2);
    QVERIFY(journal(QStringLiteral("audio-image")).isEmpty());
}

void TstUpgrade::audioStatusPoll_data()
{
    QTest::addColumn<int>("failWith");
    QTest::addColumn<int>("runningReads");
    QTest::addColumn<int>("maxCount");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("reads");
    QTest::newRow("done after two running reads") << 0 << 2 << 150 << true << 3;
    QTest::newRow("129 is a failure") << 129 << 0 << 150 << false << 1;
    QTest::newRow("still running when the passes run out") << 0 << 1000 << 5 << false << 6;
}

void TstUpgrade::audioStatusPoll()
{
    QFETCH(int, failWith);
    QFETCH(int, runningReads);
    QFETCH(int, maxCount);
    QFETCH(bool, result);
    QFETCH(int, reads);
    m_platform->rig().modify([=](QVector<VirtualCamera>& cameras) {
        cameras[0].audioModule().faults().failWith = failWith;
        cameras[0].audioModule().faults().runningReads = runningReads;
    });
    writeFile(QStringLiteral("audio.dfu"), QByteArray(30, 'a'));
    QVERIFY(m_unit->setUpdateXmos());
    QVERIFY(transXmosToDev(*m_unit, m_package + QStringLiteral("/audio.dfu")));
    XmosPollTiming timing;
    timing.intervalMs = 1;
    timing.maxCount = maxCount;
    QCOMPARE(queryXmosUpOver(*m_unit, timing), result);
    QCOMPARE(journal(QStringLiteral("audio-status")).size(), reads);
    // Status 128 still means running: a read answering it keeps the poll going.
    const QVector<QJsonObject> statuses = journal(QStringLiteral("audio-status"));
    if (runningReads > 0)
        QCOMPARE(statuses.first().value("value").toInt(), 64);
}

void TstUpgrade::normalCameraUpgrade()
{
    // An audio image of 1,000 packets, and a camera that reports a new firmware version after
    // the upgrade.
    writeFile(QStringLiteral("xmos.dfu"), QByteArray(24000, 'x'));
    makeRig({cameraJson(7, QJsonObject{{"upgradedFirmware", "1.3.0"}})});
    QString version;
    QVERIFY(m_unit->getCameraVersion(version));
    QCOMPARE(version, QStringLiteral("1.2.10"));
    const QVector<Report> reports = runUpgrade(7, true);
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports.first().success, true);
    QCOMPARE(reports.first().progress, 100);
    QCOMPARE(reports.first().message, QStringLiteral("Upgrade done."));
    verifyProgress({"audio-transfer", "audio-install", "camera-loader", "camera 1/3", "camera 2/3",
                    "camera 3/3", "done"},
                   true);
    // The transfer is reported per whole percent of the image, not per packet, and its text counts.
    int transferReports = 0;
    for (const UpgradeProgress& progress : qAsConst(m_progress))
        transferReports += progress.step == UpgradeStep::AudioTransfer;
    QVERIFY2(transferReports >= 2 && transferReports <= 101, qPrintable(QString::number(transferReports)));
    QCOMPARE(upgradeStepText(m_progress.at(transferReports - 1)),
             QStringLiteral("Sending the audio module firmware: 100%"));
    // The audio module came first, then the camera's loader entry through selector 4.
    QCOMPARE(journal(QStringLiteral("audio-image")).size(), 1);
    QCOMPARE(journal(QStringLiteral("audio-image")).first().value("size").toInt(), 24000);
    QStringList commands;
    for (const QJsonObject& e : journal(QStringLiteral("runcmd")))
        commands << e.value("text").toString();
    QCOMPARE(commands, QStringList({"saveenv", "setenv ota_upgrade_status 0", "saveenv", "reset"}));
    const QVector<QJsonObject> loads = journal(QStringLiteral("load"));
    QCOMPARE(loads.size(), 1);
    QCOMPARE(loads.first().value("address").toVariant().toLongLong(), 0x21000000LL);
    QCOMPARE(loads.first().value("size").toInt(), 3000);
    // The camera is back in normal operation, with its new firmware and audio module.
    QCOMPARE(m_platform->video().listCaptureDevices().size(), 2);
    QVERIFY(m_unit->getCameraVersion(version));
    QCOMPARE(version, QStringLiteral("1.3.0"));
    QVERIFY(m_unit->getAudioVersion(version));
    QCOMPARE(version, QStringLiteral("1.0.0")); // 24000 % 1000
}

void TstUpgrade::mainBoardThenCamera_data()
{
    QTest::addColumn<QByteArray>("imagesScript");
    QTest::addColumn<int>("firstLoadSize");
    QTest::newRow("file in images") << QByteArray("tftp 0x22000000 chip.img\nsaveenv\nreset\n") << 1000;
    // Names resolve against the images folder but may reach the rest of the package.
    QTest::newRow("package file by ..") << QByteArray("tftp 0x22000000 ../kernel\nsaveenv\nreset\n") << 3000;
}

void TstUpgrade::mainBoardThenCamera()
{
    QFETCH(QByteArray, imagesScript);
    QFETCH(int, firstLoadSize);
    writeFile(QStringLiteral("images/auto_update.txt"), imagesScript);
    makeRig({cameraJson(6)});
    const QVector<Report> reports = runUpgrade(6, true);
    QCOMPARE(reports.size(), 1); // the main board's success reports nothing
    QCOMPARE(reports.first().message, QStringLiteral("Upgrade done."));
    verifyProgress({"main-board-loader", "main-board 1/3", "main-board 2/3", "main-board 3/3",
                    "camera-loader", "camera 1/3", "camera 2/3", "camera 3/3", "done"},
                   true);
    QVERIFY(journal(QStringLiteral("audio-image")).isEmpty()); // model 6 has no audio step
    const QVector<QJsonObject> loads = journal(QStringLiteral("load"));
    QCOMPARE(loads.size(), 2);
    QCOMPARE(loads.at(0).value("address").toVariant().toLongLong(), 0x22000000LL); // the main board's
    QCOMPARE(loads.at(0).value("size").toInt(), firstLoadSize);
    QCOMPARE(loads.at(1).value("address").toVariant().toLongLong(), 0x21000000LL); // kernel
}

void TstUpgrade::failingScriptRunsFourTimes()
{
    writePackage("tftp 0x21000000 kernel\nnot-a-command\nreset\n");
    makeRig({cameraJson(
        7, QJsonObject{{"loaderFaults", QJsonObject{{"badStatus", QJsonObject{{"match", "not-a-command"},
                                                                              {"count", -1}}}}}})});
    QLoggingCategory::setFilterRules(QString());
    g_messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    const QVector<Report> reports = runUpgrade(7, true);
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndeckctl.*.debug=false"));
    const QStringList retries = g_messages.filter(QStringLiteral("auto_update.txt [retry"));
    QCOMPARE(retries, QStringList({"auto_update.txt [retry 1]\n", "auto_update.txt [retry 2]\n",
                                   "auto_update.txt [retry 3]\n"}));
    QCOMPARE(g_messages.filter(QStringLiteral("not-a-command [retry")).size(), 4 * 5);
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports.first().success, false);
    QCOMPARE(reports.first().progress, 0);
    QCOMPARE(reports.first().message, QStringLiteral("Upgrade failed."));
    // Each run counts its lines from 1 again; the percentage stays where the first run got to.
    QStringList steps = {"audio-transfer", "audio-install", "camera-loader"};
    for (int run = 0; run < 4; ++run)
        steps << "camera 1/3"
              << "camera 2/3";
    verifyProgress(steps, false);
    // Four runs of the script, five attempts at the refused line in each.
    int refused = 0;
    for (const QJsonObject& e : journal(QStringLiteral("runcmd")))
        refused += e.value("text").toString() == QLatin1String("not-a-command");
    QCOMPARE(refused, 4 * 5);
    QCOMPARE(journal(QStringLiteral("load")).size(), 4);
}

void TstUpgrade::deviceFoundInBootStage_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<bool>("withUpdater");
    QTest::addColumn<QString>("message"); // empty: no report
    QTest::addColumn<QStringList>("steps");
    const QStringList script = {"camera 1/3", "camera 2/3", "camera 3/3", "done"};
    QTest::newRow("rom climbs to u-boot")
        << "rom" << true << "Upgrade done." << QStringList{"rom", "updater", "boot-loader-wait"} + script;
    QTest::newRow("updater") << "updater" << true << "Upgrade done."
                             << QStringList{"updater", "boot-loader-wait"} + script;
    QTest::newRow("u-boot") << "uboot" << true << "Upgrade done." << script;
    QTest::newRow("rom without usb_updater.bin") << "rom" << false << "" << QStringList{"rom"};
}

void TstUpgrade::deviceFoundInBootStage()
{
    QFETCH(QString, stage);
    QFETCH(bool, withUpdater);
    QFETCH(QString, message);
    QFETCH(QStringList, steps);
    if (!withUpdater)
        QFile::remove(m_package + QStringLiteral("/usb_updater.bin"));
    makeRig({cameraJson(7, QJsonObject{{"stage", stage}})});
    QVERIFY(!g_bOpenCamera); // a camera in a boot stage is no camera
    const QVector<Report> reports = runUpgrade(7, false);
    verifyProgress(steps, !message.isEmpty());
    if (message.isEmpty()) {
        QVERIFY(reports.isEmpty());
        QVERIFY(journal(QStringLiteral("runcmd")).isEmpty());
        return;
    }
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports.first().message, message);
    QVERIFY(journal(QStringLiteral("audio-image")).isEmpty());
    QCOMPARE(m_platform->video().listCaptureDevices().size(), 2); // back as a camera
}

void TstUpgrade::noDeviceAtAll()
{
    makeRig({});
    const QVector<Report> reports = runUpgrade(7, false);
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports.first().message,
             QStringLiteral("No device detected, please make sure your device is connected correctly."));
}

void TstUpgrade::doWorkWithoutStart()
{
    // Not running: the wait for the loader ends at once and no script runs.
    const QVector<Report> reports = runUpgrade(7, true, false);
    QVERIFY(reports.isEmpty());
    QVERIFY(journal(QStringLiteral("runcmd")).isEmpty());
}

void TstUpgrade::audioFailureStopsTheRun()
{
    makeRig({cameraJson(7, QJsonObject{{"audioFaults", QJsonObject{{"failWith", 200}}}})});
    const QVector<Report> reports = runUpgrade(7, true);
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports.first().message, QStringLiteral("XMOS Upgrade failed"));
    QVERIFY(journal(QStringLiteral("runcmd")).isEmpty()); // no camera upgrade after it
}

void TstUpgrade::twoAudioImagesSkipTheModule_data()
{
    QTest::addColumn<QString>("second");
    QTest::newRow("another name") << "second.DFU";
    QTest::newRow("hidden") << ".x.dfu";
}

void TstUpgrade::twoAudioImagesSkipTheModule()
{
    QFETCH(QString, second);
    writeFile(second, QByteArray(10, 'y'));
    const QVector<Report> reports = runUpgrade(7, true);
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports.first().message, QStringLiteral("Upgrade done."));
    QVERIFY(journal(QStringLiteral("audio-packet")).isEmpty());
}

void TstUpgrade::bootLoaderThatNeverReturns()
{
    makeRig({cameraJson(
        7, QJsonObject{{"stage", "updater"}, {"loaderFaults", QJsonObject{{"neverReturn", true}}}})});
    QElapsedTimer timer;
    timer.start();
    const QVector<Report> reports = runUpgrade(7, false);
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports.first().message, QStringLiteral("The device is not able to upgrade, please try again."));
    QVERIFY(journal(QStringLiteral("runcmd")).isEmpty());
}

void TstUpgrade::stopEndsTheWaitAfterTheBootLoaderLoad()
{
    // The updater takes the boot loader and restarts, and the device never comes back: the
    // worker waits for it, up to 30 s.
    makeRig({cameraJson(
        7, QJsonObject{{"stage", "updater"}, {"loaderFaults", QJsonObject{{"neverReturn", true}}}})});
    auto* worker = new UpgradeThread(0, 7, false, nullptr);
    worker->setPackageFolder(m_package);
    UpgradeTiming timing;
    timing.pollIntervalMs = 20;
    timing.settleAfterBootLoaderMs = 10;
    timing.bootLoaderReturnMs = 30000;
    worker->setTiming(timing);
    QThread thread;
    worker->moveToThread(&thread);
    std::atomic<bool> finished{false};
    std::atomic<int> reports{0};
    connect(&thread, &QThread::started, worker, &UpgradeThread::start);
    connect(
        worker, &UpgradeThread::workFinished, worker, [&finished] { finished = true; }, Qt::DirectConnection);
    connect(
        worker, &UpgradeThread::onUpgradeReport, worker, [&reports] { ++reports; }, Qt::DirectConnection);
    thread.start();

    QTRY_VERIFY_WITH_TIMEOUT(!journal(QStringLiteral("unplug")).isEmpty(), 10000);
    QTest::qWait(100); // well into the wait
    QVERIFY(!finished);
    QElapsedTimer sinceStop;
    sinceStop.start();
    worker->stop();
    QTRY_VERIFY_WITH_TIMEOUT(finished, 40000);
    const qint64 elapsed = sinceStop.elapsed();
    thread.quit();
    QVERIFY(thread.wait(10000));
    delete worker;
    QVERIFY2(elapsed < 3000, qPrintable(QStringLiteral("the run ended %1 ms after stop()").arg(elapsed)));
    QCOMPARE(reports.load(), 0); // stopped by request: no "not able to upgrade"
    QVERIFY(journal(QStringLiteral("runcmd")).isEmpty());
}

void TstUpgrade::unknownBootStageIsNoCamera()
{
    // A camera in normal operation is open, and a device of an accepted vendor whose product
    // identification tells no known stage is found: the run takes the mass-storage path, which
    // cannot climb an unknown stage, and the open camera is not touched.
    makeRig({cameraJson(7), cameraJson(7, QJsonObject{{"stage", "uboot"},
                                                      {"loader", QJsonObject{{"product", "USB DISK"}}}})});
    QVERIFY(g_bOpenCamera);
    const QVector<Report> reports = runUpgrade(7, true);
    QVERIFY(reports.isEmpty());
    QVERIFY(journal(QStringLiteral("audio-packet")).isEmpty());
    QVERIFY(journal(QStringLiteral("audio-announce")).isEmpty());
    QVERIFY(journal(QStringLiteral("reenumerate")).isEmpty()); // no loader entry either
    QVERIFY(journal(QStringLiteral("runcmd")).isEmpty());
}

void TstUpgrade::faultMatrix_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<QString>("faults");   // the loader faults, as JSON
    QTest::addColumn<QString>("expected"); // "done", "failed", "none" or "any" (one report at most)
    QTest::newRow("stall before a data chunk")
        << "uboot"
        << R"({"stall": {"command": "DATA", "phase": "cbw", "count": 1}})"
        << "any";
    QTest::newRow("stall in a data phase") << "uboot"
                                           << R"({"stall": {"command": "DATA", "phase": "data", "count": 1}})"
                                           << "any";
    QTest::newRow("stall on a command line")
        << "uboot"
        << R"({"stall": {"command": "RUNCMD", "phase": "cbw", "count": 2}})"
        << "any";
    QTest::newRow("wrong status tag") << "uboot"
                                      << R"({"wrongTag": {"command": "STATUS", "count": 1}})"
                                      << "any";
    QTest::newRow("load refused five times") << "uboot"
                                             << R"({"badStatus": {"match": "load", "count": 5}})"
                                             << "done";
    QTest::newRow("nothing confirmed") << "uboot"
                                       << R"({"badStatus": {"match": "any", "count": -1}})"
                                       << "failed";
    QTest::newRow("no status after saveenv") << "uboot"
                                             << R"({"noStatus": {"match": "saveenv", "count": -1}})"
                                             << "done";
    QTest::newRow("unplugged during the load") << "uboot"
                                               << R"({"unplug": {"command": "DATA_END", "skip": 0}})"
                                               << "any";
    QTest::newRow("unplugged at the first command") << "uboot"
                                                    << R"({"unplug": {"command": "RUNCMD", "skip": 0}})"
                                                    << "any";
    QTest::newRow("updater stalls the boot loader")
        << "updater"
        << R"({"stall": {"command": "LOADINFO", "phase": "cbw", "count": 1}})"
        << "any";
    QTest::newRow("boot ROM unplugged") << "rom"
                                        << R"({"unplug": {"command": "DATA", "skip": 1}})"
                                        << "any";
}

void TstUpgrade::faultMatrix()
{
    QFETCH(QString, stage);
    QFETCH(QString, faults);
    QFETCH(QString, expected);
    const QJsonObject loaderFaults = QJsonDocument::fromJson(faults.toUtf8()).object();
    QVERIFY(!loaderFaults.isEmpty());
    makeRig({cameraJson(7, QJsonObject{{"stage", stage}, {"loaderFaults", loaderFaults}})});

    // One run under the fault: at most one report, and it ends (runUpgrade returns).
    const QVector<Report> reports = runUpgrade(7, false);
    QVERIFY2(reports.size() <= 1, qPrintable(QString::number(reports.size())));
    for (const Report& report : reports)
        QVERIFY2(report.progress != -2, qPrintable(report.message));
    if (expected == QLatin1String("done")) {
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports.first().message, QStringLiteral("Upgrade done."));
    } else if (expected == QLatin1String("failed")) {
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports.first().message, QStringLiteral("Upgrade failed."));
    }

    // The camera can then be repaired: plugged in again without the fault, still in a boot stage
    // or back as a camera.
    USB_ExitDevice();
    m_platform->rig().modify([](QVector<VirtualCamera>& cameras) {
        QJsonObject json = cameras[0].toJson();
        json.insert(QStringLiteral("present"), true);
        json.insert(QStringLiteral("loaderFaults"), QJsonObject());
        cameras[0] = VirtualCamera::fromJson(json);
    });
    if (m_platform->video().listCaptureDevices().isEmpty()) {
        const QVector<Report> repair = runUpgrade(7, false);
        QCOMPARE(repair.size(), 1);
        QCOMPARE(repair.first().message, QStringLiteral("Upgrade done."));
    }
    QCOMPARE(m_platform->video().listCaptureDevices().size(), 2);
}

void TstUpgrade::scriptLineProgress_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("nested"); // scripts/a.es
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("lines"); // "n/m" as the runner reported them
    QTest::newRow("comments and empty lines are no steps")
        << QByteArray("# camera\n\ntftp 0x21000000 kernel\n  \nsaveenv\n% note\nreset\n") << QByteArray() << 0
        << 0 << QStringList{"1/3", "2/3", "3/3"};
    QTest::newRow("nested lines count, estar does not")
        << QByteArray("estar scripts/a.es\nsaveenv\nestar scripts/a.es\nreset\n")
        << QByteArray("tftp 0x21000000 kernel\nsetenv a 1\n") << 0 << 0
        << QStringList{"1/6", "2/6", "3/6", "4/6", "5/6", "6/6"};
    QTest::newRow("reset ends the count in mode 0")
        << QByteArray("saveenv\nreset\nsetenv a 1\n") << QByteArray() << 0 << 0 << QStringList{"1/2", "2/2"};
    QTest::newRow("reset is a command line in mode 1")
        << QByteArray("setenv a 1\nreset\n") << QByteArray() << 1 << 0 << QStringList{"1/2", "2/2"};
    // The count reads each script once: a script that nests itself adds nothing to it.
    QTest::newRow("script nesting itself")
        << QByteArray("setenv a 1\nestar auto_update.txt\n") << QByteArray() << 0 << -1
        << QStringList{"1/1", "2/2", "3/3", "4/4", "5/5", "6/6", "7/7", "8/8", "9/9"};
}

void TstUpgrade::scriptLineProgress()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, nested);
    QFETCH(int, mode);
    QFETCH(int, result);
    QFETCH(QStringList, lines);
    QDir(m_package).mkpath(QStringLiteral("scripts"));
    writeFile(QStringLiteral("auto_update.txt"), script);
    writeFile(QStringLiteral("scripts/a.es"), nested);
    makeRig({cameraJson(7, QJsonObject{{"stage", "uboot"}})});
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, UBoot);
    setUpgradeFileFolder(m_package);
    QStringList reported;
    QCOMPARE(runUpgradeScript(QStringLiteral("auto_update.txt"), mode,
                              [&reported](int line, int count) {
                                  reported << QStringLiteral("%1/%2").arg(line).arg(count);
                              }),
             result);
    QCOMPARE(reported, lines);
}

QTEST_GUILESS_MAIN(TstUpgrade)
void TstUpgrade::newModelAsOneTableRow()
{
    // A model the family does not have yet. Its row is all that makes a package for it known, its
    // boot stages accepted, its camera listed and its upgrade run with the main board first.
    const int index = 11;
    const CameraModel nova{
        index, 0x1D6B, 0x0121, QStringLiteral("NOVA 11"), QStringLiteral("NVCAM011"), 0x0122, "NOVA-11",
        -1,    "NV",   true};
    writeFile(QStringLiteral("miservice.ubifs"), QByteArray(4096, '\0') + "NOVA-11 rootfs");
    int model = kUnknownModel;
    if (!cameraModel(index)) {
        QVERIFY(!detectPackageModel(model)); // before the row: no model of the package is known
        QVERIFY(addModelForTesting(nova));
    }

    // Detected.
    QVERIFY(detectPackageModel(model));
    QCOMPARE(model, index);

    // Accepted: its boot stage's vendor identification ("NVCAM011") passes discovery for the
    // brand whose vendor id the model carries, and only for that one.
    makeRig({cameraJson(index, {{QStringLiteral("stage"), QStringLiteral("uboot")}})});
    DeviceState state = Other;
    QVERIFY(!USB_ScsiFindDevice(1, state));
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, UBoot);
    USB_ExitDevice();

    // Listed: the camera shows up with the model's USB ids and name, and its name identifies it.
    makeRig({cameraJson(index)});
    const QVector<VideoDeviceInfo> devices = m_platform->video().listCaptureDevices();
    QVERIFY(!devices.isEmpty());
    QVERIFY2(devices.first().devicePath.contains(QStringLiteral("vid_1d6b&pid_0121")),
             qPrintable(devices.first().devicePath));
    QCOMPARE(modelIndexFromFriendlyName(devices.first().friendlyName), index);
    QVERIFY(g_bOpenCamera);

    // Upgraded end to end: main board first (no audio module), then the camera board.
    const QVector<Report> reports = runUpgrade(index, true);
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports.first().success, true);
    QCOMPARE(reports.first().message, QStringLiteral("Upgrade done."));
    QVERIFY(journal(QStringLiteral("audio-image")).isEmpty());
    const QVector<QJsonObject> loads = journal(QStringLiteral("load"));
    QCOMPARE(loads.size(), 2);
    QCOMPARE(loads.at(0).value("address").toVariant().toLongLong(), 0x22000000LL); // the main board's
    QCOMPARE(loads.at(1).value("address").toVariant().toLongLong(), 0x21000000LL); // the camera's kernel
    QCOMPARE(m_platform->video().listCaptureDevices().size(), devices.size());     // back in normal operation
}

#include "tst_upgrade.moc"
