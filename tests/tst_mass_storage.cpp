// The mass-storage upgrade protocol and its script runner against the virtual camera's boot
// stages: discovery by brand and stage, the bytes of every command as the device receives them,
// chunking, retries, the script language, the climb from the boot ROM back to a camera, and the
// bulk-only transport's wrappers, tags and stalls.

#include "device/botframing.h"
#include "device/deviceplatform.h"
#include "device/linuxmassstorage.h"
#include "device/xuprotocol.h"
#include "sim/virtualplatform.h"
#include "sim/virtualrig.h"
#include "tests/support/journalreader.h"
#include "tests/support/logcapture.h"
#include "tests/support/packagebuilder.h"
#include "upgrade/libsstarufu.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QTemporaryDir>

#include <cerrno>

namespace {

bool logged(const QString& line, const QString& kind = QStringLiteral("D"))
{
    return LogCapture::count(kind + QLatin1Char(' ') + line) > 0;
}

QStringList repeated(int times, const QString& text)
{
    QStringList list;
    for (int i = 0; i < times; ++i)
        list << text;
    return list;
}

QByteArray cameraConfig(const QString& stage, const QByteArray& faults = QByteArray(), int model = 7,
                        const QString& vendor = QString())
{
    QJsonObject camera{{QStringLiteral("model"), model}, {QStringLiteral("stage"), stage}};
    if (!faults.isEmpty())
        camera.insert(QStringLiteral("loaderFaults"), QJsonDocument::fromJson(faults).object());
    if (!vendor.isEmpty())
        camera.insert(QStringLiteral("loader"), QJsonObject{{QStringLiteral("vendor"), vendor}});
    return QJsonDocument(QJsonObject{{QStringLiteral("cameras"), QJsonArray{camera}}}).toJson();
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

} // namespace

class TstMassStorage : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void commandWrapperBytes_data();
    void commandWrapperBytes();
    void wrapperDecoding_data();
    void wrapperDecoding();
    void linuxKeys_data();
    void linuxKeys();
    void discovery_data();
    void discovery();
    void romToldApartByInquiry();
    void discoveryReusesAndReleasesHandle();
    void chunking_data();
    void chunking();
    void commandLineBytes();
    void statusRead_data();
    void statusRead();
    void transportFaults_data();
    void transportFaults();
    void tagsIncreasePerCommand();
    void loadHeader_data();
    void loadHeader();
    void updaterRefusesBadDigest();
    void refusedChunksAreRepeated_data();
    void refusedChunksAreRepeated();
    void script_data();
    void script();
    void bootLoaderLoadWithoutStatus_data();
    void bootLoaderLoadWithoutStatus();
    void updaterImageNotDelivered();
    void bootStageClimb();
    void cameraEntersLoaderAndComesBack();
    void deviceThatNeverReturns();
    void loaderStateSurvivesTheStateFile();

private:
    bool start(const QByteArray& config);
    QVector<QJsonObject> journal(); // events since the last call
    static QStringList eventTexts(const QVector<QJsonObject>& events, const QString& name);
    QString packagePath(const QString& name) const { return m_dir->filePath(QStringLiteral("pkg/") + name); }
    void writeFile(const QString& name, const QByteArray& content);
    QVector<VideoDeviceInfo> cameraList();

    QScopedPointer<QTemporaryDir> m_dir;
    VirtualRig* m_rig = nullptr; // owned by the installed platform
    JournalReader m_journal;
    std::unique_ptr<LogCapture> m_log;
};

void TstMassStorage::initTestCase()
{
    m_log = std::make_unique<LogCapture>(LogCapture::Form::Kind, true);
}

void TstMassStorage::cleanupTestCase()
{
    m_log.reset();
}

void TstMassStorage::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("pkg")));
    // A file beside the package folder that scripts must not reach.
    QFile outside(m_dir->filePath(QStringLiteral("outside.bin")));
    QVERIFY(outside.open(QIODevice::WriteOnly));
    outside.write(pattern(100));
    outside.close();
    setUpgradeFileFolder(m_dir->filePath(QStringLiteral("pkg")));
    m_journal.setPath(m_dir->filePath(QStringLiteral("journal.jsonl")));
    LogCapture::clear();
}

void TstMassStorage::cleanup()
{
    USB_ExitDevice();
    installDevicePlatform(nullptr);
    m_rig = nullptr;
    setUpgradeFileFolder(QString());
}

bool TstMassStorage::start(const QByteArray& config)
{
    QVector<VirtualCamera> cameras;
    QString error;
    if (!VirtualRig::parseConfiguration(config, &cameras, &error)) {
        qWarning().noquote() << "configuration:" << error;
        return false;
    }
    auto rig =
        std::make_unique<VirtualRig>(cameras, QString(), m_dir->filePath(QStringLiteral("journal.jsonl")));
    m_rig = rig.get();
    installDevicePlatform(std::make_unique<VirtualPlatform>(std::move(rig)));
    return true;
}

QVector<QJsonObject> TstMassStorage::journal()
{
    return m_journal.fresh();
}

QStringList TstMassStorage::eventTexts(const QVector<QJsonObject>& events, const QString& name)
{
    return eventFields(events, name, QStringLiteral("text"));
}

void TstMassStorage::writeFile(const QString& name, const QByteArray& content)
{
    const QString path = packagePath(name);
    QDir().mkpath(QFileInfo(path).path());
    if (content.startsWith("symlink:")) {
        QVERIFY(QFile::link(QString::fromUtf8(content.mid(8)), path));
        return;
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QVector<VideoDeviceInfo> TstMassStorage::cameraList()
{
    return devicePlatform().video().listCaptureDevices();
}

// ---------------------------------------------------------------------------------------------
// Bulk-only wrappers

void TstMassStorage::commandWrapperBytes_data()
{
    QTest::addColumn<quint32>("tag");
    QTest::addColumn<quint32>("length");
    QTest::addColumn<bool>("dataIn");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("status read") << 0x01020304u << 4u << true << QByteArray::fromHex("e8020000000000000004")
                                 << QByteArray::fromHex("55534243"
                                                        "04030201"
                                                        "04000000"
                                                        "80"
                                                        "00"
                                                        "0a"
                                                        "e8020000000000000004"
                                                        "000000000000");
    QTest::newRow("command line") << 7u << 7u << false << QByteArray::fromHex("e8060000000000000007")
                                  << QByteArray::fromHex("55534243"
                                                         "07000000"
                                                         "07000000"
                                                         "00"
                                                         "00"
                                                         "0a"
                                                         "e8060000000000000007"
                                                         "000000000000");
    QTest::newRow("inquiry") << 0xFFFFFFFFu << 36u << true << QByteArray::fromHex("120000002400")
                             << QByteArray::fromHex("55534243"
                                                    "ffffffff"
                                                    "24000000"
                                                    "80"
                                                    "00"
                                                    "06"
                                                    "120000002400"
                                                    "00000000000000000000");
    QTest::newRow("largest chunk") << 2u << 65536u << false << QByteArray::fromHex("e8010000000000010000")
                                   << QByteArray::fromHex("55534243"
                                                          "02000000"
                                                          "00000100"
                                                          "00"
                                                          "00"
                                                          "0a"
                                                          "e8010000000000010000"
                                                          "000000000000");
}

void TstMassStorage::commandWrapperBytes()
{
    QFETCH(quint32, tag);
    QFETCH(quint32, length);
    QFETCH(bool, dataIn);
    QFETCH(QByteArray, block);
    QFETCH(QByteArray, expected);
    bot::CommandWrapper wrapper;
    wrapper.tag = tag;
    wrapper.dataLength = length;
    wrapper.dataIn = dataIn;
    wrapper.blockLength = static_cast<std::uint8_t>(block.size());
    std::copy(block.begin(), block.end(), wrapper.block.begin());
    const auto bytes = bot::encodeCommand(wrapper);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())).toHex(),
             expected.toHex());

    bot::CommandWrapper decoded;
    QVERIFY(bot::decodeCommand(bytes.data(), int(bytes.size()), &decoded));
    QCOMPARE(decoded.tag, tag);
    QCOMPARE(decoded.dataLength, length);
    QCOMPARE(decoded.dataIn, dataIn);
    QCOMPARE(int(decoded.blockLength), block.size());
    QVERIFY(std::equal(block.begin(), block.end(), decoded.block.begin(),
                       [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
}

void TstMassStorage::wrapperDecoding_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("isCommand");
    QTest::addColumn<bool>("isStatus");
    const QByteArray good = QByteArray::fromHex("55534243"
                                                "01000000"
                                                "04000000"
                                                "80"
                                                "00"
                                                "0a"
                                                "e8020000000000000004"
                                                "000000000000");
    QTest::newRow("command wrapper") << good << true << false;
    QTest::newRow("command wrapper one byte short") << good.left(30) << false << false;
    QTest::newRow("command wrapper one byte long") << good + '\0' << false << false;
    QByteArray badSignature = good;
    badSignature[3] = 'D';
    QTest::newRow("wrong command signature") << badSignature << false << false;
    QByteArray noBlock = good;
    noBlock[14] = 0;
    QTest::newRow("empty command block") << noBlock << false << false;
    QByteArray longBlock = good;
    longBlock[14] = 17;
    QTest::newRow("command block of 17 bytes") << longBlock << false << false;
    QTest::newRow("status wrapper") << QByteArray::fromHex("55534253"
                                                           "01000000"
                                                           "00000000"
                                                           "00")
                                    << false << true;
    QTest::newRow("status wrapper short") << QByteArray::fromHex("55534253"
                                                                 "01000000"
                                                                 "00000000")
                                          << false << false;
}

void TstMassStorage::wrapperDecoding()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, isCommand);
    QFETCH(bool, isStatus);
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    bot::CommandWrapper command;
    QCOMPARE(bot::decodeCommand(data, bytes.size(), &command), isCommand);
    bot::StatusWrapper status;
    QCOMPARE(bot::decodeStatus(data, bytes.size(), &status) && status.signature == bot::kStatusSignature,
             isStatus);
    if (isStatus) {
        QCOMPARE(status.tag, 1u);
        const auto encoded = bot::encodeStatus(status);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(encoded.data()), int(encoded.size())), bytes);
    }
}

