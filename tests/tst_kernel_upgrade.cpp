// The Linux mass-storage binding (LinuxMassStorageBackend: libudev listing, libusb bulk-only
// transport) and the upgrade protocol above it (libsstarufu), end to end against emulated kernel
// devices. The program runs under umockdev-wrapper; EmulatedCameras and EmulatedLoaders present
// the virtual cameras and their boot stages as USB devices (uvcvideo nodes, and mass-storage
// devices with SCSI devices in sysfs and usbfs nodes), and the production code does its real
// libudev, open(), ioctl() and libusb calls on them. Every answer comes from the device model;
// the rig's journal shows what reached the device, the usbfs face's bookkeeping what the code did
// to the kernel (opened, claimed, detached, released).
//
// Without umockdev's preload library the whole program reports SKIP (exit code 77).

#include "cli/cli.h"
#include "device/deviceplatform.h"
#include "device/linuxmassstorage.h"
#include "device/massstorage.h"
#include "device/uvcextensionunit.h"
#include "device/videobackend.h"
#include "mac/libusbbulkbus.h"
#include "mac/scsiconnect.h"
#include "sim/umockdev/umockdevcamera.h"
#include "sim/umockdev/umockdevloader.h"
#include "sim/virtualcamera.h"
#include "sim/virtualrig.h"
#include "tests/support/emulatedbench.h"
#include "tests/support/logcapture.h"
#include "tests/support/packagebuilder.h"
#include "tests/support/withoutcapabilities.h"
#include "upgrade/libsstarufu.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QTemporaryDir>
#include <QtTest>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The upgrade code logs every line it runs; the test keeps that out of its output but looks at it.
bool logged(const QString& line)
{
    return LogCapture::count(line) > 0;
}

QJsonObject camera(int model, const QString& stage, const QString& port = QStringLiteral("1-1"))
{
    return {
        {QStringLiteral("model"), model}, {QStringLiteral("stage"), stage}, {QStringLiteral("port"), port}};
}

QJsonObject with(QJsonObject configuration, const QString& key, const QJsonValue& value)
{
    configuration.insert(key, value);
    return configuration;
}

QJsonObject withFaults(const QJsonObject& configuration, const QByteArray& faults)
{
    return with(configuration, QStringLiteral("loaderFaults"), QJsonDocument::fromJson(faults).object());
}

// A user's own USB drive: mass storage with another vendor identification.
QJsonObject userDrive(const QString& port)
{
    return with(camera(7, QStringLiteral("uboot"), port), QStringLiteral("loader"),
                QJsonObject{{QStringLiteral("vendor"), QStringLiteral("SanDisk")},
                            {QStringLiteral("product"), QStringLiteral("Cruzer Blade")}});
}

// The testbed with its two faces and the journal of everything the cameras received.
class Bench : public EmulatedBench
{
public:
    explicit Bench(const QVector<QJsonObject>& configurations)
        : EmulatedBench(configurations), m_loaders(EmulatedBench::cameras())
    {
    }

    bool isValid() const { return EmulatedBench::cameras().isValid() && m_loaders.isValid(); }
    QString errorString() const { return EmulatedBench::cameras().errorString() + m_loaders.errorString(); }
    EmulatedLoaders& loaders() { return m_loaders; }
    // The enumeration of camera's loader that is plugged now, or the last one.
    EmulatedUsbActivity usb(int camera) const
    {
        const QVector<EmulatedUsbActivity> all = m_loaders.enumerations(camera);
        return all.isEmpty() ? EmulatedUsbActivity() : all.last();
    }

    // The journal's events since the previous call.
    QVector<QJsonObject> journal() { return journalReader().fresh(); }

private:
    EmulatedLoaders m_loaders; // destroyed before the testbed it extends
};

int usbfs(int fd, unsigned long request, void* arg)
{
    return ::ioctl(fd, request, arg) == 0 ? 0 : errno;
}

int submitBulk(int fd, usbdevfs_urb* urb, unsigned char endpoint, void* data, int length)
{
    std::memset(urb, 0, sizeof *urb);
    urb->type = USBDEVFS_URB_TYPE_BULK;
    urb->endpoint = endpoint;
    urb->buffer = data;
    urb->buffer_length = length;
    return usbfs(fd, USBDEVFS_SUBMITURB, urb);
}

// The URB reaped, or nullptr with *error set.
usbdevfs_urb* reap(int fd, int* error)
{
    void* urb = nullptr;
    *error = usbfs(fd, USBDEVFS_REAPURBNDELAY, &urb);
    return static_cast<usbdevfs_urb*>(urb);
}

// Whether the node polls writable now: what libusb waits for.
bool reapable(int fd)
{
    pollfd entry{fd, POLLOUT, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLOUT);
}

QByteArray readSysfs(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

std::array<std::uint8_t, sstar::kStatusLength> readStatusWord()
{
    std::array<std::uint8_t, sstar::kStatusLength> word{};
    USB_ScsiReadStatus(word.data(), int(word.size()), 0);
    return word;
}

QString hex(const std::uint8_t* data, int size)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(data), size).toHex());
}

int runCommand(const QByteArray& text)
{
    QByteArray bytes = text;
    return libsstarufu_do_sstar_scsi_command(sstar::RUNCMD, sstar::Direction::ToDevice,
                                             reinterpret_cast<std::uint8_t*>(bytes.data()),
                                             static_cast<std::uint32_t>(bytes.size()));
}

} // namespace

