// The Linux video bindings (LinuxVideoBackend, UVCExtensionUnit, DShowCameraWrapper) end to end
// against emulated kernel devices: the program runs under umockdev-wrapper, EmulatedCameras
// presents virtual cameras as USB devices with uvcvideo nodes, and the production code does its
// real open(), ioctl() and libudev calls on them. Every answer comes from the camera's device
// model, and the rig's journal shows which camera received which request.
//
// Without umockdev's preload library the whole program reports SKIP (exit code 77).

#include "app/catalogue.h"
#include "cli/cli.h"
#include "device/cameracontroltable.h"
#include "device/deviceid.h"
#include "device/dshowcamerawrapper.h"
#include "device/linuxhotplug.h"
#include "device/linuxvideobackend.h"
#include "device/uvcextensionunit.h"
#include "device/xuprotocol.h"
#include "sim/umockdev/umockdevcamera.h"
#include "sim/virtualcamera.h"
#include "sim/virtualrig.h"
#include "tests/support/emulatedbench.h"
#include "tests/support/withoutcapabilities.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::uint8_t kGetLen = 0x85;
constexpr std::uint8_t kGetInfo = 0x86;
constexpr std::uint8_t kSetCur = 0x01;
constexpr std::uint8_t kGetCur = 0x81;
constexpr std::uint8_t kGetMin = 0x82;
constexpr std::uint8_t kGetMax = 0x83;
constexpr std::uint8_t kGetRes = 0x84;
constexpr std::uint8_t kGetDef = 0x87;

// A testbed with its cameras and the journal of everything they received.
class Bench : public EmulatedBench
{
public:
    using EmulatedBench::EmulatedBench;

    EmulatedCameras& emulated() { return cameras(); }
    EmulatedCameraNodes nodes(int camera) const { return cameras().nodes(camera); }
    VirtualCamera camera(int index) { return rig().cameras().at(index); }

    // The journal's events named name (all events when name is empty), in order.
    QVector<QJsonObject> events(const QString& name = QString()) const
    {
        return journalReader().events(name);
    }

    // The camera indices that received the events named name.
    QVector<int> camerasOf(const QString& name) const
    {
        QVector<int> result;
        for (const QJsonObject& event : events(name))
            result.append(event.value(QStringLiteral("camera")).toInt(-1));
        return result;
    }

    int controlValue(int camera, std::uint32_t id)
    {
        VirtualControl control;
        if (this->camera(camera).queryControl(id, &control) != 0)
            return INT_MIN;
        return control.value;
    }
};

#define REQUIRE_BENCH(bench)                                                                                 \
    QVERIFY2((bench).emulated().isValid(), qPrintable((bench).emulated().errorString()))

// Releases the process-wide camera binding of DShowCameraWrapper before the testbed goes away.
struct BoundFilterGuard
{
    DShowCameraWrapper& wrapper;
    ~BoundFilterGuard() { wrapper.releaseCameraFilter(); }
};

QJsonObject cameraConfig(int model, const QString& port, bool microphone = false)
{
    return {{QStringLiteral("model"), model},
            {QStringLiteral("port"), port},
            {QStringLiteral("micNode"), microphone}};
}

QJsonObject with(QJsonObject configuration, const QString& key, const QJsonValue& value)
{
    configuration.insert(key, value);
    return configuration;
}

QString friendlyName(int model)
{
    return VirtualCamera(model).friendlyName();
}

CameraEntry entryOnPort(const QVector<CameraEntry>& entries, const QString& port)
{
    for (const CameraEntry& entry : entries) {
        if (entry.id.contains(QLatin1Char('&') + port + QLatin1Char('&')))
            return entry;
    }
    return {};
}

// One raw UVCIOC_CTRL_QUERY on an open node: 0 or the errno.
int rawXuQuery(int fd, int unit, int selector, std::uint8_t request, std::uint8_t* data, std::uint16_t size)
{
    uvc_xu_control_query query{};
    query.unit = static_cast<__u8>(unit);
    query.selector = static_cast<__u8>(selector);
    query.query = request;
    query.size = size;
    query.data = data;
    return ::ioctl(fd, UVCIOC_CTRL_QUERY, &query) == 0 ? 0 : errno;
}

// What a real V4L2 client printed and how it ended.
struct ClientRun
{
    int status = -1; // exit code; -1 when it could not start or crashed
    QString output;  // standard output and error, merged
};

// Runs a v4l-utils program as a child process. It inherits umockdev's preload and the testbed
// from this process, so its /dev and /sys are the emulated ones; the descriptor cap goes first.
ClientRun runClient(const QString& program, const QStringList& arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString preload = environment.value(QStringLiteral("LD_PRELOAD"));
    environment.insert(QStringLiteral("LD_PRELOAD"),
                       QStringLiteral(DECKCTL_FD_CAP_SHIM) +
                           (preload.isEmpty() ? QString() : QLatin1Char(':') + preload));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    ClientRun run;
    if (!process.waitForFinished(90000)) {
        process.kill();
        process.waitForFinished();
        run.output = QString::fromLocal8Bit(process.readAll()) + QStringLiteral("\n(did not finish)");
        return run;
    }
    run.output = QString::fromLocal8Bit(process.readAll());
    if (process.exitStatus() == QProcess::NormalExit)
        run.status = process.exitCode();
    return run;
}

} // namespace

class TstKernelBindings : public QObject
{
    Q_OBJECT
public:
    bool emulationUnavailable() const { return m_unavailable; }

private slots:
    void initTestCase();
    void init();

    // The emulation itself answers as uvcvideo does, so that the tests below mean something.
    void emulatedNodesAreAsStrictAsTheDriver();
    void extensionUnitRequestCodes_data();
    void extensionUnitRequestCodes();
    void controlLookupAsTheDriver_data();
    void controlLookupAsTheDriver();
    void driverCachesWhatTheCameraTook();

    // Enumeration.
    void capturesListedInPortOrder();
    void microphoneDroppedButCounted();
    void initVideoDeviceOpensTheNamedCamera_data();
    void initVideoDeviceOpensTheNamedCamera();
    void idShape_data();
    void idShape();
    void idSurvivesReplugging();
    void hotplugNamesAsListed_data();
    void hotplugNamesAsListed();
    void nodeWithoutPermissionIsNamed();

    // The vendor extension unit.
    void extensionUnitAtAnyUnitId_data();
    void extensionUnitAtAnyUnitId();
    void cameraWithoutExtensionUnit();
    void failedRequestAsksForReinit_data();
    void failedRequestAsksForReinit();
    void failedQueryLeavesValueUntouched_data();
    void failedQueryLeavesValueUntouched();
    void transfersKeepLengthAndDirection_data();
    void transfersKeepLengthAndDirection();
    void settingsRoundTrip_data();
    void settingsRoundTrip();
    void cameraVersion_data();
    void cameraVersion();

    // Standard controls.
    void controlRangesInDegrees();
    void panTiltWrittenInArcSeconds();

    // Hot-unplug.
    void unplugDuringUse();

    // Real V4L2 clients against the emulated nodes.
    void v4l2CtlReadsAndWritesControls();
    void v4l2CompliancePassesTheControlTests();

private:
    LinuxVideoBackend m_backend;
    bool m_unavailable = false;
};

void TstKernelBindings::initTestCase()
{
    const EmulatedCameras probe{QVector<VirtualCamera>()};
    if (!probe.emulationActive()) {
        m_unavailable = true;
        QSKIP("umockdev's preload library is not loaded: run this program under umockdev-wrapper");
    }
}

void TstKernelBindings::init()
{
    CameraControlTable::instance().reset();
}