void TstMassStorage::linuxKeys_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("ok");
    QTest::newRow("camera board") << "usb:1:5:0:81:02" << true;
    QTest::newRow("high address") << "usb:3:127:1:8f:0f" << true;
    QTest::newRow("in endpoint without direction bit") << "usb:1:5:0:01:02" << false;
    QTest::newRow("out endpoint with direction bit") << "usb:1:5:0:81:82" << false;
    QTest::newRow("address 0") << "usb:1:0:0:81:02" << false;
    QTest::newRow("missing field") << "usb:1:5:0:81" << false;
    QTest::newRow("not a number") << "usb:x:5:0:81:02" << false;
    QTest::newRow("virtual key") << "virtual:msc:0:1" << false;
}

void TstMassStorage::linuxKeys()
{
    QFETCH(QString, key);
    QFETCH(bool, ok);
    LinuxMassStorageKey parsed;
    QCOMPARE(parseLinuxMassStorageKey(key, &parsed), ok);
    if (ok)
        QCOMPARE(formatLinuxMassStorageKey(parsed), key);
}

// ---------------------------------------------------------------------------------------------
// Discovery

void TstMassStorage::discovery_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<int>("brand");
    QTest::addColumn<bool>("found");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("stateLine");
    QTest::addColumn<int>("untouched"); // a camera that discovery must not open (-1: none)

    QTest::newRow("QB18 in U-Boot") << cameraConfig(QStringLiteral("uboot")) << 0 << true << int(UBoot)
                                    << "device state: u-Boot" << -1;
    QTest::newRow("QB18Z in the updater") << cameraConfig(QStringLiteral("updater"), {}, 6) << 0 << true
                                          << int(Updater) << "device state: Updater" << -1;
    QTest::newRow("QB18 in the boot ROM")
        << cameraConfig(QStringLiteral("rom")) << 0 << true << int(ROM) << "device state: ROM" << -1;
    QTest::newRow("PX model") << cameraConfig(QStringLiteral("uboot"), {}, 0) << 0 << true << int(UBoot)
                              << "device state: u-Boot" << -1;
    QTest::newRow("GC vendor for brand 0")
        << cameraConfig(QStringLiteral("uboot"), {}, 7, QStringLiteral("GCX12345")) << 0 << true << int(UBoot)
        << "device state: u-Boot" << -1;
    QTest::newRow("GC vendor for brand 1")
        << cameraConfig(QStringLiteral("uboot"), {}, 1, QStringLiteral("GC")) << 1 << true << int(UBoot)
        << "device state: u-Boot" << -1;
    QTest::newRow("ARDEN model for brand 1")
        << cameraConfig(QStringLiteral("rom"), {}, 1) << 1 << true << int(ROM) << "device state: ROM" << -1;
    QTest::newRow("first five bytes of QB18ZUSB")
        << cameraConfig(QStringLiteral("uboot"), {}, 7, QStringLiteral("QB18Z999")) << 0 << true << int(UBoot)
        << "device state: u-Boot" << -1;
    QTest::newRow("ARDEN model for brand 0")
        << cameraConfig(QStringLiteral("uboot"), {}, 1) << 0 << false << int(Other) << QString() << 0;
    QTest::newRow("QB18 for brand 1")
        << cameraConfig(QStringLiteral("uboot")) << 1 << false << int(Other) << QString() << 0;
    QTest::newRow("QB18 with another fifth byte")
        << cameraConfig(QStringLiteral("uboot"), {}, 7, QStringLiteral("QB18XUSB")) << 0 << false
        << int(Other) << QString() << 0;
    QTest::newRow("lower-case px") << cameraConfig(QStringLiteral("uboot"), {}, 7, QStringLiteral("px000000"))
                                   << 0 << false << int(Other) << QString() << 0;
    QTest::newRow("unknown brand") << cameraConfig(QStringLiteral("uboot")) << 2 << false << int(Other)
                                   << QString() << 0;
    QTest::newRow("camera in normal operation")
        << cameraConfig(QStringLiteral("normal")) << 0 << false << int(Other) << QString() << 0;
    QTest::newRow("no camera") << QByteArray("{\"cameras\": []}") << 0 << false << int(Other) << QString()
                               << -1;

    QJsonObject unknownProduct{
        {QStringLiteral("model"), 7},
        {QStringLiteral("stage"), QStringLiteral("uboot")},
        {QStringLiteral("loader"), QJsonObject{{QStringLiteral("product"), QStringLiteral("USB DISK")}}}};
    QTest::newRow("accepted vendor, unknown product")
        << QJsonDocument(QJsonObject{{QStringLiteral("cameras"), QJsonArray{unknownProduct}}}).toJson() << 0
        << true << int(Other) << QString() << -1;

    // A user's own drive is listed first; it is never opened, the camera behind it is found.
    QJsonObject drive{
        {QStringLiteral("model"), 7},
        {QStringLiteral("stage"), QStringLiteral("uboot")},
        {QStringLiteral("loader"), QJsonObject{{QStringLiteral("vendor"), QStringLiteral("SanDisk")}}}};
    QJsonObject camera{{QStringLiteral("model"), 7}, {QStringLiteral("stage"), QStringLiteral("rom")}};
    QTest::newRow("user's drive before the camera")
        << QJsonDocument(QJsonObject{{QStringLiteral("cameras"), QJsonArray{drive, camera}}}).toJson() << 0
        << true << int(ROM) << "device state: ROM" << 0;
}

