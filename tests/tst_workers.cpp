// The worker pattern and the two monitor workers, run on their own threads against virtual
// cameras: the meta-object order of every worker, start and stop through the window-side host
// (stop wakes a sleeping loop at once and no query follows), the self-deletion chain, doWork()
// without start(), the recovery watcher against cameras in each boot stage, and the query worker
// following the camera.

#include "app/workerhost.h"
#include "device/cameracontroltable.h"
#include "device/deviceplatform.h"
#include "device/hotplug.h"
#include "device/uvcextensionunit.h"
#include "device/videobackend.h"
#include "device/xuprotocol.h"
#include "sim/virtualhotplug.h"
#include "sim/virtualplatform.h"
#include "sim/virtualrig.h"
#include "tests/support/journalreader.h"
#include "tests/support/logcapture.h"
#include "upgrade/libsstarufu.h"
#include "upgrade/upgradethread.h"
#include "workers/abnormaldetectthread.h"
#include "workers/updateinfothread.h"
#include "workers/videostreamthread.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QTemporaryDir>

#include <linux/videodev2.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(const QMetaObject*)

namespace {

// A long wait: a loop that sleeps through it instead of waking on stop() hangs the test.
constexpr auto kForever = std::chrono::hours(1);

// A thread-safe list of events, in the order they happened.
class EventList
{
public:
    void add(const QString& event)
    {
        QMutexLocker locker(&m_lock);
        m_events.append(event);
    }
    QStringList events() const
    {
        QMutexLocker locker(&m_lock);
        return m_events;
    }

private:
    mutable QMutex m_lock; // guards m_events
    QStringList m_events;
};

// The real discovery, counted and timed.
struct DiscoveryProbe
{
    std::atomic<int> calls{0};
    std::atomic<qint64> lastEndMs{0};
    std::atomic<qint64> gapAfterFirstFindMs{
        -1}; // from the end of the first successful probe to the next start
    std::atomic<qint64> firstFindEndMs{-1};
    QElapsedTimer clock;

    AbnormalDetectThread::Discovery discovery()
    {
        clock.start();
        return [this](int brand, DeviceState& state) {
            const qint64 startMs = clock.elapsed();
            if (firstFindEndMs.load() >= 0 && gapAfterFirstFindMs.load() < 0)
                gapAfterFirstFindMs = startMs - firstFindEndMs.load();
            const bool found = USB_ScsiFindDevice(brand, state);
            ++calls;
            if (found && state != Other && firstFindEndMs.load() < 0)
                firstFindEndMs = clock.elapsed();
            return found;
        };
    }
};

} // namespace

class TstWorkers : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void metaObjectOrder_data();
    void metaObjectOrder();
    void doWorkWithoutStart_data();
    void doWorkWithoutStart();

    void stopDuringSleepReturnsAtOnce_data();
    void stopDuringSleepReturnsAtOnce();
    void workFinishedDeletesWorkerThenThread();
    void hostDeletesWorkerWhoseLoopEndedWithoutFinishing();
    void pauseEndsAtDeadlineOrStop();
    void pauseUnlessStoppedIgnoresTheRunningFlag();

    void watcherReportsBootStages_data();
    void watcherReportsBootStages();
    void watcherWaitsAfterReport();
    void watcherProbesAgainAfterReportPause();

    void queryReportsEveryCycle();
    void queryFollowsCameraSideChanges();
    void queryReportNeverPredatesTheWindowsSetting();
    void queryWithCameraNotAnswering_data();
    void queryWithCameraNotAnswering();

    void hotplugFollowsTheVirtualState_data();
    void hotplugFollowsTheVirtualState();

private:
    // Reports reach the test's thread queued, as they reach the window.
    template <class W, class... Args> void recordReports(W* worker, void (W::*signal)(Args...))
    {
        QObject::connect(worker, signal, this,
                         [this](Args... values) { m_reports.append({QVariant(values)...}); });
    }
    void useCameras(const QByteArray& configuration);
    void changeCamera(const std::function<void(QJsonObject&)>& change);
    int journalRequests(); // extension-unit and control requests the cameras received so far
    QString cameraName() const;

    QList<QList<QVariant>> m_reports;
    std::unique_ptr<QTemporaryDir> m_dir;
    VirtualRig* m_rig = nullptr; // owned by the installed platform
    std::unique_ptr<LogCapture> m_log;
};

