// The raw-USB edition's camera control against the virtual camera's in-process face: the setup
// packets and payloads of every operation, byte for byte, the fallbacks of failed queries and the
// tag range.

#include "device/deviceplatform.h"
#include "device/hotplug.h"
#include "device/massstorage.h"
#include "device/portableplatform.h"
#include "device/previewbackend.h"
#include "device/soundserver.h"
#include "device/speakervolume.h"
#include "device/usbcontrolpipe.h"
#include "device/videobackend.h"
#include "device/xuprotocol.h"
#include "mac/rawusbvideo.h"
#include "mac/uvccameradevices.h"
#include "sim/virtualcamera.h"
#include "sim/virtualhotplug.h"
#include "sim/virtualplatform.h"
#include "sim/virtualrig.h"
#include "sim/virtualusb.h"
#include "tests/support/journalreader.h"
#include "tests/support/logcapture.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <climits>
#include <functional>
#include <memory>

using Operation = std::function<void(UVCCameraDevices&)>;
Q_DECLARE_METATYPE(Operation)

namespace {

// The tag source: a number whose remainder by 90 is 5.
constexpr int kRandom = 905;

} // namespace

class TstMacUvc : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void setupPackets_data();
    void setupPackets();
    void answers();
    void mainSocEntry();
    void fallbacks_data();
    void fallbacks();
    void tagRange();
    void openingByUniqueId();
    void withoutInterfaceNothingIsSent();
    void overPortablePlatform();

private:
    // The control transfers since the last call, each as
    // "<bmRequestType> <bRequest> <wValue> <wIndex> [<data>]" in hexadecimal.
    QStringList transfers();

    QScopedPointer<QTemporaryDir> m_dir;
    std::unique_ptr<VirtualRig> m_rig;
    std::unique_ptr<VirtualUsbBus> m_bus;
    std::unique_ptr<UVCCameraDevices> m_camera;
    JournalReader m_journal;
};

void TstMacUvc::init()
{
    m_dir.reset(new QTemporaryDir);
    const QString journal = m_dir->filePath(QStringLiteral("journal.jsonl"));
    m_journal.setPath(journal);
    m_rig = std::make_unique<VirtualRig>(QVector<VirtualCamera>{VirtualCamera(7)}, QString(), journal);
    m_rig->modify([](QVector<VirtualCamera>& cameras) { cameras[0].setStreaming(true); });
    m_bus = std::make_unique<VirtualUsbBus>(*m_rig);
    m_camera = std::make_unique<UVCCameraDevices>(*m_bus, [] { return kRandom; });
    const VirtualCamera camera = m_rig->cameras().first();
    QVERIFY(m_camera->initWithVendorID(camera.vendorId(), camera.productId()));
}

void TstMacUvc::cleanup()
{
    m_camera.reset();
    m_bus.reset();
    m_rig.reset();
}

QStringList TstMacUvc::transfers()
{
    return controlTransfers(m_journal.fresh());
}