void TstMassStorage::discovery()
{
    QFETCH(QByteArray, config);
    QFETCH(int, brand);
    QFETCH(bool, found);
    QFETCH(int, state);
    QFETCH(QString, stateLine);
    QFETCH(int, untouched);
    QVERIFY(start(config));

    DeviceState result = UBoot;
    QCOMPARE(USB_ScsiFindDevice(brand, result), found);
    QCOMPARE(int(result), state);
    const QStringList stateLines = LogCapture::lines().filter(QStringLiteral("device state:"));
    if (stateLine.isEmpty()) {
        QVERIFY2(stateLines.isEmpty(), qPrintable(stateLines.join(QLatin1Char('|'))));
    } else {
        QCOMPARE(stateLines, QStringList{QStringLiteral("I ") + stateLine});
    }
    const QVector<QJsonObject> events = journal();
    for (const QJsonObject& e : events)
        QVERIFY2(e.value(QLatin1String("camera")).toInt() != untouched,
                 qPrintable(QJsonDocument(e).toJson(QJsonDocument::Compact)));
    // A found device answers commands; without one, commands fail.
    std::array<std::uint8_t, sstar::kInquiryLength> answer{};
    QCOMPARE(USB_ScsiInquiry(answer.data()), found ? 0 : -1);
}

void TstMassStorage::romToldApartByInquiry()
{
    QVERIFY(start(cameraConfig(QStringLiteral("rom"))));
    // What the system shows without opening the device: the product is blanks only.
    const QVector<MassStorageCandidate> listed = devicePlatform().massStorage().listDevices();
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.first().vendor, QByteArray("QB18_001"));
    QCOMPARE(listed.first().product, QByteArray(16, ' '));
    QCOMPARE(journal().size(), 0); // listing opened nothing

    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, ROM);
    std::array<std::uint8_t, sstar::kInquiryLength> answer{};
    QCOMPARE(USB_ScsiInquiry(answer.data()), 0);
    QCOMPARE(answer[sstar::kOffsetProduct], std::uint8_t(0x00));
    QCOMPARE(
        QByteArray(reinterpret_cast<const char*>(answer.data() + sstar::kOffsetVendor), sstar::kVendorLength),
        QByteArray("QB18_001"));
}

void TstMassStorage::discoveryReusesAndReleasesHandle()
{
    QVERIFY(start(cameraConfig(QStringLiteral("uboot"))));
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, UBoot);
    // Discovery reads identification only: nothing is opened or claimed.
    QVector<QJsonObject> events = journal();
    QCOMPARE(countEvents(events, QStringLiteral("claim")), 0);
    QCOMPARE(countEvents(events, QStringLiteral("inquiry")), 0);

    // The first command opens the accepted device; a discovery then asks through that handle.
    QCOMPARE(USB_ScsiRunCmd("printenv", 8), 0);
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, UBoot);
    events = journal();
    QCOMPARE(countEvents(events, QStringLiteral("claim")), 1);
    QCOMPARE(countEvents(events, QStringLiteral("inquiry")), 1);
    QCOMPARE(countEvents(events, QStringLiteral("release")), 0);

    USB_ExitDevice();
    events = journal();
    QCOMPARE(countEvents(events, QStringLiteral("release")), 1);
    QCOMPARE(libsstarufu_do_sstar_scsi_command(sstar::STATUS, sstar::Direction::FromDevice,
                                               std::array<std::uint8_t, 4>{}.data(), 4),
             -1);

    // A discovery that finds nothing lets go of the handle it had.
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(USB_ScsiRunCmd("printenv", 8), 0);
    journal();
    QVERIFY(!USB_ScsiFindDevice(1, state));
    QCOMPARE(state, Other);
    QCOMPARE(countEvents(journal(), QStringLiteral("release")), 1);
}

// ---------------------------------------------------------------------------------------------
// Commands

void TstMassStorage::chunking_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<uint>("chunk");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("chunks");
    QTest::newRow("100,000 bytes") << 100000 << 32768u << 0
                                   << QStringList{"data 32768", "data 32768", "data 32768", "data-end 1696"};
    QTest::newRow("exactly one chunk") << 32768 << 32768u << 0 << QStringList{"data-end 32768"};
    QTest::newRow("one byte over a chunk") << 32769 << 32768u << 0 << QStringList{"data 32768", "data-end 1"};
    QTest::newRow("updater chunks") << 2500 << 1024u << 0
                                    << QStringList{"data 1024", "data 1024", "data-end 452"};
    QTest::newRow("one byte") << 1 << 1024u << 0 << QStringList{"data-end 1"};
    QTest::newRow("zero bytes") << 0 << 32768u << 0 << QStringList{};
    QTest::newRow("chunk size 0") << 100 << 0u << -1 << QStringList{};
    QTest::newRow("chunk above the transfer limit") << 70000 << 65537u << -1 << QStringList{};
    QTest::newRow("chunk at the transfer limit")
        << 70000 << 65536u << 0 << QStringList{"data 65536", "data-end 4464"};
}

void TstMassStorage::chunking()
{
    QFETCH(int, length);
    QFETCH(uint, chunk);
    QFETCH(int, result);
    QFETCH(QStringList, chunks);
    QVERIFY(start(cameraConfig(QStringLiteral("uboot"))));
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    journal();

    const QByteArray data = pattern(length);
    QCOMPARE(
        USB_ScsiWrite(reinterpret_cast<const std::uint8_t*>(data.constData()), std::uint32_t(length), chunk),
        result);
    QStringList seen;
    for (const QJsonObject& e : journal()) {
        const QString name = e.value(QLatin1String("event")).toString();
        if (name == QLatin1String("data") || name == QLatin1String("data-end"))
            seen << QStringLiteral("%1 %2").arg(name).arg(e.value(QLatin1String("size")).toInt());
    }
    QCOMPARE(seen, chunks);
}

void TstMassStorage::commandLineBytes()
{
    QVERIFY(start(cameraConfig(QStringLiteral("uboot"))));
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    journal();
    const char text[] = "setenv bootargs console=ttyS0,115200";
    QCOMPARE(USB_ScsiRunCmd(text, int(sizeof(text)) - 1), 0);
    QCOMPARE(hex(readStatusWord().data(), 4), QStringLiteral("0d000000"));
    // The device receives the text without a terminating zero.
    QCOMPARE(eventTexts(journal(), QStringLiteral("runcmd")), QStringList{QString::fromLatin1(text)});
    QCOMPARE(USB_ScsiRunCmd(nullptr, 3), -1);
    QCOMPARE(USB_ScsiRunCmd(text, -1), -1);
    QCOMPARE(USB_ScsiSendLoadInfo(nullptr), -1);
    QCOMPARE(USB_ScsiReadStatus(nullptr, 4, 1), -1);
    QCOMPARE(USB_ScsiInquiry(nullptr), -1);
    QCOMPARE(journal().size(), 0);
}

void TstMassStorage::statusRead_data()
{
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<QString>("word");
    QTest::addColumn<int>("reads");
    QTest::newRow("good word") << QByteArray() << "0d000000" << 1;
    QTest::newRow("bad word") << QByteArray(R"({"badStatus": {"match": "version", "count": 1}})")
                              << "0e010000" << 1;
    QTest::newRow("empty answer keeps the 0xFF fill")
        << QByteArray(R"({"noStatus": {"match": "version", "count": 1}})") << "ffffffff" << 1;
    QTest::newRow("wrong tag three times, then carried")
        << QByteArray(R"({"wrongTag": {"command": "STATUS", "count": 3}})") << "0d000000" << 4;
    // Every read came with a wrapper of another tag: its data does not count as an answer.
    QTest::newRow("wrong tag on every read")
        << QByteArray(R"({"wrongTag": {"command": "STATUS", "count": -1}})") << "ffffffff" << 10;
    QTest::newRow("status wrapper stalls twice")
        << QByteArray(R"({"stall": {"command": "STATUS", "phase": "csw", "count": 2}})") << "0d000000" << 1;
    QTest::newRow("status wrapper stalls three times")
        << QByteArray(R"({"stall": {"command": "STATUS", "phase": "csw", "count": 3}})") << "0d000000" << 2;
    QTest::newRow("data phase stalls")
        << QByteArray(R"({"stall": {"command": "STATUS", "phase": "data", "count": 1}})") << "ffffffff" << 1;
}