void TstWorkers::initTestCase()
{
    m_log = std::make_unique<LogCapture>(); // every message of every thread, for the checks of log lines
}

void TstWorkers::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    LogCapture::clear();
    CameraControlTable::instance().reset();
    m_reports.clear();
    useCameras(R"({"cameras": [{"model": 7}]})");
}

void TstWorkers::cleanup()
{
    // The discovery's process-wide device refers to the platform about to be replaced.
    USB_ExitDevice();
    installDevicePlatform(nullptr);
    m_rig = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

void TstWorkers::useCameras(const QByteArray& configuration)
{
    USB_ExitDevice();
    QVector<VirtualCamera> cameras;
    QString error;
    QVERIFY2(VirtualRig::parseConfiguration(configuration, &cameras, &error), qPrintable(error));
    auto rig =
        std::make_unique<VirtualRig>(cameras, QString(), m_dir->filePath(QStringLiteral("journal.jsonl")));
    m_rig = rig.get();
    installDevicePlatform(std::make_unique<VirtualPlatform>(std::move(rig)));
}

void TstWorkers::changeCamera(const std::function<void(QJsonObject&)>& change)
{
    m_rig->modify([&change](QVector<VirtualCamera>& cameras) {
        QJsonObject json = cameras[0].toJson();
        change(json);
        cameras[0] = VirtualCamera::fromJson(json);
    });
}

int TstWorkers::journalRequests()
{
    int requests = 0;
    for (const QJsonObject& object :
         JournalReader(m_dir->filePath(QStringLiteral("journal.jsonl"))).events()) {
        const QString event = object.value(QLatin1String("event")).toString();
        if (event.startsWith(QLatin1String("xu-")) || event.startsWith(QLatin1String("ctrl-")) ||
            event == QLatin1String("fault"))
            ++requests;
    }
    return requests;
}

QString TstWorkers::cameraName() const
{
    return m_rig->cameras().first().friendlyName();
}

// --- the worker pattern ---------------------------------------------------------------------

void TstWorkers::metaObjectOrder_data()
{
    QTest::addColumn<const QMetaObject*>("metaObject");
    QTest::addColumn<QString>("report");
    QTest::newRow("AbnormalDetectThread")
        << &AbnormalDetectThread::staticMetaObject << QStringLiteral("onDeviceAbnormal(int)");
    QTest::newRow("UpdateInfoThread")
        << &UpdateInfoThread::staticMetaObject << QStringLiteral("onQueryReport(int,int)");
    QTest::newRow("VideoStreamThread")
        << &VideoStreamThread::staticMetaObject << QStringLiteral("onReader(QPixmap)");
    QTest::newRow("UpgradeThread") << &UpgradeThread::staticMetaObject
                                   << QStringLiteral("onUpgradeReport(bool,int,QString)");
}

void TstWorkers::metaObjectOrder()
{
    QFETCH(const QMetaObject*, metaObject);
    QFETCH(QString, report);
    const QStringList expected = {
        QStringLiteral("workFinished()"), QStringLiteral("workStart()"), report,
        QStringLiteral("start()"),        QStringLiteral("doWork()"),    QStringLiteral("stop()")};
    const QVector<QMetaMethod::MethodType> kinds = {QMetaMethod::Signal, QMetaMethod::Signal,
                                                    QMetaMethod::Signal, QMetaMethod::Slot,
                                                    QMetaMethod::Slot,   QMetaMethod::Slot};
    // The worker's own methods, counted from the end of QObject's: nothing in between.
    QCOMPARE(metaObject->methodOffset(), QObject::staticMetaObject.methodCount());
    QCOMPARE(metaObject->methodCount() - metaObject->methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = metaObject->method(metaObject->methodOffset() + i);
        QCOMPARE(QString::fromLatin1(method.methodSignature()), expected.at(i));
        QCOMPARE(method.methodType(), kinds.at(i));
    }
}

void TstWorkers::doWorkWithoutStart_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("watcher") << QStringLiteral("watcher");
    QTest::newRow("query") << QStringLiteral("query");
    QTest::newRow("preview") << QStringLiteral("preview");
}