void TstKernelBindings::emulatedNodesAreAsStrictAsTheDriver()
{
    Bench bench({with(cameraConfig(7, QStringLiteral("1-1")), QStringLiteral("extensionUnit"), 4)});
    REQUIRE_BENCH(bench);
    const EmulatedCameraNodes nodes = bench.nodes(0);

    Fd capture(nodes.captureNode);
    QVERIFY2(capture.fd >= 0, strerror(errno));
    v4l2_capability capability{};
    QCOMPARE(::ioctl(capture.fd, VIDIOC_QUERYCAP, &capability), 0);
    QCOMPARE(capability.device_caps,
             std::uint32_t(V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT));
    QVERIFY(capability.capabilities & V4L2_CAP_EXT_PIX_FORMAT);
    QCOMPARE(QString::fromUtf8(reinterpret_cast<const char*>(capability.card)), friendlyName(7));

    // The driver checks every request before the camera sees it.
    std::uint8_t length[2] = {};
    QCOMPARE(rawXuQuery(capture.fd, 4, xu::SELECTOR_COMMAND, kGetLen, length, 2), 0);
    QCOMPARE(int(length[0] | length[1] << 8), xu::kBlockLength);
    std::uint8_t info = 0;
    QCOMPARE(rawXuQuery(capture.fd, 4, xu::SELECTOR_RESPONSE, kGetInfo, &info, 1), 0);
    QCOMPARE(int(info), 0x01); // get only
    xu::Block block = {xu::queryCode(xu::XU_TRACKING_MODE), 1};
    QCOMPARE(rawXuQuery(capture.fd, 6, xu::SELECTOR_COMMAND, kSetCur, block.data(), 8), ENOENT);
    QCOMPARE(rawXuQuery(capture.fd, 4, 3, kSetCur, block.data(), 8), ENOENT);
    QCOMPARE(rawXuQuery(capture.fd, 4, xu::SELECTOR_COMMAND, kSetCur, block.data(), 7), ENOBUFS);
    QCOMPARE(rawXuQuery(capture.fd, 4, xu::SELECTOR_COMMAND, kGetLen, length, 1), ENOBUFS);
    QCOMPARE(rawXuQuery(capture.fd, 4, xu::SELECTOR_COMMAND, kGetCur, block.data(), 8), EBADRQC);
    QCOMPARE(rawXuQuery(capture.fd, 4, xu::SELECTOR_RESPONSE, kSetCur, block.data(), 8), EBADRQC);
    QVERIFY(bench.events().isEmpty()); // nothing of that reached the camera

    // A valid exchange reaches the camera and is journaled; a block it refuses stalls.
    QCOMPARE(rawXuQuery(capture.fd, 4, xu::SELECTOR_COMMAND, kSetCur, block.data(), 8), 0);
    xu::Block answer = {};
    QCOMPARE(rawXuQuery(capture.fd, 4, xu::SELECTOR_RESPONSE, kGetCur, answer.data(), 8), 0);
    QCOMPARE(int(answer[xu::kOffsetCode]), int(xu::queryCode(xu::XU_TRACKING_MODE)));
    QCOMPARE(int(answer[xu::kOffsetValue]), 1); // factory tracking mode
    QCOMPARE(bench.camerasOf(QStringLiteral("xu-set")), QVector<int>{0});
    QCOMPARE(bench.camerasOf(QStringLiteral("xu-get")), QVector<int>{0});
    xu::Block unknown = {0x6E};
    QCOMPARE(rawXuQuery(capture.fd, 4, xu::SELECTOR_COMMAND, kSetCur, unknown.data(), 8), EPIPE);

    // V4L2 controls: enumerated in id order, clamped and rounded, unknown ids refused.
    QVector<std::uint32_t> enumerated;
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    int error = 0;
    for (;;) {
        if (::ioctl(capture.fd, VIDIOC_QUERYCTRL, &query) != 0) {
            error = errno;
            break;
        }
        enumerated.append(query.id);
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    QCOMPARE(error, EINVAL);
    // Each class comes before its controls, as uvcvideo lists them.
    QVector<std::uint32_t> expected = bench.camera(0).controlIds()
                                      << V4L2_CID_USER_CLASS << V4L2_CID_CAMERA_CLASS;
    std::sort(expected.begin(), expected.end());
    QCOMPARE(enumerated, expected);
    v4l2_control control{V4L2_CID_PAN_ABSOLUTE, 200000};
    QCOMPARE(::ioctl(capture.fd, VIDIOC_S_CTRL, &control), 0);
    QCOMPARE(control.value, 30 * 3600);
    control = {V4L2_CID_TILT_ABSOLUTE, 3599};
    QCOMPARE(::ioctl(capture.fd, VIDIOC_S_CTRL, &control), 0);
    QCOMPARE(control.value, 3600);
    control = {V4L2_CID_FOCUS_ABSOLUTE, 0};
    const int result = ::ioctl(capture.fd, VIDIOC_G_CTRL, &control);
    error = errno;
    QCOMPARE(result, -1);
    QCOMPARE(error, EINVAL);

    // The metadata node only describes itself.
    Fd metadata(nodes.metadataNode);
    QVERIFY2(metadata.fd >= 0, strerror(errno));
    QCOMPARE(::ioctl(metadata.fd, VIDIOC_QUERYCAP, &capability), 0);
    QCOMPARE(capability.device_caps,
             std::uint32_t(V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT));
    QVERIFY(capability.capabilities & V4L2_CAP_VIDEO_CAPTURE); // the device's, not the node's
    QCOMPARE(rawXuQuery(metadata.fd, 4, xu::SELECTOR_COMMAND, kSetCur, block.data(), 8), ENOTTY);
}

void TstKernelBindings::extensionUnitRequestCodes_data()
{
    QTest::addColumn<int>("request");
    QTest::addColumn<int>("selector");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("error");      // 0: answered by the camera
    QTest::addColumn<QString>("answer"); // the bytes the camera sent
    QTest::newRow("GET_MIN") << int(kGetMin) << xu::SELECTOR_COMMAND << 8 << 0
                             << QStringLiteral("00 00 00 00 00 00 00 00");
    QTest::newRow("GET_MAX") << int(kGetMax) << xu::SELECTOR_RESPONSE << 8 << 0
                             << QStringLiteral("ff ff ff ff ff ff ff ff");
    QTest::newRow("GET_RES") << int(kGetRes) << xu::SELECTOR_AUDIO_DATA << 32 << 0
                             << QStringLiteral("01") + QStringLiteral(" 00").repeated(31);
    QTest::newRow("GET_DEF") << int(kGetDef) << xu::SELECTOR_AUDIO_STATUS << 8 << 0
                             << QStringLiteral("00 00 00 00 00 00 00 00");
    QTest::newRow("GET_MIN, wrong size") << int(kGetMin) << xu::SELECTOR_COMMAND << 7 << ENOBUFS << QString();
    QTest::newRow("unknown request code") << 0x88 << xu::SELECTOR_COMMAND << 8 << EINVAL << QString();
    QTest::newRow("request code 0") << 0x00 << xu::SELECTOR_COMMAND << 8 << EINVAL << QString();
    QTest::newRow("unknown code, unknown selector") << 0x88 << 3 << 8 << ENOENT << QString();
}

void TstKernelBindings::extensionUnitRequestCodes()
{
    QFETCH(int, request);
    QFETCH(int, selector);
    QFETCH(int, size);
    QFETCH(int, error);
    QFETCH(QString, answer);
    Bench bench({cameraConfig(7, QStringLiteral("1-1"))});
    REQUIRE_BENCH(bench);
    Fd capture(bench.nodes(0).captureNode);
    QVERIFY2(capture.fd >= 0, strerror(errno));
    QVector<std::uint8_t> data(size, 0x5A);
    QCOMPARE(rawXuQuery(capture.fd, 6, selector, static_cast<std::uint8_t>(request), data.data(),
                        static_cast<std::uint16_t>(size)),
             error);
    const QVector<QJsonObject> events = bench.events(QStringLiteral("xu-range"));
    if (error != 0) {
        QVERIFY(events.isEmpty()); // the driver refused it before the camera saw it
        QCOMPARE(data, QVector<std::uint8_t>(size, 0x5A));
        return;
    }
    QCOMPARE(hexBytes(data.data(), size), answer);
    QCOMPARE(events.size(), 1);
    QCOMPARE(events.at(0).value(QStringLiteral("selector")).toInt(), selector);
}

void TstKernelBindings::controlLookupAsTheDriver_data()
{
    QTest::addColumn<bool>("extended"); // VIDIOC_QUERY_EXT_CTRL instead of VIDIOC_QUERYCTRL
    QTest::addColumn<quint32>("id");
    QTest::addColumn<quint32>("found"); // 0: EINVAL
    QTest::addColumn<quint32>("type");
    const quint32 next = V4L2_CTRL_FLAG_NEXT_CTRL;
    const quint32 compound = V4L2_CTRL_FLAG_NEXT_COMPOUND;
    for (const bool extended : {false, true}) {
        const char* name = extended ? "ext" : "plain";
        QTest::addRow("%s: first is the user class", name)
            << extended << next << quint32(V4L2_CID_USER_CLASS) << quint32(V4L2_CTRL_TYPE_CTRL_CLASS);
        QTest::addRow("%s: after the user class", name)
            << extended << (V4L2_CID_USER_CLASS | next) << quint32(V4L2_CID_BRIGHTNESS)
            << quint32(V4L2_CTRL_TYPE_INTEGER);
        QTest::addRow("%s: camera class before pan", name)
            << extended << (V4L2_CID_SHARPNESS | next) << quint32(V4L2_CID_CAMERA_CLASS)
            << quint32(V4L2_CTRL_TYPE_CTRL_CLASS);
        QTest::addRow("%s: next and compound", name)
            << extended << (V4L2_CID_CAMERA_CLASS | next | compound) << quint32(V4L2_CID_PAN_ABSOLUTE)
            << quint32(V4L2_CTRL_TYPE_INTEGER);
        QTest::addRow("%s: compound alone finds none", name)
            << extended << compound << quint32(0) << quint32(0);
        QTest::addRow("%s: nothing after zoom", name)
            << extended << (V4L2_CID_ZOOM_ABSOLUTE | next) << quint32(0) << quint32(0);
        QTest::addRow("%s: a class by its id", name)
            << extended << quint32(V4L2_CID_CAMERA_CLASS) << quint32(V4L2_CID_CAMERA_CLASS)
            << quint32(V4L2_CTRL_TYPE_CTRL_CLASS);
        QTest::addRow("%s: a class the camera lacks", name)
            << extended << quint32(V4L2_CID_FLASH_CLASS) << quint32(0) << quint32(0);
        QTest::addRow("%s: a boolean by its id", name)
            << extended << quint32(V4L2_CID_HUE_AUTO) << quint32(V4L2_CID_HUE_AUTO)
            << quint32(V4L2_CTRL_TYPE_BOOLEAN);
        QTest::addRow("%s: a control the camera lacks", name)
            << extended << quint32(V4L2_CID_FOCUS_ABSOLUTE) << quint32(0) << quint32(0);
    }
}

void TstKernelBindings::controlLookupAsTheDriver()
{
    QFETCH(bool, extended);
    QFETCH(quint32, id);
    QFETCH(quint32, found);
    QFETCH(quint32, type);
    Bench bench({cameraConfig(7, QStringLiteral("1-1"))});
    REQUIRE_BENCH(bench);
    Fd capture(bench.nodes(0).captureNode);
    QVERIFY2(capture.fd >= 0, strerror(errno));
    v4l2_query_ext_ctrl extendedQuery{};
    v4l2_queryctrl query{};
    extendedQuery.id = id;
    query.id = id;
    const int result = extended ? ::ioctl(capture.fd, VIDIOC_QUERY_EXT_CTRL, &extendedQuery)
                                : ::ioctl(capture.fd, VIDIOC_QUERYCTRL, &query);
    const int error = result == 0 ? 0 : errno;
    if (found == 0) {
        QCOMPARE(error, EINVAL);
        return;
    }
    QCOMPARE(error, 0);
    QCOMPARE(extended ? extendedQuery.id : query.id, found); // the flags are cleared
    QCOMPARE(extended ? extendedQuery.type : query.type, type);
    const std::uint32_t flags = extended ? extendedQuery.flags : query.flags;
    if (type == V4L2_CTRL_TYPE_CTRL_CLASS) {
        QCOMPARE(flags, std::uint32_t(V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY));
        QCOMPARE(QByteArray(extended ? extendedQuery.name : reinterpret_cast<const char*>(query.name)),
                 QByteArray(found == V4L2_CID_USER_CLASS ? "User Controls" : "Camera Controls"));
        // A class has no value.
        v4l2_control control{found, 0};
        QCOMPARE(::ioctl(capture.fd, VIDIOC_G_CTRL, &control), -1);
        QCOMPARE(errno, EACCES);
    } else {
        QCOMPARE(flags, 0u);
    }
    if (extended && type != V4L2_CTRL_TYPE_CTRL_CLASS) {
        QCOMPARE(extendedQuery.elem_size, 4u);
        QCOMPARE(extendedQuery.elems, 1u);
    }
    // No control of this camera has a menu.
    v4l2_querymenu menu{};
    menu.id = found;
    QCOMPARE(::ioctl(capture.fd, VIDIOC_QUERYMENU, &menu), -1);
    QCOMPARE(errno, EINVAL);
}

void TstKernelBindings::driverCachesWhatTheCameraTook()
{
    Bench bench({cameraConfig(7, QStringLiteral("1-1"))});
    REQUIRE_BENCH(bench);
    Fd capture(bench.nodes(0).captureNode);
    QVERIFY2(capture.fd >= 0, strerror(errno));
    auto get = [&capture](std::uint32_t id) {
        v4l2_control control{id, -1};
        return ::ioctl(capture.fd, VIDIOC_G_CTRL, &control) == 0 ? control.value : INT_MIN;
    };
    auto set = [&capture](std::uint32_t id, std::int32_t value) {
        v4l2_control control{id, value};
        return ::ioctl(capture.fd, VIDIOC_S_CTRL, &control) == 0 ? 0 : errno;
    };
    auto changeBehindTheDriver = [&bench](std::uint32_t id, std::int32_t value) {
        bench.rig().modify([id, value](QVector<VirtualCamera>& cameras) {
            QVector<JournalEvent> ignored;
            const bool streaming = cameras[0].streaming();
            cameras[0].setStreaming(true);
            cameras[0].setControl(id, value, &ignored);
            cameras[0].setStreaming(streaming);
        });
    };

    // Not streaming: the camera stalls the change, the driver fails the call and keeps the value
    // it had; setting the value the camera has is no change.
    QCOMPARE(get(V4L2_CID_BRIGHTNESS), 50);
    QCOMPARE(set(V4L2_CID_BRIGHTNESS, 80), EPIPE);
    QCOMPARE(bench.controlValue(0, V4L2_CID_BRIGHTNESS), 50);
    QCOMPARE(get(V4L2_CID_BRIGHTNESS), 50);
    QCOMPARE(set(V4L2_CID_BRIGHTNESS, 50), 0);
    QCOMPARE(bench.events(QStringLiteral("refused")).size(), 1);
    // The device layer reports the refusal as a failed write.
    {
        DShowCameraWrapper wrapper(&m_backend);
        BoundFilterGuard guard{wrapper};
        QVector<CameraEntry> entries;
        QCOMPARE(wrapper.listVideoDevices(entries), 1);
        int index = -1;
        QVERIFY(wrapper.openCameraFilter(entries.at(0).id, entries.at(0).name, index));
        QVERIFY(!wrapper.setVideoProcAmp(video_proc_amp_id::Contrast, 70));
        int value = 0;
        QVERIFY(wrapper.getVideoProcAmp(video_proc_amp_id::Contrast, value));
        QCOMPARE(value, 50);
    }

    // Streaming: the value is taken and from then on answered from the driver's cache, without
    // asking the camera, even when the camera changed it by itself.
    bench.rig().modify([](QVector<VirtualCamera>& cameras) { cameras[0].setStreaming(true); });
    QCOMPARE(set(V4L2_CID_BRIGHTNESS, 81), 0);
    QCOMPARE(bench.controlValue(0, V4L2_CID_BRIGHTNESS), 81);
    changeBehindTheDriver(V4L2_CID_BRIGHTNESS, 20);
    const int reads = bench.events(QStringLiteral("ctrl-get")).size();
    QCOMPARE(get(V4L2_CID_BRIGHTNESS), 81);
    QCOMPARE(bench.events(QStringLiteral("ctrl-get")).size(), reads);
    // Pan, tilt and zoom may change on the camera (tracking): the driver always asks.
    QCOMPARE(set(V4L2_CID_ZOOM_ABSOLUTE, 300), 0);
    changeBehindTheDriver(V4L2_CID_ZOOM_ABSOLUTE, 420);
    QCOMPARE(get(V4L2_CID_ZOOM_ABSOLUTE), 420);
    QCOMPARE(bench.events(QStringLiteral("ctrl-get")).size(), reads + 1);
}

void TstKernelBindings::nodeWithoutPermissionIsNamed()
{
    Bench bench({cameraConfig(7, QStringLiteral("1-2"))});
    REQUIRE_BENCH(bench);
    const QString node = bench.nodes(0).captureNode;
    const QByteArray file = QFile::encodeName(bench.cameras().rootDirectory() + node);
    struct stat before = {};
    QVERIFY2(::stat(file.constData(), &before) == 0, file.constData());
    QCOMPARE(m_backend.listCaptureDevices().size(), 1);
    QVERIFY(m_backend.listInaccessibleDevices().isEmpty());

    // The node as it is without the rule: not for this user.
    QCOMPARE(::chmod(file.constData(), 0), 0);
    QVector<VideoDeviceInfo> listed;
    QVector<InaccessibleVideoDevice> denied;
    QString listOut, listErr, infoOut, infoErr;
    int listStatus = -1;
    int infoStatus = -1;
    {
        WithoutCapabilities unprivileged;
        QVERIFY(unprivileged.dropped());
        listed = m_backend.listCaptureDevices();
        denied = m_backend.listInaccessibleDevices();
        QTextStream out(&listOut), err(&listErr);
        listStatus = cli::run({QStringLiteral("list")}, out, err);
        QTextStream out2(&infoOut), err2(&infoErr);
        infoStatus = cli::run({QStringLiteral("info")}, out2, err2);
    }
    QCOMPARE(::chmod(file.constData(), before.st_mode & 07777), 0);
    QVERIFY(listed.isEmpty());
    QCOMPARE(denied.size(), 1);
    QCOMPARE(denied.at(0).node, node);
    QCOMPARE(denied.at(0).vendorId, 0x1D6B);
    QCOMPARE(denied.at(0).productId, 0xC015);
    QCOMPARE(denied.at(0).error, -EACCES);

    // The tool names the node and the rule instead of "no camera is connected".
    const QString message = QStringLiteral("deckctl-cli: no permission to open %1 (").arg(node);
    QCOMPARE(listStatus, 0);
    QCOMPARE(listOut, QString());
    QVERIFY2(listErr.startsWith(message) && listErr.contains(QLatin1String("1d6b:c015")) &&
                 listErr.contains(QLatin1String("60-deckctl.rules")) &&
                 listErr.contains(QLatin1String("udevadm trigger")),
             qPrintable(listErr));
    QCOMPARE(infoStatus, 1);
    QVERIFY2(infoErr.startsWith(message) && infoErr.contains(QLatin1String("60-deckctl.rules")),
             qPrintable(infoErr));
    QVERIFY(!infoErr.contains(QLatin1String("no camera is connected")));

    // With the rule applied the camera is back.
    QCOMPARE(m_backend.listCaptureDevices().size(), 1);
}

void TstKernelBindings::capturesListedInPortOrder()
{
    // The same model twice: same name, same serial. Node numbers follow the rig (1-10 first);
    // the listing orders by port number, where "1-2" comes before "1-10".
    Bench bench({cameraConfig(7, QStringLiteral("1-10")), cameraConfig(7, QStringLiteral("1-2"), true)});
    REQUIRE_BENCH(bench);
    const EmulatedCameraNodes onPort10 = bench.nodes(0);
    const EmulatedCameraNodes onPort2 = bench.nodes(1);
    QVERIFY(!onPort2.microphoneNode.isEmpty());

    const QVector<VideoDeviceInfo> devices = m_backend.listCaptureDevices();
    QCOMPARE(devices.size(), 3); // no metadata node
    QCOMPARE(devices.at(0).node, onPort2.captureNode);
    QCOMPARE(devices.at(0).friendlyName, friendlyName(7));
    QCOMPARE(devices.at(1).node, onPort2.microphoneNode);
    QCOMPARE(devices.at(1).friendlyName, friendlyName(7) + QStringLiteral(" MIC Array"));
    QCOMPARE(devices.at(2).node, onPort10.captureNode);
    QCOMPARE(devices.at(2).friendlyName, friendlyName(7));

    const QString id2 = deviceIdFromPath(devices.at(0).devicePath);
    const QString idMicrophone = deviceIdFromPath(devices.at(1).devicePath);
    const QString id10 = deviceIdFromPath(devices.at(2).devicePath);
    QVERIFY(id2.contains(QStringLiteral("&1-2&")));
    QVERIFY(id10.contains(QStringLiteral("&1-10&")));
    QVERIFY(id2.endsWith(QStringLiteral("&0000")));
    QVERIFY(idMicrophone.endsWith(QStringLiteral("&0001"))); // the device's second capture node
    QVERIFY(id10.endsWith(QStringLiteral("&0000")));
    QVERIFY(id2 != id10);
    QVERIFY(!id2.contains(id10) && !id10.contains(id2));

    // Listing again gives the same list.
    const QVector<VideoDeviceInfo> again = m_backend.listCaptureDevices();
    QCOMPARE(again.size(), devices.size());
    for (int i = 0; i < devices.size(); ++i) {
        QCOMPARE(again.at(i).devicePath, devices.at(i).devicePath);
        QCOMPARE(again.at(i).node, devices.at(i).node);
    }
    QVERIFY(bench.events().isEmpty()); // listing asks the driver only, never the camera
}

void TstKernelBindings::microphoneDroppedButCounted()
{
    Bench bench({cameraConfig(7, QStringLiteral("1-1"), true), cameraConfig(2, QStringLiteral("1-2"))});
    REQUIRE_BENCH(bench);
    DShowCameraWrapper wrapper(&m_backend);
    QVector<CameraEntry> entries;
    QCOMPARE(wrapper.listVideoDevices(entries), 2);
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries.at(0).index, 0);
    QCOMPARE(entries.at(0).name, friendlyName(7));
    QCOMPARE(entries.at(1).index, 2); // position 1 is the microphone node
    QCOMPARE(entries.at(1).name, friendlyName(2));
    for (const CameraEntry& entry : entries)
        QVERIFY(!entry.name.contains(QLatin1String("MIC"), Qt::CaseInsensitive));
    const QVector<VideoDeviceInfo> devices = m_backend.listCaptureDevices();
    QCOMPARE(entries.at(1).id, deviceIdFromPath(devices.at(2).devicePath));

    // The index reaches the right device: its ranges are read from the second camera.
    const int pan = 12 * 3600;
    bench.rig().modify([pan](QVector<VirtualCamera>& cameras) {
        QVector<JournalEvent> ignored;
        cameras[1].setControl(V4L2_CID_PAN_ABSOLUTE, pan, &ignored);
    });
    QVERIFY(wrapper.queryControlRanges(entries.at(1).index));
    QCOMPARE(CameraControlTable::instance().get(CameraControl::Pan).current, 12);
}