class TstKernelUpgrade : public QObject
{
    Q_OBJECT
public:
    bool emulationUnavailable() const { return m_unavailable; }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    // The emulation shows and answers what the kernel would, so that the tests below mean something.
    void emulatedDevicesAsTheKernelShowsThem();
    void usbfsIsAsStrictAsTheKernel();

    // Discovery by brand through sysfs, touching nothing but the accepted device.
    void listingReadsTheKernelsIdentification();
    void discovery_data();
    void discovery();
    void discoveryOfTheDeviceItHolds();
    void bootStageWithoutPermissionIsNamed();

    // The bulk-only transport over libusb.
    void scriptOverTheRealTransport();
    void stallInTheDataPhase_data();
    void stallInTheDataPhase();
    void statusWrapperWithAnotherTag();
    void exitDeviceReleasesTheInterface();
    void rawUsbEditionOverUsbfs();

    // Boot stages, re-enumeration and the way back to a camera.
    void bootStageClimb();
    void cameraEntersItsLoaderAndComesBack();

private:
    bool start(const QVector<QJsonObject>& configurations);
    void writeFile(const QString& name, const QByteArray& content);
    QVector<VideoDeviceInfo> cameraList() { return devicePlatform().video().listCaptureDevices(); }

    std::unique_ptr<Bench> m_bench;
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<QTemporaryDir> m_package;
    bool m_unavailable = false;
};

#define START(...) QVERIFY2(start(__VA_ARGS__), qPrintable(m_bench->errorString()))

void TstKernelUpgrade::initTestCase()
{
    const EmulatedCameras probe{QVector<VirtualCamera>()};
    if (!probe.emulationActive()) {
        m_unavailable = true;
        QSKIP("umockdev's preload library is not loaded: run this program under umockdev-wrapper");
    }
    m_log = std::make_unique<LogCapture>(LogCapture::Form::Kind, true);
}

void TstKernelUpgrade::cleanupTestCase()
{
    m_log.reset();
}

void TstKernelUpgrade::init()
{
    m_package = std::make_unique<QTemporaryDir>();
    QVERIFY(m_package->isValid());
    setUpgradeFileFolder(m_package->path());
    LogCapture::clear();
}

void TstKernelUpgrade::cleanup()
{
    // Everything that reaches the emulated devices goes before the testbed: the handle, then the
    // platform with its libusb context (and libusb's hot-plug thread).
    USB_ExitDevice();
    installDevicePlatform(nullptr);
    m_bench.reset();
    setUpgradeFileFolder(QString());
}

bool TstKernelUpgrade::start(const QVector<QJsonObject>& configurations)
{
    // The platform (and libusb in it) starts on first use, after the testbed exists.
    installDevicePlatform(nullptr);
    m_bench = std::make_unique<Bench>(configurations);
    return m_bench->isValid();
}

