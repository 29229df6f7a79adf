// umockdev first: its GIO headers must be read before any Qt header could define "signals".
#include <umockdev.h>

#include "umockdevloader.h"

#include "sim/umockdev/umockdevdata.h"
#include "sim/umockdev/umockdevtestbed.h"
#include "sim/usbwords.h"

#include "sim/umockdev/umockdevcamera.h"
#include "sim/virtualcamera.h"
#include "sim/virtualrig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <linux/ioctl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kUsbDeviceMajor = 189;
constexpr unsigned int kInterface = 0;
constexpr std::uint8_t kEndpointIn = 0x81;
constexpr std::uint8_t kEndpointOut = 0x02;
constexpr int kMaxPacket = 512;
// usbfs nodes prepared per bus: addresses 2 .. 1 + kAddressWindow. Handlers are attached before
// any node exists, so that no open() can miss one.
constexpr int kAddressWindow = 40;
constexpr int kFirstScsiHost = 2; // hosts 0 and 1: the machine's own disks
constexpr int kInquiryLength = 36;

const QString kStorageDriver = QStringLiteral("usb-storage");
const QString kUsbfsDriver = QStringLiteral("usbfs");
const QString kVideoDriver = QStringLiteral("uvcvideo");

// Interface class and subclasses of a video function.
constexpr std::uint8_t kClassVideo = 0x0E;
constexpr std::uint8_t kSubclassVideoControl = 0x01;
constexpr std::uint8_t kSubclassVideoStreaming = 0x02;
constexpr std::uint8_t kDescriptorInterface = 0x04;

// What usbfs offers on a current xHCI controller.
constexpr std::uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                        USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// Standard and class requests the loader's control endpoint knows.
constexpr std::uint8_t kRequestGetStatus = 0x00;
constexpr std::uint8_t kRequestClearFeature = 0x01;
constexpr std::uint8_t kRequestGetDescriptor = 0x06;
constexpr std::uint8_t kRequestGetConfiguration = 0x08;
constexpr std::uint8_t kDescriptorTypeDevice = 0x01;
constexpr std::uint8_t kDescriptorTypeConfiguration = 0x02;
constexpr std::uint8_t kDescriptorTypeString = 0x03;
constexpr std::uint8_t kRequestTypeMask = 0x60; // 0: standard, 0x20: class, 0x40: vendor
constexpr std::uint16_t kLanguageUsEnglish = 0x0409;
// String indexes in the camera's device descriptor.
constexpr int kStringProduct = 2;
constexpr int kStringSerial = 3;
constexpr std::uint8_t kRequestMassStorageReset = 0xFF;
constexpr std::uint8_t kRequestGetMaxLun = 0xFE;
constexpr std::uint16_t kFeatureEndpointHalt = 0;
constexpr int kSetupLength = 8;

using namespace umockdev_data;
using namespace umockdev_testbed;

QByteArray hex2(int value)
{
    return QByteArray::number(value & 0xFF, 16).rightJustified(2, '0');
}

using usbwords::appendWord;

// The bus of a port name such as "1-2" or "3-1.4"; 0 when it is none.
int busOfPort(const QString& port)
{
    static const QRegularExpression pattern(
        QStringLiteral("^([1-9][0-9]{0,2})-([1-9][0-9]*(\\.[1-9][0-9]*)*)$"));
    const QRegularExpressionMatch match = pattern.match(port);
    if (!match.hasMatch())
        return 0;
    const int bus = match.captured(1).toInt();
    return bus <= 127 ? bus : 0;
}

// An INQUIRY identification as the kernel keeps it: every byte from the first zero byte on, and
// every byte outside 0x20..0x7E, becomes a blank (scsi_sanitize_inquiry_string).
QByteArray sanitized(QByteArray text)
{
    bool terminated = false;
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0)
            terminated = true;
        if (terminated || byte < 0x20 || byte > 0x7E)
            c = ' ';
    }
    return text;
}

// Device descriptor and the one configuration: interface 0, mass storage, SCSI transparent
// command set, bulk-only transport, with a bulk IN and a bulk OUT endpoint.
QByteArray loaderDescriptors(int vendorId, int productId)
{
    QByteArray d;
    d.append(char(18)).append(char(0x01));
    appendWord(d, 0x0200);
    d.append(char(0x00)).append(char(0x00)).append(char(0x00)).append(char(64));
    appendWord(d, vendorId);
    appendWord(d, productId);
    appendWord(d, 0x0100);
    d.append(char(0)).append(char(1)).append(char(0)).append(char(1));
    // Configuration 1: self-powered no, 100 mA.
    d.append(char(9)).append(char(0x02));
    appendWord(d, 9 + 9 + 7 + 7);
    d.append(char(1)).append(char(1)).append(char(0)).append(char(0x80)).append(char(50));
    d.append(char(9)).append(char(0x04)).append(char(kInterface)).append(char(0)).append(char(2));
    d.append(char(0x08)).append(char(0x06)).append(char(0x50)).append(char(0));
    for (const std::uint8_t endpoint : {kEndpointIn, kEndpointOut}) {
        d.append(char(7)).append(char(0x05)).append(static_cast<char>(endpoint)).append(char(0x02));
        appendWord(d, kMaxPacket);
        d.append(char(0));
    }
    return d;
}

// One URB the client submitted: the local copies of its usbdevfs_urb and of its buffer.
struct Urb
{
    DataPtr data;
    DataPtr buffer;

    unsigned long clientAddress() const { return data->client_addr; }
    usbdevfs_urb get() const { return load<usbdevfs_urb>(data.get()); }
    std::uint8_t* bytes() const { return buffer ? buffer->data : nullptr; }
    // A control request the device never answers: in flight until the client discards it.
    bool unanswered = false;
    // Ends the URB; the values reach the client when it is reaped.
    void finish(int status, int actualLength)
    {
        usbdevfs_urb urb = get(); // its buffer pointer stays the local one until written back
        urb.status = status;
        urb.actual_length = actualLength;
        urb.error_count = 0;
        store(data.get(), urb);
    }
};

struct UsbDevice;

// One open descriptor of a usbfs node.
struct Client
{
    UMockdevIoctlClient* client = nullptr; // referenced
    gulong notifyId = 0;
    UsbDevice* device = nullptr;
    std::deque<Urb> completed;
    std::vector<Urb> pending; // IN URBs the device has nothing for yet, unanswered control URBs
};

// One interface of a USB device as usbfs sees it.
struct Interface
{
    unsigned int number = 0;
    std::uint8_t interfaceClass = 0;
    std::uint8_t subclass = 0;
    unsigned int function = 0; // a video interface: the number of its function's VideoControl
    QString driver;            // bound now: a kernel driver, "usbfs", or empty
    Client* owner = nullptr;   // the descriptor that holds it through usbfs
};

// One enumeration of a loader, or a camera in normal operation: a USB device with its nodes.
struct UsbDevice
{
    bool isCamera = false; // a camera's usb_device (sysfs and video nodes: EmulatedCameras)
    int videoControl = -1; // a camera: its own VideoControl interface
    int camera = 0;
    int generation = 0;
    QString port;
    QByteArray devnode;
    QString usbDevice;
    QString usbInterface;
    QString scsiHost;
    QString scsiTarget;
    QString scsiDevice;
    QByteArray vendor;  // INQUIRY vendor identification, 8 bytes, at the last scan
    QByteArray product; // INQUIRY product identification, 16 bytes, at the last scan
    int vendorId = 0;
    int productId = 0;
    std::vector<Interface> interfaces; // of the active configuration
    std::vector<Client*> clients;
    int fifo = -1;      // this side of the node's pipe
    bool ready = false; // the pipe is writable for the clients: something waits to be reaped
    EmulatedUsbActivity activity;
};

// One prepared usbfs node path with its handler.
struct Slot
{
    QByteArray devnode;
    UMockdevIoctlBase* handler = nullptr;
    gulong ioctlId = 0;
    gulong connectId = 0;
    bool attached = false;
    UsbDevice* device = nullptr; // the device presented at this path last
};

Interface* interfaceOf(UsbDevice* device, unsigned int number)
{
    for (Interface& interface : device->interfaces) {
        if (interface.number == number)
            return &interface;
    }
    return nullptr;
}

