// deckctl-mac's camera control (LibusbBus and its control pipe, UVCCameraDevices above it) end to
// end against emulated kernel devices: the program runs under umockdev-wrapper; EmulatedCameras
// presents the virtual cameras as USB devices whose VideoControl and streaming interfaces
// uvcvideo holds, and EmulatedLoaders serves their usbfs nodes, where libusb's real ioctls
// arrive. The class requests reach the camera's model as the in-process face hands them on, so
// the journal's "control-transfer" rows must be those of the in-process face byte for byte; the
// kernel side's detaches and reattaches of the driver show as "kernel-driver-detached" and
// "kernel-driver-attached" events.
//
// Without umockdev's preload library the whole program reports SKIP (exit code 77).

#include "app/globals.h"
#include "device/usbcontrolpipe.h"
#include "mac/libusbbulkbus.h"
#include "mac/libusbbus.h"
#include "mac/macupgrade.h"
#include "mac/uvccameradevices.h"
#include "sim/umockdev/umockdevcamera.h"
#include "sim/umockdev/umockdevloader.h"
#include "sim/virtualcamera.h"
#include "sim/virtualrig.h"
#include "sim/virtualusb.h"
#include "tests/support/emulatedbench.h"
#include "tests/support/logcapture.h"
#include "tests/support/packagebuilder.h"
#include "upgrade/upgradescript.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <functional>
#include <linux/usbdevice_fs.h>
#include <linux/videodev2.h>
#include <memory>
#include <sys/ioctl.h>

using Operation = std::function<void(UVCCameraDevices&)>;
Q_DECLARE_METATYPE(Operation)

namespace {

// The tag source of the command blocks: the same blocks through both faces.
constexpr int kRandom = 905;
const QString kDetached = QStringLiteral("kernel-driver-detached");
const QString kAttached = QStringLiteral("kernel-driver-attached");

QJsonObject camera(const QString& port, const QJsonObject& more = QJsonObject())
{
    QJsonObject configuration{{QStringLiteral("model"), 7},
                              {QStringLiteral("port"), port},
                              {QStringLiteral("serial"), QStringLiteral("SN-") + port},
                              {QStringLiteral("streaming"), true}};
    for (auto it = more.begin(); it != more.end(); ++it)
        configuration.insert(it.key(), it.value());
    return configuration;
}

// The testbed with the cameras' usbfs face.
class Bench : public EmulatedBench
{
public:
    explicit Bench(const QVector<QJsonObject>& configurations)
        : EmulatedBench(configurations), m_usbfs(EmulatedBench::cameras())
    {
    }
    bool isValid() const { return cameras().isValid() && m_usbfs.isValid(); }
    QString errorString() const { return cameras().errorString() + m_usbfs.errorString(); }
    // What camera's usbfs node saw in its current presentation.
    EmulatedUsbActivity usb(int camera) const
    {
        const QVector<EmulatedUsbActivity> all = m_usbfs.cameraEnumerations(camera);
        return all.isEmpty() ? EmulatedUsbActivity() : all.last();
    }
    QVector<QJsonObject> journal() { return journalReader().fresh(); }

private:
    EmulatedLoaders m_usbfs; // destroyed before the testbed it extends
};

// The driver events in order, as "<event> <interface>".
QStringList bindings(const QVector<QJsonObject>& events)
{
    QStringList lines;
    for (const QJsonObject& e : events) {
        const QString name = e.value(QLatin1String("event")).toString();
        if (name == kDetached || name == kAttached)
            lines << name + QLatin1Char(' ') + QString::number(e.value(QLatin1String("interface")).toInt());
    }
    return lines;
}

// Whether the camera's capture node answers as uvcvideo's does: 0 or the errno.
int queryCapture(const QString& node)
{
    const Fd fd(node);
    if (fd.fd < 0)
        return errno;
    v4l2_capability capability{};
    return ::ioctl(fd.fd, VIDIOC_QUERYCAP, &capability) == 0 ? 0 : errno;
}

int usbfs(int fd, unsigned long request, void* arg)
{
    return ::ioctl(fd, request, arg) < 0 ? errno : 0;
}

// The driver of interface, or the errno.
QString driverOf(int fd, unsigned int interface)
{
    usbdevfs_getdriver request{};
    request.interface = interface;
    const int error = usbfs(fd, USBDEVFS_GETDRIVER, &request);
    return error ? QString::fromLatin1(strerrorname_np(error)) : QString::fromLatin1(request.driver);
}

// USBDEVFS_IOCTL with DISCONNECT or CONNECT: the result, or minus the errno.
int driverCommand(int fd, int interface, unsigned long command)
{
    usbdevfs_ioctl request{};
    request.ifno = interface;
    request.ioctl_code = static_cast<int>(command);
    const int result = ::ioctl(fd, USBDEVFS_IOCTL, &request);
    return result < 0 ? -errno : result;
}

// GET_INFO of the processing unit's brightness with USBDEVFS_CONTROL: the bytes, or minus the errno.
int syncGetInfo(int fd)
{
    std::uint8_t info = 0;
    usbdevfs_ctrltransfer transfer{};
    transfer.bRequestType = uvc::kRequestTypeGet;
    transfer.bRequest = uvc::GET_INFO;
    transfer.wValue = uvc::selectorValue(uvc::PU_BRIGHTNESS);
    transfer.wIndex = uvc::unitIndex(uvc::kProcessingUnit);
    transfer.wLength = 1;
    transfer.timeout = 1000;
    transfer.data = &info;
    const int result = ::ioctl(fd, USBDEVFS_CONTROL, &transfer);
    return result < 0 ? -errno : result;
}

const QStringList kDetachBoth{kDetached + QStringLiteral(" 0"), kDetached + QStringLiteral(" 1")};
const QStringList kAttachBoth{kAttached + QStringLiteral(" 0"), kAttached + QStringLiteral(" 1")};

} // namespace