void TstKernelUpgrade::writeFile(const QString& name, const QByteArray& content)
{
    QFile file(m_package->filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

// ---------------------------------------------------------------------------------------------
// The emulation

void TstKernelUpgrade::emulatedDevicesAsTheKernelShowsThem()
{
    START({camera(7, QStringLiteral("uboot"), QStringLiteral("1-1")),
           camera(7, QStringLiteral("rom"), QStringLiteral("1-2")),
           camera(6, QStringLiteral("normal"), QStringLiteral("1-3"))});
    const EmulatedLoaderNodes uboot = m_bench->loaders().nodes(0);
    const EmulatedLoaderNodes rom = m_bench->loaders().nodes(1);
    QVERIFY(m_bench->loaders().nodes(2).usbDevice.isEmpty()); // a camera, no loader
    QVERIFY(!m_bench->cameras().nodes(2).captureNode.isEmpty());
    QVERIFY(m_bench->cameras().nodes(0).captureNode.isEmpty());

    // The USB device and its one bulk-only interface.
    QCOMPARE(readSysfs(uboot.usbDevice + QStringLiteral("/idVendor")), QByteArray("1d6b\n"));
    QCOMPARE(readSysfs(uboot.usbDevice + QStringLiteral("/busnum")), QByteArray("1\n"));
    QCOMPARE(readSysfs(uboot.usbDevice + QStringLiteral("/devnum")), QByteArray::number(uboot.devnum) + '\n');
    QCOMPARE(uboot.usbNode, QStringLiteral("/dev/bus/usb/001/%1").arg(uboot.devnum, 3, 10, QLatin1Char('0')));
    QVERIFY(uboot.devnum != rom.devnum);
    QCOMPARE(readSysfs(uboot.usbInterface + QStringLiteral("/bInterfaceClass")), QByteArray("08\n"));
    QCOMPARE(readSysfs(uboot.usbInterface + QStringLiteral("/bInterfaceSubClass")), QByteArray("06\n"));
    QCOMPARE(readSysfs(uboot.usbInterface + QStringLiteral("/bInterfaceProtocol")), QByteArray("50\n"));
    QCOMPARE(readSysfs(uboot.usbInterface + QStringLiteral("/ep_81/type")), QByteArray("Bulk\n"));
    QCOMPARE(readSysfs(uboot.usbInterface + QStringLiteral("/ep_02/bEndpointAddress")), QByteArray("02\n"));
    const QByteArray descriptors = readSysfs(uboot.usbDevice + QStringLiteral("/descriptors"));
    QCOMPARE(descriptors.size(), 18 + 32);
    QCOMPARE(descriptors.mid(18 + 9, 9).toHex(), QByteArray("090400000208065000"));

    // The SCSI device below it, identified as the kernel keeps it: padded, and blanks from the
    // first zero byte on (the boot ROM's product starts with one).
    QVERIFY(uboot.scsiDevice.startsWith(uboot.usbInterface + QStringLiteral("/host")));
    QCOMPARE(readSysfs(uboot.scsiDevice + QStringLiteral("/vendor")), QByteArray("QB18_001\n"));
    QCOMPARE(readSysfs(uboot.scsiDevice + QStringLiteral("/model")), QByteArray("UBOOT USB DISK  \n"));
    QCOMPARE(readSysfs(rom.scsiDevice + QStringLiteral("/model")), QByteArray(16, ' ') + '\n');
    QCOMPARE(readSysfs(rom.scsiDevice + QStringLiteral("/inquiry")).mid(16, 10),
             QByteArray("\0SSTAR ROM", 10));

    // Nothing of that reached a device.
    QVERIFY(m_bench->journal().isEmpty());
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(m_bench->usb(i).ioctls, 0);
        QCOMPARE(m_bench->usb(i).driver, QStringLiteral("usb-storage"));
    }
}

void TstKernelUpgrade::usbfsIsAsStrictAsTheKernel()
{
    START({camera(7, QStringLiteral("uboot"))});
    const EmulatedLoaderNodes nodes = m_bench->loaders().nodes(0);
    Fd node(nodes.usbNode);
    QVERIFY2(node.fd >= 0, strerror(errno));

    // usb-storage holds the interface: no claim, no transfer until it is detached.
    usbdevfs_getdriver driver{};
    QCOMPARE(usbfs(node.fd, USBDEVFS_GETDRIVER, &driver), 0);
    QCOMPARE(QByteArray(driver.driver), QByteArray("usb-storage"));
    unsigned int interface = 0;
    QCOMPARE(usbfs(node.fd, USBDEVFS_CLAIMINTERFACE, &interface), EBUSY);
    std::array<std::uint8_t, 64> buffer{};
    usbdevfs_urb urb{};
    QCOMPARE(submitBulk(node.fd, &urb, 0x02, buffer.data(), 31), EBUSY);
    usbdevfs_ioctl detach{0, int(USBDEVFS_DISCONNECT), nullptr};
    QCOMPARE(usbfs(node.fd, USBDEVFS_IOCTL, &detach), 0);
    QVERIFY(!QFile::exists(nodes.scsiDevice)); // usb-storage took its SCSI host along
    QVERIFY(m_bench->loaders().nodes(0).scsiDevice.isEmpty());
    QCOMPARE(usbfs(node.fd, USBDEVFS_GETDRIVER, &driver), ENODATA);
    QCOMPARE(usbfs(node.fd, USBDEVFS_IOCTL, &detach), ENODATA);
    interface = 1;
    QCOMPARE(usbfs(node.fd, USBDEVFS_CLAIMINTERFACE, &interface), ENOENT);
    interface = 0;
    QCOMPARE(usbfs(node.fd, USBDEVFS_RELEASEINTERFACE, &interface), EINVAL);
    QCOMPARE(usbfs(node.fd, USBDEVFS_CLAIMINTERFACE, &interface), 0);
    QCOMPARE(usbfs(node.fd, USBDEVFS_GETDRIVER, &driver), 0);
    QCOMPARE(QByteArray(driver.driver), QByteArray("usbfs"));
    QCOMPARE(submitBulk(node.fd, &urb, 0x83, buffer.data(), 13), ENOENT);
    unsigned int endpoint = 0x01;
    QCOMPARE(usbfs(node.fd, USBDEVFS_CLEAR_HALT, &endpoint), ENOENT);

    // Nothing to reap: the node does not poll writable, so libusb sleeps instead of spinning.
    int error = 0;
    QVERIFY(!reapable(node.fd));
    QVERIFY(!reap(node.fd, &error));
    QCOMPARE(error, EAGAIN);

    // An INQUIRY, wrapper by wrapper; every URB completes with the device's answer.
    std::array<std::uint8_t, 31> command = {0x55, 0x53, 0x42, 0x43, 0x07, 0, 0, 0, 36, 0, 0,
                                            0,    0x80, 0,    6,    0x12, 0, 0, 0, 36, 0};
    QCOMPARE(submitBulk(node.fd, &urb, 0x02, command.data(), 31), 0);
    QVERIFY(reapable(node.fd));
    usbdevfs_urb* done = reap(node.fd, &error);
    QCOMPARE(error, 0);
    QCOMPARE(done, &urb);
    QCOMPARE(urb.status, 0);
    QCOMPARE(urb.actual_length, 31);
    QVERIFY(!reapable(node.fd));
    QCOMPARE(submitBulk(node.fd, &urb, 0x81, buffer.data(), 36), 0);
    QCOMPARE(reap(node.fd, &error), &urb);
    QCOMPARE(urb.actual_length, 36);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer.data()) + 8, 8), QByteArray("QB18_001"));
    QCOMPARE(submitBulk(node.fd, &urb, 0x81, buffer.data(), 13), 0);
    QCOMPARE(reap(node.fd, &error), &urb);
    QCOMPARE(hex(buffer.data(), 13), QStringLiteral("55534253070000000000000000"));

    // An IN URB the device has nothing for waits (the device NAKs) until it is discarded.
    QCOMPARE(submitBulk(node.fd, &urb, 0x81, buffer.data(), 13), 0);
    QVERIFY(!reapable(node.fd));
    QVERIFY(!reap(node.fd, &error));
    QCOMPARE(error, EAGAIN);
    QCOMPARE(::ioctl(node.fd, USBDEVFS_DISCARDURB, &urb), 0);
    QCOMPARE(usbfs(node.fd, USBDEVFS_DISCARDURB, &urb), EINVAL); // not in flight any more
    QVERIFY(reapable(node.fd));
    QCOMPARE(reap(node.fd, &error), &urb);
    QCOMPARE(urb.status, -ENOENT);

    // A command wrapper the device does not take stalls the URB.
    QCOMPARE(submitBulk(node.fd, &urb, 0x02, buffer.data(), 30), 0);
    QCOMPARE(reap(node.fd, &error), &urb);
    QCOMPARE(urb.status, -EPIPE);

    const EmulatedUsbActivity usb = m_bench->usb(0);
    QCOMPARE(usb.opens, 1);
    QCOMPARE(usb.claims, 1);
    QCOMPARE(usb.driverDetaches, 1);
    QCOMPARE(usb.urbs, 5);
    QCOMPARE(usb.stalledUrbs, 1);
    QVERIFY2(usb.unknownIoctls.isEmpty(), qPrintable(usb.unknownIoctls.join(QLatin1Char(' '))));
    QCOMPARE(countEvents(m_bench->journal(), QStringLiteral("inquiry")), 1);
}