// doWork() does not set the running flag: called on a fresh worker, the loop ends at once.
void TstWorkers::doWorkWithoutStart()
{
    QFETCH(QString, kind);
    useCameras(R"({"cameras": [{"model": 7}, {"model": 7, "stage": "uboot"}]})");
    UVCExtensionUnit unit;
    QVERIFY(unit.InitVideoDevice(QString(), cameraName()));
    DiscoveryProbe probe;

    std::unique_ptr<Worker> worker;
    if (kind == QLatin1String("watcher")) {
        auto* watcher = new AbnormalDetectThread(0);
        watcher->setDiscovery(probe.discovery());
        worker.reset(watcher);
    } else if (kind == QLatin1String("query")) {
        worker = std::make_unique<UpdateInfoThread>(7, 0, &unit);
    } else {
        worker = std::make_unique<VideoStreamThread>(cameraName());
    }
    QSignalSpy started(worker.get(), SIGNAL(workStart()));
    QSignalSpy finished(worker.get(), SIGNAL(workFinished()));
    const QMetaMethod report = worker->metaObject()->method(worker->metaObject()->methodOffset() + 2);
    QSignalSpy reports(worker.get(), report);
    const int requestsBefore = journalRequests();

    QVERIFY(QMetaObject::invokeMethod(worker.get(), "doWork", Qt::DirectConnection));

    QCOMPARE(finished.count(), 1);
    QCOMPARE(started.count(), 0);
    QCOMPARE(reports.count(), 0);
    QCOMPARE(probe.calls.load(), 0);
    QCOMPARE(journalRequests(), requestsBefore);
    QVERIFY(!m_rig->cameras().first().streaming());
}

void TstWorkers::stopDuringSleepReturnsAtOnce_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("query worker in its 3-second sleep") << QStringLiteral("query");
    QTest::newRow("watcher in its pause after a report") << QStringLiteral("watcher-report");
    QTest::newRow("watcher in its probe interval") << QStringLiteral("watcher-probe");
}

// The workers sleep for an hour here: a stop() that did not wake the sleep would hang the test.
void TstWorkers::stopDuringSleepReturnsAtOnce()
{
    QFETCH(QString, kind);
    useCameras(kind == QLatin1String("watcher-report") ? R"({"cameras": [{"model": 7, "stage": "uboot"}]})"
                                                       : R"({"cameras": [{"model": 7}]})");
    UVCExtensionUnit unit;
    DiscoveryProbe probe;
    WorkerHost host;
    EventList events;
    if (kind == QLatin1String("query")) {
        QVERIFY(unit.InitVideoDevice(QString(), cameraName()));
        auto* worker = new UpdateInfoThread(7, 0, &unit);
        worker->setQueryInterval(kForever);
        host.start(worker, [&](UpdateInfoThread* w) {
            recordReports(w, &UpdateInfoThread::onQueryReport);
            QObject::connect(
                w, &UpdateInfoThread::workFinished, w, [&events] { events.add("finished"); },
                Qt::DirectConnection);
        });
    } else {
        auto* worker = new AbnormalDetectThread(0);
        worker->setDiscovery(probe.discovery());
        worker->setTiming({kind == QLatin1String("watcher-probe") ? kForever : 10ms, kForever});
        host.start(worker, [&](AbnormalDetectThread* w) {
            recordReports(w, &AbnormalDetectThread::onDeviceAbnormal);
            QObject::connect(
                w, &AbnormalDetectThread::workFinished, w, [&events] { events.add("finished"); },
                Qt::DirectConnection);
        });
    }
    QPointer<Worker> worker = host.worker();
    QPointer<QThread> thread = host.thread();
    QVERIFY(worker && thread);

    if (kind == QLatin1String("watcher-probe"))
        QTRY_COMPARE(probe.calls.load(), 1);
    else
        QTRY_COMPARE(m_reports.size(), 1);
    const int requests = journalRequests();
    const int probes = probe.calls.load();
    const int reportsSeen = m_reports.size();

    host.stop();
    QCoreApplication::processEvents(); // reports still queued, had there been any

    QVERIFY(!host.isActive());
    QCOMPARE(events.events(), QStringList{QStringLiteral("finished")});
    QVERIFY(worker.isNull());
    QVERIFY(thread.isNull());
    // The loop ended without another query.
    QCOMPARE(journalRequests(), requests);
    QCOMPARE(probe.calls.load(), probes);
    QCOMPARE(m_reports.size(), reportsSeen);
}