void TstMacUvc::setupPackets_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QStringList>("expected");

    // Vendor blocks: SET_CUR on selector 1 of unit 6; a query adds GET_CUR on selector 2. The tag
    // (byte 1) is 905 % 90 = 5.
    auto set = [](const QString& block) { return QStringList{QStringLiteral("21 01 0100 0600 ") + block}; };
    auto query = [](const QString& block, const QString& answer) {
        return QStringList{QStringLiteral("21 01 0100 0600 ") + block,
                           QStringLiteral("a1 81 0200 0600 ") + answer};
    };
    QTest::newRow("sethdr") << Operation([](UVCCameraDevices& c) { QVERIFY(c.sethdr(1)); })
                            << set(QStringLiteral("01 05 01 00 00 00 00 00"));
    QTest::newRow("gethdr") << Operation([](UVCCameraDevices& c) {
        c.gethdr();
    }) << query(QStringLiteral("81 05 00 00 00 00 00 00"), QStringLiteral("81 05 00 00 00 00 00 00"));
    QTest::newRow("setFlicker 60Hz") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setFlicker(2)); })
                                     << set(QStringLiteral("02 05 02 00 00 00 00 00"));
    QTest::newRow("setMic") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setMic(1)); })
                            << set(QStringLiteral("04 05 01 00 00 00 00 00"));
    QTest::newRow("setShutter") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setShutter(1)); })
                                << set(QStringLiteral("07 05 01 00 00 00 00 00"));
    QTest::newRow("setMaxZoom 1.5x") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setMaxZoom(150)); })
                                     << set(QStringLiteral("08 05 96 00 00 00 00 00"));
    QTest::newRow("setMaxZoom 8x") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setMaxZoom(800)); })
                                   << set(QStringLiteral("08 05 20 03 00 00 00 00"));
    QTest::newRow("setMirror") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setMirror(1)); })
                               << set(QStringLiteral("09 05 01 00 00 00 00 00"));
    QTest::newRow("setPreset 2") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setPreset(2)); })
                                 << set(QStringLiteral("0a 05 02 00 00 00 00 00"));
    QTest::newRow("setLoad 1") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setLoad(1)); })
                               << set(QStringLiteral("0b 05 01 00 00 00 00 00"));
    QTest::newRow("setTrackingMode") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setTrackingMode(3)); })
                                     << set(QStringLiteral("10 05 03 00 00 00 00 00"));
    QTest::newRow("setTrackingffect")
        << Operation([](UVCCameraDevices& c) { QVERIFY(c.setTrackingffect(1)); })
        << set(QStringLiteral("11 05 01 00 00 00 00 00"));
    QTest::newRow("setTrackingSpeed")
        << Operation([](UVCCameraDevices& c) { QVERIFY(c.setTrackingSpeed(2)); })
        << set(QStringLiteral("12 05 02 00 00 00 00 00"));
    QTest::newRow("getTrackingEffect")
        << Operation([](UVCCameraDevices& c) { c.getTrackingEffect(); })
        << query(QStringLiteral("93 05 00 00 00 00 00 00"), QStringLiteral("93 05 01 00 00 00 00 00"));
    QTest::newRow("setAudio") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setAudio(7)); })
                              << set(QStringLiteral("20 05 07 00 00 00 00 00"));
    QTest::newRow("setupdateXmosDev") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setupdateXmosDev()); })
                                      << set(QStringLiteral("30 05 00 00 00 00 00 00"));
    QTest::newRow("setDefault") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setDefault()); })
                                << set(QStringLiteral("7f 05 00 00 00 00 00 00"));
    QTest::newRow("getCameraVersion")
        << Operation([](UVCCameraDevices& c) { c.getCameraVersion(); })
        << query(QStringLiteral("80 05 00 00 00 00 00 00"), QStringLiteral("80 05 00 01 00 02 00 0a"));

    // Standard controls: GET_INFO (length 1) before every current read.
    QTest::newRow("setZoom 300") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setZoom(300)); })
                                 << QStringList{QStringLiteral("21 01 0b00 0100 2c 01")};
    QTest::newRow("getZoom") << Operation([](UVCCameraDevices& c) {
        c.getZoom();
    }) << QStringList{QStringLiteral("a1 86 0b00 0100 03"), QStringLiteral("a1 81 0b00 0100 64 00")};
    QTest::newRow("getZoomMin") << Operation([](UVCCameraDevices& c) { c.getZoomMin(); })
                                << QStringList{QStringLiteral("a1 82 0b00 0100 64 00")};
    QTest::newRow("getZoomMax") << Operation([](UVCCameraDevices& c) { c.getZoomMax(); })
                                << QStringList{QStringLiteral("a1 83 0b00 0100 20 03")};
    QTest::newRow("setPanTilt") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setPanTilt(-3600, 7200)); })
                                << QStringList{QStringLiteral("21 01 0d00 0100 f0 f1 ff ff 20 1c 00 00")};
    QTest::newRow("getpanTilt") << Operation([](UVCCameraDevices& c) { c.getpanTilt(); })
                                << QStringList{QStringLiteral("a1 86 0d00 0100 03"),
                                               QStringLiteral("a1 81 0d00 0100 00 00 00 00 00 00 00 00")};
    QTest::newRow("setBrightness") << Operation([](UVCCameraDevices& c) {
        QVERIFY(c.setProcessing(uvc::PU_BRIGHTNESS, 60));
    }) << QStringList{QStringLiteral("21 01 0200 0300 3c 00")};
    QTest::newRow("getBrightnessDef")
        << Operation([](UVCCameraDevices& c) { c.getProcessingDef(uvc::PU_BRIGHTNESS); })
        << QStringList{QStringLiteral("a1 87 0200 0300 32 00")};
    QTest::newRow("getSharpnessMax") << Operation([](UVCCameraDevices& c) {
        c.getProcessingMax(uvc::PU_SHARPNESS);
    }) << QStringList{QStringLiteral("a1 83 0800 0300 ff 00")};
    QTest::newRow("getContrast") << Operation([](UVCCameraDevices& c) {
        c.getProcessing(uvc::PU_CONTRAST);
    }) << QStringList{QStringLiteral("a1 86 0300 0300 03"), QStringLiteral("a1 81 0300 0300 32 00")};
    QTest::newRow("setHueAuto") << Operation([](UVCCameraDevices& c) { QVERIFY(c.setHueAuto(1)); })
                                << QStringList{QStringLiteral("21 01 1000 0300 01")};
    // GET_INFO is read with length 1 whatever length the caller asks for.
    QTest::newRow("GET_INFO length") << Operation([](UVCCameraDevices& c) {
        QVERIFY(c.getDataFor(uvc::GET_INFO, 8, uvc::CT_ZOOM_ABSOLUTE, uvc::kCameraTerminal));
    }) << QStringList{QStringLiteral("a1 86 0b00 0100 03")};
    // A control the camera lacks: GET_INFO fails and nothing is read.
    QTest::newRow("getFocus absent") << Operation([](UVCCameraDevices& c) { QCOMPARE(c.getFocus(), 0); })
                                     << QStringList{QStringLiteral("a1 86 0600 0100")};
    // The audio-module transfer: 32 bytes on selector 6, status on selector 7.
    QTest::newRow("audio status") << Operation([](UVCCameraDevices& c) { c.getAudioStatus(); })
                                  << QStringList{QStringLiteral("a1 81 0700 0600 00 00 00 00 00 00 00 00")};
}