// The interfaces of configuration 1 (alternate setting 0) in a device's descriptors; video
// interfaces know their function by the VideoControl interface that comes before them.
std::vector<Interface> interfacesOf(const QByteArray& descriptors)
{
    std::vector<Interface> result;
    unsigned int function = 0;
    for (int at = 0; at + 1 < descriptors.size();) {
        const int length = static_cast<std::uint8_t>(descriptors.at(at));
        if (length < 2 || at + length > descriptors.size())
            break;
        if (descriptors.at(at + 1) == char(kDescriptorInterface) && length >= 9 &&
            descriptors.at(at + 3) == 0) {
            Interface interface;
            interface.number = static_cast<std::uint8_t>(descriptors.at(at + 2));
            interface.interfaceClass = static_cast<std::uint8_t>(descriptors.at(at + 5));
            interface.subclass = static_cast<std::uint8_t>(descriptors.at(at + 6));
            if (interface.interfaceClass == kClassVideo && interface.subclass == kSubclassVideoControl)
                function = interface.number;
            interface.function = function;
            result.push_back(interface);
        }
        at += length;
    }
    return result;
}

// A string descriptor: its length, type 3, the text in UTF-16LE.
QByteArray stringDescriptor(const QString& text)
{
    QByteArray d;
    d.append(char(0)).append(char(kDescriptorTypeString));
    for (const QChar c : text.left(126))
        appendWord(d, c.unicode());
    d[0] = char(d.size());
    return d;
}

} // namespace

struct EmulatedLoaders::Private : std::enable_shared_from_this<EmulatedLoaders::Private>
{
    EmulatedCameras* cameras = nullptr;
    VirtualRig* rig = nullptr;
    UMockdevTestbed* testbed = nullptr;
    QString rootDir;

    mutable std::mutex lock; // guards everything below
    bool closed = false;
    QStringList errors;
    std::vector<std::unique_ptr<Slot>> pool;
    QMap<QByteArray, Slot*> slotOf;                  // by devnode
    std::vector<std::unique_ptr<UsbDevice>> devices; // every enumeration, the oldest first
    QVector<UsbDevice*> current;                     // by camera; nullptr: no loader presented
    QVector<UsbDevice*> currentCamera;               // by camera; nullptr: no camera presented
    std::map<UMockdevIoctlClient*, std::unique_ptr<Client>> clients;
    int nextScsiHost = kFirstScsiHost;

    void prepare(int bus);
    void synchronize();
    UsbDevice* plug(int camera, const VirtualCamera& model);
    UsbDevice* plugCamera(int camera, const VirtualCamera& model, const QByteArray& devnode);
    bool makeNode(UsbDevice* device);
    void unplug(UsbDevice* device);
    void bindStorage(UsbDevice* device, bool announce);
    void unbindStorage(UsbDevice* device);
    void writeInterfaceEvent(UsbDevice* device);
    QString addDevice(const char* subsystem, const QString& name, const QString& parent,
                      const Pairs& attributes, const Pairs& properties);
    bool addEndpointDirectory(const QString& parent, std::uint8_t address, const QByteArray& type);
    void setReady(UsbDevice* device);

    Client* connect(Slot* slot, UMockdevIoctlClient* client);
    void disconnect(UMockdevIoctlClient* client);
    // Lets go of the descriptors whose client side is closed. umockdev does not always tell
    // (notify::connected), so this also runs whenever this face is asked something.
    void collectClosed();
    // What the nodes of camera's loaders (or of the camera itself) saw, one per enumeration.
    QVector<EmulatedUsbActivity> activities(int camera, bool ofCamera);
    // The descriptor lets go of an interface it holds (RELEASEINTERFACE, a close, a detach).
    void release(Client* client, Interface* interface);
    void setDriver(UsbDevice* device, Interface* interface, const QString& driver);
    // USBDEVFS_DISCONNECT of a kernel driver, and USBDEVFS_CONNECT: whether a driver took it.
    void unbindKernelDriver(UsbDevice* device, Interface* interface);
    bool bindKernelDriver(UsbDevice* device, Interface* interface);
    void journalBinding(UsbDevice* device, const char* event, const QVector<unsigned int>& interfaces);
    // Answers one ioctl: the result for the client, or -1 with *error set.
    long answer(Slot* slot, UMockdevIoctlClient* client, int* error);
    int checkInterface(Client* client, unsigned int interface);
    int claim(Client* client, unsigned int interface);
    int submit(Client* client, UMockdevIoctlData* arg);
    int runBulk(Client* client, Urb& urb);
    int runControl(Client* client, Urb& urb);
    // One control request in usbfs's buffer layout (setup packet, then data): 0 with *status
    // (0, or the URB's negative status) and *actual set, or the errno to fail the submission with.
    int controlRequest(Client* client, std::uint8_t* bytes, int bufferLength, int* status, int* actual,
                       bool* unanswered);
    void loaderControl(UsbDevice* device, std::uint8_t* bytes, int* status, int* actual);
    void cameraControl(UsbDevice* device, std::uint8_t* bytes, int* status, int* actual, bool* unanswered);
    int syncControl(Client* client, UMockdevIoctlData* arg, long* result);
    int reap(Client* client, UMockdevIoctlData* arg);
    int discard(Client* client, UMockdevIoctlData* arg);
    int clearHalt(Client* client, UMockdevIoctlData* arg);
    int driverIoctl(Client* client, UMockdevIoctlData* arg, long* result);
    int getDriver(Client* client, UMockdevIoctlData* arg);
    int disconnectClaim(Client* client, UMockdevIoctlData* arg);
    // Runs fn on the device's model; afterwards brings the presentation in line with it.
    int withLoader(UsbDevice* device,
                   const std::function<int(VirtualCamera&, VirtualLoader&, QVector<JournalEvent>*)>& fn);
};