class TstKernelMac : public QObject
{
    Q_OBJECT
public:
    bool emulationUnavailable() const { return m_unavailable; }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    // The camera's usbfs node keeps the kernel's rules, step by step with raw ioctls.
    void usbfsRulesOfTheCameraNode();
    // Listing touches no driver and sends no class request.
    void listing();
    // Without consent: the driver keeps the interface, the request fails and says why.
    void boundInterfaceWithoutConsent();
    // With consent: the requests reach the camera exactly as in process; detached once,
    // reattached when the pipe closes.
    void requestsWithConsent_data();
    void requestsWithConsent();
    void reattachedAfterAFailedRequest_data();
    void reattachedAfterAFailedRequest();
    // Two pipes to one camera at once (the command-line program holds two): both reach it.
    void twoPipesToOneCamera_data();
    void twoPipesToOneCamera();
    // No driver bound: no consent needed, nothing detached.
    void cameraWithoutDriver_data();
    void cameraWithoutDriver();
    // The program itself.
    void deckctlMacProgram_data();
    void deckctlMacProgram();
    // A whole upgrade with this edition's sequencing over usbfs: the camera's entry blocks and
    // audio transfer on its control pipe, the script on the boot-stage device found by the walk.
    void wholeUpgrade_data();
    void wholeUpgrade();
    // deckctl-mac upgrade and recover, the program itself.
    void deckctlMacUpgradeProgram_data();
    void deckctlMacUpgradeProgram();

private:
    bool start(const QVector<QJsonObject>& configurations);
    // The journal rows that operation gives on the in-process face of a camera configured alike.
    QStringList inProcessTransfers(const QJsonObject& configuration, const Operation& operation);

    std::unique_ptr<Bench> m_bench;
    std::unique_ptr<LogCapture> m_log;
    bool m_unavailable = false;
};

#define START(...) QVERIFY2(start(__VA_ARGS__), qPrintable(m_bench->errorString()))

void TstKernelMac::initTestCase()
{
    const EmulatedCameras probe{QVector<VirtualCamera>()};
    if (!probe.emulationActive()) {
        m_unavailable = true;
        QSKIP("umockdev's preload library is not loaded: run this program under umockdev-wrapper");
    }
    m_log = std::make_unique<LogCapture>(LogCapture::Form::Kind, false);
}

void TstKernelMac::cleanupTestCase()
{
    m_log.reset();
}

void TstKernelMac::init()
{
    LogCapture::clear();
}

void TstKernelMac::cleanup()
{
    m_bench.reset();
}

bool TstKernelMac::start(const QVector<QJsonObject>& configurations)
{
    m_bench = std::make_unique<Bench>(configurations);
    return m_bench->isValid();
}

QStringList TstKernelMac::inProcessTransfers(const QJsonObject& configuration, const Operation& operation)
{
    QTemporaryDir dir;
    const QString journal = dir.filePath(QStringLiteral("journal.jsonl"));
    VirtualRig rig(QVector<VirtualCamera>{VirtualCamera::fromJson(configuration)}, QString(), journal);
    VirtualUsbBus bus(rig);
    {
        UVCCameraDevices camera(bus, [] { return kRandom; });
        const VirtualCamera model = rig.cameras().first();
        if (!camera.initWithVendorID(model.vendorId(), model.productId()))
            return {QStringLiteral("<not opened>")};
        operation(camera);
    }
    JournalReader reader(journal);
    return controlTransfers(reader.events());
}