void TstKernelBindings::initVideoDeviceOpensTheNamedCamera_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("rigIndex");
    QTest::newRow("listed first (port 1-2)") << QStringLiteral("1-2") << 1;
    QTest::newRow("listed last (port 1-10)") << QStringLiteral("1-10") << 0;
}

void TstKernelBindings::initVideoDeviceOpensTheNamedCamera()
{
    QFETCH(QString, port);
    QFETCH(int, rigIndex);
    Bench bench({cameraConfig(7, QStringLiteral("1-10")), cameraConfig(7, QStringLiteral("1-2"), true)});
    REQUIRE_BENCH(bench);
    DShowCameraWrapper wrapper(&m_backend);
    QVector<CameraEntry> entries;
    QCOMPARE(wrapper.listVideoDevices(entries), 2);
    const CameraEntry entry = entryOnPort(entries, port);
    QVERIFY2(!entry.id.isEmpty(), qPrintable(port));

    UVCExtensionUnit unit(&m_backend);
    QVERIFY(unit.InitVideoDevice(entry.id, entry.name));
    QVERIFY(unit.setTrackingMode(3));
    int mode = -1;
    QVERIFY(unit.getTrackingMode(mode));
    QCOMPARE(mode, 3);
    // Only the named camera received the blocks.
    QCOMPARE(bench.camerasOf(QStringLiteral("xu-set")), (QVector<int>{rigIndex, rigIndex}));
    QCOMPARE(bench.camerasOf(QStringLiteral("xu-get")), QVector<int>{rigIndex});
    QCOMPARE(bench.camera(rigIndex).setting(xu::XU_TRACKING_MODE), 3);
    QCOMPARE(bench.camera(1 - rigIndex).setting(xu::XU_TRACKING_MODE), 1);

    // The wrapper binds the same camera by id and name and reports its listing position.
    BoundFilterGuard guard{wrapper};
    int index = -1;
    QVERIFY(wrapper.openCameraFilter(entry.id, entry.name, index));
    QCOMPARE(index, entry.index);
    QVERIFY(wrapper.setCameraControl(camera_control_id::Zoom, 250));
    QCOMPARE(bench.controlValue(rigIndex, V4L2_CID_ZOOM_ABSOLUTE), 250);
    QCOMPARE(bench.controlValue(1 - rigIndex, V4L2_CID_ZOOM_ABSOLUTE), 100);

    // A name that does not match opens nothing.
    UVCExtensionUnit other(&m_backend);
    QVERIFY(!other.InitVideoDevice(entry.id, entry.name + QStringLiteral(" MIC Array")));
    QVERIFY(!other.isOpen());
}