// ---------------------------------------------------------------------------------------------
// Discovery

void TstKernelUpgrade::listingReadsTheKernelsIdentification()
{
    START({userDrive(QStringLiteral("1-1")), camera(7, QStringLiteral("rom"), QStringLiteral("1-2")),
           camera(7, QStringLiteral("normal"), QStringLiteral("1-3"))});
    const QVector<MassStorageCandidate> listed = devicePlatform().massStorage().listDevices();
    QCOMPARE(listed.size(), 2);
    LinuxMassStorageKey drive;
    drive.bus = 1;
    drive.address = m_bench->loaders().nodes(0).devnum;
    drive.endpointIn = 0x81;
    drive.endpointOut = 0x02;
    LinuxMassStorageKey rom = drive;
    rom.address = m_bench->loaders().nodes(1).devnum;
    QCOMPARE(listed.at(0).key, formatLinuxMassStorageKey(drive));
    QCOMPARE(listed.at(0).vendor, QByteArray("SanDisk "));
    QCOMPARE(listed.at(0).product, QByteArray("Cruzer Blade    "));
    QCOMPARE(listed.at(1).key, formatLinuxMassStorageKey(rom));
    QCOMPARE(listed.at(1).vendor, QByteArray("QB18_001"));
    QCOMPARE(listed.at(1).product, QByteArray(16, ' '));
    // The USB ids of the device that carries it; this user may use it.
    QCOMPARE(listed.at(1).vendorId, 0x1D6B);
    QCOMPARE(listed.at(1).productId, 0xC015);
    QCOMPARE(devicePlatform().massStorage().checkAccess(listed.at(1).key), 0);
    // Listing opened nothing.
    for (int i = 0; i < 2; ++i)
        QCOMPARE(m_bench->usb(i).ioctls, 0);
    QVERIFY(m_bench->journal().isEmpty());
}

void TstKernelUpgrade::bootStageWithoutPermissionIsNamed()
{
    START({camera(7, QStringLiteral("rom"), QStringLiteral("1-2"))});
    const QByteArray node =
        QFile::encodeName(m_bench->cameras().rootDirectory() + m_bench->loaders().nodes(0).usbNode);
    struct stat before = {};
    QVERIFY2(::stat(node.constData(), &before) == 0, node.constData());
    // The node as it is without the rule: not for this user.
    QCOMPARE(::chmod(node.constData(), 0), 0);
    QVector<BootStageDevice> listed;
    QString listOut, listErr, recoverOut, recoverErr;
    int listStatus = -1;
    int recoverStatus = -1;
    writeFile(QStringLiteral("package.zip"), "not opened: the device is refused first");
    {
        WithoutCapabilities unprivileged;
        QVERIFY(unprivileged.dropped());
        listed = listBootStageDevices(0);
        QTextStream out(&listOut), err(&listErr);
        listStatus = cli::run({QStringLiteral("list")}, out, err);
        QTextStream out2(&recoverOut), err2(&recoverErr);
        recoverStatus = cli::run(
            {QStringLiteral("recover"), m_package->filePath(QStringLiteral("package.zip"))}, out2, err2);
    }
    QCOMPARE(::chmod(node.constData(), before.st_mode & 07777), 0);
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.at(0).accessError, -EACCES);

    // list shows the camera waiting in its boot stage and names the device it may not open.
    QVERIFY2(listOut.startsWith(QLatin1String("0\tboot stage ROM\t")) &&
                 listOut.contains(QLatin1String("\t1d6b:c015\tneeds recover")),
             qPrintable(listOut));
    QCOMPARE(listStatus, 0);
    const QString message =
        QStringLiteral("deckctl-cli: no permission to open the boot-stage device 1d6b:c015: the udev rule");
    QVERIFY2(listErr.startsWith(message) && listErr.contains(QLatin1String("udevadm trigger")),
             qPrintable(listErr));
    // recover says so at once instead of failing in the middle of the upgrade; nothing was sent.
    QCOMPARE(recoverStatus, 1);
    QVERIFY2(recoverErr.startsWith(message), qPrintable(recoverErr));
    QCOMPARE(m_bench->usb(0).ioctls, 0);
    QVERIFY(m_bench->journal().isEmpty());
}