// The chain of the pattern without the window's wait: the worker's stop() alone ends the loop,
// workFinished() deletes the worker, its destruction quits the thread, and the thread's end
// deletes the thread.
void TstWorkers::workFinishedDeletesWorkerThenThread()
{
    UVCExtensionUnit unit;
    QVERIFY(unit.InitVideoDevice(QString(), cameraName()));
    WorkerHost host;
    EventList events;
    auto* worker = new UpdateInfoThread(7, 0, &unit);
    worker->setQueryInterval(kForever);
    QThread* thread = nullptr;
    host.start(worker, [&](UpdateInfoThread* w) {
        recordReports(w, &UpdateInfoThread::onQueryReport);
        QObject::connect(
            w, &UpdateInfoThread::workStart, w, [&events] { events.add("start"); }, Qt::DirectConnection);
        QObject::connect(
            w, &UpdateInfoThread::workFinished, w, [&events] { events.add("finished"); },
            Qt::DirectConnection);
        QObject::connect(w, &QObject::destroyed, [&events] { events.add("worker deleted"); });
    });
    thread = host.thread();
    QObject::connect(thread, &QThread::finished, [&events] { events.add("thread finished"); });
    QObject::connect(thread, &QObject::destroyed, [&events] { events.add("thread deleted"); });
    QPointer<QThread> threadGuard = thread;
    QTRY_COMPARE(m_reports.size(), 1);
    QCOMPARE(thread->priority(), QThread::InheritPriority);

    worker->stop();

    QTRY_VERIFY(threadGuard.isNull());
    QCOMPARE(
        events.events(),
        (QStringList{QStringLiteral("start"), QStringLiteral("finished"), QStringLiteral("worker deleted"),
                     QStringLiteral("thread finished"), QStringLiteral("thread deleted")}));
    QVERIFY(!host.isActive());
    host.stop(); // nothing left to do
}

// The preview after a failed open ends doWork() without workFinished(); the host's stop then
// deletes the idle worker as well as its thread.
void TstWorkers::hostDeletesWorkerWhoseLoopEndedWithoutFinishing()
{
    StreamSource source;
    source.url = m_dir->filePath(QStringLiteral("no such file.mjpeg"));
    source.inputFormat = QStringLiteral("mjpeg");
    WorkerHost host;
    EventList events;
    auto* worker = new VideoStreamThread(source);
    host.start(worker, [&](VideoStreamThread* w) {
        QObject::connect(
            w, &VideoStreamThread::workFinished, w, [&events] { events.add("finished"); },
            Qt::DirectConnection);
    });
    QPointer<Worker> guard = host.worker();
    QTRY_COMPARE(LogCapture::count(QStringLiteral("Couldn't open input stream.\n")), 1);
    QVERIFY(guard);

    host.stop();

    QVERIFY(guard.isNull());
    QVERIFY(events.events().isEmpty());
}

void TstWorkers::pauseEndsAtDeadlineOrStop()
{
    WorkerSwitch runSwitch;
    // Not running: no wait at all.
    QVERIFY(!runSwitch.pause(kForever));

    runSwitch.setRunning();
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(runSwitch.pause(30ms));
    QVERIFY(elapsed.elapsed() >= 30);

    std::atomic<bool> returned{false};
    std::unique_ptr<QThread> sleeper(QThread::create([&] {
        runSwitch.pause(kForever);
        returned = true;
    }));
    sleeper->start();
    QVERIFY(!runSwitch.stopRequested());
    runSwitch.stop();
    QVERIFY(sleeper->wait());
    QVERIFY(returned.load());
    QVERIFY(runSwitch.stopRequested());
    // A stop() is kept: a later start() does not set the flag again.
    runSwitch.setRunning();
    QVERIFY(!runSwitch.isRunning());
}