void TstKernelMac::usbfsRulesOfTheCameraNode()
{
    START({camera(QStringLiteral("1-1"))});
    const EmulatedCameraNodes nodes = m_bench->cameras().nodes(0);
    m_bench->journal();
    const Fd node(nodes.usbNode);
    QVERIFY2(node.fd >= 0, strerror(errno));
    const int fd = node.fd;
    unsigned int zero = 0;
    unsigned int one = 1;

    // uvcvideo holds the function's two interfaces; there is no third.
    QCOMPARE(driverOf(fd, 0), QStringLiteral("uvcvideo"));
    QCOMPARE(driverOf(fd, 1), QStringLiteral("uvcvideo"));
    QCOMPARE(driverOf(fd, 2), QStringLiteral("ENODATA"));
    QCOMPARE(usbfs(fd, USBDEVFS_CLAIMINTERFACE, &zero), EBUSY);
    QCOMPARE(syncGetInfo(fd), -EBUSY);
    QCOMPARE(driverCommand(fd, 0, USBDEVFS_CONNECT), -EBUSY);
    QCOMPARE(driverCommand(fd, 2, USBDEVFS_DISCONNECT), -EINVAL);
    QCOMPARE(m_bench->journal(), QVector<QJsonObject>());

    // Detached from the VideoControl interface, uvcvideo gives up the whole function; the
    // next request claims the free interface on the fly and reaches the camera.
    QCOMPARE(driverCommand(fd, 0, USBDEVFS_DISCONNECT), 0);
    QCOMPARE(driverOf(fd, 1), QStringLiteral("ENODATA"));
    QCOMPARE(queryCapture(nodes.captureNode), ENODEV);
    QCOMPARE(driverCommand(fd, 0, USBDEVFS_DISCONNECT), -ENODATA);
    QCOMPARE(syncGetInfo(fd), 1);
    QCOMPARE(driverOf(fd, 0), QStringLiteral("usbfs"));
    QVector<QJsonObject> events = m_bench->journal();
    QCOMPARE(bindings(events), kDetachBoth);
    QCOMPARE(controlTransfers(events), QStringList{QStringLiteral("a1 86 0200 0300 03")});

    // Held through usbfs, it cannot take its driver back until released.
    QCOMPARE(driverCommand(fd, 0, USBDEVFS_CONNECT), -EBUSY);
    QCOMPARE(usbfs(fd, USBDEVFS_RELEASEINTERFACE, &zero), 0);
    QCOMPARE(usbfs(fd, USBDEVFS_RELEASEINTERFACE, &zero), EINVAL);
    QCOMPARE(driverCommand(fd, 0, USBDEVFS_CONNECT), 1);
    QCOMPARE(driverOf(fd, 1), QStringLiteral("uvcvideo"));
    QCOMPARE(queryCapture(nodes.captureNode), 0);
    QCOMPARE(bindings(m_bench->journal()), kAttachBoth);

    // A streaming interface alone: detached by itself, and no driver matches it on its own.
    QCOMPARE(driverCommand(fd, 1, USBDEVFS_DISCONNECT), 0);
    QCOMPARE(driverOf(fd, 0), QStringLiteral("uvcvideo"));
    QCOMPARE(driverCommand(fd, 1, USBDEVFS_CONNECT), 0);
    QCOMPARE(usbfs(fd, USBDEVFS_CLAIMINTERFACE, &one), 0);
    QCOMPARE(driverOf(fd, 1), QStringLiteral("usbfs"));
    QCOMPARE(bindings(m_bench->journal()), QStringList{kDetached + QStringLiteral(" 1")});

    // DISCONNECT_CLAIM: only from the driver named, when asked so.
    usbdevfs_disconnect_claim claim{};
    claim.interface = 0;
    claim.flags = USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER;
    std::strcpy(claim.driver, "usb-storage");
    QCOMPARE(usbfs(fd, USBDEVFS_DISCONNECT_CLAIM, &claim), EBUSY);
    std::strcpy(claim.driver, "uvcvideo");
    QCOMPARE(usbfs(fd, USBDEVFS_DISCONNECT_CLAIM, &claim), 0);
    QCOMPARE(driverOf(fd, 0), QStringLiteral("usbfs"));
    QCOMPARE(bindings(m_bench->journal()), QStringList{kDetached + QStringLiteral(" 0")});
    QCOMPARE(m_bench->usb(0).unknownIoctls, QStringList());
}