void TstKernelUpgrade::discovery_data()
{
    QTest::addColumn<QJsonArray>("configurations");
    QTest::addColumn<int>("brand");
    QTest::addColumn<bool>("found");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("accepted"); // the camera that is opened and claimed (-1: none)

    const QString uboot = QStringLiteral("uboot");
    QTest::newRow("QB18 in U-Boot") << QJsonArray{camera(7, uboot)} << 0 << true << int(UBoot) << 0;
    QTest::newRow("boot ROM, whose model shows blanks")
        << QJsonArray{camera(7, QStringLiteral("rom"))} << 0 << true << int(ROM) << 0;
    QTest::newRow("ARDEN for brand 1") << QJsonArray{camera(1, uboot)} << 1 << true << int(UBoot) << 0;
    QTest::newRow("ARDEN refused for brand 0")
        << QJsonArray{camera(1, uboot)} << 0 << false << int(Other) << -1;
    QTest::newRow("user's drive listed before the camera")
        << QJsonArray{userDrive(QStringLiteral("1-1")), camera(7, uboot, QStringLiteral("1-2"))} << 0 << true
        << int(UBoot) << 1;
    QTest::newRow("camera in normal operation")
        << QJsonArray{camera(7, QStringLiteral("normal"))} << 0 << false << int(Other) << -1;
    QTest::newRow("nothing attached") << QJsonArray{} << 0 << false << int(Other) << -1;
}

void TstKernelUpgrade::discovery()
{
    QFETCH(QJsonArray, configurations);
    QFETCH(int, brand);
    QFETCH(bool, found);
    QFETCH(int, state);
    QFETCH(int, accepted);
    QVector<QJsonObject> cameras;
    for (const QJsonValue& value : qAsConst(configurations))
        cameras << value.toObject();
    START(cameras);

    DeviceState result = UBoot;
    QCOMPARE(USB_ScsiFindDevice(brand, result), found);
    QCOMPARE(int(result), state);

    // Discovery only read identification: no device was opened, detached or claimed.
    for (int i = 0; i < cameras.size(); ++i) {
        const EmulatedUsbActivity usb = m_bench->usb(i);
        if (m_bench->loaders().enumerations(i).isEmpty())
            continue; // no mass storage: a camera
        QVERIFY(usb.unknownIoctls.isEmpty());
        QCOMPARE(usb.opens, 0);
        QCOMPARE(usb.ioctls, 0);
        QCOMPARE(usb.driver, QStringLiteral("usb-storage"));
    }
    QCOMPARE(countEvents(m_bench->journal(), QStringLiteral("inquiry")), 0);

    // The first command opens the accepted device alone: usb-storage detached, claimed once.
    if (accepted < 0)
        return;
    std::array<std::uint8_t, sstar::kInquiryLength> answer{};
    QCOMPARE(USB_ScsiInquiry(answer.data()), 0);
    for (int i = 0; i < cameras.size(); ++i) {
        const EmulatedUsbActivity usb = m_bench->usb(i);
        if (m_bench->loaders().enumerations(i).isEmpty())
            continue;
        if (i == accepted) {
            QCOMPARE(usb.opens, 1);
            QCOMPARE(usb.driverDetaches, 1);
            QCOMPARE(usb.claims, 1);
            QCOMPARE(usb.implicitClaims, 0);
            QCOMPARE(usb.driver, QStringLiteral("usbfs"));
            QCOMPARE(usb.urbs, 3); // one INQUIRY: command, data, status
        } else {
            QCOMPARE(usb.opens, 0);
            QCOMPARE(usb.driver, QStringLiteral("usb-storage"));
        }
    }
    for (const QJsonObject& e : m_bench->journal())
        QCOMPARE(e.value(QStringLiteral("camera")).toInt(), accepted);
}

void TstKernelUpgrade::discoveryOfTheDeviceItHolds()
{
    // The upgrade worker looks for the device again while it holds it (doWork, then
    // upgradeCamera; sendUpdaterImage, then the updater's discovery): the device must be asked
    // through the handle it has.
    START({camera(7, QStringLiteral("uboot"))});
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, UBoot);
    std::array<std::uint8_t, sstar::kInquiryLength> answer{};
    QCOMPARE(USB_ScsiInquiry(answer.data()), 0); // the first command opens and claims it
    // Claiming detached usb-storage, and the kernel removed the SCSI device with it.
    QVERIFY(m_bench->loaders().nodes(0).scsiDevice.isEmpty());
    m_bench->journal();

    state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, UBoot);
    QCOMPARE(m_bench->usb(0).opens, 1);
    QCOMPARE(countEvents(m_bench->journal(), QStringLiteral("inquiry")), 1);
}

// ---------------------------------------------------------------------------------------------
// Transport