void TstMassStorage::statusRead()
{
    QFETCH(QByteArray, faults);
    QFETCH(QString, word);
    QFETCH(int, reads);
    QVERIFY(start(cameraConfig(QStringLiteral("uboot"), faults)));
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(USB_ScsiRunCmd("version", 7), 0);
    journal();
    QCOMPARE(hex(readStatusWord().data(), 4), word);
    QCOMPARE(countEvents(journal(), QStringLiteral("status")), reads);
}

void TstMassStorage::transportFaults_data()
{
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("received"); // command lines the device took
    QTest::addColumn<int>("resets");   // bulk-only reset recoveries
    QTest::newRow("clean") << QByteArray() << 0 << 1 << 0;
    QTest::newRow("command wrapper stalls twice")
        << QByteArray(R"({"stall": {"command": "RUNCMD", "phase": "cbw", "count": 2}})") << 0 << 1 << 0;
    QTest::newRow("command wrapper stalls three times")
        << QByteArray(R"({"stall": {"command": "RUNCMD", "phase": "cbw", "count": 3}})") << -1 << 0 << 1;
    // The device refused the data: the command did not go whole, and is not repeated out of step.
    QTest::newRow("data phase stalls")
        << QByteArray(R"({"stall": {"command": "RUNCMD", "phase": "data", "count": 1}})") << -1 << 0 << 0;
    QTest::newRow("status wrapper stalls twice")
        << QByteArray(R"({"stall": {"command": "RUNCMD", "phase": "csw", "count": 2}})") << 0 << 1 << 0;
    QTest::newRow("status wrapper stalls three times")
        << QByteArray(R"({"stall": {"command": "RUNCMD", "phase": "csw", "count": 3}})") << -1 << 1 << 1;
    QTest::newRow("status wrapper with another tag")
        << QByteArray(R"({"wrongTag": {"command": "RUNCMD", "count": 1}})") << -1 << 1 << 1;
    QTest::newRow("status wrapper without its signature")
        << QByteArray(R"({"invalidWrapper": {"command": "RUNCMD", "field": "signature"}})") << -1 << 1 << 1;
    QTest::newRow("status wrapper with a reserved status")
        << QByteArray(R"({"invalidWrapper": {"command": "RUNCMD", "field": "status"}})") << -1 << 1 << 1;
}

void TstMassStorage::transportFaults()
{
    QFETCH(QByteArray, faults);
    QFETCH(int, result);
    QFETCH(int, received);
    QFETCH(int, resets);
    QVERIFY(start(cameraConfig(QStringLiteral("uboot"), faults)));
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    journal();

    QByteArray text("version");
    QCOMPARE(libsstarufu_do_sstar_scsi_command(sstar::RUNCMD, sstar::Direction::ToDevice,
                                               reinterpret_cast<std::uint8_t*>(text.data()), 7),
             result);
    QVector<QJsonObject> events = journal();
    QCOMPARE(eventTexts(events, QStringLiteral("runcmd")).size(), received);
    QCOMPARE(countEvents(events, QStringLiteral("bot-reset")), resets);

    // The transport is in step again: the next command goes through.
    QByteArray next("printenv");
    QCOMPARE(libsstarufu_do_sstar_scsi_command(sstar::RUNCMD, sstar::Direction::ToDevice,
                                               reinterpret_cast<std::uint8_t*>(next.data()), 8),
             0);
    QCOMPARE(eventTexts(journal(), QStringLiteral("runcmd")), QStringList{QStringLiteral("printenv")});
}

void TstMassStorage::tagsIncreasePerCommand()
{
    QVERIFY(start(cameraConfig(QStringLiteral("uboot"))));
    MassStorageBackend& backend = devicePlatform().massStorage();
    const QVector<MassStorageCandidate> listed = backend.listDevices();
    QCOMPARE(listed.size(), 1);
    int error = 0;
    std::unique_ptr<MassStorageDevice> device = backend.open(listed.first().key, &error);
    QVERIFY(device);
    const std::uint8_t inquiry[] = {0x12, 0, 0, 0, 36, 0};
    std::array<std::uint8_t, 36> answer{};
    // The virtual device answers with the tag it received; the host accepts only its own tag.
    for (int i = 0; i < 3; ++i)
        QCOMPARE(device->scsiCommand(inquiry, 6, ScsiDirection::FromDevice, answer.data(), 36, 1000), 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(answer.data() + 16), 5), QByteArray("UBOOT"));
    QCOMPARE(countEvents(journal(), QStringLiteral("claim")), 1);
    QCOMPARE(device->scsiCommand(inquiry, 0, ScsiDirection::FromDevice, answer.data(), 36, 1000), -EINVAL);
    QCOMPARE(device->scsiCommand(inquiry, 17, ScsiDirection::FromDevice, answer.data(), 36, 1000), -EINVAL);

    // After a re-enumeration the opened device is gone; the new one has a new key.
    m_rig->modify([](QVector<VirtualCamera>& cameras) { cameras[0].loader().reenumerated(); });
    QCOMPARE(device->scsiCommand(inquiry, 6, ScsiDirection::FromDevice, answer.data(), 36, 1000), -ENODEV);
    QVERIFY(backend.listDevices().first().key != listed.first().key);
    QVERIFY(!backend.open(listed.first().key, &error));
    QCOMPARE(error, -ENODEV);
}

void TstMassStorage::loadHeader_data()
{
    QTest::addColumn<quint32>("address");
    QTest::addColumn<int>("size");
    QTest::newRow("kernel at 0x21000000") << 0x21000000u << 3000;
    QTest::newRow("all address bits") << 0xFFFFFFFFu << 1;
    QTest::newRow("byte order shows") << 0x12345678u << 40000;
}

void TstMassStorage::loadHeader()
{
    QFETCH(quint32, address);
    QFETCH(int, size);
    QVERIFY(start(cameraConfig(QStringLiteral("uboot"))));
    const QByteArray image = pattern(size, size);
    writeFile(QStringLiteral("image.bin"), image);
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    journal();
    QCOMPARE(loadFileToAddress(QStringLiteral("image.bin"), address), 0);
    const QVector<QJsonObject> events = journal();
    QCOMPARE(countEvents(events, QStringLiteral("loadinfo")), 1);
    QCOMPARE(countEvents(events, QStringLiteral("load")), 1);
    for (const QJsonObject& e : events) {
        const QString name = e.value(QLatin1String("event")).toString();
        if (name == QLatin1String("loadinfo")) {
            QCOMPARE(quint32(e.value(QLatin1String("address")).toDouble()), address);
            QCOMPARE(e.value(QLatin1String("size")).toInt(), size);
            QCOMPARE(e.value(QLatin1String("md5")).toString(), md5Hex(image));
        } else if (name == QLatin1String("load")) {
            QCOMPARE(e.value(QLatin1String("md5")).toString(), md5Hex(image));
            QVERIFY(e.value(QLatin1String("ok")).toBool());
        }
    }
}

void TstMassStorage::updaterRefusesBadDigest()
{
    QVERIFY(start(cameraConfig(QStringLiteral("updater"))));
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, Updater);
    const QByteArray image = pattern(2000);
    std::array<std::uint8_t, sstar::kLoadHeaderLength> header{};
    header[0] = 0x00; // 0x21000000, little-endian
    header[3] = 0x21;
    header[4] = 0xD0; // 2000
    header[5] = 0x07;
    const QByteArray md5 = QCryptographicHash::hash(image, QCryptographicHash::Md5);
    std::copy(md5.begin(), md5.end(), header.begin() + 8);
    header[8] ^= 0x01;
    QCOMPARE(USB_ScsiSendLoadInfo(header.data()), 0);
    QCOMPARE(USB_ScsiWrite(reinterpret_cast<const std::uint8_t*>(image.constData()), 2000, sstar::kTftpChunk),
             0);
    QCOMPARE(hex(readStatusWord().data(), 4), QStringLiteral("0e010000"));
    header[8] ^= 0x01;
    QCOMPARE(USB_ScsiSendLoadInfo(header.data()), 0);
    QCOMPARE(USB_ScsiWrite(reinterpret_cast<const std::uint8_t*>(image.constData()), 2000, sstar::kTftpChunk),
             0);
    QCOMPARE(hex(readStatusWord().data(), 4), QStringLiteral("0d000000"));
    QStringList loads;
    for (const QJsonObject& e : journal()) {
        if (e.value(QLatin1String("event")).toString() == QLatin1String("load"))
            loads << QStringLiteral("%1 %2")
                         .arg(quint32(e.value(QLatin1String("address")).toDouble()), 0, 16)
                         .arg(e.value(QLatin1String("ok")).toBool());
    }
    QCOMPARE(loads, (QStringList{"21000000 0", "21000000 1"}));
}