void TstKernelMac::listing()
{
    START({camera(QStringLiteral("1-1")),
           camera(QStringLiteral("1-2"),
                  {{QStringLiteral("model"), 6}, {QStringLiteral("kernelDriver"), false}}),
           camera(QStringLiteral("1-3"), {{QStringLiteral("stage"), QStringLiteral("uboot")}})});
    const QVector<VirtualCamera> models = m_bench->rig().cameras();
    for (const bool consent : {false, true}) {
        LibusbBus bus(consent);
        const QStringList devices = bus.listDevices();
        for (const VirtualCamera& model : models)
            QVERIFY2(devices.contains(QString::asprintf("%04x-%04x", model.vendorId(), model.productId())),
                     qPrintable(devices.join(QLatin1Char(' '))));
        // The loader has no video function.
        const QVector<uvc::UsbCamera> cameras = bus.listCameras();
        QCOMPARE(cameras.size(), 2);
        for (const uvc::UsbCamera& found : cameras) {
            const int i = found.busPort == models.at(0).busPort() ? 0 : 1;
            QCOMPARE(found.vendorId, models.at(i).vendorId());
            QCOMPARE(found.productId, models.at(i).productId());
            QCOMPARE(found.product, models.at(i).friendlyName());
            QCOMPARE(found.serial, models.at(i).serial());
            QCOMPARE(found.busPort, models.at(i).busPort());
            QCOMPARE(found.videoControlInterface, 0);
            QCOMPARE(found.node, m_bench->cameras().nodes(i).usbNode);
            QCOMPARE(found.accessError, 0);
        }
    }
    // Descriptors and strings are the USB core's business: nothing reached a camera's function,
    // no driver moved.
    QCOMPARE(m_bench->journal(), QVector<QJsonObject>());
    QCOMPARE(m_bench->usb(0).driver, QStringLiteral("uvcvideo"));
    QCOMPARE(m_bench->usb(0).driverDetaches, 0);
    QCOMPARE(m_bench->usb(1).driver, QString());
    QVERIFY2(m_bench->usb(0).unknownIoctls.isEmpty(), qPrintable(m_bench->usb(0).unknownIoctls.join(' ')));
}

void TstKernelMac::boundInterfaceWithoutConsent()
{
    START({camera(QStringLiteral("1-1"))});
    const VirtualCamera model = m_bench->rig().cameras().first();
    m_bench->journal();
    LibusbBus bus(false);
    int error = 1;
    std::unique_ptr<uvc::ControlPipe> pipe = bus.open(model.vendorId(), model.productId(), &error);
    QVERIFY(pipe);
    QCOMPARE(error, 0);
    std::uint8_t data[2] = {};
    const uvc::SetupPacket setup =
        uvc::unitRequest(uvc::GET_CUR, uvc::kProcessingUnit, uvc::PU_BRIGHTNESS, 2);
    QCOMPARE(pipe->controlTransfer(setup, data, 1000), -EBUSY);
    QVERIFY2(LogCapture::contains(QStringLiteral("--detach-kernel-driver")),
             qPrintable(LogCapture::lines().join(QLatin1Char('\n'))));
    // uvcvideo keeps the interface and its nodes; the camera saw nothing.
    QCOMPARE(queryCapture(m_bench->cameras().nodes(0).captureNode), 0);
    pipe.reset();
    QCOMPARE(m_bench->journal(), QVector<QJsonObject>());
    const EmulatedUsbActivity usb = m_bench->usb(0);
    QCOMPARE(usb.driver, QStringLiteral("uvcvideo"));
    QCOMPARE(usb.driverDetaches, 0);
    QCOMPARE(usb.driverAttaches, 0);
    QCOMPARE(usb.claims + usb.implicitClaims, 0);
    QCOMPARE(usb.urbs, 0); // usbfs refused the URB before it reached the device
}