void TstKernelBindings::idShape_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<QJsonValue>("serial"); // undefined: the model's own
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("serialField");
    for (const ModelEntry& entry : modelNameTable()) {
        QTest::addRow("model %d", entry.modelIndex)
            << entry.modelIndex << QJsonValue(QJsonValue::Undefined) << QStringLiteral("1-1")
            << QStringLiteral("vc%1a0001").arg(entry.modelIndex, 2, 10, QLatin1Char('0'));
    }
    QTest::newRow("no serial number")
        << 7 << QJsonValue(QString()) << QStringLiteral("1-1") << QStringLiteral("0");
    QTest::newRow("serial with separators")
        << 2 << QJsonValue(QStringLiteral("AB#12&x y")) << QStringLiteral("1-1") << QStringLiteral("ab12xy");
    QTest::newRow("behind a hub on bus 2")
        << 9 << QJsonValue(QStringLiteral("S1")) << QStringLiteral("2-1.4") << QStringLiteral("s1");
}

void TstKernelBindings::idShape()
{
    QFETCH(int, model);
    QFETCH(QJsonValue, serial);
    QFETCH(QString, port);
    QFETCH(QString, serialField);
    QJsonObject configuration = cameraConfig(model, port);
    if (!serial.isUndefined())
        configuration.insert(QStringLiteral("serial"), serial);
    Bench bench({configuration});
    REQUIRE_BENCH(bench);
    const std::optional<ModelEntry> catalogue = modelEntry(model);
    QVERIFY(catalogue.has_value());
    if (serial.isString() && serial.toString().isEmpty()) // the device has no serial attribute at all
        QVERIFY(!QFile::exists(bench.emulated().rootDirectory() + bench.nodes(0).usbDevice +
                               QStringLiteral("/serial")));

    const QVector<VideoDeviceInfo> devices = m_backend.listCaptureDevices();
    QCOMPARE(devices.size(), 1);
    const QString path = devices.at(0).devicePath;
    const QStringList parts = path.split(QLatin1Char('#'));
    QCOMPARE(parts.size(), 4);
    const QStringList fields = parts.at(2).split(QLatin1Char('&'));
    QCOMPARE(fields.size(), 4);
    QCOMPARE(fields.at(0), serialField);
    QCOMPARE(fields.at(1), port);
    QCOMPARE(fields.at(3), QStringLiteral("0000"));
    QCOMPARE(path, path.toLower());
    const QString id = deviceIdFromPath(path);
    QVERIFY2(id.contains(QStringLiteral("vid_%1&pid_%2&")
                             .arg(catalogue->vendorId, 4, 16, QLatin1Char('0'))
                             .arg(catalogue->productId, 4, 16, QLatin1Char('0'))),
             qPrintable(id));

    DShowCameraWrapper wrapper(&m_backend);
    QVector<CameraEntry> entries;
    QCOMPARE(wrapper.listVideoDevices(entries), 1);
    QCOMPARE(entries.at(0).id, id);
    int vendor = -1;
    int product = -1;
    QVERIFY(DShowCameraWrapper::parseVidPid(entries.at(0).id, vendor, product));
    QCOMPARE(vendor, catalogue->vendorId);
    QCOMPARE(product, catalogue->productId);
}