void TstMassStorage::refusedChunksAreRepeated_data()
{
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<QStringList>("loads"); // ok flag of each completed load
    QTest::addColumn<int>("stalls");
    // A refused chunk is sent again and the image arrives whole at the first attempt.
    QTest::newRow("data chunk stalls three times")
        << QByteArray(R"({"stall": {"command": "DATA", "phase": "data", "count": 3}})") << QStringList{"true"}
        << 3;
    QTest::newRow("load header wrapper stalls")
        << QByteArray(R"({"stall": {"command": "LOADINFO", "phase": "cbw", "count": 1}})")
        << QStringList{"true"} << 1;
    // The device took the image but its answer to the last chunk got lost: the chunk goes again,
    // arrives after the load was complete and earns a bad status, and the next attempt loads the
    // image again.
    QTest::newRow("last chunk answered with another tag")
        << QByteArray(R"({"wrongTag": {"command": "DATA_END", "count": 1}})") << QStringList{"true", "true"}
        << 0;
}

void TstMassStorage::refusedChunksAreRepeated()
{
    QFETCH(QByteArray, faults);
    QFETCH(QStringList, loads);
    QFETCH(int, stalls);
    QVERIFY(start(cameraConfig(QStringLiteral("uboot"), faults)));
    writeFile(QStringLiteral("image.bin"), pattern(70000));
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    journal();
    QCOMPARE(loadFileToAddress(QStringLiteral("image.bin"), 0x21000000), 0);
    const QVector<QJsonObject> events = journal();
    QStringList seen;
    for (const QJsonObject& e : events) {
        if (e.value(QLatin1String("event")).toString() == QLatin1String("load"))
            seen << (e.value(QLatin1String("ok")).toBool() ? QStringLiteral("true")
                                                           : QStringLiteral("false"));
    }
    QCOMPARE(seen, loads);
    QCOMPARE(countEvents(events, QStringLiteral("stall")), stalls);
}

// ---------------------------------------------------------------------------------------------
// Script runner