void TstKernelMac::requestsWithConsent_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QStringList>("expected"); // the control transfers, as the in-process face has them
    QTest::addColumn<int>("setting");          // a vendor setting code, and its value afterwards; -1: none
    QTest::addColumn<int>("settingValue");
    // Vendor settings: a command block (SET_CUR, selector 1 of unit 6); a query reads the answer
    // (GET_CUR, selector 2). The tag (byte 1) is 905 % 90 = 5.
    QTest::newRow("vendor set") << Operation([](UVCCameraDevices& c) { QVERIFY(c.sethdr(1)); })
                                << QStringList{QStringLiteral("21 01 0100 0600 01 05 01 00 00 00 00 00")}
                                << 0x01 << 1;
    QTest::newRow("vendor get") << Operation([](UVCCameraDevices& c) { QCOMPARE(c.gethdr(), 0); })
                                << QStringList() << -1 << 0;
    // Standard controls of the processing unit (unit 3), two bytes each.
    QTest::newRow("standard set") << Operation([](UVCCameraDevices& c) {
        QVERIFY(c.setProcessing(uvc::PU_BRIGHTNESS, 80));
    }) << QStringList{QStringLiteral("21 01 0200 0300 50 00")}
                                  << -1 << 0;
    QTest::newRow("standard get") << Operation([](UVCCameraDevices& c) {
        QCOMPARE(c.getProcessing(uvc::PU_BRIGHTNESS), 50);
    }) << QStringList{QStringLiteral("a1 86 0200 0300 03"), QStringLiteral("a1 81 0200 0300 32 00")}
                                  << -1 << 0;
}

void TstKernelMac::requestsWithConsent()
{
    QFETCH(Operation, operation);
    QFETCH(QStringList, expected);
    QFETCH(int, setting);
    QFETCH(int, settingValue);
    const QJsonObject configuration = camera(QStringLiteral("1-1"));
    START({configuration});
    const VirtualCamera model = m_bench->rig().cameras().first();
    const EmulatedCameraNodes nodes = m_bench->cameras().nodes(0);
    m_bench->journal();
    {
        LibusbBus bus(true);
        UVCCameraDevices device(bus, [] { return kRandom; });
        QVERIFY(device.initWithVendorID(model.vendorId(), model.productId()));
        // Detached for the command: the video nodes are gone with the driver.
        QCOMPARE(m_bench->usb(0).driver, QStringLiteral("usbfs"));
        QCOMPARE(queryCapture(nodes.captureNode), ENODEV);
        operation(device);
    }
    const QVector<QJsonObject> events = m_bench->journal();
    const QStringList rows = controlTransfers(events);
    QVERIFY(!rows.isEmpty());
    QCOMPARE(rows, inProcessTransfers(configuration, operation));
    if (!expected.isEmpty())
        QCOMPARE(rows, expected);
    // Every row is the camera's (tagged with its index), between one detach and one reattach of
    // the function's two interfaces.
    for (const QJsonObject& e : events)
        QCOMPARE(e.value(QLatin1String("camera")).toInt(-1), 0);
    QCOMPARE(bindings(events), kDetachBoth + kAttachBoth);
    QCOMPARE(events.first().value(QLatin1String("event")).toString(), kDetached);
    QCOMPARE(events.last().value(QLatin1String("event")).toString(), kAttached);
    if (setting >= 0)
        QCOMPARE(m_bench->rig().cameras().first().setting(static_cast<std::uint8_t>(setting)), settingValue);

    const EmulatedUsbActivity usb = m_bench->usb(0);
    QCOMPARE(usb.driver, QStringLiteral("uvcvideo"));
    QCOMPARE(usb.driverDetaches, 1);
    QCOMPARE(usb.driverAttaches, 1);
    QCOMPARE(usb.claims, 1);
    QCOMPARE(usb.implicitClaims, 0);
    QCOMPARE(usb.releases, 1);
    QTRY_COMPARE(m_bench->usb(0).openNow, 0); // umockdev reports a close a little later
    QVERIFY2(usb.unknownIoctls.isEmpty(), qPrintable(usb.unknownIoctls.join(' ')));
    QCOMPARE(queryCapture(nodes.captureNode), 0);
}

void TstKernelMac::reattachedAfterAFailedRequest_data()
{
    QTest::addColumn<QJsonObject>("faults");
    QTest::addColumn<int>("result");
    QTest::newRow("stalled") << QJsonObject{{QStringLiteral("refuse"), 1}} << -EPIPE;
    QTest::newRow("transfer error") << QJsonObject{{QStringLiteral("fail"), 1}} << -EIO;
    QTest::newRow("never answered") << QJsonObject{{QStringLiteral("silent"), 1}} << -ETIMEDOUT;
}