void TstMacUvc::setupPackets()
{
    QFETCH(Operation, operation);
    QFETCH(QStringList, expected);
    transfers();
    operation(*m_camera);
    QCOMPARE(transfers(), expected);
}

void TstMacUvc::answers()
{
    QVERIFY(m_camera->setMaxZoom(300));
    QCOMPARE(m_camera->getMAXZoomInfo(), 300);
    QVERIFY(m_camera->setTrackingMode(2));
    QCOMPARE(m_camera->getTrackingMode(), 2);
    QCOMPARE(m_camera->getCameraVersion(), QStringLiteral("V1.2.10"));
    QCOMPARE(m_camera->getAudioVersion(), QStringLiteral("V1.0.3"));
    QVERIFY(m_camera->setZoom(300));
    QCOMPARE(m_camera->getZoom(), 300);
    QVERIFY(m_camera->setPanTilt(-3600, 7200));
    const UVCCameraDevices::PanTilt pt = m_camera->getpanTilt();
    QCOMPARE(pt.pan, -3600);
    QCOMPARE(pt.tilt, 7200);
    QVERIFY(m_camera->getpanTiltMin().pan < 0);
    QVERIFY(m_camera->setProcessing(uvc::PU_SHARPNESS, 200));
    QCOMPARE(m_camera->getProcessing(uvc::PU_SHARPNESS), 200);

    // The loader entry form of this edition carries the signature in bytes 3-7.
    transfers();
    m_camera->updateDev();
    QCOMPARE(transfers(), QStringList{QStringLiteral("21 01 0100 0600 50 05 07 4c 44 55 50 47")});
    QVERIFY(m_rig->cameras().first().inBootStage());
}