void TstKernelBindings::idSurvivesReplugging()
{
    VirtualRig rig({VirtualCamera::fromJson(cameraConfig(7, QStringLiteral("1-3")))});
    QString before;
    {
        EmulatedCameras emulated(rig);
        QVERIFY2(emulated.isValid(), qPrintable(emulated.errorString()));
        const QVector<VideoDeviceInfo> devices = m_backend.listCaptureDevices();
        QCOMPARE(devices.size(), 1);
        before = deviceIdFromPath(devices.at(0).devicePath);
        QVERIFY(emulated.unplug(0));
        QVERIFY(m_backend.listCaptureDevices().isEmpty());
    }
    // Plugged in again on the same port, now after another camera: other node numbers and
    // another device number, the same id.
    rig.modify([](QVector<VirtualCamera>& cameras) {
        QJsonObject again = cameras[0].toJson();
        again.insert(QStringLiteral("present"), true);
        cameras[0] = VirtualCamera::fromJson(again);
        cameras.prepend(VirtualCamera::fromJson(cameraConfig(2, QStringLiteral("1-1"), true)));
    });
    EmulatedCameras emulated(rig);
    QVERIFY2(emulated.isValid(), qPrintable(emulated.errorString()));
    QVERIFY(emulated.nodes(1).captureNode != QStringLiteral("/dev/video0"));
    const QVector<VideoDeviceInfo> devices = m_backend.listCaptureDevices();
    QCOMPARE(devices.size(), 3);
    QCOMPARE(devices.at(2).node, emulated.nodes(1).captureNode);
    QCOMPARE(deviceIdFromPath(devices.at(2).devicePath), before);
}

void TstKernelBindings::hotplugNamesAsListed_data()
{
    QTest::addColumn<QVector<QJsonObject>>("cameras");
    QTest::addColumn<int>("target");   // the camera that is plugged in (when absent) and unplugged
    QTest::addColumn<bool>("plugged"); // it arrives during the test; otherwise it is there at start
    const QJsonObject absent{{QStringLiteral("present"), false}};
    auto merged = [](QJsonObject a, const QJsonObject& b) {
        for (auto it = b.begin(); it != b.end(); ++it)
            a.insert(it.key(), it.value());
        return a;
    };
    QTest::newRow("camera plugged in and out")
        << QVector<QJsonObject>{merged(cameraConfig(7, QStringLiteral("1-1")), absent)} << 0 << true;
    QTest::newRow("composite camera: capture, metadata and microphone nodes")
        << QVector<QJsonObject>{merged(cameraConfig(7, QStringLiteral("1-1"), true), absent)} << 0 << true;
    QTest::newRow("second camera plugged in, listed first")
        << QVector<QJsonObject>{cameraConfig(7, QStringLiteral("1-3"), true),
                                merged(cameraConfig(7, QStringLiteral("1-2")), absent)}
        << 1 << true;
    QTest::newRow("camera present at start, not the first, unplugged")
        << QVector<QJsonObject>{cameraConfig(7, QStringLiteral("1-1"), true),
                                cameraConfig(7, QStringLiteral("1-2"), true),
                                cameraConfig(2, QStringLiteral("1-10"))}
        << 1 << false;
}

void TstKernelBindings::hotplugNamesAsListed()
{
    QFETCH(QVector<QJsonObject>, cameras);
    QFETCH(int, target);
    QFETCH(bool, plugged);
    Bench bench(cameras);
    REQUIRE_BENCH(bench);
    LinuxHotplugMonitor monitor; // after the testbed, as a udev monitor must be
    QSignalSpy spy(&monitor, &HotplugMonitor::devicePlugged);
    QVERIFY(monitor.start());

    if (plugged) {
        QVERIFY(!bench.emulated().presented(target));
        bench.rig().modify([target](QVector<VirtualCamera>& models) {
            QJsonObject again = models[target].toJson();
            again.insert(QStringLiteral("present"), true);
            models[target] = VirtualCamera::fromJson(again);
        });
        QVERIFY(bench.emulated().present(target));
    }
    const EmulatedCameraNodes nodes = bench.nodes(target);
    QVERIFY(!nodes.metadataNode.isEmpty());
    // The names the listing gives the target's capture nodes, and the ids of the other cameras.
    QStringList listed;
    QStringList otherIds;
    for (const VideoDeviceInfo& device : m_backend.listCaptureDevices()) {
        if (device.node == nodes.captureNode || device.node == nodes.microphoneNode)
            listed << device.devicePath;
        else
            otherIds << deviceIdFromPath(device.devicePath);
    }
    QCOMPARE(listed.size(), nodes.microphoneNode.isEmpty() ? 1 : 2);
    QVERIFY(listed.at(0).endsWith(QStringLiteral("&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global")));
    const QString cameraId = deviceIdFromPath(listed.at(0));
    if (plugged) // the arrivals are read while the nodes are there, as they are on a desk
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), listed.size(), 5000);

    QVERIFY(bench.emulated().unplug(target));
    // Every node's events, metadata node included, come before the capture node's removal, the
    // last one sent.
    QTRY_VERIFY_WITH_TIMEOUT(!spy.isEmpty() && !spy.last().at(0).toBool(), 5000);
    QTest::qWait(100);

    QList<QPair<bool, QString>> expected;
    if (plugged) {
        for (const QString& name : listed)
            expected.append({true, name});
    }
    for (auto it = listed.crbegin(); it != listed.crend(); ++it) // children first
        expected.append({false, *it});
    QList<QPair<bool, QString>> received;
    for (const QList<QVariant>& arguments : qAsConst(spy))
        received.append({arguments.at(0).toBool(), arguments.at(1).toString()});
    QCOMPARE(received, expected);

    // The rules the window applies: four "#" parts, four "&" fields, "0000" only for the
    // camera's first capture node; its removal names it and no other camera.
    for (const auto& event : qAsConst(received)) {
        const QString& name = event.second;
        const QStringList parts = name.split(QLatin1Char('#'));
        QCOMPARE(parts.size(), 4);
        const QStringList fields = parts.at(2).split(QLatin1Char('&'));
        QCOMPARE(fields.size(), 4);
        QCOMPARE(fields.at(3) == QLatin1String("0000"), name == listed.at(0));
        QCOMPARE(name, name.toLower());
    }
    const QString removal = received.last().second;
    QVERIFY(removal.contains(cameraId));
    for (const QString& other : qAsConst(otherIds))
        QVERIFY2(!removal.contains(other), qPrintable(other));
}

void TstKernelBindings::extensionUnitAtAnyUnitId_data()
{
    QTest::addColumn<int>("unitId");
    // Another video function ahead of the camera's own, with a unit of the same GUID (-1: none).
    QTest::addColumn<int>("leadingFunctionUnit");
    QTest::newRow("unit 6") << 6 << -1;
    QTest::newRow("unit 3") << 3 << -1;
    QTest::newRow("unit 200") << 200 << -1;
    QTest::newRow("second video function, unit 6 after unit 9") << 6 << 9;
    QTest::newRow("second video function, unit 9 after unit 6") << 9 << 6;
}