void TstKernelUpgrade::scriptOverTheRealTransport()
{
    START({camera(7, QStringLiteral("uboot"))});
    const QByteArray kernel = pattern(3000, 3);
    writeFile(QStringLiteral("kernel.bin"), kernel);
    writeFile(QStringLiteral("auto_update.txt"), "# camera\nsetenv bootargs  console=ttyS0\n"
                                                 "tftp 0x21000000 kernel.bin\n"
                                                 "mmc write 0x21000000 0x800 0x10\n");
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, UBoot);
    m_bench->journal();

    QCOMPARE(runUpgradeScript(QStringLiteral("auto_update.txt"), 0), 0);
    const QVector<QJsonObject> events = m_bench->journal();
    QCOMPARE(eventFields(events, QStringLiteral("runcmd"), QStringLiteral("text")),
             (QStringList{"setenv bootargs console=ttyS0", "mmc write 0x21000000 0x800 0x10"}));
    QCOMPARE(eventFields(events, QStringLiteral("loadinfo"), QStringLiteral("address")),
             QStringList{QString::number(0x21000000)});
    QCOMPARE(eventFields(events, QStringLiteral("loadinfo"), QStringLiteral("md5")),
             QStringList{md5Hex(kernel)});
    QCOMPARE(eventFields(events, QStringLiteral("load"), QStringLiteral("md5")), QStringList{md5Hex(kernel)});
    QCOMPARE(eventFields(events, QStringLiteral("load"), QStringLiteral("ok")), QStringList{"true"});
    QCOMPARE(eventFields(events, QStringLiteral("data-end"), QStringLiteral("size")), QStringList{"3000"});
    QCOMPARE(eventFields(events, QStringLiteral("status"), QStringLiteral("data")),
             (QStringList{"0d000000", "0d000000", "0d000000"}));
    QCOMPARE(countEvents(events, QStringLiteral("stall")), 0);

    // Seven commands (two lines with their status, the load header, the image and its status),
    // each exactly a command, a data and a status URB, claimed once; discovery sent none.
    const EmulatedUsbActivity usb = m_bench->usb(0);
    QCOMPARE(usb.urbs, 7 * 3);
    QCOMPARE(usb.stalledUrbs, 0);
    QVERIFY(usb.clearedHalts.isEmpty());
    QVERIFY(usb.controlSetups.isEmpty());
    QCOMPARE(usb.claims, 1);
    QCOMPARE(usb.implicitClaims, 0);
    QVERIFY2(usb.unknownIoctls.isEmpty(), qPrintable(usb.unknownIoctls.join(QLatin1Char(' '))));
}

// deckctl-mac's boot-stage path (libusb device table, its wrappers and its script runner) over the
// same emulated usbfs.
void TstKernelUpgrade::rawUsbEditionOverUsbfs()
{
    START({camera(7, QStringLiteral("uboot"))});
    const QByteArray kernel = pattern(3000, 3);
    writeFile(QStringLiteral("kernel.bin"), kernel);
    writeFile(QStringLiteral("auto_update.txt"),
              "setenv bootargs quiet\ntftp 0x21000000 kernel.bin\nreset\n");
    const EmulatedLoaderNodes uboot = m_bench->loaders().nodes(0);
    const int vendorId =
        readSysfs(uboot.usbDevice + QStringLiteral("/idVendor")).trimmed().toInt(nullptr, 16);
    const int productId =
        readSysfs(uboot.usbDevice + QStringLiteral("/idProduct")).trimmed().toInt(nullptr, 16);
    m_bench->journal();
    {
        LibusbBulkBus bus;
        sstarusb::DeviceTable table(bus);
        SCSIConnect connect(table);
        connect.setG_vid(vendorId);
        connect.setG_pid(productId);
        QVERIFY(connect.upgradeStart());
        QCOMPARE(connect.g_dev_state(), UBoot);
        QVERIFY(connect.autoUpdate(QStringLiteral("auto_update.txt"), m_package->path() + QLatin1Char('/')));
    }
    const QVector<QJsonObject> events = m_bench->journal();
    QCOMPARE(eventFields(events, QStringLiteral("runcmd"), QStringLiteral("text")),
             (QStringList{"setenv bootargs quiet", "setenv ota_upgrade_status 0", "saveenv", "reset"}));
    QCOMPARE(eventFields(events, QStringLiteral("runcmd"), QStringLiteral("length")),
             (QStringList{"", "28", "8", "6"}));
    QCOMPARE(eventFields(events, QStringLiteral("load"), QStringLiteral("md5")), QStringList{md5Hex(kernel)});
    const EmulatedUsbActivity usb = m_bench->usb(0);
    QCOMPARE(usb.stalledUrbs, 0);
    QCOMPARE(usb.claims, 1);
    QVERIFY2(usb.unknownIoctls.isEmpty(), qPrintable(usb.unknownIoctls.join(QLatin1Char(' '))));
}

void TstKernelUpgrade::stallInTheDataPhase_data()
{
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<bool>("statusRead"); // a status read after "version"; else the command alone
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("word");
    QTest::addColumn<QStringList>("received"); // command lines the device took
    QTest::addColumn<int>("clearedEndpoint");
    // The device refused the command line's data: not delivered, and not sent again out of step.
    QTest::newRow("command line refused")
        << QByteArray(R"({"stall": {"command": "RUNCMD", "phase": "data", "count": 1}})") << false << -1
        << QString() << QStringList() << 0x02;
    // The device ended the status word's data phase early: its status wrapper still follows, and
    // the word keeps the bytes the device did not send.
    QTest::newRow("status word cut short")
        << QByteArray(R"({"stall": {"command": "STATUS", "phase": "data", "count": 1}})") << true << 0
        << QStringLiteral("ffffffff") << QStringList{"version"} << 0x81;
}