void TstWorkers::pauseUnlessStoppedIgnoresTheRunningFlag()
{
    // The upgrade's waits after a boot stage: they wait whether or not start() ran (doWork()
    // alone climbs the stages as well), and only stop() cuts them short.
    WorkerSwitch runSwitch;
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(runSwitch.pauseUnlessStopped(30ms));
    QVERIFY(elapsed.elapsed() >= 30);
    QVERIFY(runSwitch.pauseUnlessStopped(0ms));
    QVERIFY(runSwitch.pauseUnlessStopped(-1ms)); // no wait, not a wait without end

    std::atomic<bool> returned{false};
    std::unique_ptr<QThread> sleeper(
        QThread::create([&] { returned = !runSwitch.pauseUnlessStopped(kForever); }));
    sleeper->start();
    runSwitch.stop();
    QVERIFY(sleeper->wait());
    QVERIFY(returned.load());
    QVERIFY(!runSwitch.pauseUnlessStopped(kForever)); // after stop(): no wait at all
}

// --- the recovery watcher -------------------------------------------------------------------

void TstWorkers::watcherReportsBootStages_data()
{
    QTest::addColumn<QByteArray>("configuration");
    QTest::addColumn<int>("brand");
    QTest::addColumn<int>("expectedReport"); // -1: none
    QTest::addColumn<QString>("expectedLog");

    QTest::newRow("boot ROM") << QByteArray(R"({"cameras": [{"model": 7, "stage": "rom"}]})") << 0 << 0
                              << QStringLiteral("m_dev_state: 0");
    QTest::newRow("updater") << QByteArray(R"({"cameras": [{"model": 7, "stage": "updater"}]})") << 0 << 1
                             << QStringLiteral("m_dev_state: 1");
    QTest::newRow("boot loader") << QByteArray(R"({"cameras": [{"model": 7, "stage": "uboot"}]})") << 0 << 2
                                 << QStringLiteral("m_dev_state: 2");
    QTest::newRow("boot loader of the other brand")
        << QByteArray(R"({"cameras": [{"model": 1, "stage": "uboot"}]})") << 1 << 2
        << QStringLiteral("m_dev_state: 2");
    QTest::newRow("a camera of another brand")
        << QByteArray(R"({"cameras": [{"model": 1, "stage": "uboot"}]})") << 0 << -1 << QString();
    QTest::newRow("unknown stage is logged, not reported")
        << QByteArray(
               R"({"cameras": [{"model": 7, "stage": "uboot", "loader": {"product": "MASS STORAGE"}}]})")
        << 0 << -1 << QStringLiteral("m_dev_state: 3");
    QTest::newRow("only a working camera attached")
        << QByteArray(R"({"cameras": [{"model": 7}]})") << 0 << -1 << QString();
    QTest::newRow("nothing attached") << QByteArray(R"({"cameras": []})") << 0 << -1 << QString();
}

void TstWorkers::watcherReportsBootStages()
{
    QFETCH(QByteArray, configuration);
    QFETCH(int, brand);
    QFETCH(int, expectedReport);
    QFETCH(QString, expectedLog);
    useCameras(configuration);

    DiscoveryProbe probe;
    WorkerHost host;
    auto* worker = new AbnormalDetectThread(brand);
    worker->setDiscovery(probe.discovery());
    worker->setTiming({5ms, kForever});
    host.start(worker,
               [&](AbnormalDetectThread* w) { recordReports(w, &AbnormalDetectThread::onDeviceAbnormal); });

    if (expectedReport >= 0) {
        QTRY_COMPARE(m_reports.size(), 1);
        QCOMPARE(m_reports.at(0).at(0).toInt(), expectedReport);
    } else {
        // Several probes, and none of them reported anything.
        QTRY_VERIFY(probe.calls.load() >= 5);
        host.stop();
        QCoreApplication::processEvents();
        QCOMPARE(m_reports.size(), 0);
    }
    QCOMPARE(LogCapture::count(QStringLiteral("m_manufacturer: %1").arg(brand)), 1);
    if (!expectedLog.isEmpty())
        QVERIFY(LogCapture::count(expectedLog) >= 1);
    else
        QCOMPARE(LogCapture::count(QStringLiteral("m_dev_state: 3")), 0);
}

// After a report the watcher does not look again for the report pause: no second report and no
// probe while the camera stays in its boot loader, however many probe intervals go by.
void TstWorkers::watcherWaitsAfterReport()
{
    useCameras(R"({"cameras": [{"model": 7, "stage": "uboot"}]})");
    DiscoveryProbe probe;
    WorkerHost host;
    auto* worker = new AbnormalDetectThread(0);
    worker->setDiscovery(probe.discovery());
    worker->setTiming({2ms, kForever});
    host.start(worker,
               [&](AbnormalDetectThread* w) { recordReports(w, &AbnormalDetectThread::onDeviceAbnormal); });
    QTRY_COMPARE(m_reports.size(), 1);
    const int probes = probe.calls.load();
    QTest::qWait(200); // a hundred probe intervals
    host.stop();
    QCoreApplication::processEvents();
    QCOMPARE(m_reports.size(), 1);
    QCOMPARE(probe.calls.load(), probes);
}