void TstKernelBindings::extensionUnitAtAnyUnitId()
{
    QFETCH(int, unitId);
    QFETCH(int, leadingFunctionUnit);
    Bench bench({QJsonObject{{QStringLiteral("model"), 7},
                             {QStringLiteral("extensionUnit"), unitId},
                             {QStringLiteral("leadingFunctionUnit"), leadingFunctionUnit},
                             {QStringLiteral("port"), QStringLiteral("1-1")}}});
    REQUIRE_BENCH(bench);
    // The nodes hang off the camera's own VideoControl interface, after the other function's two.
    QVERIFY(bench.nodes(0).usbInterface.endsWith(leadingFunctionUnit < 0 ? QLatin1String("1-1:1.0")
                                                                         : QLatin1String("1-1:1.2")));
    UVCExtensionUnit unit(&m_backend);
    QSignalSpy reinit(&unit, &UVCExtensionUnit::reInitUvc);
    QVERIFY(unit.InitVideoDevice(QString(), friendlyName(7)));
    // The driver refuses requests to any other unit id, so these succeed only on the unit the
    // descriptors name.
    QVERIFY(unit.setTrackingMode(2));
    int mode = -1;
    QVERIFY(unit.getTrackingMode(mode));
    QCOMPARE(mode, 2);
    QCOMPARE(reinit.count(), 0);
    QCOMPARE(bench.camerasOf(QStringLiteral("xu-set")).size(), 2);
}

void TstKernelBindings::cameraWithoutExtensionUnit()
{
    Bench bench({QJsonObject{{QStringLiteral("model"), 7},
                             {QStringLiteral("extensionUnit"), QJsonValue::Null},
                             {QStringLiteral("port"), QStringLiteral("1-1")}}});
    REQUIRE_BENCH(bench);
    UVCExtensionUnit unit(&m_backend);
    QSignalSpy reinit(&unit, &UVCExtensionUnit::reInitUvc);
    QVERIFY(unit.InitVideoDevice(QString(), friendlyName(7)));
    xu::Block block = {xu::XU_TRACKING_MODE, 1, 2};
    unsigned long returned = 99;
    QCOMPARE(unit.SetGetExtensionUnit(xu::kUnitGuid, xu::SELECTOR_COMMAND, xu::kFlagsSet, block.data(),
                                      block.size(), &returned),
             xu::kErrorNoUnit);
    QVERIFY(!unit.setTrackingMode(2));
    int mode = 77;
    QVERIFY(!unit.getTrackingMode(mode));
    QCOMPARE(mode, 77);
    QCOMPARE(reinit.count(), 0);
    QVERIFY(bench.events().isEmpty());
    // The standard controls work without the vendor unit.
    DShowCameraWrapper wrapper(&m_backend);
    QVERIFY(wrapper.queryControlRanges(0));
    QCOMPARE(CameraControlTable::instance().get(CameraControl::Pan).maximum, 30);
}

void TstKernelBindings::failedRequestAsksForReinit_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("error");
    QTest::newRow("stall") << QStringLiteral("refuse") << EPIPE;
    QTest::newRow("I/O error") << QStringLiteral("fail") << EIO;
    QTest::newRow("no answer") << QStringLiteral("silent") << ETIMEDOUT;
}

void TstKernelBindings::failedRequestAsksForReinit()
{
    QFETCH(QString, fault);
    QFETCH(int, error);
    Bench bench({cameraConfig(7, QStringLiteral("1-1"))});
    REQUIRE_BENCH(bench);
    UVCExtensionUnit unit(&m_backend);
    QSignalSpy reinit(&unit, &UVCExtensionUnit::reInitUvc);
    QVERIFY(unit.InitVideoDevice(QString(), friendlyName(7)));
    auto inject = [&bench, &fault](int count) {
        bench.rig().modify([&fault, count](QVector<VirtualCamera>& cameras) {
            VirtualFaults& faults = cameras[0].faults();
            (fault == QLatin1String("refuse") ? faults.refuseNext
             : fault == QLatin1String("fail") ? faults.failNext
                                              : faults.silentNext) = count;
        });
    };

    inject(1);
    xu::Block block = {xu::XU_TRACKING_MODE, 9, 2};
    unsigned long returned = 0;
    QCOMPARE(unit.SetGetExtensionUnit(xu::kUnitGuid, xu::SELECTOR_COMMAND, xu::kFlagsSet, block.data(),
                                      block.size(), &returned),
             long(-error));
    QCOMPARE(reinit.count(), 1);
    QCOMPARE(bench.camera(0).setting(xu::XU_TRACKING_MODE), 1);

    inject(1);
    QVERIFY(!unit.setTrackingMode(2));
    QCOMPARE(reinit.count(), 2);
    QCOMPARE(bench.camera(0).setting(xu::XU_TRACKING_MODE), 1);

    // The fault is spent: the same device works again.
    QVERIFY(unit.setTrackingMode(2));
    QCOMPARE(reinit.count(), 2);
    QCOMPARE(bench.camera(0).setting(xu::XU_TRACKING_MODE), 2);
    QCOMPARE(bench.events(QStringLiteral("fault")).size(), 2);
}

void TstKernelBindings::failedQueryLeavesValueUntouched_data()
{
    QTest::addColumn<QString>("failingStep");
    QTest::newRow("the question") << QStringLiteral("question");
    QTest::newRow("the answer") << QStringLiteral("answer");
}

void TstKernelBindings::failedQueryLeavesValueUntouched()
{
    QFETCH(QString, failingStep);
    Bench bench({cameraConfig(7, QStringLiteral("1-1"))});
    REQUIRE_BENCH(bench);
    UVCExtensionUnit unit(&m_backend);
    QSignalSpy reinit(&unit, &UVCExtensionUnit::reInitUvc);
    QVERIFY(unit.InitVideoDevice(QString(), friendlyName(7)));
    const bool question = failingStep == QLatin1String("question");
    auto arm = [&bench, question] {
        bench.rig().modify([question](QVector<VirtualCamera>& cameras) {
            if (question)
                cameras[0].faults().failNext = 1;
            else
                cameras[0].faults().vanishAfter = 1; // the question passes, the camera is gone for the answer
        });
    };

    arm();
    int mode = 77;
    QVERIFY(!unit.getTrackingMode(mode));
    QCOMPARE(mode, 77);
    QCOMPARE(reinit.count(), 1);
    QCOMPARE(bench.events(QStringLiteral("xu-set")).size(), question ? 0 : 1);
    QVERIFY(bench.events(QStringLiteral("xu-get")).isEmpty());

    if (question) {
        // The same for a version: nothing is stored on failure.
        arm();
        QString version = QStringLiteral("untouched");
        QVERIFY(!unit.getCameraVersion(version));
        QCOMPARE(version, QStringLiteral("untouched"));
        QCOMPARE(reinit.count(), 2);
    }
}

void TstKernelBindings::transfersKeepLengthAndDirection_data()
{
    QTest::addColumn<int>("selector");
    QTest::addColumn<bool>("get");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("error"); // 0: accepted
    QTest::newRow("command block") << xu::SELECTOR_COMMAND << false << 8 << 0;
    QTest::newRow("answer") << xu::SELECTOR_RESPONSE << true << 8 << 0;
    QTest::newRow("audio packet") << xu::SELECTOR_AUDIO_DATA << false << 32 << 0;
    QTest::newRow("audio status") << xu::SELECTOR_AUDIO_STATUS << true << 8 << 0;
    QTest::newRow("short audio packet") << xu::SELECTOR_AUDIO_DATA << false << 8 << ENOBUFS;
    QTest::newRow("long command block") << xu::SELECTOR_COMMAND << false << 32 << ENOBUFS;
    QTest::newRow("reading the command selector") << xu::SELECTOR_COMMAND << true << 8 << EBADRQC;
    QTest::newRow("writing the answer selector") << xu::SELECTOR_RESPONSE << false << 8 << EBADRQC;
    QTest::newRow("selector the unit lacks") << 3 << false << 8 << ENOENT;
}