void TstKernelUpgrade::stallInTheDataPhase()
{
    QFETCH(QByteArray, faults);
    QFETCH(bool, statusRead);
    QFETCH(int, result);
    QFETCH(QString, word);
    QFETCH(QStringList, received);
    QFETCH(int, clearedEndpoint);
    START({withFaults(camera(7, QStringLiteral("uboot")), faults)});
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    m_bench->journal();
    const int urbsBefore = m_bench->usb(0).urbs;

    if (statusRead) {
        QCOMPARE(USB_ScsiRunCmd("version", 7), 0);
        QCOMPARE(hex(readStatusWord().data(), 4), word);
    } else {
        QCOMPARE(runCommand("version"), result);
    }
    QVector<QJsonObject> events = m_bench->journal();
    QCOMPARE(eventFields(events, QStringLiteral("runcmd"), QStringLiteral("text")), received);
    QCOMPARE(countEvents(events, QStringLiteral("stall")), 1);
    QCOMPARE(countEvents(events, QStringLiteral("bot-reset")), 0);
    if (statusRead)
        QCOMPARE(countEvents(events, QStringLiteral("status")), 1); // read once, not repeated
    EmulatedUsbActivity usb = m_bench->usb(0);
    QCOMPARE(usb.stalledUrbs, 1);
    QCOMPARE(usb.clearedHalts, QVector<int>{clearedEndpoint});
    QVERIFY(usb.controlSetups.isEmpty());
    QCOMPARE(usb.urbs - urbsBefore, statusRead ? 6 : 3);

    // The transport is in step again.
    QCOMPARE(runCommand("printenv"), 0);
    QCOMPARE(eventFields(m_bench->journal(), QStringLiteral("runcmd"), QStringLiteral("text")),
             QStringList{"printenv"});
}

void TstKernelUpgrade::statusWrapperWithAnotherTag()
{
    START({withFaults(camera(7, QStringLiteral("uboot")),
                      R"({"wrongTag": {"command": "RUNCMD", "count": 1}})")});
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    m_bench->journal();

    // The device ran the line, but its status belongs to another command: the command fails
    // and a reset recovery (the class reset to interface 0, then both halts cleared) brings the
    // transport back in step.
    QCOMPARE(runCommand("version"), -1);
    QVector<QJsonObject> events = m_bench->journal();
    QCOMPARE(eventFields(events, QStringLiteral("runcmd"), QStringLiteral("text")), QStringList{"version"});
    QCOMPARE(countEvents(events, QStringLiteral("bot-reset")), 1);
    const EmulatedUsbActivity usb = m_bench->usb(0);
    QCOMPARE(usb.controlSetups, QStringList{"21ff000000000000"});
    QCOMPARE(usb.clearedHalts, (QVector<int>{0x81, 0x02}));
    QCOMPARE(usb.stalledUrbs, 0);

    QCOMPARE(runCommand("printenv"), 0);
    QCOMPARE(eventFields(m_bench->journal(), QStringLiteral("runcmd"), QStringLiteral("text")),
             QStringList{"printenv"});
}

void TstKernelUpgrade::exitDeviceReleasesTheInterface()
{
    START({camera(7, QStringLiteral("uboot"))});
    const QString scsiBefore = m_bench->loaders().nodes(0).scsiDevice;
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(m_bench->usb(0).driver, QStringLiteral("usb-storage")); // discovery claims nothing
    QCOMPARE(USB_ScsiRunCmd("printenv", 8), 0);
    QCOMPARE(m_bench->usb(0).driver, QStringLiteral("usbfs"));
    QVERIFY(devicePlatform().massStorage().listDevices().isEmpty()); // no SCSI device meanwhile

    USB_ExitDevice();
    const EmulatedUsbActivity usb = m_bench->usb(0);
    QCOMPARE(usb.releases, 1);
    QCOMPARE(usb.driverAttaches, 1);
    QCOMPARE(usb.driver, QStringLiteral("usb-storage"));
    QCOMPARE(countEvents(m_bench->journal(), QStringLiteral("release")), 1);
    // usb-storage scanned the device again: a new SCSI host with the same identification.
    const QString scsiAfter = m_bench->loaders().nodes(0).scsiDevice;
    QVERIFY(!scsiAfter.isEmpty());
    QVERIFY(scsiAfter != scsiBefore);
    const QVector<MassStorageCandidate> listed = devicePlatform().massStorage().listDevices();
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.first().product, QByteArray("UBOOT USB DISK  "));

    // Found again, and opened through a new descriptor by its next command.
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, UBoot);
    QCOMPARE(m_bench->usb(0).opens, 1);
    QCOMPARE(USB_ScsiRunCmd("printenv", 8), 0);
    QCOMPARE(m_bench->usb(0).opens, 2);
    QCOMPARE(m_bench->usb(0).claims, 2);
}

// ---------------------------------------------------------------------------------------------
// Boot stages