void TstMacUvc::mainSocEntry()
{
    transfers();
    m_camera->setUpdateSSD222D();
    QCOMPARE(transfers(), QStringList{QStringLiteral("21 01 0100 0600 30 05 01 4c 44 55 50 47")});
    QVERIFY(m_rig->cameras().first().inBootStage());
}

void TstMacUvc::fallbacks_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QString>("what");
    QTest::newRow("byte answers: 3") << Operation([](UVCCameraDevices& c) { QCOMPARE(c.gethdr(), 3); })
                                     << QString();
    QTest::newRow("mirror: 3") << Operation([](UVCCameraDevices& c) { QCOMPARE(c.getMirror(), 3); })
                               << QString();
    QTest::newRow("tracking mode: 10")
        << Operation([](UVCCameraDevices& c) { QCOMPARE(c.getTrackingMode(), 10); }) << QString();
    QTest::newRow("maximum zoom: 5") << Operation([](UVCCameraDevices& c) {
        QCOMPARE(c.getMAXZoomInfo(), 5);
    }) << QString();
    QTest::newRow("version: empty") << Operation([](UVCCameraDevices& c) {
        QVERIFY(c.getCameraVersion().isEmpty());
    }) << QString();
    QTest::newRow("loader: no") << Operation([](UVCCameraDevices& c) { QVERIFY(!c.getUBootVersion()); })
                                << QString();
    QTest::newRow("current zoom: 100")
        << Operation([](UVCCameraDevices& c) { QCOMPARE(c.getZoom(), 100); }) << QString();
    QTest::newRow("brightness: 0") << Operation([](UVCCameraDevices& c) {
        QCOMPARE(c.getProcessing(uvc::PU_BRIGHTNESS), 0);
    }) << QString();
    QTest::newRow("set: false") << Operation([](UVCCameraDevices& c) { QVERIFY(!c.sethdr(1)); }) << QString();
}

void TstMacUvc::fallbacks()
{
    QFETCH(Operation, operation);
    // The camera stalls the first request: the block of a query, the GET_INFO of a control.
    m_rig->modify([](QVector<VirtualCamera>& cameras) { cameras[0].faults().refuseNext = 1; });
    LogCapture log;
    operation(*m_camera);
    QVERIFY(log.contains(
        QStringLiteral("[sendControlRequest][CameraControl Error]: Control request failed: 00000020")));
}

void TstMacUvc::tagRange()
{
    const int draws[] = {0, 89, 90, 179, INT_MAX, -1, INT_MIN, 905};
    int index = 0;
    UVCCameraDevices fixed(*m_bus, [&] { return draws[index++]; });
    const int expected[] = {0, 89, 0, 89, INT_MAX % 90, 89, 90 + INT_MIN % 90, 5};
    for (int want : expected)
        QCOMPARE(fixed.random(), want);
    // The library's generator: every tag of many blocks lies in 0..89 and both ends occur.
    UVCCameraDevices any(*m_bus);
    QVERIFY(any.initWithVendorID(m_rig->cameras().first().vendorId(), m_rig->cameras().first().productId()));
    transfers();
    QSet<int> seen;
    for (int i = 0; i < 2000; ++i) {
        const int tag = any.random();
        QVERIFY2(tag >= 0 && tag < 90, qPrintable(QString::number(tag)));
        seen.insert(tag);
    }
    QCOMPARE(seen.size(), 90);
    any.sethdr(0);
    const QStringList sent = transfers();
    QCOMPARE(sent.size(), 1);
    bool ok = false;
    const int tag = sent.first().split(QLatin1Char(' ')).at(5).toInt(&ok, 16);
    QVERIFY(ok && tag < 90);
}