namespace {

// What a signal handler gets: the shared state, kept alive while any handler runs.
struct Hook
{
    std::shared_ptr<EmulatedLoaders::Private> core;
    Slot* slot = nullptr;
};

void deleteHook(gpointer data, GClosure*)
{
    delete static_cast<Hook*>(data);
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    const Hook* hook = static_cast<const Hook*>(user);
    const std::shared_ptr<EmulatedLoaders::Private> core = hook->core;
    long result = -1;
    int error = ENODEV;
    {
        std::lock_guard<std::mutex> guard(core->lock);
        if (!core->closed) {
            core->collectClosed();
            result = core->answer(hook->slot, client, &error);
        }
    }
    // Answered outside the lock: completing lets umockdev go on with this client.
    umockdev_ioctl_client_complete(client, result, result < 0 ? error : 0);
    return TRUE;
}

void onConnectionChanged(GObject* object, GParamSpec*, gpointer user)
{
    auto* client = reinterpret_cast<UMockdevIoctlClient*>(object);
    if (umockdev_ioctl_client_get_connected(client))
        return;
    const std::shared_ptr<EmulatedLoaders::Private> core = static_cast<const Hook*>(user)->core;
    std::lock_guard<std::mutex> guard(core->lock);
    if (!core->closed)
        core->disconnect(client);
}

void onClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    const Hook* hook = static_cast<const Hook*>(user);
    const std::shared_ptr<EmulatedLoaders::Private> core = hook->core;
    std::lock_guard<std::mutex> guard(core->lock);
    if (!core->closed) {
        core->collectClosed();
        core->connect(hook->slot, client);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Presentation

QString EmulatedLoaders::Private::addDevice(const char* subsystem, const QString& name, const QString& parent,
                                            const Pairs& attributes, const Pairs& properties)
{
    return umockdev_testbed::addDevice(testbed, subsystem, name, parent, attributes, properties, &errors);
}

bool EmulatedLoaders::Private::addEndpointDirectory(const QString& parent, std::uint8_t address,
                                                    const QByteArray& type)
{
    // Endpoints are devices without a subsystem in sysfs: a directory of attributes.
    const QString directory = rootDir + parent + QStringLiteral("/ep_") + QString::fromLatin1(hex2(address));
    if (!QDir().mkpath(directory)) {
        errors << QStringLiteral("cannot create %1").arg(directory);
        return false;
    }
    const bool control = type == "Control";
    QByteArray direction = "both";
    if (!control)
        direction = (address & 0x80) ? "in" : "out";
    const QVector<QPair<QString, QByteArray>> files = {
        {QStringLiteral("uevent"), "DEVTYPE=usb_endpoint\n"},
        {QStringLiteral("bLength"), line("07")},
        {QStringLiteral("bEndpointAddress"), line(hex2(address))},
        {QStringLiteral("bmAttributes"), line(control ? "00" : "02")},
        {QStringLiteral("bInterval"), line("00")},
        {QStringLiteral("wMaxPacketSize"), line(hex4(control ? 64 : kMaxPacket))},
        {QStringLiteral("type"), line(type)},
        {QStringLiteral("direction"), line(direction)},
        {QStringLiteral("interval"), line("0ms")},
    };
    for (const auto& file : files) {
        QFile out(directory + QLatin1Char('/') + file.first);
        if (!out.open(QIODevice::WriteOnly) || out.write(file.second) != file.second.size()) {
            errors << QStringLiteral("cannot write %1").arg(out.fileName());
            return false;
        }
    }
    return true;
}

void EmulatedLoaders::Private::writeInterfaceEvent(UsbDevice* device)
{
    // The kernel builds the interface's uevent from its current driver.
    QByteArray text = "DEVTYPE=usb_interface\n";
    if (!device->activity.driver.isEmpty())
        text += "DRIVER=" + device->activity.driver.toLatin1() + '\n';
    text += "PRODUCT=" + QByteArray::number(device->vendorId, 16) + '/' +
            QByteArray::number(device->productId, 16) + "/100\n";
    text += "TYPE=0/0/0\nINTERFACE=8/6/80\n";
    text += "MODALIAS=usb:v" + hex4(device->vendorId).toUpper() + 'p' + hex4(device->productId).toUpper() +
            "d0100dc00dsc00dp00ic08isc06ip50in00\n";
    umockdev_testbed_set_attribute(testbed, device->usbInterface.toUtf8().constData(), "uevent",
                                   text.constData());
}

void EmulatedLoaders::Private::bindStorage(UsbDevice* device, bool announce)
{
    // usb-storage takes the interface and scans its SCSI host: one target, one logical unit,
    // identified by what the device answers now (a boot ROM turned updater answers as such).
    const QVector<VirtualCamera> models = rig->cameras();
    if (device->camera < models.size()) {
        const VirtualCamera& model = models.at(device->camera);
        device->vendor = model.loader().vendor(model);
        device->product = model.loader().product(model);
    }
    setDriver(device, &device->interfaces.front(), kStorageDriver);
    const int host = nextScsiHost++;
    const QString hostName = QStringLiteral("host%1").arg(host);
    const QString target = QStringLiteral("%1:0:0").arg(host);
    device->scsiHost = addDevice("scsi", hostName, device->usbInterface, {}, {{"DEVTYPE", "scsi_host"}});
    if (device->scsiHost.isEmpty())
        return;
    device->scsiTarget = addDevice("scsi", QStringLiteral("target") + target, device->scsiHost, {},
                                   {{"DEVTYPE", "scsi_target"}});
    if (device->scsiTarget.isEmpty())
        return;
    QByteArray inquiry(kInquiryLength, '\0');
    inquiry[1] = char(0x80); // removable
    inquiry[2] = char(0x02);
    inquiry[3] = char(0x02);
    inquiry[4] = char(kInquiryLength - 5);
    inquiry.replace(8, 8, device->vendor);
    inquiry.replace(16, 16, device->product);
    inquiry.replace(32, 4, "1.00");
    device->scsiDevice =
        addDevice("scsi", target + QStringLiteral(":0"), device->scsiTarget,
                  {{"vendor", line(sanitized(device->vendor))},
                   {"model", line(sanitized(device->product))},
                   {"rev", line("1.00")},
                   {"type", line("0")},
                   {"scsi_level", line("3")},
                   {"state", line("running")},
                   {"device_blocked", line("0")},
                   {"queue_depth", line("1")},
                   {"timeout", line("30")},
                   {"modalias", line("scsi:t-0x00")}},
                  {{"DEVTYPE", "scsi_device"}, {"DRIVER", "sd"}, {"MODALIAS", "scsi:t-0x00"}});
    if (device->scsiDevice.isEmpty())
        return;
    umockdev_testbed_set_attribute_binary(testbed, device->scsiDevice.toUtf8().constData(), "inquiry",
                                          reinterpret_cast<guint8*>(inquiry.data()), inquiry.size());
    if (announce) {
        for (const QString& path : {device->scsiHost, device->scsiTarget, device->scsiDevice})
            umockdev_testbed_uevent(testbed, path.toUtf8().constData(), "add");
    }
}

void EmulatedLoaders::Private::unbindStorage(UsbDevice* device)
{
    // usb-storage lets go: its SCSI host goes with every device below it.
    QStringList paths{device->scsiDevice, device->scsiTarget, device->scsiHost};
    paths.removeAll(QString());
    for (const QString& path : qAsConst(paths))
        umockdev_testbed_uevent(testbed, path.toUtf8().constData(), "remove");
    for (const QString& path : qAsConst(paths))
        umockdev_testbed_remove_device(testbed, path.toUtf8().constData());
    device->scsiDevice.clear();
    device->scsiTarget.clear();
    device->scsiHost.clear();
    setDriver(device, &device->interfaces.front(), QString());
}

void EmulatedLoaders::Private::setDriver(UsbDevice* device, Interface* interface, const QString& driver)
{
    interface->driver = driver;
    if (device->isCamera) {
        // The camera's own VideoControl interface is the one its report names.
        const std::vector<Interface>& all = device->interfaces;
        for (const Interface& i : all) {
            if (i.interfaceClass == kClassVideo && i.subclass == kSubclassVideoControl &&
                static_cast<int>(i.number) == device->videoControl)
                device->activity.driver = i.driver;
        }
        return;
    }
    device->activity.driver = driver;
    writeInterfaceEvent(device);
}

void EmulatedLoaders::Private::journalBinding(UsbDevice* device, const char* event,
                                              const QVector<unsigned int>& interfaces)
{
    if (interfaces.isEmpty())
        return;
    rig->withCamera(device->camera, [&](VirtualCamera&, QVector<JournalEvent>* journal) {
        for (const unsigned int number : interfaces) {
            JournalEvent e;
            e.insert(QStringLiteral("event"), QLatin1String(event));
            e.insert(QStringLiteral("interface"), static_cast<int>(number));
            e.insert(QStringLiteral("driver"), kVideoDriver);
            journal->append(e);
        }
        return 0;
    });
}

void EmulatedLoaders::Private::unbindKernelDriver(UsbDevice* device, Interface* interface)
{
    if (!device->isCamera) {
        unbindStorage(device);
        return;
    }
    // uvcvideo lets go of a streaming interface alone; unbound from the VideoControl interface it
    // unregisters the function's video nodes and gives back the function's streaming interfaces.
    QVector<unsigned int> changed;
    const bool wholeFunction = interface->subclass == kSubclassVideoControl;
    for (Interface& i : device->interfaces) {
        const bool affected = &i == interface || (wholeFunction && i.function == interface->number &&
                                                  i.subclass == kSubclassVideoStreaming);
        if (affected && i.driver == kVideoDriver) {
            setDriver(device, &i, QString());
            changed << i.number;
        }
    }
    if (wholeFunction && static_cast<int>(interface->number) == device->videoControl)
        cameras->setDriverBound(device->camera, false);
    journalBinding(device, "kernel-driver-detached", changed);
}

bool EmulatedLoaders::Private::bindKernelDriver(UsbDevice* device, Interface* interface)
{
    if (!device->isCamera) {
        bindStorage(device, true);
        return true;
    }
    // uvcvideo matches VideoControl interfaces only, and claims the function's free streaming
    // interfaces as it binds; where the machine has no driver for the camera, nothing binds.
    const QVector<VirtualCamera> models = rig->cameras();
    const bool installed = device->camera < models.size() && models.at(device->camera).kernelDriverBound();
    if (!installed || interface->interfaceClass != kClassVideo ||
        interface->subclass != kSubclassVideoControl)
        return false;
    QVector<unsigned int> changed;
    for (Interface& i : device->interfaces) {
        const bool part =
            &i == interface || (i.function == interface->number && i.subclass == kSubclassVideoStreaming);
        if (part && i.driver.isEmpty()) {
            setDriver(device, &i, kVideoDriver);
            changed << i.number;
        }
    }
    if (static_cast<int>(interface->number) == device->videoControl)
        cameras->setDriverBound(device->camera, true);
    journalBinding(device, "kernel-driver-attached", changed);
    return true;
}

void EmulatedLoaders::Private::setReady(UsbDevice* device)
{
    bool ready = false;
    for (const Client* client : device->clients)
        ready = ready || !client->completed.empty();
    if (device->fifo < 0 || ready == device->ready)
        return;
    device->ready = ready;
    char buffer[4096];
    if (ready) {
        // Empty: writable for the clients, whose poll() for POLLOUT wakes up.
        while (::read(device->fifo, buffer, sizeof buffer) > 0) {
        }
    } else {
        // Full: not writable, so a poll() for POLLOUT sleeps.
        std::memset(buffer, 0, sizeof buffer);
        while (::write(device->fifo, buffer, sizeof buffer) > 0) {
        }
    }
}

UsbDevice* EmulatedLoaders::Private::plug(int camera, const VirtualCamera& model)
{
    const int bus = busOfPort(model.busPort());
    if (bus == 0) {
        errors << QStringLiteral("camera %1: \"%2\" is not a USB port name").arg(camera).arg(model.busPort());
        return nullptr;
    }
    const int devnum = cameras->allocateAddress(bus);
    const QByteArray devnode = "/dev/bus/usb/" + decimal3(bus) + '/' + decimal3(devnum);
    Slot* slot = slotOf.value(devnode);
    if (!slot || !slot->attached) {
        errors << QStringLiteral("camera %1: no usbfs node was prepared for %2")
                      .arg(camera)
                      .arg(QString::fromLatin1(devnode));
        return nullptr;
    }
    const QString hub = cameras->rootHub(bus);
    if (hub.isEmpty()) {
        errors << QStringLiteral("camera %1: no root hub for bus %2").arg(camera).arg(bus);
        return nullptr;
    }

    auto owned = std::make_unique<UsbDevice>();
    UsbDevice* device = owned.get();
    devices.push_back(std::move(owned));
    device->camera = camera;
    device->generation = model.loader().generation();
    device->port = model.busPort();
    device->devnode = devnode;
    device->vendor = model.loader().vendor(model);
    device->product = model.loader().product(model);
    device->vendorId = model.vendorId();
    device->productId = model.productId();
    device->activity.bus = bus;
    device->activity.devnum = devnum;
    device->activity.stage = model.stage();
    device->activity.present = true;
    Interface storage;
    storage.number = kInterface;
    storage.interfaceClass = 0x08;
    storage.subclass = 0x06;
    device->interfaces = {storage};

    const QByteArray minor = QByteArray::number((bus - 1) * 128 + devnum - 1);
    // The product string the loader reports: its INQUIRY product without padding.
    const QByteArray productText = sanitized(device->product).trimmed();
    device->usbDevice = addDevice("usb", device->port, hub,
                                  {{"idVendor", line(hex4(device->vendorId))},
                                   {"idProduct", line(hex4(device->productId))},
                                   {"bcdDevice", line("0100")},
                                   {"product", line(productText)},
                                   {"busnum", line(QByteArray::number(bus))},
                                   {"devnum", line(QByteArray::number(devnum))},
                                   {"devpath", line(device->port.section(QLatin1Char('-'), 1).toLatin1())},
                                   {"speed", line("480")},
                                   {"version", line(" 2.00")},
                                   {"bDeviceClass", line("00")},
                                   {"bDeviceSubClass", line("00")},
                                   {"bDeviceProtocol", line("00")},
                                   {"bMaxPacketSize0", line("64")},
                                   {"bNumConfigurations", line("1")},
                                   {"bConfigurationValue", line("1")},
                                   {"bNumInterfaces", line(" 1")},
                                   {"bmAttributes", line("80")},
                                   {"bMaxPower", line("100mA")},
                                   {"maxchild", line("0")},
                                   {"removable", line("unknown")},
                                   {"dev", QByteArray::number(kUsbDeviceMajor) + ':' + minor}},
                                  {{"DEVNAME", devnode},
                                   {"DEVTYPE", "usb_device"},
                                   {"DRIVER", "usb"},
                                   {"PRODUCT", QByteArray::number(device->vendorId, 16) + '/' +
                                                   QByteArray::number(device->productId, 16) + "/100"},
                                   {"TYPE", "0/0/0"},
                                   {"BUSNUM", decimal3(bus)},
                                   {"DEVNUM", decimal3(devnum)},
                                   {"MAJOR", QByteArray::number(kUsbDeviceMajor)},
                                   {"MINOR", minor}});
    if (device->usbDevice.isEmpty())
        return device;
    QByteArray descriptors = loaderDescriptors(device->vendorId, device->productId);
    umockdev_testbed_set_attribute_binary(testbed, device->usbDevice.toUtf8().constData(), "descriptors",
                                          reinterpret_cast<guint8*>(descriptors.data()), descriptors.size());
    if (!addEndpointDirectory(device->usbDevice, 0x00, "Control"))
        return device;

    if (!makeNode(device))
        return device;

    device->usbInterface = addDevice("usb", device->port + QStringLiteral(":1.0"), device->usbDevice,
                                     {{"bInterfaceNumber", line("00")},
                                      {"bAlternateSetting", line(" 0")},
                                      {"bInterfaceClass", line("08")},
                                      {"bInterfaceSubClass", line("06")},
                                      {"bInterfaceProtocol", line("50")},
                                      {"bNumEndpoints", line("02")},
                                      {"authorized", line("1")},
                                      {"supports_autosuspend", line("1")}},
                                     {{"DEVTYPE", "usb_interface"}});
    if (device->usbInterface.isEmpty() || !addEndpointDirectory(device->usbInterface, kEndpointIn, "Bulk") ||
        !addEndpointDirectory(device->usbInterface, kEndpointOut, "Bulk"))
        return device;
    slot->device = device;

    // Arrival as the kernel reports it: the device, its interface, then what usb-storage found.
    umockdev_testbed_uevent(testbed, device->usbDevice.toUtf8().constData(), "add");
    umockdev_testbed_uevent(testbed, device->usbInterface.toUtf8().constData(), "add");
    bindStorage(device, true);
    return device;
}

bool EmulatedLoaders::Private::makeNode(UsbDevice* device)
{
    // The node: a FIFO (see the header), this side of it open for good. A plain file that stands
    // at the path (EmulatedCameras' node of a camera) gives way to it.
    const QByteArray path = QFile::encodeName(rootDir) + device->devnode;
    struct stat status = {};
    if (::stat(path.constData(), &status) == 0 && !S_ISFIFO(status.st_mode))
        ::unlink(path.constData());
    if (!QDir().mkpath(QFileInfo(QString::fromLocal8Bit(path)).absolutePath()) ||
        (::mkfifo(path.constData(), 0666) != 0 && errno != EEXIST)) {
        errors << QStringLiteral("cannot create %1").arg(QString::fromLocal8Bit(path));
        return false;
    }
    device->fifo = ::open(path.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (device->fifo < 0) {
        errors << QStringLiteral("cannot open %1").arg(QString::fromLocal8Bit(path));
        return false;
    }
    // One page is enough to tell "full" from "empty"; keeps filling cheap.
    ::fcntl(device->fifo, F_SETPIPE_SZ, 4096);
    device->ready = true;
    setReady(device); // nothing to reap yet: full
    return true;
}

UsbDevice* EmulatedLoaders::Private::plugCamera(int camera, const VirtualCamera& model,
                                                const QByteArray& devnode)
{
    // EmulatedCameras presented the device (sysfs, uevents, video nodes); this face serves its
    // usbfs node.
    Slot* slot = slotOf.value(devnode);
    if (!slot || !slot->attached) {
        errors << QStringLiteral("camera %1: no usbfs node was prepared for %2")
                      .arg(camera)
                      .arg(QString::fromLatin1(devnode));
        return nullptr;
    }
    auto owned = std::make_unique<UsbDevice>();
    UsbDevice* device = owned.get();
    devices.push_back(std::move(owned));
    device->isCamera = true;
    device->camera = camera;
    device->generation = model.loader().generation();
    device->videoControl = model.videoControlInterface();
    device->port = model.busPort();
    device->devnode = devnode;
    device->vendorId = model.vendorId();
    device->productId = model.productId();
    device->activity.bus = devnode.mid(13, 3).toInt();
    device->activity.devnum = devnode.mid(17, 3).toInt();
    device->activity.stage = model.stage();
    device->activity.present = true;
    device->interfaces = interfacesOf(model.usbDescriptors());
    for (Interface& interface : device->interfaces) {
        if (interface.interfaceClass == kClassVideo && model.kernelDriverBound())
            setDriver(device, &interface, kVideoDriver);
    }
    if (!makeNode(device))
        return device;
    slot->device = device;
    return device;
}

void EmulatedLoaders::Private::unplug(UsbDevice* device)
{
    device->activity.present = false;
    // URBs still waiting end as the controller ends them for a vanished device.
    for (Client* client : device->clients) {
        for (Urb& urb : client->pending) {
            urb.finish(-ESHUTDOWN, 0);
            client->completed.push_back(std::move(urb));
        }
        client->pending.clear();
    }
    setReady(device);
    // Children before parents, for the uevents and for the removal.
    QStringList paths{device->scsiDevice, device->scsiTarget, device->scsiHost, device->usbInterface,
                      device->usbDevice};
    paths.removeAll(QString());
    for (const QString& path : qAsConst(paths))
        umockdev_testbed_uevent(testbed, path.toUtf8().constData(), "remove");
    for (const QString& path : qAsConst(paths))
        umockdev_testbed_remove_device(testbed, path.toUtf8().constData());
}

void EmulatedLoaders::Private::synchronize()
{
    const QVector<VirtualCamera> models = rig->cameras();
    if (current.size() < models.size())
        current.resize(models.size());
    // Departures first: a restarted device leaves before its successor, which takes the same
    // port name, arrives.
    for (int i = 0; i < models.size(); ++i) {
        const VirtualCamera& model = models.at(i);
        UsbDevice* device = current.at(i);
        if (device && (!model.inBootStage() || device->generation != model.loader().generation())) {
            unplug(device);
            current[i] = nullptr;
        }
        if (cameras->presented(i) && !model.present())
            cameras->withdraw(i);
    }
    for (int i = 0; i < models.size(); ++i) {
        const VirtualCamera& model = models.at(i);
        if (model.inBootStage() && !current.at(i))
            current[i] = plug(i, model);
        else if (model.present() && !cameras->presented(i))
            cameras->present(i);
    }
    // The cameras' own usbfs nodes follow what EmulatedCameras presents.
    if (currentCamera.size() < models.size())
        currentCamera.resize(models.size());
    for (int i = 0; i < models.size(); ++i) {
        UsbDevice* device = currentCamera.at(i);
        const QByteArray node = cameras->presented(i) ? cameras->nodes(i).usbNode.toLatin1() : QByteArray();
        if (device && device->devnode != node) {
            unplug(device);
            currentCamera[i] = device = nullptr;
        }
        if (!device && !node.isEmpty())
            currentCamera[i] = plugCamera(i, models.at(i), node);
    }
}

void EmulatedLoaders::Private::prepare(int bus)
{
    for (int devnum = 2; devnum < 2 + kAddressWindow; ++devnum) {
        const QByteArray devnode = "/dev/bus/usb/" + decimal3(bus) + '/' + decimal3(devnum);
        if (slotOf.contains(devnode))
            continue;
        auto slot = std::make_unique<Slot>();
        slot->devnode = devnode;
        slot->handler = umockdev_ioctl_base_new();
        slot->ioctlId = g_signal_connect_data(
            slot->handler, "handle-ioctl", reinterpret_cast<GCallback>(&onIoctl),
            new Hook{shared_from_this(), slot.get()}, &deleteHook, static_cast<GConnectFlags>(0));
        slot->connectId = g_signal_connect_data(
            slot->handler, "client-connected", reinterpret_cast<GCallback>(&onClientConnected),
            new Hook{shared_from_this(), slot.get()}, &deleteHook, static_cast<GConnectFlags>(0));
        GError* error = nullptr;
        slot->attached = umockdev_testbed_attach_ioctl(testbed, devnode.constData(), slot->handler, &error);
        if (!slot->attached) {
            errors << QStringLiteral("cannot attach the usbfs handler to %1: %2")
                          .arg(QString::fromLatin1(devnode),
                               error ? QString::fromUtf8(error->message) : QStringLiteral("unknown error"));
        }
        if (error)
            g_error_free(error);
        slotOf.insert(devnode, slot.get());
        pool.push_back(std::move(slot));
    }
}

// ---------------------------------------------------------------------------------------------
// Descriptors

Client* EmulatedLoaders::Private::connect(Slot* slot, UMockdevIoctlClient* ioctlClient)
{
    auto found = clients.find(ioctlClient);
    if (found != clients.end())
        return found->second.get();
    auto client = std::make_unique<Client>();
    client->client = static_cast<UMockdevIoctlClient*>(g_object_ref(ioctlClient));
    // The descriptor belongs to the device that was at this path when it was opened; after that
    // device went, it stays with it (and gets ENODEV).
    client->device = slot->device;
    if (client->device) {
        client->device->clients.push_back(client.get());
        ++client->device->activity.opens;
        ++client->device->activity.openNow;
    }
    // Closing the descriptor shows as the client's "connected" turning false.
    client->notifyId = g_signal_connect_data(
        ioctlClient, "notify::connected", reinterpret_cast<GCallback>(&onConnectionChanged),
        new Hook{shared_from_this(), slot}, &deleteHook, static_cast<GConnectFlags>(0));
    Client* raw = client.get();
    clients.emplace(ioctlClient, std::move(client));
    return raw;
}

void EmulatedLoaders::Private::disconnect(UMockdevIoctlClient* ioctlClient)
{
    auto found = clients.find(ioctlClient);
    if (found == clients.end())
        return;
    Client* client = found->second.get();
    UsbDevice* device = client->device;
    if (device) {
        // Closing releases the claims but attaches no driver; URBs in flight are killed.
        for (Interface& interface : device->interfaces) {
            if (interface.owner == client && device->activity.present) {
                ++device->activity.releases;
                release(client, &interface);
            }
        }
        device->clients.erase(std::remove(device->clients.begin(), device->clients.end(), client),
                              device->clients.end());
        --device->activity.openNow;
    }
    if (client->notifyId != 0)
        g_signal_handler_disconnect(client->client, client->notifyId);
    g_object_unref(client->client);
    clients.erase(found);
    if (device)
        setReady(device);
}

void EmulatedLoaders::Private::collectClosed()
{
    std::vector<UMockdevIoctlClient*> gone;
    for (const auto& entry : clients) {
        if (!umockdev_ioctl_client_get_connected(entry.first))
            gone.push_back(entry.first);
    }
    for (UMockdevIoctlClient* client : gone)
        disconnect(client);
}

void EmulatedLoaders::Private::release(Client* client, Interface* interface)
{
    UsbDevice* device = client->device;
    if (interface->owner == client) {
        interface->owner = nullptr;
        setDriver(device, interface, QString());
    }
    if (device->isCamera)
        return;
    // The host let go: the loader may restart if it was only waiting for that.
    const int generation = device->generation;
    withLoader(device,
               [generation](VirtualCamera& model, VirtualLoader& loader, QVector<JournalEvent>* journal) {
                   loader.release(model, generation, journal);
                   return 0;
               });
}

int EmulatedLoaders::Private::withLoader(
    UsbDevice* device, const std::function<int(VirtualCamera&, VirtualLoader&, QVector<JournalEvent>*)>& fn)
{
    const int result =
        rig->withCamera(device->camera, [&fn](VirtualCamera& model, QVector<JournalEvent>* journal) {
            return fn(model, model.loader(), journal);
        });
    synchronize();
    return result;
}

// ---------------------------------------------------------------------------------------------
// usbfs

int EmulatedLoaders::Private::checkInterface(Client* client, unsigned int interface)
{
    // usbfs: a request to an interface this descriptor has not claimed claims it on the spot.
    const Interface* state = interfaceOf(client->device, interface);
    if (!state)
        return ENOENT;
    if (state->owner == client)
        return 0;
    const int error = claim(client, interface);
    if (error == 0) {
        --client->device->activity.claims;
        ++client->device->activity.implicitClaims;
    }
    return error;
}

int EmulatedLoaders::Private::claim(Client* client, unsigned int interface)
{
    UsbDevice* device = client->device;
    Interface* state = interfaceOf(device, interface);
    if (!state)
        return ENOENT;
    if (state->owner == client)
        return 0;
    if (!state->driver.isEmpty())
        return EBUSY; // a kernel driver (usb-storage, uvcvideo), or another descriptor
    state->owner = client;
    setDriver(device, state, kUsbfsDriver);
    ++device->activity.claims;
    return 0;
}

long EmulatedLoaders::Private::answer(Slot* slot, UMockdevIoctlClient* ioctlClient, int* error)
{
    Client* client = connect(slot, ioctlClient);
    UsbDevice* device = client->device;
    const gulong request = umockdev_ioctl_client_get_request(ioctlClient);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(ioctlClient);
    *error = 0;
    if (!device) {
        // Not a loader's node (a camera's USB device): nothing answers here.
        *error = ENOTTY;
        return -1;
    }
    ++device->activity.ioctls;
    long result = 0;
    // Reaping works after a disconnect, everything else fails then.
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        *error = reap(client, arg);
        return *error == 0 ? 0 : -1;
    }
    if (!device->activity.present) {
        *error = ENODEV;
        return -1;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        const DataPtr data = resolve(arg, 0, sizeof(std::uint32_t));
        if (!data)
            *error = EFAULT;
        else
            store(data.get(), kCapabilities);
        break;
    }
    case USBDEVFS_SUBMITURB:
        *error = submit(client, arg);
        break;
    case USBDEVFS_DISCARDURB:
        *error = discard(client, arg);
        break;
    case USBDEVFS_CLEAR_HALT:
        *error = clearHalt(client, arg);
        break;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        const DataPtr data = resolve(arg, 0, sizeof(unsigned int));
        if (!data) {
            *error = EFAULT;
            break;
        }
        const auto interface = load<unsigned int>(data.get());
        Interface* state = interfaceOf(device, interface);
        if (request == USBDEVFS_CLAIMINTERFACE) {
            *error = claim(client, interface);
        } else if (!state) {
            *error = ENOENT;
        } else if (state->owner != client) {
            *error = EINVAL;
        } else {
            ++device->activity.releases;
            release(client, state);
        }
        break;
    }
    case USBDEVFS_GETDRIVER:
        *error = getDriver(client, arg);
        break;
    case USBDEVFS_IOCTL:
        *error = driverIoctl(client, arg, &result);
        break;
    case USBDEVFS_DISCONNECT_CLAIM:
        *error = disconnectClaim(client, arg);
        break;
    case USBDEVFS_CONTROL:
        *error = syncControl(client, arg, &result);
        break;
    case USBDEVFS_RESET: {
        if (device->isCamera)
            break; // the camera's video function keeps its state over a port reset
        // A port reset brings the device's transport back to its start.
        const int generation = device->generation;
        const int reset = withLoader(device, [generation](VirtualCamera& model, VirtualLoader& loader,
                                                          QVector<JournalEvent>* journal) {
            return loader.resetRecovery(model, generation, journal);
        });
        *error = reset < 0 ? -reset : 0;
        break;
    }
    case USBDEVFS_SETINTERFACE: {
        const DataPtr data = resolve(arg, 0, sizeof(usbdevfs_setinterface));
        if (!data) {
            *error = EFAULT;
            break;
        }
        const auto setting = load<usbdevfs_setinterface>(data.get());
        *error = checkInterface(client, setting.interface);
        if (*error == 0 && setting.altsetting != 0)
            *error = EINVAL;
        break;
    }
    case USBDEVFS_SETCONFIGURATION: {
        const DataPtr data = resolve(arg, 0, sizeof(unsigned int));
        if (!data)
            *error = EFAULT;
        else if (load<unsigned int>(data.get()) != 1)
            *error = EINVAL;
        for (const Interface& interface : device->interfaces) {
            if (*error == 0 && !interface.driver.isEmpty() && interface.owner != client)
                *error = EBUSY;
        }
        break;
    }
    case USBDEVFS_RESETEP: {
        const DataPtr data = resolve(arg, 0, sizeof(unsigned int));
        const unsigned int endpoint = data ? load<unsigned int>(data.get()) : 0;
        if (!data)
            *error = EFAULT;
        else if (device->isCamera || (endpoint != kEndpointIn && endpoint != kEndpointOut))
            *error = ENOENT;
        else
            *error = checkInterface(client, kInterface);
        break;
    }
    case USBDEVFS_CONNECTINFO: {
        const DataPtr data = resolve(arg, 0, sizeof(usbdevfs_connectinfo));
        if (!data) {
            *error = EFAULT;
            break;
        }
        usbdevfs_connectinfo info{};
        info.devnum = static_cast<unsigned int>(device->activity.devnum);
        info.slow = 0;
        store(data.get(), info);
        break;
    }
    case USBDEVFS_GET_SPEED:
        result = USB_SPEED_HIGH;
        break;
    default:
        device->activity.unknownIoctls << QString::number(request, 16);
        *error = ENOTTY;
        break;
    }
    return *error == 0 ? result : -1;
}