// With the waits shortened, the next probe after a report comes after the report pause plus one
// probe interval, and the camera still stuck is reported again.
void TstWorkers::watcherProbesAgainAfterReportPause()
{
    useCameras(R"({"cameras": [{"model": 7, "stage": "rom"}]})");
    DiscoveryProbe probe;
    WorkerHost host;
    auto* worker = new AbnormalDetectThread(0);
    worker->setDiscovery(probe.discovery());
    const AbnormalDetectThread::Timing timing{20ms, 150ms};
    worker->setTiming(timing);
    host.start(worker,
               [&](AbnormalDetectThread* w) { recordReports(w, &AbnormalDetectThread::onDeviceAbnormal); });
    QTRY_VERIFY(m_reports.size() >= 2);
    host.stop();
    QCOMPARE(m_reports.at(0).at(0).toInt(), 0);
    QCOMPARE(m_reports.at(1).at(0).toInt(), 0);
    QVERIFY(probe.gapAfterFirstFindMs.load() >= (timing.reportPause + timing.probeInterval).count());
}

// --- the query worker -----------------------------------------------------------------------

void TstWorkers::queryReportsEveryCycle()
{
    UVCExtensionUnit unit;
    QVERIFY(unit.InitVideoDevice(QString(), cameraName()));
    WorkerHost host;
    auto* worker = new UpdateInfoThread(7, 0, &unit);
    worker->setQueryInterval(10ms);
    host.start(worker, [&](UpdateInfoThread* w) { recordReports(w, &UpdateInfoThread::onQueryReport); });
    QTRY_VERIFY(m_reports.size() >= 3);
    host.stop();
    for (const QList<QVariant>& report : qAsConst(m_reports))
        QCOMPARE(report, (QList<QVariant>{1, 1})); // auto framing, 50 Hz: the camera's factory settings
    QVERIFY(LogCapture::count(QStringLiteral("trackingModeState 1 1")) >= 3);
    // The control table was read from the camera.
    QCOMPARE(CameraControlTable::instance().get(CameraControl::Sharpness).maximum, 255);
    QCOMPARE(CameraControlTable::instance().get(CameraControl::Pan).maximum, 30);
}

void TstWorkers::queryFollowsCameraSideChanges()
{
    UVCExtensionUnit unit;
    QVERIFY(unit.InitVideoDevice(QString(), cameraName()));
    WorkerHost host;
    auto* worker = new UpdateInfoThread(7, 0, &unit);
    worker->setQueryInterval(10ms);
    host.start(worker, [&](UpdateInfoThread* w) { recordReports(w, &UpdateInfoThread::onQueryReport); });
    QTRY_VERIFY(m_reports.size() >= 1);
    QCOMPARE(m_reports.last(), (QList<QVariant>{1, 1}));

    // The camera's own buttons: presenter tracking, 60 Hz, zoomed in.
    changeCamera([](QJsonObject& camera) {
        QJsonObject settings = camera.value(QLatin1String("settings")).toObject();
        settings.insert(QString::number(xu::XU_TRACKING_MODE), 3);
        settings.insert(QString::number(xu::XU_ANTI_FLICKER), 2);
        camera.insert(QStringLiteral("settings"), settings);
        QJsonObject controls = camera.value(QLatin1String("controls")).toObject();
        controls.insert(QString::number(V4L2_CID_ZOOM_ABSOLUTE), 400);
        camera.insert(QStringLiteral("controls"), controls);
    });
    const int seen = m_reports.size();
    QTRY_VERIFY(m_reports.size() > seen + 1);
    QTRY_COMPARE(m_reports.last(), (QList<QVariant>{3, 2}));
    host.stop();
    QCOMPARE(CameraControlTable::instance().get(CameraControl::Zoom).current, 400);
}