void TstMassStorage::script_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QVariantMap>("files");
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("commands"); // command lines the device received, in order
    QTest::addColumn<QStringList>("loads");    // "<address hex> <size>" of every completed load
    QTest::addColumn<QStringList>("logLines");
    QTest::addColumn<QStringList>("notLogged");

    const QByteArray image = pattern(3000);
    const QVariantMap withImage{{QStringLiteral("image.bin"), image}};
    const QByteArray none;
    const QStringList nothing;
    const QString load = QStringLiteral("21000000 3000");
    const QByteArray failMmc = R"({"badStatus": {"match": "mmc erase", "count": -1}})";

    QTest::newRow("tftp line normalised")
        << 0 << QByteArray("  \ttftp\t0x21000000    image.bin  \t \n") << withImage << none << 0 << nothing
        << QStringList{load} << QStringList{"tftp 0x21000000 image.bin\n"} << nothing;
    QTest::newRow("tftp address without 0x, upper case")
        << 0 << QByteArray("tftp 2100ABCD image.bin\nversion\n") << withImage << none << 0
        << QStringList{"version"} << QStringList{"2100abcd 3000"} << nothing << nothing;
    QTest::newRow("tftp address with leading zeros")
        << 0 << QByteArray("tftp 0X000000021000000 image.bin\n") << withImage << none << 0 << nothing
        << QStringList{load} << nothing << nothing;
    QTest::newRow("comments and empty lines skipped")
        << 0 << QByteArray("# reset\n   % saveenv\n\n \t \n#\n%\nversion\n") << QVariantMap() << none << 0
        << QStringList{"version"} << nothing << QStringList{"version\n"}
        << QStringList{"# reset\n", "% saveenv\n", "#\n"};
    QTest::newRow("command line normalised")
        << 0 << QByteArray("setenv \t bootargs   console=ttyS0  \n") << QVariantMap() << none << 0
        << QStringList{"setenv bootargs console=ttyS0"} << nothing
        << QStringList{"setenv bootargs console=ttyS0\n"} << nothing;
    QTest::newRow("CRLF lines") << 0 << QByteArray("version\r\nprintenv\r\n") << QVariantMap() << none << 0
                                << QStringList{"version", "printenv"} << nothing << nothing << nothing;
    QTest::newRow("last line without newline")
        << 0 << QByteArray("version\nprintenv") << QVariantMap() << none << 0
        << QStringList{"version", "printenv"} << nothing << nothing << nothing;
    QTest::newRow("reset in mode 0 sends the local sequence")
        << 0 << QByteArray("setenv bootdelay 0\n  reset \nversion\n") << QVariantMap() << none << 0
        << QStringList{"setenv bootdelay 0", "setenv ota_upgrade_status 0", "saveenv", "reset"} << nothing
        << QStringList{"reset\n"} << QStringList{"version\n", "reset [retry 1]\n"};
    QTest::newRow("resetenv is a command line") << 0 << QByteArray("resetenv\n") << QVariantMap() << none << 0
                                                << QStringList{"resetenv"} << nothing << nothing << nothing;
    QTest::newRow("reset in mode 1 is a command; no answer means done")
        << 1 << QByteArray("reset\nversion\n") << QVariantMap() << none << 0 << QStringList{"reset"}
        << nothing << QStringList{"reset [retry 1]\n", "reset [retry 5]\n", "Think ok.\n"}
        << QStringList{"version\n", "USB scsi run cmd timeout.\n"};
    QTest::newRow("saveenv without a good status ends the script")
        << 0 << QByteArray("saveenv\nversion\n") << QVariantMap()
        << QByteArray(R"({"noStatus": {"match": "saveenv", "count": -1}})") << 0
        << QStringList{"saveenv", "saveenv", "saveenv", "saveenv", "saveenv"} << nothing
        << QStringList{"saveenv [retry 5]\n", "Think ok.\n"} << QStringList{"version\n"};
    QTest::newRow("unconfirmed command fails the script")
        << 0 << QByteArray("mmc erase\nversion\n") << QVariantMap() << failMmc << -1
        << QStringList{"mmc erase", "mmc erase", "mmc erase", "mmc erase", "mmc erase"} << nothing
        << QStringList{"mmc erase [retry 1]\n", "mmc erase [retry 2]\n", "mmc erase [retry 3]\n",
                       "mmc erase [retry 4]\n", "mmc erase [retry 5]\n", "USB scsi run cmd timeout.\n"}
        << QStringList{"Think ok.\n", "version\n"};
    QTest::newRow("command confirmed at the third attempt")
        << 0 << QByteArray("mmc erase\nversion\n") << QVariantMap()
        << QByteArray(R"({"badStatus": {"match": "mmc erase", "count": 2}})") << 0
        << QStringList{"mmc erase", "mmc erase", "mmc erase", "version"} << nothing
        << QStringList{"mmc erase [retry 1]\n", "mmc erase [retry 2]\n"}
        << QStringList{"mmc erase [retry 3]\n"};
    const QByteArray longest = "setenv x " + QByteArray(sstar::kMaxCommandLine - 9, 'a');
    QTest::newRow("command of 1,023 bytes is sent")
        << 0 << longest + '\n'
        << QVariantMap() << none << 0 << QStringList{QString::fromLatin1(longest)} << nothing << nothing
        << nothing;
    const QByteArray tooLong = longest + 'a';
    QTest::newRow("command of 1,024 bytes fails")
        << 0 << tooLong + "\nversion\n"
        << QVariantMap() << none << -1 << nothing << nothing
        << QStringList{"command is too long to support. cmd: " + QString::fromLatin1(tooLong) + '\n'}
        << QStringList{"version\n"};
    QTest::newRow("nested script runs in place")
        << 0 << QByteArray("printenv\nestar sub.txt\nversion\n")
        << QVariantMap{{QStringLiteral("sub.txt"), QByteArray("setenv a 1\n")}} << none << 0
        << QStringList{"printenv", "setenv a 1", "version"} << nothing << nothing << nothing;
    QTest::newRow("nested script runs in mode 0 under mode 1")
        << 1 << QByteArray("estar sub.txt\n")
        << QVariantMap{{QStringLiteral("sub.txt"), QByteArray("reset\n")}} << none << 0
        << QStringList{"setenv ota_upgrade_status 0", "saveenv", "reset"} << nothing << nothing
        << QStringList{"reset [retry 1]\n"};
    QTest::newRow("failing nested script fails the outer one")
        << 0 << QByteArray("estar sub.txt\nversion\n")
        << QVariantMap{{QStringLiteral("sub.txt"), QByteArray("mmc erase\n")}} << failMmc << -1
        << QStringList{"mmc erase", "mmc erase", "mmc erase", "mmc erase", "mmc erase"} << nothing
        << QStringList{"parse script fail: sub.txt\n"} << QStringList{"version\n"};
    QTest::newRow("missing nested script")
        << 0 << QByteArray("estar nothere.txt\nversion\n") << QVariantMap() << none << -1 << nothing
        << nothing << QStringList{"parse script fail: nothere.txt\n"} << QStringList{"version\n"};
    QTest::newRow("script nesting itself is stopped")
        << 0 << QByteArray("version\nestar auto_update.txt\n") << QVariantMap() << none << -1
        << repeated(sstar::kMaxScriptNesting + 1, QStringLiteral("version")) << nothing
        << QStringList{"parse script fail: auto_update.txt\n"} << nothing;
    QTest::newRow("nested script by absolute name refused")
        << 0 << QByteArray("estar @PKG@/sub.txt\n")
        << QVariantMap{{QStringLiteral("sub.txt"), QByteArray("version\n")}} << none << -1 << nothing
        << nothing << QStringList{"parse script fail: @PKG@/sub.txt\n"} << nothing;
    QTest::newRow("tftp of a missing file")
        << 0 << QByteArray("tftp 0x21000000 missing.bin\nversion\n") << QVariantMap() << none << -1 << nothing
        << nothing << QStringList{"load file fail: missing.bin\n"} << QStringList{"version\n"};
    QTest::newRow("tftp without a good status fails the script")
        << 0 << QByteArray("tftp 0x21000000 image.bin\nversion\n") << withImage
        << QByteArray(R"({"badStatus": {"match": "load", "count": -1}})") << -1 << nothing
        << repeated(sstar::kLoadAttempts, load) << QStringList{"load file fail: image.bin\n"}
        << QStringList{"version\n"};
    QTest::newRow("tftp confirmed at the second attempt")
        << 0 << QByteArray("tftp 0x21000000 image.bin\nversion\n") << withImage
        << QByteArray(R"({"noStatus": {"match": "load", "count": 1}})") << 0 << QStringList{"version"}
        << QStringList{load, load} << nothing << nothing;
    const QStringList badTftp = {"tftp 0xZZ image.bin",
                                 "tftp 0x100000000 image.bin",
                                 "tftp 0x image.bin",
                                 "tftp -1 image.bin",
                                 "tftp image.bin",
                                 "tftp 0x21000000",
                                 "tftp"};
    for (const QString& line : badTftp)
        QTest::newRow(qPrintable(QStringLiteral("malformed: ") + line))
            << 0 << (line.toLatin1() + "\nversion\n") << withImage << none << -1 << nothing << nothing
            << QStringList{"tftp needs a 32-bit hexadecimal load address and a file name: " + line + '\n'}
            << QStringList{"version\n"};
    // The file exists both where the name points and under the folder with the name appended.
    QTest::newRow("absolute file name refused")
        << 0 << QByteArray("tftp 0x21000000 @PKG@/image.bin\n")
        << QVariantMap{{QStringLiteral("image.bin"), image}, {QStringLiteral("@PKG@/image.bin"), image}}
        << none << -1 << nothing << nothing << QStringList{"load file fail: @PKG@/image.bin\n"} << nothing;
    QTest::newRow("file name leading out of the folder")
        << 0 << QByteArray("tftp 0x21000000 ../outside.bin\n") << withImage << none << -1 << nothing
        << nothing << QStringList{"load file fail: ../outside.bin\n"} << nothing;
    QTest::newRow("symbolic link leading out of the folder")
        << 0 << QByteArray("tftp 0x21000000 link.bin\n")
        << QVariantMap{{QStringLiteral("link.bin"), QByteArray("symlink:../outside.bin")}} << none << -1
        << nothing << nothing << QStringList{"load file fail: link.bin\n"} << nothing;
    QTest::newRow("file name with .. inside the folder")
        << 0 << QByteArray("tftp 0x21000000 sub/../image.bin\n") << withImage << none << 0 << nothing
        << QStringList{load} << nothing << nothing;
    QTest::newRow("unknown mode") << 2 << QByteArray("version\n") << QVariantMap() << none << -1 << nothing
                                  << nothing << nothing << nothing;

    // The main board's script lives in "images": names resolve there, and may reach the rest of
    // the package, but nothing beyond it. "@FOLDER@" names the subfolder the script runs in.
    const QVariantMap inImages{{QStringLiteral("@FOLDER@"), QByteArray("images")},
                               {QStringLiteral("image.bin"), image}};
    QTest::newRow("images: package file by ..")
        << 1 << QByteArray("tftp 0x21000000 ../image.bin\n") << inImages << none << 0 << nothing
        << QStringList{load} << nothing << nothing;
    QTest::newRow("images: file beside the script")
        << 1 << QByteArray("tftp 0x21000000 image.bin\n")
        << QVariantMap{{QStringLiteral("@FOLDER@"), QByteArray("images")},
                       {QStringLiteral("images/image.bin"), image}}
        << none << 0 << nothing << QStringList{load} << nothing << nothing;
    QTest::newRow("images: nested script by ..")
        << 1 << QByteArray("estar ../sub.txt\n")
        << QVariantMap{{QStringLiteral("@FOLDER@"), QByteArray("images")},
                       {QStringLiteral("sub.txt"), QByteArray("setenv a 1\n")}}
        << none << 0 << QStringList{"setenv a 1"} << nothing << nothing << nothing;
    QTest::newRow("images: leaving the package refused")
        << 1 << QByteArray("tftp 0x21000000 ../../outside.bin\n") << inImages << none << -1 << nothing
        << nothing << QStringList{"load file fail: ../../outside.bin\n"} << nothing;
    QTest::newRow("images: absolute name refused")
        << 1 << QByteArray("tftp 0x21000000 @PKG@/image.bin\n") << inImages << none << -1 << nothing
        << nothing << QStringList{"load file fail: @PKG@/image.bin\n"} << nothing;
    QTest::newRow("images: symbolic link out of the package refused")
        << 1 << QByteArray("tftp 0x21000000 link.bin\n")
        << QVariantMap{{QStringLiteral("@FOLDER@"), QByteArray("images")},
                       {QStringLiteral("images/link.bin"), QByteArray("symlink:../../outside.bin")}}
        << none << -1 << nothing << nothing << QStringList{"load file fail: link.bin\n"} << nothing;
    QTest::newRow("images: the package folder itself refused")
        << 1 << QByteArray("estar ..\n") << inImages << none << -1 << nothing << nothing
        << QStringList{"parse script fail: ..\n"} << nothing;

    // Script size and line length are bounded; a huge line is never held whole.
    const QByteArray head = "version\n";
    QByteArray exactly = head + '#' + QByteArray(int(sstar::kMaxScriptSize) - head.size() - 2, 'c') + '\n';
    QTest::newRow("script of exactly 1 MiB runs") << 0 << exactly << QVariantMap() << none << 0
                                                  << QStringList{"version"} << nothing << nothing << nothing;
    QTest::newRow("script over 1 MiB refused before any line runs")
        << 0 << exactly + "x" << QVariantMap() << none << -1 << nothing << nothing
        << QStringList{QStringLiteral("script is larger than 1048576 bytes, refused: @PKG@/auto_update.txt "
                                      "(1048577 bytes)\n")}
        << QStringList{"version\n"};
    QTest::newRow("nested script over 1 MiB refused")
        << 0 << QByteArray("estar big.txt\nversion\n")
        << QVariantMap{{QStringLiteral("big.txt"), exactly + "x"}} << none << -1 << nothing << nothing
        << QStringList{"parse script fail: big.txt\n"} << QStringList{"version\n"};
    QTest::newRow("long comment line skipped")
        << 0 << "# " + QByteArray(600000, 'c') + "\nversion\n"
        << QVariantMap() << none << 0 << QStringList{"version"} << nothing << nothing << nothing;
    QTest::newRow("long run of blanks normalised away")
        << 0 << "tftp" + QByteArray(20000, ' ') + "0x21000000\t\t" + QByteArray(20000, '\t') + "image.bin\n"
        << withImage << none << 0 << nothing << QStringList{load}
        << QStringList{"tftp 0x21000000 image.bin\n"} << nothing;
    const QByteArray huge = "setenv x " + QByteArray(300000, 'a');
    QTest::newRow("huge command line fails, logged cut")
        << 0 << huge + "\nversion\n"
        << QVariantMap() << none << -1 << nothing << nothing
        << QStringList{"command is too long to support. cmd: " +
                       QString::fromLatin1(huge.left(sstar::kMaxScriptLineKept)) + '\n'}
        << QStringList{"version\n", QString::fromLatin1(huge) + '\n'};
}