int EmulatedLoaders::Private::getDriver(Client* client, UMockdevIoctlData* arg)
{
    const DataPtr data = resolve(arg, 0, sizeof(usbdevfs_getdriver));
    if (!data)
        return EFAULT;
    auto request = load<usbdevfs_getdriver>(data.get());
    const Interface* interface = interfaceOf(client->device, request.interface);
    if (!interface || interface->driver.isEmpty())
        return ENODATA;
    const QString driver = interface->driver;
    std::memset(request.driver, 0, sizeof request.driver);
    const QByteArray name = driver.toLatin1();
    std::memcpy(request.driver, name.constData(), static_cast<std::size_t>(name.size()));
    store(data.get(), request);
    return 0;
}

int EmulatedLoaders::Private::driverIoctl(Client* client, UMockdevIoctlData* arg, long* result)
{
    const DataPtr data = resolve(arg, 0, sizeof(usbdevfs_ioctl));
    if (!data)
        return EFAULT;
    const auto command = load<usbdevfs_ioctl>(data.get());
    UsbDevice* device = client->device;
    Interface* interface =
        command.ifno >= 0 ? interfaceOf(device, static_cast<unsigned int>(command.ifno)) : nullptr;
    if (!interface)
        return EINVAL;
    if (command.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        if (interface->driver.isEmpty())
            return ENODATA;
        ++device->activity.driverDetaches;
        if (interface->owner) {
            // The usbfs "driver" of a descriptor (this one or another) lets go of the interface.
            ++device->activity.releases;
            release(interface->owner, interface);
        } else {
            unbindKernelDriver(device, interface);
        }
        return 0;
    }
    if (command.ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
        if (!interface->driver.isEmpty())
            return EBUSY;
        const bool bound = bindKernelDriver(device, interface);
        if (bound)
            ++device->activity.driverAttaches;
        *result = bound ? 1 : 0; // device_attach(): 1 when a driver took the interface
        return 0;
    }
    // Neither usb-storage nor uvcvideo has ioctls of its own here.
    return interface->driver.isEmpty() ? ENODATA : ENOTTY;
}