void TstKernelMac::reattachedAfterAFailedRequest()
{
    QFETCH(QJsonObject, faults);
    QFETCH(int, result);
    START({camera(QStringLiteral("1-1"), {{QStringLiteral("faults"), faults}})});
    const VirtualCamera model = m_bench->rig().cameras().first();
    m_bench->journal();
    {
        LibusbBus bus(true);
        int error = 1;
        std::unique_ptr<uvc::ControlPipe> pipe = bus.open(model.vendorId(), model.productId(), &error);
        QVERIFY(pipe);
        // GET_CUR of the vendor unit's answer block: the camera's faults reach it as they are (a
        // standard control's failure is a stall).
        std::uint8_t data[8] = {};
        const uvc::SetupPacket setup = uvc::unitRequest(uvc::GET_CUR, uvc::kExtensionUnit, 2, 8);
        QCOMPARE(pipe->controlTransfer(setup, data, 300), result);
        // The next request goes through.
        QCOMPARE(pipe->controlTransfer(setup, data, 300), 8);
    }
    const QVector<QJsonObject> events = m_bench->journal();
    QCOMPARE(bindings(events), kDetachBoth + kAttachBoth);
    QCOMPARE(controlTransfers(events).size(), 2);
    const EmulatedUsbActivity usb = m_bench->usb(0);
    QCOMPARE(usb.driver, QStringLiteral("uvcvideo"));
    QCOMPARE(usb.driverDetaches, 1);
    QCOMPARE(usb.driverAttaches, 1);
    QCOMPARE(queryCapture(m_bench->cameras().nodes(0).captureNode), 0);
}

void TstKernelMac::twoPipesToOneCamera_data()
{
    QTest::addColumn<bool>("driverBound");
    QTest::addColumn<bool>("consent");
    QTest::newRow("driver detached with consent") << true << true;
    QTest::newRow("no driver, without consent") << false << false;
}

void TstKernelMac::twoPipesToOneCamera()
{
    QFETCH(bool, driverBound);
    QFETCH(bool, consent);
    START({camera(QStringLiteral("1-1"), {{QStringLiteral("kernelDriver"), driverBound}})});
    const VirtualCamera model = m_bench->rig().cameras().first();
    m_bench->journal();
    LibusbBus bus(consent);
    int error = 1;
    std::unique_ptr<uvc::ControlPipe> first = bus.open(model.vendorId(), model.productId(), &error);
    std::unique_ptr<uvc::ControlPipe> second = bus.open(model.vendorId(), model.productId(), &error);
    QVERIFY(first && second);
    std::uint8_t data[1] = {};
    const uvc::SetupPacket setup =
        uvc::unitRequest(uvc::GET_INFO, uvc::kProcessingUnit, uvc::PU_BRIGHTNESS, 1);
    QCOMPARE(first->controlTransfer(setup, data, 1000), 1);
    QCOMPARE(second->controlTransfer(setup, data, 1000), 1);
    first.reset();
    // The driver comes back when the last pipe closes.
    QCOMPARE(second->controlTransfer(setup, data, 1000), 1);
    QCOMPARE(bindings(m_bench->journal()), driverBound ? kDetachBoth : QStringList());
    second.reset();
    QCOMPARE(bindings(m_bench->journal()), driverBound ? kAttachBoth : QStringList());
    QCOMPARE(m_bench->usb(0).opens, 1);
}

void TstKernelMac::cameraWithoutDriver_data()
{
    QTest::addColumn<bool>("consent");
    QTest::newRow("without consent") << false;
    QTest::newRow("with consent") << true;
}

void TstKernelMac::cameraWithoutDriver()
{
    QFETCH(bool, consent);
    START({camera(QStringLiteral("1-1"), {{QStringLiteral("kernelDriver"), false}})});
    const VirtualCamera model = m_bench->rig().cameras().first();
    m_bench->journal();
    {
        LibusbBus bus(consent);
        UVCCameraDevices device(bus, [] { return kRandom; });
        QVERIFY(device.initWithVendorID(model.vendorId(), model.productId()));
        QVERIFY(device.setProcessing(uvc::PU_BRIGHTNESS, 80));
        QCOMPARE(device.getProcessing(uvc::PU_BRIGHTNESS), 80);
    }
    const QVector<QJsonObject> events = m_bench->journal();
    QCOMPARE(controlTransfers(events),
             (QStringList{QStringLiteral("21 01 0200 0300 50 00"), QStringLiteral("a1 86 0200 0300 03"),
                          QStringLiteral("a1 81 0200 0300 50 00")}));
    QCOMPARE(bindings(events), QStringList());
    const EmulatedUsbActivity usb = m_bench->usb(0);
    QCOMPARE(usb.driverDetaches, 0);
    QCOMPARE(usb.driverAttaches, 0);
    // usbfs claimed the free interface for the first request and let go when the node closed.
    QCOMPARE(usb.claims, 0);
    QCOMPARE(usb.implicitClaims, 1);
    QTRY_COMPARE(m_bench->usb(0).driver, QString()); // noticed shortly after the close
    QVERIFY(!LogCapture::contains(QStringLiteral("--detach-kernel-driver")));
}