void TstMacUvc::openingByUniqueId()
{
    const VirtualCamera camera = m_rig->cameras().first();
    const QString id =
        UVCCameraDevices::getDevicesUniqueID(QStringLiteral("usb-"), camera.vendorId(), camera.productId());
    QCOMPARE(id,
             QStringLiteral("usb-") + QString::asprintf("%04x%04x", camera.vendorId(), camera.productId()));
    UVCCameraDevices other(*m_bus);
    QVERIFY(other.createUSBInterface(id));
    QVERIFY(other.isOpen());
    QVERIFY(!other.createUSBInterface(QStringLiteral("1d6b0fff")));
    QVERIFY(!other.isOpen());
    QVERIFY(m_camera->searchCameraDevice().contains(
        QString::asprintf("%04x-%04x", camera.vendorId(), camera.productId())));
}

void TstMacUvc::withoutInterfaceNothingIsSent()
{
    UVCCameraDevices closed(*m_bus);
    LogCapture log;
    transfers();
    QVERIFY(!closed.sethdr(1));
    QCOMPARE(closed.gethdr(), 3);
    QVERIFY(transfers().isEmpty());
    QVERIFY(log.contains(
        QStringLiteral("[sendControlRequest][CameraControl Error]: No interface to send request")));
}

// deckctl-mac where the Linux bindings are not built (DECKCTL_RAWUSB_ONLY, as on macOS): the
// raw-USB video face over the portable platform reaches the cameras, and the inner platform has
// nothing to offer: no capture device, a reachable sound server without the camera's speaker, no
// boot-stage device, a preview input that cannot open, a hot-plug source that starts and stays
// silent.
void TstMacUvc::overPortablePlatform()
{
    RawUsbPlatform platform(createPortablePlatform(), std::make_unique<VirtualUsbBus>(*m_rig));
    const QVector<VideoDeviceInfo> cameras = platform.video().listCaptureDevices();
    QCOMPARE(cameras.size(), 1);
    int error = 0;
    QVERIFY(platform.video().open(cameras.first(), &error));

    DevicePlatform& inner = platform.inner();
    QVERIFY(inner.video().listCaptureDevices().isEmpty());
    error = 0;
    QVERIFY(!inner.video().open(cameras.first(), &error));
    QCOMPARE(error, -ENODEV);

    SpeakerVolume speaker(m_rig->cameras().first().friendlyName(), &platform.sound());
    QCOMPARE(speaker.readVolume().status, SpeakerStatus::NoSpeaker);
    QCOMPARE(speaker.writeVolume(50), SpeakerStatus::NoSpeaker);

    QVERIFY(platform.massStorage().listDevices().isEmpty());
    error = 0;
    QVERIFY(!platform.massStorage().open(QStringLiteral("1-1"), &error));
    QCOMPARE(error, -ENODEV);

    const PreviewInput preview = platform.preview().input(cameras.first().friendlyName);
    QCOMPARE(preview.kind, PreviewInput::Kind::Input);
    QVERIFY(preview.url.isEmpty());

    std::unique_ptr<HotplugMonitor> monitor = inner.createHotplugMonitor();
    QVERIFY(monitor->start());

    // Arrivals and removals are the inner platform's to report.
    auto virtualInner = std::make_unique<VirtualPlatform>(
        std::make_unique<VirtualRig>(QVector<VirtualCamera>{VirtualCamera(7)}));
    VirtualRig& innerRig = virtualInner->rig();
    RawUsbPlatform overVirtual(std::move(virtualInner), std::make_unique<VirtualUsbBus>(innerRig));
    QVERIFY(dynamic_cast<VirtualHotplugMonitor*>(overVirtual.createHotplugMonitor().get()));

#ifdef DECKCTL_RAWUSB_ONLY
    // Such a build's default platform is the portable one.
    QVector<SinkInfo> sinks{SinkInfo{}};
    QVERIFY(createDefaultDevicePlatform()->sound().listSinks(&sinks));
    QVERIFY(sinks.isEmpty());
#endif
}

QTEST_GUILESS_MAIN(TstMacUvc)
#include "tst_mac_uvc.moc"