int EmulatedLoaders::Private::disconnectClaim(Client* client, UMockdevIoctlData* arg)
{
    const DataPtr data = resolve(arg, 0, sizeof(usbdevfs_disconnect_claim));
    if (!data)
        return EFAULT;
    auto request = load<usbdevfs_disconnect_claim>(data.get());
    request.driver[sizeof request.driver - 1] = '\0';
    UsbDevice* device = client->device;
    Interface* interface = interfaceOf(device, request.interface);
    if (!interface)
        return EINVAL;
    const QString driver = interface->driver;
    if (!driver.isEmpty() && interface->owner != client) {
        const bool same = driver == QLatin1String(request.driver);
        if ((request.flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) && !same)
            return EBUSY;
        if ((request.flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) && same)
            return EBUSY;
        ++device->activity.driverDetaches;
        if (interface->owner) {
            ++device->activity.releases;
            release(interface->owner, interface);
        } else {
            unbindKernelDriver(device, interface);
        }
    }
    return claim(client, request.interface);
}

int EmulatedLoaders::Private::clearHalt(Client* client, UMockdevIoctlData* arg)
{
    const DataPtr data = resolve(arg, 0, sizeof(unsigned int));
    if (!data)
        return EFAULT;
    const auto endpoint = load<unsigned int>(data.get());
    if (client->device->isCamera || (endpoint != kEndpointIn && endpoint != kEndpointOut))
        return ENOENT; // the camera's video function has no bulk endpoints
    if (const int error = checkInterface(client, kInterface))
        return error;
    UsbDevice* device = client->device;
    device->activity.clearedHalts << static_cast<int>(endpoint);
    const int generation = device->generation;
    const auto which = endpoint == kEndpointIn ? VirtualLoader::Endpoint::In : VirtualLoader::Endpoint::Out;
    const int result = withLoader(device, [generation, which](VirtualCamera& model, VirtualLoader& loader,
                                                              QVector<JournalEvent>* journal) {
        return loader.clearHalt(model, generation, which, journal);
    });
    return result < 0 ? -result : 0;
}