void TstKernelMac::deckctlMacProgram_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QStringList>("bindings");
    QTest::addColumn<int>("hdr"); // the camera's HDR setting afterwards
    QTest::newRow("get") << QStringList{"--detach-kernel-driver", "get", "brightness"} << 0 << "50\n"
                         << kDetachBoth + kAttachBoth << 0;
    QTest::newRow("set") << QStringList{"--detach-kernel-driver", "set", "hdr", "on"} << 0 << "on\n"
                         << kDetachBoth + kAttachBoth << 1;
    QTest::newRow("set without consent") << QStringList{"set", "hdr", "on"} << 1 << "" << QStringList() << 0;
}

void TstKernelMac::deckctlMacProgram()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QStringList, bindings);
    QFETCH(int, hdr);
    if (QStringLiteral(DECKCTL_MAC_PROGRAM).isEmpty())
        QSKIP("deckctl-mac is not built in this configuration");
    START({camera(QStringLiteral("1-1"))});
    m_bench->journal();
    QTemporaryDir home;
    QProcess process;
    // The program runs under the same preload and testbed (LD_PRELOAD, UMOCKDEV_DIR), so its
    // libusb reaches this process's usbfs face.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.remove(QStringLiteral("DECKCTL_VIRTUAL_CAMERA"));
    env.remove(QStringLiteral("DECKCTL_VERBOSE"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(DECKCTL_MAC_PROGRAM), arguments);
    QVERIFY(process.waitForFinished(60000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == status, qPrintable(err));
    QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()), out);
    const QVector<QJsonObject> events = m_bench->journal();
    QCOMPARE(::bindings(events), bindings);
    QCOMPARE(m_bench->rig().cameras().first().setting(0x01), hdr);
    // The reason goes to the program's log, and what to do about it to standard error.
    QFile log(home.filePath(QStringLiteral(".ld/ld.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll().contains("--detach-kernel-driver"), status != 0);
    QCOMPARE(err.contains(QLatin1String("with --detach-kernel-driver deckctl-mac takes it")), status != 0);
    QCOMPARE(m_bench->usb(0).driver, QStringLiteral("uvcvideo"));
    QTRY_COMPARE(m_bench->usb(0).openNow, 0);
}

namespace {

const QByteArray kCameraScript = "setenv camera 1\ntftp 0x21000000 kernel\nreset\n";

// The package's files in folder, for the worker; with the boot stages' loaders for a repair.
void writePackageFolder(const QString& folder)
{
    QVERIFY(writeFile(folder + QStringLiteral("/auto_update.txt"), kCameraScript));
    QVERIFY(writeFile(folder + QStringLiteral("/kernel"), pattern(3000, 2)));
    QVERIFY(writeFile(folder + QStringLiteral("/xmos.dfu"), pattern(100, 3)));
    QVERIFY(writeFile(folder + QStringLiteral("/usb_updater.bin"), pattern(1500, 4)));
    QVERIFY(writeFile(folder + QStringLiteral("/u-boot.bin"), pattern(2000, 5)));
}

const QStringList kScriptTrace{"cmd:setenv camera 1", "load:uboot", "cmd:setenv ota_upgrade_status 0",
                               "cmd:saveenv", "cmd:reset"};

} // namespace

void TstKernelMac::wholeUpgrade_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<QStringList>("trace");
    QTest::newRow("QB18 in normal operation: audio module first")
        << "normal" << QStringList{"audio-image", "entry:camera"} + kScriptTrace;
    QTest::newRow("camera already in U-Boot") << "uboot" << kScriptTrace;
    QTest::newRow("camera in its boot ROM")
        << "rom" << QStringList{"load:rom", "load:updater"} + kScriptTrace;
}

void TstKernelMac::wholeUpgrade()
{
    QFETCH(QString, stage);
    QFETCH(QStringList, trace);
    START({camera(QStringLiteral("1-1"), QJsonObject{{QStringLiteral("stage"), stage}})});
    QTemporaryDir package;
    writePackageFolder(package.path());
    m_bench->journal();
    const VirtualCamera model = m_bench->rig().cameras().first();
    bool success = false;
    QString message;
    {
        LibusbBus bus(true);
        LibusbBulkBus bulk;
        std::unique_ptr<UVCCameraDevices> camera;
        if (stage == QLatin1String("normal")) {
            camera = std::make_unique<UVCCameraDevices>(bus);
            QVERIFY(camera->initWithVendorID(model.vendorId(), model.productId()));
        }
        MacUpgradeWorker worker(std::move(camera), 7, model.friendlyName(), bulk);
        worker.setPackageFolder(package.path());
        MacUpgradeTiming timing;
        timing.cameraEntryWaitMs = 200;
        timing.ubootReturnWaitMs = 50;
        timing.audio.intervalMs = 10;
        worker.setTiming(timing);
        connect(&worker, &MacUpgradeWorker::onUpgradeReport, this, [&](bool ok, int, const QString& text) {
            success = ok;
            message = text;
        });
        g_bOpenCamera = true;
        worker.doWork();
        g_bOpenCamera = false;
    }
    setUpgradeFileFolder(QString());
    QVERIFY2(success, qPrintable(message));
    const QVector<QJsonObject> events = m_bench->journal();
    QCOMPARE(upgradeTrace(events), trace);
    // The camera's interfaces were taken for the audio module and the entry block; the camera
    // then left the bus, and comes back as a new device with its driver bound.
    if (stage == QLatin1String("normal"))
        QCOMPARE(::bindings(events), kDetachBoth);
    QTRY_VERIFY(!m_bench->rig().cameras().first().inBootStage());
    QCOMPARE(m_bench->usb(0).driver, QStringLiteral("uvcvideo"));
}

void TstKernelMac::deckctlMacUpgradeProgram_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("trace");
    QTest::addColumn<QString>("out"); // standard output, or for a failure a part of standard error
    QTest::newRow("upgrade") << "normal" << QStringList{"--detach-kernel-driver", "upgrade"}
                             << QStringList{"audio-image", "entry:camera"} + kScriptTrace
                             << "Upgrade done.\n";
    QTest::newRow("recover") << "uboot" << QStringList{"recover"} << kScriptTrace << "Upgrade done.\n";
    // Without consent the camera is left alone, and the reason says what to do.
    QTest::newRow("upgrade without consent") << "normal" << QStringList{"upgrade"} << QStringList()
                                             << "with --detach-kernel-driver deckctl-mac takes it";
}