void TstKernelUpgrade::bootStageClimb()
{
    START({camera(7, QStringLiteral("rom"))});
    const QByteArray updater = pattern(2500, 1);
    const QByteArray bootLoader = pattern(2000, 2);
    const QByteArray kernel = pattern(3000, 3);
    writeFile(QStringLiteral("usb_updater.bin"), updater);
    writeFile(QStringLiteral("u-boot.bin"), bootLoader);
    writeFile(QStringLiteral("kernel.bin"), kernel);
    writeFile(QStringLiteral("auto_update.txt"), "tftp 0x21000000 kernel.bin\n"
                                                 "mmc write 0x21000000 0x800 0x10\nreset\n");
    QVERIFY(cameraList().isEmpty());

    // The boot ROM takes the updater in 1 KiB chunks and goes on as the updater on the same USB
    // device.
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, ROM);
    m_bench->journal();
    QCOMPARE(sendUpdaterImage(QStringLiteral("usb_updater.bin")), 0);
    QVector<QJsonObject> events = m_bench->journal();
    QCOMPARE(eventFields(events, QStringLiteral("data"), QStringLiteral("size")),
             (QStringList{"1024", "1024"}));
    QCOMPARE(eventFields(events, QStringLiteral("data-end"), QStringLiteral("size")), QStringList{"452"});
    QCOMPARE(eventFields(events, QStringLiteral("load"), QStringLiteral("md5")),
             QStringList{md5Hex(updater)});
    QCOMPARE(m_bench->loaders().enumerations(0).size(), 1);

    // Let go and look again (see discoveryOfTheDeviceItHolds): usb-storage scans the device and
    // now finds the updater.
    USB_ExitDevice();
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, Updater);
    const int updaterAddress = m_bench->loaders().nodes(0).devnum;

    // The updater takes the boot loader and restarts into it: a new USB device.
    QCOMPARE(loadUbootImage(QStringLiteral("u-boot.bin")), 0);
    events = m_bench->journal();
    QCOMPARE(eventFields(events, QStringLiteral("loadinfo"), QStringLiteral("address")),
             QStringList{QString::number(sstar::kBootLoaderAddress)});
    QCOMPARE(eventFields(events, QStringLiteral("load"), QStringLiteral("md5")),
             QStringList{md5Hex(bootLoader)});
    QCOMPARE(eventFields(events, QStringLiteral("reenumerate"), QStringLiteral("stage")),
             QStringList{"uboot"});
    const QVector<EmulatedUsbActivity> enumerations = m_bench->loaders().enumerations(0);
    QCOMPARE(enumerations.size(), 2);
    QVERIFY(!enumerations.at(0).present);
    QCOMPARE(enumerations.at(1).stage, QStringLiteral("uboot"));
    QCOMPARE(enumerations.at(1).devnum, updaterAddress + 1);
    QVERIFY(
        !QFile::exists(QStringLiteral("/dev/bus/usb/001/%1").arg(updaterAddress, 3, 10, QLatin1Char('0'))));

    // The handle to the old device reaches nothing any more.
    QCOMPARE(USB_ScsiRunCmd("version", 7), 0);
    QVERIFY(logged(QStringLiteral("D command not delivered (No such device): version\n")));
    QVERIFY(eventFields(m_bench->journal(), QStringLiteral("runcmd"), QStringLiteral("text")).isEmpty());

    // U-Boot is found as the new device and runs the camera's script up to its reset.
    USB_ExitDevice();
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, UBoot);
    QCOMPARE(m_bench->usb(0).opens, 0); // opened by its first command
    QCOMPARE(runUpgradeScript(QStringLiteral("auto_update.txt"), 0), 0);
    QCOMPARE(m_bench->usb(0).opens, 1);
    events = m_bench->journal();
    QCOMPARE(
        eventFields(events, QStringLiteral("runcmd"), QStringLiteral("text")),
        (QStringList{"mmc write 0x21000000 0x800 0x10", "setenv ota_upgrade_status 0", "saveenv", "reset"}));
    QCOMPARE(eventFields(events, QStringLiteral("load"), QStringLiteral("md5")), QStringList{md5Hex(kernel)});
    QCOMPARE(eventFields(events, QStringLiteral("reenumerate"), QStringLiteral("stage")),
             QStringList{"normal"});

    // Back as a camera: no mass storage, the camera in the camera list with a new address.
    USB_ExitDevice();
    QVERIFY(!USB_ScsiFindDevice(0, state));
    QCOMPARE(state, Other);
    QVERIFY(m_bench->loaders().nodes(0).usbDevice.isEmpty());
    QCOMPARE(m_bench->loaders().enumerations(0).size(), 2);
    const QVector<VideoDeviceInfo> cameras = cameraList();
    QCOMPARE(cameras.size(), 2); // capture and microphone nodes
    QCOMPARE(cameras.first().node, m_bench->cameras().nodes(0).captureNode);
    QVERIFY(cameras.first().devicePath.contains(QStringLiteral("vid_1d6b&pid_c015&")));
    QCOMPARE(readSysfs(m_bench->cameras().nodes(0).usbDevice + QStringLiteral("/devnum")),
             QByteArray::number(updaterAddress + 2) + '\n');
}

void TstKernelUpgrade::cameraEntersItsLoaderAndComesBack()
{
    START({with(camera(6, QStringLiteral("normal")), QStringLiteral("micNode"), true)});
    QCOMPARE(cameraList().size(), 2);
    QVERIFY(devicePlatform().massStorage().listDevices().isEmpty());

    // The camera takes the boot command on its extension unit, through its video node, and
    // restarts into U-Boot: its video nodes go, a mass-storage device comes.
    {
        UVCExtensionUnit unit;
        QVERIFY(unit.InitVideoDevice(QString(), VirtualCamera(6).friendlyName()));
        QVERIFY(unit.setUpdateCamera());
    }
    QVERIFY(cameraList().isEmpty());
    QVERIFY(m_bench->cameras().nodes(0).captureNode.isEmpty());
    const QVector<MassStorageCandidate> listed = devicePlatform().massStorage().listDevices();
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.first().vendor, QByteArray("QB18ZUSB"));

    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, UBoot);
    writeFile(QStringLiteral("auto_update.txt"), "reset\n");
    QCOMPARE(runUpgradeScript(QStringLiteral("auto_update.txt"), 0), 0);
    USB_ExitDevice();
    QCOMPARE(cameraList().size(), 2);
    QVERIFY(devicePlatform().massStorage().listDevices().isEmpty());
    QCOMPARE(eventFields(m_bench->journal(), QStringLiteral("reenumerate"), QStringLiteral("stage")),
             (QStringList{"uboot", "normal"}));
}

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    TstKernelUpgrade test;
    const int failures = QTest::qExec(&test, argc, argv);
    if (failures == 0 && test.emulationUnavailable())
        return 77; // reported as skipped
    return failures;
}

#include "tst_kernel_upgrade.moc"