int EmulatedLoaders::Private::submit(Client* client, UMockdevIoctlData* arg)
{
    Urb urb;
    urb.data = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urb.data)
        return EFAULT;
    const usbdevfs_urb request = urb.get();
    if (request.buffer_length < 0)
        return EINVAL;
    UsbDevice* device = client->device;
    int error = 0;
    if (request.type == USBDEVFS_URB_TYPE_BULK) {
        if (device->isCamera || (request.endpoint != kEndpointIn && request.endpoint != kEndpointOut))
            return ENOENT;
        error = checkInterface(client, kInterface);
    } else if (request.type == USBDEVFS_URB_TYPE_CONTROL) {
        if (request.endpoint != 0)
            return ENOENT;
        if (request.buffer_length < kSetupLength)
            return EINVAL;
    } else {
        return EINVAL; // no interrupt or isochronous endpoint is emulated
    }
    if (error != 0)
        return error;
    if (request.buffer_length > 0) {
        urb.buffer = resolve(urb.data.get(), offsetof(usbdevfs_urb, buffer),
                             static_cast<std::size_t>(request.buffer_length));
        if (!urb.buffer)
            return EFAULT;
    }
    if (request.type == USBDEVFS_URB_TYPE_CONTROL)
        error = runControl(client, urb);
    if (error != 0)
        return error;
    ++device->activity.urbs;
    if (urb.unanswered || (request.type == USBDEVFS_URB_TYPE_BULK && runBulk(client, urb) == -ETIMEDOUT)) {
        client->pending.push_back(std::move(urb)); // NAKed until the device has something
        return 0;
    }
    if (urb.get().status == -EPIPE)
        ++device->activity.stalledUrbs;
    client->completed.push_back(std::move(urb));
    // Another transfer may have given a waiting IN URB its data.
    for (auto it = client->pending.begin(); it != client->pending.end();) {
        if (it->unanswered || (device->activity.present && runBulk(client, *it) == -ETIMEDOUT)) {
            ++it;
            continue;
        }
        client->completed.push_back(std::move(*it));
        it = client->pending.erase(it);
    }
    setReady(device);
    return 0;
}