// A report whose answers were read before the window wrote the setting would make the window put
// the old value back. Reports emitted after a write returned carry the written value.
void TstWorkers::queryReportNeverPredatesTheWindowsSetting()
{
    UVCExtensionUnit unit;
    QVERIFY(unit.InitVideoDevice(QString(), cameraName()));
    QMutex reportsLock; // guards modes
    QVector<int> modes;
    WorkerHost host;
    auto* worker = new UpdateInfoThread(7, 0, &unit);
    worker->setQueryInterval(0ms); // ask continuously, so the writes land anywhere in a cycle
    host.start(worker, [&](UpdateInfoThread* w) {
        connect(
            w, &UpdateInfoThread::onQueryReport, w,
            [&](int mode, int) {
                QMutexLocker locker(&reportsLock);
                modes.append(mode);
            },
            Qt::DirectConnection);
    });
    auto reportCount = [&] {
        QMutexLocker locker(&reportsLock);
        return modes.size();
    };
    QTRY_VERIFY(reportCount() >= 1);
    for (int write = 1; write <= 30; ++write) {
        const int mode = write % 2 == 1 ? 0 : 1;
        QVERIFY(unit.setTrackingMode(mode));
        const int reportsBefore = reportCount();
        QTRY_VERIFY(reportCount() > reportsBefore + 1);
        QMutexLocker locker(&reportsLock);
        for (int i = reportsBefore; i < modes.size(); ++i)
            QVERIFY2(modes.at(i) == mode, qPrintable(QStringLiteral("write %1: report %2 says %3, written %4")
                                                         .arg(write)
                                                         .arg(i)
                                                         .arg(modes.at(i))
                                                         .arg(mode)));
    }
    host.stop();
}

void TstWorkers::queryWithCameraNotAnswering_data()
{
    QTest::addColumn<bool>("answeredBefore");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QList<QVariant>>("expected");
    const QList<QVariant> unknown = {UpdateInfoThread::kUnknown, UpdateInfoThread::kUnknown};
    const QList<QVariant> lastRead = {1, 1};
    QTest::newRow("never answered: unknown values") << false << QStringLiteral("silent") << unknown;
    QTest::newRow("failing from the start: unknown values") << false << QStringLiteral("fail") << unknown;
    QTest::newRow("stopped answering: last values") << true << QStringLiteral("silent") << lastRead;
    QTest::newRow("unplugged: last values") << true << QStringLiteral("vanish") << lastRead;
}

void TstWorkers::queryWithCameraNotAnswering()
{
    QFETCH(bool, answeredBefore);
    QFETCH(QString, fault);
    QFETCH(QList<QVariant>, expected);
    UVCExtensionUnit unit;
    QVERIFY(unit.InitVideoDevice(QString(), cameraName()));
    auto breakCamera = [&] {
        changeCamera([&fault](QJsonObject& camera) {
            QJsonObject faults = camera.value(QLatin1String("faults")).toObject();
            if (fault == QLatin1String("vanish"))
                faults.insert(QStringLiteral("vanish"), true);
            else
                faults.insert(fault, 1000000);
            camera.insert(QStringLiteral("faults"), faults);
        });
    };
    if (!answeredBefore)
        breakCamera();

    WorkerHost host;
    auto* worker = new UpdateInfoThread(7, 0, &unit);
    worker->setQueryInterval(10ms);
    host.start(worker, [&](UpdateInfoThread* w) { recordReports(w, &UpdateInfoThread::onQueryReport); });
    if (answeredBefore) {
        QTRY_VERIFY(m_reports.size() >= 1);
        QCOMPARE(m_reports.last(), (QList<QVariant>{1, 1}));
        breakCamera();
    }
    // Reports go on, cycle after cycle, carrying what the camera last said.
    const int seen = m_reports.size();
    QTRY_VERIFY(m_reports.size() >= seen + 3);
    host.stop();
    QCOMPARE(m_reports.last(), expected);
}

// --- hot-plug of the virtual cameras ---------------------------------------------------------

void TstWorkers::hotplugFollowsTheVirtualState_data()
{
    QTest::addColumn<bool>("stateFile"); // the platform's rig keeps its state in a file
    QTest::addColumn<bool>("otherRig");  // the changes come through another rig on that file
    QTest::newRow("another process's rig on the state file") << true << true;
    QTest::newRow("this process's rig on the state file") << true << false;
    QTest::newRow("this process's rig without a state file") << false << false;
}