void TstKernelBindings::transfersKeepLengthAndDirection()
{
    QFETCH(int, selector);
    QFETCH(bool, get);
    QFETCH(int, length);
    QFETCH(int, error);
    Bench bench({cameraConfig(7, QStringLiteral("1-1"))});
    REQUIRE_BENCH(bench);
    UVCExtensionUnit unit(&m_backend);
    QSignalSpy reinit(&unit, &UVCExtensionUnit::reInitUvc);
    QVERIFY(unit.InitVideoDevice(QString(), friendlyName(7)));

    QVector<std::uint8_t> data(length);
    for (int i = 0; i < length; ++i)
        data[i] = static_cast<std::uint8_t>(0xA0 + i);
    if (selector == xu::SELECTOR_COMMAND) { // a block the camera accepts: tracking mode 2
        data[0] = xu::XU_TRACKING_MODE;
        data[2] = 2;
    }
    if (selector == xu::SELECTOR_AUDIO_DATA) { // a transfer packet the module accepts
        data[0] = 0x31;
        data[1] = 24;
        std::fill(data.begin() + 2, data.begin() + 8, 0);
    }
    const QVector<std::uint8_t> sent = data;
    unsigned long returned = 99;
    const long result = unit.SetGetExtensionUnit(xu::kUnitGuid, static_cast<unsigned long>(selector),
                                                 get ? xu::kFlagsGet : xu::kFlagsSet, data.data(),
                                                 static_cast<unsigned long>(length), &returned);
    QCOMPARE(result, long(-error));
    QCOMPARE(reinit.count(), error == 0 ? 0 : 1);
    if (error != 0) {
        QCOMPARE(data, sent); // nothing came back
        QCOMPARE(returned, 99ul);
        QVERIFY(bench.events().isEmpty());
        return;
    }
    QCOMPARE(returned, get ? static_cast<unsigned long>(length) : 0ul);
    const QVector<QJsonObject> events =
        bench.events(get ? QStringLiteral("xu-get") : QStringLiteral("xu-set"));
    QCOMPARE(events.size(), 1);
    QCOMPARE(events.at(0).value(QStringLiteral("selector")).toInt(), selector);
    // The camera saw, or sent, exactly these bytes.
    QCOMPARE(events.at(0).value(QStringLiteral("data")).toString(),
             hexBytes(get ? data.data() : sent.data(), length));
    if (get)
        QVERIFY(data != sent);
}

void TstKernelBindings::settingsRoundTrip_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("mode 0") << 0;
    QTest::newRow("mode 2") << 2;
    QTest::newRow("mode 3") << 3;
}

void TstKernelBindings::settingsRoundTrip()
{
    QFETCH(int, mode);
    Bench bench({cameraConfig(7, QStringLiteral("1-1"))});
    REQUIRE_BENCH(bench);
    UVCExtensionUnit unit(&m_backend);
    QSignalSpy reinit(&unit, &UVCExtensionUnit::reInitUvc);
    QVERIFY(unit.InitVideoDevice(QString(), friendlyName(7)));
    QVERIFY(unit.setTrackingMode(mode));
    QCOMPARE(bench.camera(0).setting(xu::XU_TRACKING_MODE), mode);
    int read = -1;
    QVERIFY(unit.getTrackingMode(read));
    QCOMPARE(read, mode);
    // One block for the setting, then question and answer.
    const QVector<QJsonObject> sets = bench.events(QStringLiteral("xu-set"));
    QCOMPARE(sets.size(), 2);
    QCOMPARE(sets.at(0).value(QStringLiteral("selector")).toInt(), xu::SELECTOR_COMMAND);
    QVERIFY(sets.at(0)
                .value(QStringLiteral("data"))
                .toString()
                .startsWith(QStringLiteral("10 01 0%1").arg(mode)));
    QVERIFY(sets.at(1).value(QStringLiteral("data")).toString().startsWith(QStringLiteral("90 02")));
    const QVector<QJsonObject> gets = bench.events(QStringLiteral("xu-get"));
    QCOMPARE(gets.size(), 1);
    QCOMPARE(gets.at(0).value(QStringLiteral("selector")).toInt(), xu::SELECTOR_RESPONSE);
    // A value the camera refuses is reported as a failed request.
    QVERIFY(!unit.setTrackingMode(9));
    QCOMPARE(reinit.count(), 1);
    QCOMPARE(bench.camera(0).setting(xu::XU_TRACKING_MODE), mode);
}

void TstKernelBindings::cameraVersion_data()
{
    QTest::addColumn<QJsonValue>("firmware");
    QTest::addColumn<QString>("expected");
    QTest::newRow("factory firmware") << QJsonValue(QJsonValue::Undefined) << QStringLiteral("1.2.10");
    QTest::newRow("large numbers") << QJsonValue(QStringLiteral("2.300.65535"))
                                   << QStringLiteral("2.300.65535");
}

void TstKernelBindings::cameraVersion()
{
    QFETCH(QJsonValue, firmware);
    QFETCH(QString, expected);
    QJsonObject configuration = cameraConfig(7, QStringLiteral("1-1"));
    if (!firmware.isUndefined())
        configuration.insert(QStringLiteral("firmware"), firmware);
    Bench bench({configuration});
    REQUIRE_BENCH(bench);
    UVCExtensionUnit unit(&m_backend);
    QVERIFY(unit.InitVideoDevice(QString(), friendlyName(7)));
    QString version;
    QVERIFY(unit.getCameraVersion(version));
    QCOMPARE(version, expected);
}

void TstKernelBindings::controlRangesInDegrees()
{
    Bench bench({cameraConfig(7, QStringLiteral("1-1"))});
    REQUIRE_BENCH(bench);
    DShowCameraWrapper wrapper(&m_backend);
    QVERIFY(wrapper.queryControlRanges(0));
    const CameraControlTable& table = CameraControlTable::instance();
    auto check = [&table](CameraControl control, int minimum, int maximum, int defaultValue, int current) {
        const ControlValues values = table.get(control);
        return values.minimum == minimum && values.maximum == maximum &&
               values.defaultValue == defaultValue && values.current == current;
    };
    // The model has pan +-30 and tilt +-20 degrees in arc-seconds.
    QVERIFY(check(CameraControl::Pan, -30, 30, 0, 0));
    QVERIFY(check(CameraControl::Tilt, -20, 20, 0, 0));
    QVERIFY(check(CameraControl::Zoom, 100, 800, 100, 100));
    QVERIFY(check(CameraControl::Brightness, 0, 100, 50, 50));
    QVERIFY(check(CameraControl::Contrast, 0, 100, 50, 50));
    QVERIFY(check(CameraControl::Hue, 0, 30, 15, 15));
    QVERIFY(check(CameraControl::Saturation, 0, 127, 63, 63));
    QVERIFY(check(CameraControl::Sharpness, 0, 255, 128, 128));
    QVERIFY(!wrapper.queryControlRanges(1)); // there is no second device
}

void TstKernelBindings::panTiltWrittenInArcSeconds()
{
    Bench bench({cameraConfig(7, QStringLiteral("1-1"))});
    REQUIRE_BENCH(bench);
    DShowCameraWrapper wrapper(&m_backend);
    BoundFilterGuard guard{wrapper};
    QVector<CameraEntry> entries;
    QCOMPARE(wrapper.listVideoDevices(entries), 1);
    int index = -1;
    QVERIFY(wrapper.openCameraFilter(entries.at(0).id, entries.at(0).name, index));

    QVERIFY(wrapper.setCameraControl(camera_control_id::Pan, 5));
    QCOMPARE(bench.controlValue(0, V4L2_CID_PAN_ABSOLUTE), 18000);
    QVERIFY(wrapper.setCameraControl(camera_control_id::Tilt, -7));
    QCOMPARE(bench.controlValue(0, V4L2_CID_TILT_ABSOLUTE), -25200);
    int value = 0;
    QVERIFY(wrapper.getCameraControl(camera_control_id::Pan, value));
    QCOMPARE(value, 5);
    QCOMPARE(CameraControlTable::instance().get(CameraControl::Pan).current, 5);
    QVERIFY(wrapper.getCameraControl(camera_control_id::Tilt, value));
    QCOMPARE(value, -7);

    // Beyond the range the driver clamps; the window reads back the limit in degrees.
    QVERIFY(wrapper.setCameraControl(camera_control_id::Pan, 45));
    QCOMPARE(bench.controlValue(0, V4L2_CID_PAN_ABSOLUTE), 108000);
    QVERIFY(wrapper.getCameraControl(camera_control_id::Pan, value));
    QCOMPARE(value, 30);
    // Zoom passes unchanged.
    QVERIFY(wrapper.setCameraControl(camera_control_id::Zoom, 350));
    QCOMPARE(bench.controlValue(0, V4L2_CID_ZOOM_ABSOLUTE), 350);
    QVERIFY(wrapper.getCameraControl(camera_control_id::Zoom, value));
    QCOMPARE(value, 350);
    // A control the camera lacks fails.
    QVERIFY(!wrapper.getCameraControl(2 /* roll */, value));
}