int EmulatedLoaders::Private::runBulk(Client* client, Urb& urb)
{
    UsbDevice* device = client->device;
    const usbdevfs_urb request = urb.get();
    const auto endpoint =
        request.endpoint == kEndpointIn ? VirtualLoader::Endpoint::In : VirtualLoader::Endpoint::Out;
    const int generation = device->generation;
    std::uint8_t* bytes = urb.bytes();
    const int length = request.buffer_length;
    int transferred = 0;
    const int result =
        withLoader(device, [&](VirtualCamera& model, VirtualLoader& loader, QVector<JournalEvent>* journal) {
            return loader.bulkTransfer(model, generation, endpoint, bytes, length, &transferred, journal);
        });
    switch (result) {
    case 0:
        urb.finish(0, transferred);
        break;
    case -ETIMEDOUT:
        break; // stays in flight
    case -EPIPE:
        urb.finish(-EPIPE, 0);
        break;
    case -ENODEV:
        urb.finish(-ESHUTDOWN, 0); // the device went away under the transfer
        break;
    default:
        urb.finish(-EPROTO, 0);
        break;
    }
    return result;
}

int EmulatedLoaders::Private::runControl(Client* client, Urb& urb)
{
    int status = 0;
    int actual = 0;
    const int error =
        controlRequest(client, urb.bytes(), urb.get().buffer_length, &status, &actual, &urb.unanswered);
    if (error == 0 && !urb.unanswered)
        urb.finish(status, actual);
    return error;
}

int EmulatedLoaders::Private::controlRequest(Client* client, std::uint8_t* bytes, int bufferLength,
                                             int* status, int* actual, bool* unanswered)
{
    UsbDevice* device = client->device;
    const std::uint8_t requestType = bytes[0];
    const int index = qFromLittleEndian<quint16>(bytes + 4);
    const int length = qFromLittleEndian<quint16>(bytes + 6);
    if (length > bufferLength - kSetupLength)
        return EINVAL;
    device->activity.controlSetups << QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes), kSetupLength).toHex());
    // usbfs checks the recipient before the request reaches the device.
    const int recipient = requestType & 0x1F;
    if (recipient == 1) {
        if (const int error = checkInterface(client, static_cast<unsigned int>(index & 0xFF)))
            return error;
    } else if (recipient == 2 && (index & 0xFF) != 0) {
        if (device->isCamera || ((index & 0xFF) != kEndpointIn && (index & 0xFF) != kEndpointOut))
            return ENOENT;
        if (const int error = checkInterface(client, kInterface))
            return error;
    }
    *unanswered = false;
    if (device->isCamera)
        cameraControl(device, bytes, status, actual, unanswered);
    else
        loaderControl(device, bytes, status, actual);
    return 0;
}

void EmulatedLoaders::Private::loaderControl(UsbDevice* device, std::uint8_t* bytes, int* status, int* actual)
{
    const std::uint8_t requestType = bytes[0];
    const std::uint8_t request = bytes[1];
    const int value = qFromLittleEndian<quint16>(bytes + 2);
    const int index = qFromLittleEndian<quint16>(bytes + 4);
    const int length = qFromLittleEndian<quint16>(bytes + 6);
    std::uint8_t* data = bytes + kSetupLength;
    const int generation = device->generation;
    *status = -EPIPE;
    *actual = 0;
    if (requestType == 0x21 && request == kRequestMassStorageReset && value == 0 && length == 0) {
        const int result = withLoader(device, [generation](VirtualCamera& model, VirtualLoader& loader,
                                                           QVector<JournalEvent>* journal) {
            return loader.resetRecovery(model, generation, journal);
        });
        *status = result == 0 ? 0 : result == -ENODEV ? -ESHUTDOWN : -EPIPE;
    } else if (requestType == 0xA1 && request == kRequestGetMaxLun && value == 0 && length >= 1) {
        data[0] = 0; // one logical unit
        *status = 0;
        *actual = 1;
    } else if (requestType == 0x02 && request == kRequestClearFeature && value == kFeatureEndpointHalt &&
               length == 0 && ((index & 0xFF) == kEndpointIn || (index & 0xFF) == kEndpointOut)) {
        const auto which =
            (index & 0xFF) == kEndpointIn ? VirtualLoader::Endpoint::In : VirtualLoader::Endpoint::Out;
        const int result = withLoader(device, [generation, which](VirtualCamera& model, VirtualLoader& loader,
                                                                  QVector<JournalEvent>* journal) {
            return loader.clearHalt(model, generation, which, journal);
        });
        *status = result == 0 ? 0 : -EPIPE;
    } else if ((requestType & 0x80) && request == kRequestGetStatus && length >= 2) {
        data[0] = 0;
        data[1] = 0;
        *status = 0;
        *actual = 2;
    } else if (requestType == 0x80 && request == kRequestGetDescriptor) {
        const QByteArray all = loaderDescriptors(device->vendorId, device->productId);
        QByteArray answer;
        if ((value >> 8) == 0x01)
            answer = all.left(18);
        else if ((value >> 8) == 0x02 && (value & 0xFF) == 0)
            answer = all.mid(18);
        if (!answer.isEmpty()) {
            *actual = std::min(length, static_cast<int>(answer.size()));
            std::memcpy(data, answer.constData(), static_cast<std::size_t>(*actual));
            *status = 0;
        }
    }
}

void EmulatedLoaders::Private::cameraControl(UsbDevice* device, std::uint8_t* bytes, int* status, int* actual,
                                             bool* unanswered)
{
    uvc::SetupPacket setup;
    setup.bmRequestType = bytes[0];
    setup.bRequest = bytes[1];
    setup.wValue = qFromLittleEndian<quint16>(bytes + 2);
    setup.wIndex = qFromLittleEndian<quint16>(bytes + 4);
    setup.wLength = qFromLittleEndian<quint16>(bytes + 6);
    std::uint8_t* data = bytes + kSetupLength;
    const int length = setup.wLength;
    *status = -EPIPE;
    *actual = 0;
    if ((setup.bmRequestType & kRequestTypeMask) == 0) {
        // Standard requests: the device's USB core answers them, the video function never sees
        // them. Descriptors, status and configuration; everything else stalls.
        const QVector<VirtualCamera> models = rig->cameras();
        if (device->camera >= models.size())
            return;
        const VirtualCamera& model = models.at(device->camera);
        const int type = setup.wValue >> 8;
        const int which = setup.wValue & 0xFF;
        QByteArray answer;
        if (setup.bmRequestType == 0x80 && setup.bRequest == kRequestGetDescriptor) {
            const QByteArray all = model.usbDescriptors();
            if (type == kDescriptorTypeDevice)
                answer = all.left(18);
            else if (type == kDescriptorTypeConfiguration && which == 0)
                answer = all.mid(18);
            else if (type == kDescriptorTypeString && which == 0)
                answer = QByteArray::fromHex("04030904");
            else if (type == kDescriptorTypeString && setup.wIndex == kLanguageUsEnglish &&
                     which == kStringProduct)
                answer = stringDescriptor(model.friendlyName());
            else if (type == kDescriptorTypeString && setup.wIndex == kLanguageUsEnglish &&
                     which == kStringSerial && !model.serial().isEmpty())
                answer = stringDescriptor(model.serial());
        } else if ((setup.bmRequestType & 0x80) && setup.bRequest == kRequestGetStatus) {
            answer = QByteArray(2, '\0');
        } else if (setup.bmRequestType == 0x80 && setup.bRequest == kRequestGetConfiguration) {
            answer = QByteArray(1, char(1));
        }
        if (!answer.isEmpty()) {
            *actual = std::min(length, static_cast<int>(answer.size()));
            std::memcpy(data, answer.constData(), static_cast<std::size_t>(*actual));
            *status = 0;
        }
        return;
    }
    // Class and vendor requests reach the camera's function as the in-process face hands them on.
    const int result =
        rig->withCamera(device->camera, [&](VirtualCamera& model, QVector<JournalEvent>* journal) {
            return model.controlTransfer(setup, data, journal);
        });
    synchronize(); // the camera may have gone
    if (result >= 0) {
        *status = 0;
        *actual = result;
    } else if (result == -ETIMEDOUT) {
        *unanswered = true; // the camera NAKs; the client's time-out discards the URB
    } else if (result == -ENODEV) {
        *status = -ESHUTDOWN;
    } else if (result != -EPIPE) {
        *status = -EPROTO;
    }
}