void TstKernelMac::deckctlMacUpgradeProgram()
{
    QFETCH(QString, stage);
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, trace);
    QFETCH(QString, out);
    if (QStringLiteral(DECKCTL_MAC_PROGRAM).isEmpty())
        QSKIP("deckctl-mac is not built in this configuration");
    START({camera(QStringLiteral("1-1"), QJsonObject{{QStringLiteral("stage"), stage}})});
    m_bench->journal();
    QTemporaryDir home;
    const QString archive = home.filePath(QStringLiteral("qb18.zip"));
    QVERIFY(writeStoredZip(archive, {{"auto_update.txt", kCameraScript},
                                     {"scripts/readme", "s"},
                                     {"kernel", pattern(3000, 2)},
                                     {"miservice.ubifs", "image of QB18 firmware" + QByteArray(32, '\0')},
                                     {"xmos.dfu", pattern(100, 3)}}));
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.remove(QStringLiteral("DECKCTL_VIRTUAL_CAMERA"));
    env.remove(QStringLiteral("DECKCTL_VERBOSE"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(DECKCTL_MAC_PROGRAM), arguments << archive);
    // The fixed wait after the camera's entry block is part of the run.
    QVERIFY(process.waitForFinished(90000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    const bool succeeds = !trace.isEmpty();
    QVERIFY2(process.exitCode() == (succeeds ? 0 : 1), qPrintable(err));
    if (succeeds)
        QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()), out);
    else
        QVERIFY2(err.contains(out), qPrintable(err));
    QCOMPARE(upgradeTrace(m_bench->journal()), trace);
    QTRY_VERIFY(!m_bench->rig().cameras().first().inBootStage());
    QCOMPARE(m_bench->usb(0).driver, QStringLiteral("uvcvideo"));
}

// The test's own main: without the preload the program reports SKIP to CTest.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    TstKernelMac test;
    const int failures = QTest::qExec(&test, argc, argv);
    if (failures == 0 && test.emulationUnavailable())
        return 77; // reported as skipped
    return failures;
}

#include "tst_kernel_mac.moc"