void TstMassStorage::script()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, script);
    QFETCH(QVariantMap, files);
    QFETCH(QByteArray, faults);
    QFETCH(int, result);
    QFETCH(QStringList, commands);
    QFETCH(QStringList, loads);
    QFETCH(QStringList, logLines);
    QFETCH(QStringList, notLogged);

    QVERIFY(start(cameraConfig(QStringLiteral("uboot"), faults)));
    const QString package = m_dir->filePath(QStringLiteral("pkg"));
    const QString subfolder = QString::fromLatin1(files.take(QStringLiteral("@FOLDER@")).toByteArray());
    if (!subfolder.isEmpty()) {
        QVERIFY(QDir(package).mkpath(subfolder));
        setUpgradeFileFolder(package + QLatin1Char('/') + subfolder, package);
    }
    script.replace("@PKG@", QFile::encodeName(package));
    writeFile(subfolder.isEmpty() ? QStringLiteral("auto_update.txt")
                                  : subfolder + QStringLiteral("/auto_update.txt"),
              script);
    for (auto it = files.begin(); it != files.end(); ++it)
        writeFile(QString(it.key()).replace(QStringLiteral("@PKG@"), package), it.value().toByteArray());
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, UBoot);
    journal();

    QCOMPARE(runUpgradeScript(QStringLiteral("auto_update.txt"), mode), result);

    const QVector<QJsonObject> events = journal();
    QCOMPARE(eventTexts(events, QStringLiteral("runcmd")), commands);
    QStringList seen;
    for (const QJsonObject& e : events) {
        if (e.value(QLatin1String("event")).toString() == QLatin1String("load"))
            seen << QStringLiteral("%1 %2")
                        .arg(quint32(e.value(QLatin1String("address")).toDouble()), 0, 16)
                        .arg(e.value(QLatin1String("size")).toInt());
    }
    QCOMPARE(seen, loads);
    QCOMPARE(countEvents(events, QStringLiteral("loadinfo")), loads.size());
    for (QString line : logLines) {
        line.replace(QStringLiteral("@PKG@"), m_dir->filePath(QStringLiteral("pkg")));
        QVERIFY2(logged(line), qPrintable(line));
    }
    for (const QString& line : notLogged)
        QVERIFY2(!logged(line), qPrintable(line));
}

// ---------------------------------------------------------------------------------------------
// Boot stages

void TstMassStorage::bootLoaderLoadWithoutStatus_data()
{
    QTest::addColumn<bool>("asBootLoader");
    QTest::addColumn<int>("result");
    // The updater restarts into the boot loader instead of answering: the boot-loader load is done.
    QTest::newRow("loadUbootImage") << true << 0;
    // The same silence after an ordinary load is a failed load.
    QTest::newRow("loadFileToAddress") << false << -1;
}

void TstMassStorage::bootLoaderLoadWithoutStatus()
{
    QFETCH(bool, asBootLoader);
    QFETCH(int, result);
    QVERIFY(
        start(cameraConfig(QStringLiteral("updater"), R"({"noStatus": {"match": "load", "count": -1}})")));
    writeFile(QStringLiteral("u-boot.bin"), pattern(4000));
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, Updater);
    journal();
    QCOMPARE(asBootLoader ? loadUbootImage(QStringLiteral("u-boot.bin"))
                          : loadFileToAddress(QStringLiteral("u-boot.bin"), sstar::kBootLoaderAddress),
             result);
    const QVector<QJsonObject> events = journal();
    QCOMPARE(countEvents(events, QStringLiteral("reenumerate")), 1);
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, UBoot);
}

void TstMassStorage::updaterImageNotDelivered()
{
    QVERIFY(start(cameraConfig(QStringLiteral("rom"), R"({"unplug": {"command": "DATA", "skip": 1}})")));
    writeFile(QStringLiteral("usb_updater.bin"), pattern(3000));
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, ROM);
    QCOMPARE(sendUpdaterImage(QStringLiteral("missing.bin")), -1);
    journal();
    // The board went away after the first chunk: the image did not arrive.
    QCOMPARE(sendUpdaterImage(QStringLiteral("usb_updater.bin")), -1);
    const QVector<QJsonObject> events = journal();
    QCOMPARE(countEvents(events, QStringLiteral("unplug")), 1);
    QCOMPARE(countEvents(events, QStringLiteral("load")), 0);
    QVERIFY(!USB_ScsiFindDevice(0, state));
    QVERIFY(cameraList().isEmpty());
}