void TstWorkers::hotplugFollowsTheVirtualState()
{
    QFETCH(bool, stateFile);
    QFETCH(bool, otherRig);
    const QString statePath = stateFile ? m_dir->filePath(QStringLiteral("state.json")) : QString();
    const QString journalPath = m_dir->filePath(QStringLiteral("hotplug-journal.jsonl"));
    auto camera = [](int model, const char* port) {
        return VirtualCamera::fromJson(
            QJsonObject{{QStringLiteral("model"), model}, {QStringLiteral("port"), QLatin1String(port)}});
    };
    VirtualPlatform platform(std::make_unique<VirtualRig>(
        QVector<VirtualCamera>{camera(7, "1-1"), camera(6, "1-2")}, statePath, journalPath));
    std::unique_ptr<VirtualRig> other;
    if (otherRig)
        other = std::make_unique<VirtualRig>(QVector<VirtualCamera>(), statePath); // reads the file
    VirtualRig& changer = otherRig ? *other : platform.rig();

    std::unique_ptr<HotplugMonitor> monitor = platform.createHotplugMonitor();
    QSignalSpy spy(monitor.get(), &HotplugMonitor::devicePlugged);
    QVERIFY(monitor->start());
    auto names = [&platform] {
        QStringList listed;
        for (const VideoDeviceInfo& device : platform.video().listCaptureDevices())
            listed << device.devicePath;
        return listed;
    };
    auto received = [&spy] {
        QStringList events;
        for (const QList<QVariant>& arguments : qAsConst(spy))
            events << (arguments.at(0).toBool() ? QStringLiteral("+") : QStringLiteral("-")) +
                          arguments.at(1).toString();
        spy.clear();
        return events;
    };
    auto plus = [](const QStringList& list, const QString& sign) {
        QStringList out;
        for (const QString& name : list)
            out << sign + name;
        return out;
    };
    // Nothing changes: nothing is reported.
    QVERIFY(!spy.wait(3 * VirtualHotplugMonitor::kPollIntervalMs));
    const QStringList atStart = names();
    QCOMPARE(atStart.size(), 4); // two cameras, each with its microphone node

    // A camera plugged in: its capture nodes arrive by the names the listing gives them.
    QString error;
    QCOMPARE(changer.plug({{QStringLiteral("model"), 2}}, &error), 2);
    QVERIFY(spy.wait(3000));
    QTest::qWait(VirtualHotplugMonitor::kPollIntervalMs / 2); // a second node comes in the same poll
    const QStringList withNew = names();
    QCOMPARE(withNew.mid(0, 4), atStart);
    QCOMPARE(received(), plus(withNew.mid(4), QStringLiteral("+")));
    QVERIFY(
        withNew.at(4).endsWith(QLatin1String("&1-3&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global")));

    // The first camera unplugged: its nodes go, under the names they had.
    QVERIFY2(changer.unplug(0, &error), qPrintable(error));
    QVERIFY(spy.wait(3000));
    QTest::qWait(VirtualHotplugMonitor::kPollIntervalMs / 2);
    QCOMPARE(received(), plus(atStart.mid(0, 2), QStringLiteral("-")));

    // One camera goes and another comes in one change: removals first.
    changer.modify([&camera](QVector<VirtualCamera>& cameras) {
        cameras[1].unplug();
        cameras.append(camera(9, "2-1"));
    });
    QVERIFY(spy.wait(3000));
    QTest::qWait(VirtualHotplugMonitor::kPollIntervalMs / 2);
    const QStringList last = names();
    QCOMPARE(received(),
             plus(atStart.mid(2, 2), QStringLiteral("-")) + plus(last.mid(2), QStringLiteral("+")));
    QCOMPARE(last.mid(0, 2), withNew.mid(4));

    // Polling wrote nothing to the journal: only the changes are there.
    QStringList journalled;
    for (const QJsonObject& event : JournalReader(journalPath).events())
        journalled << event.value(QLatin1String("event")).toString();
    QCOMPARE(journalled, (otherRig ? QStringList() : QStringList{"plug", "unplug"}));
    QVERIFY(!spy.wait(3 * VirtualHotplugMonitor::kPollIntervalMs));
}

QTEST_MAIN(TstWorkers)
#include "tst_workers.moc"