void TstKernelBindings::unplugDuringUse()
{
    Bench bench({cameraConfig(7, QStringLiteral("1-1"), true), cameraConfig(2, QStringLiteral("1-2"))});
    REQUIRE_BENCH(bench);
    DShowCameraWrapper wrapper(&m_backend);
    BoundFilterGuard guard{wrapper};
    QVector<CameraEntry> entries;
    QCOMPARE(wrapper.listVideoDevices(entries), 2);
    const CameraEntry gone = entries.at(0);
    const CameraEntry staying = entries.at(1);
    const QVector<VideoDeviceInfo> before = m_backend.listCaptureDevices();

    UVCExtensionUnit unit(&m_backend);
    QSignalSpy reinit(&unit, &UVCExtensionUnit::reInitUvc);
    QVERIFY(unit.InitVideoDevice(gone.id, gone.name));
    int mode = -1;
    QVERIFY(unit.getTrackingMode(mode));
    int index = -1;
    QVERIFY(wrapper.openCameraFilter(gone.id, gone.name, index));
    UVCExtensionUnit other(&m_backend);
    QVERIFY(other.InitVideoDevice(staying.id, staying.name));
    const EmulatedCameraNodes nodes = bench.nodes(0);

    QVERIFY(bench.emulated().unplug(0));
    QVERIFY(!bench.emulated().unplug(0));

    // The open device fails every request with ENODEV; values stay untouched.
    mode = 55;
    QVERIFY(!unit.getTrackingMode(mode));
    QCOMPARE(mode, 55);
    QCOMPARE(reinit.count(), 1);
    xu::Block block = {xu::XU_TRACKING_MODE, 1, 2};
    unsigned long returned = 0;
    QCOMPARE(unit.SetGetExtensionUnit(xu::kUnitGuid, xu::SELECTOR_COMMAND, xu::kFlagsSet, block.data(),
                                      block.size(), &returned),
             long(-ENODEV));
    QCOMPARE(reinit.count(), 2);
    int pan = 99;
    QVERIFY(!wrapper.getCameraControl(camera_control_id::Pan, pan));
    QCOMPARE(pan, 99);
    QVERIFY(!wrapper.setCameraControl(camera_control_id::Pan, 3));
    unit.CloseVideoDevice();
    wrapper.releaseCameraFilter();

    // Its nodes are gone: neither listed nor openable.
    QVERIFY(!QFile::exists(bench.emulated().rootDirectory() + nodes.captureNode));
    int error = 0;
    QVERIFY(!m_backend.open(before.at(0), &error));
    QCOMPARE(error, -ENODEV);
    const QVector<VideoDeviceInfo> after = m_backend.listCaptureDevices();
    QCOMPARE(after.size(), 1);
    QCOMPARE(after.at(0).devicePath, before.at(2).devicePath);
    QVERIFY(!unit.InitVideoDevice(gone.id, gone.name));
    QVector<CameraEntry> remaining;
    QCOMPARE(wrapper.listVideoDevices(remaining), 1);
    QCOMPARE(remaining.at(0).id, staying.id);
    QCOMPARE(remaining.at(0).index, 0);

    // The other camera carries on, on the descriptor it had open.
    QVERIFY(other.setTrackingMode(0));
    QCOMPARE(bench.camera(1).setting(xu::XU_TRACKING_MODE), 0);
    QCOMPARE(bench.camerasOf(QStringLiteral("unplug")), QVector<int>{0});
}

void TstKernelBindings::v4l2CtlReadsAndWritesControls()
{
    if (QStringLiteral(DECKCTL_V4L2_CTL).isEmpty())
        QSKIP("v4l2-ctl (v4l-utils) is not installed");
    const QString program = QStringLiteral(DECKCTL_V4L2_CTL);
    Bench bench({cameraConfig(7, QStringLiteral("1-1"))});
    REQUIRE_BENCH(bench);
    const QString node = bench.nodes(0).captureNode;
    auto ctl = [&program, &node](QStringList arguments) {
        return runClient(program, QStringList{QStringLiteral("-d"), node} + arguments);
    };

    // Everything v4l2-ctl shows comes from the driver as uvcvideo answers: identity, both
    // control classes with their controls (pan, tilt and zoom only through the extended
    // controls), ranges and values.
    const ClientRun all = ctl({QStringLiteral("--all")});
    QVERIFY2(all.status == 0, qPrintable(all.output));
    const QStringList expected = {
        QStringLiteral("Driver name      : uvcvideo"),
        QStringLiteral("Card type        : ") + friendlyName(7),
        QStringLiteral("Extended Pix Format"),
        QStringLiteral("Video input : 0 (Camera 1: ok)"),
        QStringLiteral("User Controls"),
        QStringLiteral("brightness 0x00980900 (int)    : min=0 max=100 step=1 default=50 value=50"),
        QStringLiteral("hue_auto 0x00980919 (bool)   : default=0 value=0"),
        QStringLiteral("Camera Controls"),
        QStringLiteral(
            "pan_absolute 0x009a0908 (int)    : min=-108000 max=108000 step=3600 default=0 value=0"),
        QStringLiteral("zoom_absolute 0x009a090d (int)    : min=100 max=800 step=1 default=100 value=100"),
    };
    for (const QString& line : expected)
        QVERIFY2(all.output.contains(line), qPrintable(line + QStringLiteral(" missing in:\n") + all.output));
    QVERIFY(all.output.indexOf(QStringLiteral("User Controls")) <
            all.output.indexOf(QStringLiteral("brightness")));
    QVERIFY(all.output.indexOf(QStringLiteral("Camera Controls")) <
            all.output.indexOf(QStringLiteral("pan_absolute")));

    // A write reaches the camera rounded as the driver rounds it, and reads back.
    ClientRun run = ctl({QStringLiteral("-c"), QStringLiteral("zoom_absolute=350,pan_absolute=7300")});
    QVERIFY2(run.status == 0, qPrintable(run.output));
    QCOMPARE(bench.controlValue(0, V4L2_CID_ZOOM_ABSOLUTE), 350);
    QCOMPARE(bench.controlValue(0, V4L2_CID_PAN_ABSOLUTE), 7200);
    run = ctl({QStringLiteral("-C"), QStringLiteral("zoom_absolute,pan_absolute")});
    QVERIFY2(run.status == 0, qPrintable(run.output));
    QCOMPARE(run.output, QStringLiteral("zoom_absolute: 350\npan_absolute: 7200\n"));

    // The camera does not stream: it refuses a change of a picture control, v4l2-ctl reports the
    // failure and the driver still has the old value.
    run = ctl({QStringLiteral("-c"), QStringLiteral("brightness=80")});
    QVERIFY2(run.status != 0, qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("Broken pipe")), qPrintable(run.output));
    QCOMPARE(bench.controlValue(0, V4L2_CID_BRIGHTNESS), 50);
    run = ctl({QStringLiteral("-C"), QStringLiteral("brightness")});
    QCOMPARE(run.output, QStringLiteral("brightness: 50\n"));
    // Streaming, it takes the value.
    bench.rig().modify([](QVector<VirtualCamera>& cameras) { cameras[0].setStreaming(true); });
    run = ctl({QStringLiteral("-c"), QStringLiteral("brightness=80")});
    QVERIFY2(run.status == 0, qPrintable(run.output));
    QCOMPARE(bench.controlValue(0, V4L2_CID_BRIGHTNESS), 80);
    run = ctl({QStringLiteral("-C"), QStringLiteral("brightness")});
    QCOMPARE(run.output, QStringLiteral("brightness: 80\n"));
}

void TstKernelBindings::v4l2CompliancePassesTheControlTests()
{
    if (QStringLiteral(DECKCTL_V4L2_COMPLIANCE).isEmpty())
        QSKIP("v4l2-compliance (v4l-utils) is not installed");
    // Streaming, so that the picture controls take every value the test writes.
    Bench bench({with(cameraConfig(7, QStringLiteral("1-1")), QStringLiteral("streaming"), true)});
    REQUIRE_BENCH(bench);
    const ClientRun run = runClient(QStringLiteral(DECKCTL_V4L2_COMPLIANCE),
                                    {QStringLiteral("-d"), bench.nodes(0).captureNode});
    QVERIFY2(run.status >= 0, qPrintable(run.output));
    const QRegularExpression totals(QStringLiteral("Total for uvcvideo device \\S+: .*"));
    const QRegularExpressionMatch total = totals.match(run.output);
    QVERIFY2(total.hasMatch(), qPrintable(run.output));
    qInfo().noquote() << total.captured(0);
    // The groups that concern what the node emulates pass. Streaming, formats and events cannot
    // be emulated (mmap and poll do not reach the testbed), priorities are per open file.
    const QStringList passing = {
        QStringLiteral("test VIDIOC_QUERYCAP: OK"),
        QStringLiteral("test invalid ioctls: OK"),
        QStringLiteral("test VIDIOC_G/S/ENUMINPUT: OK"),
        QStringLiteral("test VIDIOC_QUERY_EXT_CTRL/QUERYMENU: OK"),
        QStringLiteral("test VIDIOC_QUERYCTRL: OK"),
        QStringLiteral("test VIDIOC_G/S_CTRL: OK"),
        QStringLiteral("test VIDIOC_G/S/TRY_EXT_CTRLS: OK"),
        QStringLiteral("Standard Controls: 11 Private Controls: 0"), // 9 controls, 2 classes
    };
    for (const QString& line : passing)
        QVERIFY2(run.output.contains(line), qPrintable(line + QStringLiteral(" missing in:\n") + run.output));
    QVERIFY2(!run.output.contains(QLatin1String("test VIDIOC_QUERYCAP: FAIL")), qPrintable(run.output));
}

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    TstKernelBindings test;
    const int failures = QTest::qExec(&test, argc, argv);
    if (failures == 0 && test.emulationUnavailable())
        return 77; // reported as skipped
    return failures;
}

#include "tst_kernel_bindings.moc"