int EmulatedLoaders::Private::syncControl(Client* client, UMockdevIoctlData* arg, long* result)
{
    // USBDEVFS_CONTROL: the same request, waited for within the call.
    const DataPtr data = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
    if (!data)
        return EFAULT;
    const auto transfer = load<usbdevfs_ctrltransfer>(data.get());
    DataPtr buffer;
    if (transfer.wLength > 0) {
        buffer = resolve(data.get(), offsetof(usbdevfs_ctrltransfer, data), transfer.wLength);
        if (!buffer)
            return EFAULT;
    }
    std::vector<std::uint8_t> bytes(kSetupLength + transfer.wLength);
    bytes[0] = transfer.bRequestType;
    bytes[1] = transfer.bRequest;
    qToLittleEndian<quint16>(transfer.wValue, bytes.data() + 2);
    qToLittleEndian<quint16>(transfer.wIndex, bytes.data() + 4);
    qToLittleEndian<quint16>(transfer.wLength, bytes.data() + 6);
    const bool in = transfer.bRequestType & 0x80;
    if (buffer && !in)
        std::memcpy(bytes.data() + kSetupLength, buffer->data, transfer.wLength);
    int status = 0;
    int actual = 0;
    bool unanswered = false;
    if (const int error = controlRequest(client, bytes.data(), static_cast<int>(bytes.size()), &status,
                                         &actual, &unanswered))
        return error;
    ++client->device->activity.urbs;
    if (unanswered)
        return ETIMEDOUT;
    if (status == -ESHUTDOWN)
        return ENODEV;
    if (status != 0) {
        if (status == -EPIPE)
            ++client->device->activity.stalledUrbs;
        return -status;
    }
    if (buffer && in)
        std::memcpy(buffer->data, bytes.data() + kSetupLength, static_cast<std::size_t>(actual));
    *result = actual;
    return 0;
}

int EmulatedLoaders::Private::reap(Client* client, UMockdevIoctlData* arg)
{
    UsbDevice* device = client->device;
    if (client->completed.empty())
        return device->activity.present ? EAGAIN : ENODEV;
    DataPtr pointer = resolve(arg, 0, sizeof(void*));
    if (!pointer)
        return EFAULT;
    Urb urb = std::move(client->completed.front());
    client->completed.pop_front();
    // The client's pointer now points to its own URB, which goes back with status and data.
    umockdev_ioctl_data_set_ptr(pointer.get(), 0, urb.data.get());
    setReady(device);
    return 0;
}

int EmulatedLoaders::Private::discard(Client* client, UMockdevIoctlData* arg)
{
    // The argument is the URB's address in the client.
    if (!arg || !arg->data || arg->data_len < static_cast<int>(sizeof(unsigned long)))
        return EFAULT;
    const auto address = load<unsigned long>(arg);
    for (auto it = client->pending.begin(); it != client->pending.end(); ++it) {
        if (it->clientAddress() != address)
            continue;
        it->finish(-ENOENT, 0);
        client->completed.push_back(std::move(*it));
        client->pending.erase(it);
        setReady(client->device);
        return 0;
    }
    return EINVAL; // not in flight (done already, or never submitted)
}

// ---------------------------------------------------------------------------------------------

EmulatedLoaders::EmulatedLoaders(EmulatedCameras& cameras) : d(std::make_shared<Private>())
{
    d->cameras = &cameras;
    d->rig = &cameras.rig();
    d->testbed = cameras.testbed();
    d->rootDir = cameras.rootDirectory();
    if (!cameras.emulationActive() || !d->testbed) {
        d->errors << QStringLiteral("umockdev's preload library is not loaded (run under umockdev-wrapper)");
        return;
    }
    std::lock_guard<std::mutex> guard(d->lock);
    QVector<int> buses;
    for (const VirtualCamera& camera : d->rig->cameras()) {
        const int bus = busOfPort(camera.busPort());
        if (bus != 0 && !buses.contains(bus))
            buses << bus;
    }
    for (const int bus : qAsConst(buses)) {
        d->prepare(bus);
        cameras.rootHub(bus);
    }
    d->synchronize();
    std::weak_ptr<Private> weak = d;
    cameras.setRequestObserver([weak](int) {
        if (const std::shared_ptr<Private> core = weak.lock()) {
            std::lock_guard<std::mutex> inner(core->lock);
            if (!core->closed)
                core->synchronize();
        }
    });
}

EmulatedLoaders::~EmulatedLoaders()
{
    d->cameras->setRequestObserver({});
    // Descriptors closed just before are noticed on umockdev's worker thread; give it a moment.
    for (int i = 0; i < 2000; ++i) {
        bool open = false;
        {
            std::lock_guard<std::mutex> guard(d->lock);
            for (const auto& entry : d->clients)
                open = open || umockdev_ioctl_client_get_connected(entry.first);
        }
        if (!open)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    {
        // From here on handlers that still run answer ENODEV and leave the models alone.
        std::lock_guard<std::mutex> guard(d->lock);
        d->closed = true;
        for (auto& entry : d->clients) {
            if (entry.second->notifyId != 0)
                g_signal_handler_disconnect(entry.second->client, entry.second->notifyId);
            g_object_unref(entry.second->client);
        }
        d->clients.clear();
        for (const std::unique_ptr<UsbDevice>& device : d->devices) {
            if (device->fifo >= 0)
                ::close(device->fifo);
            device->fifo = -1;
        }
    }
    // Outside the lock: an emission that runs meanwhile must be able to take it.
    for (const std::unique_ptr<Slot>& slot : d->pool) {
        g_signal_handler_disconnect(slot->handler, slot->ioctlId);
        g_signal_handler_disconnect(slot->handler, slot->connectId);
        if (slot->attached && d->testbed)
            umockdev_testbed_detach_ioctl(d->testbed, slot->devnode.constData(), nullptr);
        g_object_unref(slot->handler);
        slot->handler = nullptr;
    }
}

bool EmulatedLoaders::isValid() const
{
    std::lock_guard<std::mutex> guard(d->lock);
    return d->errors.isEmpty();
}

QString EmulatedLoaders::errorString() const
{
    std::lock_guard<std::mutex> guard(d->lock);
    return d->errors.join(QStringLiteral("; "));
}

EmulatedLoaderNodes EmulatedLoaders::nodes(int camera) const
{
    std::lock_guard<std::mutex> guard(d->lock);
    if (!d->closed)
        d->collectClosed();
    EmulatedLoaderNodes result;
    if (camera < 0 || camera >= d->current.size() || !d->current.at(camera))
        return result;
    const UsbDevice* device = d->current.at(camera);
    result.usbDevice = device->usbDevice;
    result.usbInterface = device->usbInterface;
    result.scsiDevice = device->scsiDevice;
    result.usbNode = QString::fromLatin1(device->devnode);
    result.bus = device->activity.bus;
    result.devnum = device->activity.devnum;
    return result;
}

QVector<EmulatedUsbActivity> EmulatedLoaders::Private::activities(int camera, bool ofCamera)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!closed)
        collectClosed();
    QVector<EmulatedUsbActivity> result;
    for (const std::unique_ptr<UsbDevice>& device : devices) {
        if (device->camera == camera && device->isCamera == ofCamera)
            result << device->activity;
    }
    return result;
}

QVector<EmulatedUsbActivity> EmulatedLoaders::enumerations(int camera) const
{
    return d->activities(camera, false);
}

QVector<EmulatedUsbActivity> EmulatedLoaders::cameraEnumerations(int camera) const
{
    return d->activities(camera, true);
}

void EmulatedLoaders::synchronize()
{
    std::lock_guard<std::mutex> guard(d->lock);
    if (!d->closed) {
        d->collectClosed();
        d->synchronize();
    }
}