void TstMassStorage::bootStageClimb()
{
    QVERIFY(start(cameraConfig(QStringLiteral("rom"))));
    const QByteArray updater = pattern(2500, 1);
    const QByteArray bootLoader = pattern(5000, 2);
    const QByteArray kernel = pattern(40000, 3);
    writeFile(QStringLiteral("usb_updater.bin"), updater);
    writeFile(QStringLiteral("u-boot.bin"), bootLoader);
    writeFile(QStringLiteral("kernel.bin"), kernel);
    writeFile(QStringLiteral("auto_update.txt"), "# camera\ntftp 0x21000000 kernel.bin\n"
                                                 "mmc write 0x21000000 0x800 0x50\nreset\n");
    QVERIFY(cameraList().isEmpty());

    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, ROM);
    journal();

    // The boot ROM takes the updater and goes on as the updater on the same device.
    QCOMPARE(sendUpdaterImage(QStringLiteral("usb_updater.bin")), 0);
    QVector<QJsonObject> events = journal();
    QCOMPARE(countEvents(events, QStringLiteral("data")), 2);
    QCOMPARE(countEvents(events, QStringLiteral("data-end")), 1);
    QCOMPARE(countEvents(events, QStringLiteral("loadinfo")), 0);
    QCOMPARE(countEvents(events, QStringLiteral("status")), 0);
    QCOMPARE(countEvents(events, QStringLiteral("reenumerate")), 0);
    for (const QJsonObject& e : events) {
        if (e.value(QLatin1String("event")).toString() == QLatin1String("load"))
            QCOMPARE(e.value(QLatin1String("md5")).toString(), md5Hex(updater));
    }
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, Updater);
    QCOMPARE(countEvents(journal(), QStringLiteral("claim")), 0); // asked through the same handle

    // The updater takes the boot loader and restarts into it as a new device.
    QCOMPARE(loadUbootImage(QStringLiteral("u-boot.bin")), 0);
    events = journal();
    QStringList stages;
    for (const QJsonObject& e : events) {
        const QString name = e.value(QLatin1String("event")).toString();
        if (name == QLatin1String("loadinfo")) {
            QCOMPARE(quint32(e.value(QLatin1String("address")).toDouble()), sstar::kBootLoaderAddress);
            QCOMPARE(e.value(QLatin1String("md5")).toString(), md5Hex(bootLoader));
        }
        if (name == QLatin1String("reenumerate"))
            stages << e.value(QLatin1String("stage")).toString();
    }
    QCOMPARE(stages, QStringList{"uboot"});
    QCOMPARE(USB_ScsiRunCmd("version", 7), 0); // the old device is gone
    QCOMPARE(eventTexts(journal(), QStringLiteral("runcmd")).size(), 0);

    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(state, UBoot);
    QCOMPARE(runUpgradeScript(QStringLiteral("auto_update.txt"), 0), 0);
    events = journal();
    QCOMPARE(
        eventTexts(events, QStringLiteral("runcmd")),
        (QStringList{"mmc write 0x21000000 0x800 0x50", "setenv ota_upgrade_status 0", "saveenv", "reset"}));
    stages.clear();
    for (const QJsonObject& e : events) {
        const QString name = e.value(QLatin1String("event")).toString();
        if (name == QLatin1String("load"))
            QCOMPARE(e.value(QLatin1String("md5")).toString(), md5Hex(kernel));
        if (name == QLatin1String("reenumerate"))
            stages << e.value(QLatin1String("stage")).toString();
    }
    QCOMPARE(stages, QStringList{"normal"});

    // Back as a camera in normal operation.
    USB_ExitDevice();
    QVERIFY(!USB_ScsiFindDevice(0, state));
    QCOMPARE(state, Other);
    const QVector<VideoDeviceInfo> cameras = cameraList();
    QVERIFY(!cameras.isEmpty());
    QVERIFY(cameras.first().devicePath.contains(QStringLiteral("vid_1d6b&pid_c015&")));
}

void TstMassStorage::cameraEntersLoaderAndComesBack()
{
    QVERIFY(start(cameraConfig(QStringLiteral("normal"), {}, 6)));
    QCOMPARE(cameraList().size(), 2); // capture and microphone nodes
    QVERIFY(devicePlatform().massStorage().listDevices().isEmpty());

    xu::Block block{xu::kBootCommandByte0, xu::kBootCommandByte1, xu::kBootCommandByte2};
    std::copy(xu::kLoaderSignature.begin(), xu::kLoaderSignature.end(), block.begin() + xu::kOffsetSignature);
    QCOMPARE(m_rig->withCamera(0,
                               [&block](VirtualCamera& camera, QVector<JournalEvent>* events) {
                                   return camera.xuRequest(camera.extensionUnitId(),
                                                           xu::SELECTOR_BOOT_COMMAND, 0x01, block.data(),
                                                           int(block.size()), events);
                               }),
             0);
    QVERIFY(cameraList().isEmpty());
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
}

void TstMassStorage::deviceThatNeverReturns()
{
    QVERIFY(start(cameraConfig(QStringLiteral("updater"), R"({"neverReturn": true})")));
    writeFile(QStringLiteral("u-boot.bin"), pattern(2000));
    DeviceState state = Other;
    QVERIFY(USB_ScsiFindDevice(0, state));
    QCOMPARE(loadUbootImage(QStringLiteral("u-boot.bin")), 0);
    QCOMPARE(countEvents(journal(), QStringLiteral("unplug")), 1);
    QVERIFY(!USB_ScsiFindDevice(0, state));
    QCOMPARE(state, Other);
    QVERIFY(cameraList().isEmpty());
}

void TstMassStorage::loaderStateSurvivesTheStateFile()
{
    // Every transfer goes through a fresh copy of the camera read back from its JSON form, as
    // processes sharing a state file see it.
    QVector<VirtualCamera> cameras;
    QString error;
    QVERIFY(VirtualRig::parseConfiguration(
        cameraConfig(QStringLiteral("updater"),
                     R"({"stall": {"command": "STATUS", "phase": "csw", "count": 1}})"),
        &cameras, &error));
    VirtualCamera camera = cameras.first();
    const int generation = camera.loader().generation();
    QVector<JournalEvent> events;
    auto roundTrip = [&camera]() { camera = VirtualCamera::fromJson(camera.toJson()); };
    std::uint32_t tag = 40;
    auto command = [&](int subCommand, ScsiDirection direction, QByteArray data) {
        bot::CommandWrapper wrapper;
        wrapper.tag = ++tag;
        wrapper.dataLength = std::uint32_t(data.size());
        wrapper.dataIn = direction == ScsiDirection::FromDevice;
        wrapper.blockLength = 10;
        wrapper.block = {0xE8,
                         std::uint8_t(subCommand),
                         0,
                         0,
                         0,
                         0,
                         0,
                         0,
                         std::uint8_t((data.size() >> 8) & 0xFF),
                         std::uint8_t(data.size() & 0xFF)};
        auto bytes = bot::encodeCommand(wrapper);
        int moved = 0;
        if (camera.loader().bulkTransfer(camera, generation, VirtualLoader::Endpoint::Out, bytes.data(), 31,
                                         &moved, &events) != 0)
            return QByteArray("cbw failed");
        roundTrip();
        if (!data.isEmpty()) {
            const VirtualLoader::Endpoint endpoint =
                wrapper.dataIn ? VirtualLoader::Endpoint::In : VirtualLoader::Endpoint::Out;
            if (camera.loader().bulkTransfer(camera, generation, endpoint,
                                             reinterpret_cast<std::uint8_t*>(data.data()), data.size(),
                                             &moved, &events) != 0)
                return QByteArray("data failed");
            roundTrip();
        }
        std::array<std::uint8_t, 13> csw{};
        int result = camera.loader().bulkTransfer(camera, generation, VirtualLoader::Endpoint::In, csw.data(),
                                                  13, &moved, &events);
        roundTrip();
        if (result == -EPIPE) {
            camera.loader().clearHalt(camera, generation, VirtualLoader::Endpoint::In, &events);
            roundTrip();
            result = camera.loader().bulkTransfer(camera, generation, VirtualLoader::Endpoint::In, csw.data(),
                                                  13, &moved, &events);
            roundTrip();
        }
        bot::StatusWrapper status;
        if (result != 0 || !bot::decodeStatus(csw.data(), moved, &status) || status.tag != tag)
            return QByteArray("csw failed");
        return data;
    };

    const QByteArray image = pattern(1500);
    QByteArray header(24, '\0');
    header[0] = char(0x00);
    header[3] = char(0x21);
    header[4] = char(1500 & 0xFF);
    header[5] = char(1500 >> 8);
    header.replace(8, 16, QCryptographicHash::hash(image, QCryptographicHash::Md5));
    QCOMPARE(command(5, ScsiDirection::ToDevice, header), header);
    QCOMPARE(command(1, ScsiDirection::ToDevice, image.left(1000)), image.left(1000));
    QCOMPARE(command(4, ScsiDirection::ToDevice, image.mid(1000)), image.mid(1000));
    QCOMPARE(command(2, ScsiDirection::FromDevice, QByteArray(4, '\xff')).toHex(), QByteArray("0d000000"));
    QCOMPARE(countEvents(events, QStringLiteral("stall")), 1); // the fault was kept across the copies
    QCOMPARE(countEvents(events, QStringLiteral("load")), 1);
}

QTEST_GUILESS_MAIN(TstMassStorage)
#include "tst_mass_storage.moc"
